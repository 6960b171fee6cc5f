// Control quality over whole days in virtual time: the real ChargingControl
// against a simulated house, wallbox and car, each day over eight seeds
// (clouds, appliance times, the car's ramp, lost exchanges), once clean and
// once with a 20-minute meter outage, lost exchanges and a restart; median
// and worst beside those of an ideal controller that knows the surplus
// every second.
//   control_quality [LOG_DIR]   (default: a new folder under $TMPDIR or /tmp)
// Exit status 1 when the control held a phase above the fuse rating.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
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
    {"cloudy, battery", Weather::Cloudy, 9000, false, 0, 0, true},
};
constexpr unsigned kSeeds = 8;

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


struct Row {
  std::vector<DayFigures> f;
  // Median and worst of one figure over the seeds (worst = highest, or
  // lowest when low is bad).
  template <class F>
  std::pair<double, double> stat(F get, bool low_is_bad = false) const {
    std::vector<double> x;
    for (const DayFigures& d : f) x.push_back(get(d));
    std::sort(x.begin(), x.end());
    const std::size_t n = x.size();
    const double median = n % 2 ? x[n / 2] : (x[n / 2 - 1] + x[n / 2]) / 2;
    return {median, low_is_bad ? x.front() : x.back()};
  }
};

double share(double part, double whole) { return whole > 0 ? 100 * part / whole : 100; }

}  // namespace

int main(int argc, char** argv) {
  const std::string logs = log_folder(argc, argv);
  const CarLimits car;
  const Fuses fuses;
  const auto started = std::chrono::steady_clock::now();
  bool over = false;
  std::printf("car: %d phases behind X2, box Curr HW %d A, ramping over 10-30 s, the sunny day's car full at 45 kWh; "
              "fuses %d A rated, control limit %d A; %u seeds a row\n",
              car.phases, car.box_hw_mA / 1000, fuses.rated_mA / 1000, (fuses.rated_mA - fuses.distance_mA) / 1000,
              kSeeds);
  std::printf("faulty runs: meter silent %s-%s, %.0f %% of exchanges lost, restart at %s\n\n",
              clock_text(kFaulty.outage_from).c_str(), clock_text(kFaulty.outage_to).c_str(), kFaulty.loss * 100,
              clock_text(kFaulty.restart_at).c_str());
  std::printf("| day | run | peak phase A (with house steps) | s over %d A | every s over | surplus into car %% of ideal | "
              "car from grid %% of its charge (ideal) | car on/off switches (ideal) | phase switches | fail-safe trips | "
              "box after restart |\n",
              fuses.rated_mA / 1000);
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
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
  for (const DayProfile& day : kDays) {
    CarLimits c = car;
    if (day.weather == Weather::Sunny) c.full_kWh = 45;
    for (const Faults& faults : {Faults{}, kFaulty}) runs.push_back({day, faults, c, faults.on ? "faulty" : "clean"});
  }
  runs.push_back({kDays[1], Faults{}, no_x2, "no X2 contactor"});
  for (const Run& run : runs) {
    Row r;
    int restarted_enabled = 0, restarted_relay = 0;
    for (unsigned seed = 1; seed <= kSeeds; ++seed) {
      CarLimits c = run.car;
      c.ramp_s = 10 + static_cast<int>(seed * 7 % 21);
      const std::string file = logs + "/" + run.day.name + "-" + run.name + "-" + std::to_string(seed) + ".log";
      std::error_code gone;
      std::filesystem::remove(file, gone);  // a day's log holds that day only
      r.f.push_back(run_day(run.day, run.faults, c, fuses, file, seed));
      restarted_enabled += r.f.back().after_restart_enabled;
      restarted_relay += r.f.back().after_restart_output;
    }
    const auto peak = r.stat([](const DayFigures& d) { return d.peak_mA / 1000; });
    const auto peak_any = r.stat([](const DayFigures& d) { return d.peak_any_mA / 1000; });
    const auto over_s = r.stat([](const DayFigures& d) { return d.over_s; });
    const auto over_any = r.stat([](const DayFigures& d) { return d.over_any_s; });
    const auto into = r.stat([](const DayFigures& d) { return share(d.car_surplus_kWh, d.ideal_surplus_kWh); }, true);
    const auto grid = r.stat([](const DayFigures& d) { return share(d.car_grid_kWh, d.car_grid_kWh + d.car_surplus_kWh); });
    const auto ideal_grid =
        r.stat([](const DayFigures& d) { return share(d.ideal_grid_kWh, d.ideal_grid_kWh + d.ideal_surplus_kWh); });
    const auto sw = r.stat([](const DayFigures& d) { return d.switches; });
    const auto ideal_sw = r.stat([](const DayFigures& d) { return d.ideal_switches; });
    const auto ph = r.stat([](const DayFigures& d) { return d.phase_switches; });
    const auto trips = r.stat([](const DayFigures& d) { return d.failsafe_trips; });
    const bool bad = over_s.second > 0;
    over |= bad;
    std::printf("| %s | %s | %.1f / %.1f (%.1f / %.1f)%s | %.0f / %.0f | %.0f / %.0f | %.1f / %.1f | %.1f / %.1f (%.1f) | "
                "%.0f / %.0f (%.0f) | %.0f / %.0f | %.0f / %.0f | %s |\n",
                run.day.name, run.name, peak.first, peak.second, peak_any.first, peak_any.second, bad ? " **OVER**" : "",
                over_s.first, over_s.second, over_any.first, over_any.second, into.first, into.second, grid.first,
                grid.second, ideal_grid.first, sw.first, sw.second, ideal_sw.first, ph.first, ph.second, trips.first,
                trips.second,
                !run.faults.on             ? "-"
                : restarted_enabled > 0    ? "ENABLED"
                : restarted_relay > 0      ? "disabled, relay ON"
                                           : "disabled, relay off");
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("\nmedian / worst over %u seeds; %.1f s for %zu days; logs in %s\n", kSeeds, secs, runs.size() * kSeeds,
              logs.c_str());
  if (over) std::printf("FUSE LIMIT EXCEEDED by the control: see the rows marked OVER\n");
  return over ? 1 : 0;
}
