// The sender's timing and choice of datapoints, driven by a fake clock and a
// fake tunnel: cyclic passes, change passes, the first pass, the refresh.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <stop_token>
#include <vector>

#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "knx/knx_sender.hpp"
#include "support/fake_clock.hpp"
#include "support/temp_dir.hpp"

using namespace kivd;
using namespace kivd::knx;
using namespace std::chrono_literals;

namespace {

struct PassRecord {
  long at_s;                   // fake seconds since the thread started
  std::vector<int> datapoints;  // in the order written
  std::vector<std::vector<std::uint8_t>> payloads;
};

class RecordingTunnel final : public Tunnel {
 public:
  explicit RecordingTunnel(PassRecord& r) : r_(r) {}
  void write(const GroupWrite& w) override {
    r_.datapoints.push_back(w.group - (8 * 2048 + 256));  // default addresses 8/1/n
    std::vector<std::uint8_t> p(w.value.payload.bytes.begin(),
                                w.value.payload.bytes.begin() + std::max<int>(1, w.value.payload.size));
    r_.payloads.push_back(p);
  }

 private:
  PassRecord& r_;
};

void reset_live() {
  LiveValues& lv = live();
  lv.em_pow_1 = 0;
  lv.intpow = 0;
  lv.ChargingMode = 1;
  lv.wb_state = 2;
  lv.ss_bat_soc = 0;
  lv.ss_ac_power = 0;
}

class KnxSender : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_live();
    s = cfg();
    s.KNXUsing = true;
    s.KNXRouter = "127.0.0.1";
    s.KNXInterval = 30;
    s.WallboxUsing = true;
  }
  void enable(std::initializer_list<int> ns) {
    for (int n : ns) s.DPT_Using[n - 1] = true;
  }
  long now_s() const { return static_cast<long>(clock.elapsed().count() / 1000); }

  // Runs the thread until the fake clock reaches `seconds`; events[t] runs
  // once the clock has reached t.
  void run(long seconds, std::map<long, std::function<void()>> events = {}, int fail_first = 0) {
    replace_settings(s);
    std::stop_source stop;
    clock.on_sleep = [&](test::FakeClock&) {
      while (!events.empty() && events.begin()->first <= now_s()) {
        events.begin()->second();
        events.erase(events.begin());
      }
      if (now_s() >= seconds) stop.request_stop();
    };
    test::ScopedFakeClock use(clock);
    run_sender(4, stop.get_token(), [&](const StopFd&, const std::function<void(Tunnel&)>& write_due) {
      PassResult r;
      if (fail_first > 0) {
        --fail_first;
        ++failed_passes;
        return r;
      }
      passes.push_back({now_s(), {}, {}});
      RecordingTunnel t(passes.back());
      write_due(t);
      r.connect_answer = true;
      return r;
    });
  }

  test::Sandbox sandbox;
  test::FakeClock clock;
  Settings s;
  std::vector<PassRecord> passes;
  int failed_passes = 0;
};

}  // namespace

TEST_F(KnxSender, NotUsed) {
  s.KNXUsing = false;
  enable({1});
  run(10);
  EXPECT_NE(sandbox.log().find("Thread 4: KNX interface not used ...\n"), std::string::npos);
  EXPECT_TRUE(passes.empty());
}

TEST_F(KnxSender, NoDatapoints) {
  run(10);
  const std::string log = sandbox.log();
  EXPECT_NE(log.find("Thread 4: Starting knx interface...\n"), std::string::npos);
  EXPECT_NE(log.find("KNX: No datapoints activated...exit!\n"), std::string::npos);
  EXPECT_TRUE(passes.empty());
  EXPECT_EQ(clock.sleeps(), 0);
}

TEST_F(KnxSender, CountLine) {
  enable({1, 12});
  run(5);
  EXPECT_NE(sandbox.log().find("KNX: 2 datapoint(s) activated (1 cycle, 1 on change)...\n"), std::string::npos);
}

TEST_F(KnxSender, InvalidGatewayAddressEndsTheThread) {
  enable({1});
  s.KNXRouter = "knx.example";
  run(100);
  EXPECT_NE(sandbox.log().find("KNX thread: gateway address knx.example is not a dotted IPv4 address...exit!\n"),
            std::string::npos);
  EXPECT_TRUE(passes.empty());
}

TEST_F(KnxSender, PortOutOfRangeEndsTheThread) {
  enable({1});
  s.KNXPort = 70000;
  run(100);
  EXPECT_NE(sandbox.log().find("KNX thread: gateway port 70000 out of range...exit!\n"), std::string::npos);
  EXPECT_TRUE(passes.empty());
}

