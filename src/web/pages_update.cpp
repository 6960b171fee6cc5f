// Update check, download and update progress pages. The download runs wget
// with argument vectors, never through a shell, and only for
// the archive URL the last update check was offered (kept in the daemon's
// private folder), so no other page can make the daemon fetch and install a
// program of its choosing; every text from the update server or the browser
// is escaped where it lands. The archive is used only with a valid
// signature and unpacked confined (update_archive.hpp).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "core/private_dir.hpp"
#include "core/settings.hpp"
#include "core/unique_fd.hpp"
#include "core/utils.hpp"
#include "web/pages.hpp"
#include "web/update_archive.hpp"
#include "web/update_descriptor.hpp"

#ifndef KIVD_UPDATE_HOST
#define KIVD_UPDATE_HOST "update.orvane.example"
#endif

namespace kivd::web {

namespace {

constexpr int kUpdatePort = 80;
constexpr std::size_t kAnswerMax = 65536;     // the whole answer kept at most
constexpr std::size_t kDescriptorMax = 8192;  // the descriptor text kept at most

// The build's update server; KIVD_UPDATE_HOST in the environment replaces it
// (tests point it at their own server).
std::string update_host() {
  const char* e = std::getenv("KIVD_UPDATE_HOST");
  return (e && *e) ? std::string(e) : std::string(KIVD_UPDATE_HOST);
}

// The archive URL of the last update check that offered a newer version.
std::string offered_url_path() {
  const std::string dir = private_dir();
  return dir.empty() ? dir : dir + "/kivupdate.url";
}

void keep_offered_url(const std::string& url) {
  const std::string path = offered_url_path();
  if (path.empty()) return;
  ::unlink(path.c_str());
  const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd || ::write(fd.get(), url.data(), url.size()) != static_cast<ssize_t>(url.size())) {
    log_line("Webserver: offered update URL cannot be kept in %s", path.c_str());
    ::unlink(path.c_str());
  }
}

// Empty when no check offered one, or the file is not one we wrote.
std::string offered_url() {
  const std::string path = offered_url_path();
  if (path.empty()) return {};
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0) return {};
  if (!S_ISREG(st.st_mode) || !trusted_file(st)) {
    log_line("Webserver: %s not written by this service, removed unread", path.c_str());
    ::unlink(path.c_str());
    return {};
  }
  char buf[512];
  const ssize_t n = ::read(fd.get(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The browser percent-encodes some characters of the URL the check's script
// put into the location (blanks, quotes): both forms name the offered one.
std::string percent_decoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void end_with_home(Sink& out) {
  out.put("</PRE><br /><input type=\"button\" value=\"Home\" data-href=\"/\">\n");
}

// Fetches the descriptor's HTTP answer, writing each step into the page.
// Returns false (after the error text) when the check cannot go on.
bool fetch_descriptor(Sink& out, const std::string& host, std::string& answer) {
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (sock.get() < 0) {
    out.put("Error: can't create TCP socket\n");
    return false;
  }
  timeval tv{5, 0};
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
    out.put("Error: cannot set SO_SNDTIMEO for socket\n");
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
    out.put("Error: cannot set SO_RCVTIMEO for socket\n");

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
    out.put("Error: can't get an IP address. DNS problems?\n");
    return false;
  }
  sockaddr_in addr = *reinterpret_cast<const sockaddr_in*>(res->ai_addr);
  ::freeaddrinfo(res);
  char ip[INET_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip)) {
    out.put("Error: can't resolve host. DNS problems?\n");
    return false;
  }
  out.printf("Connecting to %s\n", ip);
  addr.sin_port = htons(kUpdatePort);
  // The send time-out also bounds the connect.
  out.flush();
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    out.put("Error: could not connect!\n");
    return false;
  }
  out.printf("Connected to %s\n", ip);

