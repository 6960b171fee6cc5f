#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

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
