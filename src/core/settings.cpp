#include "core/settings.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <mutex>
#include <vector>

#include "core/charging_mode.hpp"
#include "core/ini_dict.hpp"

namespace kivd {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}
bool is_true(std::string_view s) { return iequals(s, "TRUE"); }
bool is_false(std::string_view s) { return iequals(s, "FALSE"); }

bool is_manual_current(int mA) {
  return std::find(kManualCurrents.begin(), kManualCurrents.end(), mA) != kManualCurrents.end();
}
bool is_min_charge_current(int mA) { return mA == 6000 || mA == 7020 || mA == 7980 || mA == 9000; }

std::array<std::string, kDatapoints> Settings::make_dpt_using() {
  std::array<std::string, kDatapoints> a;
  a.fill("FALSE");
  return a;
}
std::array<std::string, kDatapoints> Settings::make_dpt_addresses() {
  std::array<std::string, kDatapoints> a;
  for (int n = 1; n <= kDatapoints; ++n) a[n - 1] = "8/1/" + std::to_string(n);
  return a;
}

namespace {

std::atomic<const Settings*> g_current{nullptr};
std::mutex g_retired_mutex;
std::vector<std::unique_ptr<const Settings>>& retired() {
  static std::vector<std::unique_ptr<const Settings>> v;
  return v;
}

const Settings& builtin() {
  static const Settings s;
  return s;
}

std::string cut(std::string s) {
  if (s.size() > kTextMax) s.resize(kTextMax);
  return s;
}

void switch_rule(std::string& v, const char* fallback) {
  if (!is_true(v) && !is_false(v)) v = fallback;
}

}  // namespace

const Settings& cfg() {
  const Settings* s = g_current.load(std::memory_order_acquire);
  return s ? *s : builtin();
}

void replace_settings(const Settings& s) {
  auto copy = std::make_unique<const Settings>(s);
  const Settings* raw = copy.get();
  {
    std::lock_guard lock(g_retired_mutex);
    retired().push_back(std::move(copy));
  }
  g_current.store(raw, std::memory_order_release);
}

