// Logging and time for the web server, safe in a forked request child.
//
// A child holds only a copy of the server thread: a lock that another thread
// held at the fork (glibc's time-zone lock inside localtime_r, say) would stay
// taken for ever there. So the server thread takes the time before each fork,
// and in the child log lines get their local time by plain arithmetic from
// that snapshot, and are written with open/write/close only.
#pragma once

#include <ctime>

namespace kivd::web {

struct TimeSnapshot {
  std::time_t now = 0;
  std::tm local{};  // local time at `now`
  std::tm utc{};    // UTC at `now`
};

// Takes the time in the server thread (not in a child).
TimeSnapshot take_time_snapshot();

// Marks this process as a request child; from now on web_log uses the
// fork-safe writer with the snapshot's UTC offset.
void enter_child(const TimeSnapshot& snap);
bool in_child();

// Broken-down time for t at the UTC offset (seconds east), without any lock.
std::tm civil_time(std::time_t t, long gmtoff);

// Log lines of the web server (500-byte lines, like log_line).
void web_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void web_debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kivd::web
