#include "day_run.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stop_token>

#include "core/charging_mode.hpp"
#include "core/daemon_state.hpp"
#include "core/keba_codes.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "ideal_controller.hpp"
#include "virtual_clock.hpp"
#include "wallbox/charging_control.hpp"

namespace kivd::bench {

namespace {

constexpr double kWsPerKWh = 3.6e6;

// The receipt time of the meter values, as the meter modes stamp it.
void stamp_meter_receipt(LiveValues& v) { v.em_received_ms = steady_ms(); }

// What the meter service stores for one datagram.
void publish_meter(const std::array<double, 3>& grid_mA) {
  LiveValues& v = live();
  std::array<int, 3> w{};
  for (std::size_t p = 0; p < 3; ++p) w[p] = static_cast<int>(std::lround(grid_mA[p] * kVolt / 1000));
  v.em_i1 = static_cast<int>(std::lround(std::abs(grid_mA[0])));  // the meter gives magnitudes
  v.em_i2 = static_cast<int>(std::lround(std::abs(grid_mA[1])));
  v.em_i3 = static_cast<int>(std::lround(std::abs(grid_mA[2])));
  v.em_pow_1 = w[0];
  v.em_pow_2 = w[1];
  v.em_pow_3 = w[2];
  v.em_u1 = v.em_u2 = v.em_u3 = kVolt;
  v.intpow = w[0] + w[1] + w[2];
  stamp_meter_receipt(v);
}

void set_mode(ChargingMode m) {
  live().web_charge_mode = choice_of_mode(m);
  live().ChargingMode = static_cast<int>(m);
}

// The values a process has after its start, for a day of its own.
void start_values(const CarLimits& car) {
  LiveValues& v = live();
  v.wb_enable_sys = 0;
  v.wb_X2_out = 0;
  v.wb_failsafe = 0;
  v.wb_tmo_failsafe = 0;
  v.wb_i1 = v.wb_i2 = v.wb_i3 = 0;
  v.wb_pow = 0;
  v.wb_state = -1;
  v.wb_plug = -1;
  v.points = 5;
  v.WallboxActivation = -1380;
  v.CarMaxPhases = car.phases;
  v.CarMinCharge = 6000;
  v.safety_curr = 0;
  v.intStorageControl = 0;
  v.isWallboxRestarted = 0;
  v.ss_ac_power = 0;
  v.ss_received_ms = 0;
  set_mode(ChargingMode::Surplus);
  daemon_state().intRestart = 0;
}

void configure(const Fuses& fuses, const CarLimits& car, const std::string& log_file, bool battery) {
  Settings s;
  s.LOG_FILE = log_file;
  s.LOG_DIR = log_file.substr(0, log_file.rfind('/'));
  s.debug = 0;
  s.WallboxUsing = true;
  s.WallboxType = kKebaType;
  s.WallboxServer = "10.0.0.2";
  s.InfrastructureCurrent = fuses.rated_mA;
  s.InfrastructureDistance = fuses.distance_mA;
  s.CarMaxPhases = car.phases;
  s.CarMinCharge = 6000;
  s.FixTeslaBug = 0;
  s.SSUsing = battery;
  s.SSEVRatio = 100;
  s.KivUsing = true;
  replace_settings(s);
}

class Day {
 public:
  Day(const DayProfile& p, const Faults& f, const CarLimits& car, const Fuses& fuses, unsigned seed)
      : house_(p, seed),
        battery_(p.battery),
        seed_(seed),
        faults_(f),
        fuses_(fuses),
        box_(car, f.on ? f.loss : 0, 1601 + seed),
        ideal_(car, fuses.rated_mA - fuses.distance_mA),
        clock_(kDayStart),
        control_(box_) {}

  DayFigures run() {
    ScopedClock installed(clock_);
    clock_.on_second = [this](long long s) { second(static_cast<int>(s)); };
    box_.on_refresh = [this] { decided_ = house_mA(clock_.second()); };
    for (int pass = 0; pass < 4 && clock_.second() < kDayEnd; ++pass) {
      std::stop_source stop;
      pass_stop_ = &stop;
      control_.run(3, stop.get_token());
      pass_stop_ = nullptr;
      if (!restarting_) break;
      // Threads joined; the next pass starts after ten seconds.
      restarting_ = false;
      clock_.sleep_for(std::chrono::seconds(10), {});
      fig_.after_restart_enabled = box_.enabled();
      fig_.after_restart_output = box_.output();
      daemon_state().intRestart = 0;
    }
    clock_.on_second = nullptr;
    fig_.phase_switches = box_.phase_switches();
    fig_.failsafe_trips = box_.failsafe_trips();
    fig_.lost = box_.lost();
    fig_.ideal_switches = ideal_.switches();
    fig_.ideal_phase_switches = ideal_.phase_switches();
    return fig_;
  }

 private:
  // The house without the car on each phase (mA, + drawn).
  std::array<double, 3> house_mA(int t) const {
    std::array<double, 3> h{};
    for (std::size_t p = 0; p < 3; ++p) h[p] = (house_.load_W(t)[p] - house_.pv_W(t) / 3) * 1000 / kVolt;
    return h;
  }

