// The charging control against the fake wallbox: the command sequence of
// every mode, the surplus hysteresis, phase switching and the fuse limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "core/charging_mode.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "fake_wallbox.hpp"
#include "wallbox/keba_exchange.hpp"
#include "wallbox/charging_math.hpp"
#include "wallbox/charging_control.hpp"
#include "wallbox_fixture.hpp"

namespace kivd::test {
namespace {

using namespace std::chrono_literals;
using Cmds = std::vector<std::string>;

class Control : public WallboxTest {
 protected:
  Control() {
    live().wb_plug = 7;
    live().wb_state = 2;
  }
  // Runs one step and returns the commands it sent, reports left out.
  template <class F>
  Cmds step(F&& f) {
    box_.clear();
    f();
    return box_.actions();
  }
  FakeWallbox box_;
  ChargingControl ctl_{box_.udp()};
};

// The policy over any Wallbox: here one that only records the commands.
struct RecordingBox final : Wallbox {
  Cmds sent;
  bool add(const std::string& c) {
    sent.push_back(c);
    return true;
  }
  bool refresh_reports() override { return add("reports"); }
  bool enable(bool on) override { return add("ena " + std::to_string(on)); }
  bool set_current(int mA) override { return add("curr " + std::to_string(mA)); }
  bool set_phases(bool more) override { return add("output " + std::to_string(more)); }
  bool arm_failsafe(int s, int mA) override { return add("failsafe " + std::to_string(s) + " " + std::to_string(mA)); }
};

TEST_F(Control, PolicyOverAnyWallbox) {
  RecordingBox box;
  ChargingControl ctl(box);
  live().CarMaxPhases = 3;
  EXPECT_EQ(ctl.SetFailSafe(), 1);
  EXPECT_EQ(ctl.SetPower(-4596), 1);
  EXPECT_EQ(box.sent, (Cmds{"failsafe 120 0", "output 1", "curr 6660", "ena 1"}));
  EXPECT_EQ(ctl.phase_points(), 5);
  EXPECT_EQ(ctl_.phase_points(), 0);  // each controller keeps its own
}

TEST_F(Control, SurplusStartsOnOnePhase) {
  const Cmds c = step([&] { EXPECT_EQ(ctl_.SetPower(-2000), 1); });
  EXPECT_EQ(c, (Cmds{"curr 8640", "ena 1"}));
  EXPECT_EQ(live().points, 6);
  EXPECT_EQ(live().wb_enable_sys, 1);
  EXPECT_EQ(live().wb_curr_usr, 8640);
  EXPECT_EQ(live().safety_curr, 8640);
  EXPECT_EQ(count_lines(sandbox_, "SetPower: switchpoint = 4595"), 1);
  EXPECT_EQ(count_lines(sandbox_, "Charging enabled..."), 1);
}

TEST_F(Control, TooLittleSurplusCountsDownAtMinimumThenStops) {
  step([&] { ctl_.SetPower(-2000); });
  ASSERT_EQ(live().points, 6);
  for (int expect = 5; expect >= 1; --expect) {
    EXPECT_EQ(step([&] { ctl_.SetPower(-1000); }), Cmds{"curr 6000"});
    EXPECT_EQ(live().points, expect);
  }
  EXPECT_EQ(step([&] { ctl_.SetPower(-1000); }), (Cmds{"ena 0", "curr 6000"}));
  EXPECT_EQ(live().points, 0);
  EXPECT_EQ(live().wb_enable_sys, 0);
  // Next cycle with surplus: 1 point is not enough to start again.
  EXPECT_EQ(step([&] { ctl_.SetPower(-2000); }), Cmds{});
  EXPECT_EQ(live().points, 1);
}

TEST_F(Control, BalanceEqualToActivationIsNotEnough) {
  live().points = 5;
  step([&] { ctl_.SetPower(-1380); });
  EXPECT_EQ(live().points, 4);
  step([&] { ctl_.SetPower(-1381); });
  EXPECT_EQ(live().points, 5);
}

TEST_F(Control, PointsBelowFiveDoNotStart) {
  live().points = 3;
  EXPECT_EQ(step([&] { EXPECT_EQ(ctl_.SetPower(-5000), 1); }), Cmds{});
  EXPECT_EQ(live().points, 4);
  EXPECT_EQ(step([&] { ctl_.SetPower(-5000); }), (Cmds{"curr 21720", "ena 1"}));
  // Points stop at 10.
  for (int i = 0; i < 8; ++i) step([&] { ctl_.SetPower(-5000); });
  EXPECT_EQ(live().points, 10);
}

TEST_F(Control, ThreePhasesAboveSwitchPointAndFallbackAfterFiveCycles) {
  settings([](Settings& s) { s.PhaseSwitchGuard = 0; });
  live().CarMaxPhases = 3;
  const auto t0 = clock_.elapsed();
  EXPECT_EQ(step([&] { ctl_.SetPower(-4596); }), (Cmds{"output 1", "curr 6660", "ena 1"}));
  EXPECT_GE(clock_.elapsed() - t0, 15s);  // 5 s before and 10 s after the relay
  EXPECT_EQ(count_lines(sandbox_, "More phases ON..."), 1);
  EXPECT_EQ(ctl_.phase_points(), 5);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(step([&] { ctl_.SetPower(-4595); }), Cmds{"curr 6600"}) << i;
  EXPECT_EQ(step([&] { ctl_.SetPower(-4595); }), (Cmds{"ena 0", "output 0", "curr 19920", "ena 1"}));
  EXPECT_EQ(count_lines(sandbox_, "More phases OFF..."), 1);
  EXPECT_EQ(live().wb_X2_out, 0);
}

// Surplus hovering at the switch point: output X2 changes at most once per
// guard (300 s); meanwhile the phases stay and only the current follows.
TEST_F(Control, PhaseSwitchGuardHoldsTheRelay) {
  live().CarMaxPhases = 3;
  const auto cycle = [&](int power) {
    clock_.advance(56s);
    meter_sends(true);
    return step([&] { ctl_.SetPower(power); });
  };
  EXPECT_EQ(cycle(-4596), (Cmds{"output 1", "curr 6660", "ena 1"}));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(cycle(-4595), Cmds{"curr 6600"}) << i;
  EXPECT_FALSE(ctl_.phase_switch_allowed());
  EXPECT_EQ(cycle(-4595), Cmds{"curr 6600"});  // 5 cycles down, 295 s since the switch
  EXPECT_EQ(cycle(-4595), (Cmds{"ena 0", "output 0", "curr 19920", "ena 1"}));
  // Back above at once: one phase, as much as it carries (the box's 32 A).
  live().wb_curr_hw = 32000;
  EXPECT_EQ(cycle(-8000), Cmds{"curr 32000"});
  EXPECT_EQ(ctl_.phase_points(), 0);
  for (int i = 0; i < 4; ++i) cycle(-8000);
  EXPECT_EQ(cycle(-8000), (Cmds{"ena 0", "output 1", "curr 11580", "ena 1"}));
  EXPECT_EQ(count_lines(sandbox_, "More phases ON..."), 2);
  // No room under the fuses while the guard holds three phases: disabled.
  live().em_i2 = 30000;
  EXPECT_EQ(cycle(-4000), Cmds{"ena 0"});
  EXPECT_EQ(live().wb_X2_out, 1);
}

TEST_F(Control, HardwareLimitCapsAndMovesTheSwitchPoint) {
  live().wb_curr_hw = 16000;
  EXPECT_EQ(step([&] { ctl_.SetPower(-3600); }), (Cmds{"curr 15600", "ena 1"}));
  EXPECT_EQ(step([&] { ctl_.SetPower(-5000); }), Cmds{"curr 15600"});  // held: no reading since the raise
  clock_.advance(6s);
  live().em_received_ms = steady_ms();
  EXPECT_EQ(step([&] { ctl_.SetPower(-5000); }), Cmds{"curr 16000"});  // one phase: capped
  EXPECT_EQ(live().safety_curr, 16000);
  live().CarMaxPhases = 3;
  EXPECT_EQ(step([&] { ctl_.SetPower(-4000); }), (Cmds{"ena 0", "output 1", "curr 6000", "ena 1"}));
  EXPECT_EQ(count_lines(sandbox_, "SetPower: switchpoint = 3680"), 4);
}

TEST_F(Control, BelowSwitchPointWithoutEarlierThreePhasesUsesOnePhase) {
  live().CarMaxPhases = 3;
  EXPECT_EQ(step([&] { ctl_.SetPower(-4595); }), (Cmds{"curr 19920", "ena 1"}));
}

TEST_F(Control, NotEnoughSurplusKeepsPhasesOfRelay) {
  live().CarMaxPhases = 3;
  step([&] { ctl_.SetPower(-6000); });
  ASSERT_EQ(live().wb_X2_out, 1);
  // 1000 W short: three phases at the minimum current.
  EXPECT_EQ(step([&] { ctl_.SetPower(-1000); }), Cmds{"curr 6000"});
}

TEST_F(Control, FailedRelayOrCurrentStopsTheSequence) {
  live().CarMaxPhases = 2;
  box_.refused.insert("output");
  EXPECT_EQ(step([&] { EXPECT_EQ(ctl_.SetPower(-8000), 0); }), Cmds{"output 1"});
  EXPECT_EQ(live().wb_X2_out, 0);  // a refused switch is not recorded
  box_.refused = {"curr"};
  live().CarMaxPhases = 1;
  EXPECT_EQ(step([&] { EXPECT_EQ(ctl_.SetPower(-3000), 0); }), Cmds{"curr 13020"});
  EXPECT_EQ(live().wb_enable_sys, 0);
}

TEST_F(Control, StorageIsAskedForAReading) {
  settings([](Settings& s) { s.SSUsing = true; });
  ctl_.SetPower(-2000);
  EXPECT_EQ(live().intStorageControl, 1);
}

TEST_F(Control, PhasesOutOfRangeNeverDivideByZero) {
  settings([](Settings& s) { s.PhaseSwitchGuard = 0; });
  live().CarMaxPhases = 0;
  EXPECT_EQ(step([&] { ctl_.SetPower(-2000); }), (Cmds{"curr 8640", "ena 1"}));
  live().CarMaxPhases = 9;
  step([&] { ctl_.SetPower(-9000); });  // three phases
  EXPECT_EQ(live().wb_X2_out, 1);
  // Manual mode with no valid phase count: one phase.
  live().CarMaxPhases = 0;
  live().web_charge_mode = 2;
  live().ManualCurrent = 10020;
  box_.enable = 1;
  box_.output = 1;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"ena 0", "output 0", "curr 10020", "ena 1"}));
}

