// Time for every worker: sleeps and time-outs go through here so that tests
// can drive control cycles, KNX passes and the database minute without
// waiting in real time.
#pragma once

#include <chrono>
#include <ctime>
#include <stop_token>

namespace kivd {

class Clock {
 public:
  using Steady = std::chrono::steady_clock;
  virtual ~Clock() = default;
  virtual Steady::time_point now() = 0;
  virtual std::time_t wall_now() = 0;
  // Sleeps for d; returns false as soon as a stop is requested.
  virtual bool sleep_for(std::chrono::milliseconds d, std::stop_token stop) = 0;
};

class RealClock final : public Clock {
 public:
  Steady::time_point now() override;
  std::time_t wall_now() override;
  bool sleep_for(std::chrono::milliseconds d, std::stop_token stop) override;
};

// The clock in use (the real one unless a test replaced it).
Clock& time_source();
// Replaces the clock; nullptr goes back to real time. Not for use while
// workers run.
void set_clock(Clock* c);

// time_source().now() in ms since its epoch: receipt times of live values.
long long steady_ms();
// Whether a value received at `received_ms` (steady_ms(), 0 = never) is at
// most `limit` old.
bool is_fresh(long long received_ms, std::chrono::milliseconds limit);

// Shorthand for time_source().sleep_for.
inline bool sleep_for(std::chrono::milliseconds d, std::stop_token stop) {
  return time_source().sleep_for(d, std::move(stop));
}

}  // namespace kivd
