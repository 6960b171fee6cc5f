// kiv_updater: installs a downloaded kivd and starts it.
//
// The daemon replaces its own image by this program, so it runs in the
// daemon's process (same pid, the locked PID file still open) and ends by
// replacing itself with the installed daemon:
//   kiv_updater LOG_FILE NEW_KIVD INSTALLED_KIVD WAIT_SECONDS [NEW_RES RES_DEST [RUNNING_MARKER]]
// The new daemon is checked and installed atomically, so a failed update
// leaves the working program in place; the process then starts that one
// again rather than leaving the house without its daemon. The program it
// replaces is kept beside it; with RUNNING_MARKER, a watcher puts it back
// when the new one does not come up (updater/rollback_watch.hpp).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "updater/rollback_watch.hpp"
#include "updater/updater_io.hpp"

namespace {

using kiv_updater::FileExists;
using kiv_updater::log_message;

// Used only when the command line does not name the log file; relative, so
// it lands in the daemon's working folder (its LOG_DIR).
constexpr const char* kErrorLog = "errorupdate.log";

void sleep_seconds(long seconds) {
  if (seconds <= 0) return;
  timespec left{seconds, 0};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Waiting time as atoi reads it: a non-numeric text counts as 0, and so does
// a negative one.
long wait_seconds(const char* text) {
  const long v = std::strtol(text, nullptr, 10);
  return v > 0 ? v : 0;
}

// The time the new daemon has to write its running marker; tests shorten it.
long running_check_seconds(const char* name = "KIV_UPDATER_CHECK_SECONDS") {
  const char* hooks = std::getenv("KIVD_TEST_HOOKS");
  const char* s = std::getenv(name);
  if (hooks && std::strcmp(hooks, "1") == 0 && s) {
    const long v = std::strtol(s, nullptr, 10);
    if (v >= 1 && v <= 600) return v;
  }
  return 60;
}

// Empty when path is a plain file of this user that nobody else may write:
// only what the daemon itself unpacked is installed.
std::string untrusted(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return path + " cannot be read";
  if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
  if (st.st_uid != ::geteuid()) return path + " is owned by another user";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return path + " is writable by group or others";
  return {};
}

// Replaces the process image by the installed daemon; returns only when
// that fails.
void start_daemon(const std::string& log, const std::string& program) {
  // Nothing this program changed may leak into the daemon's start.
  ::signal(SIGXFSZ, SIG_DFL);
  ::execl(program.c_str(), "", static_cast<char*>(nullptr));
  log_message(log, "KIV updater: error execute " + program + ": " + std::strerror(errno) + ".");
}

// The update did not happen: the installed program is still the old,
// working one, so the daemon goes on with it after the same wait.
int keep_old_daemon(const std::string& log, const std::string& dest, long wait) {
  log_message(log, "KIV updater: update failed.");
  if (!kiv_updater::check_program(dest).empty()) return 0;
  log_message(log, "KIV updater: wait until everything is ready to restart (" + std::to_string(wait) + "s).");
  sleep_seconds(wait);
  log_message(log, "KIV updater: execute installed binary daemon.");
  start_daemon(log, dest);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    log_message(kErrorLog, "KIV updater: no parameters found!");
    return 0;
  }
  const std::string log = argv[1];
  if (argc < 4) {
    log_message(log, "Orvane Updater failed...");
    return 0;
  }
  if (argc < 5) {
    log_message(kErrorLog, "KIV updater: no parameters found!");
    return 0;
  }
  const std::string source = argv[2];
  const std::string dest = argv[3];
  const long wait = wait_seconds(argv[4]);
  const bool with_resources = argc >= 7;
  const std::string res_source = with_resources ? argv[5] : "";
  const std::string res_dest = with_resources ? argv[6] : "";
  const std::string marker = argc >= 8 ? argv[7] : "";

  log_message(log, "KIV updater: started.");
  sleep_seconds(1);
  log_message(log, "KIV updater: update new binary.");

  if (!FileExists(source)) {
    log_message(log, "KIV updater: update file " + source + " not found");
    return keep_old_daemon(log, dest, wait);
  }
  if (std::string bad = untrusted(source); !bad.empty() || !(bad = untrusted("/proc/self/exe")).empty()) {
    log_message(log, "KIV updater: update file refused: " + bad + ".");
    return keep_old_daemon(log, dest, wait);
  }
  if (const std::string bad = kiv_updater::check_program(source); !bad.empty()) {
    log_message(log, "KIV updater: update file refused: " + bad + ".");
    return keep_old_daemon(log, dest, wait);
  }
  const kiv_updater::RollbackPlan plan{log, dest, kiv_updater::previous_path(dest), marker, running_check_seconds(),
                                          running_check_seconds("KIV_UPDATER_SETTLE_SECONDS")};
  bool kept = false;
  if (FileExists(dest)) {
    const std::string err = kiv_updater::keep_previous(dest);
    kept = err.empty();
    if (!kept) log_message(log, "KIV updater: previous program not kept, no rollback possible: " + err + ".");
  }
  if (const std::string err = kiv_updater::install_program(source, dest); !err.empty()) {
    log_message(log, "KIV updater: error install " + source + " as " + dest + ": " + err + ".");
    return keep_old_daemon(log, dest, wait);
  }

  if (with_resources) {
    if (!FileExists(res_source)) {
      log_message(log, "KIV updater: new webserver files not found at: " + res_source + ".");
    } else if (!FileExists(res_dest)) {
      log_message(log, "KIV updater:  webserver destination path not found: " + res_dest + ".");
    } else if (const std::string err = kiv_updater::copy_tree(res_source, res_dest); err.empty()) {
      log_message(log, "KIV updater: webserver resources successfully updated.");
    } else {
      log_message(log, "KIV updater: error copy optional webserver resources: " + res_source + " into " + res_dest +
                           ": " + err + ".");
    }
  }

  log_message(log, "KIV updater: wait until everything is ready to restart (" + std::to_string(wait) + "s).");
  sleep_seconds(wait);
  log_message(log, "KIV updater: execute new binary daemon.");
  if (kept && !marker.empty() && !kiv_updater::start_rollback_watch(plan))
    log_message(log, "KIV updater: cannot watch the start of the new daemon.");
  start_daemon(log, dest);
  // Not even started: the kept program goes back and runs in its place.
  if (kept && kiv_updater::restore_previous(plan).empty()) {
    log_message(log, "KIV updater: previous program restored.");
    start_daemon(log, dest);
  }
  return 0;
}
