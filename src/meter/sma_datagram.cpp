#include "meter/sma_datagram.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace kivd::meter {

namespace {

constexpr std::uint8_t kType32 = 4;
constexpr std::uint8_t kType64 = 8;

std::uint64_t be(Bytes d, std::size_t at, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < n; ++k) v = (v << 8) | d[at + k];
  return v;
}

// Walks the records; returns the offset of the wanted record's value, or
// nothing when it is missing or would reach past the received bytes.
template <std::uint8_t WantedType>
std::optional<std::size_t> find_record(Bytes d, std::uint8_t index) {
  constexpr std::size_t value_len = WantedType == kType64 ? 8 : 4;
  if (d.size() < kSmaRecordStart) return std::nullopt;
  long remaining = static_cast<long>(be(d, 12, 2));
  std::size_t pos = kSmaRecordStart;
  while (remaining > 0) {
    if (pos + 4 > d.size()) return std::nullopt;
    const std::uint8_t type = d[pos + 2];
    if (type == WantedType && d[pos + 1] == index) {
      if (pos + 4 + value_len > d.size()) return std::nullopt;
      return pos + 4;
    }
    const std::size_t step = type == kType64 ? 12 : 8;
    pos += step;
    remaining -= static_cast<long>(step);
  }
  return std::nullopt;
}

int clamp_int(long long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// (P+ - P-) in 0.1 W to W, truncated toward zero, without overflow.
int net_power(Bytes d, std::uint8_t plus, std::uint8_t minus) {
  const long long diff = static_cast<long long>(handle_emeter_32(d, plus)) - handle_emeter_32(d, minus);
  return clamp_int(diff / 10);
}

}  // namespace

std::int32_t handle_emeter_32(Bytes datagram, std::uint8_t index) {
  const auto at = find_record<kType32>(datagram, index);
  if (!at) return kNotFound32;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(be(datagram, *at, 4)));
}

std::int64_t handle_emeter_64(Bytes datagram, std::uint8_t index) {
  const auto at = find_record<kType64>(datagram, index);
  if (!at) return kNotFound64;
  return static_cast<std::int64_t>(be(datagram, *at, 8));
}

float counter_to_kwh(std::int64_t ws) {
  float v = static_cast<float>(ws);
  v = v / 3600.0f;
  v = v / 1000.0f;
  char text[16];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(v));
  return std::strtof(text, nullptr);
}

SmaVerdict decode_sma_datagram(Bytes d, std::uint32_t serial_filter, SmaValues& out) {
  if (d.size() < kSmaMinSize || d.size() > kSmaMaxSize) return SmaVerdict::WrongSize;
  const auto serial = static_cast<std::uint32_t>(be(d, 20, 4));
  if (serial_filter != 0 && serial_filter != serial) return SmaVerdict::OtherMeter;

  out.serial = serial;
  out.ticker_ms = static_cast<std::uint32_t>(be(d, 24, 4));
  out.timestamp_s = out.ticker_ms / 1000u;
  const std::int32_t u3_raw = handle_emeter_32(d, 72);
  out.u[0] = handle_emeter_32(d, 32) / 1000;
  out.u[1] = handle_emeter_32(d, 52) / 1000;
  out.u[2] = u3_raw / 1000;
  out.intpow = net_power(d, 1, 2);
  out.pow[0] = net_power(d, 21, 22);
  out.pow[1] = net_power(d, 41, 42);
  out.pow[2] = net_power(d, 61, 62);
  out.i[0] = handle_emeter_32(d, 31);
  out.i[1] = handle_emeter_32(d, 51);
  out.i[2] = handle_emeter_32(d, 71);
  out.phase_fault = out.u[1] == 0 && u3_raw >= 1000;
  out.pf = handle_emeter_32(d, 13);
  out.energy_consumption = counter_to_kwh(handle_emeter_64(d, 1));
  out.energy_surplus = counter_to_kwh(handle_emeter_64(d, 2));
  return SmaVerdict::Accepted;
}

}  // namespace kivd::meter
