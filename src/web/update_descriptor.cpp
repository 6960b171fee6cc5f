#include "web/update_descriptor.hpp"

#include <pugixml.hpp>

#include "core/utils.hpp"
#include "web/http_request.hpp"

namespace kivd::web {

namespace {

std::string cut(const char* text, std::size_t max) {
  std::string s(text);
  if (s.size() > max) s.resize(max);
  return s;
}

}  // namespace

std::optional<UpdateDescriptor> parse_update_descriptor(std::string_view xml, std::string_view arch) {
  pugi::xml_document doc;
  const pugi::xml_parse_result ok = doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!ok) return std::nullopt;
  const pugi::xml_node root = doc.document_element();
  if (!root) return std::nullopt;
  const std::string arch_name(arch);
  const pugi::xml_node date = root.child("date");
  const pugi::xml_node version = root.child("version");
  const pugi::xml_node major = version.child("major");
  const pugi::xml_node minor = version.child("minor");
  const pugi::xml_node revision = version.child("revision");
  const pugi::xml_node changelog = root.child("changelog");
  const pugi::xml_node a = root.child(arch_name.c_str());
  const pugi::xml_node filename = a.child("filename");
  const pugi::xml_node url = a.child("url");
  if (!date || !major || !minor || !revision || !changelog || !filename || !url) return std::nullopt;
  UpdateDescriptor d;
  d.date = cut(date.child_value(), 10);
  d.major = atoi_rules(major.child_value());
  d.minor = atoi_rules(minor.child_value());
  d.revision = atoi_rules(revision.child_value());
  d.changelog = cut(changelog.child_value(), 899);
  d.filename = cut(filename.child_value(), 99);
  d.url = cut(url.child_value(), 499);
  return d;
}

bool is_newer_version(int major, int minor, int revision, int run_major, int run_minor, int run_revision) {
  if (major != run_major) return major > run_major;
  if (minor != run_minor) return minor > run_minor;
  return revision > run_revision;
}

std::optional<std::string> http_answer_body(std::string_view answer, std::size_t max) {
  const std::size_t p = answer.find("\r\n\r\n");
  if (p == std::string_view::npos) return std::nullopt;
  std::string body(answer.substr(p + 4));
  if (body.size() > max) body.resize(max);
  return body;
}

DownloadQuery parse_download_query(std::string_view resource) {
  DownloadQuery q;
  const std::size_t mark = resource.find('?');
  if (mark == std::string_view::npos || resource.substr(0, mark) != "/download") {
    q.error = DownloadQuery::Error::NoValidUrl;
    return q;
  }
  // The query ends at a second "?", as the target was split at every "?".
  std::string_view query = resource.substr(mark + 1);
  const std::size_t mark2 = query.find('?');
  if (mark2 != std::string_view::npos) query = query.substr(0, mark2);
  if (query.empty()) {
    q.error = DownloadQuery::Error::NoValidUrl;
    return q;
  }
  if (query.size() > 199) {
    q.error = DownloadQuery::Error::TooLong;
    return q;
  }
  if (query.size() == 199) {
    q.error = DownloadQuery::Error::NoValidUrl;
    return q;
  }
  bool found = false;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t amp = query.find('&', start);
    if (amp == std::string_view::npos) amp = query.size();
    const std::string_view piece = query.substr(start, amp - start);
    const std::size_t eq = piece.find('=');
    if (eq != std::string_view::npos && piece.substr(0, eq) == "url") {
      std::string_view value = piece.substr(eq + 1);
      const std::size_t eq2 = value.find('=');
      if (eq2 != std::string_view::npos) value = value.substr(0, eq2);
      q.url.assign(value);
      found = true;
    }
    start = amp + 1;
  }
  if (!found) q.error = DownloadQuery::Error::NoValidUrl;
  return q;
}

bool download_url_allowed(std::string_view url) {
  std::size_t rest;
  auto starts = [&](std::string_view scheme) {
    return url.size() >= scheme.size() && iequal(url.substr(0, scheme.size()), scheme);
  };
  if (starts("http://")) rest = 7;
  else if (starts("https://")) rest = 8;
  else return false;
  if (url.size() <= rest || url[rest] == '/') return false;
  // Characters a URL may hold; anything else (blanks, quotes, back-ticks,
  // pipes, braces, control bytes) is refused outright.
  static constexpr std::string_view kUrlChars =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~:/?#[]@!$&'()*+,;=%";
  return url.find_first_not_of(kUrlChars) == std::string_view::npos;
}

}  // namespace kivd::web