TEST_F(Control, QuickModeUsesSafetyCurrent) {
  live().web_charge_mode = 1;  // quick
  live().em_i1 = 20000;
  live().em_i2 = 10000;
  live().em_i3 = 5000;
  box_.i[0] = 16000;
  // The relay's 15 s part the reading from the report: the car's share is
  // no room then.
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"output 1", "curr 12960", "ena 1"}));
  clock_.advance(56s);
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"curr 22980"}));
  EXPECT_EQ(live().points, 0);
  EXPECT_EQ(live().safety_curr, 22980);
  EXPECT_EQ(count_lines(sandbox_,
                        "GetSafetyCurrent: EM L1: 29000, L2: 23000, L3: 28000, WB L1: 16000, L2: 0, L3: 0, lowest free "
                        "common: 22980"),
            1)
      << sandbox_.log();
}

TEST_F(Control, QuickModeNeverAbove63000NorTheHardwareLimit) {
  settings([](Settings& s) { s.InfrastructureCurrent = 100000; });
  live().web_charge_mode = 1;  // quick
  box_.curr_hw = 0;  // not told
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"output 1", "curr 63000", "ena 1"}));
  box_.curr_hw = 20000;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), Cmds{"curr 20000"});
}

TEST_F(Control, QuickModeWithLoadedHouseDisables) {
  live().web_charge_mode = 1;  // quick
  live().em_i2 = 28000;  // 5000 mA left on L2
  box_.enable = 1;
  box_.output = 1;
  // Never "curr 0" (outside what the box takes): disabled, the current kept.
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), Cmds{"ena 0"});
  EXPECT_EQ(live().wb_enable_sys, 0);
  EXPECT_EQ(live().wb_curr_usr, 63000);
  EXPECT_EQ(live().safety_curr, 0);
}

