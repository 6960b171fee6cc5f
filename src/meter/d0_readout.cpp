#include "meter/d0_readout.hpp"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/utils.hpp"

namespace kivd::meter {

namespace {

std::string_view until_nul(std::string_view s) {
  const auto z = s.find('\0');
  return z == std::string_view::npos ? s : s.substr(0, z);
}

int clamp_int(long long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

int truncate_to_int(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT_MAX;
  if (v <= -2147483648.0) return INT_MIN;
  return static_cast<int>(v);
}

// A readout line "<code>(<value>*<unit>)": text before "(", a value of at
// least one character, then "*". Returns the value or nothing.
bool line_value(std::string_view line, std::string_view& value) {
  const auto open = line.find('(');
  if (open == 0 || open == std::string_view::npos) return false;
  const auto star = line.find('*', open + 1);
  if (star == std::string_view::npos || star == open + 1) return false;
  value = line.substr(open + 1, star - open - 1);
  return true;
}

bool all_hex(std::string_view s) {
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// The field of the given length that starts `offset` characters after the
// identifier; empty when the identifier is missing or the field would run
// past the end of the data or holds anything but hexadecimal digits.
std::string_view obis_field(std::string_view data, std::string_view obis, std::size_t offset, std::size_t len) {
  const auto at = data.find(obis);
  if (at == std::string_view::npos || at + offset + len > data.size()) return {};
  const auto field = data.substr(at + offset, len);
  return all_hex(field) ? field : std::string_view{};
}

}  // namespace

void D0Slots::set(int n, std::string_view v) {
  if (v.size() > kSlotKeep) v = v.substr(0, kSlotKeep);
  copy_text(text[static_cast<std::size_t>(n - 1)].data(), kSlotText, v);
}

double D0Slots::number(int n) const { return std::strtod(text[static_cast<std::size_t>(n - 1)].data(), nullptr); }

D0Result parse_as1440(std::string_view data, D0Slots& slots) {
  data = until_nul(data);
  D0Result r;
  std::size_t start = 0;
  while (start <= data.size()) {
    auto end = data.find('\r', start);
    if (end == std::string_view::npos) end = data.size();
    const std::string_view line = data.substr(start, end - start);
    start = end + 1;
    std::string_view value;
    if (line.empty() || !line_value(line, value)) continue;
    if (++r.lines <= 4) slots.set(r.lines, value);
  }
  r.has_power = true;
  r.power = as1440_power(slots);
  return r;
}

int as1440_power(const D0Slots& slots) {
  return truncate_to_int(slots.number(1) * 1000.0 - slots.number(3) * 1000.0);
}

int sml_hex_saturating(std::string_view f) {
  std::size_t k = 0;
  while (k < f.size() && (f[k] == ' ' || (f[k] >= '\t' && f[k] <= '\r'))) ++k;
  bool neg = false;
  if (k < f.size() && (f[k] == '+' || f[k] == '-')) neg = f[k++] == '-';
  if (k + 1 < f.size() && f[k] == '0' && (f[k + 1] == 'x' || f[k + 1] == 'X') && k + 2 < f.size() &&
      std::isxdigit(static_cast<unsigned char>(f[k + 2])))
    k += 2;
  long long v = 0;
  for (; k < f.size() && std::isxdigit(static_cast<unsigned char>(f[k])); ++k) {
    const char c = f[k];
    const int d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    v = v * 16 + d;
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (neg) return v > INT_MAX ? INT_MIN : static_cast<int>(-v);
  return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

D0Result parse_mt175(std::string_view data, D0Slots& slots) {
  data = until_nul(data);
  std::array<char, kD0BufferSize> buf;
  std::size_t n = 0;
  for (char c : data) {
    if (c == '\r') continue;
    if (n == buf.size()) break;
    buf[n++] = c;
  }
  const std::string_view text(buf.data(), n);

  constexpr std::string_view kEnergyIn = "0100010800FF";
  constexpr std::string_view kEnergyOut = "0100020800FF";
  constexpr std::string_view kPower = "0100100700FF";
  const struct {
    std::string_view obis;
    int slot;
  } energies[] = {{kEnergyIn, 2}, {kEnergyOut, 4}};
  for (const auto& e : energies) {
    const auto field = obis_field(text, e.obis, 34, 16);
    if (field.empty()) continue;
    const float kwh = static_cast<float>(sml_hex_saturating(field)) / 10000.0f;
    char t[kSlotText];
    std::snprintf(t, sizeof t, "%f", static_cast<double>(kwh));
    slots.set(e.slot, t);
  }
  D0Result r;
  const auto power = obis_field(text, kPower, 26, 8);
  if (!power.empty()) {
    r.has_power = true;
    r.power = static_cast<std::int32_t>(parseHex(power));
  }
  return r;
}

Currents d0_currents(int intpow, int wb_pow_mw, int wb_i1, int wb_i2) {
  const long long house = static_cast<long long>(intpow) - wb_pow_mw / 1000;
  const long long share = house * 1000 / 690;
  const int i1 = clamp_int(wb_i1 + share);
  const int i2 = clamp_int(wb_i2 + share);
  return {i1, i2, i2};
}

int d0_one_phase_mA(int intpow, int wb_pow_mw) {
  const long long house = static_cast<long long>(intpow) - wb_pow_mw / 1000;
  return house <= 0 ? 0 : clamp_int(house * 1000 / 230);
}

}  // namespace kivd::meter
