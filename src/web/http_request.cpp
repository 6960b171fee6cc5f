#include "web/http_request.hpp"

#include <cctype>

#include "web/routes.hpp"

namespace kivd::web {

namespace {

bool is_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

constexpr std::string_view kStaticSuffixes[] = {".ico", ".jpeg", ".jpg", ".png", ".gif", ".css", ".js", ".html"};
constexpr std::string_view kBinarySuffixes[] = {".ico", ".jpeg", ".jpg", ".png", ".gif"};

}  // namespace

void Trim(std::string& text) {
  std::size_t n = text.size();
  while (n > 0 && !is_alnum(text[n - 1])) --n;
  text.resize(n);
}

void StrUpper(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

int ext_match(std::string_view text, std::string_view suffix) { return text.ends_with(suffix) ? 1 : 0; }

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

int Parse_HTTP_Header(std::string_view line, ReqInfo& req) {
  if (req.first_header) {
    std::size_t skip;
    if (line.starts_with("GET ")) {
      req.method = Method::GET;
      skip = 4;
    } else if (line.starts_with("POST ")) {
      req.method = Method::POST;
      skip = 5;
    } else if (line.starts_with("HEAD ")) {
      req.method = Method::HEAD;
      skip = 5;
    } else {
      // Refused, but an HTTP/1.x client still gets a status line, and the
      // error page can name what was asked for.
      req.method = Method::UNSUPPORTED;
      req.status = 501;
      if (line.find("HTTP/") != std::string_view::npos) req.type = ReqType::FULL;
      const std::size_t sp = line.find(' ');
      if (sp != std::string_view::npos) {
        std::string_view rest = line.substr(sp + 1);
        while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
        const std::size_t end = rest.find(' ');
        if (end != 0 && !rest.empty()) req.resource = std::string(rest.substr(0, end));
      }
      return -1;
    }
    std::string_view rest = line.substr(skip);
    while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
    const std::size_t end = rest.find(' ');
    const std::string_view target = rest.substr(0, end);
    if (rest.find("HTTP/") != std::string_view::npos) req.type = ReqType::FULL;
    else req.type = ReqType::SIMPLE;
    if (target.empty()) {
      req.status = 400;
      return -1;
    }
    req.resource = std::string(target);
    req.first_header = false;
    return 0;
  }

  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    if (++req.second_header > 1) {
      req.status = 400;
      return -1;
    }
    return 0;
  }
  std::string name(line.substr(0, colon));
  StrUpper(name);
  if (name.starts_with("SEC-FETCH-") || name == "UPGRADE-INSECURE-REQUESTS") req.browser_header = true;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && is_blank(value.front())) value.remove_prefix(1);
  if (value.empty()) return 0;
  if (name == "USER-AGENT") req.useragent = std::string(value);
  else if (name == "REFERER") req.referer = std::string(value);
  else if (name == "CONTENT-LENGTH") req.content_length = std::string(value);
  else if (name == "HOST") req.host = std::string(value);
  else if (name == "ORIGIN") req.origin = std::string(value);
  else if (name == "SEC-FETCH-SITE") req.sec_fetch_site = std::string(value);
  else if (name == "ACCEPT" && value.find("text/html") != std::string_view::npos) req.browser_header = true;
  else if (name == "COOKIE") req.cookie = std::string(value);
  else if (name == "AUTHORIZATION") req.authorization = std::string(value);
  return 0;
}

std::optional<std::size_t> announced_length(const ReqInfo& req) {
  if (!req.content_length || req.content_length->empty() || req.content_length->size() > 9) return std::nullopt;
  std::size_t n = 0;
  for (char c : *req.content_length) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  return n;
}

bool is_static_suffix(std::string_view resource) {
  for (std::string_view s : kStaticSuffixes)
    if (ext_match(resource, s)) return true;
  return false;
}

bool is_binary_suffix(std::string_view resource) {
  for (std::string_view s : kBinarySuffixes)
    if (ext_match(resource, s)) return true;
  return false;
}

bool static_path_is_safe(std::string_view resource) {
  return resource.starts_with('/') && resource.find("..") == std::string_view::npos &&
         resource.find('\\') == std::string_view::npos && resource.find('\0') == std::string_view::npos;
}

int Check_Resource(const ReqInfo& req, bool wallbox_used) {
  if (!req.resource) return -1;
  const Route* route = find_route(*req.resource);
  if (!route || !route->page) return -1;
  return route->needs_wallbox && !wallbox_used ? -1 : 0;
}

bool read_only_request(const ReqInfo& req) {
  if (req.status != 200) return true;
  if (!req.resource) return false;
  // Nothing is served under an unknown target: its 404 changes nothing.
  const Route* route = find_route(*req.resource);
  if (!route) return req.method == Method::GET || req.method == Method::HEAD;
  return route->runs_in != RunsIn::Child && req.method != Method::POST;
}

bool slow_request(const ReqInfo& req) {
  if (req.status != 200 || !req.resource || req.method == Method::POST) return false;
  const Route* route = find_route(*req.resource);
  return route && route->runs_in == RunsIn::Slow;
}

const char* content_type_line(std::string_view r) {
  const Route* route = find_route(r);
  switch (route ? route->answer : Answer::Html) {
    case Answer::Xml: return "Content-Type: text/xml; charset=utf-8\r\n";
    case Answer::Json: return "Content-Type: application/json\r\n";
    case Answer::Script: return "Content-Type: text/javascript\r\n";
    case Answer::Html: return "Content-Type: text/html; charset=UTF-8\r\n";
    case Answer::Static: break;
  }
  if (ext_match(r, ".ico")) return "Content-Type: image/x-icon\r\n";
  if (ext_match(r, ".jpg") || ext_match(r, ".jpeg")) return "Content-Type: image/jpeg\r\n";
  if (ext_match(r, ".png")) return "Content-Type: image/png\r\n";
  if (ext_match(r, ".gif")) return "Content-Type: image/gif\r\n";
  if (ext_match(r, ".css")) return "Content-Type: text/css\r\n";
  if (ext_match(r, ".js")) return "Content-Type: text/javascript\r\n";
  return "Content-Type: text/html; charset=UTF-8\r\n";
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 421: return "Misdirected Request";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

std::string_view path_part(std::string_view resource) { return resource.substr(0, resource.find('?')); }

std::optional<std::string_view> query_part(std::string_view resource) {
  const std::size_t q = resource.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  std::string_view rest = resource.substr(q + 1);
  rest = rest.substr(0, rest.find('?'));
  if (rest.empty()) return std::nullopt;
  return rest;
}

}  // namespace kivd::web
