// The control vocabulary: the name=value pairs that the control page, the
// /remote query and the MQTT commands apply to the live values, and the
// rules each value passes. Every front end goes through here, so the rules
// live in one place.
#pragma once

#include <string_view>

namespace kivd {

// The manual-current step for a requested current in mA.
int manual_current_step(int n);
// The user mode that a "mode" value selects (substring search, case counts):
// surplus/automatic 0, quick 1, off 3, manual 2, nothing 0.
int remote_mode(std::string_view value);
// Remote value rules, shared by SetVariables and the /remote answer.
int limit_activation(int n);  // 1..21999 kept, else 1380 (positive watts)
int limit_phases(int n);      // 1..3 kept, else 1
int limit_min_charge(int n);  // 6000/7020/7980/9000 kept, else 6000

// Applies one name=value pair to the live values, then derives the
// effective charging mode.
void SetVariables(std::string_view pair);
// Splits at every "&" and applies every non-empty piece in order; log_prefix
// names the debug line written per piece (nullptr: none).
void SetVariablesAll(std::string_view pairs, const char* log_prefix);

}  // namespace kivd
