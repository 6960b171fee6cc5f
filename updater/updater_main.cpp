// kiv_updater: installs a downloaded kivd and starts it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

void log_message(const char* file, const char* text) {
  const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return;
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  asctime_r(&tm, stamp);
  stamp[std::strcspn(stamp, "\n")] = '\0';
  char line[600];
  const int n = std::snprintf(line, sizeof line, "%s %s\n", stamp, text);
  if (n > 0) [[maybe_unused]] ssize_t w = ::write(fd, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) {
    log_message(argc > 1 ? argv[1] : "/tmp/kivd.log", "KIV updater: no parameters found!");
    return 1;
  }
  return 0;
}
