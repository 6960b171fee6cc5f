// Writing the configuration file: the default one, and a save that reads
// the file, applies the form and replaces the file atomically.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "core/ini_writeback.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"
#include "core/unique_fd.hpp"

namespace kivd {

namespace {

std::string dir_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The file a save replaces: a symbolic link at path is followed, so the
// link stays.
std::string save_target(const std::string& path) {
  struct stat lt;
  if (::lstat(path.c_str(), &lt) == 0 && S_ISLNK(lt.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) return resolved;
  }
  return path;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view text) {
  const std::string target = save_target(path);
  mode_t mode;
  bool existed = false;
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
    existed = true;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0600 & ~mask;  // it holds the database password
  }

  const std::string base = target.substr(target.find_last_of('/') + 1);
  std::string tmp = dir_of(target) + "/." + base + ".XXXXXX";
  UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd) {
    log_line("Settings: cannot create a temporary file beside %s: %s", target.c_str(), std::strerror(errno));
    return false;
  }
  auto fail = [&](const char* what) {
    const int err = errno;
    ::unlink(tmp.c_str());
    log_line("Settings: cannot %s %s: %s", what, tmp.c_str(), std::strerror(err));
    return false;
  };
  if (existed) [[maybe_unused]] int r = ::fchown(fd.get(), st.st_uid, st.st_gid);  // only root may; fine otherwise
  if (::fchmod(fd.get(), mode) != 0) return fail("set the mode of");
  if (!write_all(fd.get(), text)) return fail("write");
  if (::fsync(fd.get()) != 0) return fail("flush");
  if (::close(fd.release()) != 0) return fail("close");
  if (::rename(tmp.c_str(), target.c_str()) != 0) return fail("rename to the configuration");
  const UniqueFd dir(::open(dir_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

bool WriteDefaultINIFile(const std::string& path) {
  // Readable by the daemon's user only: the file holds the database password.
  const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  return fd && write_all(fd.get(), DefaultIniText());
}

namespace {

// The file's text for a write-back into text; false (logged) when it cannot
// be read. A missing file gives an empty text.
bool read_for_writeback(const std::string& path, std::string& text) {
  {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
      if (errno != ENOENT) {
        log_line("Settings: cannot read %s: %s", path.c_str(), std::strerror(errno));
        return false;
      }
      // Writing only the banner would lose every setting while the page
      // reports them saved: write the built-in defaults and the posted values.
      log_line("Settings: %s not found, written anew from the built-in defaults and the posted values", path.c_str());
    } else {
      struct stat st;
      if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        log_line("Settings: %s is not a regular file", path.c_str());
        return false;
      }
      char buf[8192];
      for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          log_line("Settings: cannot read %s: %s", path.c_str(), std::strerror(errno));
          return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  return true;
}

}  // namespace

int WriteIniFile(const std::string& path, std::string_view body, int mode, FormOutcome* outcome) {
  std::string text;
  if (!read_for_writeback(path, text)) return 0;
  IniDict dict = IniDict::load_text(text, IniDict::EmptyKeys::kept);
  if (!dict.loaded()) return 0;
  FormOutcome applied = ApplySettingsForm(dict, body, mode);
  if (outcome) *outcome = std::move(applied);
  return ReplaceFileAtomically(path, (has_bom(text) ? std::string(kBom) : std::string()) + IniFileText(dict)) ? 1 : 0;
}

int WriteIniKey(const std::string& path, std::string_view key, std::string_view value) {
  std::string text;
  std::string encoded;
  if (!encode_ini_value(value, encoded) || !read_for_writeback(path, text)) return 0;
  IniDict dict = IniDict::load_text(text, IniDict::EmptyKeys::kept);
  if (!dict.loaded()) return 0;
  // Mode 0: the completion without any form's switch reset.
  ApplySettingsForm(dict, {}, 0);
  const std::string k = ascii_lower(std::string(key));
  dict.set(k, value);
  return ReplaceFileAtomically(path, (has_bom(text) ? std::string(kBom) : std::string()) + IniFileText(dict)) ? 1 : 0;
}

int WriteIniFile(std::string_view body, int mode, FormOutcome* outcome) {
  return WriteIniFile(ini_path(), body, mode, outcome);
}

void RemoveStaleSaveFiles(const std::string& path) {
  const std::string target = save_target(path);
  const std::string dir = dir_of(target);
  const std::string prefix = "." + target.substr(target.find_last_of('/') + 1) + ".";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix) continue;
    const std::string file = dir + "/" + std::string(name);
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlink(file.c_str()) == 0) log_line("Settings: unfinished save %s removed", file.c_str());
  }
  ::closedir(d);
}

}  // namespace kivd
