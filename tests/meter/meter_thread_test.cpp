#include <gtest/gtest.h>

#include <stop_token>
#include <string>
#include <vector>

#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "meter/meter_modes.hpp"
#include "meter/meter_thread.hpp"
#include "support/fake_clock.hpp"
#include "support/temp_dir.hpp"

namespace kivd {
namespace {

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

class MeterThread : public ::testing::Test {
 protected:
  void use(Settings s) {
    s.LOG_FILE = sandbox_.log_file();
    replace_settings(s);
  }
  test::Sandbox sandbox_;
};

TEST_F(MeterThread, RetryBacksOffTo60SecondsAndLogsOncePerOutage) {
  test::FakeClock clock;
  test::ScopedFakeClock use_clock(clock);
  std::stop_source never;
  const StopFd stop(never.get_token());
  std::vector<long long> at;  // seconds on the clock at each try
  std::vector<bool> told;
  const auto failed = meter::retry_until_up(stop, std::chrono::seconds(0), [&](bool log_failure) {
    at.push_back(std::chrono::duration_cast<std::chrono::seconds>(clock.elapsed()).count());
    told.push_back(log_failure);
    return at.size() == 7;
  });
  EXPECT_EQ(failed, 6);
  EXPECT_EQ(at, (std::vector<long long>{0, 5, 15, 35, 75, 135, 195}));
  EXPECT_EQ(told, (std::vector<bool>{true, false, false, false, false, false, false}));
}

TEST_F(MeterThread, NotUsed) {
  Settings s = cfg();
  s.KivUsing = false;
  use(s);
  std::stop_source never;
  StartKIV(1, never.get_token());
  EXPECT_NE(sandbox_.log().find("Thread 1: Energymeter service not used...\n"), std::string::npos);
  EXPECT_EQ(count(sandbox_.log(), "Energymeter"), 1);
}

TEST_F(MeterThread, LocalModeRefreshesTheTimeOncePerSecond) {
  Settings s = cfg();
  s.KivUsing = true;
  s.KivType = "local";
  s.EMUUsing = false;
  s.debug = 1;
  use(s);
  live().em_pf = 950;
  live().last_kiv_datetime.set(kNeverStamp);

  test::FakeClock clock(1'800'000'000);
  test::ScopedFakeClock installed(clock);
  std::stop_source stop;
  clock.on_sleep = [&](test::FakeClock& c) {
    if (c.sleeps() == 3) stop.request_stop();
  };
  StartKIV(1, stop.get_token());

  const std::string log = sandbox_.log();
  EXPECT_EQ(count(log, "Thread 1: Starting energymeter service...\n"), 1);
  EXPECT_EQ(count(log, "Energymeter: Local smartmeter chip\n"), 1);
  EXPECT_EQ(count(log, "Energymeter: Starting in local mode...\n"), 1);
  EXPECT_EQ(count(log, "Energymeter: 0 W | 0 0 0 V | 0 0 0 mA | cos phi 0.950\n"), 3);
  EXPECT_EQ(clock.elapsed(), std::chrono::seconds(3));
  char expected[20];
  format_stamp(1'800'000'002, expected);  // the third pass, two seconds in
  EXPECT_EQ(live().last_kiv_datetime.get(), expected);
  live().em_pf = 0;
}

}  // namespace
}  // namespace kivd

// A repeater cycling through the last datagrams (A B A B) never makes one
// new; a meter that restarted (its ticker far back) and the wrap are.
TEST(SmaFreshness, OnlyATimeStampPastTheNewestIsNew) {
  struct Step {
    std::uint32_t serial, ticker;
    bool fresh;
  };
  const Step steps[] = {{7, 1000, true},   {7, 2000, true},   {7, 1000, false}, {7, 2000, false},
                        {9, 500, true},    {7, 3000, true},   {9, 500, false},  {7, 2995, false},
                        {7, 90000, true},  {7, 5, true},      {7, 0x7FFF0000u, true}, {7, 0xFFFF0000u, true}, {7, 0x100u, true}};
  for (const Step& s : steps)
    EXPECT_EQ(kivd::meter::sma_time_advanced(s.serial, s.ticker), s.fresh) << s.serial << " " << s.ticker;
}
