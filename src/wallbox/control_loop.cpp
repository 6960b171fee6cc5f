#include "log.hpp"
#include "settings.hpp"
#include "threads.hpp"
#include "wait_for_stop.hpp"

namespace kivd {

void ControlKEBA(int index, std::stop_token stop) {
  if (!is_true(cfg().WallboxUsing)) {
    log_line("Thread %d: No using keba wallbox controller...", index);
    return;
  }
  log_line("Thread %d: Starting keba wallbox controller...", index);
  if (!iequals(cfg().WallboxType, "KEBAP20")) {
    log_line("Thread %d: No valid keba type found...", index);
    return;
  }
  wait_for_stop(stop);
}

int SwitchEnable(int) { return 0; }
int SwitchRelais(int) { return 0; }
int SetCurrent(int) { return 0; }

}  // namespace kivd
