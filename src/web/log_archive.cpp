#include "web/log_archive.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "core/utils.hpp"
#include "web/page_common.hpp"

namespace kivd::web {

LogTail read_log_tail(const std::string& path, std::size_t max_lines, std::size_t max_line) {
  LogTail out;
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (!f) {
    // Present but unreadable counts as empty, absent as not found.
    out.kind = (errno == ENOENT) ? LogTail::Kind::NotFound : LogTail::Kind::Empty;
    return out;
  }
  std::deque<std::string> ring;
  std::string line;
  bool in_line = false;
  char buf[4096];
  std::size_t n;
  auto end_line = [&](bool with_lf) {
    if (with_lf) line += '\n';
    if (ring.size() == max_lines) {
      ring.front().swap(line);  // reuse the oldest slot's storage
      ring.push_back(std::move(ring.front()));
      ring.pop_front();
    } else {
      ring.push_back(std::move(line));
    }
    line.clear();
    in_line = false;
  };
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      const char c = buf[i];
      if (c == '\n') {
        end_line(true);
        continue;
      }
      in_line = true;
      if (line.size() < max_line) line += c;
    }
  }
  if (in_line) end_line(false);
  std::fclose(f);
  if (ring.empty()) {
    out.kind = LogTail::Kind::Empty;
    return out;
  }
  out.kind = LogTail::Kind::Lines;
  for (const std::string& l : ring) out.text += html_escape(l);
  return out;
}

std::string log_archive_name(const std::string& log_file, const std::tm& local, int n) {
  char date[40];
  std::snprintf(date, sizeof date, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  std::string name = log_file + "-" + date;
  if (n > 1) name += "-" + std::to_string(n);
  return name + ".tar.gz";
}

std::string archive_log(const std::string& log_file, const std::tm& local, std::string* why) {
  auto fail = [&](const std::string& text) {
    if (why) *why = text;
    return std::string();
  };
  struct stat st{};
  if (::lstat(log_file.c_str(), &st) != 0) return fail("log file not found");
  if (!S_ISREG(st.st_mode)) return fail("log file is not a plain file");

  const std::size_t slash = log_file.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : log_file.substr(0, slash));
  const std::string base = slash == std::string::npos ? log_file : log_file.substr(slash + 1);

  std::string tmp = log_archive_name(log_file, local) + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return fail("cannot create " + tmp + ": " + std::strerror(errno));
  ::close(fd);

  int status = 0;
  if (!executew({"tar", "czf", tmp, "-C", dir, "--", base}, &status)) {
    ::unlink(tmp.c_str());
    return fail("cannot start tar");
  }
  struct stat ast{};
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || ::stat(tmp.c_str(), &ast) != 0 || ast.st_size == 0) {
    ::unlink(tmp.c_str());
    return fail("tar failed");
  }
  // link() never replaces: an archive of the same day stays, the next one
  // gets a number.
  std::string name;
  for (int n = 1; n < 100; ++n) {
    const std::string cand = log_archive_name(log_file, local, n);
    if (::link(tmp.c_str(), cand.c_str()) == 0) {
      name = cand;
      break;
    }
    if (errno != EEXIST) break;
  }
  ::unlink(tmp.c_str());
  if (name.empty()) return fail("cannot store the archive");
  if (::unlink(log_file.c_str()) != 0 && errno != ENOENT)
    return fail("archive " + name + " written, but the log cannot be removed");
  return name;
}

bool clear_log(const std::string& log_file) {
  return ::unlink(log_file.c_str()) == 0 || errno == ENOENT;
}

}  // namespace kivd::web
