// The arithmetic of the charging control: pure functions of their inputs, so
// that every limit can be checked with tables.
#pragma once

#include <array>

namespace kivd {

inline constexpr int kMinChargeCurrent = 6000;   // mA: below this no car charges
inline constexpr int kMaxWallboxCurrent = 63000; // mA: highest "curr" the wallbox takes
inline constexpr int kCurrentStep = 60;          // mA
inline constexpr int kTeslaThreshold = 200;      // mA (intTeslaThreshold)

// Phases as the arithmetic uses them: a value outside 1..3 (a bad setting
// or hand-over) is taken as the nearest valid count, never divided by.
int valid_phases(int phases);

// The box's hardware limit ("Curr HW") as a cap: 0 when unknown or below
// what any car charges with (then it caps nothing).
int hardware_cap(int curr_hw_mA);

// Power of three phases at 230 V and the minimum current, plus 11 % (W); with
// a hardware limit no higher than what one phase carries at that limit, so
// that a box limited to 16 A moves to three phases once one cannot take the
// surplus.
int switch_point(int car_min_charge_mA, int curr_hw_mA = 0);

// Current for a power at 230 V per phase, a multiple of 60 mA (truncating
// toward zero; a negative power gives a negative current).
int duty_current(long long watts, int phases);
// The same in whole-ampere steps plus 200 mA, for cars that overshoot.
int duty_current_tesla(long long watts, int phases, int threshold_mA = kTeslaThreshold);

struct SafetyInput {
  int infrastructure_mA;  // rated current of the main fuses
  int distance_mA;        // kept below the rating
  std::array<int, 3> meter_mA;    // per phase, the wallbox included
  std::array<int, 3> wallbox_mA;  // the wallbox's own share
};
struct SafetyResult {
  std::array<long long, 3> free_mA;  // room per phase
  int current_mA;                    // 0, or 6000..63000
};
// Highest current that every phase can still carry.
SafetyResult safety_current(const SafetyInput& in);

// The per-phase readings the fuse check counts: a meter that gives only a
// total (one_phase_mA >= 0, the house without the wallbox) may have all of
// it on any one phase, on top of the wallbox's own share there.
std::array<int, 3> fuse_meter_mA(const std::array<int, 3>& per_phase_mA, int one_phase_mA,
                                 const std::array<int, 3>& wallbox_mA);

// The fuse limit while the meter values are stale: the car's minimum when
// the last check of fresh values allowed it, else 0. Never more.
int stale_meter_limit(int last_fresh_mA, int car_min_charge_mA);

// The current actually sent for a request: at least the car's minimum, at
// most the safety current and the box's hardware limit (0 when the house has
// no room: then nothing may be sent, the box is disabled instead).
int limited_current(int requested_mA, int car_min_charge_mA, int safety_mA, int curr_hw_mA = 0);

// The balance given to the car (W, + drawn): grid without the wallbox, the
// storage's discharge counted as drawn, the storage share applied, plus 50.
int new_power(int intpow_W, int wb_pow_mW, int ss_ac_power_W, bool ss_using, int ss_ev_ratio);

}  // namespace kivd
