#include "knx/datapoints.hpp"

#include <cmath>
#include <cstring>

#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/utils.hpp"

namespace kivd::knx {

std::uint32_t GetDestAddr(std::string_view text) {
  if (text.empty()) {
    log_line("KNX thread: error calculation group address = %.*s", static_cast<int>(text.size()), text.data());
    return 0;
  }
  std::uint32_t part[3] = {0, 0, 0};
  int parts = 0;
  std::size_t i = 0;
  while (parts < 3) {
    while (i < text.size() && text[i] == '/') ++i;  // runs of '/' are one separator
    if (i >= text.size()) break;
    const std::size_t end = std::min(text.find('/', i), text.size());
    part[parts++] = static_cast<std::uint32_t>(atoi_rules(text.substr(i, end - i)));
    i = end;
  }
  if (parts < 3)
    log_line("KNX thread: error calculation group address = %.*s", static_cast<int>(text.size()), text.data());
  const std::uint32_t addr = part[2] + 256u * (part[1] + 8u * part[0]);
  debug_line("KNX thread: calculated group address = %.*s (%u)", static_cast<int>(text.size()), text.data(), addr);
  return addr;
}

std::uint16_t encode_dpt9(float value) {
  // 0x7FFF is DPT 9's "invalid data": a value too large for the type goes
  // out as the largest valid one (2046 * 2^15 / 100 = 670433.28), and only
  // NaN as invalid. Negative side: 2047 * 2^15 / 100 = -670760.96.
  constexpr std::uint16_t kInvalid = 0x7FFF;
  constexpr std::uint16_t kMaxPositive = 0x7FFE;
  constexpr std::uint16_t kMaxNegative = 0xF801;  // sign, exponent 15, mantissa -2047
  if (std::isnan(value)) return kInvalid;
  const double scaled = static_cast<double>(value) * 100.0;
  constexpr double kLimit = 2047.0 * 32768.0;
  if (scaled >= kLimit + 32768.0) return kMaxPositive;
  if (scaled <= -(kLimit + 32768.0)) return kMaxNegative;
  std::int32_t m = static_cast<std::int32_t>(scaled);  // truncated toward zero
  std::uint16_t e = 0;
  while (m > 2047 || m < -2047) {
    m /= 2;
    ++e;
  }
  if (e > 15) return value < 0 ? kMaxNegative : kMaxPositive;
  if (e == 15 && m == 2047) return kMaxPositive;
  // The sign goes with the mantissa: a value that truncates to 0 is 0, not
  // the sign bit alone (which would read as -20.48).
  const std::uint16_t sign = m < 0 ? 0x8000 : 0x0000;
  return static_cast<std::uint16_t>(sign | (static_cast<std::uint32_t>(m) & 0x7FFu) | (e << 11));
}

namespace {

// The integer source per datapoint; 9 and 10 read the kWh counters instead.
using IntSource = std::atomic<int> LiveValues::*;
constexpr IntSource kIntSources[kDatapointCount] = {
    &LiveValues::em_pow_1,   &LiveValues::em_pow_2,    &LiveValues::em_pow_3,       &LiveValues::intpow,
    &LiveValues::em_u1,      &LiveValues::em_u2,       &LiveValues::em_u3,          &LiveValues::em_pf,
    nullptr,                 nullptr,                  &LiveValues::intpow,         &LiveValues::ChargingMode,
    &LiveValues::wb_state,   &LiveValues::wb_plug,     &LiveValues::wb_enable_sys,  &LiveValues::wb_X1_in,
    &LiveValues::wb_X2_out,  &LiveValues::wb_pow,      &LiveValues::wb_e_pres,      &LiveValues::wb_e_total,
    &LiveValues::ss_bat_soc, &LiveValues::ss_bat_temp, &LiveValues::ss_bat_voltage, &LiveValues::ss_bat_current,
    &LiveValues::ss_ac_power};

Encoded int32_value(std::int32_t v, long shown) {
  Encoded e;
  const auto u = static_cast<std::uint32_t>(v);
  e.payload.size = 4;
  e.payload.bytes = {static_cast<std::uint8_t>(u >> 24), static_cast<std::uint8_t>(u >> 16),
                     static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u)};
  e.log_int = shown;
  return e;
}

Encoded float_value(float f) {
  std::uint32_t u;
  static_assert(sizeof u == sizeof f);
  std::memcpy(&u, &f, sizeof u);
  Encoded e = int32_value(static_cast<std::int32_t>(u), 0);
  e.style = LogStyle::Float;
  e.log_float = f;
  return e;
}

Encoded u16_value(std::uint16_t v) {
  Encoded e;
  e.payload.size = 2;
  e.payload.bytes = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v & 0xFF), 0, 0};
  e.log_int = v;
  return e;
}

