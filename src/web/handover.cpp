#include "web/handover.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "core/private_dir.hpp"
#include "core/settings.hpp"
#include "core/utils.hpp"
#include "web/http_request.hpp"

namespace kivd::web {

namespace {

bool write_file(const std::string& path, std::string_view text) {
  // O_NONBLOCK: a FIFO planted under the name must not hang the child.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return false;
  }
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) {
      // Cut short by a full disk it would be applied cut: removed instead.
      ::unlink(path.c_str());
      ::close(fd);
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::close(fd) == 0) return true;
  ::unlink(path.c_str());
  return false;
}

// Reads the whole of a small plain file (no link followed); false when absent.
bool read_file(const std::string& path, std::string& content) {
  content.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    // A link or something else under the name is removed, never applied.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
      log_line("Webserver: %s is not a plain file, removed unread", path.c_str());
      ::unlink(path.c_str());
      return true;
    }
    return false;
  }
  struct stat st;
  const bool plain = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (plain && !trusted_file(st)) {
    log_line("Webserver: %s not written by this service, removed unread", path.c_str());
  } else if (plain) {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      if (content.size() < 65536) content.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  ::unlink(path.c_str());
  return true;
}

// Exactly one line (a final line feed allowed) is taken, cut to max; false
// when there is no file.
bool get_file(const std::string& path, std::string& text, std::size_t max) {
  text.clear();
  std::string content;
  if (!read_file(path, content)) return false;
  std::size_t lines = 0;
  for (std::size_t i = 0; i < content.size(); ++i)
    if (content[i] == '\n' || i + 1 == content.size()) ++lines;
  if (lines == 1) {
    text = content.substr(0, content.find('\n'));
    if (text.size() > max) text.resize(max);
  }
  return true;
}

}  // namespace

namespace {

// Empty without a private folder: nothing is then handed over.
std::string in_private_dir(const char* name) {
  const std::string dir = private_dir();
  return dir.empty() ? dir : dir + "/" + name;
}

}  // namespace

std::string temp_variables_path() { return in_private_dir("kivd.var"); }
std::string temp_actions_path() { return in_private_dir("kivd.act"); }

int set_temp_variables(std::string_view text) {
  if (write_file(temp_variables_path(), text)) return 0;
  log_line("set_line: error writing tempfile variables");
  return -1;
}

int set_temp_actions(std::string_view text) {
  if (write_file(temp_actions_path(), text)) return 0;
  log_line("set_line: error writing tempfile actions");
  return -1;
}

int get_temp_variables(std::string& text) { return get_file(temp_variables_path(), text, 1999) ? 1 : 0; }
int get_temp_actions(std::string& text) { return get_file(temp_actions_path(), text, 19) ? 1 : 0; }

void remove_temp_files() {
  for (const std::string& path : {temp_variables_path(), temp_actions_path()})
    if (!path.empty()) ::unlink(path.c_str());
}

}  // namespace kivd::web
