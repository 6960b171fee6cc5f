// The one table of what the web server serves. Dispatch, the resource check,
// the password gate, the cross-site check and the split between the reader
// threads and the request child all look up the row of the routed path (the
// target before its query) and read it, never the raw target: a suffix in
// the query ("/settings?x=.css") cannot make a page a static file. A new
// page is one row in routes.cpp.
#pragma once

#include <string_view>

#include "web/http_request.hpp"

namespace kivd::web {

class Sink;
class FdSink;
struct PageContext;

enum class RunsIn {
  Reader,  // a reader thread of the daemon: reads only
  Child,   // the request child, one at a time: may hand changes over
  Slow,    // a thread of its own, one at a time: reads that wait on another
           // server (the database), so they never hold a reader
};

enum class Changes {
  Never,
  OnPost,     // a form post (a GET only shows the form)
  WithQuery,  // a GET with a query is a command (/remote?mode=off)
  Always,     // any request (restart, clear log, update steps, logout)
};

enum class Answer { Html, Xml, Json, Script, Static };

using PageFn = void (*)(Sink& out, FdSink* conn, const PageContext& ctx);

struct Route {
  std::string_view path;   // empty: the static-file row (a safe path with a static suffix)
  bool any_case;           // the path compared without regard to case
  bool takes_query;        // a target with a query is this route too (else 404)
  PageFn page;             // nullptr: answered by the password gate (/login, /logout)
  RunsIn runs_in;
  Changes changes;
  bool open;               // served without the password
  Answer answer;
  bool needs_wallbox = false;  // 404 unless [WALLBOX] USING is TRUE
};

// The row of a target, or nullptr when nothing is served under it. The
// wallbox switch is not checked here (Check_Resource does).
const Route* find_route(std::string_view resource);

// True when the request is a change by its row: a POST to a form, a command
// query, or any request of a changing route.
bool route_changes(const Route& route, const ReqInfo& req);

}  // namespace kivd::web