Encoded byte_value(std::uint8_t b, long shown) {
  Encoded e;
  e.payload.size = 1;
  e.payload.bytes[0] = b;
  e.log_int = shown;
  return e;
}

Encoded bit_value(std::int32_t raw) {
  Encoded e;
  e.payload.size = 0;
  e.payload.bytes[0] = raw == 1 ? 1 : 0;
  e.log_int = raw;
  return e;
}

}  // namespace

Reading read_source(int n, const LiveValues& lv) {
  Reading r;
  if (n >= 1 && n <= kDatapointCount && kIntSources[n - 1]) r.raw = (lv.*kIntSources[n - 1]).load();
  if (n == 9) r.f = lv.em_energy_consumption.load();
  if (n == 10) r.f = lv.em_energy_surplus.load();
  if (n == 11) r.raw2 = lv.ss_ac_power.load();
  return r;
}

Encoded encode(int n, const Reading& r) {
  switch (n) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 25:
      return int32_value(r.raw, r.raw);
    case 5:
    case 6:
    case 7: return u16_value(static_cast<std::uint16_t>(r.raw));
    case 8: return float_value(static_cast<float>(r.raw) / 1000.0f);
    case 9:
    case 10: return float_value(r.f);
    case 11: {
      const std::int64_t sum = static_cast<std::int64_t>(r.raw) + r.raw2;
      const std::int64_t avail = sum < 0 ? -sum : 0;
      const auto v = static_cast<std::int32_t>(avail > INT32_MAX ? INT32_MAX : avail);
      return int32_value(v, v);
    }
    case 12: {
      const std::int32_t mode = r.raw >= 1 && r.raw <= 3 ? r.raw : 0;
      return byte_value(static_cast<std::uint8_t>(mode), mode);
    }
    case 13:
    case 14: return byte_value(static_cast<std::uint8_t>(r.raw & 0xFF), r.raw);
    case 15:
    case 16:
    case 17: return bit_value(r.raw);
    case 18: {
      const std::int32_t w = r.raw / 1000;
      return int32_value(w, w);
    }
    case 19: return float_value(static_cast<float>(r.raw) / 10000.0f);
    case 20: return float_value(static_cast<float>(static_cast<std::uint32_t>(r.raw)) / 10000.0f);
    case 21: {
      const std::int32_t b = r.raw >= 0 && r.raw <= 100 ? r.raw * 255 / 100 : 0;
      return byte_value(static_cast<std::uint8_t>(b), b);
    }
    case 22: {
      Encoded e = u16_value(encode_dpt9(static_cast<float>(r.raw) / 10.0f));
      e.style = LogStyle::Hex16;
      return e;
    }
    case 23:
    case 24: return float_value(static_cast<float>(r.raw) / 1000.0f);
    default: return Encoded{};
  }
}

namespace {

bool datapoint_enabled(const Settings& s, int n) {
  return n >= 1 && n <= kDatapointCount && s.DPT_Using[n - 1];
}

// The feature switch an on-change datapoint also needs.
bool datapoint_in_use(const Settings& s, int n) {
  if (n >= 12 && n <= 20) return s.WallboxUsing;
  if (n >= 21 && n <= 25) return s.SSUsing;
  return true;
}

}  // namespace

DatapointCounts count_enabled(const Settings& s) {
  DatapointCounts c;
  for (int n = 1; n <= kDatapointCount; ++n)
    if (datapoint_enabled(s, n)) ++(is_cyclic(n) ? c.cyclic : c.on_change);
  return c;
}

std::vector<ChangeTracker::Kind> datapoint_kinds(const Settings& s) {
  using Kind = ChangeTracker::Kind;
  std::vector<Kind> kinds(kDatapointCount, Kind::Off);
  for (int n = 1; n <= kDatapointCount; ++n)
    if (datapoint_enabled(s, n) && datapoint_in_use(s, n))
      kinds[n - 1] = is_cyclic(n) ? Kind::Cyclic : Kind::OnChange;
  return kinds;
}

void read_sources(const LiveValues& lv, std::span<std::int32_t> out) {
  for (int n = 1; n <= kDatapointCount; ++n) out[n - 1] = read_source(n, lv).raw;
}

}  // namespace kivd::knx
