// One benchmark day: the real ChargingControl over the simulated wallbox and
// house in virtual time, from 06:00 to 21:00, the meter read once a second.
#pragma once

#include <string>

#include "house_model.hpp"
#include "sim_box.hpp"

namespace kivd::bench {

struct Faults {
  bool on = false;
  int outage_from = 0, outage_to = 0;  // the meter sends nothing (s after midnight)
  int restart_at = 0;                  // a restart of the daemon
  double loss = 0;                     // share of lost exchanges with the box
};

struct Fuses {
  int rated_mA = 35000;
  int distance_mA = 2000;
};

struct DayFigures {
  // Highest phase current while the car draws, leaving out the seconds in
  // which a load switched on since the control's last cycle had raised that
  // phase by more than the distance (the control cannot have seen it yet).
  double peak_mA = 0;
  int peak_at = 0;  // s after midnight
  double peak_any_mA = 0;  // the same with those seconds
  int over_s = 0;   // seconds above the rating within the first figure
  int over_any_s = 0;  // every second above the rating, house steps included
  double surplus_kWh = 0, car_surplus_kWh = 0, car_grid_kWh = 0;
  int switches = 0, phase_switches = 0, failsafe_trips = 0, lost = 0;
  double ideal_surplus_kWh = 0, ideal_grid_kWh = 0;
  int ideal_switches = 0, ideal_phase_switches = 0;
  // The box 10 s after the restart's reset, before the next pass begins.
  bool restart_done = false, after_restart_enabled = false, after_restart_output = false;
};

// seed: the day's clouds, appliance times and lost exchanges.
DayFigures run_day(const DayProfile& day, const Faults& faults, const CarLimits& car, const Fuses& fuses,
                   const std::string& log_file, unsigned seed);

}  // namespace kivd::bench
