#include <gtest/gtest.h>

#include <string>

#include "core/password_hash.hpp"
#include "core/settings.hpp"
#include "support/temp_dir.hpp"

using namespace kivd;

namespace {
Settings parse(const std::string& text) { return ParseIniText(text); }
std::string wallbox(const std::string& line) { return "[WALLBOX]\n" + line + "\n"; }
}  // namespace

TEST(Settings, MissingFileGivesBuiltIns) {
  const Settings s = ReadAndHandleIniFile("/nonexistent/kivd.ini");
  EXPECT_EQ(s.WallboxServer, "192.168.10.151");
  EXPECT_EQ(s.KNXRouter, "192.168.10.20");
  EXPECT_TRUE(s.KivUsing);
  EXPECT_TRUE(s.EMUUsing);
  EXPECT_EQ(s.DPT[21], "8/1/22");
  EXPECT_FALSE(s.DPT_Using[3]);
}

TEST(Settings, OnlyWallboxSectionKeepsOtherBuiltIns) {
  const Settings s = parse(wallbox("USING=true"));
  EXPECT_TRUE(s.WallboxUsing);
  EXPECT_EQ(s.WallboxServer, "192.168.10.151");
  EXPECT_EQ(s.KNXRouter, "192.168.10.20");
}

TEST(Settings, ActivationRange) {
  EXPECT_EQ(parse(wallbox("ACTIVATION=0")).WallboxActivation, -1380);
  EXPECT_EQ(parse(wallbox("ACTIVATION=500")).WallboxActivation, -1380);
  EXPECT_EQ(parse(wallbox("ACTIVATION=-21999")).WallboxActivation, -21999);
  EXPECT_EQ(parse(wallbox("ACTIVATION=-22000")).WallboxActivation, -1380);
  EXPECT_EQ(parse(wallbox("ACTIVATION=-1")).WallboxActivation, -1);
}

TEST(Settings, InfrastructureCurrentAndDistance) {
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nCURRENT=10000\n").InfrastructureCurrent, 35000);
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nCURRENT=10001\n").InfrastructureCurrent, 10001);
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nCURRENT=79999\n").InfrastructureCurrent, 79999);
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nCURRENT=80000\n").InfrastructureCurrent, 35000);
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nCURRENT=35000\nDISTANCE=35000\n").InfrastructureDistance, 2000);
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nCURRENT=35000\nDISTANCE=34999\n").InfrastructureDistance, 34999);
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nDISTANCE=-1\n").InfrastructureDistance, 2000);
  // The distance is judged against the current after the current's own rule.
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nCURRENT=5000\nDISTANCE=20000\n").InfrastructureDistance, 20000);
}

TEST(Settings, ManualAndMinimumCurrents) {
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nMANUALCURRENT=16000\n").ManualCurrent, 6000);
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nMANUALCURRENT=16020\n").ManualCurrent, 16020);
  EXPECT_EQ(parse("[INFRASTRUCTURE]\nMANUALCURRENT=31980\n").ManualCurrent, 31980);
  EXPECT_EQ(parse(wallbox("CAR_MIN_CHARGE=9000")).CarMinCharge, 9000);
  EXPECT_EQ(parse(wallbox("CAR_MIN_CHARGE=10020")).CarMinCharge, 6000);
}

TEST(Settings, SmallRanges) {
  EXPECT_EQ(parse("[KNX]\nINTERVAL=9\n").KNXInterval, 30);
  EXPECT_EQ(parse("[KNX]\nINTERVAL=10\n").KNXInterval, 10);
  EXPECT_EQ(parse("[STORAGESYSTEM]\nEVRATIO=9\n").SSEVRatio, 100);
  EXPECT_EQ(parse("[STORAGESYSTEM]\nEVRATIO=101\n").SSEVRatio, 100);
  EXPECT_EQ(parse("[STORAGESYSTEM]\nEVRATIO=10\n").SSEVRatio, 10);
  EXPECT_EQ(parse("[LOG]\nDEBUG=2\n").debug, 0);
  EXPECT_EQ(parse("[LOG]\nDEBUG=1\n").debug, 1);
  EXPECT_EQ(parse(wallbox("TESLABUGFIX=-1")).FixTeslaBug, 0);
  EXPECT_EQ(parse(wallbox("CAR_MAX_PHASES=4")).CarMaxPhases, 1);
  EXPECT_EQ(parse(wallbox("CAR_MAX_PHASES=3")).CarMaxPhases, 3);
  EXPECT_EQ(parse("[WEBSERVER]\nPORT=0\n").WebPort, 18001);
  EXPECT_EQ(parse("[MYSQL]\nPORT=0\n").MyPort, 3306);
}

