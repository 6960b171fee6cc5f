// Requests that may change something: one forked child at a time answers
// the request, the server waits for it and then applies the hand-over.
#include "web/request_child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "core/daemon_state.hpp"
#include "core/local_time.hpp"
#include "core/log.hpp"
#include "core/private_dir.hpp"
#include "core/settings.hpp"
#include "web/handover.hpp"
#include "web/service_request.hpp"

namespace kivd::web {

namespace {

using namespace std::chrono_literals;

// The child's end of the hand-over sync (see serve_in_child): -1 outside a
// request child.
int g_ready_fd = -1;  // the child writes one byte when its hand-over is written
int g_applied_fd = -1;  // and reads one back once the daemon applied it

// A child that hands over waits this long for the daemon to apply it.
constexpr int kApplyWaitMs = 3000;

// A request child that runs this long is ended: children run one at a time,
// so a hung child would hold every request that changes something.
constexpr auto kChildLimit = 15min;

// A request child may outlive a restart (a download takes minutes): it must
// not keep the wallbox port or any other socket of the daemon bound, or the
// next pass could not bind it again. Lock-free (no opendir): a raw read of
// /proc/self/fd, then every socket but the connection is closed.
void close_daemon_sockets(int keep) {
  const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  int fds[256];
  std::size_t count = 0;
  alignas(8) char buf[4096];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, dir, buf, sizeof buf);
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
      unsigned short reclen = 0;
      std::memcpy(&reclen, buf + at + 16, sizeof reclen);
      const int fd = std::atoi(buf + at + 19);  // "." and ".." read as 0
      if (fd > 2 && fd != dir && fd != keep && count < std::size(fds)) fds[count++] = fd;
      if (reclen == 0) break;
      at += reclen;
    }
  }
  ::close(dir);
  for (std::size_t i = 0; i < count; ++i) {
    struct stat st;
    if (::fstat(fds[i], &st) == 0 && S_ISSOCK(st.st_mode)) ::close(fds[i]);
  }
}

[[noreturn]] void run_child(int listen_fd, int conn, ReqInfo& req, const TimeSnapshot& snap) {
  enter_forked_child(snap.local.tm_gmtoff);
  // The daemon's signals are taken by its signal thread, which the child
  // does not have: give the child the default behaviour back.
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
  debug_line("Webserver: child opened PID %d", static_cast<int>(::getpid()));
  if (::close(listen_fd) != 0) {
    log_line("Webserver: Error closing listening socket in child.");
  } else {
    close_daemon_sockets(conn);
    answer_request(conn, req, snap, true);
    lingering_close_input(conn);
  }
  if (::close(conn) != 0) log_line("Webserver: Error closing connected socket in child.");
  debug_line("Webserver: child ended PID %d", static_cast<int>(::getpid()));
  ::_exit(0);
}

// Waits for this child only (nothing else reaps it: SIGCHLD is not handled
// by reaping). True when it ended normally within the limit.
bool wait_child(pid_t pid, const StopFd& stop) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  bool ended = true;
  if (pidfd >= 0) {
    UniqueFd guard(pidfd);
    const WaitResult w = stop.wait_readable(pidfd, std::chrono::duration_cast<std::chrono::milliseconds>(kChildLimit));
    if (w != WaitResult::Ready) {
      if (w == WaitResult::Timeout)
        log_line("Webserver: request child PID %d still running after %d s, ended", static_cast<int>(pid),
                static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(kChildLimit).count()));
      ended = false;
    }
  }
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  return ended && r == pid;
}

bool update_files_present() {
  const std::string dir = update_folder();
  for (const char* f : {"/bin/kiv_updater", "/bin/kivd"}) {
    const std::string path = (dir.empty() ? cfg().LOG_DIR + "/kivd.d/kivupdate" : dir) + f;
    const std::string why = untrusted_reason(path);
    if (why == "not found") {
      log_line("Webserver: update request ignored, %s not found", path.c_str());
      return false;
    }
    if (!why.empty()) {
      log_line("Webserver: update request ignored, %s %s", path.c_str(), why.c_str());
      return false;
    }
  }
  return true;
}

void apply_variables() {
  std::string vars;
  if (get_temp_variables(vars) > 0) SetVariablesAll(vars, "Webserver: parent get interop string: ");
}

