#include "core/ini_writeback.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <string>

#include "core/settings.hpp"
#include "support/temp_dir.hpp"

using namespace kivd;
using kivd::test::read_file;
using kivd::test::Sandbox;
using kivd::test::TempDir;
namespace fs = std::filesystem;

namespace {

// Every field of the model, so a difference shows by name.
std::string describe(const Settings& s) {
  std::ostringstream o;
  o << "iniversion=" << s.iniversion << "\nLOG_DIR=" << s.LOG_DIR << "\nLOG_FILE=" << s.LOG_FILE
    << "\nPID_FILE=" << s.PID_FILE << "\ndebug=" << s.debug << "\nNetworkInterface=" << s.NetworkInterface
    << "\nWebPort=" << s.WebPort << "\nKivUsing=" << s.KivUsing << "\nKivType=" << s.KivType
    << "\nKivServer=" << s.KivServer << "\nKivPort=" << s.KivPort << "\nKivSerial=" << s.KivSerial
    << "\nEMUUsing=" << s.EMUUsing << "\nInfrastructureCurrent=" << s.InfrastructureCurrent
    << "\nInfrastructureDistance=" << s.InfrastructureDistance << "\nChargingMode=" << s.ChargingMode
    << "\nweb_charge_mode=" << s.web_charge_mode << "\nManualCurrent=" << s.ManualCurrent
    << "\nWallboxUsing=" << s.WallboxUsing << "\nWallboxType=" << s.WallboxType
    << "\nWallboxServer=" << s.WallboxServer << "\nWallboxPort=" << s.WallboxPort
    << "\nWallboxActivation=" << s.WallboxActivation << "\nCarMaxPhases=" << s.CarMaxPhases
    << "\nCarMinCharge=" << s.CarMinCharge << "\nFixTeslaBug=" << s.FixTeslaBug << "\nMyUsing=" << s.MyUsing
    << "\nMyServer=" << s.MyServer << "\nMyPort=" << s.MyPort << "\nMyUser=" << s.MyUser
    << "\nMyPasswd=" << s.MyPasswd << "\nMyDB=" << s.MyDB << "\nSSUsing=" << s.SSUsing << "\nSSType=" << s.SSType
    << "\nSSServer=" << s.SSServer << "\nSSPort=" << s.SSPort << "\nSSEVRatio=" << s.SSEVRatio
    << "\nKNXUsing=" << s.KNXUsing << "\nKNXRouter=" << s.KNXRouter << "\nKNXPort=" << s.KNXPort
    << "\nKNXInterval=" << s.KNXInterval << "\n";
  for (int n = 0; n < kDatapoints; ++n) o << "DPT_" << n + 1 << "=" << s.DPT_Using[n] << " " << s.DPT[n] << "\n";
  return o.str();
}

// The file text after a post, starting from the given file text.
std::string rewrite(const std::string& old_text, const std::string& body, int mode) {
  IniDict d = IniDict::load_text(old_text, IniDict::EmptyKeys::kept);
  ApplySettingsForm(d, body, mode);
  return IniFileText(d);
}

// Value of "name = value" inside [section] of a written file; "<none>" when absent.
std::string value_in(const std::string& text, const std::string& section, const std::string& name) {
  std::istringstream in(text);
  std::string line, current;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') {
      current = line.substr(1, line.find(']') - 1);
      continue;
    }
    const auto eq = line.find(" = ");
    if (eq == std::string::npos || current != section) continue;
    std::string key = line.substr(0, eq);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    if (key == name) return line.substr(eq + 3);
  }
  return "<none>";
}

const std::string kSettingsForm =
    "SmartmeterType=OEM&SmartmeterIP=10.0.0.5&SmartmeterPort=9000&SmartmeterSerial=1900123456"
    "&FusesValue=32000&SafetyValue=1500&StartMode=quick&ManualValue=16020"
    "&WallboxType=KEBAP20&WallboxIP=10.0.0.151&ActivationValue=2000&MaxPhases=3&MinCharge=9000"
    "&TeslaWorkaround=1&MysqlIP=10.0.0.10&MysqlPort=3307&MysqlUsername=kiv&MysqlPassword=s3cret"
    "&MysqlDatabase=house&StorageType=SIX0H&StorageIP=10.0.0.30&StorageRatio=50"
    "&KNXIP=10.0.0.20&KNXPort=3672&KNXInterval=60";

