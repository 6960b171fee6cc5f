// The command functions of the control: each first compares with the stored
// state, so that repeating one sends nothing.
#include <algorithm>

#include "core/clock.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "wallbox/charging_control.hpp"
#include "wallbox/charging_math.hpp"
#include "wallbox/keba_exchange.hpp"

namespace kivd {

int ChargingControl::SetFailSafe() {
  if (!box_.arm_failsafe(120, 0)) return 0;
  LiveValues& v = live();
  v.wb_curr_failsafe = 0;
  v.wb_tmo_failsafe = 120;
  v.wb_failsafe = 1;
  return 1;
}

namespace {

// A reset or the pass's stop has interrupted the control thread's sequence
// (never on main's thread, whose reset must go on).
bool sequence_interrupted() { return thread_stop().stop_requested(); }

}  // namespace

bool ChargingControl::phase_switch_allowed() const {
  const long long last = last_x2_change_ms_;
  if (last == 0) return true;
  const auto guard = control_duration(std::chrono::seconds(cfg().PhaseSwitchGuard));
  return steady_ms() - last >= guard.count();
}

int ChargingControl::relay_for(int wanted) {
  const int now = live().wb_X2_out;
  if (now == wanted || phase_switch_allowed()) return wanted;
  debug_line("Phase switch guard: output X2 stays %d", now);
  return now;
}

int ChargingControl::SetCurrent(int mA) {
  LiveValues& v = live();
  const int x = limited_current(mA, v.CarMinCharge, guard_.safety_current(), v.wb_curr_hw);
  v.safety_curr = x;
  if (x == 0) {
    // No room for the least current: the box takes nothing below 6000 mA,
    // so charging stops and the current it has stays.
    SwitchEnable(0);
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
  if (on == 1 && sequence_interrupted()) return 0;
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
  if (!phase_switch_allowed()) {
    log_line("Phase switch guard: output X2 not changed, the last change is too recent");
    return 0;
  }
  if (SwitchEnable(0) == 0) return 0;
  if (!control_sleep(std::chrono::seconds(5))) return 0;
  // Never switch the contactor of a box that is charging.
  if (v.wb_enable_sys != 0) return 0;
  if (!box_.set_phases(on != 0)) return 0;
  v.wb_X2_out = on;
  last_x2_change_ms_ = std::max(steady_ms(), 1LL);
  log_line(on == 0 ? "More phases OFF..." : "More phases ON...");
  // Interrupted here, the caller must not go on to the current and enable.
  return control_sleep(std::chrono::seconds(10)) ? 1 : 0;
}

}  // namespace kivd
