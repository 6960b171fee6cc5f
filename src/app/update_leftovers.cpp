#include "app/update_leftovers.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "core/log.hpp"
#include "core/unique_fd.hpp"

namespace kivd {

namespace {

// mkstemp's six characters.
bool temp_suffix(std::string_view s) {
  if (s.size() != 6) return false;
  for (const char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

// A copy still being written changes all the time and is locked by its
// writer; the moments around its creation and rename are covered by the age.
constexpr std::time_t kMinAgeSeconds = 5;

void remove_in(const std::string& program) {
  const auto slash = program.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : program.substr(0, slash);
  const std::string prefix = "." + program.substr(slash == std::string::npos ? 0 : slash + 1) + ".new.";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (name.substr(0, prefix.size()) != prefix || !temp_suffix(name.substr(prefix.size()))) continue;
    const std::string file = (dir == "/" ? "" : dir) + "/" + std::string(name);
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st, again;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (std::time(nullptr) - st.st_ctime < kMinAgeSeconds) continue;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // an updater is still writing it
    // The name must still be the file checked, not something put there since.
    if (::lstat(file.c_str(), &again) != 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino) continue;
    if (::unlink(file.c_str()) == 0)
      log_line("KIV update: unfinished copy %s of an install cut short removed", file.c_str());
  }
  ::closedir(d);
}

}  // namespace

void RemoveStaleUpdateCopies(const std::string& program) {
  remove_in(program);
  // The updater writes beside the file a link at the program's path names.
  char resolved[PATH_MAX];
  if (::realpath(program.c_str(), resolved) && program != resolved) remove_in(resolved);
}

}  // namespace kivd