std::string knx_form(const std::string& checks) {
  std::string b = checks;
  for (int n = 1; n <= kDatapoints; ++n) b += "&g_" + std::to_string(n) + "=2%2F3%2F" + std::to_string(n);
  return b;
}

}  // namespace

TEST(WriteBack, LayoutOfACompletedFile) {
  const std::string text = rewrite("", "", kFormSettings);
  EXPECT_EQ(text, read_file(KIV_GOLDEN_DIR "/kivd_written.ini"));
}

TEST(WriteBack, SettingsFormWithEveryBoxUnticked) {
  const std::string old = DefaultIniText();
  // All switches on before the post.
  const Settings before = ParseIniText(rewrite(old, "SmartmeterUsing=true&WallboxUsing=true&MysqlUsing=TRUE"
                                                    "&StorageUsing=True&KNXUsing=true",
                                               kFormSettings));
  EXPECT_TRUE(before.WallboxUsing);
  EXPECT_TRUE(before.KNXUsing);

  const Settings s = ParseIniText(rewrite(old, kSettingsForm, kFormSettings));
  EXPECT_FALSE(s.KivUsing);
  EXPECT_FALSE(s.WallboxUsing);
  EXPECT_FALSE(s.MyUsing);
  EXPECT_FALSE(s.SSUsing);
  EXPECT_FALSE(s.KNXUsing);
  EXPECT_EQ(s.KivType, "OEM");
  EXPECT_EQ(s.KivServer, "10.0.0.5");
  EXPECT_EQ(s.KivPort, 9000);
  EXPECT_EQ(s.KivSerial, 0u);  // read only for the SMA type
  EXPECT_EQ(s.InfrastructureCurrent, 32000);
  EXPECT_EQ(s.InfrastructureDistance, 1500);
  EXPECT_EQ(s.ChargingMode, 2);
  EXPECT_EQ(s.ManualCurrent, 16020);
  EXPECT_EQ(s.WallboxServer, "10.0.0.151");
  EXPECT_EQ(s.WallboxActivation, -2000);
  EXPECT_EQ(s.CarMaxPhases, 3);
  EXPECT_EQ(s.CarMinCharge, 9000);
  EXPECT_EQ(s.FixTeslaBug, 1);
  EXPECT_EQ(s.MyServer, "10.0.0.10");
  EXPECT_EQ(s.MyPort, 3307);
  EXPECT_EQ(s.MyUser, "kiv");
  EXPECT_EQ(s.MyPasswd, "s3cret");
  EXPECT_EQ(s.MyDB, "house");
  EXPECT_EQ(s.SSServer, "10.0.0.30");
  EXPECT_EQ(s.SSEVRatio, 50);
  EXPECT_EQ(s.KNXRouter, "10.0.0.20");
  EXPECT_EQ(s.KNXPort, 3672);
  EXPECT_EQ(s.KNXInterval, 60);
  EXPECT_EQ(value_in(rewrite(old, kSettingsForm, kFormSettings), "sma", "serial"), "1900123456");
}

TEST(WriteBack, EmptyBodyPerFormMode) {
  const std::string old =
      "[CONFIG]\nVERSION=1.5\n[SMARTMETER]\nUSING=TRUE\n[WALLBOX]\nUSING=TRUE\n[KNX]\nUSING=TRUE\n"
      "[DPT_2]\nUSING=TRUE\n[DPT_25]\nUSING=TRUE\n";
  const std::string m1 = rewrite(old, "", kFormSettings);
  for (const char* sec : {"smartmeter", "wallbox", "mysql", "storagesystem", "knx"})
    EXPECT_EQ(value_in(m1, sec, "using"), "FALSE") << sec;
  EXPECT_EQ(value_in(m1, "dpt_2", "using"), "TRUE");
  EXPECT_EQ(value_in(m1, "config", "version"), "1.6");
  EXPECT_EQ(value_in(m1, "log", "log_file"), "/tmp/kivd.log") << "completed";
  EXPECT_EQ(value_in(m1, "dpt_24", "groupadr"), "8/1/24") << "completed";

  const std::string m2 = rewrite(old, "", kFormKnx);
  for (int n = 1; n <= kDatapoints; ++n) EXPECT_EQ(value_in(m2, "dpt_" + std::to_string(n), "using"), "FALSE");
  EXPECT_EQ(value_in(m2, "smartmeter", "using"), "TRUE");
  EXPECT_EQ(value_in(m2, "wallbox", "using"), "TRUE");

  // Any other mode resets nothing.
  const std::string m0 = rewrite(old, "", 0);
  EXPECT_EQ(value_in(m0, "wallbox", "using"), "TRUE");
  EXPECT_EQ(value_in(m0, "dpt_2", "using"), "TRUE");
  EXPECT_EQ(value_in(m0, "config", "version"), "1.6");
}

