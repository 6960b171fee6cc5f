#include "web/routes.hpp"

#include "web/api_status.hpp"
#include "web/day_chart.hpp"
#include "web/live_cells.hpp"
#include "web/pages.hpp"

namespace kivd::web {

namespace {

template <void (*F)(Sink&, const PageContext&)>
void page(Sink& out, FdSink*, const PageContext& ctx) {
  F(out, ctx);
}

void chart_library(Sink& out, FdSink*, const PageContext&) { send_chart_library(out); }

void pages_script(Sink& out, FdSink*, const PageContext&) { out.put(kPagesScriptText); }

void static_file(Sink& out, FdSink* conn, const PageContext& ctx) {
  send_static_file(conn, out, path_part(*ctx.req.resource));
}

using R = RunsIn;
using C = Changes;
using A = Answer;

// /remote and /download keep their exact spelling: the hand-over matches it.
constexpr Route kRoutes[] = {
    // path              any_case query  page                       runs in    changes       open   answer
    {"/",                true,  false, page<page_info>,            R::Reader, C::Never,     true,  A::Html},
    {"/home",            true,  false, page<page_info>,            R::Reader, C::Never,     true,  A::Html},
    {"/xml",             true,  false, page<page_xml>,             R::Reader, C::Never,     true,  A::Xml},
    {"/xml/index.xml",   true,  false, page<page_xml>,             R::Reader, C::Never,     true,  A::Xml},
    {"/api/status",      true,  false, page<page_api_status>,      R::Reader, C::Never,     true,  A::Json},
    {"/api/day",         true,  false, page<page_api_day>,         R::Reader, C::Never,     true,  A::Json},
    {kChartLibraryUrl,   true,  false, chart_library,              R::Reader, C::Never,     true,  A::Script},
    {kChartScriptUrl,    false, false, static_file,                R::Reader, C::Never,     true,  A::Script},
    {kLiveScript,        false, false, static_file,                R::Reader, C::Never,     true,  A::Script},
    {kPagesScriptUrl,    false, false, pages_script,               R::Reader, C::Never,     true,  A::Script},
    {"/history",         true,  true,  page<page_history>,         R::Slow,   C::Never,     false, A::Html},
    {"/control",         true,  true,  page<page_control>,         R::Child,  C::OnPost,    false, A::Html, true},
    {"/remote",          false, true,  page<page_remote>,          R::Child,  C::WithQuery, false, A::Xml},
    {"/log",             true,  false, page<page_log>,             R::Child,  C::Never,     false, A::Html},
    {"/settings",        true,  true,  page<page_settings>,        R::Child,  C::OnPost,    false, A::Html},
    {"/knx",             true,  true,  page<page_knx>,             R::Child,  C::OnPost,    false, A::Html},
    {"/restart",         true,  false, page<page_restart>,         R::Child,  C::Always,    false, A::Html},
    {"/clearlog",        true,  false, page<page_clearlog>,        R::Child,  C::Always,    false, A::Html},
    {"/checkupdate",     true,  false, page<page_checkupdate>,     R::Child,  C::Always,    false, A::Html},
    {"/download",        false, true,  page<page_download>,        R::Child,  C::Always,    false, A::Html},
    {"/update",          true,  false, page<page_update>,          R::Child,  C::Always,    false, A::Html},
    {"/login",           true,  true,  nullptr,                    R::Child,  C::OnPost,    true,  A::Html},
    {"/logout",          true,  true,  nullptr,                    R::Child,  C::Always,    true,  A::Html},
};

// Style sheets and pictures need no password; pages and scripts from the
// resources folder do.
constexpr Route kStaticOpen = {"", false, false, static_file, R::Reader, C::Never, true, A::Static};
constexpr Route kStaticClosed = {"", false, false, static_file, R::Reader, C::Never, false, A::Static};

}  // namespace

const Route* find_route(std::string_view resource) {
  const std::string_view path = path_part(resource);
  const bool has_query = path.size() != resource.size();
  for (const Route& r : kRoutes) {
    if (!(r.any_case ? iequal(path, r.path) : path == r.path)) continue;
    return has_query && !r.takes_query ? nullptr : &r;
  }
  if (has_query || !is_static_suffix(path) || !static_path_is_safe(path)) return nullptr;
  return ext_match(path, ".html") || ext_match(path, ".js") ? &kStaticClosed : &kStaticOpen;
}

bool route_changes(const Route& route, const ReqInfo& req) {
  switch (route.changes) {
    case Changes::Never: return false;
    case Changes::OnPost: return req.method == Method::POST;
    case Changes::WithQuery: return req.resource && query_part(*req.resource).has_value();
    case Changes::Always: return true;
  }
  return true;
}

}  // namespace kivd::web
