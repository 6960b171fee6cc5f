#include "virtual_clock.hpp"

#include <algorithm>

namespace kivd::bench {

bool VirtualClock::sleep_for(std::chrono::milliseconds d, std::stop_token stop) {
  const long long end = ms_ + d.count();
  // A nested sleep (from inside on_second) may carry the clock past end.
  while (ms_ < end) {
    if (stop.stop_requested()) return false;
    const long long next = std::min(end, (ms_ / 1000 + 1) * 1000);
    ms_ = next;
    if (next % 1000 == 0 && on_second) on_second(next / 1000);
  }
  return !stop.stop_requested();
}

}  // namespace kivd::bench