TEST_F(Control, ManualMode) {
  live().web_charge_mode = 2;  // manual
  live().ManualCurrent = 16020;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"curr 16020", "ena 1"}));
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: manual power = 16020"), 1);
  // Limited by the fuses.
  live().em_i3 = 20000;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"curr 12960"}));
  // More phases when the car has them.
  live().CarMaxPhases = 3;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"ena 0", "output 1", "curr 12960", "ena 1"}));
}

// Meter values older than [SMARTMETER] TIMEOUT never raise the current:
// quick and manual keep at most the minimum, and only when the last fresh
// room allowed it; surplus stops; fresh values bring the fuse limit back.
TEST_F(Control, StaleMeterNeverRaisesTheCurrent) {
  struct Case {
    int mode, em_l1_mA;
    Cmds fresh, stale;
  };
  const Case cases[] = {
      {2, 0, {"curr 16020"}, {"curr 6000"}},                // manual
      {1, 0, {"ena 0", "output 1", "curr 32000", "ena 1"}, {"curr 6000"}},  // quick: no relay while stale
      {2, 28000, {"ena 0"}, {"ena 0"}},  // no room when last fresh
      {0, 0, {"curr 6000"}, {"ena 0", "curr 6000"}},        // surplus: stops
      {3, 0, {"ena 0", "curr 6000"}, {"ena 0", "curr 6000"}},  // off: unchanged
  };
  for (const Case& c : cases) {
    reset_wallbox_live();
    live().wb_plug = 7;
    live().web_charge_mode = c.mode;
    live().ManualCurrent = 16020;
    live().em_i1 = c.em_l1_mA;
    box_.enable = 1;
    box_.output = 0;
    ChargingControl ctl(box_.udp());
    meter_sends(false);  // never sent: nothing is known, nothing enabled
    const Cmds never = step([&] { ctl.ControlCycle(); });
    EXPECT_TRUE(std::find(never.begin(), never.end(), "ena 1") == never.end()) << c.mode;
    box_.enable = 1;
    live().points = 5;
    meter_sends(true);
    EXPECT_EQ(step([&] { ctl.ControlCycle(); }), c.fresh) << c.mode;
    box_.enable = 1;
    meter_sends(false);
    clock_.advance(16s);
    EXPECT_EQ(step([&] { ctl.ControlCycle(); }), c.stale) << c.mode;
    EXPECT_EQ(live().em_stale, 1);
  }
  EXPECT_EQ(count_lines(sandbox_, "Energymeter: no fresh data for 15 s - charging limited"), 10);
  EXPECT_EQ(count_lines(sandbox_, "Energymeter: data fresh again"), 5);
  meter_sends(true);
  live().web_charge_mode = 2;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"curr 16020", "ena 1"}));
  EXPECT_EQ(live().em_stale, 0);
}