TEST(WriteBack, KnxFormWithOnlyOneBoxTicked) {
  std::string old;
  for (int n = 1; n <= kDatapoints; ++n) old += "[DPT_" + std::to_string(n) + "]\nUSING=TRUE\n";
  const Settings s = ParseIniText(rewrite(old, knx_form("c_3=true"), kFormKnx));
  for (int n = 1; n <= kDatapoints; ++n) {
    EXPECT_EQ(s.DPT_Using[n - 1], n == 3) << n;
    EXPECT_EQ(s.DPT[n - 1], "2/3/" + std::to_string(n));
  }
  // The page sends the field names as c_<n>; other spellings are no fields.
  const Settings t = ParseIniText(rewrite(old, "c_03=true&c_26=true&c_0=true&C_7=TRUE&c_9=yes", kFormKnx));
  EXPECT_FALSE(t.DPT_Using[2]);
  EXPECT_TRUE(t.DPT_Using[6]);
  EXPECT_FALSE(t.DPT_Using[8]);
}

TEST(WriteBack, GroupAddressSlashes) {
  auto g5 = [](const std::string& v) { return value_in(rewrite("", "g_5=" + v, kFormKnx), "dpt_5", "groupadr"); };
  EXPECT_EQ(g5("1%2F2%2F3"), "1/2/3");
  EXPECT_EQ(g5("1%2F2%2F3%2F4"), "1/2/3/4");
  EXPECT_EQ(g5("1/2/3"), "1/2/3");
  EXPECT_EQ(g5("1%2F2"), "1/2");
  EXPECT_EQ(g5(""), "") << "an empty address is stored empty";
  EXPECT_EQ(ParseIniText(rewrite("", "g_5=", kFormKnx)).DPT[4], "8/1/5") << "which reads as the built-in";
}

TEST(WriteBack, NegatedActivation) {
  auto act = [](const std::string& body) {
    return value_in(rewrite("[WALLBOX]\nACTIVATION=-4000\n", body, kFormSettings), "wallbox", "activation");
  };
  EXPECT_EQ(act("ActivationValue=1380"), "-1380");
  EXPECT_EQ(act("ActivationValue=01380"), "-1380");
  EXPECT_EQ(act("ActivationValue=-5"), "-4000");
  EXPECT_EQ(act("ActivationValue="), "-4000");
  EXPECT_EQ(act("ActivationValue"), "-4000");
  EXPECT_EQ(act("ActivationValue=12a"), "-4000");
  EXPECT_EQ(act("ActivationValue=30000"), "-30000");
  // Out of the reader's range: stored, and the reader applies its default.
  EXPECT_EQ(ParseIniText(rewrite("", "ActivationValue=30000", kFormSettings)).WallboxActivation, -1380);
  EXPECT_EQ(ParseIniText(rewrite("", "ActivationValue=99999999999999999999999", kFormSettings)).WallboxActivation,
            -1380);
}

TEST(WriteBack, ValuesAreDecoded) {
  const std::string t = rewrite("", "MysqlPassword=Pa%24%24%21&MysqlUsername=john+doe%2b&WallboxIP=h%3Bx"
                                    "&MysqlDatabase=100%&StorageIP=%4g%4",
                                kFormSettings);
  EXPECT_EQ(value_in(t, "wallbox", "host"), "\"h;x\"");
  const Settings s = ParseIniText(t);
  EXPECT_EQ(s.MyPasswd, "Pa$$!");
  EXPECT_EQ(s.MyUser, "john doe+");
  EXPECT_EQ(s.WallboxServer, "h;x");
  EXPECT_EQ(s.MyDB, "100%") << "a '%' without two hex digits stays";
  EXPECT_EQ(s.SSServer, "%4g%4");
  // A second save of the page's decoded value changes nothing.
  EXPECT_EQ(rewrite(t, "MysqlUsername=john+doe%2B", kFormSettings), t);
}

TEST(WriteBack, EmptyPasswordFieldKeepsTheStoredOne) {
  const std::string old = "[MYSQL]\nPASSWORD=kept\n";
  EXPECT_EQ(value_in(rewrite(old, "MysqlPassword=&MysqlUsername=u", kFormSettings), "mysql", "password"), "kept");
  EXPECT_EQ(value_in(rewrite(old, "MysqlUsername=u", kFormSettings), "mysql", "password"), "kept");
  EXPECT_EQ(value_in(rewrite(old, "MysqlPassword=new", kFormSettings), "mysql", "password"), "new");
}

