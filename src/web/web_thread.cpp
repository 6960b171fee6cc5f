// The web server thread: one listening socket for the life of the process
// (restart passes leave it alone), one forked child per connection, and the
// hand-over applied after each child has ended.
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

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/local_time.hpp"
#include "core/log.hpp"
#include "core/private_dir.hpp"
#include "core/settings.hpp"
#include "core/stop_wait.hpp"
#include "core/udp_socket.hpp"
#include "core/unique_fd.hpp"
#include "core/utils.hpp"
#include "web/handover.hpp"
#include "web/http_request.hpp"
#include "web/service_request.hpp"
#include "web/sessions.hpp"
#include "web/web_thread.hpp"

namespace kivd {

namespace {

using namespace std::chrono_literals;

// A request child that runs this long is ended: the server serves one
// connection at a time, so a hung child would take the whole interface.
constexpr auto kChildLimit = 15min;

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

[[noreturn]] void run_child(int listen_fd, int conn, const TimeSnapshot& snap) {
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
    if (web::Service_Request(conn, snap) == 0) lingering_close_input(conn);
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

enum class AfterChild { Serve, Update };

AfterChild apply_handover() {
  std::string vars;
  if (web::get_temp_variables(vars) > 0) web::SetVariablesAll(vars, "Webserver: parent get interop string: ");
  std::string action;
  if (web::get_temp_actions(action) > 0 && !action.empty()) {
    debug_line("Webserver: parent get interop string: %s", action.c_str());
    if (web::iequal(action, "restart")) {
      log_line("Restart kivd daemon initiated...");
      daemon_state().intRestart = 1;
    } else if (web::iequal(action, "update")) {
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

UniqueFd open_listening_socket() {
  const Settings& s = cfg();
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) Error_Quit("Webserver: Couldn't create listening socket. Waiting...");
  if (!bind_to_device(fd.get(), s.NetworkInterface))
    log_line("Webserver: error binding interface to %.59s, fallback to default", s.NetworkInterface.c_str());
  const timeval tv{web::kSendTimeoutSec, 0};
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
    log_line("Webserver: setsockopt send timeout failed");
  // A new daemon must get its port back while old connections sit in TIME_WAIT.
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (!bind_any(fd.get(), static_cast<std::uint16_t>(s.WebPort)))
    Error_Quit("Webserver: Couldn't bind listening socket, again. Now exit!");
  if (::listen(fd.get(), web::kListenBacklog) != 0) Error_Quit("Webserver: Call to listen failed.");
  return fd;
}

}  // namespace

void StartWebserver(int index, std::stop_token stop) {
  log_line("Thread %d: Starting webserver...", index);
  UniqueFd listener = open_listening_socket();
  web::remove_temp_files();
  web::make_shared_sessions();
  const StopFd stopfd(stop);

  while (!stopfd.stop_requested()) {
    const WaitResult w = stopfd.wait_readable(listener.get(), std::chrono::milliseconds(-1));
    if (w == WaitResult::Stopped) break;
    UniqueFd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      log_line("Webserver: Error calling accept()");
      sleep_for(5s, stop);
      continue;
    }
    const TimeSnapshot snap = take_time_snapshot();
    const pid_t pid = ::fork();
    if (pid < 0) {
      log_line("Webserver: Error create fork.");
      if (::close(conn.release()) != 0) log_line("Webserver: Error closing connected socket in parent.");
      continue;
    }
    if (pid == 0) run_child(listener.get(), conn.get(), snap);

    debug_line("Webserver: parent started");
    if (!wait_child(pid, stopfd)) {
      // The hand-over files stay until after the next connection.
      log_line("Webserver: error waitpid.");
    } else {
      debug_line("Webserver: parent after waiting for the end of the child");
      if (apply_handover() == AfterChild::Update) {
        if (::close(conn.release()) != 0) log_line("Webserver: Error closing connection socket in child.");
        if (::close(listener.release()) != 0) log_line("Webserver: Error closing listening socket in child.");
        daemon_state().intUpdate = 1;
        return;
      }
    }
    if (::close(conn.release()) != 0) log_line("Webserver: Error closing connected socket in parent.");
    debug_line("Webserver: parent fork ended.");
  }
}

}  // namespace kivd