TEST_F(Control, StaleStorageIsLeftOutOfTheBalance) {
  settings([](Settings& s) { s.SSUsing = true; });
  box_.enable = 1;
  box_.power_mW = 3000000;
  live().ss_ac_power = 2000;  // discharging, counted as drawn
  live().ss_received_ms = steady_ms();
  step([&] { ctl_.ControlCycle(); });
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: wb_plug = 7, iNewPower = -950"), 1) << sandbox_.log();
  clock_.advance(37s);
  step([&] { ctl_.ControlCycle(); });
  // The battery may be discharging into the car: no surplus.
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: wb_plug = 7, iNewPower = -1380"), 1) << sandbox_.log();
  EXPECT_EQ(count_lines(sandbox_, "Storage: no fresh values for 36 s - no surplus counted"), 1);
}

TEST_F(Control, OffModeAndUnpluggedCar) {
  box_.enable = 1;
  box_.output = 1;
  live().web_charge_mode = 3;  // off
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"ena 0", "output 0", "curr 6000"}));
  EXPECT_EQ(live().points, 0);
  live().web_charge_mode = 0;  // surplus
  box_.plug = 3;  // cable only at the wallbox
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"curr 6000"}));
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"curr 6000"}));
}

TEST_F(Control, SurplusCycleUsesBalance) {
  // grid 0 W while the car draws 3 kW: 2950 W surplus after the 50 W margin.
  box_.enable = 1;
  box_.power_mW = 3000000;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"curr 12780"}));
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: wb_plug = 7, iNewPower = -2950"), 1) << sandbox_.log();
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: surplus power = -2950 (must be negative to activate)"), 1);
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: points = 6"), 1);
  EXPECT_NE(live().last_wbc_datetime.get(), kNeverStamp);
}

TEST_F(Control, ErrorStateWaits) {
  box_.state = 4;
  box_.error1 = 3;
  live().web_charge_mode = 3;  // off: only the minimum current
  const auto t0 = clock_.elapsed();
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), Cmds{"curr 6000"});
  EXPECT_GE(clock_.elapsed() - t0, 10s);
  EXPECT_EQ(count_lines(sandbox_, "Charging error: wait 10 seconds to continue"), 1);
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: error1 = 0x3, error2 = 0x0"), 1);
}