TEST(Settings, StartModes) {
  auto mode = [](const char* m) {
    const Settings s = ParseIniText(std::string("[INFRASTRUCTURE]\nSTARTMODE=") + m + "\n");
    return std::make_pair(s.ChargingMode, s.web_charge_mode);
  };
  EXPECT_EQ(mode("off"), std::make_pair(4, 3));
  EXPECT_EQ(mode("Manual"), std::make_pair(3, 2));
  EXPECT_EQ(mode("QUICK"), std::make_pair(2, 1));
  EXPECT_EQ(mode("xyz"), std::make_pair(1, 0));
  EXPECT_EQ(mode("SURPLUS"), std::make_pair(1, 0));
}

TEST(Settings, MeterTypeAndSerial) {
  const Settings lower = parse("[SMARTMETER]\nTYPE=mt175\n[SMA]\nSERIAL=77\n");
  EXPECT_EQ(lower.KivType, "mt175");
  EXPECT_EQ(lower.KivSerial, 0u);  // read only for the SMA type
  const Settings foo = parse("[SMARTMETER]\nTYPE=foo\n[SMA]\nSERIAL=77\n");
  EXPECT_EQ(foo.KivType, "SMA");
  EXPECT_EQ(foo.KivSerial, 0u);
  EXPECT_EQ(parse("[SMARTMETER]\nTYPE=sma\n[SMA]\nSERIAL=3000000000\n").KivSerial, 3000000000u);
}

TEST(Settings, OlderFileGroupAddress) {
  const Settings s = parse("[KNX]\nGROUPADR=1/2/3\n[DPT_4]\nUSING=TRUE\nGROUPADR=9/9/9\n");
  EXPECT_EQ(s.DPT[3], "1/2/3");
  EXPECT_FALSE(s.DPT_Using[3]);
  const Settings n = parse("[DPT_4]\nUSING=TRUE\nGROUPADR=9/9/9\n[DPT_7]\nUSING=maybe\n");
  EXPECT_EQ(n.DPT[3], "9/9/9");
  EXPECT_TRUE(n.DPT_Using[3]);
  EXPECT_FALSE(n.DPT_Using[6]);
}

TEST(Settings, LongTextIsCutTo59) {
  const std::string v(70, 'x');
  EXPECT_EQ(parse("[MYSQL]\nHOST=" + v + "\n").MyServer, std::string(59, 'x'));
}

TEST(Settings, NamesAreCaseInsensitive) {
  const Settings s = parse("[wallbox]\nhost = 10.0.0.5\n[Knx]\nRouter=knx.local\n");
  EXPECT_EQ(s.WallboxServer, "10.0.0.5");
  EXPECT_EQ(s.KNXRouter, "knx.local");
}

TEST(Settings, EmptyValueDoesNotDefineTheKey) {
  EXPECT_EQ(parse("[WALLBOX]\nHOST=\n").WallboxServer, "192.168.10.151");
  EXPECT_EQ(parse("[WALLBOX]\nHOST= ; comment\n").WallboxServer, "192.168.10.151");
  EXPECT_EQ(parse("[NETWORK]\nBINDTODEVICE=   ; x\n").NetworkInterface, "");
}

TEST(Settings, ValuesWithCommentsQuotesAndJunk) {
  const Settings s = parse(
      "[WALLBOX]\nPORT=7090abc\nACTIVATION= -2000 W ; watts\nHOST=\"10.1.1.1\"\n"
      "[INFRASTRUCTURE]\nCURRENT=0900\n");
  EXPECT_EQ(s.WallboxPort, 7090);
  EXPECT_EQ(s.WallboxActivation, -2000);
  EXPECT_EQ(s.WallboxServer, "10.1.1.1");
  EXPECT_EQ(s.InfrastructureCurrent, 35000);  // 900, not octal 0900, and out of range
}

