// A clock for tests: sleeps return at once (unless a stop was requested) and
// move the clock forward, so a worker's cycles run without real waiting.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

#include "core/clock.hpp"

namespace kivd::test {

class FakeClock final : public kivd::Clock {
 public:
  explicit FakeClock(std::time_t wall_start = 1'800'000'000) : wall_start_(wall_start) {}

  Steady::time_point now() override { return Steady::time_point(elapsed()); }
  std::time_t wall_now() override {
    return wall_start_ + std::chrono::duration_cast<std::chrono::seconds>(elapsed()).count();
  }
  bool sleep_for(std::chrono::milliseconds d, std::stop_token stop) override;

  void advance(std::chrono::milliseconds d) { ms_ += d.count(); }
  std::chrono::milliseconds elapsed() const { return std::chrono::milliseconds(ms_.load()); }
  long sleeps() const { return sleeps_.load(); }
  // Called after every sleep (e.g. to stop a worker after n cycles).
  std::function<void(FakeClock&)> on_sleep;

 private:
  std::time_t wall_start_;
  std::atomic<long long> ms_{0};
  std::atomic<long> sleeps_{0};
};

// Installs a fake clock for the life of the object.
class ScopedFakeClock {
 public:
  explicit ScopedFakeClock(FakeClock& c) { kivd::set_clock(&c); }
  ~ScopedFakeClock() { kivd::set_clock(nullptr); }
};

}  // namespace kivd::test
