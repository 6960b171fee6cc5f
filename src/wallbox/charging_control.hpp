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
  // last change this process (or one before it, see load_guard) made or
  // report 2 showed.
  bool phase_switch_allowed() const;

  // Between cycles, once a second: the owner's OFF, a restarted box, and the
  // fuse and cloud watch on a fresh meter reading (lowers only).
  void watch();

  // The time of the last X2 change from the private folder, kept there with
  // CLOCK_BOOTTIME and the boot id by each change: a restarted daemon keeps
  // the guard. From another boot (or unreadable) the guard starts now.
  void load_guard();

 private:
  void off_sequence();
  void store_guard();
  void note_x2_change();
  // Phases the power arithmetic uses for a relay position.
  int phases_for(int relay);
  // Whether a mode change stopped the running sequence (logged once).
  bool mode_changed();
  void fuse_watch();
  void lower_to(int mA);
  // Notes a command the box did not answer; 0, for the caller to return.
  int unanswered() {
    reread_pending_ = true;
    return 0;
  }
  void box_restarted();
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
  // Phases the car was last seen drawing on (report 3), 0 = never.
  std::atomic<int> seen_phases_{0};
  // The car drew on more phases than X2 gives: the box has no contactor,
  // and what was seen stays true across X2 changes.
  std::atomic<bool> x2_ignored_{false};
  // The mode the running sequence carries out.
  std::atomic<int> sequence_mode_{-1};
  // The watch's state: last reading looked at, start of a grid import in
  // surplus mode, the box's restarts and broadcasts handled.
  long long watched_ms_ = 0;
  long long import_since_ms_ = 0;
  long long lowered_settled_ms_ = 0;  // the watch's last lowering shows by then
  int lowered_by_mA_ = 0;             // and takes this much off the readings until then
  std::atomic<bool> reread_pending_{false};  // a command unanswered: the reports are read again
  long long off_unanswered_ms_ = 0;   // last word of a box that left OFF unanswered
  int reboots_seen_ = 0;
  int broadcasts_seen_ = 0;
  // What the control last told the box (sent again after its restart).
  std::atomic<int> want_enable_{0}, want_current_{0}, want_x2_{0};
  std::atomic<bool> guard_loaded_{false};
};

// Sleeps of the control (cycle, relay, workaround) go through here: the
// thread's stop ends them. KIVD_TEST_HOOKS=1 with KIVD_TEST_WALLBOX_SPEEDUP=n
// divides them by n for the integration tests.
bool control_sleep(std::chrono::milliseconds d);
// A duration of the control as the test hooks scale it (see control_sleep).
std::chrono::milliseconds control_duration(std::chrono::milliseconds d);

}  // namespace kivd
