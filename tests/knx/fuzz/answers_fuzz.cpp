// libFuzzer target for what the KNX client reads from the network (the
// gateway's answers) and from the configuration (group address texts).
// Build: -DKIVD_FUZZ=ON with clang; run: knx_answers_fuzz -max_total_time=60 WORK tests/knx/fuzz/corpus/answers
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "core/settings.hpp"
#include "knx/datapoints.hpp"
#include "knx/knx_frames.hpp"
#include "support/fuzz_settings.hpp"

using namespace kivd::knx;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kivd::replace_settings(kivd::test::fuzz_settings());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> frame(data, size);
  volatile unsigned sink = 0;
  if (auto h = parse_header(frame)) sink = sink + h->service + h->length;
  if (auto c = parse_connect_response(frame)) sink = sink + c->channel + c->status;
  if (auto s = parse_connectionstate_response(frame)) sink = sink + s->status;
  if (auto d = parse_disconnect_response(frame)) sink = sink + d->status;
  if (auto a = parse_tunnelling_ack(frame)) sink = sink + a->sequence + a->status;
  if (auto r = parse_tunnelling_request(frame)) sink = sink + r->sequence + r->message_code;
  sink = sink + GetDestAddr(std::string_view(reinterpret_cast<const char*>(data), size < 59 ? size : 59));
  if (size >= 4) {
    float f;
    std::memcpy(&f, data, sizeof f);
    sink = sink + encode_dpt9(f);
  }
  return 0;
}
