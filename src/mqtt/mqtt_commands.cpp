#include "mqtt/mqtt_commands.hpp"

#include <cmath>
#include <cstdlib>

#include "core/settings.hpp"
#include "core/control_vars.hpp"

namespace kivd::mqtt {

namespace {

constexpr std::size_t kMaxPayload = 32;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// A whole decimal number (sign, digits, at most one point); nothing else.
bool parse_number(std::string_view s, double& out) {
  if (s.empty() || s.size() > kMaxPayload) return false;
  std::string text(s);
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(out)) return false;
  for (char c : text)
    if (!(c >= '0' && c <= '9') && c != '.' && c != '-' && c != '+') return false;
  return true;
}

// Values below 100 are amperes, larger ones milliamperes.
long to_milliamperes(double n) { return std::lround(n < 100 ? n * 1000.0 : n); }

Command refuse(std::string_view name, std::string_view value, const char* why) {
  Command c;
  c.result = "refused " + std::string(name) + "=" + std::string(value.substr(0, kMaxPayload)) + ": " + why;
  return c;
}

Command accept(std::string_view name, std::string pair, std::string_view shown) {
  Command c;
  c.accepted = true;
  c.pair = std::move(pair);
  c.result = "ok " + std::string(name) + "=" + std::string(shown);
  return c;
}

}  // namespace

Command parse_command(std::string_view name, std::string_view payload) {
  const std::string_view value = trim(payload);
  if (name == "mode") {
    for (const char* word : {"surplus", "quick", "manual", "off"})
      if (iequals(value, word)) return accept(name, std::string("mode=") + word, word);
    return refuse(name, value, "not one of off, quick, surplus, manual");
  }
  double n = 0;
  const bool numeric = parse_number(value, n);
  if (name == "current") {
    if (!numeric) return refuse(name, value, "not a number");
    const long mA = to_milliamperes(n);
    if (mA < kManualCurrents.front() - 500 || mA > kManualCurrents.back() + 500)
      return refuse(name, value, "outside 6 to 32 A");
    const std::string step = std::to_string(manual_current_step(static_cast<int>(mA)));
    return accept(name, "manualcurrent=" + step, step);
  }
  if (name == "min_current") {
    if (!numeric) return refuse(name, value, "not a number");
    const long mA = to_milliamperes(n);
    if (mA < 5500 || mA > 9499) return refuse(name, value, "not one of 6, 7, 8, 9 A");
    const int step = manual_current_step(static_cast<int>(mA));
    if (limit_min_charge(step) != step) return refuse(name, value, "not one of 6, 7, 8, 9 A");
    return accept(name, "carmincharge=" + std::to_string(step), std::to_string(step));
  }
  if (name == "max_phases") {
    if (!numeric || n != std::floor(n) || std::fabs(n) > 1e6) return refuse(name, value, "not a whole number");
    const int p = static_cast<int>(n);
    if (limit_phases(p) != p) return refuse(name, value, "not 1, 2 or 3");
    return accept(name, "carmaxphases=" + std::to_string(p), std::to_string(p));
  }
  if (name == "activation") {
    if (!numeric || n != std::floor(n) || std::fabs(n) > 1e6) return refuse(name, value, "not a whole number");
    const int w = static_cast<int>(n);
    if (limit_activation(w) != w) return refuse(name, value, "outside 1 to 21999 W");
    return accept(name, "surplusactivate=" + std::to_string(w), std::to_string(w));
  }
  return refuse(name, value, "unknown command");
}

}  // namespace kivd::mqtt