TEST(Settings, GarbageAndLongLinesStillGiveSaneValues) {
  std::string junk = "\x01\x02[[[==\n=novalue\n[unterminated\nkey without equals\n";
  junk += "[LOG]\nDEBUG=1\n; " + std::string(2000, 'c') + "\n";
  junk += "[WALLBOX]\nHOST=" + std::string(2000, 'h') + "\nUSING=TRUE\n";
  const Settings s = parse(junk);
  EXPECT_EQ(s.debug, 1);
  EXPECT_EQ(s.WallboxServer, std::string(59, 'h'));
  EXPECT_TRUE(s.WallboxUsing);
  EXPECT_EQ(parse("").KivType, "SMA");
  EXPECT_EQ(parse(std::string("\0\0\0", 3)).WebPort, 18001);
}

TEST(Settings, ReplaceIsVisibleAsAWhole) {
  Settings s;
  s.WallboxServer = "10.9.9.9";
  replace_settings(s);
  EXPECT_EQ(cfg().WallboxServer, "10.9.9.9");
  replace_settings(Settings{});
  EXPECT_EQ(cfg().WallboxServer, "192.168.10.151");
}

TEST(Settings, DefaultsUsedAndUnknownKeysNoted) {
  std::vector<std::string> notes;
  const Settings s = ParseIniText("[WALLBOX]\nCAR_MAX_PHASES=4\nCAR_MAX_PHASE=3\n[DPT_3]\nUSING=TRUE\n"
                                  "[WEBSERVER]\nHOSTNAMES=kivd.example, garage\n",
                                  &notes);
  EXPECT_EQ(s.CarMaxPhases, 1);
  EXPECT_EQ(s.WebHostNames, "kivd.example, garage");
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0], "Settings: [WALLBOX] CAR_MAX_PHASES=4 is not valid, the default 1 is used");
  EXPECT_EQ(notes[1], "Settings: unknown key wallbox:car_max_phase ignored");
  notes.clear();
  EXPECT_EQ(ParseIniText("[WEBSERVER]\nHOSTNAMES=a/b\n", &notes).WebHostNames, "");
  EXPECT_EQ(notes.size(), 1u);
}

TEST(Settings, StoragePasswordDefaultsToTheFactoryOne) {
  EXPECT_EQ(parse("").SSPassword, "0000");
  EXPECT_EQ(parse("[STORAGESYSTEM]\nPASSWORD=s3cret\n").SSPassword, "s3cret");
  EXPECT_EQ(ParseIniText(DefaultIniText()).SSPassword, "0000");
}

TEST(Settings, WebPasswordHashUsableOnlyWhenSlowAndWhole) {
  const auto hash = hash_password("geheim 123");
  ASSERT_TRUE(hash);
  EXPECT_TRUE(hash->starts_with("$y$"));
  EXPECT_GT(hash->size(), kTextMax);  // not cut like other texts
  EXPECT_TRUE(verify_password("geheim 123", *hash));
  EXPECT_FALSE(verify_password("geheim 124", *hash));
  EXPECT_FALSE(verify_password("", *hash));
  EXPECT_NE(*hash_password("geheim 123"), *hash);  // salted
  EXPECT_EQ(parse("[WEBSERVER]\nPASSWORD_HASH=" + *hash + "\n").WebPasswordHash, *hash);
  // An unusable hash is kept (it locks the web interface) and noted.
  for (const std::string bad : {"geheim", "$1$abcdefgh$abcdefghijklmnopqrstuv", "$y$broken", "$y$j9T$abc$def",
                                "ab01234567890", "$5$rounds=5000$abc$abcdefghijklmnopqrstuvwxyz0123"}) {
    std::vector<std::string> notes;
    EXPECT_EQ(ParseIniText("[WEBSERVER]\nPASSWORD_HASH=" + bad + "\n", &notes).WebPasswordHash, bad);
    EXPECT_FALSE(valid_password_hash(bad)) << bad;
    ASSERT_EQ(notes.size(), 1u) << bad;
    EXPECT_NE(notes[0].find("PASSWORD_HASH is set but unusable"), std::string::npos);
  }
  EXPECT_FALSE(hash_password(""));
  EXPECT_FALSE(hash_password(std::string(kPasswordMax + 1, 'x')));
}
