#include "mqtt/mqtt_values.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/keba_codes.hpp"
#include "core/live_values.hpp"

namespace kivd::mqtt {

namespace {

LiveValues& v() { return live(); }

// A text's 32-bit FNV-1a: a changed stamp is a changed number.
std::int32_t text_hash(const char* s) {
  std::uint32_t h = 2166136261u;
  for (; *s; ++s) h = (h ^ static_cast<unsigned char>(*s)) * 16777619u;
  return static_cast<std::int32_t>(h);
}

std::int32_t last_control_hash() {
  char text[20];
  v().last_wbc_datetime.copy_to(text);
  return text_hash(text);
}

// KEBA plug states 5 and 7: the cable is plugged into the car.
std::int32_t plugged() {
  const int p = v().wb_plug.load();
  return p == 5 || p == 7;
}

// The phases the car draws current on.
std::int32_t phases_in_use() {
  // As the control counts them (from report 3).
  return v().wb_phases.load();
}

// 0.1 Wh counters as Wh (the total is unsigned on the box).
std::int32_t session_wh() { return v().wb_e_pres.load() / 10; }
std::int32_t total_wh() { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v().wb_e_total.load()) / 10u); }
std::int32_t kwh_as_wh(float kwh) {
  if (!(kwh > -2e6f && kwh < 2e6f)) return 0;  // NaN or beyond any meter: no number to convert
  return static_cast<std::int32_t>(kwh * 1000.0f + (kwh < 0 ? -0.5f : 0.5f));
}

constexpr const char* kW = "W";
constexpr const char* kA = "A";
constexpr const char* kV = "V";
constexpr const char* kKWh = "kWh";
constexpr const char* kMeasurement = "measurement";
constexpr const char* kTotalIncreasing = "total_increasing";

