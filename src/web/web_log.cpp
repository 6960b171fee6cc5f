#include "web/web_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "core/log.hpp"
#include "core/settings.hpp"

namespace kivd::web {

namespace {

bool g_in_child = false;
long g_gmtoff = 0;

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The log writer's line form ("<asctime> <text>"), with nothing but write().
void child_write(const char* text) {
  const std::tm tm = civil_time(std::time(nullptr), g_gmtoff);
  char line[600];
  int n = std::snprintf(line, sizeof line, "%.3s %.3s%3d %.2d:%.2d:%.2d %d %s\n", kDays[tm.tm_wday],
                        kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900, text);
  if (n <= 0) return;
  if (n >= static_cast<int>(sizeof line)) {
    n = sizeof line - 1;
    line[n - 1] = '\n';
  }
  const int fd = ::open(cfg().LOG_FILE.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return;
  append_whole_line(fd, line, static_cast<std::size_t>(n));
  ::close(fd);
}

void vweb_log(const char* fmt, va_list ap) {
  char buf[500];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  if (g_in_child) child_write(buf);
  else log_message(cfg().LOG_FILE, buf);
}

}  // namespace

TimeSnapshot take_time_snapshot() {
  TimeSnapshot s;
  s.now = std::time(nullptr);
  localtime_r(&s.now, &s.local);
  gmtime_r(&s.now, &s.utc);
  return s;
}

void enter_child(const TimeSnapshot& snap) {
  g_in_child = true;
  g_gmtoff = snap.local.tm_gmtoff;
}

bool in_child() { return g_in_child; }

std::tm civil_time(std::time_t t, long gmtoff) {
  // Days to civil date after H. Hinnant's public-domain algorithm.
  long long s = static_cast<long long>(t) + gmtoff;
  long long days = s / 86400;
  long long rem = s % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  std::tm tm{};
  tm.tm_hour = static_cast<int>(rem / 3600);
  tm.tm_min = static_cast<int>(rem % 3600 / 60);
  tm.tm_sec = static_cast<int>(rem % 60);
  tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1;
  const long long m = mp < 10 ? mp + 3 : mp - 9;
  const long long y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  tm.tm_year = static_cast<int>(y - 1900);
  tm.tm_mon = static_cast<int>(m - 1);
  tm.tm_mday = static_cast<int>(d);
  tm.tm_gmtoff = gmtoff;
  return tm;
}

void web_log(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vweb_log(fmt, ap);
  va_end(ap);
}

void web_debug(const char* fmt, ...) {
  if (cfg().debug != 1) return;
  va_list ap;
  va_start(ap, fmt);
  vweb_log(fmt, ap);
  va_end(ap);
}

}  // namespace kivd::web
