// The charging modes: the effective mode the control obeys (ChargingMode
// 1..4) and the user's choice it comes from (web_charge_mode 0..3).
#pragma once

#include <string_view>

namespace kivd {

enum class ChargingMode : int { Surplus = 1, Quick = 2, Manual = 3, Off = 4 };

// The mode a user's choice selects; any value outside 0..3 is surplus.
ChargingMode mode_of_choice(int web_charge_mode);
// The user's choice 0..3 that selects a mode.
int choice_of_mode(ChargingMode mode);
// The effective mode: input X1 pushed forces quick, else the user's choice.
ChargingMode effective_mode(int web_charge_mode, int x1_in);

// How a text names a mode: the whole text without regard to case (the start
// mode of the configuration), or anywhere in it as written (the remote "mode").
enum class ModeMatch { Whole, Contains };
// The mode a text names, surplus when it names none.
ChargingMode mode_from_text(std::string_view text, ModeMatch match);

}  // namespace kivd
