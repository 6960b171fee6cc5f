// The datagram the local mode sends so that SMA devices on the network see
// an Energy Meter: a fixed 600-byte image, the same in every datagram.
#pragma once

#include <array>
#include <cstdint>

namespace kivd::meter {

inline constexpr std::size_t kEmulatedSize = 600;
using EmulatedDatagram = std::array<std::uint8_t, kEmulatedSize>;

// The image, built once.
const EmulatedDatagram& emulated_datagram();

}  // namespace kivd::meter
