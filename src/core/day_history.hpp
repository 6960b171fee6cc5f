// The last day in memory: one point a minute in a fixed ring, for the home
// page's chart. It lives for the process (restart passes keep it).
//
// One thread writes (the restart cycle's thread, which always runs); web
// handlers read, on threads or in forked children. A sequence counter
// guards the ring as SeqText does a text, so a reader never waits on a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

namespace kivd {

struct DayPoint {
  std::int64_t time = 0;  // wall clock, s
  std::int32_t grid_w = 0;     // + drawn from grid, - fed in
  std::int32_t car_w = 0;      // wallbox power
  std::int32_t battery_w = 0;  // + discharging
  std::int32_t soc = 0;        // %
  std::int32_t pv_w = 0;
  bool battery_known = false;  // battery_w and soc
  bool pv_known = false;
  bool meter_stale = false;  // grid_w is an old value
};

class DayHistory {
 public:
  static constexpr std::size_t kPoints = 1440;

  // Appends a point, overwriting the oldest one when full. One writer only.
  void add(const DayPoint& p);
  // Copies the points, oldest first, into out (kPoints long at least);
  // returns how many. A reader never waits: a counter left odd by a writer
  // that no longer runs (a forked child's copy) ends the retries, and the
  // point that writer was storing is left out.
  std::size_t copy(std::span<DayPoint> out) const;

 private:
  struct Slot {
    std::atomic<std::int64_t> time{0};
    std::atomic<std::int32_t> grid_w{0}, car_w{0}, battery_w{0}, soc{0}, pv_w{0};
    std::atomic<std::uint8_t> flags{0};
  };
  void load(std::size_t i, DayPoint& p) const;

  std::atomic<std::uint32_t> seq_{0};
  std::atomic<std::uint32_t> next_{0};   // slot the next point goes to
  std::atomic<std::uint32_t> count_{0};  // points held, at most kPoints
  std::array<Slot, kPoints> slots_{};
};

// The process's ring.
DayHistory& day_history();

// Called about once a second by the restart cycle's thread: adds a point
// from the live values when a period (a minute, or KIVD_TEST_SQL_SECONDS)
// has passed on the injectable clock since the last one.
void day_history_tick();

}  // namespace kivd
