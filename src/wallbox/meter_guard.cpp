#include "wallbox/meter_guard.hpp"

#include <chrono>

#include "core/clock.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "wallbox/charging_math.hpp"
#include "wallbox/current_limits.hpp"

namespace kivd {

bool MeterGuard::meter_fresh() {
  const Settings& s = cfg();
  LiveValues& v = live();
  const bool fresh = meter_values_fresh();
  v.em_stale = fresh ? 0 : 1;
  if (fresh) last_fresh_mA_ = kivd::safety_current(safety_input()).current_mA;
  const int was = meter_state_.exchange(fresh ? kFresh : kStale);
  if (!fresh && was != kStale) log_line("Energymeter: no fresh data for %d s - charging limited", s.KivTimeout);
  if (fresh && was == kStale) log_line("Energymeter: data fresh again");
  return fresh;
}

int MeterGuard::safety_current() {
  if (meter_fresh()) return GetSafetyCurrent();
  const int c = stale_meter_limit(last_fresh_mA_, live().CarMinCharge);
  debug_line("GetSafetyCurrent: meter data stale, last fresh limit %d mA, now %d mA", last_fresh_mA_.load(), c);
  return c;
}

int MeterGuard::storage_power() {
  const LiveValues& v = live();
  if (!cfg().SSUsing) return 0;
  const bool fresh = is_fresh(v.ss_received_ms, kStorageFreshFor);
  const int was = storage_state_.exchange(fresh ? kFresh : kStale);
  if (!fresh && was != kStale)
    log_line("Storage: no fresh values for %d s - left out of the balance",
             static_cast<int>(kStorageFreshFor.count()));
  if (fresh && was == kStale) log_line("Storage: values fresh again");
  return fresh ? v.ss_ac_power.load() : 0;
}

}  // namespace kivd
