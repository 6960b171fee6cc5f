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

}  // namespace kivd