  const std::string query = build_get_query(host, "/updates/kivupdate.xml");
  std::size_t sent = 0;
  while (sent < query.size()) {
    const ssize_t n = ::send(sock.get(), query.data() + sent, query.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      out.put("Error: can't send query (timeout), please try again later!\n");
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }

  out.put("Waiting for answer...\n");
  // The answer is joined from all its pieces, so a descriptor split over
  // several segments still arrives whole.
  // Each receive waits 5 s at most, the whole answer 30 s: a server that
  // trickles bytes cannot hold the page (and the web server) for long.
  char buf[8192];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const ssize_t n = ::recv(sock.get(), buf, sizeof buf, 0);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || std::chrono::steady_clock::now() > deadline) {
      out.put("Error: receiving data (timeout), please try again later!\n");
      return false;
    }
    answer.append(buf, std::min(static_cast<std::size_t>(n), kAnswerMax - answer.size()));
    if (answer.size() >= kAnswerMax) break;  // more than any descriptor needs
  }
  return true;
}

}  // namespace

void page_checkupdate(Sink& out, const PageContext&) {
  out.put(
      "<HTML><HEAD>\n<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n<TITLE>Check "
      "Update...</TITLE>\n");
  phone_head_piece(out);
  out.put("</HEAD>\n");
  out.printf("<BODY><PRE>Update check in progress. Searching for %s architecture. Please wait...\n", architecture());

  std::string answer;
  if (!fetch_descriptor(out, update_host(), answer)) {
    end_with_home(out);
    out.put("</BODY>\n</HTML>\n");
    return;
  }
  const std::optional<std::string> body = http_answer_body(answer, kDescriptorMax);
  if (!body || body->rfind("<?xml", 0) != 0) {
    out.put("Error: no valid update information found, please try again later!\n");
    end_with_home(out);
    out.put("</BODY>\n</HTML>\n");
    return;
  }
  out.put("Update information successfully loaded\n");
  const auto d = parse_update_descriptor(*body, architecture());
  if (!d) {
    out.put("Error: incorrect XML datagram, please try again later\n");
    end_with_home(out);
    out.put("</BODY>\n</HTML>\n");
    return;
  }
  if (!is_newer_version(d->major, d->minor, d->revision, KIVMajor, KIVMinor, KIVRevision)) {
    out.put("\nSorry, no update available!\n");
    end_with_home(out);
    out.put("</BODY>\n</HTML>\n");
    return;
  }
  keep_offered_url(d->url);
  out.put("\nA new version is available!\n");
  out.printf("Version: %d.%d.%d\n", d->major, d->minor, d->revision);
  out.put("Changelog: " + html_escape(d->changelog) + "\n\n");
  out.put("Click 'Download' to retrieve the new version.\n");
  out.printf(
      "</PRE><br /><input type=\"button\" value=\"Download %d.%d.%d\"data-onclick=\"ConfirmDownload\">&nbsp;<input "
      "type=\"button\" value=\"Cancel\" data-href=\"/\">\n",
      d->major, d->minor, d->revision);
  // The URL lands in an attribute (html_escape), never in script text.
  confirm_script(out, "ConfirmDownload", "Do you want to download the update?", "/download?url=" + d->url);
  out.put("</BODY>\n");
  out.put("</HTML>\n");
}

