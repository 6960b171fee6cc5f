#include "db/history_query.hpp"

#include <mysqld_error.h>

#include <cstdio>
#include <cstdlib>

#include "db/sql_text.hpp"

namespace kivd::db {

int history_bucket_seconds(long long seconds) {
  const long long per_point = (seconds + kHistoryMaxPoints - 1) / kHistoryMaxPoints;
  const long long minutes = (per_point + 59) / 60;
  return static_cast<int>(minutes < 1 ? 60 : minutes * 60);
}

std::string history_statement(std::string_view year, std::time_t from, std::time_t to, int bucket) {
  char buf[kStatementMax];
  std::snprintf(buf, sizeof buf,
                "SELECT FLOOR(UNIX_TIMESTAMP(smTimeStamp) / %d) * %d AS t, "
                "ROUND(AVG(smLiveConsumption - smLiveDelivery) * 1000), ROUND(AVG(smWallbox) * 1000), "
                "ROUND(AVG(smSSPower) * 1000), ROUND(AVG(smSSSOC)) FROM %s "
                "WHERE smTimeStamp >= FROM_UNIXTIME(%lld) AND smTimeStamp < FROM_UNIXTIME(%lld) "
                "GROUP BY t ORDER BY t",
                bucket, bucket, table_name(year).c_str(), static_cast<long long>(from), static_cast<long long>(to));
  return buf;
}

namespace {

int year_of(std::time_t t, long utc_offset_s) {
  const std::time_t local = t + utc_offset_s;
  std::tm tm{};
  gmtime_r(&local, &tm);
  return tm.tm_year + 1900;
}

long long number(const char* s) { return s ? std::atoll(s) : 0; }

}  // namespace

std::optional<std::vector<DayPoint>> query_history(const ConnParams& p, std::time_t from, std::time_t to,
                                                   long utc_offset_s, std::stop_token stop) {
  Connection c(std::move(stop));
  if (c.open(p) != ConnectResult::Ok) return std::nullopt;
  const int bucket = history_bucket_seconds(static_cast<long long>(to - from));
  std::vector<DayPoint> points;
  for (int year = year_of(from, utc_offset_s); year <= year_of(to, utc_offset_s); ++year) {
    const std::string y = std::to_string(year);
    if (!valid_year(y)) continue;
    if (!c.query(history_statement(y, from, to, bucket))) {
      if (c.error_number() == ER_NO_SUCH_TABLE) continue;
      return std::nullopt;
    }
    const bool read = c.each_row([&](std::span<const char* const> col) {
      if (col.size() < 5 || points.size() >= static_cast<std::size_t>(2 * kHistoryMaxPoints)) return;
      DayPoint d;
      d.time = number(col[0]);
      d.grid_w = static_cast<std::int32_t>(number(col[1]));
      d.car_w = static_cast<std::int32_t>(number(col[2]));
      d.battery_w = static_cast<std::int32_t>(number(col[3]));
      d.soc = static_cast<std::int32_t>(number(col[4]));
      d.battery_known = true;
      points.push_back(d);
    });
    if (!read) return std::nullopt;
  }
  return points;
}

}  // namespace kivd::db
