// Readouts of the D0/TCP gateway: Elster AS1440 Mode C lines and Iskra MT175
// SML passed on as hexadecimal text. Pure: text in, values out.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace kivd::meter {

inline constexpr std::size_t kD0BufferSize = 1024;
inline constexpr std::size_t kSlotText = 16;  // 14 characters kept
inline constexpr std::size_t kSlotKeep = 14;

// The four value texts kept across reads. AS1440: slots 1..4 in readout
// order (power in, energy in, power out, energy out; kW and kWh); MT175:
// slots 2 and 4 (the energies). Each starts as "0".
struct D0Slots {
  std::array<std::array<char, kSlotText>, 4> text{};
  D0Slots() { reset(); }
  void reset() {
    for (auto& t : text) t = {'0', '\0'};
  }
  std::string_view slot(int n) const { return std::string_view(text[static_cast<std::size_t>(n - 1)].data()); }
  void set(int n, std::string_view v);
  double number(int n) const;  // the text read as a decimal number
};

struct D0Result {
  int lines = 0;            // AS1440: readout lines with a unit
  bool has_power = false;   // a grid power was read
  int power = 0;            // W, + drawn from the grid
};

// Parses the text up to the first 0 byte or its end.
D0Result parse_as1440(std::string_view data, D0Slots& slots);
D0Result parse_mt175(std::string_view data, D0Slots& slots);

// Grid power in W from the AS1440 slots 1 and 3 (kW), truncated toward zero.
int as1440_power(const D0Slots& slots);

// The SML conversion of a 16-digit energy field: hexadecimal, signed 32-bit
// result that saturates like the C library's conversion.
int sml_hex_saturating(std::string_view field);

// Phase currents estimated from the grid power and the wallbox's own
// currents (the D0 meters give no currents): each wallbox phase current plus
// an even share of the rest of the house's power over three phases at 230 V.
struct Currents {
  int i1, i2, i3;
};
Currents d0_currents(int intpow, int wb_pow_mw, int wb_i1, int wb_i2);
// The house's current without the wallbox (mA at 230 V, at least 0), for a
// fuse check that must assume it all on one phase.
int d0_one_phase_mA(int intpow, int wb_pow_mw);

}  // namespace kivd::meter