TEST_F(Control, FailedReportsSkipTheCycle) {
  box_.refused.insert("report");
  live().web_charge_mode = 1;  // quick
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), Cmds{});
  EXPECT_NE(live().last_wbc_datetime.get(), kNeverStamp);
  box_.refused.clear();
  box_.silent = true;  // lost answers skip it alike, said once for the run
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), Cmds{});
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: wallbox reports not answered, cycle skipped"), 1);
  box_.silent = false;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"output 1", "curr 32000", "ena 1"}));
  box_.refused.insert("report");
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), Cmds{});
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: wallbox reports not answered, cycle skipped"), 2);
}

TEST_F(Control, WallboxRestartSetsFailSafeAgain) {
  ASSERT_EQ(ctl_.SetFailSafe(), 1);
  EXPECT_EQ(live().wb_tmo_failsafe, 120);
  box_.tmo_fs = 0;  // lost at a power cut
  live().web_charge_mode = 3;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"failsafe 120 0 0", "curr 6000"}));
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: Failsafe mode initiated again, after wallbox restart"), 1);
  box_.clear();
  box_.udp().GetReports();
  EXPECT_EQ(box_.commands().front(), "report 1");
  // With the fail-safe in place it is not sent again.
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), Cmds{"curr 6000"});
}

// Between the cycles, on each new meter reading: the fuse and cloud watch
// only lower, the owner's OFF and a restarted box are handled at once.
TEST_F(Control, WatchBetweenCycles) {
  const auto reading = [&](std::chrono::seconds later) {
    clock_.advance(later);
    live().em_received_ms = steady_ms();
    return step([&] { ctl_.watch(); });
  };
  live().web_charge_mode = 2;
  live().ManualCurrent = 16020;
  box_.i[0] = 16000;
  live().em_i1 = 20000;  // the car and 4 A of house
  live().em_pow_1 = 4600;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), (Cmds{"curr 16020", "ena 1"}));
  EXPECT_EQ(reading(6s), Cmds{});
  live().em_i1 = 37000;  // a kettle: 4 A over 33 A
  EXPECT_EQ(reading(1s), Cmds{"curr 12000"});
  EXPECT_EQ(step([&] { ctl_.watch(); }), Cmds{});  // the same reading
  EXPECT_EQ(reading(1s), Cmds{});                   // taken before the lowering showed
  live().em_i1 = 45000;
  live().wb_i1 = 12000;
  EXPECT_EQ(reading(6s), Cmds{"ena 0"});  // not even 6 A fit
  EXPECT_EQ(count_lines(sandbox_, "Fuse watch: a phase above 33000 mA even at the least current - charging disabled"), 1);
  // A restarted box gets fail-safe, current (and enable, had it been on)
  // again, told by its broadcast.
  live().em_i1 = 20000;
  box_.secs = 10;
  box_.deliver("{\"Plug\": 7}\n");
  for (int i = 0; i < 300 && live().wb_broadcasts == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(reading(1s), (Cmds{"failsafe 120 0 0", "curr 12000"}));
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: wallbox restarted - fail-safe, phases and current set again"), 1);
  // Surplus mode: 2300 W from the grid for 5 s takes the car down by 10 A.
  live().ChargingMode = static_cast<int>(ChargingMode::Surplus);
  live().intpow = 2300;
  live().wb_enable_sys = box_.enable = 1;
  Cmds sent;
  for (int i = 0; i < 12; ++i)
    for (const std::string& c : reading(1s)) sent.push_back(c);
  EXPECT_EQ(sent, Cmds{"curr 6000"});
  // The owner's OFF.
  live().ChargingMode = static_cast<int>(ChargingMode::Off);
  EXPECT_EQ(reading(1s), (Cmds{"ena 0", "curr 6000"}));
}

// A box without X2 contactor: the car draws on three phases with X2 off;
// the surplus is shared over the three (at 1 phase it would be 20.7 A each).
TEST_F(Control, CarOnMorePhasesThanTheRelayGives) {
  box_.enable = 1;
  for (int p = 0; p < 3; ++p) box_.i[p] = 7000;
  box_.power_mW = 4830000;
  live().em_i1 = live().em_i2 = live().em_i3 = 7000;
  live().em_pow_1 = live().em_pow_2 = live().em_pow_3 = 1610;
  live().points = 5;
  EXPECT_EQ(step([&] { ctl_.ControlCycle(); }), Cmds{"curr 6900"});
  EXPECT_EQ(live().wb_phases, 3);
}

