// The configuration model: one value per key of /etc/kivd.ini, read as a
// whole and replaced as a whole on every restart pass.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivd {

inline constexpr int kDatapoints = 25;
inline constexpr std::size_t kTextMax = 59;  // settings texts hold at most 59 characters

// The 27 manual currents (mA); the first four are the car's minimum currents.
inline constexpr std::array<int, 27> kManualCurrents = {
    6000,  7020,  7980,  9000,  10020, 10980, 12000, 13020, 13980, 15000, 16020, 16980, 18000, 19020,
    19980, 21000, 22020, 22980, 24000, 25020, 25980, 27000, 28020, 28980, 30000, 31020, 31980};

bool is_manual_current(int mA);
bool is_min_charge_current(int mA);
// "TRUE"/"FALSE" compared without regard to case.
bool is_true(std::string_view s);
bool is_false(std::string_view s);
bool iequals(std::string_view a, std::string_view b);

struct Settings {
  std::string iniversion = "1.6";
  std::string LOG_DIR = "/tmp";
  std::string LOG_FILE = "/tmp/kivd.log";
  std::string PID_FILE = "/tmp/kivd.pid";
  int debug = 0;
  std::string NetworkInterface;
  int WebPort = 18001;

  std::string KivUsing = "TRUE";
  std::string KivType = "SMA";
  std::string KivServer = "239.12.255.254";
  int KivPort = 9522;
  std::uint32_t KivSerial = 0;
  std::string EMUUsing = "TRUE";

  int InfrastructureCurrent = 35000;
  int InfrastructureDistance = 2000;
  int ChargingMode = 1;     // from STARTMODE
  int web_charge_mode = 0;  // from STARTMODE
  int ManualCurrent = 6000;

  std::string WallboxUsing = "FALSE";
  std::string WallboxType = "KEBAP20";
  std::string WallboxServer = "192.168.10.151";
  int WallboxPort = 7090;
  int WallboxActivation = -1380;
  int CarMaxPhases = 1;
  int CarMinCharge = 6000;
  int FixTeslaBug = 0;

  std::string MyUsing = "FALSE";
  std::string MyServer = "192.168.10.10";
  int MyPort = 3306;
  std::string MyUser = "user";
  std::string MyPasswd = "chgpw123";
  std::string MyDB = "smarthouse";

  std::string SSUsing = "FALSE";
  std::string SSType = "SIX0H";
  std::string SSServer = "192.168.10.30";
  int SSPort = 9522;
  int SSEVRatio = 100;
  // The storage device's user password for the Speedwire logon. Not in the
  // default file: most devices keep the factory password.
  std::string SSPassword = "0000";

  std::string KNXUsing = "FALSE";
  std::string KNXRouter = "192.168.10.20";
  int KNXPort = 3671;
  int KNXInterval = 30;

  // Index 0 is datapoint 1.
  std::array<std::string, kDatapoints> DPT_Using = make_dpt_using();
  std::array<std::string, kDatapoints> DPT = make_dpt_addresses();

  static std::array<std::string, kDatapoints> make_dpt_using();
  static std::array<std::string, kDatapoints> make_dpt_addresses();

  bool operator==(const Settings&) const = default;
};

// The settings in use. Lock-free and safe in a forked child: a replaced
// model stays alive for the life of the process (one small object per restart).
const Settings& cfg();
void replace_settings(const Settings& s);

// Writes the commented default file; false when it cannot be created.
bool WriteDefaultINIFile(const std::string& path);
// Reads the file (a missing file gives the built-in defaults) and applies the
// validity rules.
Settings ReadAndHandleIniFile(const std::string& path);
// The same from the file's text, for tests and the settings pages.
Settings ParseIniText(std::string_view text);
// The default file's text.
std::string DefaultIniText();

}  // namespace kivd
