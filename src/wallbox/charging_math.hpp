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

// A phase counts as drawn on from this current in report 3 on.
inline constexpr int kPhaseDrawn_mA = 1000;
// Phases on which the box reports the car drawing (0..3).
int drawn_phases(const std::array<int, 3>& wallbox_mA);
// Phases the power arithmetic uses: those output X2 gives, or more when the
// car was last seen drawing on more (a box without an X2 contactor, a car
// other than assumed). Never fewer than it really draws on.
int car_phases(int relay_phases, int seen_phases);

// A reading that physics rules out: a phase reading zero (no current, no
// power) while the box itself reports current on it.
bool implausible_phase(int meter_mA, int meter_W, int wallbox_mA);

// What the fuse watch does with one reading: nothing (-1), disable (0), or
// the lower current to send. Acts when any phase carries more than
// rating - distance (the box's phases may be wired rotated); lowers by the
// excess from the car's present current; 0 when that leaves less than
// min_mA. Never returns more than current_mA.
int fuse_watch_current(const std::array<int, 3>& meter_mA, const std::array<int, 3>& wallbox_mA,
                       int rating_mA, int distance_mA, int current_mA, int min_mA);
// The current that takes a grid import (W) off a car drawing on phases;
// never below min_mA nor above current_mA.
int cloud_current(int import_W, int current_mA, int phases, int min_mA);

}  // namespace kivd
