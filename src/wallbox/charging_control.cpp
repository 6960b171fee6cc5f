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

void ChargingControl::off_sequence() {
  if (SwitchEnable(0) && SwitchRelais(relay_for(0))) SetCurrent(live().CarMinCharge);
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
  const int switchpoint = switch_point(v.CarMinCharge, v.wb_curr_hw);
  debug_line("SetPower: switchpoint = %d", switchpoint);
  const int max_phases = valid_phases(v.CarMaxPhases);
  const int watts = surplus > INT_MAX ? INT_MAX : static_cast<int>(surplus);
  // A car that draws on more phases than the relay gives (no X2 contactor)
  // needs the least current on each of them from the surplus.
  const int present = phases_for(v.wb_X2_out);
  const int relay_phases = v.wb_X2_out == 1 ? max_phases : 1;
  long long activation = v.WallboxActivation;
  if (present > relay_phases) activation = activation * present / relay_phases;

  if (activation > p) {
    v.points = std::min(v.points + 1, target_points);
    if (v.points <= 4 && v.wb_enable_sys != 1) return 1;
    const bool above = surplus > switchpoint;
    if (!above) phasepoints_ = std::max(phasepoints_ - 1, 0);
    const int wanted = above || phasepoints_ > 0 ? max_phases : 1;
    // While the guard holds the relay, the phases stay as they are and only
    // the current follows the surplus (at least the car's minimum, within
    // the fuses: without room SetCurrent disables).
    const int relay = relay_for(wanted > 1 ? 1 : 0);
    const int phases = phases_for(relay);
    if (SwitchRelais(relay) == 0) return 0;
    if (SetCurrent(GetDutyCurrent(watts, phases)) == 0) return 0;
    if (above && relay == 1) phasepoints_ = 5;
    SwitchEnable(1);
    return 1;
  }

  v.points = std::max(v.points - 1, 0);
  phasepoints_ = std::max(phasepoints_ - 1, 0);
  if (v.points == 0) {
    if (SwitchEnable(0) && SwitchRelais(relay_for(0))) SetCurrent(v.CarMinCharge);
    phasepoints_ = 0;
  } else {
    SetCurrent(GetDutyCurrent(watts, present));
  }
  return 1;
}

bool ChargingControl::reports_answered() {
  if (box_.refresh_reports()) {
    reports_missing_ = false;
    return true;
  }
  // Without fresh reports nothing is decided: the box's fail-safe guards it.
  // Said once for a run of such cycles.
  if (!reports_missing_.exchange(true)) log_line("ControlKEBA: wallbox reports not answered, cycle skipped");
  return false;
}

void ChargingControl::retry_failsafe() {
  if (failsafe_pending_ && SetFailSafe() == 1) {
    failsafe_pending_ = false;
    log_line("ControlKEBA: Failsafe mode set on a later try");
  }
}

void ChargingControl::ControlCycle() {
  const Settings& s = cfg();
  LiveValues& v = live();
  if (!pass_ending() && reports_answered()) {
    retry_failsafe();
    if (v.wb_failsafe == 1 && v.wb_tmo_failsafe == 0 && SetFailSafe() == 1) {
      v.isWallboxRestarted = 1;
      log_line("ControlKEBA: Failsafe mode initiated again, after wallbox restart");
    }
    if (v.wb_phases > 0 && v.wb_enable_sys == 1) {
      seen_phases_ = v.wb_phases.load();
      if (v.wb_X2_out == 0 && v.wb_phases > 1 && !x2_ignored_.exchange(true))
        log_line("ControlKEBA: the car draws on %d phases with X2 off - counted on them from now on", v.wb_phases.load());
    }
    const bool meter_fresh = guard_.meter_fresh();
    // The car's power comes off the grid reading only when both are of one
    // moment; otherwise the car counts as house load (less surplus).
    const int car_mW = guard_.one_moment() ? v.wb_pow.load() : 0;
    int storage_W = 0;
    const bool storage_known = guard_.storage_power(storage_W);
    int iNewPower = new_power(v.intpow, car_mW, storage_W, s.SSUsing, s.SSEVRatio);
    // Unknown storage: the battery may be discharging into the car, so
    // nothing counts as surplus.
    if (!storage_known) iNewPower = std::max(iNewPower, v.WallboxActivation.load());
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
    sequence_mode_ = static_cast<int>(mode_now());
    if (mode_now() == ChargingMode::Quick) {
      // A stale meter switches no relay: the phases stay as they are.
      const int relay = meter_fresh ? relay_for(1) : v.wb_X2_out.load();
      if (SwitchRelais(relay) == 1) SwitchEnable(SetCurrent(kMaxWallboxCurrent) == 1 ? 1 : 0);
      v.points = 0;
    }
    sequence_mode_ = static_cast<int>(mode_now());
    // The mode as it is now: a datagram may have changed it since.
    switch (mode_now()) {
      case ChargingMode::Off: off_sequence(); break;
      case ChargingMode::Manual: {
        const int manual = v.ManualCurrent;
        debug_line("ControlKEBA: manual power = %d", manual);
        if (SwitchRelais(relay_for(valid_phases(v.CarMaxPhases) != 1 ? 1 : 0)) == 1)
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
