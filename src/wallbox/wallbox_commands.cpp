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

bool ChargingControl::mode_changed() {
  const int m = sequence_mode_;
  if (m < 0 || m == live().ChargingMode) return false;
  log_line("ControlKEBA: charging mode changed, the running sequence stops");
  sequence_mode_ = -1;  // said once; nothing more of it is sent
  return true;
}

int ChargingControl::phases_for(int relay) {
  const int from_relay = relay == 1 ? valid_phases(live().CarMaxPhases) : 1;
  return car_phases(from_relay, seen_phases_);
}

void ChargingControl::note_x2_change() {
  last_x2_change_ms_ = std::max(steady_ms(), 1LL);
  store_guard();
}

bool ChargingControl::phase_switch_allowed() const {
  const long long last = std::max(last_x2_change_ms_.load(), live().wb_x2_seen_ms.load());
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
  int x = limited_current(mA, v.CarMinCharge, guard_.safety_current(), v.wb_curr_hw);
  // A raise waits for a meter reading taken after the last one took effect.
  const bool raise = v.wb_enable_sys == 1 && x > v.wb_curr_usr;
  if (raise && !guard_.may_raise()) {
    debug_line("SetCurrent: %d mA held at %d mA until the meter shows the last raise", x, v.wb_curr_usr.load());
    x = v.wb_curr_usr;
  }
  v.safety_curr = x;
  if (x == 0) {
    // No room for the least current: the box takes nothing below 6000 mA,
    // so charging stops and the current it has stays.
    SwitchEnable(0);
    return 0;
  }
  if (raise && mode_changed()) return 0;
  if (!box_.set_current(x)) return unanswered();
  if (raise) guard_.note_raise();
  v.wb_curr_usr = x;
  want_current_ = x;
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
  if (on == 1 && (sequence_interrupted() || mode_changed())) return 0;
  if (on == 1 && !guard_.may_raise()) {
    debug_line("SwitchEnable: waits for a meter reading after the last raise");
    return 0;
  }
  log_line(on == 0 ? "Charging disabled..." : "Charging enabled...");
  if (!box_.enable(on != 0)) return unanswered();
  if (on == 1) guard_.note_raise();
  v.wb_enable_sys = on;
  want_enable_ = on;
  // A disabled box draws nothing, while its currents from the last report
  // would stay until the next one: the fuse limit computed after a phase
  // change (15 s later, the meter no longer sees the car) would add back a
  // draw that has gone and allow more than the fuses carry.
  if (on == 0) {
    v.wb_i1 = 0;
    v.wb_i2 = 0;
    v.wb_i3 = 0;
    v.wb_pow = 0;
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
  if (on == 1 && mode_changed()) return 0;
  // Sent is as good as changed for the guard: the box may have switched
  // though its answer never came.
  // Stored before it is sent: a daemon killed in between still knows.
  note_x2_change();
  const bool ok = box_.set_phases(on != 0);
  if (!ok) unanswered();
  if (!ok) return 0;
  v.wb_X2_out = on;
  want_x2_ = on;
  // Seen again once the car draws: a box without X2 contactor shows it at
  // the next report (and the surplus watch catches the import until then).
  if (!x2_ignored_) seen_phases_ = 0;
  log_line(on == 0 ? "More phases OFF..." : "More phases ON...");
  // Interrupted here, the caller must not go on to the current and enable.
  return control_sleep(std::chrono::seconds(10)) ? 1 : 0;
}

}  // namespace kivd
