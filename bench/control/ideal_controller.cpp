#include "ideal_controller.hpp"

#include <algorithm>

namespace kivd::bench {

double IdealController::step(const HouseModel& house, int t) {
  const double min_A = 6.0,
               max_A = std::min({car_.box_hw_mA, car_.car_max_mA, taper_limit_mA(car_, charged_kWh_)}) / 1000.0;
  int phases = 1;
  double amps = 0;
  if (house.quick(t)) {
    // As much as the most loaded phase still carries, on every phase.
    const auto& l = house.load_W(t);
    double room = max_A;
    for (int p = 0; p < car_.phases; ++p)
      room = std::min(room, limit_mA_ / 1000.0 - (l[static_cast<std::size_t>(p)] - house.pv_W(t) / 3) / kVolt);
    phases = car_.phases;
    amps = room >= min_A ? room : 0;
  } else {
    const double a1 = house.surplus_W(t) / kVolt;  // amps on one phase
    if (car_.phases > 1 && a1 / car_.phases >= min_A && a1 > max_A) {
      phases = car_.phases;
      amps = std::min(a1 / car_.phases, max_A);
    } else if (a1 >= min_A) amps = std::min(a1, max_A);
  }
  if (amps < min_A) amps = 0;  // a full car tapers below the least current
  const bool on = amps > 0;
  if (on != on_) ++switches_;
  if (on && phases != phases_) ++phase_switches_;
  on_ = on;
  if (on) phases_ = phases;
  charged_kWh_ += amps * phases * kVolt / 3.6e6;
  return amps * phases * kVolt;
}

}  // namespace kivd::bench
