// The currents the control may ask for: what the house's fuses still allow
// and what a power comes to, from the live readings and the settings.
#pragma once

namespace kivd {

// Highest current in mA that all three phases can still carry (0 when
// below 6000 mA).
int GetSafetyCurrent();
// Current in mA for a power in W at 230 V per phase.
int GetDutyCurrent(int watts, int phases);

}  // namespace kivd
