#include "web/submit_feedback.hpp"

#include <optional>
#include <string>

#include "core/daemon_state.hpp"
#include "core/utils.hpp"

#include "web/password_form.hpp"

namespace kivd::web {

namespace {

constexpr std::size_t kRefusedMax = 300;  // refused field names kept in the query

void append_encoded(std::string& out, std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  for (char c : s.substr(0, kRefusedMax)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || c == '_' || c == '-' ||
        c == '.') {
      out += c;
    } else {
      out += '%';
      out += hex[u >> 4];
      out += hex[u & 15];
    }
  }
}

}  // namespace

bool answers_with_redirect(const ReqInfo& req) {
  if (req.method != Method::POST || !req.resource) return false;
  const std::string_view r = *req.resource;
  return iequal(r, "/control") || iequal(r, "/settings") || iequal(r, "/knx");
}

std::string outcome_location(std::string_view path, const PageContext& ctx) {
  std::string l(path);
  if (iequal(path, "/control")) {
    l += ctx.post_applied ? "?done=1" : "?done=0";
    return l;
  }
  l += ctx.post_written ? "?saved=1" : "?saved=0";
  if (!ctx.post_refused.empty()) {
    l += "&refused=";
    append_encoded(l, ctx.post_refused);
  }
  if (const int note = password_note_index(ctx.password_note); note >= 0) l += "&pw=" + std::to_string(note);
  return l;
}

void read_outcome(std::string_view resource, PageContext& ctx) {
  std::optional<std::string_view> query = query_part(resource);
  if (!query) return;
  for (std::string_view q = *query; !q.empty();) {
    const std::size_t amp = q.find('&');
    const std::string_view pair = q.substr(0, amp);
    q.remove_prefix(amp == std::string_view::npos ? q.size() : amp + 1);
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view name = pair.substr(0, eq), value = pair.substr(eq + 1);
    if (name == "done") {
      ctx.outcome_shown = true;
      ctx.post_applied = value == "1";
    } else if (name == "saved") {
      ctx.outcome_shown = true;
      ctx.post_written = value == "1";
    } else if (name == "refused") {
      ctx.post_refused = form_decode(value.substr(0, 3 * kRefusedMax));
      if (ctx.post_refused.size() > kRefusedMax) ctx.post_refused.resize(kRefusedMax);
    } else if (name == "pw" && value.size() == 1) {
      ctx.password_note = password_note_text(value[0] - '0');
    }
  }
}

void see_other(Sink& out, const ReqInfo& req, const TimeSnapshot& time, std::string_view location) {
  if (req.type == ReqType::FULL) {
    ReqInfo page;  // the answer is a page whatever the target
    page.resource = "/";
    page.status = 303;
    Output_HTTP_Headers(out, page, time, "Location: " + std::string(location) + "\r\n");
  }
  const std::string l = html_escape(location);
  out.printf("<HTML><HEAD><TITLE>%s</TITLE></HEAD><BODY><a href=\"%s\">%s</a></BODY></HTML>\n", kProductTitle,
             l.c_str(), l.c_str());
}

}  // namespace kivd::web
