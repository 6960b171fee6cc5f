// SMA Energy Meter multicast datagrams: the record readers and the
// conversion of one datagram into meter values. Pure: no sockets, no globals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kivd::meter {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::size_t kSmaBufferSize = 1528;  // largest read
inline constexpr std::size_t kSmaMinSize = 600;
inline constexpr std::size_t kSmaMaxSize = 1500;
inline constexpr std::size_t kSmaRecordStart = 28;

// What a missing record reads as: the value bytes FF FF FF FF 00 00 00 00.
inline constexpr std::int32_t kNotFound32 = -1;
inline constexpr std::int64_t kNotFound64 = -4294967296LL;

// The value of the first type-4 record with the measurement index. The walk
// covers the length field's extent from byte 28 but stops at the end of the
// received bytes: a record that would cross it counts as not found.
std::int32_t handle_emeter_32(Bytes datagram, std::uint8_t index);
// The same for the first type-8 (counter) record.
std::int64_t handle_emeter_64(Bytes datagram, std::uint8_t index);

// Ws counter to kWh with one decimal, as the status shows it: single
// precision, rounded through "%.1f".
float counter_to_kwh(std::int64_t ws);

struct SmaValues {
  std::uint32_t serial = 0;
  std::uint32_t timestamp_s = 0;
  std::uint32_t ticker_ms = 0;  // the meter's own time stamp, advances with each reading
  int intpow = 0;
  int pow[3] = {0, 0, 0};  // W per phase
  int u[3] = {0, 0, 0};    // V
  int i[3] = {0, 0, 0};    // mA
  int pf = 0;              // 1/1000
  float energy_consumption = 0;
  float energy_surplus = 0;
  // L2 reads 0 V while L3 has at least 1 V: the meter is wired wrongly.
  bool phase_fault = false;
};

enum class SmaVerdict { Accepted, WrongSize, OtherMeter };

// Checks size and serial filter (0 takes every meter) and converts the
// records. out is written only for an accepted datagram.
SmaVerdict decode_sma_datagram(Bytes datagram, std::uint32_t serial_filter, SmaValues& out);

}  // namespace kivd::meter
