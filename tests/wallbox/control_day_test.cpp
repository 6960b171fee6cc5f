// The control loop through a whole day of a simulated house, in every mode
// and for one- and three-phase cars: on every phase, what the car draws plus
// what the rest of the house draws stays within the fuses' rating minus the
// distance. The meter sees the car's draw as it is at that moment (it reads
// once a second), the wallbox reports what it drew when last asked.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <sstream>

#include "core/live_values.hpp"
#include "fake_wallbox.hpp"
#include "wallbox/charging_control.hpp"
#include "wallbox_fixture.hpp"

namespace kivd::test {
namespace {

using namespace std::chrono_literals;
constexpr int kRated = 35000, kDistance = 2000, kLimit = kRated - kDistance;
constexpr int kVolt = 230;

// Appliances, each on its own phase (3 = all three), switching at random.
struct Appliance {
  int phase;
  int mA;
  double on_chance;   // per cycle while off
  double off_chance;  // per cycle while on
  bool on = false;
};

class House {
 public:
  House(int car_phases, unsigned seed) : car_phases_(car_phases), rng_(seed) {}

  // Sun, appliances and battery for a time of day (s after midnight).
  void step(int t) {
    const double x = (t - 6 * 3600) / (14.0 * 3600);
    const double sun = x > 0 && x < 1 ? std::sin(x * 3.14159265) : 0;
    const double cloud = std::uniform_real_distribution<double>(0.3, 1.0)(rng_);
    pv_mA_ = static_cast<int>(sun * cloud * 14000.0 * 1000 / (3 * kVolt));  // 14 kWp over three phases
    for (Appliance& a : appliances_)
      a.on = std::bernoulli_distribution(a.on ? 1 - a.off_chance : a.on_chance)(rng_);
    // The battery on L1 holds the grid near zero with what it saw last.
    const int grid_W = total_W();
    battery_mA_ = std::clamp(battery_mA_ + grid_W * 1000 / kVolt, -20000, 20000);
  }

  // The rest of the house per phase, + drawn (mA).
  std::array<int, 3> rest() const {
    std::array<int, 3> r{1500, 1200, 900};
    for (const Appliance& a : appliances_)
      for (int p = 0; p < 3; ++p)
        if (a.on && (a.phase == p || a.phase == 3)) r[p] += a.mA;
    for (int& v : r) v -= pv_mA_;
    r[0] -= battery_mA_;
    return r;
  }

  // What the car draws per phase from the box's state.
  std::array<int, 3> car(const FakeWallbox& box) const {
    std::array<int, 3> c{};
    if (box.enable != 1 || box.plug != 7) return c;
    const int mA = std::min(box.curr_usr, 32000);
    const int phases = box.output == 1 ? car_phases_ : 1;
    for (int p = 0; p < phases; ++p) c[p] = mA;
    return c;
  }

  int battery_W() const { return battery_mA_ * kVolt / 1000; }
  int total_W() const { return last_total_W_; }
  void set_total_W(int w) { last_total_W_ = w; }

 private:
  int car_phases_;
  std::mt19937 rng_;
  int pv_mA_ = 0, battery_mA_ = 0, last_total_W_ = 0;
  std::vector<Appliance> appliances_{
      {0, 9000, 0.05, 0.5},   // kettle
      {1, 16000, 0.08, 0.2},  // oven
      {2, 10000, 0.1, 0.15},  // washing machine
      {0, 9000, 0.08, 0.2},   // dishwasher
      {3, 8000, 0.15, 0.1},   // heat pump
      {3, 13000, 0.03, 0.3},  // sauna
  };
};

struct DayRun {
  int web_mode;  // 0 surplus, 1 quick, 2 manual, 3 off; -1 the user's day below
  int manual_mA;
  int car_phases;
};

// The user changes mode and phases during the day: every phase change then
// happens while the car is charging.
void users_day(int cycle, int car_phases) {
  LiveValues& v = live();
  v.CarMaxPhases = car_phases;
  if (cycle < 50) v.web_charge_mode = 0;
  else if (cycle < 90) v.web_charge_mode = 1;
  else if (cycle < 130) {
    v.web_charge_mode = 2;
    v.ManualCurrent = 25020;
    v.CarMaxPhases = 1;
  } else v.web_charge_mode = 0;
}

std::string name(const DayRun& r) {
  static const char* modes[] = {"surplus", "quick", "manual", "off"};
  std::ostringstream s;
  s << (r.web_mode < 0 ? "changing modes" : modes[r.web_mode]);
  if (r.web_mode == 2) s << ' ' << r.manual_mA << " mA";
  s << ", " << r.car_phases << "-phase car";
  return s.str();
}

class ControlDay : public WallboxTest {
 protected:
  ControlDay() {
    settings([](Settings& s) {
      s.InfrastructureCurrent = kRated;
      s.InfrastructureDistance = kDistance;
      s.SSUsing = true;
      s.debug = 0;
    });
  }