TEST(WriteBack, StartModeWords) {
  auto mode = [](const std::string& body) {
    const std::string t = rewrite("[INFRASTRUCTURE]\nSTARTMODE=MANUAL\n", body, kFormSettings);
    return value_in(t, "infrastructure", "startmode");
  };
  EXPECT_EQ(mode("StartMode=off"), "OFF");
  EXPECT_EQ(mode("StartMode=stop"), "SURPLUS");
  EXPECT_EQ(mode("StartMode=Quick"), "QUICK");
  EXPECT_EQ(mode("StartMode=manual"), "MANUAL");
  EXPECT_EQ(mode("StartMode=surplus"), "SURPLUS");
  EXPECT_EQ(mode("StartMode="), "SURPLUS");
  EXPECT_EQ(mode("StartMode"), "SURPLUS");
  EXPECT_EQ(mode("WallboxIP=1.2.3.4"), "MANUAL") << "not posted: kept";
  const Settings s = ParseIniText(rewrite("", "StartMode=manual", kFormSettings));
  EXPECT_EQ(s.ChargingMode, 3);
  EXPECT_EQ(s.web_charge_mode, 2);
}

TEST(WriteBack, NumbersOnlyWhenNumeric) {
  auto cur = [](const std::string& v) {
    return value_in(rewrite("[INFRASTRUCTURE]\nCURRENT=40000\n", "FusesValue=" + v, kFormSettings),
                    "infrastructure", "current");
  };
  EXPECT_EQ(cur("32000"), "32000");
  for (const char* bad : {"", "+5", "-5", "3.5", "32+000", "32%20000", "0x10", "abc"}) EXPECT_EQ(cur(bad), "40000") << bad;
  EXPECT_EQ(cur(std::string(256, '1')), "40000") << "too long to be a setting";
  // Other fields of the same post still count.
  const std::string t = rewrite("", "KNXPort=x&KNXInterval=45", kFormSettings);
  EXPECT_EQ(value_in(t, "knx", "port"), "3671");
  EXPECT_EQ(value_in(t, "knx", "interval"), "45");
  // Not range-checked here; the reader does that.
  EXPECT_EQ(ParseIniText(rewrite("", "KNXInterval=5", kFormSettings)).KNXInterval, 30);
  // Evratio is taken as sent.
  EXPECT_EQ(value_in(rewrite("", "StorageRatio=5x", kFormSettings), "storagesystem", "evratio"), "5x");
}

TEST(WriteBack, FieldSplitting) {
  auto host = [](const std::string& body) {
    return value_in(rewrite("[WALLBOX]\nHOST=old\n", body, kFormSettings), "wallbox", "host");
  };
  EXPECT_EQ(host("wallboxip=1.2.3.4"), "1.2.3.4") << "names without regard to case";
  EXPECT_EQ(host("&&WallboxIP=1.2.3.4&&"), "1.2.3.4");
  EXPECT_EQ(host("WallboxIP=1.2.3.4=5"), "1.2.3.4") << "up to a second '='";
  EXPECT_EQ(host("WallboxIP="), "");
  EXPECT_EQ(host("WallboxIP"), "");
  EXPECT_EQ(host("WallboxIP==x"), "");
  EXPECT_EQ(host("=1.2.3.4&foo=bar&WallboxIPX=9"), "old");
  EXPECT_EQ(host("WallboxIP=a&WallboxIP=b"), "b") << "the last one wins";
}

TEST(WriteBack, CheckBoxesTakeOnlyTrue) {
  auto wb = [](const std::string& body) {
    return value_in(rewrite("[WALLBOX]\nUSING=TRUE\n", body, 0), "wallbox", "using");
  };
  EXPECT_EQ(wb("WallboxUsing=false"), "TRUE") << "no reset in mode 0, and only 'true' changes";
  EXPECT_EQ(wb("WallboxUsing=on"), "TRUE");
  EXPECT_EQ(value_in(rewrite("", "WallboxUsing=tRuE", kFormSettings), "wallbox", "using"), "TRUE");
}

