#include "web/page_common.hpp"

#include "core/daemon_state.hpp"
#include "core/settings.hpp"
#include "web/routes.hpp"

namespace kivd::web {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string html_escape(std::string_view s) {
  std::string o;
  o.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      case '\'': o += "&#39;"; break;
      case '\0': break;
      default: o += c;
    }
  }
  return o;
}

std::string xml_escape(std::string_view s) {
  std::string o;
  o.reserve(s.size());
  for (char c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      case '\'': o += "&apos;"; break;
      default:
        // Control characters other than tab, LF and CR are not allowed in XML.
        if (u < 0x20 && c != '\t' && c != '\n' && c != '\r') break;
        o += c;
    }
  }
  return o;
}

std::string js_escape(std::string_view s) {
  static const char* hex = "0123456789abcdef";
  std::string o;
  o.reserve(s.size());
  for (char c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u >= 0x80 ||
        c == '/' || c == ':' || c == '.' || c == '-' || c == '_' || c == '?' || c == '=' || c == '%' || c == ',' ||
        c == '+' || c == '~' || c == ' ') {
      o += c;
    } else {
      o += "\\x";
      o += hex[u >> 4];
      o += hex[u & 15];
    }
  }
  return o;
}

void no_cache_piece(Sink& out) {
  out.put("<HTML>\n<HEAD><META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\">\n<META HTTP-EQUIV=\"Expires\" CONTENT=\"-1\">\n");
}

void content_type_meta_piece(Sink& out) {
  out.put("<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n");
}

void head_variant_a(Sink& out) {
  out.put(
      "<HTML>\n<HEAD><META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\">\n<META HTTP-EQUIV=\"Expires\" "
      "CONTENT=\"-1\">\n<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n");
}

void head_variant_b(Sink& out) {
  no_cache_piece(out);
  content_type_meta_piece(out);
}

void head_variant_c(Sink& out) {
  out.put("<HTML><HEAD><META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\"><META HTTP-EQUIV=\"Expires\" CONTENT=\"-1\">\n");
}

void title_piece(Sink& out, std::string_view what) {
  out.printf("<TITLE>%s %.*s</TITLE>\n", kProductTitle, static_cast<int>(what.size()), what.data());
}

void phone_head_piece(Sink& out) {
  out.put("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
          "<link rel=\"stylesheet\" type=\"text/css\" href=\"/kivd.css\">\n");
  out.printf("<script src=\"%.*s\" defer></script>\n", static_cast<int>(kPagesScriptUrl.size()),
             kPagesScriptUrl.data());
}

void style_piece(Sink& out, bool closing_head) {
  out.put("<style rel=\"stylesheet\" type=\"text/css\">body {font-family: Arial, Helvetica, sans-serif;}</style>\n");
  phone_head_piece(out);
  if (closing_head) out.put("</HEAD>\n");
}

void body_start(Sink& out, std::string_view heading) {
  out.printf("<BODY>\n<H2>%.*s %s</H2>\n", static_cast<int>(heading.size()), heading.data(), KIVVersion().c_str());
}

void button_bar(Sink& out, bool knx_always) {
  out.put("<input type=\"button\" value=\"Home\" data-href=\"/\">\n");
  if (wallbox_used()) out.put("<input type=\"button\" value=\"Control\" data-href=\"/control\">\n");
  out.put("<input type=\"button\" value=\"Log\" data-href=\"/log\">\n");
  out.put("<input type=\"button\" value=\"Settings\" data-href=\"/settings\">\n");
  if (knx_always || knx_used()) out.put("<input type=\"button\" value=\"KNX\" data-href=\"/knx\">\n");
  out.put("<input type=\"button\" value=\"XML\" data-href=\"/xml\">\n");
  if (!cfg().WebPasswordHash.empty())
    out.put("<input type=\"button\" value=\"Log out\" data-href=\"/logout\">\n");
  else
    out.put("<P style=\"color:#b00000\">No web password is set: anyone on this network can control the charger. "
            "<a href=\"/settings#webpassword\">Set a password</a></P>\n");
}

void body_end(Sink& out) { out.put("</BODY>\n</HTML>\n"); }
void body_end_compact(Sink& out) { out.put("</BODY></HTML>\n"); }

void confirm_script(Sink& out, std::string_view fn, std::string_view question, std::string_view target) {
  out.printf("<meta name=\"kivd-confirm\" data-fn=\"%.*s\" data-question=\"%s\" data-target=\"%s\">",
             static_cast<int>(fn.size()), fn.data(), html_escape(question).c_str(), html_escape(target).c_str());
}

void redirect_page(Sink& out, std::string_view target) {
  const int n = static_cast<int>(target.size());
  const char* t = target.data();
  out.put("<!DOCTYPE HTML>\n");
  out.put("<html><head><meta charset=\"UTF-8\">\n");
  out.printf("<meta http-equiv=\"refresh\" content=\"0;url=%.*s\">\n", n, t);
  phone_head_piece(out);
  out.put("<title>KIV redirection</title></head>\n");
  out.printf("<body>If you are not redirected automatically, follow the <a href='%.*s'>link to example</a></body></html>\n",
             n, t);
}

