// The request record and the pure parts of HTTP handling: the header-line
// parser, the table of served resources, content types and the status line.
// No sockets here, so everything is tested from raw request bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kivd::web {

enum class Method { GET = 0, POST = 1, HEAD = 2, UNSUPPORTED = 3 };
enum class ReqType { SIMPLE = 0, FULL = 1 };

struct ReqInfo {
  Method method = Method::UNSUPPORTED;
  ReqType type = ReqType::SIMPLE;
  std::optional<std::string> referer;
  std::optional<std::string> useragent;
  // What a browser says about where the request comes from (cross_site.hpp).
  std::optional<std::string> host;
  std::optional<std::string> origin;
  std::optional<std::string> sec_fetch_site;
  // A Sec-Fetch-* or Upgrade-Insecure-Requests header, or an Accept naming
  // text/html: only a browser sends these (cross_site.hpp).
  bool browser_header = false;
  // Credentials (password_gate.hpp).
  std::optional<std::string> cookie;
  std::optional<std::string> authorization;
  std::optional<std::string> resource;  // target as sent, query included
  std::optional<std::string> content_length;
  std::optional<std::string> post_data;
  int status = 200;

  // Parser state: one record parses exactly one request.
  bool first_header = true;
  int second_header = 0;
};

inline constexpr std::size_t kLineBuffer = 1024;   // the request line
// A POST body: the settings form with every value percent-encoded runs past
// a kilobyte.
inline constexpr std::size_t kBodyMax = 4096;
// One header line, line end included: browsers send the cookies of every web
// application on the same host, which easily run past a kilobyte.
inline constexpr std::size_t kHeaderLineMax = 8192;
inline constexpr std::size_t kHandOverMax = 198;   // longest hand-over string
inline constexpr int kHeadBudgetMs = 5000;         // whole request head
inline constexpr int kSendTimeoutSec = 7;
inline constexpr int kListenBacklog = 50;
inline constexpr std::size_t kBinaryMax = 10240;   // binary static files are cut here
inline constexpr const char* kServerName = "dovireruzida/1.0";

// Removes every trailing character that is not an ASCII letter or digit.
void Trim(std::string& text);
void StrUpper(std::string& text);
// 1 when text ends with suffix (case counts), else 0.
int ext_match(std::string_view text, std::string_view suffix);
bool iequal(std::string_view a, std::string_view b);

// One (already trimmed) header line: 0 to go on, -1 to stop reading (an
// error status has then been set).
int Parse_HTTP_Header(std::string_view line, ReqInfo& req);

// The body length the request announces: nullopt without a usable
// Content-Length (absent, or not a plain decimal number).
std::optional<std::size_t> announced_length(const ReqInfo& req);

// True for the suffixes of static files (case counts).
bool is_static_suffix(std::string_view resource);
bool is_binary_suffix(std::string_view resource);
// A static resource that may be looked up below the resources folder: starts
// with "/", holds no "..", no backslash and no NUL.
bool static_path_is_safe(std::string_view resource);

// True for a request the daemon answers on a reader thread, beside a running
// request child: a GET or HEAD whose route runs there (routes.hpp), a target
// nothing is served under, or a request already refused with an error
// status. Everything else goes to the one request child at a time.
bool read_only_request(const ReqInfo& req);
// True for a read-only request whose route waits on another server
// (RunsIn::Slow): answered on its own thread, not on a reader.
bool slow_request(const ReqInfo& req);

// 0 when the resource has a page row (routes.hpp), -1 when not. wallbox_used: WallboxUsing is TRUE.
int Check_Resource(const ReqInfo& req, bool wallbox_used);

// "Content-Type: ...\r\n" for the resource.
const char* content_type_line(std::string_view resource);
// Reason phrase for the status ("OK", "Bad Request", ...).
const char* reason_phrase(int status);

// The part of the target before the first "?", and the query between the
// first "?" and the next one (nullopt when there is no "?" or it is empty).
std::string_view path_part(std::string_view resource);
std::optional<std::string_view> query_part(std::string_view resource);

}  // namespace kivd::web