// A mode change during a sequence stops it: after OFF no ena 1 follows.
TEST_F(Control, OwnersLastWordWinsMidSequence) {
  live().web_charge_mode = 1;  // quick: relay on first
  live().CarMaxPhases = 3;
  clock_.on_sleep = [](FakeClock&) {
    live().em_received_ms = steady_ms();
    if (live().wb_X2_out == 1) live().web_charge_mode = 3, live().ChargingMode = static_cast<int>(ChargingMode::Off);
  };
  const Cmds sent = step([&] { ctl_.ControlCycle(); });
  EXPECT_EQ(sent.front(), "output 1");
  EXPECT_TRUE(std::find(sent.begin(), sent.end(), "ena 1") == sent.end()) << sent.size();
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: charging mode changed, the running sequence stops"), 1);
}

// The guard holds across a restart of the daemon, and starts on an X2
// change that report 2 shows, whether or not its answer came.
TEST_F(Control, PhaseGuardOutlivesTheProcessAndFollowsTheBox) {
  ASSERT_EQ(ctl_.SwitchRelais(1), 1);
  ChargingControl restarted(box_.udp());
  restarted.load_guard();
  EXPECT_FALSE(restarted.phase_switch_allowed());
  {
    std::ofstream f(sandbox_.dir().path() + "/kivd.d/x2_guard");
    f << "another-boot 5\n";
  }
  ChargingControl rebooted(box_.udp());
  rebooted.load_guard();
  EXPECT_FALSE(rebooted.phase_switch_allowed());
  clock_.advance(301s);
  EXPECT_TRUE(rebooted.phase_switch_allowed());
  EXPECT_TRUE(box_.udp().refresh_reports());
  box_.output = 0;  // switched, its answer lost
  EXPECT_TRUE(box_.udp().refresh_reports());
  EXPECT_FALSE(rebooted.phase_switch_allowed());
}

TEST_F(Control, NothingSentOnceARestartIsRequested) {
  live().web_charge_mode = 1;
  daemon_state().intRestart = 1;
  const Cmds all = [&] {
    box_.clear();
    ctl_.ControlCycle();
    return box_.commands();
  }();
  daemon_state().intRestart = 0;
  EXPECT_EQ(all, Cmds{});
  EXPECT_NE(live().last_wbc_datetime.get(), kNeverStamp);
}

TEST_F(Control, TeslaWorkaround) {
  settings([](Settings& s) { s.FixTeslaBug = 1; });
  live().wb_enable_sys = 1;
  const auto t0 = clock_.elapsed();
  EXPECT_EQ(step([&] { ctl_.SwitchEnable(0); }), (Cmds{"curr 32000", "ena 0"}));
  EXPECT_GE(clock_.elapsed() - t0, 7s);
  EXPECT_EQ(count_lines(sandbox_, "Tesla 'increase current workaround': 32A set and wait 7s..."), 1);
  EXPECT_EQ(step([&] { ctl_.SwitchEnable(0); }), Cmds{});  // already disabled
  // Limited by the fuses; with no room the nested disable goes without it.
  live().wb_enable_sys = 1;
  live().em_i1 = 20000;
  EXPECT_EQ(step([&] { ctl_.SwitchEnable(0); }), (Cmds{"curr 12960", "ena 0"}));
  live().wb_enable_sys = 1;
  live().em_i1 = 40000;
  EXPECT_EQ(step([&] { ctl_.SwitchEnable(0); }), Cmds{"ena 0"});
  EXPECT_EQ(count_lines(sandbox_, "Tesla 'increase current workaround': 32A set and wait 7s..."), 3);
}

TEST_F(Control, TeslaDutyCurrent) {
  settings([](Settings& s) { s.FixTeslaBug = 1; });
  EXPECT_EQ(step([&] { ctl_.SetPower(-2000); }), (Cmds{"curr 8160", "ena 1"}));
  EXPECT_EQ(count_lines(sandbox_, "Tesla 'overload workaround': only 1000mA steps, now 8160 mA"), 1);
}

