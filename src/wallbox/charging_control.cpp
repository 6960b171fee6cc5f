#include "wallbox/charging_control.hpp"

#include <algorithm>
#include <climits>

#include "core/charging_mode.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "wallbox/charging_math.hpp"
#include "wallbox/current_limits.hpp"

namespace kivd {

namespace {

constexpr int target_points = 10;

// Once a restart or update is requested, main resets the wallbox; a cycle
// still running must not enable it again before the thread is stopped.
bool pass_ending() { return daemon_state().intRestart != 0 || daemon_state().intUpdate != 0; }

ChargingMode mode_now() { return static_cast<ChargingMode>(live().ChargingMode.load()); }

}  // namespace

// Relay by the car's phases, the current, then enable (its result unused).
bool ChargingControl::charge_with(int current, int phases) {
  if (SwitchRelais(phases > 1 ? 1 : 0) == 0) return false;
  if (SetCurrent(current) == 0) return false;
  SwitchEnable(1);
  return true;
}

void ChargingControl::off_sequence() {
  if (SwitchEnable(0) && SwitchRelais(0)) SetCurrent(live().CarMinCharge);
  live().points = 0;
}

int ChargingControl::SetPower(int p) {
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
  const int watts = surplus > INT_MAX ? INT_MAX : static_cast<int>(surplus);

  if (v.WallboxActivation > p) {
    v.points = std::min(v.points + 1, target_points);
    if (v.points <= 4 && v.wb_enable_sys != 1) return 1;
    if (surplus > switchpoint) {
      if (SwitchRelais(max_phases > 1 ? 1 : 0) == 0) return 0;
      if (SetCurrent(GetDutyCurrent(watts, max_phases)) == 0) return 0;
      phasepoints_ = 5;
      SwitchEnable(1);
      return 1;
    }
    phasepoints_ = std::max(phasepoints_ - 1, 0);
    const int phases = phasepoints_ == 0 ? 1 : max_phases;
    return charge_with(GetDutyCurrent(watts, phases), phases) ? 1 : 0;
  }

  v.points = std::max(v.points - 1, 0);
  phasepoints_ = std::max(phasepoints_ - 1, 0);
  if (v.points == 0) {
    if (SwitchEnable(0) && SwitchRelais(0)) SetCurrent(v.CarMinCharge);
    phasepoints_ = 0;
  } else {
    SetCurrent(GetDutyCurrent(watts, v.wb_X2_out == 0 ? 1 : max_phases));
  }
  return 1;
}

void ChargingControl::ControlCycle() {
  const Settings& s = cfg();
  LiveValues& v = live();
  if (!pass_ending() && box_.refresh_reports()) {
    if (v.wb_failsafe == 1 && v.wb_tmo_failsafe == 0 && SetFailSafe() == 1) {
      v.isWallboxRestarted = 1;
      log_line("ControlKEBA: Failsafe mode initiated again, after wallbox restart");
    }
    const bool meter_fresh = guard_.meter_fresh();
    const int iNewPower = new_power(v.intpow, v.wb_pow, guard_.storage_power(), s.SSUsing, s.SSEVRatio);
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
    if (mode_now() == ChargingMode::Quick) {
      if (SwitchRelais(1) == 1) SwitchEnable(SetCurrent(kMaxWallboxCurrent) == 1 ? 1 : 0);
      v.points = 0;
    }
    // The mode as it is now: a datagram may have changed it since.
    switch (mode_now()) {
      case ChargingMode::Off: off_sequence(); break;
      case ChargingMode::Manual: {
        const int manual = v.ManualCurrent;
        debug_line("ControlKEBA: manual power = %d", manual);
        if (SwitchRelais(valid_phases(v.CarMaxPhases) != 1 ? 1 : 0) == 1)
          SwitchEnable(SetCurrent(manual) == 1 ? 1 : 0);
        v.points = 0;
        break;
      }
      case ChargingMode::Surplus:
        debug_line("ControlKEBA: surplus power = %d (must be negative to activate)", iNewPower);
        // Without fresh meter values the surplus is unknown.
        if (v.wb_plug <= 4 || !meter_fresh) off_sequence();
        else SetPower(iNewPower);
        break;
      default: break;
    }
    debug_line("ControlKEBA: points = %d", v.points.load());
  }
  stamp_now(v.last_wbc_datetime);
}

}  // namespace kivd