namespace {

// Creates path as a new empty file of ours: whatever stood there before
// (also a symbolic link placed in a shared LOG_DIR) is removed first, and
// O_EXCL|O_NOFOLLOW make sure the program that fills it writes into it.
bool fresh_file(const std::string& path) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool exited_ok(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// The error ending of the download page.
void download_fail(Sink& out) {
  end_with_home(out);
  out.put("</BODY></HTML>\n");
}

void download_fail_exec(Sink& out, const std::vector<std::string>& argv) {
  std::string cmd;
  for (const auto& a : argv) cmd += (cmd.empty() ? "" : " ") + a;
  out.put("Error execute: " + html_escape(cmd) + ".\n");
  download_fail(out);
}

std::size_t file_size(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

// Runs the program with files it writes limited to max bytes (SIGXFSZ ends
// it there); this request child's own limit is restored afterwards.
bool run_capped(const std::vector<std::string>& argv, std::size_t max, int* status) {
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit capped = old;
  if (capped.rlim_max == RLIM_INFINITY || capped.rlim_max > max) capped.rlim_cur = max;
  ::setrlimit(RLIMIT_FSIZE, &capped);
  const bool ran = executew(argv, status);
  ::setrlimit(RLIMIT_FSIZE, &old);
  return ran;
}

}  // namespace

void page_download(Sink& out, const PageContext& ctx) {
  out.put("<HTML><HEAD><meta charset=\"UTF-8\">\n<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n");
  out.put("<TITLE>Download Update Orvane...</TITLE>\n");
  phone_head_piece(out);
  confirm_script(out, "ConfirmUpdate",
                 "Do you want to update the programn? During the update, the wallbox/ charging will be deactivated!",
                 "/update");
  out.put("</head><body><PRE>");

  const DownloadQuery q = parse_download_query(*ctx.req.resource);
  if (q.error == DownloadQuery::Error::TooLong) {
    out.put("Error: url string is too long\n");
    return download_fail(out);
  }
  if (q.error != DownloadQuery::Error::None) {
    out.put("Error: no valid url found\n");
    return download_fail(out);
  }
  if (!download_url_allowed(q.url)) {
    log_line("Webserver: download refused, not an http:// or https:// URL: %.200s", q.url.c_str());
    out.put("Error: only http:// or https:// URLs are accepted\n");
    return download_fail(out);
  }

  const std::string offered = offered_url();
  if (offered.empty() || !download_url_allowed(offered) ||
      (q.url != offered && percent_decoded(q.url) != offered)) {
    log_line("Webserver: download refused, not the URL the last update check offered: %.200s", q.url.c_str());
    out.put("Error: only the update offered by the last update check can be downloaded\n");
    return download_fail(out);
  }

  const std::string log_dir = private_dir();
  if (log_dir.empty()) {
    out.put("Error: no private folder for the update in " + html_escape(cfg().LOG_DIR) + ".\n");
    return download_fail(out);
  }
  const std::string progress_log = log_dir + "/kivupdate.log";
  const std::string archive = log_dir + "/kivupdate.tar";
  const std::string dir = log_dir + "/kivupdate";
  const std::string updater = dir + "/bin/kiv_updater";
  const std::string source = dir + "/bin/kivd";

  const std::string signature = log_dir + "/kivupdate.sig";

  // A new, empty, private folder for each download, the earlier one removed
  // as a whole: nothing an earlier archive left (a link among it) is written
  // through, and no earlier program passes for this download's.
  std::string why;
  if (!fresh_folder(dir, why)) {
    out.put("Error: " + why + ".\n");
    return download_fail(out);
  }
  out.put("Connecting to download...\n\n");
  if (!fresh_file(progress_log) || !fresh_file(archive) || !fresh_file(signature)) {
    out.put("Error: cannot create the download files in " + html_escape(log_dir) + ".\n");
    return download_fail(out);
  }
  // Bounded: changes wait behind this child, so a server that stalls or
  // trickles must not hold it for ever (timeout ends wget after 10 minutes,
  // well before the child's own limit, so the page can say so), and the file
  // size limit ends a download that would grow past its cap.
  const std::vector<std::string> wget = {"timeout", "600", "wget", "--timeout=30", "--tries=3",
                                         "-o", progress_log, "-O", archive, offered};
  int status = 0;
  out.flush();
  if (!run_capped(wget, kUpdateDownloadMax + 1, &status)) return download_fail_exec(out, wget);
  std::FILE* lf = std::fopen(progress_log.c_str(), "r");
  if (!lf) {
    out.put("Error: progress log is empty.\n");
    return download_fail(out);
  }
  char line[1000];
  while (std::fgets(line, sizeof line, lf)) out.put(html_escape(line));
  std::fclose(lf);
  if (file_size(archive) > kUpdateDownloadMax) {
    ::unlink(archive.c_str());
    log_line("Webserver: update refused, the archive is larger than 32 MiB: %.200s", offered.c_str());
    out.put("\nError: the update archive is larger than 32 MiB, refused.\n");  // after a cut wget line
    return download_fail(out);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 124) {
    ::unlink(archive.c_str());
    log_line("Webserver: update download ended after 10 minutes, too slow: %.200s", offered.c_str());
    out.put("\nError: the download took longer than 10 minutes, refused.\n");
    return download_fail(out);
  }
  if (!exited_ok(status)) {
    ::unlink(archive.c_str());
    out.put("Error: download failed, please try again later!\n");
    return download_fail(out);
  }
  // The detached signature beside it; nothing of the archive is used before
  // it has been checked.
  const std::vector<std::string> wget_sig = {"timeout", "120", "wget", "--timeout=30", "--tries=2",
                                             "-q", "-O", signature, offered + ".sig"};
  if (!run_capped(wget_sig, kUpdateSignatureMax + 1, &status) || !exited_ok(status) ||
      !signature_valid(archive, signature, update_public_key_hex(), why)) {
    if (why.empty()) why = "the update archive carries no signature";
    ::unlink(archive.c_str());
    ::unlink(signature.c_str());
    log_line("Webserver: update refused, %s: %.200s", why.c_str(), offered.c_str());
    out.put("Error: " + why + ", refused.\n");
    return download_fail(out);
  }
  ::unlink(signature.c_str());

  if (!unpack_confined(archive, dir, why)) {
    ::unlink(archive.c_str());
    log_line("Webserver: update refused, %s: %.200s", why.c_str(), offered.c_str());
    out.put("Error: " + why + ", refused.\n");
    return download_fail(out);
  }
  ::unlink(archive.c_str());

  for (const std::string* f : {&updater, &source}) {
    if (!FileExists(*f)) {
      out.put("Error: " + html_escape(*f) + " not found, failed!\n");
      return download_fail(out);
    }
    // Whatever umask this runs with, the programs are writable by us alone.
    struct stat fs{};
    if (::lstat(f->c_str(), &fs) == 0 && S_ISREG(fs.st_mode)) ::chmod(f->c_str(), fs.st_mode & 07755);
    if (const std::string why = untrusted_reason(*f); !why.empty()) {
      out.put("Error: " + html_escape(*f) + " " + why + ", failed!\n");
      return download_fail(out);
    }
  }
  out.put("\nClick 'Confirm' to update the program.\n");
  out.put(
      "</PRE><br /><input type=\"button\" value=\"Confirm\"data-onclick=\"ConfirmUpdate\">&nbsp;<input "
      "type=\"button\" value=\"Cancel\" data-href=\"/\">\n");
  out.put("</BODY></HTML>\n");
}

void page_update(Sink& out, const PageContext&) {
  out.put("<HTML><HEAD><meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n");
  out.put("<TITLE>Update Orvane...</TITLE>\n");
  style_piece(out, false);
  progress_script(out, 90, 1000);
  out.put(
      "</head><body data-onload=\"progress_update\"><table align=\"left\"><tr><td><PRE>Update service. Please wait 100 "
      "seconds...</PRE></td></tr><tr><td>\n");
  progress_cells(out, 90);
  out.put("</div></td></tr>\n");
  out.put("<tr><td><PRE>\n");
  out.put("Cancel all webserver connections...\n");
  out.put("Update new binary...\n");
  out.put("Waiting for restart...\n");
  out.put("If you don't see the homepage after 2 minutes, please restart the service or device manually.\n");
  out.put("</PRE></td></tr></table>\n");
  out.put("</BODY></HTML>\n");
}

}  // namespace kivd::web
