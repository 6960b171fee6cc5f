// Stands in for a daemon program in the updater tests: records the process
// id it runs under, its arguments and the marker appended to its own file,
// so a test sees which program the updater started and in which process.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* out = std::getenv("FAKE_DAEMON_OUT");
  if (!out) return 2;
  std::ifstream self("/proc/self/exe", std::ios::binary);
  std::ostringstream bytes;
  bytes << self.rdbuf();
  const std::string text = bytes.str();
  const auto mark = text.rfind("MARK:");
  const std::string marker = mark == std::string::npos ? "none" : text.substr(mark + 5);
  std::FILE* f = std::fopen(out, "a");
  if (!f) return 3;
  std::fprintf(f, "pid=%d argc=%d argv0=[%s] marker=%s\n", static_cast<int>(getpid()), argc, argc > 0 ? argv[0] : "",
               marker.c_str());
  std::fclose(f);
  // As the real daemon does once its first pass is up.
  if (const char* running = std::getenv("FAKE_DAEMON_RUNNING")) {
    std::ofstream(running) << getpid() << "\n";
  }
  // Up for a while, or ended (a crash) at once.
  // FAKE_DAEMON_BEAT: its main loop turns (the marker touched each second);
  // without it, one that stays is hung.
  const char* running = std::getenv("FAKE_DAEMON_RUNNING");
  if (const char* stay = std::getenv("FAKE_DAEMON_STAY")) {
    for (int i = 0; i < std::atoi(stay); ++i) {
      ::sleep(1);
      if (running && std::getenv("FAKE_DAEMON_BEAT")) ::utimensat(AT_FDCWD, running, nullptr, 0);
    }
  }
  return 0;
}
