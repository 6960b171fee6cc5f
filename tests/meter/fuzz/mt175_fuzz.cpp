// Fuzz target: MT175 SML hexadecimal text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "meter/d0_readout.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kivd::meter;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  D0Slots slots;
  const D0Result r = parse_mt175(text, slots);
  d0_currents(r.power, -2147483647, 2147483647, -2147483647);
  slots.number(2);
  slots.number(4);
  return 0;
}
