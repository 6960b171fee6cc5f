// Control quality over whole days in virtual time: the real ChargingControl
// against a simulated house, wallbox and car, each day once clean and once
// with a 20-minute meter outage, lost exchanges and a restart; the figures
// beside those of an ideal controller that knows the surplus every second.
//   control_quality [LOG_DIR]   (default: a new folder under $TMPDIR or /tmp)
// Exit status 1 when the control held a phase above the fuse rating.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "day_run.hpp"

namespace {

using namespace kivd::bench;

constexpr int hm(int h, int m) { return h * 3600 + m * 60; }

const DayProfile kDays[] = {
    {"sunny", Weather::Sunny, 9000, false},
    {"cloudy", Weather::Cloudy, 9000, false},
    // The owner wants the car full by the afternoon and presses quick
    // during the meter outage of the faulty run.
    {"loaded house", Weather::Overcast, 5000, true, hm(12, 5), hm(13, 30)},
};

const Faults kFaulty{true, hm(12, 0), hm(12, 20), hm(13, 0), 0.05};

std::string log_folder(int argc, char** argv) {
  if (argc > 1) {
    std::error_code e;
    std::filesystem::create_directories(argv[1], e);
    return argv[1];
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/kivd-control-quality.XXXXXX";
  if (!mkdtemp(t.data())) {
    std::perror("mkdtemp");
    std::exit(2);
  }
  return t;
}

std::string clock_text(int s) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d:%02d", s / 3600, s / 60 % 60);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string logs = log_folder(argc, argv);
  const CarLimits car;
  const Fuses fuses;
  const auto started = std::chrono::steady_clock::now();
  bool over = false;
  std::printf("car: %d phases behind X2, box Curr HW %d A; fuses %d A rated, control limit %d A\n", car.phases,
              car.box_hw_mA / 1000, fuses.rated_mA / 1000, (fuses.rated_mA - fuses.distance_mA) / 1000);
  std::printf("faulty runs: meter silent %s-%s, %.0f %% of exchanges lost, restart at %s\n\n",
              clock_text(kFaulty.outage_from).c_str(), clock_text(kFaulty.outage_to).c_str(), kFaulty.loss * 100,
              clock_text(kFaulty.restart_at).c_str());
  std::printf("| day | run | peak phase A (at) | with house steps | s over %d A | every s over | surplus into car kWh (ideal) / available | "
              "car from grid kWh (ideal) | car on/off switches (ideal) | phase switches (ideal) | "
              "fail-safe trips | lost | box after restart |\n",
              fuses.rated_mA / 1000);
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  // The last run: a box without X2 contactor behind the three-phase car.
  CarLimits no_x2 = car;
  no_x2.x2_contactor = false;
  struct Run {
    const DayProfile& day;
    Faults faults;
    CarLimits car;
    const char* name;
  };
  std::vector<Run> runs;
  for (const DayProfile& day : kDays)
    for (const Faults& faults : {Faults{}, kFaulty}) runs.push_back({day, faults, car, faults.on ? "faulty" : "clean"});
  runs.push_back({kDays[1], Faults{}, no_x2, "no X2 contactor"});
  for (const Run& run : runs) {
    {
      const DayProfile& day = run.day;
      const Faults& faults = run.faults;
      const std::string file = logs + "/" + day.name + "-" + run.name + ".log";
      std::error_code gone;
      std::filesystem::remove(file, gone);  // a day's log holds that day only
      const DayFigures f = run_day(day, faults, run.car, fuses, file);
      const bool bad = f.over_s > 0;
      over |= bad;
      std::printf("| %s | %s | %.1f (%s)%s | %.1f | %d | %d | %.1f (%.1f) / %.1f | %.2f (%.2f) | %d (%d) | %d (%d) | %d | %d | %s |\n",
                  day.name, run.name, f.peak_mA / 1000, clock_text(f.peak_at).c_str(),
                  bad ? " **OVER**" : "", f.peak_any_mA / 1000, f.over_s, f.over_any_s, f.car_surplus_kWh, f.ideal_surplus_kWh, f.surplus_kWh,
                  f.car_grid_kWh, f.ideal_grid_kWh, f.switches, f.ideal_switches, f.phase_switches,
                  f.ideal_phase_switches, f.failsafe_trips, f.lost,
                  !f.restart_done ? "-"
                  : f.after_restart_enabled ? "ENABLED"
                  : f.after_restart_output  ? "disabled, relay ON"
                                            : "disabled, relay off");
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("\n%.1f s for seven days; logs in %s\n", secs, logs.c_str());
  if (over) std::printf("FUSE LIMIT EXCEEDED by the control: see the rows marked OVER\n");
  return over ? 1 : 0;
}
