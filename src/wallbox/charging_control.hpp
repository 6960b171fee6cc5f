// The charging policy: what the wallbox should do, once per cycle, carried
// out through the commands of a Wallbox. The controller keeps its own state
// (the phase hysteresis, a Tesla workaround under way); the charging values
// that the pages show (points, safety current) are live values.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <stop_token>

#include "wallbox/meter_guard.hpp"
#include "wallbox/wallbox.hpp"

namespace kivd {

class ChargingControl {
 public:
  explicit ChargingControl(Wallbox& box) : box_(box) {}
  ChargingControl(const ChargingControl&) = delete;
  ChargingControl& operator=(const ChargingControl&) = delete;

  // The control thread's body: first reports and fail-safe, then a cycle
  // every 56 s until the stop.
  void run(int index, std::stop_token stop);
  // One cycle after the sleep: reports, restart check, balance, mode.
  void ControlCycle();
  // One step of the surplus algorithm; the balance in W is negative when
  // power is left over.
  int SetPower(int iNewPower);

  // Wallbox commands, also used by the restart cycle's reset; 1 success,
  // 0 failure.
  int SwitchEnable(int on);
  int SwitchRelais(int on);
  int SetCurrent(int mA);
  int SetFailSafe();

  // Cycles left before falling back to one phase.
  int phase_points() const { return phasepoints_; }

  // The reset before a restart or update, on main's thread: a sequence of
  // the control thread (relay, enable, workaround) stops at its next step and
  // is waited for; then disable, relay off (as the guard allows), minimum
  // current. Never interleaves with the control's own commands.
  void reset_wallbox();

  // Whether output X2 may change now: at least PHASE_SWITCH_GUARD since the
  // last change this process made.
  bool phase_switch_allowed() const;

 private:
  void off_sequence();
  // Refreshes the reports; logs a skipped cycle once for a run of them.
  bool reports_answered();
  // Arms the fail-safe when the start could not.
  void retry_failsafe();
  // The relay position to use: the wanted one, or the present one while the
  // guard holds it.
  int relay_for(int wanted);
  // Runs the thread's cycles; the pass's stop or a reset interrupts them.
  void cycles(std::stop_source interrupt);

  Wallbox& box_;
  MeterGuard guard_;
  std::atomic<int> phasepoints_{0};
  // Held by the control thread for a whole start step or cycle and by the
  // reset, so that their command sequences never mix.
  std::mutex sequence_;
  // The running thread's interrupt (no state while no thread runs).
  std::mutex interrupt_m_;
  std::stop_source interrupt_{std::nostopstate};
  // Steady time (ms) of the last acknowledged change of output X2; 0 = none.
  std::atomic<long long> last_x2_change_ms_{0};
  // Set while the Tesla workaround's own current is being sent, so that a
  // disable triggered by that current does not apply the workaround again.
  std::atomic<bool> tesla_active_{false};
  // The start's fail-safe command was not acknowledged: retried every cycle.
  std::atomic<bool> failsafe_pending_{false};
  // The last cycle was skipped for want of reports.
  std::atomic<bool> reports_missing_{false};
};

// Sleeps of the control (cycle, relay, workaround) go through here: the
// thread's stop ends them. KIVD_TEST_HOOKS=1 with KIVD_TEST_WALLBOX_SPEEDUP=n
// divides them by n for the integration tests.
bool control_sleep(std::chrono::milliseconds d);
// A duration of the control as the test hooks scale it (see control_sleep).
std::chrono::milliseconds control_duration(std::chrono::milliseconds d);

}  // namespace kivd
