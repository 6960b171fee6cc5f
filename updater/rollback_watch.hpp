// Rollback of an update whose new program does not come up. The updater
// keeps the installed program before it replaces it and, just before it
// becomes the new program, leaves a watcher behind: a separate process that
// waits for the running marker the new daemon writes once its first pass is
// up (web server and control thread started), and then for the settle time:
// a program that ends in it is rolled back as well. Without the marker in time (the process ended, was stopped, or hangs), the
// watcher puts the kept program back and starts it, or leaves the start to
// the service manager when it runs under one. None of this needs the new
// program's own code to run: a program whose libraries are missing never
// gets as far as main.
#pragma once

#include <string>

namespace kiv_updater {

struct RollbackPlan {
  std::string log;       // the daemon's log file
  std::string dest;      // the installed program
  std::string previous;  // the kept copy of the program before the update
  std::string marker;    // written by the new daemon when it runs
  long seconds = 60;     // how long the new daemon has to get there
  long settle = 60;      // how long it must then stay up to be kept
};

// Where the kept program lies: beside the installed one.
std::string previous_path(const std::string& dest);

// Keeps the installed program as previous_path(dest); empty on success.
std::string keep_previous(const std::string& dest);

// True when the marker names this process id and is a plain file of ours
// that nobody else may write.
bool marker_names(const std::string& marker, long pid);

// True when the marker was written or touched within the last few seconds:
// the running daemon touches it every second of its first minutes.
inline constexpr long kMarkerFreshSeconds = 3;
bool marker_fresh(const std::string& marker);

// Starts the watcher for this process (which is about to exec the new
// program); returns at once in the caller. False when it cannot be started.
bool start_rollback_watch(const RollbackPlan& plan);

// Puts the kept program back over the installed one; empty on success.
std::string restore_previous(const RollbackPlan& plan);

}  // namespace kiv_updater
