// The command functions of the control: each first compares with the stored
// state, so that repeating one sends nothing.
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "wallbox/charging_control.hpp"
#include "wallbox/charging_math.hpp"

namespace kivd {

int ChargingControl::SetFailSafe() {
  if (!box_.arm_failsafe(120, 0)) return 0;
  LiveValues& v = live();
  v.wb_curr_failsafe = 0;
  v.wb_tmo_failsafe = 120;
  v.wb_failsafe = 1;
  return 1;
}

int ChargingControl::SetCurrent(int mA) {
  LiveValues& v = live();
  const int x = limited_current(mA, v.CarMinCharge, guard_.safety_current());
  v.safety_curr = x;
  if (x == 0) {
    SwitchEnable(0);
    if (box_.set_current(0)) v.wb_curr_usr = 0;
    return 0;
  }
  if (!box_.set_current(x)) return 0;
  v.wb_curr_usr = x;
  return 1;
}

int ChargingControl::SwitchEnable(int on) {
  LiveValues& v = live();
  if (v.wb_enable_sys == on) return 1;
  if (on == 0 && cfg().FixTeslaBug == 1 && !tesla_active_.exchange(true)) {
    log_line("Tesla 'increase current workaround': 32A set and wait 7s...");
    SetCurrent(32000);
    control_sleep(std::chrono::seconds(7));
    tesla_active_ = false;
    if (v.wb_enable_sys == on) return 1;  // the workaround's own current already disabled
  }
  log_line(on == 0 ? "Charging disabled..." : "Charging enabled...");
  if (!box_.enable(on != 0)) return 0;
  v.wb_enable_sys = on;
  // A disabled box draws nothing, while its currents from the last report
  // would stay until the next one: the fuse limit computed after a phase
  // change (15 s later, the meter no longer sees the car) would add back a
  // draw that has gone and allow more than the fuses carry.
  if (on == 0) {
    v.wb_i1 = 0;
    v.wb_i2 = 0;
    v.wb_i3 = 0;
  }
  return 1;
}

int ChargingControl::SwitchRelais(int on) {
  LiveValues& v = live();
  if (v.wb_X2_out == on) return 1;
  if (SwitchEnable(0) == 0) return 0;
  if (!control_sleep(std::chrono::seconds(5))) return 0;
  if (!box_.set_phases(on != 0)) return 0;
  v.wb_X2_out = on;
  log_line(on == 0 ? "More phases OFF..." : "More phases ON...");
  control_sleep(std::chrono::seconds(10));
  return 1;
}

}  // namespace kivd
