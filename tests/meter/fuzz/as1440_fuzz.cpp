// Fuzz target: AS1440 Mode C readouts, read twice into kept slots.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "meter/d0_readout.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kivd::meter;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  D0Slots slots;
  parse_as1440(text, slots);
  parse_as1440(text.substr(size / 2), slots);
  d0_currents(as1440_power(slots), 0, 0, 0);
  return 0;
}
