// "/history": longer ranges from the database's minute table, averaged by
// the server into a bounded number of points and drawn like the day chart.
// The query runs on the web server's thread for such pages (RunsIn::Slow)
// with its own connection and a deadline for all of it, never on a reader
// or in a worker of the daemon.
#include <chrono>
#include <string>

#include "core/settings.hpp"
#include "db/history_query.hpp"
#include "web/day_chart.hpp"
#include "web/pages.hpp"

namespace kivd::web {

namespace {

constexpr int kRangeDays[] = {2, 7, 30};
// A server that accepts and never answers costs the page this much at most.
constexpr auto kQueryBudget = std::chrono::seconds(10);

// The days asked for by "days=N" in the query; the first range otherwise.
int requested_days(const ReqInfo& req) {
  const auto query = req.resource ? query_part(*req.resource) : std::nullopt;
  if (query) {
    for (int d : kRangeDays)
      if (*query == "days=" + std::to_string(d)) return d;
  }
  return kRangeDays[0];
}

void range_form(Sink& out, int days) {
  out.put("<form method=\"get\" action=\"/history\">Range: <select name=\"days\">");
  for (int d : kRangeDays)
    out.printf("<option value=\"%d\"%s>%d days</option>", d, d == days ? " selected" : "", d);
  out.put("</select> <input type=\"submit\" value=\"Show\"></form>\n");
}

}  // namespace

void page_history(Sink& out, const PageContext& ctx) {
  head_variant_b(out);
  title_piece(out, "history page");
  style_piece(out);
  body_start(out, "History");
  button_bar(out);
  const Settings& s = cfg();
  if (!s.MyUsing) {
    out.put("<P>The history needs the database, which is not configured.</P>\n");
    body_end(out);
    return;
  }
  const int days = requested_days(ctx.req);
  range_form(out, days);
  out.flush();  // the form shows while the server is asked
  const std::time_t to = ctx.time.now;
  const db::DeadlineScope deadline(kQueryBudget);
  const auto points = db::query_history(
      {s.MyServer, s.MyUser, s.MyPasswd, s.MyDB, static_cast<unsigned>(s.MyPort)}, to - days * 86400L, to + 60,
      ctx.time.local.tm_gmtoff);
  if (!points) {
    out.put("<P>The database could not be read.</P>\n");
  } else {
    StringSink json;
    write_chart_json(json, *points, false);
    out.printf("<P>Points shown: %zu (averages of %d minutes).</P>\n", points->size(),
               db::history_bucket_seconds(days * 86400LL) / 60);
    day_chart_piece(out, json.text);
  }
  body_end(out);
}

}  // namespace kivd::web
