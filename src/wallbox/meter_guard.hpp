// Whether the meter's and the storage's values may drive the control.
// Stale meter values never drive a fuse decision: the current is then never
// raised above the car's minimum, and only kept there while the last check
// of fresh values allowed it. Fresh values count the box's own currents as
// room only when both were taken at one moment, after the car's last raise
// took effect.
#pragma once

#include <atomic>
#include <chrono>

namespace kivd {

// A meter reading and report 3 this close together are one moment.
inline constexpr std::chrono::milliseconds kOneMoment{3000};
// A raise of the car's current (acknowledged) shows in the box's currents
// and the meter within this time.
inline constexpr std::chrono::seconds kRaiseSettles{5};

class MeterGuard {
 public:
  // Checks the meter's receipt time against [SMARTMETER] TIMEOUT, keeps
  // em_stale and logs each change; true when fresh. A meter that is not used counts as stale.
  bool meter_fresh();
  // Whether the last fresh reading and report 3 are one moment, the reading
  // newer than the last raise: only then the box's share counts as room.
  bool one_moment() const;
  // Whether the last reading was taken after the last raise took effect.
  bool newer_than_raise() const;
  // Whether the current may go up on this reading: taken after the last
  // raise took effect, and no phase suspect (below).
  bool may_raise();
  // Notes a raise of the car's draw (enable, higher current) now.
  void note_raise();
  // The fuse limit for a current to send now: the check of fresh values
  // (remembered), or while stale stale_meter_limit of the last one.
  int safety_current();
  // The storage's AC power for the balance: 0 when the storage is not used;
  // nothing when its value is older than three storage cycles (logged on
  // change), as the battery may then be discharging into the car.
  bool storage_power(int& watts);

 private:
  // False while a phase reads 0 where the box draws on it: physics rules
  // that out (a dead sensor, a phase wired elsewhere), so the reading is
  // stale until that phase reads something again (logged once).
  bool plausible();
  enum : int { kUnknown = -1, kFresh = 0, kStale = 1 };
  std::atomic<int> last_fresh_mA_{0};  // 0 until a fresh check
  std::atomic<int> meter_state_{kUnknown};
  std::atomic<int> storage_state_{kUnknown};
  std::atomic<int> suspect_phase_{0};  // 1..3, 0 = none
  // steady_ms() by which the last raise has taken effect, 0 = none.
  std::atomic<long long> raise_settled_ms_{0};
};

}  // namespace kivd
