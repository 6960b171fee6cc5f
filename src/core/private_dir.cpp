#include "core/private_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/unique_fd.hpp"

namespace kivd {

std::string private_dir() { return private_dir_in(cfg().LOG_DIR); }

std::string private_dir_in(const std::string& parent) {
  const std::string path = parent + "/kivd.d";
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    log_line("Private folder %s cannot be created: %s", path.c_str(), std::strerror(errno));
    return {};
  }
  // Whatever stands there now is judged by its own inode, never through a link.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    log_line("Private folder %s not used: not a folder", path.c_str());
    return {};
  }
  if (st.st_uid != ::geteuid()) {
    log_line("Private folder %s not used: owned by another user", path.c_str());
    return {};
  }
  if ((st.st_mode & 077) != 0) {
    log_line("Private folder %s not used: open to group or others", path.c_str());
    return {};
  }
  return path;
}

bool trusted_file(const struct stat& st) { return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

std::string untrusted_reason(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "not found";
  if (!S_ISREG(st.st_mode)) return "not a plain file";
  if (st.st_uid != ::geteuid()) return "owned by another user";
  if (!trusted_file(st)) return "writable by group or others";
  return {};
}

std::string update_folder() {
  const std::string dir = private_dir();
  return dir.empty() ? dir : dir + "/kivupdate";
}

std::string running_marker_path() {
  const std::string dir = private_dir();
  return dir.empty() ? dir : dir + "/kivd.running";
}

namespace {

bool write_marker(const std::string& path, bool say) {
  const std::string tmp = path + ".new";
  ::unlink(tmp.c_str());
  const UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (!fd || ::write(fd.get(), pid.data(), pid.size()) != static_cast<ssize_t>(pid.size()) ||
      ::rename(tmp.c_str(), path.c_str()) != 0) {
    if (say) log_line("Running marker %s cannot be written: %s", path.c_str(), std::strerror(errno));
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool marker_failed = false;

}  // namespace

void write_running_marker() {
  const std::string path = running_marker_path();
  if (!path.empty()) marker_failed = !write_marker(path, true);
}

void keep_running_marker() {
  const std::string path = running_marker_path();
  if (path.empty()) return;
  if (marker_failed) {
    if (write_marker(path, false)) {
      marker_failed = false;
      log_line("Running marker %s written", path.c_str());
    }
    return;
  }
  ::utimensat(AT_FDCWD, path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
}

}  // namespace kivd
