// The control arithmetic against the documented figures and its limits.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "wallbox/charging_math.hpp"

namespace kivd {
namespace {

TEST(SwitchPoint, PerMinimumCurrent) {
  EXPECT_EQ(switch_point(6000), 4595);
  EXPECT_EQ(switch_point(7020), 5376);
  EXPECT_EQ(switch_point(7980), 6111);
  EXPECT_EQ(switch_point(9000), 6893);
  EXPECT_EQ(switch_point(INT_MAX), 1644757725);  // a wild setting does not overflow
  EXPECT_LT(switch_point(INT_MIN), 0);
  // A box limited below the surplus moves to three phases once one phase
  // cannot carry it; an unknown or nonsense limit changes nothing.
  EXPECT_EQ(switch_point(6000, 16000), 3680);
  EXPECT_EQ(switch_point(9000, 25000), 5750);
  EXPECT_EQ(switch_point(6000, 32000), 4595);
  EXPECT_EQ(switch_point(6000, 0), 4595);
  EXPECT_EQ(switch_point(6000, 5000), 4595);
}

TEST(DutyCurrent, Examples) {
  EXPECT_EQ(duty_current(2000, 1), 8640);
  EXPECT_EQ(duty_current(5000, 3), 7200);
  EXPECT_EQ(duty_current(4596, 3), 6660);
  EXPECT_EQ(duty_current(4595, 3), 6600);
  EXPECT_EQ(duty_current(4595, 1), 19920);
  EXPECT_EQ(duty_current(0, 1), 0);
  EXPECT_EQ(duty_current(-1000, 1), -4320);  // truncated toward zero
  for (int w = -30000; w <= 30000; w += 7)
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(duty_current(w, n) % 60, 0);
}

TEST(DutyCurrent, TeslaExamples) {
  EXPECT_EQ(duty_current_tesla(2000, 1), 8160);
  EXPECT_EQ(duty_current_tesla(1500, 1), 6180);
  // Exactly on the threshold: 200 mA is not below 200.
  // 1000*W/230 = 7200 -> k 7, r 200 -> 7200 -> multiple of 60: 7200
  EXPECT_EQ(duty_current_tesla(1656, 1), 7200);
}

TEST(DutyCurrent, PhasesOutsideRangeNeverDivideByZero) {
  EXPECT_EQ(duty_current(2000, 0), duty_current(2000, 1));
  EXPECT_EQ(duty_current(2000, -5), duty_current(2000, 1));
  EXPECT_EQ(duty_current(5000, 7), duty_current(5000, 3));
  EXPECT_EQ(duty_current_tesla(2000, 0), duty_current_tesla(2000, 1));
  EXPECT_EQ(valid_phases(INT_MIN), 1);
  EXPECT_EQ(valid_phases(INT_MAX), 3);
}

TEST(DutyCurrent, HugePowersDoNotOverflow) {
  EXPECT_GT(duty_current(INT_MAX, 1), 0);
  EXPECT_LT(duty_current(INT_MIN, 1), 0);
  EXPECT_GT(duty_current_tesla(INT_MAX, 1), 0);
}

TEST(SafetyCurrent, DocumentedExample) {
  const SafetyResult r = safety_current({35000, 2000, {20000, 10000, 5000}, {16000, 0, 0}});
  EXPECT_EQ(r.free_mA[0], 29000);
  EXPECT_EQ(r.free_mA[1], 23000);
  EXPECT_EQ(r.free_mA[2], 28000);
  EXPECT_EQ(r.current_mA, 22980);
}

TEST(SafetyCurrent, Limits) {
  // Just enough room: 6000 exactly.
  EXPECT_EQ(safety_current({35000, 2000, {27000, 0, 0}, {0, 0, 0}}).current_mA, 6000);
  // 5999 mA free rounds to 5940: no room.
  EXPECT_EQ(safety_current({35000, 2000, {27001, 0, 0}, {0, 0, 0}}).current_mA, 0);
  // Overloaded phase: negative room.
  EXPECT_EQ(safety_current({35000, 2000, {50000, 0, 0}, {0, 0, 0}}).current_mA, 0);
  // Big fuses: never above 63000.
  EXPECT_EQ(safety_current({100000, 0, {0, 0, 0}, {0, 0, 0}}).current_mA, 63000);
  // The rated current itself limits when smaller than the rounded room.
  EXPECT_EQ(safety_current({16030, 0, {0, 0, 0}, {0, 0, 0}}).current_mA, 16020);  // C 16020 < A 16030
  EXPECT_EQ(safety_current({16010, 0, {-100, -100, -100}, {0, 0, 0}}).current_mA, 16010);  // A below C
  // Distance above the rating, or a rating below the car's least current.
  EXPECT_EQ(safety_current({2000, 3000, {0, 0, 0}, {0, 0, 0}}).current_mA, 0);
  EXPECT_EQ(safety_current({5000, 0, {-20000, -20000, -20000}, {0, 0, 0}}).current_mA, 0);
  // Extreme readings do not overflow.
  EXPECT_EQ(safety_current({INT_MAX, INT_MIN, {INT_MIN, INT_MIN, INT_MIN}, {INT_MAX, INT_MAX, INT_MAX}}).current_mA,
            63000);
  EXPECT_EQ(safety_current({35000, 2000, {INT_MAX, 0, 0}, {INT_MIN, 0, 0}}).current_mA, 0);
}

// For any readings and request, the current sent keeps every phase within
// the rating minus the distance, and is 0 or from 6000 to 63000 mA.
TEST(SafetyCurrent, NeverExceededOnAnyPhase) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> rated(0, 80000), dist(0, 5000), meter(-20000, 70000), wb(0, 40000),
      req(-70000, 100000), minc(0, 3);
  const int mins[] = {6000, 7020, 7980, 9000};
  for (int n = 0; n < 200000; ++n) {
    SafetyInput in{rated(rng), dist(rng), {meter(rng), meter(rng), meter(rng)}, {wb(rng), wb(rng), wb(rng)}};
    // the meter sees the wallbox's share
    for (int p = 0; p < 3; ++p) in.meter_mA[p] += in.wallbox_mA[p];
    const int safety = safety_current(in).current_mA;
    const int x = limited_current(req(rng), mins[minc(rng)], safety);
    ASSERT_TRUE(x == 0 || (x >= 6000 && x <= 63000)) << x;
    const long long a = static_cast<long long>(in.infrastructure_mA) - in.distance_mA;
    for (int p = 0; p < 3; ++p) {
      const long long others = static_cast<long long>(in.meter_mA[p]) - in.wallbox_mA[p];
      if (x > 0) {
        ASSERT_LE(others + x, a) << "phase " << p;
        ASSERT_LE(x, a);
      }
    }
  }
}

// A total-only meter: the house's whole current may be on any one phase.
TEST(SafetyCurrent, TotalOnlyMeterCountsTheHouseOnEveryPhase) {
  EXPECT_EQ(fuse_meter_mA({1000, 2000, 3000}, -1, {500, 0, 0}), (std::array<int, 3>{1000, 2000, 3000}));
  EXPECT_EQ(fuse_meter_mA({7000, 7000, 7000}, 20000, {6000, 0, 0}), (std::array<int, 3>{26000, 20000, 20000}));
  // 35 A fuses, 2 A distance, 20 A of house: 13 A left, whatever the split.
  EXPECT_EQ(safety_current({35000, 2000, fuse_meter_mA({6667, 6667, 6667}, 20000, {0, 0, 0}), {0, 0, 0}}).current_mA,
            12960);
}

TEST(StaleMeterLimit, MinimumOnlyWhenTheLastFreshRoomAllowedIt) {
  struct Case { int last_fresh, min, want; };
  for (const Case& c : {Case{0, 6000, 0}, Case{5940, 6000, 0}, Case{6000, 6000, 6000}, Case{22980, 6000, 6000},
                        Case{7000, 7020, 0}, Case{63000, 9000, 9000}, Case{63000, 0, 0}})
    EXPECT_EQ(stale_meter_limit(c.last_fresh, c.min), c.want) << c.last_fresh << " " << c.min;
}

TEST(LimitedCurrent, MinimumAndSafety) {
  EXPECT_EQ(limited_current(100, 6000, 22980), 6000);
  EXPECT_EQ(limited_current(-5000, 7020, 22980), 7020);
  EXPECT_EQ(limited_current(63000, 6000, 22980), 22980);
  EXPECT_EQ(limited_current(63000, 6000, 0), 0);
  EXPECT_EQ(limited_current(16020, 6000, 63000), 16020);
  // capped by the box's hardware limit
  EXPECT_EQ(limited_current(63000, 6000, 22980, 16000), 16000);
  EXPECT_EQ(limited_current(100, 6000, 22980, 16000), 6000);
  EXPECT_EQ(limited_current(63000, 6000, 0, 16000), 0);
  EXPECT_EQ(limited_current(63000, 6000, 63000, 0), 63000);
  EXPECT_EQ(limited_current(63000, 6000, 63000, 3000), 63000);
  EXPECT_EQ(limited_current(100, 0, 22980), 6000);  // never below what the box takes
}

TEST(CarPhases, DrawnPhasesNeverUndercounted) {
  EXPECT_EQ(drawn_phases({16000, 0, 999}), 1);
  EXPECT_EQ(drawn_phases({6000, 6000, 6000}), 3);
  EXPECT_EQ(car_phases(1, 3), 3);  // no X2 contactor behind a three-phase car
  EXPECT_EQ(car_phases(3, 1), 3);  // X2 on: what it gives, until seen otherwise
  EXPECT_EQ(car_phases(1, 0), 1);
  EXPECT_EQ(car_phases(0, 9), 3);
  EXPECT_TRUE(implausible_phase(0, 0, 16000));
  EXPECT_FALSE(implausible_phase(0, -20, 16000));  // exporting
  EXPECT_FALSE(implausible_phase(4000, 900, 16000));  // PV on the phase
  EXPECT_FALSE(implausible_phase(0, 0, 1500));
}

TEST(FuseWatch, LowersByTheExcessOnAnyPhase) {
  struct Case {
    std::array<int, 3> meter, box;
    int current, want;
  };
  const Case cases[] = {
      {{30000, 5000, 5000}, {16000, 0, 0}, 16000, -1},     // within 33 A
      {{37000, 5000, 5000}, {16000, 0, 0}, 16000, 12000},  // 4 A over
      {{5000, 40000, 5000}, {16000, 0, 0}, 16000, 9000},   // the box's L1 may be the grid's L2
      {{5000, 40000, 5000}, {0, 0, 0}, 16000, 9000},       // phases unknown: any phase
      {{44000, 5000, 5000}, {16000, 0, 0}, 16000, 0},      // even 6 A too much: disable
      {{36000, 36000, 34000}, {10000, 10000, 10000}, 16000, 6960},  // car draws less than allowed
      {{33001, 0, 0}, {16000, 0, 0}, 16000, 15960},
  };
  for (const Case& c : cases)
    EXPECT_EQ(fuse_watch_current(c.meter, c.box, 35000, 2000, c.current, 6000), c.want) << c.meter[0];
  EXPECT_EQ(cloud_current(2300, 16000, 1, 6000), 6000);
  EXPECT_EQ(cloud_current(1000, 16000, 1, 6000), 11640);
  EXPECT_EQ(cloud_current(1000, 16000, 3, 6000), 14520);
  EXPECT_EQ(cloud_current(-500, 16000, 3, 6000), 16000);
}

TEST(NewPower, Balance) {
  // grid 1000 W drawn, wallbox 3000 W of it, storage discharging 500 W
  EXPECT_EQ(new_power(1000, 3000000, 500, false, 100), 1000 - 3000 + 500 + 50);
  EXPECT_EQ(new_power(1000, 3000000, 500, true, 50), (-1500) * 50 / 100 + 50);
  // integer division truncates toward zero
  EXPECT_EQ(new_power(0, 1999, 0, false, 100), 49);
  EXPECT_EQ(new_power(-101, 0, 0, true, 10), -10 + 50);
  EXPECT_EQ(new_power(INT_MIN, INT_MAX, INT_MIN, false, 100), INT_MIN);
}

}  // namespace
}  // namespace kivd
