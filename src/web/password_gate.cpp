#include "web/password_gate.hpp"

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "core/password_hash.hpp"
#include "core/settings.hpp"
#include "web/cross_site.hpp"
#include "web/day_chart.hpp"
#include "web/live_cells.hpp"
#include "web/page_common.hpp"
#include "web/routes.hpp"
#include "web/sessions.hpp"

namespace kivd::web {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int base64_digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 ("+", "/", "=" padding); without padding the length must
// still make whole bytes. Anything else is no value at all.
std::optional<std::string> base64_decode(std::string_view in) {
  std::size_t pad = 0;
  while (!in.empty() && in.back() == '=' && pad < 2) in.remove_suffix(1), ++pad;
  if (pad > 0 && (in.size() + pad) % 4 != 0) return std::nullopt;
  if (in.size() % 4 == 1) return std::nullopt;
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : in) {
    const int d = base64_digit(c);
    if (d < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(d);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// Where the login goes back to: a local path of plain characters, else "/".
std::string safe_next(std::string_view next) {
  if (!next.starts_with('/') || next.starts_with("//") || next.size() > 200) return "/";
  for (char c : next) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '/' ||
                    c == '?' || c == '=' || c == '&' || c == '_' || c == '.' || c == '-';
    if (!ok) return "/";
  }
  return std::string(next);
}

bool from_browser(const ReqInfo& req) {
  return req.useragent && req.useragent->find("Mozilla/") != std::string::npos;
}

void headers(Sink& out, const ReqInfo& req, int status, const TimeSnapshot& time, std::string_view extra = {}) {
  if (req.type != ReqType::FULL) return;
  ReqInfo html;  // every answer here is a page
  html.resource = "/login";
  html.status = status;
  Output_HTTP_Headers(out, html, time, extra);
}

void page_head(Sink& out) {
  head_variant_b(out);
  title_piece(out, "login");
  style_piece(out);
  out.printf("<BODY>\n<H2>%s login</H2>\n", kProductTitle);
}

void login_page(Sink& out, const ReqInfo& req, std::string_view next, const char* message) {
  page_head(out);
  if (message) out.printf("<P><B>%s</B></P>\n", message);
  const std::string n = html_escape(next);
  out.put("<FORM method=\"post\" action=\"/login\">\n");
  out.printf("<input type=\"hidden\" name=\"next\" value=\"%s\">\n", n.c_str());
  form_token_field(out, req);
  out.put("Password: <input type=\"password\" name=\"password\" autocomplete=\"current-password\" autofocus>\n");
  out.put("<input type=\"submit\" value=\"Log in\">\n</FORM>\n");
  out.put("<P><a href=\"/\">Info page</a></P>\n");
  body_end(out);
}

void wait_page(Sink& out, const ReqInfo& req, const TimeSnapshot& time, std::string_view peer) {
  log_line("Webserver: too many wrong passwords from %.47s, try refused", std::string(peer).c_str());
  headers(out, req, 429, time, "Retry-After: 60\r\n");
  page_head(out);
  out.put("<P>Too many wrong passwords from this address. Please wait a minute and try again.</P>\n");
  body_end(out);
}

std::string cookie_line(std::string_view token, bool expire) {
  std::string line = "Set-Cookie: ";
  line += kSessionCookie;
  line += '=';
  line += token;
  line += "; Path=/; HttpOnly; SameSite=Strict";
  if (expire) line += "; Max-Age=0";
  return line + "\r\n";
}

// Each use of the shared table holds its lock only for that use: a password
// check takes a while, and other requests may want the table meanwhile.
bool may_try(std::string_view peer, std::time_t now) {
  const SessionsLock sessions;
  return !sessions.table() || sessions.table()->may_try(peer, now);
}

void note_failure(std::string_view peer, std::time_t now) {
  const SessionsLock sessions;
  if (sessions.table()) sessions.table()->note_failure(peer, now);
}

void login(const ReqInfo& req, Sink& out, const TimeSnapshot& time, std::string_view peer) {
  const std::string body = req.post_data.value_or("");
  const std::string next = safe_next(form_field(body, "next").value_or("/"));
  const std::time_t now = time_source().wall_now();
  if (!may_try(peer, now)) return wait_page(out, req, time, peer);
  const std::string password = form_field(body, "password").value_or("");
  if (!verify_password(password, cfg().WebPasswordHash)) {
    log_line("Webserver: wrong password from %.47s", std::string(peer).c_str());
    note_failure(peer, now);
    headers(out, req, 401, time);
    return login_page(out, req, next, "Wrong password.");
  }
  std::optional<std::string> token;
  if (const SessionsLock sessions; sessions.table()) token = sessions.table()->open(now);
  if (!token) {
    log_line("Webserver: no session could be opened for %.47s", std::string(peer).c_str());
    headers(out, req, 500, time);
    return login_page(out, req, next, "No session could be opened; scripts may use HTTP Basic credentials.");
  }
  log_line("Webserver: login from %.47s", std::string(peer).c_str());
  headers(out, req, 200, time, cookie_line(*token, false));
  redirect_page(out, next);
}

void logout(const ReqInfo& req, Sink& out, const TimeSnapshot& time) {
  const std::string_view token = req.cookie ? session_token(*req.cookie) : std::string_view();
  if (const SessionsLock sessions; sessions.table() && !token.empty()) sessions.table()->close(token);
  headers(out, req, 200, time, cookie_line("", true));
  redirect_page(out, "/");
}

}  // namespace

bool open_without_password(const ReqInfo& req) {
  const Route* route = req.resource ? find_route(*req.resource) : nullptr;
  return route && route->open && route->page;
}

std::optional<std::string> basic_password(std::string_view authorization) {
  if (authorization.size() < 6 || !iequal(authorization.substr(0, 6), "Basic ")) return std::nullopt;
  std::string_view encoded = authorization.substr(6);
  while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
  auto decoded = base64_decode(encoded);
  if (!decoded) return std::nullopt;
  const std::size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return decoded->substr(colon + 1);
}

std::string_view session_token(std::string_view cookie_header) {
  while (!cookie_header.empty()) {
    const std::size_t semi = cookie_header.find(';');
    std::string_view pair = cookie_header.substr(0, semi);
    cookie_header.remove_prefix(semi == std::string_view::npos ? cookie_header.size() : semi + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == kSessionCookie) return pair.substr(eq + 1);
  }
  return {};
}

std::optional<std::string> form_field(std::string_view body, std::string_view name) {
  while (!body.empty()) {
    const std::size_t amp = body.find('&');
    const std::string_view field = body.substr(0, amp);
    body.remove_prefix(amp == std::string_view::npos ? body.size() : amp + 1);
    const std::size_t eq = field.find('=');
    if (field.substr(0, eq) != name) continue;
    const std::string_view raw = eq == std::string_view::npos ? std::string_view() : field.substr(eq + 1);
    std::string value;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '+') value += ' ';
      else if (raw[i] == '%' && i + 2 < raw.size() && hex_digit(raw[i + 1]) >= 0 && hex_digit(raw[i + 2]) >= 0) {
        value += static_cast<char>(hex_digit(raw[i + 1]) * 16 + hex_digit(raw[i + 2]));
        i += 2;
      } else value += raw[i];
    }
    return value;
  }
  return std::nullopt;
}

