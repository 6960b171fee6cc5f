#include "log.hpp"
#include "settings.hpp"
#include "threads.hpp"
#include "wait_for_stop.hpp"

namespace kivd {

void StartKIV(int index, std::stop_token stop) {
  if (!is_true(cfg().KivUsing)) {
    log_line("Thread %d: Energymeter service not used...", index);
    return;
  }
  log_line("Thread %d: Starting energymeter service...", index);
  wait_for_stop(stop);
}

}  // namespace kivd