TEST(WriteBack, OlderLayoutGroupAddressMoves) {
  const std::string old = "[KNX]\nUSING=TRUE\nGROUPADR=1/1/1\n[DPT_4]\nUSING=TRUE\nGROUPADR=9/9/9\n";
  const Settings before = ParseIniText(old);
  const std::string t = rewrite(old, "", 0);
  EXPECT_EQ(value_in(t, "dpt_4", "using"), "FALSE");
  EXPECT_EQ(value_in(t, "dpt_4", "groupadr"), "1/1/1");
  EXPECT_EQ(value_in(t, "knx", "groupadr"), "<none>");
  const Settings after = ParseIniText(t);
  EXPECT_EQ(describe(after), describe(before));
  // Without a dpt_4 section in the old file, and with a KNX post.
  const std::string u = rewrite("[KNX]\nGROUPADR=1/2/3\n", knx_form("c_4=true"), kFormKnx);
  EXPECT_EQ(value_in(u, "knx", "groupadr"), "<none>");
  EXPECT_EQ(value_in(u, "dpt_4", "groupadr"), "2/3/4") << "the posted address wins over the moved one";
  EXPECT_EQ(value_in(u, "dpt_4", "using"), "TRUE");
}

TEST(WriteBack, VersionAndLowerCase) {
  const std::string t = rewrite("; comment\n[CONFIG]\nVERSION=1.5 ; old\n[WALLBOX]\nHOST=Box.Local # c\n", "", 0);
  EXPECT_EQ(value_in(t, "config", "version"), "1.6");
  EXPECT_EQ(value_in(t, "wallbox", "host"), "Box.Local") << "values keep their case";
  EXPECT_EQ(t.find("; comment"), std::string::npos);
  EXPECT_EQ(t.find("# c"), std::string::npos);
  std::istringstream in(t);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    if (lines++ < 5) continue;  // the banner
    const std::string name = line.substr(0, line.find(" = "));
    for (char c : name) EXPECT_FALSE(std::isupper(static_cast<unsigned char>(c))) << line;
  }
  EXPECT_EQ(value_in(rewrite("[CONFIG]\nVERSION=1.6\n", "", 0), "config", "version"), "1.6");
}

TEST(WriteBack, UnknownKeysAndSectionsAreKeptInOrder) {
  const std::string old =
      "orphan=top\n[WALLBOX]\nHOST=10.1.1.1\nFOO=bar\n[MYSECTION]\nX=1\nY = two words\n[KNX]\nROUTER=r\n"
      "[WALLBOX]\nLATE=yes\n[SMA]\nEMU=FALSE\n";
  const std::string t = rewrite(old, "WallboxIP=10.2.2.2", kFormSettings);
  EXPECT_EQ(value_in(t, "wallbox", "foo"), "bar");
  EXPECT_EQ(value_in(t, "wallbox", "late"), "yes");
  EXPECT_EQ(value_in(t, "mysection", "x"), "1");
  EXPECT_EQ(value_in(t, "mysection", "y"), "two words");
  EXPECT_EQ(value_in(t, "sma", "emu"), "FALSE");
  EXPECT_NE(t.find("\norphan                         = top\n"), std::string::npos);
  // Sections in the order first seen, then the completed ones.
  EXPECT_LT(t.find("[wallbox]"), t.find("[mysection]"));
  EXPECT_LT(t.find("[mysection]"), t.find("[knx]"));
  EXPECT_LT(t.find("[knx]"), t.find("[sma]"));
  EXPECT_LT(t.find("[sma]"), t.find("[config]"));
  EXPECT_LT(t.find("[config]"), t.find("[dpt_1]"));
  // Keys of a section in the order first seen, completed keys after them.
  EXPECT_LT(t.find("host  "), t.find("foo  "));
  EXPECT_LT(t.find("foo  "), t.find("late  "));
  EXPECT_LT(t.find("late  "), t.find("using  ", t.find("[wallbox]")));
  EXPECT_FALSE(ParseIniText(t).EMUUsing);
  // The carried-over entries read back the same.
  const IniDict again = IniDict::load_text(t);
  EXPECT_EQ(again.get_string(":orphan", "?"), "top");
  EXPECT_EQ(again.get_string("mysection:y", "?"), "two words");
}

