#include "wallbox/control_loop.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "wallbox/charging_math.hpp"
#include "wallbox/keba_exchange.hpp"

namespace kivd {

namespace {

constexpr int target_points = 10;
std::atomic<int> phasepoints{0};
// Set while the Tesla workaround's own current is being sent, so that a
// disable triggered by that current does not apply the workaround again.
std::atomic<bool> tesla_active{false};

int speedup() {
  static const int s = [] {
    const char* hooks = std::getenv("KIVD_TEST_HOOKS");
    const char* v = std::getenv("KIVD_TEST_WALLBOX_SPEEDUP");
    if (hooks == nullptr || std::string_view(hooks) != "1" || v == nullptr) return 1;
    const int n = std::atoi(v);
    return n >= 1 && n <= 1000 ? n : 1;
  }();
  return s;
}

int send_command(const char* fmt, long a) {
  char cmd[64];
  std::snprintf(cmd, sizeof cmd, fmt, a);
  return SendData(cmd);
}

}  // namespace

bool control_sleep(std::chrono::milliseconds d) { return sleep_for(d / speedup(), thread_stop()); }

int phase_points() { return phasepoints; }
void set_phase_points(int n) { phasepoints = n; }

int SetFailSafe() {
  char cmd[64];
  std::snprintf(cmd, sizeof cmd, "failsafe %ld %ld 0", 120L, 0L);
  if (SendData(cmd) == 0) return 0;
  LiveValues& v = live();
  v.wb_curr_failsafe = 0;
  v.wb_tmo_failsafe = 120;
  v.wb_failsafe = 1;
  return 1;
}

int GetSafetyCurrent() {
  const Settings& s = cfg();
  const LiveValues& v = live();
  const SafetyInput in{s.InfrastructureCurrent,
                       s.InfrastructureDistance,
                       {v.em_i1.load(), v.em_i2.load(), v.em_i3.load()},
                       {v.wb_i1.load(), v.wb_i2.load(), v.wb_i3.load()}};
  const SafetyResult r = safety_current(in);
  debug_line("GetSafetyCurrent: EM L1: %lld, L2: %lld, L3: %lld, WB L1: %d, L2: %d, L3: %d, lowest free common: %d",
             r.free_mA[0], r.free_mA[1], r.free_mA[2], in.wallbox_mA[0], in.wallbox_mA[1], in.wallbox_mA[2],
             r.current_mA);
  return r.current_mA;
}

int GetDutyCurrent(int watts, int phases) {
  if (cfg().FixTeslaBug == 1) {
    const int c = duty_current_tesla(watts, phases);
    debug_line("Tesla 'overload workaround': only 1000mA steps, now %d mA", c);
    return c;
  }
  return duty_current(watts, phases);
}

int SetCurrent(int mA) {
  LiveValues& v = live();
  const int x = limited_current(mA, v.CarMinCharge, GetSafetyCurrent());
  v.safety_curr = x;
  if (x == 0) {
    SwitchEnable(0);
    if (send_command("curr %ld", 0) == 1) v.wb_curr_usr = 0;
    return 0;
  }
  if (send_command("curr %ld", x) == 0) return 0;
  v.wb_curr_usr = x;
  return 1;
}

int SwitchEnable(int on) {
  LiveValues& v = live();
  if (v.wb_enable_sys == on) return 1;
  if (on == 0 && cfg().FixTeslaBug == 1 && !tesla_active.exchange(true)) {
    log_line("Tesla 'increase current workaround': 32A set and wait 7s...");
    SetCurrent(32000);
    control_sleep(std::chrono::seconds(7));
    tesla_active = false;
    if (v.wb_enable_sys == on) return 1;  // the workaround's own current already disabled
  }
  log_line(on == 0 ? "Charging disabled..." : "Charging enabled...");
  if (send_command("ena %ld", on) == 0) return 0;
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

int SwitchRelais(int on) {
  LiveValues& v = live();
  if (v.wb_X2_out == on) return 1;
  if (SwitchEnable(0) == 0) return 0;
  if (!control_sleep(std::chrono::seconds(5))) return 0;
  if (send_command("output %ld", on) == 0) return 0;
  v.wb_X2_out = on;
  log_line(on == 0 ? "More phases OFF..." : "More phases ON...");
  control_sleep(std::chrono::seconds(10));
  return 1;
}

namespace {

// Relay by the car's phases, the current, then enable (its result unused).
int charge_with(int current, int phases) {
  if (SwitchRelais(phases > 1 ? 1 : 0) == 0) return 0;
  if (SetCurrent(current) == 0) return 0;
  SwitchEnable(1);
  return 1;
}

void off_sequence() {
  if (SwitchEnable(0) && SwitchRelais(0)) SetCurrent(live().CarMinCharge);
  live().points = 0;
}

}  // namespace

int SetPower(int p) {
  const Settings& s = cfg();
  LiveValues& v = live();
  const long long surplus = -static_cast<long long>(p);
  if (s.SSUsing) {
    v.intStorageControl = 1;
    control_sleep(std::chrono::seconds(1));
  }
  const int switchpoint = switch_point(v.CarMinCharge);
  debug_line("SetPower: switchpoint = %d", switchpoint);
  const int max_phases = valid_phases(v.CarMaxPhases);
  const int watts = surplus > INT32_MAX ? INT32_MAX : static_cast<int>(surplus);

  if (v.WallboxActivation > p) {
    v.points = std::min(v.points + 1, target_points);
    if (v.points <= 4 && v.wb_enable_sys != 1) return 1;
    if (surplus > switchpoint) {
      if (SwitchRelais(max_phases > 1 ? 1 : 0) == 0) return 0;
      if (SetCurrent(GetDutyCurrent(watts, max_phases)) == 0) return 0;
      phasepoints = 5;
      SwitchEnable(1);
      return 1;
    }
    phasepoints = std::max(phasepoints - 1, 0);
    if (phasepoints == 0) return charge_with(GetDutyCurrent(watts, 1), 1);
    return charge_with(GetDutyCurrent(watts, max_phases), max_phases);
  }

  v.points = std::max(v.points - 1, 0);
  phasepoints = std::max(phasepoints - 1, 0);
  if (v.points == 0) {
    if (SwitchEnable(0) && SwitchRelais(0)) SetCurrent(v.CarMinCharge);
    phasepoints = 0;
  } else {
    SetCurrent(GetDutyCurrent(watts, v.wb_X2_out == 0 ? 1 : max_phases));
  }
  return 1;
}

namespace {
// Once a restart or update is requested, main resets the wallbox; a cycle
// still running must not enable it again before the thread is stopped.
bool pass_ending() { return daemon_state().intRestart != 0 || daemon_state().intUpdate != 0; }
}  // namespace

void ControlCycle() {
  const Settings& s = cfg();
  LiveValues& v = live();
  if (!pass_ending() && GetReports() == 1) {
    if (v.wb_failsafe == 1 && v.wb_tmo_failsafe == 0 && SetFailSafe() == 1) {
      v.isWallboxRestarted = 1;
      log_line("ControlKEBA: Failsafe mode initiated again, after wallbox restart");
    }
    const int iNewPower = new_power(v.intpow, v.wb_pow, v.ss_ac_power, s.SSUsing, s.SSEVRatio);
    debug_line("ControlKEBA: wb_plug = %d, iNewPower = %d", v.wb_plug.load(), iNewPower);
    debug_line("ControlKEBA: error1 = 0x%x, error2 = 0x%x", static_cast<unsigned>(v.wb_error1.load()),
               static_cast<unsigned>(v.wb_error2.load()));
    if (v.wb_state == 4) {
      log_line("Charging error: wait 10 seconds to continue");
      control_sleep(std::chrono::seconds(10));
    }
    if (pass_ending()) {
      stamp_now(v.last_wbc_datetime);
      return;
    }
    if (v.ChargingMode == 2) {
      if (SwitchRelais(1) == 1) SwitchEnable(SetCurrent(kMaxWallboxCurrent) == 1 ? 1 : 0);
      v.points = 0;
    }
    switch (v.ChargingMode.load()) {
      case 4: off_sequence(); break;
      case 3: {
        const int manual = v.ManualCurrent;
        debug_line("ControlKEBA: manual power = %d", manual);
        if (SwitchRelais(valid_phases(v.CarMaxPhases) != 1 ? 1 : 0) == 1)
          SwitchEnable(SetCurrent(manual) == 1 ? 1 : 0);
        v.points = 0;
        break;
      }
      case 1:
        debug_line("ControlKEBA: surplus power = %d (must be negative to activate)", iNewPower);
        if (v.wb_plug <= 4) off_sequence();
        else SetPower(iNewPower);
        break;
      default: break;
    }
    debug_line("ControlKEBA: points = %d", v.points.load());
  }
  stamp_now(v.last_wbc_datetime);
}

void ControlKEBA(int index, std::stop_token stop) {
  if (!cfg().WallboxUsing) {
    log_line("Thread %d: No using keba wallbox controller...", index);
    return;
  }
  log_line("Thread %d: Starting keba wallbox controller...", index);
  if (!iequals(cfg().WallboxType, "KEBAP20")) {
    log_line("Thread %d: No valid keba type found...", index);
    return;
  }
  set_thread_stop(stop);
  if (!control_sleep(std::chrono::seconds(1))) return;
  if (GetReports() == 0) log_line("ControlKEBA: Can't get the first report data from wallbox");
  if (SetFailSafe() == 0) log_line("ControlKEBA: Can't set the failsafe-mode, firmware < 2.xx ?");
  while (!stop.stop_requested()) {
    if (!control_sleep(std::chrono::seconds(28))) return;
    for (int i = 0; i < 28; ++i)
      if (!control_sleep(std::chrono::seconds(1))) return;
    ControlCycle();
  }
}

}  // namespace kivd
