// Fuzz target: any bytes a client sends as its request (head and body),
// read through the connection reader from a socket pair as the server reads
// them, then the resource rules applied to what was parsed.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "core/settings.hpp"
#include "support/fuzz_settings.hpp"
#include "web/cross_site.hpp"
#include "web/http_io.hpp"
#include "web/update_descriptor.hpp"

using namespace kivd::web;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kivd::replace_settings(kivd::test::fuzz_settings());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Whole request in the socket buffer before reading: no writer thread.
  if (size > 16384) return -1;
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) __builtin_trap();
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(sv[0], data + done, size - done);
    if (n <= 0) __builtin_trap();
    done += static_cast<std::size_t>(n);
  }
  ::shutdown(sv[0], SHUT_WR);

  ReqInfo req;
  ConnReader reader(sv[1]);
  const int rc = Get_Request(reader, req);
  ::close(sv[0]);
  ::close(sv[1]);
  if (rc != 0 && rc != -1) __builtin_trap();
  // A body never exceeds the line buffer.
  if (req.post_data && req.post_data->size() >= kLineBuffer) __builtin_trap();
  // A header value never exceeds its line, and a cut line is refused.
  if (req.useragent && req.useragent->size() >= kHeaderLineMax) __builtin_trap();
  if (rc == -1 || !req.resource) return 0;

  const std::string& r = *req.resource;
  volatile std::size_t sink = 0;
  // A served resource that no page claims is a static file: its path must be safe.
  const std::string_view path = path_part(r);
  const bool page = r.find("/remote") != std::string::npos || r.find("/download") != std::string::npos ||
                    iequal(path, "/control") || iequal(path, "/settings") || iequal(path, "/knx") ||
                    iequal(path, "/history");
  if (Check_Resource(req, true) == 0 && !page && is_static_suffix(r) && !static_path_is_safe(r)) __builtin_trap();
  sink = sink + (Check_Resource(req, false) == 0);
  sink = sink + *content_type_line(r) + *reason_phrase(req.status);
  sink = sink + path_part(r).size() + changes_something(req) + (cross_site_header(req) != nullptr);
  if (const auto q = query_part(r)) sink = sink + q->size();
  if (const auto n = announced_length(req)) sink = sink + *n;
  const DownloadQuery dq = parse_download_query(r);
  if (dq.error == DownloadQuery::Error::None) sink = sink + download_url_allowed(dq.url);
  return 0;
}