  // The meter and the box's own meter as they are now; after a cycle, also
  // the check (between cycles the house may change under the car's current).
  void measure(bool check = false) {
    std::lock_guard lock(box_.m);
    const std::array<int, 3> rest = house_->rest(), car = house_->car(box_);
    int total_mA = 0, car_mA = 0;
    for (int p = 0; p < 3; ++p) {
      total_mA += rest[p] + car[p];
      car_mA += car[p];
      box_.i[p] = car[p];
      // Drawn beyond the limit while the house's part was as measured.
      if (check && car[p] > 0 && rest[p] + car[p] > kLimit && worst_.empty()) {
        std::ostringstream s;
        s << "phase L" << p + 1 << ": car " << car[p] << " mA + house " << rest[p] << " mA > " << kLimit
          << " mA at " << clock_.elapsed().count() / 1000 << " s, cycle " << cycle_;
        worst_ = s.str();
      }
    }
    live().em_i1 = std::abs(rest[0] + car[0]);  // the meter gives magnitudes
    live().em_i2 = std::abs(rest[1] + car[1]);
    live().em_i3 = std::abs(rest[2] + car[2]);
    live().intpow = total_mA * kVolt / 1000;
    live().ss_ac_power = house_->battery_W();
    live().em_received_ms = steady_ms();
    live().ss_received_ms = steady_ms();
    house_->set_total_W(total_mA * kVolt / 1000);
    box_.power_mW = car_mA * kVolt;
    if (check && car_mA > 0) ++charging_cycles_;
    box_.state = car_mA > 0 ? 3 : 2;
  }

  // 06:00 to 21:00, a control cycle every 5 minutes of house time.
  std::string day(const DayRun& r, unsigned seed) {
    House house(r.car_phases, seed);
    house_ = &house;
    worst_.clear();
    charging_cycles_ = 0;
    reset_wallbox_live();
    ChargingControl control(box_.udp());
    {
      std::lock_guard lock(box_.m);
      box_.enable = 0;
      box_.output = 0;
      box_.curr_usr = 6000;
    }
    live().CarMaxPhases = r.car_phases;
    live().ManualCurrent = r.manual_mA;
    live().web_charge_mode = r.web_mode;
    clock_.on_sleep = [this](FakeClock&) { measure(); };
    for (cycle_ = 0; cycle_ < 180; ++cycle_) {
      house.step(6 * 3600 + cycle_ * 300);
      if (r.web_mode < 0) users_day(cycle_, r.car_phases);
      clock_.advance(56s);  // a raise waits for a reading taken after the last one
      measure();
      control.ControlCycle();
      measure(true);
    }
    clock_.on_sleep = nullptr;
    house_ = nullptr;
    return worst_;
  }

  FakeWallbox box_;
  House* house_ = nullptr;
  std::string worst_;
  int cycle_ = 0;
  int charging_cycles_ = 0;
};

TEST_F(ControlDay, FusesHoldThroughTheDayInEveryMode) {
  std::vector<DayRun> runs;
  for (int phases : {1, 3}) {
    runs.push_back({0, 0, phases});
    runs.push_back({1, 0, phases});
    for (int manual : {6000, 16020, 25020, 32040}) runs.push_back({2, manual, phases});
    runs.push_back({3, 0, phases});
    runs.push_back({-1, 0, phases});
  }
  for (const DayRun& r : runs)
    for (unsigned seed : {1u, 2u}) {
      EXPECT_EQ(day(r, seed), "") << name(r) << ", seed " << seed;
      // Off never charges; every other mode must have put the car to work.
      if (r.web_mode == 3) EXPECT_EQ(charging_cycles_, 0) << name(r);
      else EXPECT_GT(charging_cycles_, 10) << name(r) << ", seed " << seed;
    }
}

// A phase change stops the car and waits 15 s: by then the meter no longer
// sees its draw, so the box's currents from before must not be added back.
TEST_F(ControlDay, PhaseChangeDoesNotCountTheStoppedCarTwice) {
  live().CarMaxPhases = 3;
  live().web_charge_mode = 1;  // quick: relay on, highest current
  // Charging on one phase at 16 A, the house draws 20 A on L1.
  std::array<int, 3> rest{20000, 2000, 2000};
  {
    std::lock_guard lock(box_.m);
    box_.enable = 1;
    box_.curr_usr = 16000;
    box_.i[0] = 16000;
  }
  live().wb_enable_sys = 1;
  live().em_i1 = rest[0] + 16000;
  live().em_i2 = rest[1];
  live().em_i3 = rest[2];
  clock_.on_sleep = [&](FakeClock&) {
    std::lock_guard lock(box_.m);
    live().em_received_ms = steady_ms();
    const int c = box_.enable == 1 ? box_.curr_usr : 0;
    live().em_i1 = rest[0] + c;
    live().em_i2 = rest[1] + (box_.output == 1 ? c : 0);
    live().em_i3 = rest[2] + (box_.output == 1 ? c : 0);
  };
  ChargingControl(box_.udp()).ControlCycle();
  clock_.on_sleep = nullptr;
  EXPECT_EQ(box_.output, 1);
  EXPECT_EQ(box_.enable, 1);
  EXPECT_LE(box_.curr_usr + rest[0], kLimit);
  EXPECT_EQ(box_.curr_usr, 12960);
}

}  // namespace
}  // namespace kivd::test
