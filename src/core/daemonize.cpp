#include "core/daemonize.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/signals.hpp"

namespace kivd {

namespace {

void close_all_descriptors() {
  if (::syscall(SYS_close_range, 0u, ~0u, 0u) == 0) return;
  for (int fd = ::getdtablesize(); fd >= 0; --fd) ::close(fd);
}

// The PID file stays open (it holds the lock); its text is written again
// while the disk could not take it.
int g_pid_fd = -1;
bool g_pid_whole = true;
bool g_pid_failure_logged = false;

// The PID as one whole line, or an empty file: a number cut short would
// name another process.
bool write_pid_text() {
  char text[12];
  const int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
  // A shorter number must not leave digits of an older one behind.
  [[maybe_unused]] int t = ::ftruncate(g_pid_fd, 0);
  const ssize_t w = ::pwrite(g_pid_fd, text, static_cast<size_t>(n), 0);
  if (w == n) return true;
  const int err = w < 0 ? errno : ENOSPC;
  [[maybe_unused]] int t2 = ::ftruncate(g_pid_fd, 0);
  if (!g_pid_failure_logged)
    log_line("PID file %s could not be written: %s, written again once there is room", cfg().PID_FILE.c_str(),
             std::strerror(err));
  g_pid_failure_logged = true;
  return false;
}

}  // namespace

void keep_pid_file() {
  if (g_pid_fd < 0 || g_pid_whole) return;
  g_pid_whole = write_pid_text();
  if (g_pid_whole) log_line("PID file %s written", cfg().PID_FILE.c_str());
}

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
  g_pid_fd = lock_fd;
  g_pid_whole = write_pid_text();

  install_signal_thread();
  return true;
}

}  // namespace kivd
