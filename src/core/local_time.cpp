#include "core/local_time.hpp"

namespace kivd {

TimeSnapshot take_time_snapshot() {
  TimeSnapshot s;
  s.now = std::time(nullptr);
  localtime_r(&s.now, &s.local);
  gmtime_r(&s.now, &s.utc);
  return s;
}

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

}  // namespace kivd
