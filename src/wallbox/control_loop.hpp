// The charging control: wallbox commands, the surplus step and the cycle.
#pragma once

#include <chrono>
#include <stop_token>

namespace kivd {

// The control loop: thread 3 of each pass.
void ControlKEBA(int index, std::stop_token stop);

// Wallbox commands, also used by the restart cycle's reset; 1 success, 0 failure.
int SwitchEnable(int on);
int SwitchRelais(int on);
int SetCurrent(int mA);

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
