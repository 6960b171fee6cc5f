#include <cstdlib>

#include "core/clock.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/stop_wait.hpp"
#include "storage/speedwire.hpp"
#include "storage/storage_cycle.hpp"
#include "storage/storage_thread.hpp"
#include "storage/udp_link.hpp"

namespace kivd {

void StartStorageSystem(int index, std::stop_token stop) {
  if (!log_worker_start(index, cfg().SSUsing, "Storage system reader not used...",
                        "Starting storage system reader..."))
    return;
  // "SIX0H" is the one type the configuration lets through.
  log_line("Storage: Sunny Island / Sunny Boy Storage");

  const StopFd stop_fd(stop);
  storage::CycleInput in;
  in.secret = speedwire::encode_user_password(cfg().SSPassword);
  int kind = 0;  // storage kind, kept across cycles
  while (storage::wait_for_cycle(stop)) {
    const Settings& s = cfg();
    storage::UdpLink link(stop_fd, s.SSServer, s.SSPort);
    const std::time_t now = time_source().wall_now();
    // A fresh application serial per cycle from a generator seeded with the
    // time; rand_r keeps other threads' use of rand() out of it.
    unsigned seed = static_cast<unsigned>(now);
    const int a = rand_r(&seed);
    const int b = rand_r(&seed);
    in.app_serial = speedwire::application_serial(a, b);
    in.now_s = static_cast<std::uint32_t>(now);
    if (storage::run_cycle(link, in, kind) == storage::CycleEnd::Stopped) break;
  }
}

}  // namespace kivd
