#include "core/charging_mode.hpp"

#include "core/settings.hpp"

namespace kivd {

namespace {

struct ModeName {
  const char* name;
  ChargingMode mode;
};
// In the order they are looked for: a text that names several modes takes
// the first.
constexpr ModeName kModeNames[] = {
    {"surplus", ChargingMode::Surplus}, {"automatic", ChargingMode::Surplus}, {"quick", ChargingMode::Quick},
    {"off", ChargingMode::Off},         {"manual", ChargingMode::Manual},
};

}  // namespace

ChargingMode mode_of_choice(int web_charge_mode) {
  return web_charge_mode >= 1 && web_charge_mode <= 3 ? static_cast<ChargingMode>(web_charge_mode + 1)
                                                      : ChargingMode::Surplus;
}

int choice_of_mode(ChargingMode mode) { return static_cast<int>(mode) - 1; }

ChargingMode effective_mode(int web_charge_mode, int x1_in) {
  return x1_in == 1 ? ChargingMode::Quick : mode_of_choice(web_charge_mode);
}

ChargingMode mode_from_text(std::string_view text, ModeMatch match) {
  for (const ModeName& m : kModeNames) {
    const bool named = match == ModeMatch::Whole ? iequals(text, m.name) : text.find(m.name) != std::string_view::npos;
    if (named) return m.mode;
  }
  return ChargingMode::Surplus;
}

}  // namespace kivd
