// Fuzz target: what the update server answers, cut after the header as the
// update check does, and the descriptor read from it (and from the raw bytes).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "web/update_descriptor.hpp"

using namespace kivd::web;

namespace {

void check(std::string_view xml, std::string_view arch) {
  const auto d = parse_update_descriptor(xml, arch);
  if (!d) return;
  if (d->date.size() > 10 || d->changelog.size() > 899 || d->filename.size() > 99 || d->url.size() > 499)
    __builtin_trap();
  volatile bool sink = is_newer_version(d->major, d->minor, d->revision, 2, 6, 107);
  sink = download_url_allowed(d->url);
  (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  check(in, "arm");
  check(in, "x86");
  if (const auto body = http_answer_body(in, 8192)) {
    if (body->size() > 8192) __builtin_trap();
    check(*body, "arm");
  }
  return 0;
}