// Waits until the child says its hand-over is written (one byte: the
// variables are applied now, and the child told so before it answers) or
// until it has ended (end of file). False on a time-out or a stop.
bool apply_when_written(int ready, int applied, const StopFd& stop) {
  const WaitResult w = stop.wait_readable(ready, std::chrono::duration_cast<std::chrono::milliseconds>(kChildLimit));
  if (w != WaitResult::Ready) return w == WaitResult::Error;
  char b;
  ssize_t n;
  do {
    n = ::read(ready, &b, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1) {
    apply_variables();
    [[maybe_unused]] const ssize_t r = ::write(applied, "a", 1);
  }
  return true;
}

AfterChild apply_handover() {
  apply_variables();
  std::string action;
  if (get_temp_actions(action) > 0 && !action.empty()) {
    debug_line("Webserver: parent get interop string: %s", action.c_str());
    if (iequal(action, "restart")) {
      log_line("Restart kivd daemon initiated...");
      daemon_state().intRestart = 1;
    } else if (iequal(action, "update")) {
      // Without an unpacked update the daemon would only restart, and this
      // thread, started once per process, would be gone for good.
      if (update_files_present()) {
        log_line("Update kivd daemon initiated...");
        return AfterChild::Update;
      }
    }
  }
  return AfterChild::Serve;
}

}  // namespace

void handover_written() {
  if (g_ready_fd < 0) return;
  const int ready = g_ready_fd;
  g_ready_fd = -1;  // once per request
  if (::write(ready, "w", 1) != 1) return;
  pollfd p{g_applied_fd, POLLIN, 0};
  char b;
  if (::poll(&p, 1, kApplyWaitMs) != 1 || ::read(g_applied_fd, &b, 1) != 1)
    log_line("Webserver: hand-over not applied within %d ms, answered anyway", kApplyWaitMs);
}

// Ends the answer with a FIN and reads what the client still sends for a
// moment: closing with unread bytes would reset the connection, and the
// client could lose the answer (an error page for an oversized request).
void lingering_close_input(int conn) {
  ::shutdown(conn, SHUT_WR);
  const auto until = std::chrono::steady_clock::now() + 500ms;
  char sink[4096];
  std::size_t total = 0;
  while (total < 65536) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{conn, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::read(conn, sink, sizeof sink);
    if (n <= 0) break;
    total += static_cast<std::size_t>(n);
  }
}

// A change followed at once by a read (/remote?mode=off, then /xml on a
// reader thread) must see the change: the child's answer leaves only after
// the daemon has applied the hand-over, so the child tells this thread when
// it is written (one pipe each way) instead of the hand-over waiting for the
// child's end.
AfterChild serve_in_child(int listen_fd, UniqueFd& conn, ReqInfo& req, const StopFd& stop) {
  const TimeSnapshot snap = take_time_snapshot();
  int ready[2] = {-1, -1}, applied[2] = {-1, -1};
  const bool piped = ::pipe2(ready, O_CLOEXEC) == 0 && ::pipe2(applied, O_CLOEXEC) == 0;
  UniqueFd ready_r(ready[0]), ready_w(ready[1]), applied_r(applied[0]), applied_w(applied[1]);
  if (!piped) {
    log_line("Webserver: no hand-over sync for this request, applied after the child");
    ready_r.reset(), ready_w.reset(), applied_r.reset(), applied_w.reset();
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    log_line("Webserver: Error create fork.");
    if (::close(conn.release()) != 0) log_line("Webserver: Error closing connected socket in parent.");
    return AfterChild::Serve;
  }
  if (pid == 0) {
    g_ready_fd = ready_w.get();
    g_applied_fd = applied_r.get();
    run_child(listen_fd, conn.get(), req, snap);
  }
  ready_w.reset();
  applied_r.reset();

  debug_line("Webserver: parent started");
  const bool synced = !ready_r || apply_when_written(ready_r.get(), applied_w.get(), stop);
  if (!synced || !wait_child(pid, stop)) {
    // The hand-over files stay until after the next child.
    log_line("Webserver: error waitpid.");
  } else {
    debug_line("Webserver: parent after waiting for the end of the child");
    if (apply_handover() == AfterChild::Update) {
      if (::close(conn.release()) != 0) log_line("Webserver: Error closing connection socket in child.");
      return AfterChild::Update;
    }
  }
  if (::close(conn.release()) != 0) log_line("Webserver: Error closing connected socket in parent.");
  debug_line("Webserver: parent fork ended.");
  return AfterChild::Serve;
}

}  // namespace kivd::web
