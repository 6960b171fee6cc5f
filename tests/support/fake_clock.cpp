#include "support/fake_clock.hpp"

#include <thread>

namespace kivd::test {

bool FakeClock::sleep_for(std::chrono::milliseconds d, std::stop_token stop) {
  if (stop.stop_requested()) return false;
  ms_ += d.count();
  ++sleeps_;
  if (on_sleep) on_sleep(*this);
  std::this_thread::yield();
  return !stop.stop_requested();
}

}  // namespace kivd::test
