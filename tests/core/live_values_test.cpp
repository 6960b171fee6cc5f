#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/day_history.hpp"
#include "core/live_values.hpp"
#include "core/seq_text.hpp"

using namespace kivd;

TEST(SeqText, CutsAndTerminates) {
  SeqText<8> t("abcdefghijkl");
  EXPECT_EQ(t.get(), "abcdefg");
  t.set("");
  EXPECT_EQ(t.get(), "");
}

TEST(SeqText, ReadersNeverSeeAMixOfTwoTexts) {
  SeqText<60> t("A");
  const std::string a(59, 'a'), b(30, 'b');
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) t.set(i % 2 ? a : b);
    done = true;
  });
  long bad = 0;
  while (!done) {
    const std::string s = t.get();
    if (s != a && s != b && s != "A") ++bad;
  }
  writer.join();
  EXPECT_EQ(bad, 0);
}

TEST(SeqText, ForkedChildReadsWithoutWaiting) {
  SeqText<60> t("wallbox not found");
  const pid_t pid = fork();
  if (pid == 0) _exit(t.get() == "wallbox not found" ? 0 : 1);
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(LiveValues, InitialValues) {
  LiveValues v;
  EXPECT_EQ(v.wb_product_id.get(), "wallbox not found");
  EXPECT_EQ(v.ss_devicename.get(), "searching storage");
  EXPECT_EQ(v.ss_serial.get(), "unknown");
  EXPECT_EQ(v.last_kiv_datetime.get(), "00.00.0000 00:00:00");
  EXPECT_EQ(v.wb_state, -1);
  EXPECT_EQ(v.wb_plug, -1);
  EXPECT_EQ(v.wb_curr_max_percent, 1000);
  EXPECT_EQ(v.points, 5);
  EXPECT_EQ(v.ChargingMode, 1);
}

TEST(LiveValues, StampFormat) {
  setenv("TZ", "UTC", 1);
  tzset();
  char out[20];
  format_stamp(1780000000, out);  // 2026-05-28 20:26:40 UTC
  EXPECT_STREQ(out, "28.05.2026 20:26:40");
}

namespace {

std::vector<DayPoint> day_points(const DayHistory& h) {
  std::vector<DayPoint> out(DayHistory::kPoints);
  out.resize(h.copy(out));
  return out;
}

}  // namespace

TEST(DayHistory, KeepsTheLastDayOldestFirst) {
  struct Case {
    int added;
    std::size_t held;
    std::int64_t first, last;
  } const cases[] = {
      {0, 0, 0, 0},       {1, 1, 1, 1},         {1439, 1439, 1, 1439}, {1440, 1440, 1, 1440},
      {1441, 1440, 2, 1441}, {2880, 1440, 1441, 2880}, {3000, 1440, 1561, 3000},
  };
  for (const Case& c : cases) {
    auto h = std::make_unique<DayHistory>();
    for (int i = 1; i <= c.added; ++i) h->add({.time = i, .grid_w = -i, .meter_stale = i % 2 == 0});
    const std::vector<DayPoint> p = day_points(*h);
    ASSERT_EQ(p.size(), c.held) << c.added;
    if (p.empty()) continue;
    EXPECT_EQ(p.front().time, c.first) << c.added;
    EXPECT_EQ(p.back().time, c.last) << c.added;
    EXPECT_EQ(p.back().grid_w, -c.last);
    EXPECT_EQ(p.back().meter_stale, c.last % 2 == 0);
    std::vector<DayPoint> small(10);
    EXPECT_EQ(h->copy(small), 0u);
  }
}

TEST(DayHistory, ReadersSeeWholePointsInOrder) {
  auto h = std::make_unique<DayHistory>();
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i <= 5000; ++i) h->add({.time = i, .grid_w = i, .car_w = 2 * i, .soc = i % 100});
    done = true;
  });
  long bad = 0;
  while (!done) {
    const std::vector<DayPoint> p = day_points(*h);
    for (std::size_t k = 0; k < p.size(); ++k) {
      const DayPoint& d = p[k];
      if (d.grid_w != d.time || d.car_w != 2 * d.time || (k > 0 && d.time != p[k - 1].time + 1)) ++bad;
    }
  }
  writer.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(day_points(*h).back().time, 5000);
}