TEST_F(KnxSender, CyclicPassesEveryIntervalPlusOneSecond) {
  enable({1, 5});
  run(200);
  std::vector<long> at;
  for (const auto& p : passes) {
    at.push_back(p.at_s);
    EXPECT_EQ(p.datapoints, (std::vector<int>{1, 5}));
  }
  EXPECT_EQ(at, (std::vector<long>{34, 65, 96, 127, 158, 189}));  // 3 s start pause, then 31 s apart
}

TEST_F(KnxSender, IntervalIsReadEverySecond) {
  enable({1});
  s.KNXInterval = 10;
  run(40);
  std::vector<long> at;
  for (const auto& p : passes) at.push_back(p.at_s);
  EXPECT_EQ(at, (std::vector<long>{14, 25, 36}));
}

TEST_F(KnxSender, ChangePassKeepsTheCycleCounter) {
  enable({1, 12, 13});
  run(70, {{13, [] { live().ChargingMode = 2; }}});
  ASSERT_EQ(passes.size(), 4u);
  // First pass at once: the on-change values differ from the start value 0,
  // and the first pass sends every on-change datapoint.
  EXPECT_EQ(passes[0].at_s, 3);
  EXPECT_EQ(passes[0].datapoints, (std::vector<int>{12, 13}));
  // The change 10 s later sends only what changed.
  EXPECT_EQ(passes[1].at_s, 13);
  EXPECT_EQ(passes[1].datapoints, (std::vector<int>{12}));
  EXPECT_EQ(passes[1].payloads[0], (std::vector<std::uint8_t>{2}));
  // The cyclic pass still comes 31 s after the start of the waiting.
  EXPECT_EQ(passes[2].at_s, 34);
  EXPECT_EQ(passes[2].datapoints, (std::vector<int>{1}));
  EXPECT_EQ(passes[3].at_s, 65);
}

TEST_F(KnxSender, OnlyOnChangeDatapointsAndTheRefreshAfter600Seconds) {
  enable({12, 13});
  run(1000, {{100, [] { live().ChargingMode = 2; }}, {700, [] { live().ChargingMode = 3; }}});
  ASSERT_EQ(passes.size(), 3u);
  EXPECT_EQ(passes[0].at_s, 3);
  EXPECT_EQ(passes[0].datapoints, (std::vector<int>{12, 13}));
  EXPECT_EQ(passes[1].at_s, 100);
  EXPECT_EQ(passes[1].datapoints, (std::vector<int>{12}));
  // More than 600 s of waiting in total: this change pass sends them all.
  EXPECT_EQ(passes[2].at_s, 700);
  EXPECT_EQ(passes[2].datapoints, (std::vector<int>{12, 13}));
}

TEST_F(KnxSender, OffModeIsSentAsZeroAndItsChangesStillCount) {
  enable({12});
  live().ChargingMode = 4;
  run(30, {{10, [] { live().ChargingMode = 5; }}});
  ASSERT_EQ(passes.size(), 2u);
  EXPECT_EQ(passes[0].payloads[0], (std::vector<std::uint8_t>{0}));
  EXPECT_EQ(passes[1].at_s, 10);
  EXPECT_EQ(passes[1].payloads[0], (std::vector<std::uint8_t>{0}));
}

TEST_F(KnxSender, WallboxDatapointsNeedTheWallbox) {
  s.WallboxUsing = false;
  s.SSUsing = false;
  enable({4, 11, 12, 15, 21, 25});
  live().intpow = -3000;
  live().ss_ac_power = 1200;
  run(40, {{10, [] { live().ChargingMode = 3; }}});
  ASSERT_EQ(passes.size(), 1u);  // no change pass: the changed source is not in use
  EXPECT_EQ(passes[0].datapoints, (std::vector<int>{4, 11}));
  EXPECT_EQ(passes[0].payloads[1], (std::vector<std::uint8_t>{0, 0, 0x07, 0x08}));
}

TEST_F(KnxSender, AValueThatChangesBackStartsNoPass) {
  enable({12});
  // A change and its undoing within the same second of waiting: the test
  // compares with the value last sent, so nothing is due.
  run(40, {{5, [] {
             live().ChargingMode = 2;
             live().ChargingMode = 1;
           }}});
  ASSERT_EQ(passes.size(), 1u);
}

TEST_F(KnxSender, FailedPassesKeepTheFirstPassFlagAndDoNotSpin) {
  enable({12, 13});
  run(20, {}, 3);
  EXPECT_EQ(failed_passes, 3);
  ASSERT_EQ(passes.size(), 1u);
  EXPECT_EQ(passes[0].at_s, 6);  // one second after each failed attempt
  EXPECT_EQ(passes[0].datapoints, (std::vector<int>{12, 13}));
}
