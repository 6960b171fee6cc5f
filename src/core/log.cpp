#include "core/log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "core/clock.hpp"
#include "core/local_time.hpp"
#include "core/settings.hpp"
#include "core/signals.hpp"

namespace kivd {

namespace {

bool g_forked_child = false;
long g_child_gmtoff = 0;

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Local time now; in a forked child by arithmetic, as localtime_r could
// wait for ever there on a lock copied in its taken state.
std::tm local_now() {
  if (g_forked_child) return civil_time(std::time(nullptr), g_child_gmtoff);
  const std::time_t now = time_source().wall_now();
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

// Appends one line to an O_APPEND descriptor in one write; the part a full
// disk let through is truncated away again.
void append_whole_line(int fd, const char* line, std::size_t n) {
  const ssize_t w = ::write(fd, line, n);
  if (w > 0 && static_cast<std::size_t>(w) < n) {
    // A full disk took only part of the line: take that part back, or the
    // next line would run into it. Only when nobody appended after us
    // (this descriptor's offset is the end of our bytes).
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    struct stat st;
    if (end >= w && ::fstat(fd, &st) == 0 && st.st_size == end) [[maybe_unused]] int t = ::ftruncate(fd, end - w);
  }
}

namespace {

// The length of the valid UTF-8 sequence at the start of t that a log may
// carry as it is, or 0: invalid bytes, C1 controls (U+0080..U+009F, an 8-bit
// terminal reads them as escapes) and the marks that reorder or break lines
// (U+200E/F, U+2028/9, U+202A..E, U+2066..9) are escaped.
std::size_t printable_utf8(std::string_view t) {
  const auto u = [&t](std::size_t i) { return static_cast<unsigned char>(t[i]); };
  const unsigned char b = u(0);
  std::size_t len = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 0;
  if (b >= 0xF5 || len == 0 || t.size() < len) return 0;
  char32_t cp = b & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (std::size_t i = 1; i < len; ++i) {
    if ((u(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (u(i) & 0x3F);
  }
  const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  if (cp <= 0x9F || cp == 0x200E || cp == 0x200F || cp == 0x2028 || cp == 0x2029 || (cp >= 0x202A && cp <= 0x202E) ||
      (cp >= 0x2066 && cp <= 0x2069))
    return 0;
  return len;
}

}  // namespace

// Control bytes in a line (from request targets, device texts, files) as
// \xNN: a raw CR, escape sequence or line feed from outside must not forge
// lines in the file nor drive the terminal of whoever reads it. Into a
// fixed buffer, cut where it is full: a forked child must not allocate.
std::string_view escaped(std::string_view text, char (&buf)[1024]) {
  static const char* hex = "0123456789abcdef";
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char u = static_cast<unsigned char>(text[i]);
    std::size_t keep = u >= 0x20 && u < 0x7F ? 1 : u >= 0x80 ? printable_utf8(text.substr(i)) : 0;
    if (keep > 0) {
      if (n + keep > sizeof buf) break;
      for (std::size_t k = 0; k < keep; ++k) buf[n++] = text[i + k];
      i += keep;
    } else {
      if (n + 4 > sizeof buf) break;
      buf[n++] = '\\';
      buf[n++] = 'x';
      buf[n++] = hex[u >> 4];
      buf[n++] = hex[u & 15];
      ++i;
    }
  }
  return {buf, n};
}

void log_message(const std::string& file, std::string_view raw) {
  while (raw.ends_with('\n')) raw.remove_suffix(1);  // the line's own end, written below
  char esc[1024];
  const std::string_view text = escaped(raw, esc);
  // A link planted at the log's path (often in /tmp) is not followed: the
  // daemon would append to whatever file it points at.
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) return;
  const std::tm tm = local_now();
  // asctime's form, written out so that a child needs no more than snprintf.
  // One write per line, so concurrent writers never interleave inside a line.
  char line[1100];
  int n = std::snprintf(line, sizeof line, "%.3s %.3s%3d %.2d:%.2d:%.2d %d %.*s\n", kDays[tm.tm_wday],
                        kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900,
                        static_cast<int>(text.size()), text.data());
  if (n >= static_cast<int>(sizeof line)) {
    n = sizeof line - 1;
    line[n - 1] = '\n';
  }
  if (n > 0) append_whole_line(fd, line, static_cast<std::size_t>(n));
  ::close(fd);
}

void vlog(const char* fmt, va_list ap) {
  char buf[500];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  log_message(cfg().LOG_FILE, buf);
}

}  // namespace

void log_line(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog(fmt, ap);
  va_end(ap);
}

bool debug_on() { return cfg().debug == 1; }

bool log_worker_start(int index, bool used, const char* not_used, const char* starting) {
  log_line("Thread %d: %s", index, used ? starting : not_used);
  return used;
}

void debug_line(const char* fmt, ...) {
  if (!debug_on()) return;
  va_list ap;
  va_start(ap, fmt);
  vlog(fmt, ap);
  va_end(ap);
}

void RepeatingLine::log(const char* fmt, ...) {
  char buf[500];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  const std::lock_guard lock(mutex_);
  const auto now = time_source().now();
  if (!last_.empty() && last_ == buf) {
    ++repeats_;
    if (now - since_ >= window_) {
      summary_locked();
      since_ = now;
    }
    return;
  }
  summary_locked();
  log_message(cfg().LOG_FILE, buf);
  last_ = buf;
  since_ = now;
}

void RepeatingLine::clear() {
  const std::lock_guard lock(mutex_);
  summary_locked();
  last_.clear();
}

void RepeatingLine::summary_locked() {
  if (repeats_ > 0) log_line("%.440s ... repeated %d times", last_.c_str(), repeats_);
  repeats_ = 0;
}

void enter_forked_child(long utc_offset) {
  g_forked_child = true;
  g_child_gmtoff = utc_offset;
}

bool in_forked_child() { return g_forked_child; }

void Error_Quit(std::string_view text) {
  log_message(cfg().LOG_FILE, text);
  quit_process();
}

}  // namespace kivd