TEST_F(Control, MainResetSequence) {
  box_.enable = 1;
  box_.output = 1;
  live().wb_enable_sys = 1;
  live().wb_X2_out = 1;
  EXPECT_EQ(step([&] { ctl_.reset_wallbox(); }), (Cmds{"ena 0", "output 0", "curr 6000"}));
  EXPECT_EQ(count_lines(sandbox_, "Charging disabled..."), 1);
  // Within the guard after a switch: disabled, more phases stay on until
  // the guard has passed.
  live().CarMaxPhases = 3;
  clock_.advance(300s);
  ctl_.SetPower(-8000);
  ASSERT_EQ(live().wb_X2_out, 1);
  EXPECT_EQ(step([&] { ctl_.reset_wallbox(); }), (Cmds{"ena 0", "curr 6000"}));
  EXPECT_EQ(count_lines(sandbox_, "Reset wallbox: more phases stay ON, the last phase switch is too recent"), 1);
  clock_.advance(300s);
  EXPECT_EQ(step([&] { ctl_.reset_wallbox(); }), (Cmds{"output 0", "curr 6000"}));
}

// A restart's reset while the control thread switches the relay (quick
// mode: disable, 5 s, output, 10 s, current, enable): the sequence stops at
// its next step, the reset waits for it, X2 never changes while enabled and
// nothing enables the box after the reset.
TEST_F(Control, ResetStopsARunningSequenceAndWaitsForIt) {
  settings([](Settings& s) { s.PhaseSwitchGuard = 0; });
  struct Case {
    const char* reset_after;
    Cmds tail;
  };
  for (const Case& c : {Case{"ena 0", {"ena 0", "curr 6000"}},
                        Case{"output 1", {"ena 0", "output 1", "output 0", "curr 6000"}}}) {
    reset_wallbox_live();
    live().web_charge_mode = 1;
    {
      std::lock_guard lock(box_.m);
      box_.enable = 1;
      box_.output = 0;
    }
    box_.clear();
    std::atomic<bool> triggered{false};
    std::thread reset;
    std::stop_source stop;
    clock_.on_sleep = [&](FakeClock& fc) {
      live().em_received_ms = steady_ms();  // the meter keeps sending
      if (fc.elapsed() > 1h) stop.request_stop();
      const Cmds a = box_.actions();
      if (a.empty() || a.back() != c.reset_after || triggered.exchange(true)) return;
      reset = std::thread([&] { ctl_.reset_wallbox(); });
      for (int i = 0; i < 5000 && !thread_stop().stop_requested(); ++i) std::this_thread::sleep_for(1ms);
    };
    std::thread control([&] { ctl_.run(3, stop.get_token()); });
    control.join();
    ASSERT_TRUE(triggered) << c.reset_after;
    reset.join();
    clock_.on_sleep = nullptr;
    const Cmds a = box_.actions();
    const Cmds want = [&] {
      Cmds w{"failsafe 120 0 0"};
      w.insert(w.end(), c.tail.begin(), c.tail.end());
      return w;
    }();
    EXPECT_EQ(a, want) << c.reset_after;
    std::lock_guard lock(box_.m);
    EXPECT_EQ(box_.enable, 0);
    EXPECT_EQ(box_.output, 0);
  }
}

// Random houses, modes and balances: every current sent keeps each phase
// within the rating minus the distance, given the readings of that cycle.
TEST_F(Control, FuseLimitHoldsInEveryMode) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> meter(0, 40000), wbi(0, 32000), mode(1, 4), pow(-15000, 8000), phases(1, 3),
      plug(0, 7), minc(0, 3), manual(0, 26), load(0, 3);
  const int mins[] = {6000, 7020, 7980, 9000};
  const int a = 35000 - 2000;
  for (int cycle = 0; cycle < 400; ++cycle) {
    LiveValues& v = live();
    std::array<int, 3> wb{};
    for (int p = 0; p < 3; ++p) wb[p] = load(rng) == 0 ? 0 : wbi(rng);
    std::array<int, 3> em{meter(rng) + wb[0], meter(rng) + wb[1], meter(rng) + wb[2]};
    v.em_i1 = em[0];
    v.em_i2 = em[1];
    v.em_i3 = em[2];
    {
      std::lock_guard lock(box_.m);
      for (int p = 0; p < 3; ++p) box_.i[p] = wb[p];
      box_.plug = plug(rng);
    }
    v.web_charge_mode = mode(rng) - 1;
    v.intpow = pow(rng);
    v.CarMaxPhases = phases(rng);
    v.CarMinCharge = mins[minc(rng)];
    v.ManualCurrent = kManualCurrents[manual(rng)];
    const Cmds c = step([&] { ctl_.ControlCycle(); });
    for (const std::string& cmd : c) {
      if (cmd.rfind("curr ", 0) != 0) continue;
      const int x = std::stoi(cmd.substr(5));
      ASSERT_TRUE(x >= 6000 && x <= 32000) << cmd;  // the box's Curr HW is 32000
      for (int p = 0; p < 3; ++p)
        if (x > 0) {
          ASSERT_LE(em[p] - wb[p] + x, a) << "cycle " << cycle << " phase " << p << " " << cmd;
        }
    }
  }
}

