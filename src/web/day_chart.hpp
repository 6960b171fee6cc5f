// The chart of the last day on the home page, its data, and the history
// page with longer ranges from the database.
#pragma once

#include <span>
#include <string_view>

#include "core/day_history.hpp"
#include "web/page_common.hpp"

namespace kivd::web {

// Where the daemon serves Chart.js from, and the file it reads for it (the
// libjs-chart.js package's install).
inline constexpr std::string_view kChartLibraryUrl = "/chartjs/chart.min.js";
inline constexpr const char* kChartLibraryFile = "/usr/share/javascript/chart.js/chart.min.js";
// The script that draws a chart from /api/day or from the page's own data.
inline constexpr std::string_view kChartScriptUrl = "/day_chart.js";

// day_chart.cpp: the chart block (a canvas, the line shown without script
// or library, the link to the history) and its scripts; data_json, when
// given, is drawn instead of fetching /api/day.
void day_chart_piece(Sink& out, std::string_view data_json = {});
// The library file, nothing when it is not installed.
void send_chart_library(Sink& out);

// api_day.cpp: the points as compact JSON; with_stale adds the meter's stale marks.
void write_chart_json(Sink& out, std::span<const DayPoint> points, bool with_stale);
// "/api/day": the ring.
void page_api_day(Sink& out, const PageContext& ctx);

// page_history.cpp: "/history?days=N" (2, 7 or 30).
void page_history(Sink& out, const PageContext& ctx);

}  // namespace kivd::web
