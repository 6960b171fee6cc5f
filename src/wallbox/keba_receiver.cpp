#include "log.hpp"
#include "settings.hpp"
#include "threads.hpp"
#include "wait_for_stop.hpp"

namespace kivd {

void StartKEBAReceiver(int index, std::stop_token stop) {
  if (!is_true(cfg().WallboxUsing)) {
    log_line("Thread %d: UDP receiver (wallbox) not used...", index);
    return;
  }
  log_line("Thread %d: Starting udp receiver...", index);
  wait_for_stop(stop);
}

}  // namespace kivd