static Settings read_dict(const IniDict& d) {
  Settings s;
  auto text = [&](const char* key, std::string& out) { out = cut(d.get_string(key, out)); };
  auto num = [&](const char* key, int& out) { out = d.get_int(key, out); };

  text("CONFIG:VERSION", s.iniversion);
  text("NETWORK:BINDTODEVICE", s.NetworkInterface);
  text("LOG:LOG_DIR", s.LOG_DIR);
  text("LOG:LOG_FILE", s.LOG_FILE);
  text("LOG:PID_FILE", s.PID_FILE);
  num("LOG:DEBUG", s.debug);
  text("MYSQL:USING", s.MyUsing);
  text("MYSQL:HOST", s.MyServer);
  num("MYSQL:PORT", s.MyPort);
  text("MYSQL:USERNAME", s.MyUser);
  text("MYSQL:PASSWORD", s.MyPasswd);
  text("MYSQL:DATABASE", s.MyDB);
  num("WEBSERVER:PORT", s.WebPort);
  text("SMARTMETER:USING", s.KivUsing);
  text("SMARTMETER:TYPE", s.KivType);
  text("SMARTMETER:HOST", s.KivServer);
  num("SMARTMETER:PORT", s.KivPort);
  if (iequals(s.KivType, "SMA"))
    s.KivSerial = static_cast<std::uint32_t>(d.get_ulong("SMA:SERIAL", s.KivSerial));
  text("SMA:EMU", s.EMUUsing);
  text("WALLBOX:USING", s.WallboxUsing);
  text("WALLBOX:TYPE", s.WallboxType);
  text("WALLBOX:HOST", s.WallboxServer);
  num("WALLBOX:PORT", s.WallboxPort);
  num("WALLBOX:ACTIVATION", s.WallboxActivation);
  num("WALLBOX:CAR_MAX_PHASES", s.CarMaxPhases);
  num("WALLBOX:CAR_MIN_CHARGE", s.CarMinCharge);
  num("WALLBOX:TESLABUGFIX", s.FixTeslaBug);
  num("INFRASTRUCTURE:CURRENT", s.InfrastructureCurrent);
  num("INFRASTRUCTURE:DISTANCE", s.InfrastructureDistance);
  const std::string startmode = cut(d.get_string("INFRASTRUCTURE:STARTMODE", "SURPLUS"));
  const int manual = d.get_int("INFRASTRUCTURE:MANUALCURRENT", 6000);
  text("STORAGESYSTEM:USING", s.SSUsing);
  text("STORAGESYSTEM:TYPE", s.SSType);
  text("STORAGESYSTEM:HOST", s.SSServer);
  num("STORAGESYSTEM:PORT", s.SSPort);
  num("STORAGESYSTEM:EVRATIO", s.SSEVRatio);
  text("STORAGESYSTEM:PASSWORD", s.SSPassword);
  text("KNX:USING", s.KNXUsing);
  text("KNX:ROUTER", s.KNXRouter);
  num("KNX:PORT", s.KNXPort);
  num("KNX:INTERVAL", s.KNXInterval);
  const bool older_file = d.has("KNX:GROUPADR");
  for (int n = 1; n <= kDatapoints; ++n) {
    const std::string sec = "DPT_" + std::to_string(n);
    if (n == 4 && older_file) {
      s.DPT_Using[3] = "FALSE";
      s.DPT[3] = cut(d.get_string("KNX:GROUPADR", "8/1/4"));
      continue;
    }
    text((sec + ":USING").c_str(), s.DPT_Using[n - 1]);
    text((sec + ":GROUPADR").c_str(), s.DPT[n - 1]);
  }

  // Validity rules, in their order.
  switch_rule(s.MyUsing, "FALSE");
  if (s.MyPort == 0) s.MyPort = 3306;
  if (s.debug != 0 && s.debug != 1) s.debug = 0;
  if (s.WebPort == 0) s.WebPort = 18001;
  switch_rule(s.KivUsing, "TRUE");
  {
    static const char* kTypes[] = {"AS1440", "MT175", "SMA", "OEM", "LOCAL"};
    if (std::none_of(std::begin(kTypes), std::end(kTypes), [&](const char* t) { return iequals(s.KivType, t); }))
      s.KivType = "SMA";
  }
  if (s.KivPort == 0) s.KivPort = 9522;
  switch_rule(s.WallboxUsing, "FALSE");
  if (!iequals(s.WallboxType, "KEBAP20")) s.WallboxType = "KEBAP20";
  if (s.WallboxPort == 0) s.WallboxPort = 7090;
  if (s.WallboxActivation < -21999 || s.WallboxActivation > -1) s.WallboxActivation = -1380;
  if (s.CarMaxPhases < 1 || s.CarMaxPhases > 3) s.CarMaxPhases = 1;
  if (!is_min_charge_current(s.CarMinCharge)) s.CarMinCharge = 6000;
  if (s.FixTeslaBug != 0 && s.FixTeslaBug != 1) s.FixTeslaBug = 0;
  switch_rule(s.KNXUsing, "FALSE");
  if (s.KNXPort == 0) s.KNXPort = 3671;
  if (s.KNXInterval <= 9) s.KNXInterval = 30;
  if (s.InfrastructureCurrent < 10001 || s.InfrastructureCurrent > 79999) s.InfrastructureCurrent = 35000;
  if (s.InfrastructureDistance < 0 || s.InfrastructureDistance >= s.InfrastructureCurrent)
    s.InfrastructureDistance = 2000;
  const ChargingMode start = mode_from_text(startmode, ModeMatch::Whole);
  s.ChargingMode = static_cast<int>(start), s.web_charge_mode = choice_of_mode(start);
  s.ManualCurrent = is_manual_current(manual) ? manual : 6000;
  switch_rule(s.SSUsing, "FALSE");
  if (!iequals(s.SSType, "SIX0H")) s.SSType = "SIX0H";
  if (s.SSPort == 0) s.SSPort = 9522;
  if (s.SSEVRatio < 10 || s.SSEVRatio > 100) s.SSEVRatio = 100;
  switch_rule(s.EMUUsing, "TRUE");
  for (auto& u : s.DPT_Using) switch_rule(u, "FALSE");
  return s;
}

Settings ReadAndHandleIniFile(const std::string& path) { return read_dict(IniDict::load_file(path)); }

Settings ParseIniText(std::string_view text) { return read_dict(IniDict::load_text(text)); }

}  // namespace kivd