  void second(int t) {
    if (t > kDayEnd) return;
    box_.tick();
    const std::array<int, 3> car = box_.draw_mA();
    const std::array<double, 3> house = house_mA(t);
    std::array<double, 3> grid{};
    for (std::size_t p = 0; p < 3; ++p) grid[p] = house[p] + car[p];
    if (battery_) run_battery(t, grid);
    const bool outage = outage_ = faults_.on && t >= faults_.outage_from && t < faults_.outage_to;
    account(t, car, house, grid);
    if (!outage) publish_meter(grid);
    const ChargingMode wanted = house_.quick(t) ? ChargingMode::Quick : ChargingMode::Surplus;
    if (live().web_charge_mode != choice_of_mode(wanted)) set_mode(wanted);
    if (faults_.on && t == faults_.restart_at) restart();
    if (t == kDayEnd && pass_stop_) pass_stop_->request_stop();
  }

  void account(int t, const std::array<int, 3>& car, const std::array<double, 3>& house,
               const std::array<double, 3>& grid) {
    const double car_W = static_cast<double>(car[0] + car[1] + car[2]) * kVolt / 1000;
    const double avail = std::max(0.0, house_.surplus_W(t));
    fig_.surplus_kWh += avail / kWsPerKWh;
    fig_.car_surplus_kWh += std::min(car_W, avail) / kWsPerKWh;
    fig_.car_grid_kWh += (car_W - std::min(car_W, avail)) / kWsPerKWh;
    const double ideal_W = ideal_.step(house_, t);
    fig_.ideal_surplus_kWh += std::min(ideal_W, avail) / kWsPerKWh;
    fig_.ideal_grid_kWh += (ideal_W - std::min(ideal_W, avail)) / kWsPerKWh;
    const bool drawing = car_W > 0;
    if (drawing != drawing_) ++fig_.switches;
    drawing_ = drawing;
    bool over = false, over_any = false;
    for (std::size_t p = 0; p < 3; ++p) {
      if (car[p] == 0) continue;
      const double a = std::abs(grid[p]);
      fig_.peak_any_mA = std::max(fig_.peak_any_mA, a);
      if (a > fuses_.rated_mA) {
        over_any = true;
        log_line("Bench: L%zu at %.0f mA, above the rating (meter %s)", p + 1, a, outage_ ? "silent" : "read");
      }
      if (house[p] > decided_[p] + fuses_.distance_mA) continue;
      if (a > fig_.peak_mA) {
        fig_.peak_mA = a;
        fig_.peak_at = t;
      }
      over |= a > fuses_.rated_mA;
    }
    fig_.over_s += over;
    fig_.over_any_s += over_any;
  }

  // A 10 kWh battery on L1 whose own controller holds the grid at 0 within
  // a few seconds (4.6 kW at most, 10 % kept); its values are read every
  // 5 s, and now and then missing for minutes.
  void run_battery(int t, std::array<double, 3>& grid_mA) {
    const double before_W = (grid_mA[0] + grid_mA[1] + grid_mA[2]) * kVolt / 1000;
    double target = std::clamp(before_W, -4600.0, 4600.0);  // + discharging
    if ((target > 0 && soc_kWh_ <= 1.0) || (target < 0 && soc_kWh_ >= 10.0)) target = 0;
    bat_W_ += (target - bat_W_) * 0.5;
    soc_kWh_ -= bat_W_ / kWsPerKWh;
    grid_mA[0] -= bat_W_ * 1000 / kVolt;
    const unsigned spell = static_cast<unsigned>(t / 180) * 2654435761u + seed_ * 40503u;
    if (t % 5 == 0 && (spell >> 16) % 8 != 0) {
      live().ss_ac_power = static_cast<int>(std::lround(bat_W_));
      live().ss_received_ms = std::max(steady_ms(), 1LL);
    }
  }

  // As the main thread does it: the reset while the control may be in the
  // middle of a cycle, then the stop of the pass.
  void restart() {
    if (!pass_stop_) return;
    fig_.restart_done = restarting_ = true;
    daemon_state().intRestart = 1;
    log_line("Reset wallbox...");
    if (control_.SwitchEnable(0) && control_.SwitchRelais(0)) control_.SetCurrent(cfg().CarMinCharge);
    pass_stop_->request_stop();
  }

  HouseModel house_;
  bool battery_;
  unsigned seed_;
  double bat_W_ = 0, soc_kWh_ = 5;
  Faults faults_;
  Fuses fuses_;
  SimBox box_;
  IdealController ideal_;
  VirtualClock clock_;
  ChargingControl control_;
  std::stop_source* pass_stop_ = nullptr;
  std::array<double, 3> decided_{};
  bool restarting_ = false, drawing_ = false, outage_ = false;
  DayFigures fig_;
};

}  // namespace

DayFigures run_day(const DayProfile& day, const Faults& faults, const CarLimits& car, const Fuses& fuses,
                   const std::string& log_file, unsigned seed) {
  configure(fuses, car, log_file, day.battery);
  start_values(car);
  return std::make_unique<Day>(day, faults, car, fuses, seed)->run();
}

}  // namespace kivd::bench
