// What the charging control needs of a wallbox: fresh reports and four
// commands. Each call is one exchange with the box, true when the box
// acknowledged it; the reports land in the live wallbox values.
#pragma once

namespace kivd {

class Wallbox {
 public:
  virtual ~Wallbox() = default;
  // State, currents and power (reports 2 and 3, and whatever else is due).
  virtual bool refresh_reports() = 0;
  virtual bool enable(bool on) = 0;
  virtual bool set_current(int mA) = 0;
  // Output X2, which switches the contactor of the car's further phases.
  virtual bool set_phases(bool more) = 0;
  // What the box falls back to when the control falls silent.
  virtual bool arm_failsafe(int timeout_s, int current_mA) = 0;
};

}  // namespace kivd