TEST_F(Control, ThreadStartSequenceAndCycles) {
  int cycles_wanted = 3;
  std::stop_source stop;
  clock_.on_sleep = [&](FakeClock& c) {
    // The box's pacing adds a few seconds to the cycles.
    if (c.elapsed() >= std::chrono::seconds(1 + 56 * cycles_wanted) + 10s) stop.request_stop();
  };
  live().web_charge_mode = 3;  // off
  std::thread t([&] { ctl_.run(3, stop.get_token()); });
  t.join();
  clock_.on_sleep = nullptr;
  const Cmds all = box_.commands();
  const Cmds start(all.begin(), all.begin() + 4);
  EXPECT_EQ(start, (Cmds{"report 1", "report 2", "report 3", "failsafe 120 0 0"}));
  int report2 = 0;
  for (const auto& c : all) report2 += c == "report 2";
  EXPECT_EQ(report2, 1 + cycles_wanted);
  EXPECT_EQ(count_lines(sandbox_, "Thread 3: Starting keba wallbox controller..."), 1);
  EXPECT_EQ(live().wb_failsafe, 1);
}

TEST_F(Control, FailSafeRefusedAtStartIsRetriedEachCycle) {
  box_.refused.insert("failsafe");
  std::stop_source stop;
  clock_.on_sleep = [&](FakeClock& c) {
    if (c.elapsed() >= 60s) {
      std::lock_guard lock(box_.m);
      box_.refused.clear();
    }
    if (c.elapsed() >= 1s + 3 * 56s + 10s) stop.request_stop();
  };
  live().web_charge_mode = 3;  // off
  std::thread t([&] { ctl_.run(3, stop.get_token()); });
  t.join();
  clock_.on_sleep = nullptr;
  int failsafe = 0;
  for (const auto& c : box_.commands()) failsafe += c == "failsafe 120 0 0";
  EXPECT_EQ(failsafe, 3);  // the start, the first cycle (refused), the second
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: Can't set the failsafe-mode, firmware < 2.xx ?"), 1);
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: Failsafe mode set on a later try"), 1);
  EXPECT_EQ(live().wb_failsafe, 1);
}

TEST_F(Control, ThreadNotUsedOrWrongType) {
  settings([](Settings& s) { s.WallboxType = "KEBAP30"; });
  ctl_.run(3, std::stop_token{});
  EXPECT_EQ(count_lines(sandbox_, "Thread 3: No valid keba type found..."), 1);
  settings([](Settings& s) { s.WallboxUsing = false; });
  ctl_.run(3, std::stop_token{});
  EXPECT_EQ(count_lines(sandbox_, "Thread 3: No using keba wallbox controller..."), 1);
  EXPECT_TRUE(box_.commands().empty());
}

TEST_F(Control, SilentWallboxAtStartIsLoggedAndLoopGoesOn) {
  box_.silent = true;
  std::stop_source stop;
  clock_.on_sleep = [&](FakeClock& c) {
    if (c.elapsed() >= 60s) stop.request_stop();
  };
  std::thread t([&] { ctl_.run(3, stop.get_token()); });
  t.join();
  clock_.on_sleep = nullptr;
  EXPECT_GE(count_lines(sandbox_, "KEBA SendData: rcv after sent waiting failed > timeout"), 3);
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: Can't get the first report data from wallbox"), 1);
  EXPECT_EQ(count_lines(sandbox_, "ControlKEBA: Can't set the failsafe-mode, firmware < 2.xx ?"), 1);
}

}  // namespace
}  // namespace kivd::test
