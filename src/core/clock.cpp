#include "core/clock.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace kivd {

Clock::Steady::time_point RealClock::now() { return Steady::now(); }

std::time_t RealClock::wall_now() { return std::time(nullptr); }

bool RealClock::sleep_for(std::chrono::milliseconds d, std::stop_token stop) {
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock lock(m);
  return !cv.wait_for(lock, stop, d, [] { return false; }) && !stop.stop_requested();
}

namespace {
RealClock real_clock;
std::atomic<Clock*> current{&real_clock};
}  // namespace

Clock& time_source() { return *current.load(std::memory_order_acquire); }

void set_clock(Clock* c) { current.store(c ? c : &real_clock, std::memory_order_release); }

long long steady_ms() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time_source().now().time_since_epoch());
  // 0 means "never": a clock at its very epoch still counts as a receipt.
  return ms.count() == 0 ? 1 : ms.count();
}

bool is_fresh(long long received_ms, std::chrono::milliseconds limit) {
  return received_ms != 0 && steady_ms() - received_ms <= limit.count();
}

}  // namespace kivd
