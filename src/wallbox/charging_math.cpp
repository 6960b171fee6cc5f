#include "wallbox/charging_math.hpp"

#include <algorithm>
#include <climits>

namespace kivd {

namespace {
int clamp_int(long long v) { return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX)); }
}  // namespace

int valid_phases(int phases) { return std::clamp(phases, 1, 3); }

int hardware_cap(int curr_hw_mA) {
  return curr_hw_mA >= kMinChargeCurrent && curr_hw_mA <= kMaxWallboxCurrent ? curr_hw_mA : 0;
}

int switch_point(int car_min_charge_mA, int curr_hw_mA) {
  const int three_at_min = clamp_int(static_cast<long long>(690.0 * car_min_charge_mA * 1.11 / 1000.0));
  const int cap = hardware_cap(curr_hw_mA);
  if (cap == 0) return three_at_min;
  return std::min(three_at_min, clamp_int(230LL * cap / 1000));
}

int duty_current(long long watts, int phases) {
  const long long i = 1000 * watts / (230LL * valid_phases(phases));
  return clamp_int(i / kCurrentStep * kCurrentStep);
}

int duty_current_tesla(long long watts, int phases, int threshold_mA) {
  const long long i = 1000 * watts / (230LL * valid_phases(phases));
  const long long k = i / 1000;
  const long long r = i - 1000 * k;
  const long long target = r < threshold_mA ? 1000 * (k - 1) + 200 : 1000 * k + 200;
  return clamp_int(target / kCurrentStep * kCurrentStep);
}

SafetyResult safety_current(const SafetyInput& in) {
  SafetyResult out{};
  const long long a = static_cast<long long>(in.infrastructure_mA) - in.distance_mA;
  for (int p = 0; p < 3; ++p) out.free_mA[p] = a - in.meter_mA[p] + in.wallbox_mA[p];
  const long long lowest = std::min({out.free_mA[0], out.free_mA[1], out.free_mA[2]});
  long long c = lowest / kCurrentStep * kCurrentStep;
  c = c <= 5999 ? 0 : std::min<long long>(c, kMaxWallboxCurrent);
  long long result = std::min(a, c);
  // Fuses rated (minus the distance) below the car's least current leave no
  // room either: never send a current between 0 and 6000 mA or below 0.
  if (result < kMinChargeCurrent) result = 0;
  out.current_mA = static_cast<int>(result);
  return out;
}

std::array<int, 3> fuse_meter_mA(const std::array<int, 3>& per_phase_mA, int one_phase_mA,
                                 const std::array<int, 3>& wallbox_mA) {
  if (one_phase_mA < 0) return per_phase_mA;
  std::array<int, 3> out{};
  for (int p = 0; p < 3; ++p) out[p] = clamp_int(static_cast<long long>(one_phase_mA) + wallbox_mA[p]);
  return out;
}

int stale_meter_limit(int last_fresh_mA, int car_min_charge_mA) {
  return last_fresh_mA >= car_min_charge_mA && car_min_charge_mA > 0 ? car_min_charge_mA : 0;
}

int limited_current(int requested_mA, int car_min_charge_mA, int safety_mA, int curr_hw_mA) {
  // A car minimum below what the box takes (a bad hand-over) never lets a
  // current under 6000 mA through.
  int x = std::min(std::max({requested_mA, car_min_charge_mA, kMinChargeCurrent}), safety_mA);
  if (const int cap = hardware_cap(curr_hw_mA)) x = std::min(x, cap);
  return x;
}

int new_power(int intpow_W, int wb_pow_mW, int ss_ac_power_W, bool ss_using, int ss_ev_ratio) {
  long long b = static_cast<long long>(intpow_W) - wb_pow_mW / 1000 + ss_ac_power_W;
  if (ss_using) b = ss_ev_ratio * b / 100;
  return clamp_int(b + 50);
}

int drawn_phases(const std::array<int, 3>& wallbox_mA) {
  return static_cast<int>(std::count_if(wallbox_mA.begin(), wallbox_mA.end(), [](int i) { return i >= kPhaseDrawn_mA; }));
}

int car_phases(int relay_phases, int seen_phases) { return std::max(valid_phases(relay_phases), std::min(seen_phases, 3)); }

bool implausible_phase(int meter_mA, int meter_W, int wallbox_mA) {
  return wallbox_mA >= 2 * kPhaseDrawn_mA && meter_mA <= 100 && meter_W == 0;
}

int fuse_watch_current(const std::array<int, 3>& meter_mA, const std::array<int, 3>& wallbox_mA, int rating_mA,
                       int distance_mA, int current_mA, int min_mA) {
  const bool known = drawn_phases(wallbox_mA) > 0;
  const long long limit = static_cast<long long>(rating_mA) - distance_mA;
  long long over = 0;
  long long base = current_mA;
  // Every phase counts: the box's phases need not be the grid's of the same
  // name (a rotated installation), and lowering is always the safe side.
  for (int p = 0; p < 3; ++p) {
    over = std::max(over, meter_mA[p] - limit);
    if (known && wallbox_mA[p] >= kPhaseDrawn_mA) base = std::min<long long>(base, wallbox_mA[p]);
  }
  if (over <= 0) return -1;
  const long long c = (base - over) / kCurrentStep * kCurrentStep;
  return c < std::max(min_mA, kMinChargeCurrent) ? 0 : clamp_int(std::min<long long>(c, current_mA));
}

int cloud_current(int import_W, int current_mA, int phases, int min_mA) {
  const long long drop = (1000LL * std::max(import_W, 0) + 230LL * valid_phases(phases) - 1) / (230LL * valid_phases(phases));
  if (drop == 0) return current_mA;
  long long c = (current_mA - drop) / kCurrentStep * kCurrentStep;
  c = std::max<long long>(c, std::max(min_mA, kMinChargeCurrent));
  return clamp_int(std::min<long long>(c, current_mA));
}

}  // namespace kivd
