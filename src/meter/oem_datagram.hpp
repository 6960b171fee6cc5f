// JSON datagrams of an OpenEnergyMonitor gateway. Pure: text in, values out.
#pragma once

#include <cstddef>
#include <string_view>

namespace kivd::meter {

inline constexpr std::size_t kOemMaxDatagram = 512;

// The six values kept across datagrams (start at 0; a missing key keeps its
// last value).
struct OemValues {
  int power[3] = {0, 0, 0};    // W per phase
  int voltage[3] = {0, 0, 0};  // V per phase
};

enum class OemVerdict { Gateway, NotGateway, InvalidJson };

// Parses one datagram (text ends at its first 0 byte or its end; the buffer
// must hold a 0 byte at text.size()). For invalid JSON, error_at is the
// offset in the text where the parser stopped.
OemVerdict parse_oem_datagram(std::string_view text, OemValues& kept, std::size_t& error_at);

// What the OEM mode publishes from the kept values.
struct OemPublished {
  int intpow;
  int u[3];
  int i[3];  // mA; 0 for a phase whose voltage is 0
};
OemPublished oem_publish_values(const OemValues& v);

}  // namespace kivd::meter
