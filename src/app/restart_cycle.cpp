#include "app/restart_cycle.hpp"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "app/wallbox_socket.hpp"
#include "app/workers.hpp"
#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/daemonize.hpp"
#include "core/day_history.hpp"
#include "core/keba_codes.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"
#include "core/private_dir.hpp"
#include "core/settings.hpp"
#include "core/test_hooks.hpp"
#include "core/utils.hpp"

namespace kivd {

namespace {

// Set when the web server has ended (it ends to hand over to the updater):
// the cycle then starts it again, so a failed update never leaves the
// daemon without its web interface.
std::atomic<bool> web_ended{false};

void run_entry(int index, std::stop_token stop) {
  name_this_thread(kWorkers[index].thread_name);
  struct MarkWebEnd {
    int index;
    ~MarkWebEnd() {
      if (index == kWebIndex) web_ended = true;
    }
  } mark{index};
  try {
    kWorkers[index].entry(index, std::move(stop));
  } catch (const std::exception& e) {
    log_line("Thread %d: ended by an error: %s", index, e.what());
  } catch (...) {
    log_line("Thread %d: ended by an unknown error", index);
  }
}

// Replaces the process with the updater when both programs are there and
// trusted; returns (after a log line) when one is missing or foreign, or the
// exec failed.
void try_update() {
  const std::string dir = update_folder();
  const std::string updater = dir + "/bin/kiv_updater";
  const std::string source = dir + "/bin/kivd";
  const std::string res = dir + "/usr/local/kiv";
  const std::string dest = update_dest_file();
  const std::string res_dest = resources_dest();
  const std::string marker = running_marker_path();
  if (dir.empty()) {
    log_line("KIV update: no private folder for the update, failed!");
    return;
  }
  for (const std::string* f : {&updater, &source}) {
    if (!FileExists(*f)) {
      log_line("KIV update: %s not found, failed!", f->c_str());
      return;
    }
    if (const std::string why = untrusted_reason(*f); !why.empty()) {
      log_line("KIV update: %s %s, failed!", f->c_str(), why.c_str());
      return;
    }
  }
  debug_line("KIV update: execl parameters %s %s %s %s 60s %s %s %s", updater.c_str(), cfg().LOG_FILE.c_str(),
             source.c_str(), dest.c_str(), res.c_str(), res_dest.c_str(), marker.c_str());
  // The updater waits for this marker from the new program: a stale one
  // must not count.
  ::unlink(marker.c_str());
  // The updater starts with a clean signal mask; the signal thread's blocked
  // set would otherwise be inherited through exec.
  sigset_t none, before;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, &before);
  // And SIGPIPE at its default, as for any program the daemon starts.
  struct sigaction dfl {}, pipe_before {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &dfl, &pipe_before);
  ::execl(updater.c_str(), "", cfg().LOG_FILE.c_str(), source.c_str(), dest.c_str(), "60", res.c_str(),
          res_dest.c_str(), marker.c_str(), static_cast<char*>(nullptr));
  const int err = errno;
  // Back to the mask from before: blocked for the signal thread, or nothing
  // blocked when started by init, where SIGTERM must keep ending the process.
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::sigaction(SIGPIPE, &pipe_before, nullptr);
  log_line("KIV update: cannot execute %s: %s, failed!", updater.c_str(), std::strerror(err));
}

void close_shared_socket(std::atomic<int>& fd) {
  const int old = fd.exchange(-1);
  if (old >= 0) ::close(old);
}

}  // namespace

void apply_charging_settings() {
  const Settings& s = cfg();
  LiveValues& v = live();
  v.ChargingMode = s.ChargingMode;
  v.web_charge_mode = s.web_charge_mode;
  v.WallboxActivation = s.WallboxActivation;
  v.CarMaxPhases = s.CarMaxPhases;
  v.CarMinCharge = s.CarMinCharge;
  v.ManualCurrent = s.ManualCurrent;
}

void run_cycle() {
  DaemonState& st = daemon_state();
  std::array<std::jthread, kWorkers.size()> threads;
  std::stop_source web_stop;  // the web server is never stopped by a pass
  bool first_pass = true;
  constexpr int kMarkerSeconds = 300;
  int marker_seconds = 0;

  for (;;) {
    // Taken and cleared before the pass starts: a request that comes while
    // the pass is being set up ends that pass instead of being lost.
    const bool update = st.intUpdate.exchange(0) == 1;
    const bool restart = st.intRestart.exchange(0) == 1;
    if (update) try_update();
    if (restart || update) {
      std::vector<std::string> notes;
      replace_settings(ReadAndHandleIniFile(ini_path(), &notes));
      log_settings_notes(notes);
      apply_charging_settings();
    }
    // The web server first: it stays up while the wallbox port is awaited.
    if (first_pass || web_ended.exchange(false)) {
      if (threads[kWebIndex].joinable()) threads[kWebIndex].join();
      threads[kWebIndex] = std::jthread(run_entry, kWebIndex, web_stop.get_token());
    }
    const bool wallbox = cfg().WallboxUsing && is_keba_type(cfg().WallboxType);
    if (wallbox) open_wallbox_socket();

    std::stop_source pass_stop;
    for (int i = 0; i < static_cast<int>(kWorkers.size()); ++i) {
      if (i == kWebIndex) continue;
      threads[i] = std::jthread(run_entry, i, pass_stop.get_token());
    }
    if (first_pass) write_running_marker();
    first_pass = false;

    const std::stop_token never;
    while (st.intUpdate == 0) {
      sleep_for(std::chrono::seconds(1), never);
      day_history_tick();
      keep_pid_file();
      // Long enough for the updater's check of a new program, and no more:
      // every touch is a write to the board's card.
      if (marker_seconds < kMarkerSeconds && !web_ended) {
        keep_running_marker();
        ++marker_seconds;
      }
      if (st.intRestart != 0) break;
    }

    log_line("Reset wallbox...");
    if (wallbox) charging_control().reset_wallbox();

    pass_stop.request_stop();
    log_line("Threads canceled...");
    for (int i = 0; i < static_cast<int>(kWorkers.size()); ++i)
      if (i != kWebIndex && threads[i].joinable()) threads[i].join();
    log_line("Threads joined...");

    close_shared_socket(st.udp_sock);
    close_shared_socket(st.sockfd);
    log_line("Restart or update daemon (wait 10s)...");
    log_line("%s", std::string(38, '-').c_str());
    sleep_for(std::chrono::seconds(test_pass_pause_seconds()), never);
  }
}

}  // namespace kivd
