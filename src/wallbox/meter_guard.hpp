// Whether the meter's and the storage's values are recent enough to drive
// the control. Stale meter values never drive a fuse decision: the current
// is then never raised above the car's minimum, and only kept there while
// the last check of fresh values allowed it.
#pragma once

#include <atomic>

namespace kivd {

class MeterGuard {
 public:
  // Checks the meter's receipt time against [SMARTMETER] TIMEOUT, keeps
  // em_stale and logs each change; true when fresh. A meter that is not
  // used counts as stale.
  bool meter_fresh();
  // The fuse limit for a current to send now: the check of fresh values
  // (remembered), or while stale stale_meter_limit of the last one.
  int safety_current();
  // The storage's AC power for the balance: 0 when the storage is not used
  // or its value is older than three storage cycles (logged on change).
  int storage_power();

 private:
  enum : int { kUnknown = -1, kFresh = 0, kStale = 1 };
  std::atomic<int> last_fresh_mA_{0};  // 0 until a fresh check
  std::atomic<int> meter_state_{kUnknown};
  std::atomic<int> storage_state_{kUnknown};
};

}  // namespace kivd
