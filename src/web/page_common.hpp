// Shared pieces of every generated page, and how to add a page.
//
// Adding a page:
//  1. Write `void page_xyz(Sink& out, const PageContext& ctx)` in the source
//     of its group (pages_status.cpp, pages_control.cpp, pages_log.cpp,
//     pages_settings.cpp, pages_update.cpp) and declare it in pages.hpp.
//  2. Give it one row in the route table (routes.cpp): path, page, where it
//     runs (reader thread or request child), what of it changes something,
//     whether it is open without the password, its answer type. Dispatch,
//     the resource check, the password gate and the cross-site check all
//     read that row; nothing else lists pages.
//  3. Write the page piece by piece: out.put() for fixed text, out.printf()
//     for a piece with values (1000-byte line, longer text is cut). Start
//     with a head variant, then title_piece / style_piece / the page's
//     scripts, body_start, button_bar; end with body_end.
//  4. Every text that came from the request, a device, a file or the
//     settings goes through html_escape (or xml_escape for XML, js_escape
//     inside a script string) where it is written.
//  5. A form carries form_token_field(out, ctx.req) (password_gate.hpp).
//     Pages run in the forked request child: read live() and cfg() only,
//     take no lock, log with log_line/debug_line (child-safe once enter_forked_child ran), and change nothing in
//     the daemon except through the hand-over files (handover.hpp).
//     ctx.time is the request's time, taken by the server before the fork.
//  6. Form posts: Service_Request (service_request.cpp) hands a POST body to
//     write_settings_form(body, 1|2) for /settings and /knx before the page
//     is rendered and sets ctx.post_written when it returned true; a
//     GET of /restart or /update has already written its action hand-over
//     (the server thread acts on "update" only when LOG_DIR/kivupdate/bin
//     holds kiv_updater and kivd, so a stray /update never ends the server).
//  7. Tests: pages render into a StringSink (see tests/web/*_test.cpp);
//     whole requests go through webtest::serve_raw.
#pragma once

#include <string>
#include <string_view>

#include "web/http_io.hpp"
#include "web/http_request.hpp"
#include "core/local_time.hpp"

namespace kivd::web {

struct PageContext {
  const ReqInfo& req;
  TimeSnapshot time;       // request time (local and UTC)
  long uptime_s = 0;       // whole seconds since the daemon started
  bool outcome_shown = false;  // the page shows the outcome of a form post (submit_feedback.hpp)
  bool post_applied = false;  // a POST body was handed over and applied (control page)
  bool post_written = false;  // a settings form was written (settings pages)
  std::string post_refused{};  // its fields whose values were refused, comma-separated
  const char* password_note = nullptr;  // outcome of a web password change (settings page)
  bool handover_failed = false;  // a command could not be handed to the daemon (nothing changes)
};

// Escaping for the context a text lands in.
std::string html_escape(std::string_view s);
std::string xml_escape(std::string_view s);  // also drops bytes XML 1.0 forbids
std::string js_escape(std::string_view s);   // inside a '...' or "..." script string

// Head variants: A (info page), B (control and log pages), C (settings pages).
void head_variant_a(Sink& out);
void head_variant_b(Sink& out);
void head_variant_c(Sink& out);
// The no-cache head piece and the content-type piece on their own.
void no_cache_piece(Sink& out);
void content_type_meta_piece(Sink& out);
// "<TITLE>Orvane <what></TITLE>\n", e.g. title_piece(out, "info page").
void title_piece(Sink& out, std::string_view what);
// The style piece, with the phone piece; closing_head adds </HEAD>
// (progress pages go without).
void style_piece(Sink& out, bool closing_head = true);
// The viewport declaration and the shared stylesheet (resources/kivd.css),
// for every page's head.
void phone_head_piece(Sink& out);
// "<BODY>\n<H2><heading> <version></H2>\n"
void body_start(Sink& out, std::string_view heading);
// The button bar; knx_always: the KNX settings page shows KNX regardless.
void button_bar(Sink& out, bool knx_always = false);
void body_end(Sink& out);          // "</BODY>\n</HTML>\n"
void body_end_compact(Sink& out);  // "</BODY></HTML>\n"
// The pages' script (resources/pages.js, built in) and where it is served.
inline constexpr std::string_view kPagesScriptUrl = "/pages.js";
extern const std::string_view kPagesScriptText;
// A confirmation for the pages' script: it defines fn(), which asks the
// question and, confirmed, opens the target.
void confirm_script(Sink& out, std::string_view fn, std::string_view question, std::string_view target);
// The six-piece redirect page to a local target ("/log" or "/home").
void redirect_page(Sink& out, std::string_view target);
// The progress page mechanism shared by the restart and update pages: the
// bar's length and pace for progress_update in the pages' script.
void progress_script(Sink& out, int steps, int interval_ms);
void progress_cells(Sink& out, int steps);

// The resource-not-found page (the last branch of the dispatch).
void not_found_page(Sink& out, std::string_view resource);
// The error page for req.status.
void Return_Error_Msg(Sink& out, const ReqInfo& req);
// The response header block (status line with its reason phrase); extra
// holds whole header lines ("Name: value\r\n") to add.
void Output_HTTP_Headers(Sink& out, const ReqInfo& req, const TimeSnapshot& time, std::string_view extra = {});

// Feature switches of the running daemon.
bool wallbox_used();
bool knx_used();
bool db_used();
bool storage_used();
bool meter_used();

}  // namespace kivd::web
