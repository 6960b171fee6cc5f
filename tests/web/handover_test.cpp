#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "support/temp_dir.hpp"
#include "web/handover.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;

namespace {

class HandOver : public ::testing::Test {
 protected:
  void SetUp() override { webtest::reset_live(); }
  void TearDown() override {
    webtest::reset_live();
    daemon_state().intRestart = 0;
  }
  // Writes a hand-over file as another writer would.
  static void plant(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
  test::Sandbox sb;
  LiveValues& v = live();
};

}  // namespace

TEST_F(HandOver, ControlBodySetsManualMode) {
  SetVariablesAll("WebChargingMode=2&ManualValue=16020&MinCharge=6000&MaxPhases=1", nullptr);
  EXPECT_EQ(v.web_charge_mode.load(), 2);
  EXPECT_EQ(v.ChargingMode.load(), 3);
  EXPECT_EQ(v.ManualCurrent.load(), 16020);
  EXPECT_EQ(v.safety_curr.load(), 6000);
  EXPECT_EQ(v.disable_web_control.load(), 0);
}

TEST_F(HandOver, ActivationLimits) {
  const std::pair<const char*, int> cases[] = {{"1380", -1380}, {"0", -1380},   {"22000", -1380},
                                               {"abc", -1380},  {"21999", -21999}, {"1", -1},
                                               {"-5", -1380},   {"500W", -500}};
  for (const auto& [val, want] : cases) {
    v.WallboxActivation = 7;
    SetVariables(std::string("ActivationValue=") + val);
    EXPECT_EQ(v.WallboxActivation.load(), want) << val;
    v.WallboxActivation = 7;
    SetVariables(std::string("surplusactivate=") + val);
    EXPECT_EQ(v.WallboxActivation.load(), want) << val;
  }
}

TEST_F(HandOver, ManualCurrentSteps) {
  const std::pair<int, int> cases[] = {{16499, 16020}, {16500, 16980}, {40000, 31980}, {100, 6000},
                                       {-5, -5},       {0, 6000},      {6499, 6000},   {6500, 7020},
                                       {7499, 7020},   {7500, 7980},   {31499, 31020}, {31500, 31980}};
  for (const auto& [n, want] : cases) {
    EXPECT_EQ(manual_current_step(n), want) << n;
    SetVariables("manualcurrent=" + std::to_string(n));
    EXPECT_EQ(v.ManualCurrent.load(), want) << n;
  }
  // Every step is one of the 27 currents and each ampere gets its own.
  for (int a = 6; a <= 32; ++a) EXPECT_EQ(manual_current_step(a * 1000), kManualCurrents[static_cast<size_t>(a - 6)]);
}

TEST_F(HandOver, ModeSearchOrder) {
  EXPECT_EQ(remote_mode("automatic"), 0);
  EXPECT_EQ(remote_mode("quickoff"), 1);
  EXPECT_EQ(remote_mode("offquick"), 1);
  EXPECT_EQ(remote_mode("Quick"), 0);
  EXPECT_EQ(remote_mode("manualoff"), 3);
  EXPECT_EQ(remote_mode("manual"), 2);
  EXPECT_EQ(remote_mode("xyz"), 0);
  EXPECT_EQ(remote_mode("quickautomatic"), 0);
  SetVariables("mode=off");
  EXPECT_EQ(v.web_charge_mode.load(), 3);
  EXPECT_EQ(v.ChargingMode.load(), 4);
  SetVariables("MODE=quick");  // names without regard to case here
  EXPECT_EQ(v.ChargingMode.load(), 2);
}

TEST_F(HandOver, PhasesAndMinCharge) {
  SetVariables("carmaxphases=4");
  EXPECT_EQ(v.CarMaxPhases.load(), 1);
  SetVariables("carmaxphases=3");
  EXPECT_EQ(v.CarMaxPhases.load(), 3);
  SetVariables("MaxPhases=4");
  EXPECT_EQ(v.CarMaxPhases.load(), 4);
  // Never 0 or below: the charging rules divide by it.
  SetVariables("MaxPhases=0");
  EXPECT_EQ(v.CarMaxPhases.load(), 1);
  SetVariables("MaxPhases=-2");
  EXPECT_EQ(v.CarMaxPhases.load(), 1);
  SetVariables("carmincharge=7980");
  EXPECT_EQ(v.CarMinCharge.load(), 7980);
  SetVariables("carmincharge=8000");
  EXPECT_EQ(v.CarMinCharge.load(), 6000);
  SetVariables("MinCharge=8000");
  EXPECT_EQ(v.CarMinCharge.load(), 8000);
}

TEST_F(HandOver, SafetyCurrentOnlyOutsideSurplus) {
  v.CarMinCharge = 7020;
  v.safety_curr = 123;
  SetVariables("WebChargingMode=0");
  EXPECT_EQ(v.ChargingMode.load(), 1);
  EXPECT_EQ(v.safety_curr.load(), 123);
  SetVariables("WebChargingMode=1");
  EXPECT_EQ(v.ChargingMode.load(), 2);
  EXPECT_EQ(v.safety_curr.load(), 7020);
  SetVariables("WebChargingMode=9");
  EXPECT_EQ(v.ChargingMode.load(), 1);
}

TEST_F(HandOver, X1PushedKeepsQuick) {
  v.wb_X1_in = 1;
  SetVariables("WebChargingMode=3");
  EXPECT_EQ(v.web_charge_mode.load(), 3);
  EXPECT_EQ(v.ChargingMode.load(), 2);
  EXPECT_EQ(v.disable_web_control.load(), 1);
  v.wb_X1_in = 0;
  SetVariables("unknown=1");  // still derives the mode
  EXPECT_EQ(v.ChargingMode.load(), 4);
  EXPECT_EQ(v.disable_web_control.load(), 0);
}

TEST_F(HandOver, MissingValuesAndUnknownNamesChangeNothing) {
  SetVariables("WebChargingMode=");
  SetVariables("WebChargingMode");
  SetVariables("url=http://x");
  SetVariables("=3");
  EXPECT_EQ(v.web_charge_mode.load(), 0);
  SetVariables("WebChargingMode=2=3");  // value up to a further "="
  EXPECT_EQ(v.web_charge_mode.load(), 2);
}

TEST_F(HandOver, RestartActionComparedExactly) {
  SetVariables("action=Restart");
  EXPECT_EQ(daemon_state().intRestart.load(), 0);
  SetVariables("action=restart");
  EXPECT_EQ(daemon_state().intRestart.load(), 1);
  EXPECT_NE(sb.log().find("Restart kivd daemon initiated..."), std::string::npos);
}

TEST_F(HandOver, FilesRoundTrip) {
  std::string t = "x";
  EXPECT_EQ(get_temp_variables(t), 0);
  EXPECT_EQ(t, "");
  ASSERT_EQ(set_temp_variables("mode=quick&carmaxphases=3"), 0);
  EXPECT_EQ(get_temp_variables(t), 1);
  EXPECT_EQ(t, "mode=quick&carmaxphases=3");
  EXPECT_FALSE(std::filesystem::exists(temp_variables_path()));
  ASSERT_EQ(set_temp_actions("Restart"), 0);
  EXPECT_EQ(get_temp_actions(t), 1);
  EXPECT_EQ(t, "Restart");
}

TEST_F(HandOver, FileWithTwoLinesAppliesNothing) {
  plant(temp_variables_path(), "mode=quick\nmode=off\n");
  std::string t = "x";
  EXPECT_EQ(get_temp_variables(t), 1);
  EXPECT_EQ(t, "");
  EXPECT_FALSE(std::filesystem::exists(temp_variables_path()));
  plant(temp_actions_path(), "");
  EXPECT_EQ(get_temp_actions(t), 1);
  EXPECT_EQ(t, "");
}

TEST_F(HandOver, LongContentCut) {
  plant(temp_actions_path(), "restartrestartrestartrestart");
  std::string t;
  get_temp_actions(t);
  EXPECT_EQ(t.size(), 19u);
}

TEST_F(HandOver, SymbolicLinksNeverFollowed) {
  sb.dir().write("victim", "keep");
  ASSERT_EQ(::symlink(sb.dir().file("victim").c_str(), temp_variables_path().c_str()), 0);
  EXPECT_EQ(set_temp_variables("mode=off"), -1);
  EXPECT_EQ(sb.dir().read("victim"), "keep");
  EXPECT_NE(sb.log().find("set_line: error writing tempfile variables"), std::string::npos);
  // Reading removes the link and applies nothing.
  sb.dir().write("victim", "mode=off");
  std::string t = "x";
  EXPECT_EQ(get_temp_variables(t), 1);
  EXPECT_EQ(t, "");
  EXPECT_FALSE(std::filesystem::is_symlink(temp_variables_path()));
  EXPECT_EQ(sb.dir().read("victim"), "mode=off");
}

TEST_F(HandOver, FifoUnderTheNameDoesNotHang) {
  ASSERT_EQ(::mkfifo(temp_actions_path().c_str(), 0600), 0);
  EXPECT_EQ(set_temp_actions("restart"), -1);
  std::string t = "x";
  EXPECT_EQ(get_temp_actions(t), 1);
  EXPECT_EQ(t, "");
}

TEST_F(HandOver, FilesInThePrivateFolder) {
  EXPECT_EQ(temp_actions_path(), sb.dir().file("kivd.d/kivd.act"));
  EXPECT_EQ(std::filesystem::status(sb.dir().file("kivd.d")).permissions(), std::filesystem::perms::owner_all);
}

TEST_F(HandOver, FileOfAnotherUserOrOpenToOthersRemovedUnread) {
  plant(temp_actions_path(), "restart");
  ASSERT_EQ(::chmod(temp_actions_path().c_str(), 0622), 0);
  std::string t = "x";
  EXPECT_EQ(get_temp_actions(t), 1);
  EXPECT_EQ(t, "");
  EXPECT_FALSE(std::filesystem::exists(temp_actions_path()));
  EXPECT_NE(sb.log().find("kivd.act not written by this service, removed unread"), std::string::npos);
  if (::geteuid() == 0) {
    plant(temp_variables_path(), "mode=quick");
    ASSERT_EQ(::chown(temp_variables_path().c_str(), 65534, 65534), 0);
    EXPECT_EQ(get_temp_variables(t), 1);
    EXPECT_EQ(t, "");
    EXPECT_FALSE(std::filesystem::exists(temp_variables_path()));
  }
}

TEST_F(HandOver, RemoveTempFiles) {
  set_temp_variables("a=1");
  set_temp_actions("restart");
  remove_temp_files();
  EXPECT_FALSE(std::filesystem::exists(temp_variables_path()));
  EXPECT_FALSE(std::filesystem::exists(temp_actions_path()));
}
