// The one log writer: each line is opened, appended and closed on its own,
// so the log may be removed or rotated at any time.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

namespace kivd {

// Format into a 500-byte line (longer text is cut) and append
// "<asctime> <text>\n" to LOG_FILE; a file that cannot be opened loses the line.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, only when LOG:DEBUG is 1.
void debug_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
bool debug_on();

// One call site's error line that comes back every few seconds while a peer
// is away (a gateway down, a host that cannot be used): the first line is
// written, the same text again is only counted, and "<text> ... repeated N
// times" is written at most once a window, when the site logs after the
// window, logs another text, or clears. Only for sites named on purpose:
// a merged line must not hide a change, so texts are compared whole.
class RepeatingLine {
 public:
  explicit RepeatingLine(std::chrono::seconds window = std::chrono::seconds(60)) : window_(window) {}
  void log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The condition ended: a pending count is written, the next line is new.
  void clear();

 private:
  void summary_locked();
  std::mutex mutex_;
  std::chrono::seconds window_;
  std::string last_;
  int repeats_ = 0;
  std::chrono::steady_clock::time_point since_{};
};

// A worker's first line: "Thread <index>: <starting>" when its feature is
// used, else "Thread <index>: <not_used>". True when the worker runs.
bool log_worker_start(int index, bool used, const char* not_used, const char* starting);

// Marks this process as a forked child, right after the fork. From then on
// the log takes no lock another thread may have held at the fork: the local
// time comes from utc_offset (seconds east, taken before the fork, see
// core/local_time.hpp) and lines are written with open/write/close only.
void enter_forked_child(long utc_offset);
bool in_forked_child();

// Logs the text, then ends the process as the quit signal does.
[[noreturn]] void Error_Quit(std::string_view text);

}  // namespace kivd