constexpr StateValue kValues[] = {
    {"grid_power", "Grid power", "sensor", kW, "power", kMeasurement, Format::integer,
     [] { return static_cast<std::int32_t>(v().intpow.load()); }},
    {"grid_current_l1", "Grid current L1", "sensor", kA, "current", kMeasurement, Format::milli,
     [] { return static_cast<std::int32_t>(v().em_i1.load()); }},
    {"grid_current_l2", "Grid current L2", "sensor", kA, "current", kMeasurement, Format::milli,
     [] { return static_cast<std::int32_t>(v().em_i2.load()); }},
    {"grid_current_l3", "Grid current L3", "sensor", kA, "current", kMeasurement, Format::milli,
     [] { return static_cast<std::int32_t>(v().em_i3.load()); }},
    {"grid_import_energy", "Grid import energy", "sensor", kKWh, "energy", kTotalIncreasing, Format::milli,
     [] { return kwh_as_wh(v().em_energy_consumption.load()); }},
    {"grid_export_energy", "Grid export energy", "sensor", kKWh, "energy", kTotalIncreasing, Format::milli,
     [] { return kwh_as_wh(v().em_energy_surplus.load()); }},
    {"meter_stale", "Meter values stale", "binary_sensor", nullptr, "problem", nullptr, Format::on_off,
     [] { return static_cast<std::int32_t>(meter_values_fresh() ? 0 : 1); }},
    {"mode", "Charging mode", "select", nullptr, nullptr, nullptr, Format::mode,
     [] { return static_cast<std::int32_t>(v().web_charge_mode.load()); }},
    {"state", "Wallbox state", "sensor", nullptr, nullptr, nullptr, Format::state_text,
     [] { return static_cast<std::int32_t>(v().wb_state.load()); }},
    {"plugged", "Plugged", "binary_sensor", nullptr, "plug", nullptr, Format::on_off, plugged},
    {"charging", "Charging", "binary_sensor", nullptr, "battery_charging", nullptr, Format::on_off,
     [] { return static_cast<std::int32_t>(v().wb_state.load() == 3); }},
    {"enabled", "Wallbox enabled", "binary_sensor", nullptr, nullptr, nullptr, Format::on_off,
     [] { return static_cast<std::int32_t>(v().wb_enable_sys.load()); }},
    {"current_set", "Current set", "sensor", kA, "current", kMeasurement, Format::milli,
     [] { return static_cast<std::int32_t>(v().wb_curr_usr.load()); }},
    {"power", "Charging power", "sensor", kW, "power", kMeasurement, Format::integer,
     [] { return static_cast<std::int32_t>(v().wb_pow.load() / 1000); }},
    {"phases", "Phases in use", "sensor", nullptr, nullptr, kMeasurement, Format::integer, phases_in_use},
    {"session_energy", "Session energy", "sensor", kKWh, "energy", kTotalIncreasing, Format::milli, session_wh},
    {"total_energy", "Total energy", "sensor", kKWh, "energy", kTotalIncreasing, Format::milli, total_wh},
    {"storage_soc", "Storage SOC", "sensor", "%", "battery", kMeasurement, Format::integer,
     [] { return static_cast<std::int32_t>(v().ss_bat_soc.load()); }},
    {"storage_power", "Storage power", "sensor", kW, "power", kMeasurement, Format::integer,
     [] { return static_cast<std::int32_t>(v().ss_ac_power.load()); }},
    {"storage_voltage", "Storage battery voltage", "sensor", kV, "voltage", kMeasurement, Format::milli,
     [] { return static_cast<std::int32_t>(v().ss_bat_voltage.load()); }},
    {"points", "Evaluation points", "sensor", nullptr, nullptr, kMeasurement, Format::integer,
     [] { return static_cast<std::int32_t>(v().points.load()); }},
    {"last_control", "Last wallbox control", "sensor", nullptr, nullptr, nullptr, Format::stamp, last_control_hash},
    // The command numbers' states.
    {"current", "Manual current", "number", kA, "current", nullptr, Format::milli,
     [] { return static_cast<std::int32_t>(v().ManualCurrent.load()); }},
    {"min_current", "Minimum current", "number", kA, "current", nullptr, Format::milli,
     [] { return static_cast<std::int32_t>(v().CarMinCharge.load()); }},
    {"max_phases", "Maximum phases", "number", nullptr, nullptr, nullptr, Format::integer,
     [] { return static_cast<std::int32_t>(v().CarMaxPhases.load()); }},
    {"activation", "Surplus activation", "number", kW, "power", nullptr, Format::integer,
     [] { return static_cast<std::int32_t>(-v().WallboxActivation.load()); }},
};

}  // namespace

std::span<const StateValue> state_values() { return kValues; }

const char* mode_word(int choice) {
  switch (choice) {
    case 1: return "quick";
    case 2: return "manual";
    case 3: return "off";
    default: return "surplus";
  }
}

std::size_t format_value(const StateValue& sv, std::int32_t n, std::span<char> out) {
  int len = 0;
  switch (sv.format) {
    case Format::integer: len = std::snprintf(out.data(), out.size(), "%d", n); break;
    case Format::milli: {
      const long long a = std::llabs(static_cast<long long>(n));
      len = std::snprintf(out.data(), out.size(), "%s%lld.%03lld", n < 0 ? "-" : "", a / 1000, a % 1000);
      break;
    }
    case Format::on_off: len = std::snprintf(out.data(), out.size(), "%s", n ? "ON" : "OFF"); break;
    case Format::mode: len = std::snprintf(out.data(), out.size(), "%s", mode_word(n)); break;
    case Format::state_text: len = std::snprintf(out.data(), out.size(), "%s", keba_state_text(n)); break;
    case Format::stamp: {
      char text[20];
      v().last_wbc_datetime.copy_to(text);
      len = std::snprintf(out.data(), out.size(), "%s", text);
      break;
    }
  }
  if (len < 0) len = 0;
  return static_cast<std::size_t>(len) < out.size() ? static_cast<std::size_t>(len) : out.size() - 1;
}

}  // namespace kivd::mqtt