void form_token_field(Sink& out, const ReqInfo& req) {
  const std::string_view session = req.cookie ? session_token(*req.cookie) : std::string_view();
  std::string token;
  if (const SessionsLock sessions; sessions.table()) token = sessions.table()->form_token(session);
  out.printf("<input type=\"hidden\" name=\"%.*s\" value=\"%s\">\n", static_cast<int>(kFormTokenField.size()),
             kFormTokenField.data(), token.c_str());
}

bool form_token_ok(const ReqInfo& req) {
  const auto sent = form_field(req.post_data.value_or(""), kFormTokenField);
  if (!sent) return false;
  const std::string_view session = req.cookie ? session_token(*req.cookie) : std::string_view();
  const SessionsLock sessions;
  return sessions.table() && sessions.table()->form_token_matches(session, *sent);
}

std::string without_fields(std::string_view body, bool (*drop)(std::string_view field)) {
  std::string out;
  while (!body.empty()) {
    const std::size_t amp = body.find('&');
    const std::string_view field = body.substr(0, amp);
    body.remove_prefix(amp == std::string_view::npos ? body.size() : amp + 1);
    if (field.empty() || drop(field)) continue;
    if (!out.empty()) out += '&';
    out += field;
  }
  return out;
}

std::string without_form_token(std::string_view body) {
  return without_fields(body, [](std::string_view f) { return f.substr(0, f.find('=')) == kFormTokenField; });
}

