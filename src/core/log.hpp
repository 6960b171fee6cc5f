// The one log writer: each line is opened, appended and closed on its own,
// so the log may be removed or rotated at any time.
#pragma once

#include <string_view>

namespace kivd {

// Format into a 500-byte line (longer text is cut) and append
// "<asctime> <text>\n" to LOG_FILE; a file that cannot be opened loses the line.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, only when LOG:DEBUG is 1.
void debug_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
bool debug_on();

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
