#include "wallbox/control_loop.hpp"

#include "core/clock.hpp"
#include "core/keba_codes.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/test_hooks.hpp"
#include "wallbox/keba_exchange.hpp"
#include "wallbox/keba_udp.hpp"

namespace kivd {

std::chrono::milliseconds control_duration(std::chrono::milliseconds d) { return d / test_wallbox_speedup(); }

bool control_sleep(std::chrono::milliseconds d) { return sleep_for(control_duration(d), thread_stop()); }

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
  // The thread's sleeps and exchanges end at the pass's stop or at a reset.
  std::stop_source interrupt;
  std::stop_callback forward(stop, [&interrupt] { interrupt.request_stop(); });
  set_thread_stop(interrupt.get_token());
  {
    std::lock_guard lock(interrupt_m_);
    interrupt_ = interrupt;
  }
  cycles(interrupt);
  std::lock_guard lock(interrupt_m_);
  interrupt_ = std::stop_source(std::nostopstate);
}

void ChargingControl::cycles(std::stop_source interrupt) {
  if (!control_sleep(std::chrono::seconds(1))) return;
  {
    std::lock_guard sequence(sequence_);
    if (interrupt.stop_requested()) return;
    load_guard();
    if (!box_.refresh_reports()) log_line("ControlKEBA: Can't get the first report data from wallbox");
    failsafe_pending_ = SetFailSafe() == 0;
    if (failsafe_pending_) log_line("ControlKEBA: Can't set the failsafe-mode, firmware < 2.xx ?");
  }
  while (!interrupt.stop_requested()) {
    // The watch looks at each second's meter reading between the cycles.
    for (int i = 0; i < 56; ++i) {
      if (!control_sleep(std::chrono::seconds(1))) return;
      std::lock_guard sequence(sequence_);
      if (interrupt.stop_requested()) return;
      watch();
    }
    std::lock_guard sequence(sequence_);
    if (interrupt.stop_requested()) return;
    ControlCycle();
  }
}

void ChargingControl::reset_wallbox() {
  {
    std::lock_guard lock(interrupt_m_);
    interrupt_.request_stop();
  }
  std::lock_guard sequence(sequence_);
  if (SwitchEnable(0) && SwitchRelais(relay_for(0))) SetCurrent(cfg().CarMinCharge);
  if (live().wb_X2_out != 0 && !phase_switch_allowed())
    log_line("Reset wallbox: more phases stay ON, the last phase switch is too recent");
}

}  // namespace kivd
