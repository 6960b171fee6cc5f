// The phase switch guard across restarts of the daemon: the box refuses an
// X2 change within its own guard whoever asks, so a restarted or updated
// daemon must know when the last change was. Kept as CLOCK_BOOTTIME (which
// neither jumps nor stops in suspend) with the boot id it belongs to.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "core/clock.hpp"
#include "core/log.hpp"
#include "core/private_dir.hpp"
#include "wallbox/charging_control.hpp"

namespace kivd {

namespace {

long long boottime_ms() {
  timespec t{};
  clock_gettime(CLOCK_BOOTTIME, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::string boot_id() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  in >> id;
  return id;
}

std::string guard_path() {
  const std::string dir = private_dir();
  return dir.empty() ? std::string() : dir + "/x2_guard";
}

}  // namespace

void ChargingControl::load_guard() {
  if (guard_loaded_.exchange(true)) return;
  const std::string path = guard_path();
  if (path.empty() || !untrusted_reason(path).empty()) return;  // never written: no change to guard
  std::ifstream in(path);
  std::string id;
  long long at = -1;
  in >> id >> at;
  const long long now = steady_ms();
  const long long elapsed = boottime_ms() - at;
  if (in && id == boot_id() && at >= 0 && elapsed >= 0) {
    last_x2_change_ms_ = std::max(now - elapsed, 1LL);
    debug_line("Phase switch guard: last X2 change %lld s ago", elapsed / 1000);
  } else {
    // Another boot: how long ago is not known, so the guard starts now.
    last_x2_change_ms_ = std::max(now, 1LL);
    log_line("Phase switch guard: time of the last X2 change unknown, output X2 kept for the guard time");
  }
}

void ChargingControl::store_guard() {
  const std::string path = guard_path();
  if (path.empty()) return;
  const std::string tmp = path + ".new";
  char text[96];
  const int n = std::snprintf(text, sizeof text, "%s %lld\n", boot_id().c_str(), boottime_ms());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const bool ok = ::write(fd, text, static_cast<std::size_t>(n)) == n && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    log_line("Phase switch guard: cannot keep the time of the X2 change in %s", path.c_str());
  }
}

}  // namespace kivd
