// The log page's content and the archiving of a grown log file, kept free of
// any page output so both are tested on plain files.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace kivd::web {

inline constexpr long kLogArchiveSize = 2048000;  // archive from this size on
inline constexpr std::size_t kLogTailLines = 250;
inline constexpr std::size_t kLogLineMax = 999;

struct LogTail {
  enum class Kind { NotFound, Empty, Lines };
  Kind kind = Kind::NotFound;
  std::string text;  // the shown lines, HTML-escaped (Kind::Lines only)
};

// The last max_lines lines of the file, each cut to max_line bytes (its line
// feed kept) and escaped for a text area. One pass with a ring of lines, so a
// log that grows meanwhile is still shown consistently.
LogTail read_log_tail(const std::string& path, std::size_t max_lines = kLogTailLines,
                      std::size_t max_line = kLogLineMax);

// "<log_file>-YYYYMMDD.tar.gz" for the local date; n > 1 appends "-n" before
// the suffix (a second archive of the same day does not replace the first).
std::string log_archive_name(const std::string& log_file, const std::tm& local, int n = 1);

// Packs the log into its archive and removes the log only when tar reported
// success and the archive was stored under its final name. The archive is
// written to a fresh private file beside the log (never through a link that
// somebody placed in a shared folder) and then linked to its name. Returns
// the archive's path, or an empty string (log kept, *why says what failed).
std::string archive_log(const std::string& log_file, const std::tm& local, std::string* why);

// Removes the log file: true when it is gone afterwards (also when it was
// not there).
bool clear_log(const std::string& log_file);

}  // namespace kivd::web
