// Fuzz target: OEM gateway datagrams, received as the mode does (at most
// 512 bytes, ended with a 0 byte).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "meter/oem_datagram.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kivd::meter;
  if (size > kOemMaxDatagram) size = kOemMaxDatagram;
  char buf[kOemMaxDatagram + 1];
  std::memcpy(buf, data, size);
  buf[size] = '\0';
  OemValues kept;
  std::size_t error_at = 0;
  if (parse_oem_datagram(std::string_view(buf, size), kept, error_at) == OemVerdict::InvalidJson &&
      error_at > size)
    __builtin_trap();
  oem_publish_values(kept);
  return 0;
}