bool password_gate(const ReqInfo& req, Sink& out, const TimeSnapshot& time, std::string_view peer) {
  if (!req.resource) return false;
  const std::string_view path = path_part(*req.resource);
  const bool password_set = !cfg().WebPasswordHash.empty();
  if (iequal(path, "/logout")) {
    logout(req, out, time);
    return true;
  }
  // A hash that is set but cannot be checked locks everything but the open
  // pages: taking it for "no password" would open the interface to anyone.
  if (password_set && !valid_password_hash(cfg().WebPasswordHash) &&
      (iequal(path, "/login") || !open_without_password(req))) {
    headers(out, req, 403, time);
    page_head(out);
    out.put("<P><B>The web interface is locked: the password entry [WEBSERVER] PASSWORD_HASH is unusable.</B></P>\n"
            "<P>Set a new password on the machine with <code>kivd-passwd</code>, then restart the service.</P>\n"
            "<P><a href=\"/\">Info page</a></P>\n");
    body_end(out);
    return true;
  }
  if (iequal(path, "/login")) {
    if (!password_set) {
      headers(out, req, 200, time);
      redirect_page(out, "/");
    } else if (req.method == Method::POST) {
      login(req, out, time, peer);
    } else {
      headers(out, req, 200, time);
      login_page(out, req, "/", nullptr);
    }
    return true;
  }
  if (!password_set || open_without_password(req)) return false;

  const std::time_t now = time_source().wall_now();
  const std::string_view token = req.cookie ? session_token(*req.cookie) : std::string_view();
  if (!token.empty()) {
    const SessionsLock sessions;
    if (sessions.table() && sessions.table()->check(token, now, session_idle_limit())) return false;
  }

  const std::string next = req.method == Method::GET && !changes_something(req) ? safe_next(*req.resource) : "/";
  if (req.authorization) {
    if (!may_try(peer, now)) {
      wait_page(out, req, time, peer);
      return true;
    }
    const auto password = basic_password(*req.authorization);
    if (password && verify_password(*password, cfg().WebPasswordHash)) return false;
    log_line("Webserver: wrong password from %.47s", std::string(peer).c_str());
    note_failure(peer, now);
  }
  // A browser gets the login page, not its own password dialog.
  headers(out, req, 401, time, from_browser(req) ? "" : "WWW-Authenticate: Basic realm=\"kivd\", charset=\"UTF-8\"\r\n");
  login_page(out, req, next, req.authorization ? "Wrong password." : nullptr);
  return true;
}

bool gate_refuses(const ReqInfo& req, std::string_view peer) {
  if (!req.resource || cfg().WebPasswordHash.empty()) return false;
  const std::string_view path = path_part(*req.resource);
  if (iequal(path, "/login") || iequal(path, "/logout")) return false;
  if (open_without_password(req)) return false;
  if (!valid_password_hash(cfg().WebPasswordHash)) return true;
  const std::time_t now = time_source().wall_now();
  const std::string_view token = req.cookie ? session_token(*req.cookie) : std::string_view();
  if (!token.empty()) {
    const SessionsLock sessions;
    if (sessions.table() && sessions.table()->check(token, now, session_idle_limit())) return false;
  }
  return !req.authorization || !may_try(peer, now);
}

}  // namespace kivd::web
