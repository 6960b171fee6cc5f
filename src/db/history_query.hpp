// Longer ranges of the minute table for the history page: averaged
// server-side into a bounded number of points.
#pragma once

#include <ctime>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/day_history.hpp"
#include "db/db_connection.hpp"

namespace kivd::db {

// At most this many points per range, whatever its length.
inline constexpr int kHistoryMaxPoints = 720;

// Seconds per point for a range of `seconds` (a whole minute at least).
int history_bucket_seconds(long long seconds);

// The averaging query over one year's table for [from, to) in buckets of
// `bucket` seconds: columns time, grid W, car W, battery W, SOC %.
std::string history_statement(std::string_view year, std::time_t from, std::time_t to, int bucket);

// The points of [from, to) from the tables of the years the range touches
// (a year without a table gives none), oldest first; nothing when the
// server cannot be reached or a query fails otherwise. utc_offset_s: the
// local time's offset, taken before a fork (a forked child must not call
// localtime, which takes a lock).
std::optional<std::vector<DayPoint>> query_history(const ConnParams& p, std::time_t from, std::time_t to,
                                                   long utc_offset_s, std::stop_token stop = {});

}  // namespace kivd::db
