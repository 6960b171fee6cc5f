#pragma once

namespace kivd {

// The endless cycle of passes: start the workers, wait for a restart or
// update request, stop them, pause, re-read the configuration.
[[noreturn]] void run_cycle();

// Copies the charging settings of the configuration into the live values.
void apply_charging_settings();

}  // namespace kivd