// A line as long as the reader takes, padded to the layout, would be split:
// its tail, here a switch, must not become a setting of its own.
TEST(WriteBack, LongLinesStayOneLine) {
  const std::string value(kIniLineMax - 12, 'a');
  const std::string old = "[WALLBOX]\nK=" + value.substr(10) + "using=TRUE\nHOST=" + value + "\n";
  const std::string t = rewrite(old, "", 0);
  const IniDict back = IniDict::load_text(t);
  EXPECT_EQ(back.get_string("wallbox:k", "?"), value.substr(10) + "using=TRUE");
  EXPECT_EQ(back.get_string("wallbox:host", "?"), value);
  EXPECT_FALSE(ParseIniText(t).WallboxUsing);
  EXPECT_NE(t.find("\nk=aaa"), std::string::npos);
  // Short lines keep the layout.
  EXPECT_NE(t.find("\nport                           = 7090\n"), std::string::npos);
}

TEST(WriteBack, ValuesTheReaderWouldMisreadAreQuoted) {
  const std::string t = rewrite("", "MysqlPassword=pa;ss#1&MysqlUsername='x'&MysqlDatabase=\"db\"&WallboxIP=a%2Bb", 1);
  const Settings s = ParseIniText(t);
  EXPECT_EQ(s.MyPasswd, "pa;ss#1");
  EXPECT_EQ(s.MyUser, "'x'");
  EXPECT_EQ(s.MyDB, "\"db\"");
  EXPECT_EQ(s.WallboxServer, "a+b");
  // Quoted values in the old file keep their blanks and comment signs.
  const Settings q = ParseIniText(rewrite("[MYSQL]\nPASSWORD=\"  a;b  \"\nUSERNAME=' #u'\n", "", 0));
  EXPECT_EQ(q.MyPasswd, "  a;b  ");
  EXPECT_EQ(q.MyUser, " #u");
}

TEST(WriteBack, UnsafeValuesAreRefused) {
  Sandbox box;
  const std::string old = "[WALLBOX]\nHOST=old\n[MYSQL]\nPASSWORD=pw\n";
  const std::string t = rewrite(old,
                                "WallboxIP=1.2.3.4\n[log]\nlog_file=/etc/owned&MysqlPassword='a\"b;c'"
                                "&MysqlUsername=" + std::string(256, 'u') + "&MysqlDatabase=" + std::string(255, 'd'),
                                kFormSettings);
  EXPECT_EQ(value_in(t, "wallbox", "host"), "old");
  EXPECT_EQ(value_in(t, "log", "log_file"), "/tmp/kivd.log");
  EXPECT_EQ(value_in(t, "mysql", "password"), "pw");
  EXPECT_EQ(value_in(t, "mysql", "username"), "user");
  EXPECT_EQ(value_in(t, "mysql", "database"), std::string(255, 'd'));
  const std::string log = box.log();
  EXPECT_NE(log.find("Settings form: value of field WallboxIP refused"), std::string::npos) << log;
  EXPECT_NE(log.find("Settings form: value of field MysqlPassword refused"), std::string::npos);
  EXPECT_NE(log.find("Settings form: value of field MysqlUsername refused"), std::string::npos);
  EXPECT_EQ(log.find("a\"b"), std::string::npos);
}

