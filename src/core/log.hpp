// The one log writer: each line is opened, appended and closed on its own,
// so the log may be removed or rotated at any time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kivd {

// Appends "<asctime> <text>\n" to the file; a file that cannot be opened
// loses the line.
void log_message(const std::string& file, std::string_view text);

// Appends one formatted line to an O_APPEND descriptor in one write; the
// part a full disk let through is truncated away again. Only system calls
// that a forked child may make.
void append_whole_line(int fd, const char* line, std::size_t n);

// Formats into a 500-byte line (longer text is cut) and logs it to LOG_FILE.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, only when LOG:DEBUG is 1.
void debug_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
bool debug_on();

// Logs the text, then ends the process as the quit signal does.
[[noreturn]] void Error_Quit(std::string_view text);

}  // namespace kivd
