#include "core/test_hooks.hpp"

#include <cstdlib>
#include <cstring>

namespace kivd {

namespace {

// The variable as a number in lo..hi; fallback when the hooks are off or
// the value is missing or out of range.
int hook_value(const char* name, int lo, int hi, int fallback) {
  const char* v = std::getenv(name);
  if (!test_hooks_on() || v == nullptr) return fallback;
  const int n = std::atoi(v);
  return n >= lo && n <= hi ? n : fallback;
}

}  // namespace

bool test_hooks_on() {
  const char* v = std::getenv("KIVD_TEST_HOOKS");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

int test_wallbox_speedup() { return hook_value("KIVD_TEST_WALLBOX_SPEEDUP", 1, 1000, 1); }

int test_sql_seconds() { return hook_value("KIVD_TEST_SQL_SECONDS", 1, 60, 60); }

int test_session_seconds() { return hook_value("KIVD_TEST_SESSION_SECONDS", 1, 43200, 43200); }

int test_mqtt_lookup_delay() { return hook_value("KIVD_TEST_MQTT_LOOKUP_DELAY", 1, 600, 0); }

int test_pass_pause_seconds() { return hook_value("KIVD_TEST_PASS_PAUSE_SECONDS", 0, 10, 10); }

}  // namespace kivd