TEST(WriteBack, DebugLogMasksThePassword) {
  Sandbox box;
  Settings s = cfg();
  s.debug = 1;
  replace_settings(s);
  rewrite("", "MysqlPassword=topsecret&foo=bar&WallboxIP=1.2.3.4", kFormSettings);
  std::string log = box.log();
  EXPECT_EQ(log.find("topsecret"), std::string::npos) << log;
  EXPECT_NE(log.find(" Settings form field: MysqlPassword=********\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" Settings form field: foo=bar\n"), std::string::npos);
  EXPECT_NE(log.find(" Settings form field: WallboxIP=1.2.3.4\n"), std::string::npos);

  s.debug = 0;
  replace_settings(s);
  const std::size_t size = log.size();
  rewrite("", "MysqlPassword=topsecret&foo=bar", kFormSettings);
  EXPECT_EQ(box.log().size(), size) << "nothing logged without debug";
}

// Reading the written file gives the settings the old file gave (apart from
// the version, which every save sets), for files with all kinds of values.
TEST(WriteBack, RoundTripKeepsTheSettings) {
  std::mt19937 rng(20261207);
  const std::vector<std::string> values = {"TRUE", "false", "x", "", "0", "-1", "17", "9000", "35000", "-2000",
                                           "\"q;uoted\"", "' sp '", "a b", "1/2/3", "mt175", "OEM", "SIX0H",
                                           "quick", "MANUAL", "off", "0900", "h#c", "\"", "'x", "3000000000",
                                           std::string(70, 'l')};
  const std::vector<std::pair<std::string, std::vector<std::string>>> model = {
      {"CONFIG", {"VERSION"}},
      {"LOG", {"LOG_DIR", "LOG_FILE", "PID_FILE", "DEBUG"}},
      {"NETWORK", {"BINDTODEVICE"}},
      {"WEBSERVER", {"PORT"}},
      {"SMARTMETER", {"USING", "TYPE", "HOST", "PORT"}},
      {"SMA", {"SERIAL", "EMU"}},
      {"INFRASTRUCTURE", {"CURRENT", "DISTANCE", "STARTMODE", "MANUALCURRENT"}},
      {"WALLBOX", {"USING", "TYPE", "HOST", "PORT", "ACTIVATION", "CAR_MAX_PHASES", "CAR_MIN_CHARGE", "TESLABUGFIX",
                   "PHASE_SWITCH_GUARD"}},
      {"MYSQL", {"USING", "HOST", "PORT", "USERNAME", "PASSWORD", "DATABASE"}},
      {"STORAGESYSTEM", {"USING", "TYPE", "HOST", "PORT", "EVRATIO"}},
      {"KNX", {"USING", "ROUTER", "PORT", "INTERVAL", "GROUPADR"}},
      {"DPT_4", {"USING", "GROUPADR"}},
      {"DPT_17", {"USING", "GROUPADR"}},
      {"MQTT", {"USING", "HOST", "USERNAME", "PASSWORD", "CAFILE", "TOPIC", "INTERVAL"}},
      {"OTHER", {"KEY"}}};
  for (int round = 0; round < 300; ++round) {
    std::string file;
    for (const auto& [sec, keys] : model) {
      if (rng() % 5 == 0) continue;
      file += "[" + sec + "]\n";
      for (const std::string& k : keys) {
        if (rng() % 4 == 0) continue;
        file += k + (rng() % 2 ? "=" : " = ") + values[rng() % values.size()] + (rng() % 3 ? "" : " ; note") + "\n";
      }
    }
    Settings before = ParseIniText(file);
    const std::string written = rewrite(file, "", 0);
    Settings after = ParseIniText(written);
    before.iniversion = after.iniversion = "";
    ASSERT_EQ(describe(after), describe(before)) << "file:\n" << file << "\nwritten:\n" << written;
    // A second save of the written file changes nothing.
    ASSERT_EQ(rewrite(written, "", 0), written);
  }
  // An empty key stays where it is; a later empty one does not hide a value.
  const std::string t = rewrite("[MQTT]\nUSERNAME=\nHOST=h\nHOST=\n", "", 0);
  EXPECT_LT(t.find("\nusername                       = \n"), t.find("\nhost                           = h\n"));
  EXPECT_LT(t.find("\nhost  "), t.find("\nport  ", t.find("[mqtt]")));
}

TEST(WriteBack, DefaultFileRoundTrip) {
  const Settings before = ParseIniText(DefaultIniText());
  const std::string written = rewrite(DefaultIniText(), "", 0);
  EXPECT_EQ(describe(ParseIniText(written)), describe(before));
  // Posted values read back as posted (a KNX post and a settings post in turn).
  const std::string knx = rewrite(written, knx_form("c_1=true&c_25=true"), kFormKnx);
  const std::string both = rewrite(knx, kSettingsForm + "&WallboxUsing=true&StartMode=manual", kFormSettings);
  const Settings s = ParseIniText(both);
  EXPECT_TRUE(s.DPT_Using[0]);
  EXPECT_TRUE(s.DPT_Using[24]);
  EXPECT_FALSE(s.DPT_Using[1]);
  EXPECT_EQ(s.DPT[24], "2/3/25");
  EXPECT_TRUE(s.WallboxUsing);
  EXPECT_FALSE(s.KivUsing);
  EXPECT_EQ(s.ChargingMode, 3);
  EXPECT_EQ(s.MyPasswd, "s3cret");
}

// --- the file on disk ---------------------------------------------------------

TEST(WriteIniFileOnDisk, ReplacesTheFileAndKeepsItsMode) {
  Sandbox box;
  const std::string path = box.dir().file("etc/kivd.ini");
  box.dir().write("etc/kivd.ini", "[WALLBOX]\nHOST=old\n");
  ::chmod(path.c_str(), 0600);
  struct stat before;
  ::stat(path.c_str(), &before);
  ASSERT_EQ(WriteIniFile(std::string("WallboxIP=10.3.3.3"), kFormSettings), 1) << "ini_path() under KIVD_ROOT";
  struct stat after;
  ::stat(path.c_str(), &after);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_NE(after.st_ino, before.st_ino) << "a new file renamed over the old one";
  EXPECT_EQ(ReadAndHandleIniFile(path).WallboxServer, "10.3.3.3");
  int files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(box.dir().file("etc"))) ++files;
  EXPECT_EQ(files, 1) << "no temporary file left";
}

// A byte order mark before the first section: read past, kept by a save,
// and the section's values survive the save.
TEST(WriteIniFileOnDisk, ByteOrderMarkSkippedAndKept) {
  Sandbox box;
  const std::string path = box.dir().file("etc/kivd.ini");
  box.dir().write("etc/kivd.ini", "\xEF\xBB\xBF[WALLBOX]\nHOST=10.1.1.1\n[MYSQL]\nPORT=3310\n");
  EXPECT_EQ(ReadAndHandleIniFile(path).WallboxServer, "10.1.1.1");
  ASSERT_EQ(WriteIniFile(std::string("MysqlPort=3311"), kFormSettings), 1);
  const std::string text = read_file(path);
  EXPECT_EQ(text.rfind("\xEF\xBB\xBF#", 0), 0u);
  EXPECT_EQ(text.find("\xEF\xBB\xBF", 1), std::string::npos);
  const Settings s = ReadAndHandleIniFile(path);
  EXPECT_EQ(s.WallboxServer, "10.1.1.1");
  EXPECT_EQ(s.MyPort, 3311);
}

TEST(WriteIniFileOnDisk, MissingFileIsWrittenComplete) {
  Sandbox box;
  const std::string path = box.dir().file("etc/kivd.ini");
  ASSERT_EQ(WriteIniFile(path, "WallboxIP=10.4.4.4&WallboxUsing=true", kFormSettings), 1);
  const std::string text = read_file(path);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u) << "private: it holds the database password";
  Settings expected;
  expected.WallboxServer = "10.4.4.4";
  expected.WallboxUsing = true;
  expected.KivUsing = false;  // an unticked box
  EXPECT_EQ(describe(ReadAndHandleIniFile(path)), describe(expected));
  EXPECT_EQ(value_in(text, "dpt_25", "groupadr"), "8/1/25");
  EXPECT_NE(box.log().find("kivd.ini not found, written anew from the built-in defaults and the posted values"),
            std::string::npos);
}

