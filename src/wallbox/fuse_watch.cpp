// The control between its cycles: the meter reports every second, the
// cycle comes every 56 s. What cannot wait that long is done here, and it
// only ever lowers: raising stays with the cycle and its hysteresis.
#include <algorithm>
#include <cstdlib>

#include "core/charging_mode.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "wallbox/charging_control.hpp"
#include "wallbox/charging_math.hpp"

namespace kivd {

namespace {

// A grid import in surplus mode for this long is a cloud, not a kettle.
constexpr std::chrono::seconds kCloudAfter{5};
// A lowering shows in the meter within this time: a phase still over the
// limit after it (a car still ramping up, a second load) is lowered again.
constexpr std::chrono::seconds kLowerSettles{2};

}  // namespace

void ChargingControl::watch() {
  LiveValues& v = live();
  if (daemon_state().intRestart != 0 || daemon_state().intUpdate != 0) return;
  // The owner's OFF takes effect now, not at the next cycle.
  if (static_cast<ChargingMode>(v.ChargingMode.load()) == ChargingMode::Off && v.wb_enable_sys == 1) {
    // A silent box is asked again only once it has said something since
    // the last try: one line per outage, not two a second.
    const long long heard = v.wb_received_ms;
    if (off_unanswered_ms_ != 0 && heard == off_unanswered_ms_) return;
    sequence_mode_ = v.ChargingMode.load();
    off_sequence();
    if (v.wb_enable_sys == 1 && v.wb_received_ms == heard) {
      if (off_unanswered_ms_ == 0)
        log_line("ControlKEBA: wallbox does not answer - charging OFF is sent again when it answers");
      off_unanswered_ms_ = heard;
    } else {
      off_unanswered_ms_ = 0;
    }
    return;
  }
  off_unanswered_ms_ = 0;
  // A broadcast may be the box's first word after a restart: its reports
  // tell (their seconds counter went back).
  const int broadcasts = v.wb_broadcasts;
  if (broadcasts != broadcasts_seen_) {
    broadcasts_seen_ = broadcasts;
    box_.refresh_reports();
  }
  // A command without answer may still have been carried out (a box that
  // charges while the control believes it disabled is watched by nobody):
  // the box's reports tell, within a second.
  // Once per such command: a box that answers nothing gets no more traffic.
  if (reread_pending_.exchange(false)) box_.refresh_reports();
  if (v.wb_reboots != reboots_seen_) {
    reboots_seen_ = v.wb_reboots;
    box_restarted();
    return;
  }
  fuse_watch();
}

void ChargingControl::box_restarted() {
  LiveValues& v = live();
  log_line("ControlKEBA: wallbox restarted - fail-safe, phases and current set again");
  failsafe_pending_ = SetFailSafe() == 0;
  if (!failsafe_pending_) {
    v.isWallboxRestarted = 1;  // report 1 is read again
    log_line("ControlKEBA: Failsafe mode initiated again, after wallbox restart");
  }
  sequence_mode_ = v.ChargingMode.load();
  const int enable = want_enable_, current = want_current_, x2 = want_x2_;
  // The box woke with X2 off: back on only as the guard allows (fewer
  // phases are the safe side meanwhile).
  if (x2 != v.wb_X2_out && SwitchRelais(relay_for(x2)) == 0) return;
  if (current >= kMinChargeCurrent && SetCurrent(current) == 0) return;
  if (enable == 1) SwitchEnable(1);
}

void ChargingControl::fuse_watch() {
  const Settings& s = cfg();
  LiveValues& v = live();
  if (v.wb_enable_sys != 1) {
    import_since_ms_ = 0;
    return;
  }
  const int present = v.wb_curr_usr;
  // Stale (silent, repeating or a phase reading 0 under the car): down to
  // what a stale meter allows now, not at the next cycle.
  if (!guard_.meter_fresh()) {
    import_since_ms_ = 0;
    const int allowed = guard_.safety_current();
    if (allowed == 0) {
      log_line("Fuse watch: no fresh meter reading - charging disabled");
      sequence_mode_ = v.ChargingMode.load();
      SwitchEnable(0);
    } else if (allowed < present) {
      log_line("Fuse watch: no fresh meter reading - current lowered to %d mA", allowed);
      lower_to(allowed);
    }
    return;
  }
  const long long at = v.em_received_ms;
  if (at == watched_ms_) return;  // nothing new from the meter
  watched_ms_ = at;
  // Lowering needs no reading after the last raise: one from before shows
  // less of the car than there will be. A reading from before the watch's
  // own lowering settled still shows what it took off.
  if (steady_ms() >= lowered_settled_ms_) lowered_by_mA_ = 0;
  std::array<int, 3> wallbox{}, meter{};
  const int minimum = std::max(v.CarMinCharge.load(), kMinChargeCurrent);
  int fuse = -1;
  const auto judge = [&] {
    wallbox = {v.wb_i1.load(), v.wb_i2.load(), v.wb_i3.load()};
    meter = fuse_meter_mA({v.em_i1.load(), v.em_i2.load(), v.em_i3.load()}, v.em_one_phase_mA.load(), wallbox);
    const bool known = drawn_phases(wallbox) > 0;
    for (int p = 0; p < 3; ++p)
      if (!known || wallbox[p] >= kPhaseDrawn_mA) meter[p] -= lowered_by_mA_;
    fuse = fuse_watch_current(meter, wallbox, s.InfrastructureCurrent, s.InfrastructureDistance, present, minimum);
  };
  judge();
  // Over the limit: lower from what the car draws now, not from the last
  // cycle's report 3 (a car still ramping up draws less than it is allowed).
  if (fuse >= 0 && v.wb_report3_ms < at && box_.refresh_reports()) judge();
  if (fuse == 0) {
    log_line("Fuse watch: a phase above %d mA even at the least current - charging disabled",
             s.InfrastructureCurrent - s.InfrastructureDistance);
    sequence_mode_ = v.ChargingMode.load();
    SwitchEnable(0);
    return;
  }
  if (fuse > 0 && fuse < present) {
    log_line("Fuse watch: L1 %d, L2 %d, L3 %d mA above %d mA - current lowered to %d mA", meter[0], meter[1], meter[2],
             s.InfrastructureCurrent - s.InfrastructureDistance, fuse);
    lower_to(fuse);
    return;
  }
  if (!guard_.newer_than_raise() || at <= lowered_settled_ms_) return;
  // In surplus mode the car follows a cloud down within seconds.
  if (static_cast<ChargingMode>(v.ChargingMode.load()) != ChargingMode::Surplus) return;
  const int allowed = std::abs(v.WallboxActivation.load());
  if (v.intpow <= allowed) {
    import_since_ms_ = 0;
    return;
  }
  if (import_since_ms_ == 0) import_since_ms_ = at;
  if (at - import_since_ms_ < control_duration(kCloudAfter).count()) return;
  // From what the car really draws, on the phases it draws on: a current set
  // above the car's own limit, or a relay believed on one phase, would
  // otherwise make the step too small or too large.
  const int drawn = *std::max_element(wallbox.begin(), wallbox.end());
  const int from = drawn >= kPhaseDrawn_mA ? std::min(present, drawn) : present;
  const int phases = std::max(phases_for(v.wb_X2_out), drawn_phases(wallbox));
  const int lower = cloud_current(v.intpow, from, phases, minimum);
  import_since_ms_ = 0;
  if (lower >= present) return;
  log_line("Surplus watch: %d W from the grid - current lowered to %d mA", v.intpow.load(), lower);
  lower_to(lower);
}

// A box that does not take the lower current stops charging instead.
void ChargingControl::lower_to(int mA) {
  LiveValues& v = live();
  const int before = v.wb_curr_usr;
  if (!box_.set_current(mA)) {
    unanswered();
    log_line("Fuse watch: the wallbox did not take %d mA - charging disabled", mA);
    sequence_mode_ = v.ChargingMode.load();
    SwitchEnable(0);
    return;
  }
  v.wb_curr_usr = want_current_ = mA;
  lowered_by_mA_ += std::max(before - mA, 0);
  lowered_settled_ms_ = steady_ms() + control_duration(kLowerSettles).count();
}

}  // namespace kivd
