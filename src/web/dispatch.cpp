#include "web/day_chart.hpp"
#include "web/api_status.hpp"
#include "web/pages.hpp"

namespace kivd::web {

// Branches in their fixed order; equality tests ignore case, containment and
// suffix tests do not.
int Return_Website(Sink& out, FdSink* conn, const PageContext& ctx) {
  const std::string_view r = ctx.req.resource ? std::string_view(*ctx.req.resource) : std::string_view();
  if (iequal(r, "/") || iequal(r, "/home")) page_info(out, ctx);
  else if (iequal(path_part(r), "/control")) page_control(out, ctx);
  else if (iequal(r, "/xml") || iequal(r, "/xml/index.xml")) page_xml(out, ctx);
  else if (iequal(r, "/api/status")) page_api_status(out, ctx);
  else if (r.find("/remote") != std::string_view::npos) page_remote(out, ctx);
  else if (iequal(r, "/log")) page_log(out, ctx);
  else if (iequal(path_part(r), "/settings")) page_settings(out, ctx);
  else if (iequal(path_part(r), "/knx")) page_knx(out, ctx);
  else if (iequal(r, "/restart")) page_restart(out, ctx);
  else if (iequal(r, "/checkupdate")) page_checkupdate(out, ctx);
  else if (r.find("/download") != std::string_view::npos) page_download(out, ctx);
  else if (iequal(r, "/update")) page_update(out, ctx);
  else if (iequal(r, "/clearlog")) page_clearlog(out, ctx);
  else if (iequal(r, "/api/day")) page_api_day(out, ctx);
  else if (iequal(path_part(r), "/history")) page_history(out, ctx);
  else if (iequal(r, kChartLibraryUrl)) send_chart_library(out);
  else if (is_static_suffix(r)) send_static_file(conn, out, r);
  else not_found_page(out, r);
  return 0;
}

}  // namespace kivd::web
