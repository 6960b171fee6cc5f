// The charging control: wallbox commands, the surplus step and the cycle.
// SwitchEnable, SwitchRelais and SetCurrent are declared in threads.hpp.
#pragma once

#include <chrono>
#include <stop_token>

namespace kivd {

int SetFailSafe();
int GetSafetyCurrent();
int GetDutyCurrent(int watts, int phases);
int SetPower(int iNewPower);
// One cycle after the sleep: reports, restart check, balance, mode.
void ControlCycle();

// Cycles left before falling back to one phase (process lifetime).
int phase_points();
void set_phase_points(int n);

// Sleeps of the control (cycle, relay, workaround) go through here: the
// thread's stop ends them. KIVD_TEST_HOOKS=1 with KIVD_TEST_WALLBOX_SPEEDUP=n
// divides them by n for the integration tests.
bool control_sleep(std::chrono::milliseconds d);

}  // namespace kivd
