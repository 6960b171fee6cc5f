// Local time without the time-zone lock, for a forked child.
//
// A child holds only a copy of the thread that forked it: a lock another
// thread held at the fork (glibc's time-zone lock inside localtime_r, say)
// stays taken for ever there. So the forking thread takes a snapshot first,
// and the child works its local time out by plain arithmetic from the
// snapshot's UTC offset.
#pragma once

#include <ctime>

namespace kivd {

struct TimeSnapshot {
  std::time_t now = 0;
  std::tm local{};  // local time at `now`
  std::tm utc{};    // UTC at `now`
};

// Takes the time in the thread about to fork (not in a child).
TimeSnapshot take_time_snapshot();

// Broken-down time for t at the UTC offset (seconds east), without any lock.
std::tm civil_time(std::time_t t, long gmtoff);

}  // namespace kivd
