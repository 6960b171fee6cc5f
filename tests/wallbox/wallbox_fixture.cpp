#include "wallbox_fixture.hpp"

#include <sstream>

#include "core/live_values.hpp"
#include "support/live_reset.hpp"

namespace kivd::test {

void reset_wallbox_live() {
  reset_live_values();
}

std::vector<std::string> log_lines(const Sandbox& sb) {
  std::vector<std::string> out;
  std::istringstream in(sb.log());
  std::string line;
  while (std::getline(in, line)) out.push_back(line.size() > 25 ? line.substr(25) : line);
  return out;
}

int count_lines(const Sandbox& sb, const std::string& exact) {
  int n = 0;
  for (const std::string& l : log_lines(sb)) n += l == exact;
  return n;
}

WallboxTest::WallboxTest() {
  settings([](Settings&) {});
  reset_wallbox_live();
  meter_sends(true);
}

void WallboxTest::meter_sends(bool on) {
  const auto receipt = [](FakeClock&) { live().em_received_ms = steady_ms(); };
  clock_.on_sleep = on ? std::function<void(FakeClock&)>(receipt) : nullptr;
  if (on) receipt(clock_);
}

WallboxTest::~WallboxTest() {
  reset_wallbox_live();
}

void WallboxTest::settings(const std::function<void(Settings&)>& change) {
  Settings s;
  s.LOG_DIR = sandbox_.dir().path();
  s.LOG_FILE = sandbox_.log_file();
  s.PID_FILE = sandbox_.dir().file("kivd.pid");
  s.WallboxUsing = true;
  s.WallboxServer = "10.0.0.2";
  s.debug = 1;
  change(s);
  replace_settings(s);
}

}  // namespace kivd::test