void progress_script(Sink& out, int steps, int interval_ms) {
  out.printf("<meta name=\"kivd-progress\" data-end=\"%d\" data-interval=\"%d\">\n", steps, interval_ms);
}

void progress_cells(Sink& out, int steps) {
  out.put("<div id=\"showbar\" style=\"font-size:8pt;padding:2px;border:solid black 1px;visibility:hidden\">\n");
  for (int i = 1; i <= steps; ++i) out.printf("<span id=\"progress%d\">&nbsp; &nbsp;</span>\n", i);
}

void not_found_page(Sink& out, std::string_view resource) {
  out.printf("<HTML><HEAD><meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n<TITLE>%s...</TITLE>\n",
             kProductTitle);
  phone_head_piece(out);
  const std::string r = html_escape(resource);
  out.printf("</HEAD><BODY><PRE>Resource not found: %s\n", r.c_str());
  out.put("</PRE><br /><input type=\"button\" value=\"Home\" data-href=\"/\">\n");
  out.put("</BODY></HTML>\n");
}

void Return_Error_Msg(Sink& out, const ReqInfo& req) {
  out.printf_n(500,
               "<HTML>\n<HEAD>\n<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n<TITLE>%s "
               "server error %d</TITLE>\n",
               kProductTitle, req.status);
  phone_head_piece(out);
  out.put("</HEAD>\n\n");
  out.printf_n(500, "<BODY>\n<H1>server error %d</H1>\n", req.status);
  // A refused request line may carry no target at all.
  const std::string r = req.resource ? html_escape(*req.resource) : std::string("(none)");
  if (req.status == 403)
    out.printf_n(500, "<P>The requested service %s was refused: the request came from another site.</P>\n\n",
                 r.c_str());
  else if (req.status == 421)
    out.printf_n(500, "<P>The requested service %s was refused: this server does not answer to the host name "
                      "used. Use its address or add the name to [WEBSERVER] HOSTNAMES.</P>\n\n", r.c_str());
  else if (req.status == 405)
    out.printf_n(500, "<P>The requested service %s changes something and is not carried out for HEAD.</P>\n\n",
                 r.c_str());
  else if (req.status == 503 && req.resource && find_route(*req.resource) &&
           find_route(*req.resource)->runs_in == RunsIn::Slow)
    out.printf_n(500, "<P>The requested service %s is busy answering other requests. Try again shortly.</P>\n\n",
                 r.c_str());
  else if (req.status == 503)
    out.printf_n(500, "<P>The requested service %s could not be handed to the daemon: nothing was changed.</P>\n\n",
                 r.c_str());
  else out.printf_n(500, "<P>The requested service %s was not found.</P>\n\n", r.c_str());
  out.printf_n(500,
               "<HR><P><FONT SIZE=\"2\"><I>Embedded kiv server %s at Port %d</I></FONT></P>\n</BODY>\n</HTML>\n",
               KIVVersion().c_str(), cfg().WebPort);
}

void Output_HTTP_Headers(Sink& out, const ReqInfo& req, const TimeSnapshot& time, std::string_view extra) {
  const std::tm& u = time.utc;
  out.printf_n(100, "HTTP/1.1 %d %s\r\n", req.status, reason_phrase(req.status));
  // Calendar year (not the ISO week-based year), C-locale names.
  out.printf_n(100, "Date: %s, %02d %s %d %02d:%02d:%02d GMT\r\n", kDays[u.tm_wday % 7], u.tm_mday,
               kMonths[u.tm_mon % 12], u.tm_year + 1900, u.tm_hour, u.tm_min, u.tm_sec);
  out.printf_n(100, "Server: %s\r\n", kServerName);
  out.put("Expires: Sat, 10 Jun 2000 05:00:00 GMT\r\n");
  out.put("Cache-Control: no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n");
  out.put("Pragma: no-cache\r\n");
  // Every connection carries one answer and is then closed: say so, rather
  // than announce a keep-alive that never happens.
  out.put("Connection: close\r\n");
  // No page of the daemon may be framed (clickjacking of the control page);
  // scripts, styles and forms only from the daemon itself. The pages carry
  // no script of their own; inline styles stay allowed.
  out.put("X-Frame-Options: DENY\r\n");
  out.put("Content-Security-Policy: default-src 'self'; script-src 'self'; "
          "style-src 'self' 'unsafe-inline'; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
          "form-action 'self'; frame-ancestors 'none'\r\n");
  out.put("X-Content-Type-Options: nosniff\r\n");
  out.put("Referrer-Policy: same-origin\r\n");
  out.put(content_type_line(req.resource ? std::string_view(*req.resource) : std::string_view()));
  if (!extra.empty()) out.put(extra);
  out.put("\r\n");
}

bool wallbox_used() { return cfg().WallboxUsing; }
bool knx_used() { return cfg().KNXUsing; }
bool db_used() { return cfg().MyUsing; }
bool storage_used() { return cfg().SSUsing; }
bool meter_used() { return cfg().KivUsing; }

}  // namespace kivd::web
