#include "core/settings_table.hpp"

#include <climits>

#include "core/charging_mode.hpp"
#include "core/keba_codes.hpp"
#include "core/password_hash.hpp"

namespace kivd {

namespace {

template <int Lo, int Hi>
bool in_range(int v, const Settings&) {
  return v >= Lo && v <= Hi;
}
bool not_zero(int v, const Settings&) { return v != 0; }
// Host names separated by commas (blanks around them allowed).
bool valid_host_names(std::string_view v) {
  for (char c : v) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                    c == '.' || c == ',' || c == ' ';
    if (!ok) return false;
  }
  return true;
}
// A topic level path we publish below: no wildcards, no system topic, no
// empty level at either end.
bool valid_topic_base(std::string_view v) {
  return !v.empty() && v.find_first_of("+#") == std::string_view::npos && v.front() != '$' && v.front() != '/' &&
         v.back() != '/';
}

// The start mode's text as the charging mode.
void apply_start_mode(Settings& s, std::string_view text) {
  const ChargingMode start = mode_from_text(text, ModeMatch::Whole);
  s.ChargingMode = static_cast<int>(start);
  s.web_charge_mode = choice_of_mode(start);
}

using S = Settings;
using L = FileLine;
using F = FormRule;

constexpr SettingRow kRows[] = {
    {"CONFIG", "VERSION", TextKey{&S::iniversion}, "1.6", L::spaces, "ini file version", nullptr, F::none},
    {"LOG", "LOG_DIR", TextKey{&S::LOG_DIR}, "/tmp", L::tabs, "log and app-path", nullptr, F::none},
    {"LOG", "LOG_FILE", TextKey{&S::LOG_FILE}, "/tmp/kivd.log", L::tabs, "log file", nullptr, F::none},
    {"LOG", "PID_FILE", TextKey{&S::PID_FILE}, "/tmp/kivd.pid", L::tabs, "lock pid", nullptr, F::none},
    {"LOG", "DEBUG", NumberKey{&S::debug, in_range<0, 1>}, "0", L::spaces,
     "debugging info in logfile, 0 = off, 1 = on", nullptr, F::none},
    {"NETWORK", "BINDTODEVICE", TextKey{&S::NetworkInterface}, "", L::spaces,
     "empty = default network interface, eth0, eth1, wlan0 etc. = specific network interface", nullptr, F::none},
    {"WEBSERVER", "PORT", NumberKey{&S::WebPort, not_zero}, "18001", L::spaces,
     "internal webserver port, default 18001", nullptr, F::none},
    // Not a form field: the settings page changes it only after checking the
    // old password (web/pages_settings.cpp), kivd-passwd from the shell. No
    // validity rule: an unusable hash must lock the web interface, not
    // fall back to the default "no password" (web/password_gate.cpp).
    {"WEBSERVER", "PASSWORD_HASH", TextKey{&S::WebPasswordHash, nullptr, kPasswordHashMax}, "", L::spaces,
     "empty = no password; set it on the settings page or with kivd-passwd", nullptr, F::none},
    {"WEBSERVER", "HOSTNAMES", TextKey{&S::WebHostNames, valid_host_names}, "", L::spaces,
     "further names of this server, comma-separated; IP addresses, localhost and the host name always work",
     "WebHostNames", F::text},
    {"WEBSERVER", "UPDATE_KEY",
     TextKey{&S::UpdateKey,
             [](std::string_view v) {
               if (v.empty()) return true;
               if (v.size() != 64) return false;
               for (char c : v)
                 if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
               return true;
             },
             64},
     "", L::spaces, "empty = updates signed by the maker; else the Ed25519 public key (64 hex digits) of your own",
     nullptr, F::none},
    {"SMARTMETER", "USING", SwitchKey{&S::KivUsing}, "TRUE", L::spaces,
     "set it every time TRUE, FALSE only for testing", "SmartmeterUsing", F::check_box},
    {"SMARTMETER", "TYPE",
     TextKey{&S::KivType,
             [](std::string_view v) {
               for (const char* t : {"AS1440", "MT175", "SMA", "OEM", "LOCAL"})
                 if (iequals(v, t)) return true;
               return false;
             }},
     "SMA", L::spaces, "SMA or OEM or AS1440 or MT175", "SmartmeterType", F::text},
    {"SMARTMETER", "HOST", TextKey{&S::KivServer}, "239.12.255.254", L::tabs,
     "IP or hostname, SMA: 239.12.255.254, OEM: 224.3.29.71", "SmartmeterIP", F::text},
    {"SMARTMETER", "PORT", NumberKey{&S::KivPort, not_zero}, "9522", L::spaces,
     "port, co.met: 5000, SMA Energy Meter: 9522, OEM: 10004", "SmartmeterPort", F::number},
    {"SMARTMETER", "TIMEOUT", NumberKey{&S::KivTimeout, in_range<5, 300>}, "15", L::spaces,
     "seconds without meter values before they count as stale (5 to 300)", "SmartmeterTimeout", F::number},
    // The type as read, before its own rule.
    {"SMA", "SERIAL", UnsignedKey{&S::KivSerial, [](const Settings& s) { return iequals(s.KivType, "SMA"); }}, "0",
     L::spaces, "if you have more than one SMA EnergyMeter, set the serial-number. 0 for one SMA EM only",
     "SmartmeterSerial", F::number},
    {"SMA", "EMU", SwitchKey{&S::EMUUsing}, "TRUE", L::none, nullptr, nullptr, F::none},
    {"INFRASTRUCTURE", "CURRENT", NumberKey{&S::InfrastructureCurrent, in_range<10001, 79999>}, "35000", L::spaces,
     "rated current in mA", "FusesValue", F::number},
    // Against the current as its own rule (the row before) left it.
    {"INFRASTRUCTURE", "DISTANCE",
     NumberKey{&S::InfrastructureDistance,
               [](int v, const Settings& s) { return v >= 0 && v < s.InfrastructureCurrent; }},
     "2000", L::spaces, "safety distance to the maximum rated current im mA", "SafetyValue", F::number},
    {"INFRASTRUCTURE", "STARTMODE", MappedKey{apply_start_mode}, "SURPLUS", L::spaces,
     "start mode: SURPLUS, QUICK or MANUAL", "StartMode", F::start_mode},
    {"INFRASTRUCTURE", "MANUALCURRENT",
     NumberKey{&S::ManualCurrent, [](int v, const Settings&) { return is_manual_current(v); }}, "6000", L::spaces,
     "only in manually mode: charging current in mA (values are 6000, 7020, 7980, 9000, 10020, 10980, 12000, "
     "13020, 13980, 15000, 16020, 16980, 18000, 19020, 19980, 21000, 22020, 22980, 24000, 25020, 25980, 27000, "
     "28020, 28980, 30000, 31020, 31980)",
     "ManualValue", F::number},
    {"WALLBOX", "USING", SwitchKey{&S::WallboxUsing}, "FALSE", L::spaces, "use a electric vehicle", "WallboxUsing",
     F::check_box},
    {"WALLBOX", "TYPE", TextKey{&S::WallboxType, [](std::string_view v) { return is_keba_type(v); }},
     "KEBAP20", L::spaces, "KEBAP20: KEBA KeContact P20", "WallboxType", F::text},
    {"WALLBOX", "HOST", TextKey{&S::WallboxServer}, "192.168.10.151", L::tabs, "IP or hostname", "WallboxIP",
     F::text, "192.168.0.20"},
    {"WALLBOX", "PORT", NumberKey{&S::WallboxPort, not_zero}, "7090", L::spaces, "UDP port KEBA P20: 7090", nullptr,
     F::none},
    {"WALLBOX", "ACTIVATION", NumberKey{&S::WallboxActivation, in_range<-21999, -1>}, "-1380", L::spaces,
     "activates wallbox f.e. at -1380 W on surplus, values are from -32000 to 0", "ActivationValue",
     F::activation},
    {"WALLBOX", "CAR_MAX_PHASES", NumberKey{&S::CarMaxPhases, in_range<1, 3>}, "1", L::spaces,
     "maximum available load phases on EV", "MaxPhases", F::number},
    {"WALLBOX", "CAR_MIN_CHARGE",
     NumberKey{&S::CarMinCharge, [](int v, const Settings&) { return is_min_charge_current(v); }}, "6000",
     L::spaces, "minimal charging current in mA (values are 6000, 7020, 7980, 9000)", "MinCharge", F::number},
    {"WALLBOX", "TESLABUGFIX", NumberKey{&S::FixTeslaBug, in_range<0, 1>}, "0", L::spaces,
     "Tesla workaround, current raised in steps of whole amperes: 1 = on, 0 = off", "TeslaWorkaround", F::number},
    {"WALLBOX", "PHASE_SWITCH_GUARD", NumberKey{&S::PhaseSwitchGuard, in_range<0, 3600>}, "300", L::spaces,
     "seconds at least between two changes of output X2 (0 = off, up to 3600)", "PhaseSwitchGuard", F::number},
    {"MYSQL", "USING", SwitchKey{&S::MyUsing}, "FALSE", L::spaces, "use MySQL DB: TRUE, ignore MySQL DB: FALSE",
     "MysqlUsing", F::check_box},
    {"MYSQL", "HOST", TextKey{&S::MyServer}, "192.168.10.10", L::tabs, "IP or hostname", "MysqlIP", F::text,
     "192.168.0.10"},
    {"MYSQL", "PORT", NumberKey{&S::MyPort, not_zero}, "3306", L::spaces, "port: 3306", "MysqlPort", F::number},
    {"MYSQL", "USERNAME", TextKey{&S::MyUser}, "user", L::tabs, "user name", "MysqlUsername", F::text},
    {"MYSQL", "PASSWORD", TextKey{&S::MyPasswd}, "chgpw123", L::tabs, "password, stored here in clear text",
     "MysqlPassword", F::secret},
    {"MYSQL", "DATABASE", TextKey{&S::MyDB}, "smarthouse", L::spaces, "database on mysql server", "MysqlDatabase",
     F::text},
    {"STORAGESYSTEM", "USING", SwitchKey{&S::SSUsing}, "FALSE", L::spaces, "use a battery storage system",
     "StorageUsing", F::check_box},
    {"STORAGESYSTEM", "TYPE", TextKey{&S::SSType, [](std::string_view v) { return iequals(v, "SIX0H"); }}, "SIX0H",
     L::spaces, "SIX0H = Sunny Island 3.0M, 4.4M, 6.0H and 8.0H", "StorageType", F::text},
    {"STORAGESYSTEM", "HOST", TextKey{&S::SSServer}, "192.168.10.30", L::tabs, "IP or hostname", "StorageIP",
     F::text},
    {"STORAGESYSTEM", "PORT", NumberKey{&S::SSPort, not_zero}, "9522", L::spaces, "Port 9522", nullptr, F::none},
    // The form sends the ratio as a text field: no numeric test.
    {"STORAGESYSTEM", "EVRATIO", NumberKey{&S::SSEVRatio, in_range<10, 100>}, "100", L::spaces, "EV/STORAGE ratio",
     "StorageRatio", F::text},
    // The Speedwire logon password: most devices keep the factory one.
    {"STORAGESYSTEM", "PASSWORD", TextKey{&S::SSPassword}, "0000", L::none, nullptr, nullptr, F::none},
    {"KNX", "USING", SwitchKey{&S::KNXUsing}, "FALSE", L::spaces, "use a KNX gateway", "KNXUsing", F::check_box},
    {"KNX", "ROUTER", TextKey{&S::KNXRouter}, "192.168.10.20", L::spaces, "KNX IP Gateway", "KNXIP", F::text,
     "192.168.10.15"},
    {"KNX", "PORT", NumberKey{&S::KNXPort, not_zero}, "3671", L::spaces, "Router Port: 3671", "KNXPort", F::number},
    {"KNX", "INTERVAL", NumberKey{&S::KNXInterval, in_range<10, INT_MAX>}, "30", L::spaces,
     "broadcasting interval in seconds (>=10)", "KNXInterval", F::number},
    {"MQTT", "USING", SwitchKey{&S::MqttUsing}, "FALSE", L::spaces, "publish values to an MQTT broker: TRUE",
     "MqttUsing", F::check_box},
    {"MQTT", "HOST", TextKey{&S::MqttHost}, "localhost", L::tabs, "IP or hostname of the broker", "MqttHost",
     F::text},
    {"MQTT", "PORT", NumberKey{&S::MqttPort, in_range<1, 65535>}, "1883", L::spaces, "port: 1883, with TLS 8883",
     "MqttPort", F::number},
    {"MQTT", "USERNAME", TextKey{&S::MqttUser}, "", L::spaces, "user name, empty = no login", "MqttUsername",
     F::text},
    {"MQTT", "PASSWORD", TextKey{&S::MqttPassword}, "", L::spaces, "password, stored here in clear text",
     "MqttPassword", F::secret},
    {"MQTT", "TLS", SwitchKey{&S::MqttTls}, "FALSE", L::spaces, "TLS to the broker: TRUE, plain: FALSE", "MqttTls",
     F::check_box},
    {"MQTT", "CAFILE", TextKey{&S::MqttCaFile}, "", L::spaces,
     "CA certificate (PEM) for TLS, empty = the system's CAs", "MqttCaFile", F::text},
    {"MQTT", "TOPIC", TextKey{&S::MqttTopic, valid_topic_base}, "kivd", L::spaces, "base topic of values and commands",
     "MqttTopic", F::text},
    {"MQTT", "DISCOVERY", SwitchKey{&S::MqttDiscovery}, "TRUE", L::spaces,
     "Home Assistant discovery messages: TRUE = on, FALSE = off", "MqttDiscovery", F::check_box},
    {"MQTT", "DISCOVERY_PREFIX", TextKey{&S::MqttDiscoveryPrefix, valid_topic_base}, "homeassistant", L::spaces,
     "discovery prefix of Home Assistant", "MqttDiscoveryPrefix", F::text},
    {"MQTT", "INTERVAL", NumberKey{&S::MqttInterval, in_range<5, 3600>}, "30", L::spaces,
     "seconds between two publications of every value (5 to 3600)", "MqttInterval", F::number},
};

}  // namespace

std::span<const SettingRow> setting_rows() { return kRows; }

std::string setting_key(const SettingRow& row) { return std::string(row.section) + ":" + row.key; }

const SettingRow* form_row(std::string_view field) {
  for (const SettingRow& r : kRows)
    if (r.field && iequals(field, r.field)) return &r;
  return nullptr;
}

SectionLayout section_layout(std::string_view section) {
  if (section == "LOG" || section == "WEBSERVER") return {nullptr, false};
  if (section == "SMA") return {"suboption: SMA Energy Meter", true};
  return {nullptr, true};
}

}  // namespace kivd
