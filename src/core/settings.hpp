// The configuration model: one value per key of /etc/kivd.ini, read as a
// whole and replaced as a whole on every restart pass.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// A switch's text: TRUE or FALSE as above, anything else gives fallback.
bool switch_value(std::string_view s, bool fallback);
bool iequals(std::string_view a, std::string_view b);

// Built-in defaults, validity rules and file keys: core/settings_table.hpp.
struct Settings {
  Settings();  // the built-in defaults

  std::string iniversion;
  std::string LOG_DIR, LOG_FILE, PID_FILE;
  int debug;
  std::string NetworkInterface;
  int WebPort;
  std::string WebPasswordHash;  // crypt(3) text, empty: no password
  std::string WebHostNames;     // further names the web server answers to, comma-separated
  std::string UpdateKey;        // Ed25519 public key of updates (hex), empty: the maker's

  bool KivUsing;
  std::string KivType, KivServer;
  int KivPort;
  int KivTimeout;  // seconds without values before the meter counts as stale
  std::uint32_t KivSerial;
  bool EMUUsing;

  int InfrastructureCurrent, InfrastructureDistance;
  int ChargingMode, web_charge_mode;  // from STARTMODE
  int ManualCurrent;

  bool WallboxUsing;
  std::string WallboxType, WallboxServer;
  int WallboxPort, WallboxActivation, CarMaxPhases, CarMinCharge, FixTeslaBug;
  int PhaseSwitchGuard;  // seconds between two changes of output X2, 0 = no guard

  bool MyUsing;
  std::string MyServer;
  int MyPort;
  std::string MyUser, MyPasswd, MyDB;

  bool SSUsing;
  std::string SSType, SSServer;
  int SSPort, SSEVRatio;
  std::string SSPassword;  // the storage device's Speedwire logon

  bool KNXUsing;
  std::string KNXRouter;
  int KNXPort, KNXInterval;

  bool MqttUsing;
  std::string MqttHost;
  int MqttPort;
  std::string MqttUser, MqttPassword;
  bool MqttTls;
  std::string MqttCaFile;  // PEM file of the CA; empty: the system's CAs
  std::string MqttTopic;   // base topic of state and commands
  bool MqttDiscovery;
  std::string MqttDiscoveryPrefix;
  int MqttInterval;  // seconds between two publications of every value

  // Index 0 is datapoint 1.
  std::array<bool, kDatapoints> DPT_Using;
  std::array<std::string, kDatapoints> DPT;

  bool operator==(const Settings&) const = default;
};

// The settings in use. Lock-free and safe in a forked child: a replaced
// model stays alive for the life of the process (one small object per change;
// an unchanged one is not stored again).
const Settings& cfg();
void replace_settings(const Settings& s);

// Writes the commented default file; false when it cannot be created.
bool WriteDefaultINIFile(const std::string& path);
// Reads the file (a missing file gives the built-in defaults) and applies the
// validity rules. notes, when given, receives one line for every value
// replaced by its default, every unknown key and an unusable web password
// hash, for the log (log_settings_notes).
Settings ReadAndHandleIniFile(const std::string& path, std::vector<std::string>* notes = nullptr);
// The same from the file's text, for tests and the settings pages.
Settings ParseIniText(std::string_view text, std::vector<std::string>* notes = nullptr);
// Logs each note once.
void log_settings_notes(const std::vector<std::string>& notes);
// The default file's text.
std::string DefaultIniText();

}  // namespace kivd
