// Virtual time for the benchmark: every sleep of the control returns at once
// and moves the clock on, calling the house's physics for each whole second
// it passes. The physics may run control commands themselves (the restart's
// reset), whose sleeps then nest.
#pragma once

#include <chrono>
#include <functional>

#include "core/clock.hpp"

namespace kivd::bench {

class VirtualClock final : public kivd::Clock {
 public:
  explicit VirtualClock(long long start_s) : ms_(start_s * 1000) {}

  Steady::time_point now() override { return Steady::time_point(std::chrono::milliseconds(ms_)); }
  std::time_t wall_now() override { return kWallBase + ms_ / 1000; }
  bool sleep_for(std::chrono::milliseconds d, std::stop_token stop) override;

  long long second() const { return ms_ / 1000; }
  // Called once for every whole second the clock reaches.
  std::function<void(long long second)> on_second;

 private:
  // Midnight UTC of a summer day; only log stamps see it.
  static constexpr std::time_t kWallBase = 1'782'604'800;
  long long ms_;
};

// Installs the clock for the life of the object.
class ScopedClock {
 public:
  explicit ScopedClock(kivd::Clock& c) { kivd::set_clock(&c); }
  ~ScopedClock() { kivd::set_clock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace kivd::bench
