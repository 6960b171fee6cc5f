// Switches for the tests, all read from the environment here: every one is
// off unless KIVD_TEST_HOOKS=1.
#pragma once

namespace kivd {

// KIVD_TEST_HOOKS=1: tests may raise restart and update by SIGUSR1/SIGUSR2,
// and the meter modes log the values the regular debug line does not show.
bool test_hooks_on();
// KIVD_TEST_WALLBOX_SPEEDUP (1..1000, else 1): the control loop's sleeps and
// the wallbox's command pacing divided by it, its answer time-out too (2 s at least).
int test_wallbox_speedup();
// KIVD_TEST_SQL_SECONDS (1..60, else 60): the database row period in seconds,
// and the period of the day history's points.
int test_sql_seconds();
// KIVD_TEST_SESSION_SECONDS (1..43200, else 43200): how long a web session
// lasts without use.
int test_session_seconds();
// KIVD_TEST_MQTT_LOOKUP_DELAY (1..600 seconds, else 0): each MQTT connection
// attempt first blocks that long, as a name lookup without an answer does.
int test_mqtt_lookup_delay();
// KIVD_TEST_PASS_PAUSE_SECONDS (0..10, else 10): the pause between the end
// of a restart pass and the next one.
int test_pass_pause_seconds();

}  // namespace kivd
