#include "core/control_vars.hpp"

#include "core/charging_mode.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/utils.hpp"

namespace kivd {

namespace {

void derive_mode() {
  LiveValues& v = live();
  if (v.wb_X1_in.load() == 1) {
    v.disable_web_control = 1;
    v.ChargingMode = static_cast<int>(ChargingMode::Quick);
    return;
  }
  const ChargingMode mode = mode_of_choice(v.web_charge_mode.load());
  v.ChargingMode = static_cast<int>(mode);
  if (mode != ChargingMode::Surplus) v.safety_curr = v.CarMinCharge.load();
  v.disable_web_control = 0;
}

}  // namespace

int manual_current_step(int n) {
  if (n < 0) return n;
  if (n < 6500) return kManualCurrents.front();
  if (n >= 31500) return kManualCurrents.back();
  const int ampere = (n + 500) / 1000;  // 7..31
  return kManualCurrents[static_cast<std::size_t>(ampere - 6)];
}

int remote_mode(std::string_view value) { return choice_of_mode(mode_from_text(value, ModeMatch::Contains)); }

int limit_activation(int n) { return n >= 1 && n <= 21999 ? n : 1380; }
int limit_phases(int n) { return n >= 1 && n <= 3 ? n : 1; }
int limit_min_charge(int n) { return is_min_charge_current(n) ? n : 6000; }

void SetVariables(std::string_view pair) {
  const std::size_t eq = pair.find('=');
  if (eq != std::string_view::npos) {
    const std::string_view name = pair.substr(0, eq);
    std::string_view value = pair.substr(eq + 1);
    value = value.substr(0, value.find('='));
    if (!value.empty()) {
      LiveValues& v = live();
      const int n = atoi_rules(value);
      if (iequals(name, "WebChargingMode")) {
        v.web_charge_mode = n;
      } else if (iequals(name, "ActivationValue") || iequals(name, "surplusactivate")) {
        v.WallboxActivation = -limit_activation(n);
      } else if (iequals(name, "MaxPhases")) {
        // The control page offers 1 to 3 only; the charging rules divide by
        // this number, so nothing below 1 is ever stored.
        v.CarMaxPhases = n >= 1 ? n : 1;
      } else if (iequals(name, "carmaxphases")) {
        v.CarMaxPhases = limit_phases(n);
      } else if (iequals(name, "MinCharge")) {
        v.CarMinCharge = n;
      } else if (iequals(name, "carmincharge")) {
        v.CarMinCharge = limit_min_charge(n);
      } else if (iequals(name, "ManualValue") || iequals(name, "manualcurrent")) {
        v.ManualCurrent = manual_current_step(n);
      } else if (iequals(name, "mode")) {
        v.web_charge_mode = remote_mode(value);
      } else if (iequals(name, "action")) {
        // A child's copy of the flag would go nowhere: the daemon acts on
        // the pair when the server thread applies the hand-over.
        if (value == "restart" && !in_forked_child()) {
          log_line("Restart kivd daemon initiated...");
          daemon_state().intRestart = 1;
        }
      }
      // "url" and unknown names change nothing.
    }
  }
  derive_mode();
}

void SetVariablesAll(std::string_view pairs, const char* log_prefix) {
  while (true) {
    const std::size_t amp = pairs.find('&');
    const std::string_view piece = pairs.substr(0, amp);
    if (!piece.empty()) {
      if (log_prefix) debug_line("%s%.*s", log_prefix, static_cast<int>(piece.size()), piece.data());
      SetVariables(piece);
    }
    if (amp == std::string_view::npos) break;
    pairs.remove_prefix(amp + 1);
  }
}

}  // namespace kivd
