// Common set-up of the wallbox tests: a sandbox with its log, wallbox
// settings, the live values at their start values and a fake clock.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/settings.hpp"
#include "support/fake_clock.hpp"
#include "support/temp_dir.hpp"

namespace kivd::test {

// The live values the wallbox reads and writes, back at their start values.
void reset_wallbox_live();

// Lines of the sandbox log without their time stamps.
std::vector<std::string> log_lines(const Sandbox& sb);
int count_lines(const Sandbox& sb, const std::string& exact);

class WallboxTest : public ::testing::Test {
 protected:
  WallboxTest();
  ~WallboxTest() override;
  // Replaces the settings, keeping the sandbox's log files.
  void settings(const std::function<void(kivd::Settings&)>& change);
  // A meter that sends after every sleep (the default), or none.
  void meter_sends(bool on);

  Sandbox sandbox_;
  FakeClock clock_;
  ScopedFakeClock scoped_{clock_};
};

}  // namespace kivd::test
