// Fuzz target: any text as the configuration file, read into the settings
// model (the validity rules must hold afterwards) and written back as the
// settings page would, without any posted field.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/settings.hpp"
#include "ini_roundtrip.hpp"

namespace {

bool known_type(const std::string& t) {
  for (const char* k : {"AS1440", "MT175", "SMA", "OEM", "LOCAL"})
    if (kivd::iequals(t, k)) return true;
  return false;
}

void check_model(const kivd::Settings& s) {
  using kivd::kTextMax;
  for (const std::string* t : {&s.LOG_DIR, &s.LOG_FILE, &s.PID_FILE, &s.KivType, &s.KivServer, &s.WallboxServer,
                               &s.MyServer, &s.MyUser, &s.MyPasswd, &s.MyDB, &s.SSServer, &s.SSPassword, &s.KNXRouter})
    if (t->size() > kTextMax) __builtin_trap();
  for (const std::string& t : s.DPT)
    if (t.size() > kTextMax) __builtin_trap();
  if (!known_type(s.KivType)) __builtin_trap();
  if (s.debug != 0 && s.debug != 1) __builtin_trap();
  if (s.CarMaxPhases < 1 || s.CarMaxPhases > 3) __builtin_trap();
  if (!kivd::is_min_charge_current(s.CarMinCharge) || !kivd::is_manual_current(s.ManualCurrent)) __builtin_trap();
  if (s.WallboxActivation < -21999 || s.WallboxActivation > -1) __builtin_trap();
  if (s.InfrastructureDistance < 0 || s.InfrastructureDistance >= s.InfrastructureCurrent) __builtin_trap();
  if (s.KNXInterval <= 9 || s.SSEVRatio < 10 || s.SSEVRatio > 100) __builtin_trap();
  if (s.ChargingMode < 1 || s.ChargingMode > 4) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return -1;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_model(kivd::ParseIniText(text));
  kivd::fuzz::check_roundtrip(kivd::IniDict::load_text(text));
  return 0;
}
