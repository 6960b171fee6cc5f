#include "log.hpp"
#include "threads.hpp"
#include "wait_for_stop.hpp"

namespace kivd {

void StartWebserver(int index, std::stop_token stop) {
  log_line("Thread %d: Starting webserver...", index);
  wait_for_stop(stop);
}

}  // namespace kivd
