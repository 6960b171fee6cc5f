// The yardstick: a controller that knows the exact surplus and the house's
// draw every second and sets the car's current continuously, with the same
// car (6 A least, one phase or all of them, the box's highest current) and
// the same fuses. It never draws from the grid in surplus mode; its contactor
// count shows what following every cloud would cost.
#pragma once

#include <array>

#include "house_model.hpp"
#include "sim_box.hpp"

namespace kivd::bench {

class IdealController {
 public:
  IdealController(const CarLimits& car, int limit_mA) : car_(car), limit_mA_(limit_mA) {}

  // The car's draw (W) at second t; counts its switches.
  double step(const HouseModel& house, int t);

  int switches() const { return switches_; }
  int phase_switches() const { return phase_switches_; }

 private:
  CarLimits car_;
  int limit_mA_;
  bool on_ = false;
  int phases_ = 1;
  int switches_ = 0, phase_switches_ = 0;
  double charged_kWh_ = 0;  // the same car fills and tapers
};

}  // namespace kivd::bench
