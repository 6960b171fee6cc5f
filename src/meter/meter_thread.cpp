#include <algorithm>

#include "core/clock.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "meter/meter_modes.hpp"
#include "meter/meter_thread.hpp"

namespace kivd {

namespace meter {

bool LogLimiter::allow() {
  const auto now = time_source().now();
  if (logged_ && now - last_ < interval_) return false;
  logged_ = true;
  last_ = now;
  return true;
}

std::optional<int> retry_until_up(const StopFd& stop, std::chrono::seconds first_wait,
                                  const std::function<bool(bool log_failure)>& attempt) {
  auto wait = first_wait;
  for (int failed = 0;; ++failed) {
    if (wait.count() > 0 && !sleep_for(wait, stop.token())) return std::nullopt;
    if (attempt(failed == 0)) return failed;
    if (stop.token().stop_requested()) return std::nullopt;
    wait = failed == 0 ? kFirstRetry : std::min(wait * 2, kMaxRetry);
  }
}

}  // namespace meter

void StartKIV(int index, std::stop_token stop) {
  const Settings& s = cfg();
  if (!log_worker_start(index, s.KivUsing, "Energymeter service not used...",
                        "Starting energymeter service..."))
    return;
  const std::string& type = s.KivType;
  if (iequals(type, "AS1440")) log_line("Energymeter: Elster AS1440 (Mode C)");
  if (iequals(type, "MT175")) log_line("Energymeter: ISKRA MT175 (SML)");
  if (iequals(type, "SMA")) log_line("Energymeter: SMA Energy Meter");
  if (iequals(type, "LOCAL")) log_line("Energymeter: Local smartmeter chip");

  const StopFd stop_fd(stop);
  if (iequals(type, "AS1440") || iequals(type, "MT175"))
    meter::run_d0_mode(stop_fd, iequals(type, "MT175"));
  else if (iequals(type, "SMA"))
    meter::run_sma_mode(stop_fd);
  else if (iequals(type, "OEM"))
    meter::run_oem_mode(stop_fd);
  else if (iequals(type, "LOCAL"))
    meter::run_local_mode(stop_fd);
}

}  // namespace kivd
