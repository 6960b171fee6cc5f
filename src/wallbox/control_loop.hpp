// The control loop: thread 3 of each pass, on the process's controller.
#pragma once

#include <stop_token>

#include "wallbox/charging_control.hpp"

namespace kivd {

void ControlKEBA(int index, std::stop_token stop);

// The process's charging control over the process's wallbox driver; its
// state outlives the passes.
ChargingControl& charging_control();

}  // namespace kivd
