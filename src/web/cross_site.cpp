#include "web/cross_site.hpp"

#include <optional>
#include <string_view>

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

}  // namespace

bool changes_something(const ReqInfo& req) {
  if (!req.resource) return false;
  const std::string_view r = *req.resource;
  if (req.method == Method::POST &&
      (iequal(r, "/control") || iequal(r, "/settings") || iequal(r, "/knx") || iequal(r, "/login")))
    return true;
  for (std::string_view page : {"/restart", "/clearlog", "/checkupdate", "/update", "/logout"})
    if (iequal(r, page)) return true;
  if (r.find("/download") != std::string_view::npos) return true;
  return r.find("/remote") != std::string_view::npos && query_part(r).has_value();
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
