// A large configuration file: reading it, showing the settings page and
// saving the settings form, each timed over a few repetitions.
//   ini_bench [KEYS] [REPEATS]     (default 100000 keys, 5 repetitions)
// Two layouts: the keys spread over sections of 100, and all in one section.
// Everything happens in a temporary KIVD_ROOT that is removed at the end.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/ini_writeback.hpp"
#include "core/local_time.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"
#include "web/http_io.hpp"
#include "web/http_request.hpp"
#include "web/page_common.hpp"
#include "web/pages.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Figure {
  std::vector<double> wall, cpu;
  void print(const char* what) {
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("  %-22s wall min %7.1f ms  median %7.1f ms   cpu min %7.1f ms  median %7.1f ms\n", what,
                wall.front() * 1e3, wall[wall.size() / 2] * 1e3, cpu.front() * 1e3, cpu[cpu.size() / 2] * 1e3);
  }
};

template <class F>
void timed(Figure& f, F&& job) {
  const auto w0 = Clock::now();
  const double c0 = cpu_seconds();
  job();
  f.cpu.push_back(cpu_seconds() - c0);
  f.wall.push_back(std::chrono::duration<double>(Clock::now() - w0).count());
}

std::string big_file(long keys, long per_section) {
  std::string text = kivd::DefaultIniText();
  for (long i = 0; i < keys; ++i) {
    if (i % per_section == 0) text += "\n[extra_" + std::to_string(i / per_section) + "]\n";
    text += "key_" + std::to_string(i) + " = value " + std::to_string(i) + "\n";
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kivd;
  const long keys = argc > 1 ? std::atol(argv[1]) : 100000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  char root[] = "/tmp/kiv-ini-bench.XXXXXX";
  if (!mkdtemp(root)) return 1;
  std::filesystem::create_directories(std::string(root) + "/etc");
  setenv("KIVD_ROOT", root, 1);
  Settings s;
  s.LOG_DIR = root;
  s.LOG_FILE = std::string(root) + "/kivd.log";
  s.PID_FILE = std::string(root) + "/kivd.pid";
  replace_settings(s);

  std::printf("load: %.2f; %ld keys, %d repetitions\n", [] {
    double l[1];
    return getloadavg(l, 1) == 1 ? l[0] : -1.0;
  }(), keys, repeats);
  for (const long per_section : {100L, keys}) {
    const std::string text = big_file(keys, per_section);
    std::printf("%ld sections of %ld keys, %zu bytes\n", (keys + per_section - 1) / per_section, per_section,
                text.size());
    Figure read, page, save;
    for (int r = 0; r < repeats; ++r) {
      std::ofstream(ini_path(), std::ios::binary | std::ios::trunc) << text;
      timed(read, [] {
        std::vector<std::string> notes;
        const Settings got = ReadAndHandleIniFile(ini_path(), &notes);
        if (notes.size() < 2) std::abort();  // the extra keys are noted as unknown
      });
      timed(page, [] {
        web::ReqInfo req;
        req.method = web::Method::GET;
        req.resource = "/settings";
        TimeSnapshot t;
        t.now = std::time(nullptr);
        t.local = t.utc = civil_time(t.now, 0);
        web::PageContext ctx{req, t, 0};
        web::StringSink out;
        web::page_settings(out, ctx);
        if (out.text.size() < 1000) std::abort();
      });
      timed(save, [] {
        if (WriteIniFile("SmartmeterPort=9522", kFormSettings) != 1) std::abort();
      });
    }
    read.print("read (start)");
    page.print("settings page");
    save.print("save settings form");
    const auto size = std::filesystem::file_size(ini_path());
    std::printf("  file after the saves: %ju bytes\n", static_cast<std::uintmax_t>(size));
  }
  std::filesystem::remove_all(root);
  return 0;
}
