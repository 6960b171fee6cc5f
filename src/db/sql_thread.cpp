#include "log.hpp"
#include "settings.hpp"
#include "threads.hpp"
#include "wait_for_stop.hpp"

namespace kivd {

void StartSQL(int index, std::stop_token stop) {
  if (!is_true(cfg().MyUsing)) {
    log_line("Thread %d: SQL database client not used...", index);
    return;
  }
  log_line("Thread %d: Starting SQL database client...", index);
  wait_for_stop(stop);
}

void CheckDatabase() {}

}  // namespace kivd
