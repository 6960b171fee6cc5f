#include "log.hpp"
#include "settings.hpp"
#include "threads.hpp"
#include "wait_for_stop.hpp"

namespace kivd {

void StartStorageSystem(int index, std::stop_token stop) {
  if (!is_true(cfg().SSUsing)) {
    log_line("Thread %d: Storage system reader not used...", index);
    return;
  }
  log_line("Thread %d: Starting storage system reader...", index);
  wait_for_stop(stop);
}

}  // namespace kivd
