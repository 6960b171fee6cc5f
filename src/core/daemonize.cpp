#include "core/daemonize.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/signals.hpp"

namespace kivd {

namespace {

void close_all_descriptors() {
  if (::syscall(SYS_close_range, 0u, ~0u, 0u) == 0) return;
  for (int fd = ::getdtablesize(); fd >= 0; --fd) ::close(fd);
}

}  // namespace

bool daemonize() {
  if (::getppid() == 1) return false;

  const pid_t pid = ::fork();
  if (pid < 0) std::exit(1);
  if (pid > 0) std::exit(0);

  ::setsid();
  close_all_descriptors();
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    [[maybe_unused]] int a = ::dup(null_fd);
    [[maybe_unused]] int b = ::dup(null_fd);
  }
  ::umask(027);
  [[maybe_unused]] int cd = ::chdir(cfg().LOG_DIR.c_str());

  // The log folder may be world-writable: never follow a planted link.
  const int lock_fd = ::open(cfg().PID_FILE.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0640);
  if (lock_fd < 0) {
    // Other open failures end quietly; a planted link is worth telling.
    if (errno == ELOOP) log_line("PID file %s is a symbolic link, not followed", cfg().PID_FILE.c_str());
    std::exit(1);
  }
  if (::lockf(lock_fd, F_TLOCK, 0) < 0) std::exit(0);
  char text[12];
  const int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
  // A shorter number must not leave digits of an older one behind.
  [[maybe_unused]] int t = ::ftruncate(lock_fd, 0);
  [[maybe_unused]] ssize_t w = ::pwrite(lock_fd, text, static_cast<size_t>(n), 0);

  install_signal_thread();
  return true;
}

}  // namespace kivd
