// Pure parts of the self-update pages: the update descriptor, the version
// comparison, the HTTP answer's body and the /download query rules.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kivd::web {

struct UpdateDescriptor {
  std::string date;       // first 10 characters
  int major = 0, minor = 0, revision = 0;
  std::string changelog;  // first 899 characters
  std::string filename;   // first 99 characters
  std::string url;        // first 499 characters
};

// Reads the descriptor (any root name; the first element of each name). All
// of date, version/major, version/minor, version/revision, changelog,
// <arch>/filename and <arch>/url must be there; nullopt when the text does
// not parse or one is missing. Numbers follow atoi rules.
std::optional<UpdateDescriptor> parse_update_descriptor(std::string_view xml, std::string_view arch);

// True when offered is newer than running, most significant number first.
bool is_newer_version(int major, int minor, int revision, int run_major, int run_minor, int run_revision);

// The text after the first empty line ("\r\n\r\n") of a received answer, cut
// to max bytes; nullopt while no header end has arrived.
std::optional<std::string> http_answer_body(std::string_view answer, std::size_t max);

// The /download request: the part of the target before "?" must be exactly
// "/download", the query at most 198 characters (199: not valid, more: too
// long), and a "url" piece must be there; the last one wins, taken as sent.
struct DownloadQuery {
  enum class Error { None, NoValidUrl, TooLong };
  Error error = Error::None;
  std::string url;
};
DownloadQuery parse_download_query(std::string_view resource);

// Only http:// and https:// URLs (scheme in any case) with a host part and
// nothing but URL characters are handed to the downloader.
bool download_url_allowed(std::string_view url);

}  // namespace kivd::web
