#include "wallbox/control_loop.hpp"

#include "core/clock.hpp"
#include "core/keba_codes.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/test_hooks.hpp"
#include "wallbox/keba_exchange.hpp"
#include "wallbox/keba_udp.hpp"

namespace kivd {

bool control_sleep(std::chrono::milliseconds d) { return sleep_for(d / test_wallbox_speedup(), thread_stop()); }

ChargingControl& charging_control() {
  static ChargingControl control(keba_udp());
  return control;
}

void ControlKEBA(int index, std::stop_token stop) { charging_control().run(index, std::move(stop)); }

void ChargingControl::run(int index, std::stop_token stop) {
  if (!log_worker_start(index, cfg().WallboxUsing, "No using keba wallbox controller...",
                        "Starting keba wallbox controller..."))
    return;
  if (!is_keba_type(cfg().WallboxType)) {
    log_line("Thread %d: No valid keba type found...", index);
    return;
  }
  set_thread_stop(stop);
  if (!control_sleep(std::chrono::seconds(1))) return;
  if (!box_.refresh_reports()) log_line("ControlKEBA: Can't get the first report data from wallbox");
  failsafe_pending_ = SetFailSafe() == 0;
  if (failsafe_pending_) log_line("ControlKEBA: Can't set the failsafe-mode, firmware < 2.xx ?");
  while (!stop.stop_requested()) {
    if (!control_sleep(std::chrono::seconds(28))) return;
    for (int i = 0; i < 28; ++i)
      if (!control_sleep(std::chrono::seconds(1))) return;
    ControlCycle();
  }
}

}  // namespace kivd
