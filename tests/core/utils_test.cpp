#include <gtest/gtest.h>

#include <algorithm>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "core/local_time.hpp"
#include "core/log.hpp"
#include "core/private_dir.hpp"
#include "core/test_hooks.hpp"
#include "core/utils.hpp"
#include "support/fake_clock.hpp"
#include "support/temp_dir.hpp"

using namespace kivd;

TEST(Utils, ParseHex) {
  EXPECT_EQ(parseHex("1A"), 26u);
  EXPECT_EQ(parseHex("1a"), 26u);
  EXPECT_EQ(parseHex("1G"), 0u);
  EXPECT_EQ(parseHex(""), 0u);
  EXPECT_EQ(parseHex("FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(parseHex("100000000"), 0u);  // wraps
}

TEST(Utils, MidCutsInPlace) {
  char buf[] = "abcdef";
  EXPECT_STREQ(mid(buf, 2, 3), "cde");
  EXPECT_STREQ(buf, "abcde");
  char small[] = "abc";
  EXPECT_STREQ(mid(small, 5, 2), "");
  char whole[] = "abc";
  EXPECT_STREQ(mid(whole, 1, 10), "bc");
}

TEST(Utils, IsNumeric) {
  EXPECT_FALSE(is_numeric(""));
  EXPECT_FALSE(is_numeric("-5"));
  EXPECT_FALSE(is_numeric("5.0"));
  EXPECT_FALSE(is_numeric(" 5"));
  EXPECT_TRUE(is_numeric("123"));
  EXPECT_TRUE(is_numeric("007"));
}

TEST(Utils, StringReplaceFirstOnly) {
  EXPECT_EQ(stringReplace("%2F", "/", "8%2F1%2F4"), "8/1%2F4");
  EXPECT_EQ(stringReplace("x", "y", "abc"), "abc");
}

TEST(Utils, BuildGetQuery) {
  EXPECT_EQ(build_get_query("h", "/a/b"),
            "GET /a/b HTTP/1.1\r\nHost: h\r\nUser-Agent: dovireruzida/1.0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(build_get_query("h", "a/b"), build_get_query("h", "/a/b"));
}

TEST(Utils, AtoiRules) {
  EXPECT_EQ(atoi_rules("0900"), 900);  // decimal, never octal
  EXPECT_EQ(atoi_rules("0x10"), 0);
  EXPECT_EQ(atoi_rules("  -1380 W"), -1380);
  EXPECT_EQ(atoi_rules("12abc"), 12);
  EXPECT_EQ(atoi_rules("abc"), 0);
  EXPECT_EQ(atoi_rules("+7"), 7);
  EXPECT_EQ(atoi_rules("99999999999999999999"), 2147483647);
  EXPECT_EQ(atoi_rules("-99999999999999999999"), -2147483647 - 1);
}

TEST(Utils, FileExistsAndExecutew) {
  test::TempDir d;
  EXPECT_TRUE(FileExists(d.path()));
  EXPECT_FALSE(FileExists(d.file("missing")));
  int status = -1;
  ASSERT_TRUE(executew({"sh", "-c", "echo hi > \"$0\"", d.file("out")}, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(d.read("out"), "hi\n");
  EXPECT_FALSE(executew({"/nonexistent/program"}));
  // The daemon ignores SIGPIPE; what it starts has the default (bit 13 of SigIgn).
  struct sigaction ign {}, before {};
  ign.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ign, &before);
  ASSERT_TRUE(executew({"sh", "-c", "test $((0x$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status) & 0x1000)) = 0"},
                       &status));
  ::sigaction(SIGPIPE, &before, nullptr);
  EXPECT_EQ(status, 0);
}

TEST(PrivateDir, CreatedForTheDaemonAloneAndNothingElseUsed) {
  test::Sandbox box;
  const std::string parent = box.dir().path(), dir = parent + "/kivd.d";
  ASSERT_EQ(private_dir(), dir);
  struct stat st;
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(private_dir(), dir);  // an existing folder of its own is used
  ::chmod(dir.c_str(), 0750);
  EXPECT_EQ(private_dir(), "");
  ::rmdir(dir.c_str());
  test::TempDir elsewhere;
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), dir.c_str()), 0);
  EXPECT_EQ(private_dir(), "");
  ::unlink(dir.c_str());
  box.dir().write("kivd.d", "x");
  EXPECT_EQ(private_dir(), "");
  const std::string log = box.log();
  EXPECT_NE(log.find("not used: open to group or others"), std::string::npos) << log;
  EXPECT_NE(log.find("not used: not a folder"), std::string::npos) << log;
}

// A request child stamps its lines by arithmetic from the parent's UTC
// offset; the line must read as the parent's asctime form would.
TEST(Log, ForkedChildWritesTheParentsLineForm) {
  test::Sandbox box;
  const std::time_t before = std::time(nullptr);
  const TimeSnapshot snap = take_time_snapshot();
  const pid_t pid = ::fork();
  if (pid == 0) {
    enter_forked_child(snap.local.tm_gmtoff);
    log_line("child %d", 7);
    ::_exit(in_forked_child() ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
  const std::time_t after = std::time(nullptr);
  const std::string line = box.log();
  bool matched = false;
  for (std::time_t t = before; t <= after; ++t) {
    std::tm tm{};
    char stamp[32];
    asctime_r(localtime_r(&t, &tm), stamp);
    matched |= line == std::string(stamp, 24) + " child 7\n";
  }
  EXPECT_TRUE(matched) << line;
}

TEST(Log, LinkAtTheLogPathIsNotFollowed) {
  test::Sandbox box;
  box.dir().write("victim", "kept\n");
  ::unlink(box.log_file().c_str());
  ASSERT_EQ(::symlink(box.dir().file("victim").c_str(), box.log_file().c_str()), 0);
  log_line("through the link");
  EXPECT_EQ(box.dir().read("victim"), "kept\n");
}

TEST(Log, ForeignControlBytesEscaped) {
  test::Sandbox box;
  ::unlink(box.log_file().c_str());
  log_line("target %s", "/x\r\nFri Dec  4 10:00:00 2026 forged\x1b[2J\x7f\tend");
  log_line("own line end\n");
  // 8-bit CSI, C1 as UTF-8, a right-to-left override and a cut sequence go;
  // letters of other scripts stay.
  log_line("utf8 %s", "\x9b" "2J \xc2\x9b \xe2\x80\xae \xc3\xa4\xe2\x82\xac \xe2\x82");
  const std::string log = box.log();
  EXPECT_NE(log.find(" utf8 \\x9b2J \\xc2\\x9b \\xe2\\x80\\xae \xc3\xa4\xe2\x82\xac \\xe2\\x82\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find(" target /x\\x0d\\x0aFri Dec  4 10:00:00 2026 forged\\x1b[2J\\x7f\\x09end\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find(" own line end\n"), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
}

TEST(TestHooks, OnlyWithHooksOneAndValuesInRange) {
  struct Case { const char* hooks; const char* secs; int want; } cases[] = {
      {nullptr, "2", 60}, {"yes", "2", 60}, {"1", "2", 2}, {"1", "0", 60}, {"1", "61", 60}, {"1", nullptr, 60}};
  for (const Case& c : cases) {
    c.hooks ? setenv("KIVD_TEST_HOOKS", c.hooks, 1) : unsetenv("KIVD_TEST_HOOKS");
    c.secs ? setenv("KIVD_TEST_SQL_SECONDS", c.secs, 1) : unsetenv("KIVD_TEST_SQL_SECONDS");
    EXPECT_EQ(test_sql_seconds(), c.want) << (c.hooks ? c.hooks : "-") << " " << (c.secs ? c.secs : "-");
  }
  unsetenv("KIVD_TEST_HOOKS");
  unsetenv("KIVD_TEST_SQL_SECONDS");
}

TEST(RepeatingLine, WrittenOnceThenCountedOnceAMinute) {
  test::Sandbox box;
  test::FakeClock clock;
  test::ScopedFakeClock use(clock);
  auto count = [&](const std::string& part) {
    const std::string log = box.log();
    int n = 0;
    for (auto at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
    return n;
  };
  RepeatingLine line;
  for (int i = 0; i < 12; ++i, clock.advance(std::chrono::seconds(5))) line.log("KNX thread: gateway %s down", "gw");
  EXPECT_EQ(count("gateway gw down\n"), 1) << box.log();
  EXPECT_EQ(count("gateway gw down ... repeated 11 times\n"), 0) << "within the minute";
  line.log("KNX thread: gateway %s down", "gw");  // 60 s after the first
  EXPECT_EQ(count("gateway gw down ... repeated 12 times\n"), 1) << box.log();
  line.log("KNX thread: gateway %s down", "gw");
  line.log("KNX thread: gateway %s down", "other");  // another text: the count first, then the line
  EXPECT_EQ(count("gateway gw down ... repeated 1 times\n"), 1) << box.log();
  EXPECT_EQ(count("gateway other down\n"), 1);
  line.log("KNX thread: gateway %s down", "other");
  line.clear();
  EXPECT_EQ(count("gateway other down ... repeated 1 times\n"), 1) << box.log();
  line.clear();
  line.log("KNX thread: gateway %s down", "other");
  EXPECT_EQ(count("gateway other down\n"), 2) << "after clear() the line is new";
  EXPECT_EQ(count("repeated"), 3);
}
