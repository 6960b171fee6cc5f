#include "web/service_request.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "web/cross_site.hpp"
#include "web/handover.hpp"
#include "web/pages.hpp"
#include "web/request_child.hpp"
#include "web/password_form.hpp"
#include "web/password_gate.hpp"
#include "web/submit_feedback.hpp"

namespace kivd::web {

namespace {

void handle_post(const ReqInfo& req, PageContext& ctx, std::string_view peer) {
  const std::string_view r = *req.resource;
  const std::string body = without_form_token(*req.post_data);
  if (iequal(r, "/control")) {
    // Only where the control page is served, and only what fits a hand-over;
    // the child applies the pairs to its own copy only when the daemon will
    // get them too, so the page never shows a change that did not happen.
    if (!wallbox_used()) return;
    if (body.size() > kHandOverMax) {
      log_line("Service_Request: POST body of %zu characters too long, nothing changed", body.size());
      return;
    }
    if (set_temp_variables(body) != 0) {
      log_line("Service_Request: error transfer poststring");
      return;
    }
    SetVariablesAll(body, "Service_Request: POST ");
    ctx.post_applied = true;
  } else if (iequal(r, "/settings") || iequal(r, "/knx")) {
    // A body cut short would store its last field cut: nothing is written.
    // The web password's fields are handled on their own and never logged.
    const std::optional<std::size_t> announced = announced_length(req);
    if (announced && *announced != req.post_data->size()) {
      log_line("Service_Request: settings form of %zu bytes, %zu received, nothing saved", *announced,
               req.post_data->size());
      log_line("Service_Request: error writing ini file...");
    } else if (!write_settings_form(without_password_fields(body), iequal(r, "/settings") ? 1 : 2,
                                    &ctx.post_refused)) {
      log_line("Service_Request: error writing ini file...");
    } else {
      ctx.post_written = true;
    }
    if (iequal(r, "/settings")) ctx.password_note = apply_password_change(req, peer);
  }
}

// False when the command could not be handed over (nothing then changes).
bool handle_get(const ReqInfo& req) {
  const std::string_view r = *req.resource;
  const std::string_view path = path_part(r);
  if (iequal(path, "/remote")) {
    // The query goes over as received: the daemon knows the whole control
    // vocabulary (names without regard to case, the control page's fields
    // too), and home-automation callers rely on that. Only the target the
    // remote answer serves hands over; any other spelling is answered 404
    // and must not change the charging.
    if (path != "/remote") return true;
    const auto query = query_part(r);
    if (!query || query->size() > kHandOverMax) return true;
    if (set_temp_variables(std::string(*query)) == 0) return true;
    log_line("Service_Request: error transfer getstring");
  } else if (iequal(r, "/restart")) {
    if (set_temp_actions("restart") == 0) return true;
    log_line("Service_Request: error transfer restart");
  } else if (iequal(r, "/update")) {
    if (set_temp_actions("update") == 0) return true;
    log_line("Service_Request: error transfer update");
  } else {
    return true;
  }
  return false;
}

// Passes the header block on and drops what follows it (a HEAD answer).
class HeadOnly final : public Sink {
 public:
  // simple: an HTTP/0.9 request, which gets no header block either.
  HeadOnly(Sink& to, bool simple) : to_(to), done_(simple) {}

 protected:
  bool write_all(std::string_view text) override {
    if (done_) return true;
    for (std::size_t i = 0; i < text.size(); ++i) {
      tail_ = (tail_ << 8) | static_cast<unsigned char>(text[i]);
      if ((tail_ & 0xFFFFFFFFu) == 0x0D0A0D0Au) {
        done_ = true;
        to_.put(text.substr(0, i + 1));
        return !to_.failed();
      }
    }
    to_.put(text);
    return !to_.failed();
  }
  bool flush_held() override {
    to_.flush();
    return !to_.failed();
  }

 private:
  Sink& to_;
  std::uint32_t tail_ = 0;
  bool done_;
};

// The client's address for the log and the password try limit.
std::string peer_address(int conn) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  char text[INET6_ADDRSTRLEN] = "?";
  if (::getpeername(conn, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    if (addr.ss_family == AF_INET)
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
    else if (addr.ss_family == AF_INET6)
      ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
  }
  return text;
}

}  // namespace

int Service_Request(int conn, const TimeSnapshot& time) {
  ReqInfo req;
  ConnReader reader(conn);
  if (Get_Request(reader, req) == -1) return -1;
  answer_request(conn, req, time, true);
  return 0;
}

void refuse_early(ReqInfo& req) {
  // Only this server's own names are answered (DNS rebinding).
  refuse_foreign_host(req);
  if (req.status != 200 || !changes_something(req)) return;
  // HEAD only ever reads: a route that acts on any request does not act on it.
  if (req.method == Method::HEAD) {
    req.status = 405;
    return;
  }
  // A browser sending another site's request (a form post, a link to
  // /restart, a top-level navigation) is refused before anything is handed
  // over; so is a browser's form post without its form token.
  if (const char* why = change_refusal(req)) {
    log_line("Webserver: cross-site request refused (%s): %.100s", why, req.resource->c_str());
    req.status = 403;
  } else if (req.method == Method::POST && browser_marked(req) && !form_token_ok(req)) {
    log_line("Webserver: form post without its form token refused: %.100s", req.resource->c_str());
    req.status = 403;
  }
}

bool refused_on_reader(int conn, ReqInfo& req) {
  refuse_early(req);
  return req.status != 200 || gate_refuses(req, peer_address(conn));
}

void answer_request(int conn, ReqInfo& req, const TimeSnapshot& time, bool may_change, std::string* rest) {
  PageContext ctx{req, time};
  const std::time_t start = daemon_state().start_t.load();
  ctx.uptime_s = static_cast<long>(std::difftime(time.now, start));
  if (ctx.uptime_s < 0) ctx.uptime_s = 0;

  refuse_early(req);
  FdSink fd_out(conn);
  if (rest) fd_out.spill_to(rest);
  HeadOnly head_out(fd_out, req.type != ReqType::FULL);
  // A HEAD answer is the GET's header block without its body.
  const bool head = req.method == Method::HEAD;
  Sink& out = head ? static_cast<Sink&>(head_out) : fd_out;
  // Without the password (where one is set) only the login page answers.
  const std::string peer = peer_address(conn);
  if (req.status == 200 && password_gate(req, out, time, peer)) {
    out.flush();
    return;
  }
  // A request with an error status changes nothing.
  if (may_change && req.status == 200 && req.resource) {
    if (req.method == Method::POST && req.post_data) handle_post(req, ctx, peer);
    else if (req.method == Method::GET && !handle_get(req)) {
      ctx.handover_failed = true;
      // The remote answer says so in its XML; a page that would claim the
      // restart or update is under way is an error instead.
      if (path_part(*req.resource) != "/remote") req.status = 503;
    }
    handover_written();
  }
  if (req.status == 200 && req.method == Method::GET && req.resource) read_outcome(*req.resource, ctx);
  if (req.status == 200 && Check_Resource(req, wallbox_used()) != 0) req.status = 404;

  if (req.status == 200 && answers_with_redirect(req)) {
    see_other(out, req, time, outcome_location(path_part(*req.resource), ctx));
    out.flush();
    return;
  }
  if (req.type == ReqType::FULL) Output_HTTP_Headers(out, req, time);
  if (req.status != 200) Return_Error_Msg(out, req);
  else if (Return_Website(out, head ? nullptr : &fd_out, ctx) != 0)
    log_line("Webserver: Something wrong returning internal resource.");
  out.flush();
}

}  // namespace kivd::web
