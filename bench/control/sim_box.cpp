#include "sim_box.hpp"

#include <algorithm>

#include "core/charging_mode.hpp"
#include "core/live_values.hpp"
#include "wallbox/charging_math.hpp"
#include "wallbox/keba_exchange.hpp"

namespace kivd::bench {

SimBox::Fate SimBox::fate() {
  if (thread_stop().stop_requested()) return Fate::CommandLost;
  if (loss_ <= 0 || std::uniform_real_distribution<double>(0, 1)(rng_) >= loss_) return Fate::Delivered;
  ++lost_;
  return std::bernoulli_distribution(0.5)(rng_) ? Fate::CommandLost : Fate::AnswerLost;
}

int taper_limit_mA(const CarLimits& car, double kWh) {
  if (car.full_kWh <= 0) return car.car_max_mA;
  const double left = 1 - kWh / car.full_kWh;
  return left >= 0.2 ? car.car_max_mA : left <= 0 ? 0 : static_cast<int>(car.car_max_mA * left / 0.2);
}

int SimBox::offered_mA() const {
  if (!enable_) return 0;
  const int limit = tripped_ ? curr_fs_ : curr_mA_;
  const int mA = std::min({limit, car_.box_hw_mA, car_.car_max_mA, taper_limit_mA(car_, charged_kWh_)});
  return mA < 6000 ? 0 : mA;  // no car charges below 6 A
}

std::array<int, 3> SimBox::draw_mA() const {
  std::array<int, 3> d{};
  const int phases = output_ || !car_.x2_contactor ? car_.phases : 1;
  for (int p = 0; p < phases; ++p) d[static_cast<std::size_t>(p)] = drawn_mA_;
  return d;
}

void SimBox::tick() {
  // The car goes down at once and up over its ramp.
  const int target = offered_mA();
  if (car_.ramp_s <= 0 || target <= drawn_mA_) drawn_mA_ = target;
  else drawn_mA_ = std::min(target, drawn_mA_ + (target + car_.ramp_s - 1) / car_.ramp_s);
  const std::array<int, 3> d = draw_mA();
  charged_kWh_ += (d[0] + d[1] + d[2]) * 230.0 / 1000 / 3.6e6;
  if (tmo_fs_ <= 0 || tripped_) return;
  if (++quiet_s_ >= tmo_fs_) {
    tripped_ = true;
    failsafe_trips_ += enable_;  // only a trip that stops the car counts
  }
}

bool SimBox::refresh_reports() {
  if (on_refresh) on_refresh();
  LiveValues& v = live();
  if (fate() != Fate::Delivered) return false;  // report 2
  const std::array<int, 3> d = draw_mA();
  const bool drawing = d[0] > 0;
  v.wb_state = drawing ? 3 : 2;
  v.wb_plug = 7;
  v.wb_enable_sys = enable_ ? 1 : 0;
  v.wb_curr_hw = car_.box_hw_mA;
  v.wb_curr_max = enable_ ? std::min(curr_mA_, car_.box_hw_mA) : 0;
  v.wb_curr_usr = curr_mA_;
  v.wb_X2_out = output_ ? 1 : 0;
  v.wb_X1_in = 0;
  v.wb_tmo_failsafe = tmo_fs_;
  v.wb_curr_failsafe = curr_fs_;
  v.ChargingMode = static_cast<int>(effective_mode(v.web_charge_mode, 0));
  if (fate() != Fate::Delivered) return false;  // report 3
  v.wb_i1 = d[0];
  v.wb_i2 = d[1];
  v.wb_i3 = d[2];
  v.wb_pow = (d[0] + d[1] + d[2]) * 230;
  // As the report parser stamps report 3.
  v.wb_phases = drawn_phases(d);
  v.wb_report3_ms = std::max(steady_ms(), 1LL);
  return true;
}

bool SimBox::enable(bool on) {
  const Fate f = fate();
  if (f == Fate::CommandLost) return false;
  enable_ = on;
  fed();
  return f == Fate::Delivered;
}

bool SimBox::set_current(int mA) {
  const Fate f = fate();
  if (f == Fate::CommandLost) return false;
  // The box refuses what its guides forbid, and answers TCH-ERR.
  if (mA < 6000 || mA > 63000) return false;
  curr_mA_ = mA;
  fed();
  return f == Fate::Delivered;
}

bool SimBox::set_phases(bool more) {
  const Fate f = fate();
  if (f == Fate::CommandLost) return false;
  if (output_ != more) ++phase_switches_;
  output_ = more;
  return f == Fate::Delivered;
}

bool SimBox::arm_failsafe(int timeout_s, int current_mA) {
  const Fate f = fate();
  if (f == Fate::CommandLost) return false;
  tmo_fs_ = timeout_s;
  curr_fs_ = current_mA;
  quiet_s_ = 0;
  return f == Fate::Delivered;
}

}  // namespace kivd::bench
