// The currents the control may ask for: what the house's fuses still allow
// and what a power comes to, from the live readings and the settings.
#pragma once

namespace kivd {

struct SafetyInput;
// The fuse check's inputs from the live readings and the settings; the
// box's own currents count as room only with box_share (one moment).
SafetyInput safety_input(bool box_share = true);
// Highest current in mA that all three phases can still carry (0 when
// below 6000 mA), from the meter's values whatever their age.
int GetSafetyCurrent(bool box_share = true);
// Current in mA for a power in W at 230 V per phase.
int GetDutyCurrent(int watts, int phases);

}  // namespace kivd
