// Fuzz target: SMA Energy Meter datagrams of any length and content.
#include <cstddef>
#include <cstdint>

#include "meter/sma_datagram.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kivd::meter;
  const Bytes d(data, size);
  SmaValues v;
  decode_sma_datagram(d, 0, v);
  // Every index, both readers: the walk must stay inside the bytes given.
  for (int index = 0; index < 256; ++index) {
    handle_emeter_32(d, static_cast<std::uint8_t>(index));
    handle_emeter_64(d, static_cast<std::uint8_t>(index));
  }
  return 0;
}
