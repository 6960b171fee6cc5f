#include "web/cross_site.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>

#include "core/log.hpp"
#include "core/settings.hpp"

#include "web/routes.hpp"

namespace kivd::web {

namespace {

struct Authority {
  std::string_view host;
  std::string_view port;  // empty: the scheme's default
};

// "host", "host:port", "[v6]" or "[v6]:port". Header lines lose their
// trailing punctuation, so a closing bracket may be missing.
Authority split_authority(std::string_view a) {
  if (a.starts_with('[')) {
    const std::size_t close = a.find(']');
    if (close == std::string_view::npos) return {a, {}};
    const std::string_view rest = a.substr(close + 1);
    return {a.substr(0, close + 1), rest.starts_with(':') ? rest.substr(1) : std::string_view()};
  }
  const std::size_t colon = a.rfind(':');
  if (colon == std::string_view::npos) return {a, {}};
  return {a.substr(0, colon), a.substr(colon + 1)};
}

std::string_view without_leading_zeros(std::string_view port) {
  while (port.size() > 1 && port.front() == '0') port.remove_prefix(1);
  return port;
}

// True when the URL (an Origin or a Referer) names the host and port of the
// Host header.
bool same_authority(std::string_view url, const std::optional<std::string>& host_header) {
  if (!host_header) return false;
  const std::size_t sep = url.find("://");
  if (sep == std::string_view::npos) return false;  // "null" and the like
  const std::string_view scheme = url.substr(0, sep);
  std::string_view authority = url.substr(sep + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view default_port;
  if (iequal(scheme, "http")) default_port = "80";
  else if (iequal(scheme, "https")) default_port = "443";
  else return false;

  const Authority u = split_authority(authority);
  const Authority h = split_authority(*host_header);
  const std::string_view u_port = without_leading_zeros(u.port.empty() ? default_port : u.port);
  const std::string_view h_port = without_leading_zeros(h.port.empty() ? default_port : h.port);
  return !u.host.empty() && iequal(u.host, h.host) && u_port == h_port;
}

std::string lower(std::string_view s) {
  std::string o(s);
  for (char& c : o)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return o;
}

bool ip_literal(std::string_view host) {
  unsigned char addr[16];
  if (host.starts_with('[')) {
    host.remove_prefix(1);
    if (host.ends_with(']')) host.remove_suffix(1);  // header lines lose it
    return !host.empty() && host.size() < 64 && ::inet_pton(AF_INET6, std::string(host).c_str(), addr) == 1;
  }
  return !host.empty() && host.size() < 16 && ::inet_pton(AF_INET, std::string(host).c_str(), addr) == 1;
}

bool in_name_list(std::string_view name, std::string_view list) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!item.empty() && iequal(item, name)) return true;
  }
  return false;
}

bool machine_name(std::string_view name) {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return false;
  const std::string own = lower(buf);
  const std::string n = lower(name);
  if (n == own) return true;
  for (std::string_view suffix : {".local", ".lan", ".home.arpa"})
    if (n.size() == own.size() + suffix.size() && n.starts_with(own) && n.ends_with(suffix)) return true;
  return false;
}

}  // namespace

bool answers_to(std::string_view authority) {
  if (const std::size_t close = authority.find(']');
      authority.starts_with('[') && close != std::string_view::npos && close + 1 < authority.size() &&
      authority[close + 1] != ':')
    return false;
  const Authority a = split_authority(authority);
  for (char c : a.port)
    if (c < '0' || c > '9') return false;
  std::string_view host = a.host;
  if (ip_literal(host)) return true;
  if (host.ends_with('.')) host.remove_suffix(1);  // the absolute form of a name
  if (host.empty() || host.size() > 253) return false;
  for (char c : host) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.';
    if (!ok) return false;
  }
  return iequal(host, "localhost") || machine_name(host) || in_name_list(host, cfg().WebHostNames);
}

bool refuse_foreign_host(ReqInfo& req) {
  if (req.status != 200 || !req.host || answers_to(*req.host)) return false;
  log_line("Webserver: request for host %.80s refused (421), not a name of this server", req.host->c_str());
  req.status = 421;
  return true;
}

bool browser_marked(const ReqInfo& req) {
  return req.browser_header || req.sec_fetch_site || (req.useragent && req.useragent->starts_with("Mozilla/"));
}

bool same_origin_proof(const ReqInfo& req) {
  // "none": typed into the address bar or a bookmark. No page can send it
  // (browsers do not let scripts set Sec-Fetch-*).
  if (req.sec_fetch_site && (iequal(*req.sec_fetch_site, "same-origin") || iequal(*req.sec_fetch_site, "none")))
    return true;
  if (!req.host || !answers_to(*req.host)) return false;
  if (req.origin) return same_authority(*req.origin, req.host);
  return req.referer && same_authority(*req.referer, req.host);
}

const char* change_refusal(const ReqInfo& req) {
  if (const char* header = cross_site_header(req)) return header;
  if (browser_marked(req) && !same_origin_proof(req)) return "a browser's request without a same-origin proof";
  return nullptr;
}

bool changes_something(const ReqInfo& req) {
  if (!req.resource) return false;
  const Route* route = find_route(*req.resource);
  return route && route_changes(*route, req);
}

const char* cross_site_header(const ReqInfo& req) {
  if (req.sec_fetch_site)
    return iequal(*req.sec_fetch_site, "same-origin") || iequal(*req.sec_fetch_site, "none") ? nullptr
                                                                                              : "Sec-Fetch-Site";
  if (req.origin) return same_authority(*req.origin, req.host) ? nullptr : "Origin";
  if (req.method == Method::GET && req.referer) return same_authority(*req.referer, req.host) ? nullptr : "Referer";
  return nullptr;
}

}  // namespace kivd::web
