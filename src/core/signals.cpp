#include "core/signals.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/test_hooks.hpp"
#include "core/utils.hpp"

namespace kivd {

namespace {

std::atomic<pid_t> g_signal_pid{0};  // the process whose signal thread runs
const std::string kDashes(31, '-');

void remove_pid_file() {
  if (::unlink(cfg().PID_FILE.c_str()) != 0) log_line("STOP: Error deleting pidfile");
}

// Shut the shared sockets down rather than closing them: a worker may still
// be blocked in a receive on one, and a closed descriptor number could be
// handed out again under it. The process ends right after.
void close_shared_sockets() {
  for (std::atomic<int>* fd : {&daemon_state().udp_sock, &daemon_state().sockfd}) {
    const int s = fd->load();
    if (s >= 0) ::shutdown(s, SHUT_RDWR);
  }
}

[[noreturn]] void quit_actions() {
  log_line("STOP: Quit signal catched.");
  log_line("%s", kDashes.c_str());
  remove_pid_file();
  std::_Exit(0);
}

sigset_t daemon_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGCHLD);
  if (test_hooks_on()) {  // a normal daemon leaves SIGUSR1/2 alone
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
  }
  return set;
}

void signal_loop(sigset_t set) {
  name_this_thread("kiv-signal");
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    switch (sig) {
      case SIGHUP:
        log_line("STOP: Hangup signal catched.");
        log_line("%s", kDashes.c_str());
        remove_pid_file();
        break;
      case SIGQUIT:
        quit_actions();
      case SIGTERM:
        log_line("STOP: Terminate signal catched.");
        if (const long lost = daemon_state().rows_unsaved.load(); lost > 0)
          log_line("STOP: %ld kept history rows could not be saved and are lost", lost);
        if (const long dropped = daemon_state().rows_dropped.load(); dropped > 0)
          log_line("MYSQL: row queue full, %ld oldest rows dropped", dropped);
        close_shared_sockets();
        log_line("STOP: Global sockets closed.");
        log_line("%s", kDashes.c_str());
        remove_pid_file();
        std::_Exit(0);
      case SIGUSR1:
        daemon_state().intRestart = 1;
        break;
      case SIGUSR2:
        daemon_state().intUpdate = 1;
        break;
      default:
        // SIGCHLD: every child is waited for by the code that started it
        // (the web server for its request children, executew for programs),
        // so nothing is reaped here behind their backs.
        break;
    }
  }
}

}  // namespace

void install_signal_thread() {
  ::signal(SIGTSTP, SIG_IGN);
  ::signal(SIGTTOU, SIG_IGN);
  ::signal(SIGTTIN, SIG_IGN);
  // A write to a peer that has gone (a browser that closed early, a broker
  // or database that dropped us) returns EPIPE, which every writer handles,
  // instead of ending the process. libmosquitto and MariaDB's client set
  // this too when they start; set here, the daemon and its request children
  // behave the same whichever of them are in use. Programs the daemon
  // starts get the default back (executew, the updater).
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set = daemon_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  g_signal_pid = ::getpid();
  std::thread(signal_loop, set).detach();
}

bool signal_thread_running() { return g_signal_pid.load() == ::getpid(); }

void quit_process() {
  if (signal_thread_running()) {
    ::kill(::getpid(), SIGQUIT);
    for (;;) ::pause();
  }
  quit_actions();
}

}  // namespace kivd
