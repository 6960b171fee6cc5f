#pragma once

#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace kivd {

// Blocks until the pass is asked to stop (for workers with nothing to do).
inline void wait_for_stop(std::stop_token stop) {
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock lock(m);
  cv.wait(lock, stop, [] { return false; });
}

}  // namespace kivd
