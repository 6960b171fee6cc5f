#include "updater/rollback_watch.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "updater/updater_io.hpp"

namespace kiv_updater {

namespace {

volatile sig_atomic_t stopped = 0;

void on_stop(int) { stopped = 1; }

void pause_ms(long ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  ::nanosleep(&left, &left);  // a stop signal ends it early, as it should
}

// An ended process that its parent has not reaped yet counts as gone.
bool alive(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char buf[512];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return true;
  buf[n] = '\0';
  const char* end = std::strrchr(buf, ')');
  return !(end && end[1] == ' ' && (end[2] == 'Z' || end[2] == 'X'));
}

// The watcher's whole life; never returns.
[[noreturn]] void watch(const RollbackPlan& plan, pid_t daemon) {
  // The service manager stops the whole group when its main process ends:
  // that stop is the news that the new program did not come up.
  struct sigaction sa{};
  sa.sa_handler = on_stop;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGHUP, SIG_IGN);
  const bool managed = std::getenv("INVOCATION_ID") != nullptr;

  const long steps = plan.seconds * 5;
  bool marked = false;
  for (long i = 0;; ++i) {
    if (marker_names(plan.marker, daemon)) {
      marked = true;
      break;
    }
    if (i >= steps || stopped || !alive(daemon)) break;
    pause_ms(200);
  }
  // Up is not enough: a program that crashes a moment after its marker is
  // no better than one that never starts.
  long lasted = 0;
  if (marked) {
    const long settle_steps = plan.settle * 5;
    long i = 0;
    while (i < settle_steps && !stopped && alive(daemon)) {
      pause_ms(200);
      ++i;
    }
    if (i >= settle_steps && alive(daemon) && marker_fresh(plan.marker)) {
      log_message(plan.log, "KIV updater: new daemon is running.");
      ::_exit(0);
    }
    lasted = i / 5;
  }
  // Alive but its main loop no longer turns (the marker's time stood still):
  // hung, no better than crashed.
  const bool hung = marked && lasted >= plan.settle && alive(daemon);
  ::signal(SIGTERM, SIG_IGN);
  const bool hangs = alive(daemon);
  const std::string err = restore_previous(plan);
  if (!err.empty()) {
    log_message(plan.log, "KIV updater: new daemon did not start, previous program not restored: " + err + ".");
    ::_exit(1);
  }
  if (hung)
    log_message(plan.log, "KIV updater: new daemon stopped refreshing its running marker within " +
                              std::to_string(plan.settle) + "s, previous program restored.");
  else if (marked)
    log_message(plan.log, "KIV updater: new daemon ended " + std::to_string(lasted) +
                              "s after reaching its running state, previous program restored.");
  else
    log_message(plan.log, "KIV updater: new daemon did not reach its running state within " +
                              std::to_string(plan.seconds) + "s, previous program restored.");
  if (hangs) {
    ::kill(daemon, SIGKILL);
    for (int i = 0; i < 100 && alive(daemon); ++i) pause_ms(100);
  }
  if (managed) {
    log_message(plan.log, "KIV updater: the service manager starts the previous program.");
    ::_exit(0);
  }
  log_message(plan.log, "KIV updater: execute previous binary daemon.");
  ::signal(SIGTERM, SIG_DFL);
  ::execl(plan.dest.c_str(), "", static_cast<char*>(nullptr));
  log_message(plan.log, "KIV updater: error execute " + plan.dest + ": " + std::strerror(errno) + ".");
  ::_exit(1);
}

}  // namespace

std::string previous_path(const std::string& dest) { return dest + ".previous"; }

bool marker_fresh(const std::string& marker) {
  struct stat st;
  if (::lstat(marker.c_str(), &st) != 0) return false;
  const std::time_t age = std::time(nullptr) - st.st_mtim.tv_sec;
  return age >= -kMarkerFreshSeconds && age <= kMarkerFreshSeconds;
}

bool marker_names(const std::string& marker, long pid) {
  const int fd = ::open(marker.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  char buf[32] = {};
  const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                    (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  const ssize_t n = ours ? ::read(fd, buf, sizeof buf - 1) : -1;
  ::close(fd);
  return n > 0 && std::strtol(buf, nullptr, 10) == pid;
}

std::string keep_previous(const std::string& dest) {
  const std::string previous = previous_path(dest);
  ::unlink(previous.c_str());
  // A second name for the installed file: the install renames a new file
  // over dest, so the old program lives on here without a copy.
  if (::link(dest.c_str(), previous.c_str()) != 0) return previous + ": " + std::strerror(errno);
  return {};
}

std::string restore_previous(const RollbackPlan& plan) {
  if (::rename(plan.previous.c_str(), plan.dest.c_str()) != 0) return plan.previous + ": " + std::strerror(errno);
  return {};
}

bool start_rollback_watch(const RollbackPlan& plan) {
  const pid_t daemon = ::getpid();
  // Twice forked: the watcher is nobody's child that the new daemon would
  // have to reap.
  const pid_t first = ::fork();
  if (first < 0) return false;
  if (first == 0) {
    if (::fork() == 0) {
      ::setsid();
      ::close_range(3, ~0U, 0);
      watch(plan, daemon);
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kiv_updater