TEST(WriteIniFileOnDisk, UnreadableOrUnwritableChangesNothing) {
  Sandbox box;
  fs::create_directories(box.dir().file("etc/dir.ini"));
  EXPECT_EQ(WriteIniFile(box.dir().file("etc/dir.ini"), "WallboxIP=1", kFormSettings), 0);
  EXPECT_TRUE(fs::is_directory(box.dir().file("etc/dir.ini")));
  EXPECT_EQ(WriteIniFile(box.dir().file("nofolder/kivd.ini"), "WallboxIP=1", kFormSettings), 0);
  EXPECT_FALSE(fs::exists(box.dir().file("nofolder")));
}

TEST(WriteIniFileOnDisk, LinkStaysALink) {
  Sandbox box;
  box.dir().write("real/kivd.ini", "[WALLBOX]\nHOST=old\n");
  fs::create_symlink(box.dir().file("real/kivd.ini"), box.dir().file("etc/kivd.ini"));
  ASSERT_EQ(WriteIniFile(box.dir().file("etc/kivd.ini"), "WallboxIP=10.5.5.5", kFormSettings), 1);
  EXPECT_TRUE(fs::is_symlink(box.dir().file("etc/kivd.ini")));
  EXPECT_EQ(ReadAndHandleIniFile(box.dir().file("real/kivd.ini")).WallboxServer, "10.5.5.5");
}

// A write that fails half-way (here the file size limit: EFBIG, as a full
// disk gives ENOSPC) must leave the old file as it was.
TEST(WriteIniFileOnDisk, FailureMidwayLeavesTheOldFile) {
  Sandbox box;
  const std::string path = box.dir().file("etc/kivd.ini");
  const std::string old = DefaultIniText();
  box.dir().write("etc/kivd.ini", old);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{1500, 1500};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    ::_exit(WriteIniFile(path, "WallboxIP=10.6.6.6", kFormSettings) == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "0 reported";
  EXPECT_EQ(read_file(path), old);
  int files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(box.dir().file("etc"))) ++files;
  EXPECT_EQ(files, 1) << "no temporary file left";
  EXPECT_NE(box.log().find("Settings: cannot write "), std::string::npos) << box.log();
}
