// Static files from the resources folder. A resource never leads outside it:
// ".." and backslashes are refused before (Check_Resource), and the resolved
// path, links followed, must still lie inside the folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "core/daemon_state.hpp"
#include "web/pages.hpp"

namespace kivd::web {

namespace {

std::string resolved(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return {};
  return buf;
}

}  // namespace

void send_static_file(FdSink* conn, Sink& out, std::string_view resource) {
  if (!static_path_is_safe(resource)) return;
  const std::string base = resolved(web_res_path());
  if (base.empty()) return;
  const std::string file = resolved(web_res_path() + std::string(resource));
  if (file.empty() || !file.starts_with(base + "/")) return;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return;
  }
  if (is_binary_suffix(resource)) {
    // Binary files are sent cut to their first 10240 bytes.
    char buf[kBinaryMax];
    std::size_t got = 0;
    while (got < sizeof buf) {
      const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got > 0) {
      if (conn) conn->send_raw(buf, got);
      else out.put(std::string_view(buf, got));
    }
  } else {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      out.put(std::string_view(buf, static_cast<std::size_t>(n)));
      if (out.failed()) break;
    }
  }
  ::close(fd);
}

}  // namespace kivd::web
