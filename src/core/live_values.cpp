#include "core/live_values.hpp"

#include <cstdio>

#include "core/clock.hpp"
#include "core/settings.hpp"
#include "core/test_hooks.hpp"
#include "core/utils.hpp"

namespace kivd {

LiveValues& live() {
  static LiveValues values;
  return values;
}

bool meter_values_fresh() {
  const Settings& s = cfg();
  return s.KivUsing && is_fresh(live().em_received_ms, std::chrono::seconds(s.KivTimeout));
}

bool wallbox_answering() {
  const auto within = std::chrono::duration_cast<std::chrono::milliseconds>(kWallboxAnswerWithin);
  return cfg().WallboxUsing && is_fresh(live().wb_received_ms, within / test_wallbox_speedup());
}

void format_stamp(std::time_t t, char (&out)[20]) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  copy_text(out, sizeof out, buf);
}

void stamp_now(StampText& stamp) {
  char text[20];
  format_stamp(time_source().wall_now(), text);
  stamp.set(text);
}

}  // namespace kivd
