// The wallbox and the car of the benchmark, behind the driver interface the
// control uses: commands change the box's state at once, reports publish it
// into the live values as the KEBA driver's parser does. Faults: a share of
// the exchanges is lost, half of them before the box saw the command, half
// on the way back (the box obeyed, the control hears nothing); either way
// the call reports failure. As in the UDP driver, nothing is sent once the
// calling thread's pass is stopped.
#pragma once

#include <array>
#include <functional>
#include <random>

#include "wallbox/wallbox.hpp"

namespace kivd::bench {

struct CarLimits {
  int phases = 3;           // behind output X2; one phase without it
  int box_hw_mA = 16000;    // "Curr HW" of the box
  int car_max_mA = 32000;   // what the car's charger takes at most
  bool x2_contactor = true; // false: X2 switches nothing, the car takes all its phases
  int ramp_s = 0;           // seconds the car takes to reach an offered current, 0 = at once
  double full_kWh = 0;      // charged this much the car is full, tapering over the last fifth; 0 = never
};

// The most the car takes (mA per phase) after charging kWh: all of it until
// four fifths of full, then less and less down to nothing.
int taper_limit_mA(const CarLimits& car, double kWh);

class SimBox final : public kivd::Wallbox {
 public:
  SimBox(const CarLimits& car, double loss, unsigned seed) : car_(car), loss_(loss), rng_(seed) {}

  bool refresh_reports() override;
  bool enable(bool on) override;
  bool set_current(int mA) override;
  bool set_phases(bool more) override;
  bool arm_failsafe(int timeout_s, int current_mA) override;

  // One second of the box: its fail-safe timer, the car's ramp and charge.
  void tick();
  // What the car draws per phase now (mA).
  std::array<int, 3> draw_mA() const;

  int phase_switches() const { return phase_switches_; }
  // Times the fail-safe stopped a charging car.
  int failsafe_trips() const { return failsafe_trips_; }
  int lost() const { return lost_; }
  // Called as each cycle's reports are asked for.
  std::function<void()> on_refresh;
  // The box as the restart left it, for the report.
  bool enabled() const { return enable_; }
  bool output() const { return output_; }

 private:
  enum class Fate { Delivered, CommandLost, AnswerLost };
  Fate fate();
  // A command the box received: ena and curr reset the fail-safe timer.
  void fed() {
    quiet_s_ = 0;
    tripped_ = false;
  }

  CarLimits car_;
  double loss_;
  std::mt19937 rng_;
  bool enable_ = false, output_ = false, tripped_ = false;
  int curr_mA_ = 6000, tmo_fs_ = 0, curr_fs_ = 0, quiet_s_ = 0;
  int phase_switches_ = 0, failsafe_trips_ = 0, lost_ = 0;
  int drawn_mA_ = 0;  // per phase, following the offered current up over ramp_s
  double charged_kWh_ = 0;
  int offered_mA() const;
};

}  // namespace kivd::bench
