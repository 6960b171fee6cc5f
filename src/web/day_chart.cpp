// The chart block of the home and history pages. The page works without it:
// the note stays visible until the script has drawn the chart.
#include <fcntl.h>
#include <unistd.h>

#include "core/unique_fd.hpp"
#include "web/day_chart.hpp"

namespace kivd::web {

void day_chart_piece(Sink& out, std::string_view data_json) {
  out.put("<div id=\"daychart\" style=\"max-width: 975px;\">\n");
  // A fixed height: the chart fills it at any width, from a phone to a desktop.
  out.put("<div style=\"position: relative; height: 300px;\"><canvas id=\"daychart-canvas\"></canvas></div>\n");
  out.put("<P id=\"daychart-note\">The chart needs JavaScript and the Chart.js library (package libjs-chart.js).</P>\n");
  if (data_json.empty()) out.put("<P><a href=\"/history\">History</a></P>\n");
  out.put("</div>\n");
  if (!data_json.empty()) {
    // Numbers only: nothing in it can end the script element.
    out.put("<script type=\"application/json\" id=\"chart-data\">");
    out.put(data_json);
    out.put("</script>\n");
  }
  out.printf("<script src=\"%.*s\"></script>\n", static_cast<int>(kChartLibraryUrl.size()), kChartLibraryUrl.data());
  out.printf("<script src=\"%.*s\"></script>\n", static_cast<int>(kChartScriptUrl.size()), kChartScriptUrl.data());
}

void send_chart_library(Sink& out) {
  const UniqueFd fd(::open(kChartLibraryFile, O_RDONLY | O_CLOEXEC));
  if (!fd) return;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n <= 0) break;
    out.put(std::string_view(buf, static_cast<std::size_t>(n)));
    if (out.failed()) break;
  }
}

}  // namespace kivd::web
