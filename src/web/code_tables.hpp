// Texts the status pages show for the charging mode; the wallbox's own codes
// are in keba_codes.hpp.
#pragma once

namespace kivd::web {

// "SURPLUS", "QUICK", "MANUAL", "OFF" for ChargingMode 1..4, else "".
const char* charging_mode_text(int mode);

}  // namespace kivd::web
