// The energy meter service: thread 1 of each pass.
#pragma once

#include <stop_token>

namespace kivd {

// Receives or emulates the meter's values until the pass is asked to stop.
void StartKIV(int index, std::stop_token stop);

}  // namespace kivd
