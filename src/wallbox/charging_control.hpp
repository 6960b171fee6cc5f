// The charging policy: what the wallbox should do, once per cycle, carried
// out through the commands of a Wallbox. The controller keeps its own state
// (the phase hysteresis, a Tesla workaround under way); the charging values
// that the pages show (points, safety current) are live values.
#pragma once

#include <atomic>
#include <chrono>
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

 private:
  bool charge_with(int current, int phases);
  void off_sequence();

  Wallbox& box_;
  MeterGuard guard_;
  std::atomic<int> phasepoints_{0};
  // Set while the Tesla workaround's own current is being sent, so that a
  // disable triggered by that current does not apply the workaround again.
  std::atomic<bool> tesla_active_{false};
};

// Sleeps of the control (cycle, relay, workaround) go through here: the
// thread's stop ends them. KIVD_TEST_HOOKS=1 with KIVD_TEST_WALLBOX_SPEEDUP=n
// divides them by n for the integration tests.
bool control_sleep(std::chrono::milliseconds d);

}  // namespace kivd
