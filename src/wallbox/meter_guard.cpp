#include "wallbox/meter_guard.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "core/clock.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/utils.hpp"
#include "wallbox/charging_control.hpp"
#include "wallbox/charging_math.hpp"
#include "wallbox/current_limits.hpp"

namespace kivd {

bool MeterGuard::plausible() {
  // The local chip measures no phases: it has no reading to judge.
  if (iequals(cfg().KivType, "LOCAL")) return true;
  const LiveValues& v = live();
  const int wb[3] = {v.wb_i1, v.wb_i2, v.wb_i3};
  const bool phases = v.em_one_phase_mA < 0;
  const int em[3] = {v.em_i1, v.em_i2, v.em_i3};
  const int pw[3] = {v.em_pow_1, v.em_pow_2, v.em_pow_3};
  int bad = 0;
  if (phases) {
    for (int p = 0; p < 3 && bad == 0; ++p)
      if (implausible_phase(em[p], pw[p], wb[p])) bad = p + 1;
  } else if (v.intpow == 0 && v.em_one_phase_mA == 0 && implausible_phase(0, 0, std::max({wb[0], wb[1], wb[2]}))) {
    bad = 1;
  }
  if (bad != 0) {
    if (suspect_phase_.exchange(bad) == 0)
      log_line("Energymeter: L%d reads 0 while the wallbox draws %d mA on it - reading taken as stale", bad,
               wb[bad - 1]);
    return false;
  }
  // Once caught, the phase stays suspect with the car off too (a dead
  // sensor reads 0 either way) until it shows a reading again.
  const int suspect = suspect_phase_;
  if (suspect == 0) return true;
  const bool reads = phases ? em[suspect - 1] > 100 || pw[suspect - 1] != 0 : v.intpow != 0;
  if (!reads) return false;
  suspect_phase_ = 0;
  log_line("Energymeter: L%d reads again", suspect);
  return true;
}

bool MeterGuard::meter_fresh() {
  const Settings& s = cfg();
  LiveValues& v = live();
  const bool fresh = meter_values_fresh() && plausible();
  v.em_stale = fresh ? 0 : 1;
  if (fresh) last_fresh_mA_ = kivd::safety_current(safety_input(one_moment())).current_mA;
  const int was = meter_state_.exchange(fresh ? kFresh : kStale);
  if (!fresh && was != kStale) log_line("Energymeter: no fresh data for %d s - charging limited", s.KivTimeout);
  if (fresh && was == kStale) log_line("Energymeter: data fresh again");
  return fresh;
}

bool MeterGuard::newer_than_raise() const { return live().em_received_ms > raise_settled_ms_; }

bool MeterGuard::may_raise() { return newer_than_raise() && suspect_phase_ == 0; }

bool MeterGuard::one_moment() const {
  const LiveValues& v = live();
  const long long r3 = v.wb_report3_ms, at = v.em_received_ms;
  return r3 != 0 && at != 0 && std::llabs(r3 - at) <= kOneMoment.count() && newer_than_raise();
}

void MeterGuard::note_raise() { raise_settled_ms_ = steady_ms() + control_duration(kRaiseSettles).count(); }

int MeterGuard::safety_current() {
  if (meter_fresh()) return GetSafetyCurrent(one_moment());
  const int c = stale_meter_limit(last_fresh_mA_, live().CarMinCharge);
  debug_line("GetSafetyCurrent: meter data stale, last fresh limit %d mA, now %d mA", last_fresh_mA_.load(), c);
  return c;
}

bool MeterGuard::storage_power(int& watts) {
  const LiveValues& v = live();
  watts = 0;
  if (!cfg().SSUsing) return true;
  const bool fresh = is_fresh(v.ss_received_ms, kStorageFreshFor);
  const int was = storage_state_.exchange(fresh ? kFresh : kStale);
  if (!fresh && was != kStale)
    log_line("Storage: no fresh values for %d s - no surplus counted", static_cast<int>(kStorageFreshFor.count()));
  if (fresh && was == kStale) log_line("Storage: values fresh again");
  if (fresh) watts = v.ss_ac_power;
  return fresh;
}

}  // namespace kivd
