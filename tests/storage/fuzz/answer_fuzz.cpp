// Every answer parser over arbitrary bytes: none may read past the datagram.
// Built as a libFuzzer target with KIVD_FUZZ=ON (clang); otherwise a unit
// test feeds it a fixed stream of pseudo-random and truncated answers.
#include <cstddef>
#include <cstdint>
#include <span>

#include "storage/speedwire.hpp"

namespace sw = kivd::speedwire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const sw::Bytes a(data, size);
  (void)sw::answer_serial(a);
  (void)sw::answer_packet_id(a);
  (void)sw::answer_error_code(a);
  if (const auto fw = sw::parse_software_version(a)) (void)fw->view();
  if (const auto d = sw::parse_device_type(a)) (void)d->name.view();
  (void)sw::parse_first_value(a);
  for (int kind = -1; kind <= 4; ++kind) (void)sw::parse_battery(a, kind);
  (void)sw::parse_ac_voltages(a);
  (void)sw::parse_ac_frequency(a);
  return 0;
}
