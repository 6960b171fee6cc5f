#include "log.hpp"
#include "settings.hpp"
#include "threads.hpp"
#include "wait_for_stop.hpp"

namespace kivd {

void KNXSender(int index, std::stop_token stop) {
  if (!is_true(cfg().KNXUsing)) {
    log_line("Thread %d: KNX interface not used ...", index);
    return;
  }
  log_line("Thread %d: Starting knx interface...", index);
  wait_for_stop(stop);
}

}  // namespace kivd
