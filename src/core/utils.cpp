#include "core/utils.hpp"

#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <cstring>

extern char** environ;

namespace kivd {

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool executew(const std::vector<std::string>& argv, int* status) {
  if (argv.empty()) return false;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The daemon ignores SIGPIPE; a program it starts (tar and its gzip, wget)
  // expects the default.
  posix_spawnattr_t attr;
  ::posix_spawnattr_init(&attr);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ::posix_spawnattr_setsigdefault(&attr, &pipe);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid;
  const int rc = ::posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ);
  ::posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (status) *status = st;
  return true;
}

char* mid(char* text, int start, int length) {
  const int len = static_cast<int>(std::strlen(text));
  if (start > len) return text + len;
  if (start < 0) start = 0;
  if (length >= 0 && start + length < len) text[start + length] = '\0';
  return text + start;
}

std::uint32_t parseHex(std::string_view text) {
  std::uint32_t v = 0;
  for (char c : text) {
    std::uint32_t d;
    if (c >= '0' && c <= '9') d = static_cast<std::uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F') d = static_cast<std::uint32_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') d = static_cast<std::uint32_t>(c - 'a' + 10);
    else return 0;
    v = v * 16u + d;
  }
  return v;
}

bool is_numeric(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string stringReplace(std::string_view search, std::string_view replacement, std::string_view text) {
  std::string out(text);
  if (search.empty()) return out;
  const auto pos = out.find(search);
  if (pos != std::string::npos) out.replace(pos, search.size(), replacement);
  return out;
}

std::string build_get_query(std::string_view host, std::string_view page) {
  if (!page.empty() && page.front() == '/') page.remove_prefix(1);
  std::string q;
  q.reserve(host.size() + page.size() + 76);
  q += "GET /";
  q += page;
  q += " HTTP/1.1\r\nHost: ";
  q += host;
  q += "\r\nUser-Agent: dovireruzida/1.0\r\nConnection: close\r\n\r\n";
  return q;
}

int atoi_rules(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool neg = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (neg) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return static_cast<int>(v);
}

void copy_text(char* dst, std::size_t n, std::string_view src) {
  if (n == 0) return;
  const std::size_t k = src.size() < n - 1 ? src.size() : n - 1;
  std::memcpy(dst, src.data(), k);
  dst[k] = '\0';
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }
}  // namespace

std::string printable(std::string_view text, std::size_t max) {
  std::string r(text.substr(0, max));
  for (char& c : r)
    if (is_control(c)) c = '?';
  return r;
}

bool has_control(std::string_view text) {
  for (char c : text)
    if (is_control(c)) return true;
  return false;
}

void name_this_thread(const char* name) {
  char shown[16];
  copy_text(shown, sizeof shown, name);
  pthread_setname_np(pthread_self(), shown);
}

std::string form_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 && hex_digit(s[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace kivd
