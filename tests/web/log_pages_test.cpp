#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "core/settings.hpp"
#include "support/temp_dir.hpp"
#include "web/log_archive.hpp"
#include "web/pages.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;

namespace {

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

std::string numbered_lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += "line " + std::to_string(i) + "\n";
  return s;
}

std::tm day(int y, int m, int d) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = m - 1;
  t.tm_mday = d;
  return t;
}

std::size_t count(const std::string& s, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t p = s.find(part); p != std::string::npos; p = s.find(part, p + 1)) ++n;
  return n;
}

}  // namespace

TEST(LogTail, AllOfTenLines) {
  test::TempDir d;
  d.write("l", numbered_lines(1, 10));
  const LogTail t = read_log_tail(d.file("l"));
  ASSERT_EQ(t.kind, LogTail::Kind::Lines);
  EXPECT_EQ(t.text, numbered_lines(1, 10));
}

TEST(LogTail, LastTwoHundredFiftyOfThousand) {
  test::TempDir d;
  d.write("l", numbered_lines(1, 1000));
  EXPECT_EQ(read_log_tail(d.file("l")).text, numbered_lines(751, 1000));
}

TEST(LogTail, ExactlyTwoHundredFiftyAndOneMore) {
  test::TempDir d;
  d.write("a", numbered_lines(1, 250));
  EXPECT_EQ(read_log_tail(d.file("a")).text, numbered_lines(1, 250));
  d.write("b", numbered_lines(1, 251));
  EXPECT_EQ(read_log_tail(d.file("b")).text, numbered_lines(2, 251));
}

TEST(LogTail, LastLineWithoutLineFeedCounts) {
  test::TempDir d;
  d.write("l", numbered_lines(1, 300) + "tail");
  const std::string t = read_log_tail(d.file("l")).text;
  EXPECT_EQ(t, numbered_lines(52, 300) + "tail");
}

TEST(LogTail, LongLineCutAt999KeepsItsLineFeed) {
  test::TempDir d;
  d.write("l", std::string(1500, 'a') + "\nnext\n");
  EXPECT_EQ(read_log_tail(d.file("l")).text, std::string(999, 'a') + "\nnext\n");
}

TEST(LogTail, PercentSignsUnchangedMarkupEscaped) {
  test::TempDir d;
  d.write("l", "load 100% %s %n %d\n</textarea><script>alert('x')</script>\n");
  EXPECT_EQ(read_log_tail(d.file("l")).text,
            "load 100% %s %n %d\n&lt;/textarea&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;\n");
}

TEST(LogTail, CutBeforeEscapingNeverSplitsAnEntity) {
  test::TempDir d;
  d.write("l", std::string(998, 'a') + "<<\n");
  EXPECT_EQ(read_log_tail(d.file("l")).text, std::string(998, 'a') + "&lt;\n");
}

TEST(LogTail, MissingAndEmpty) {
  test::TempDir d;
  EXPECT_EQ(read_log_tail(d.file("none")).kind, LogTail::Kind::NotFound);
  d.write("e", "");
  EXPECT_EQ(read_log_tail(d.file("e")).kind, LogTail::Kind::Empty);
}

TEST(LogArchive, Name) {
  EXPECT_EQ(log_archive_name("/tmp/kivd.log", day(2026, 12, 6)), "/tmp/kivd.log-20261206.tar.gz");
  EXPECT_EQ(log_archive_name("/tmp/kivd.log", day(2027, 1, 9), 2), "/tmp/kivd.log-20270109-2.tar.gz");
}

TEST(LogArchive, ArchivesThenRemovesAndKeepsEarlierArchiveOfTheDay) {
  test::TempDir d;
  const std::string log = d.file("kivd.log");
  d.write("kivd.log", "first\n");
  std::string why;
  EXPECT_EQ(archive_log(log, day(2026, 12, 7), &why), d.file("kivd.log-20261207.tar.gz")) << why;
  EXPECT_NE(access(log.c_str(), F_OK), 0);
  d.write("kivd.log", "second\n");
  EXPECT_EQ(archive_log(log, day(2026, 12, 7), &why), d.file("kivd.log-20261207-2.tar.gz")) << why;
  // The first archive still holds the first log.
  const std::string cmd = "tar xzOf " + d.file("kivd.log-20261207.tar.gz") + " kivd.log > " + d.file("out");
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(d.read("out"), "first\n");
}

TEST(LogArchive, FailedTarKeepsTheLogAndLeavesNoFile) {
  test::TempDir d;
  test::TempDir bin;
  bin.write("tar", "#!/bin/sh\nexit 2\n");
  chmod(bin.file("tar").c_str(), 0755);
  const std::string old_path = std::getenv("PATH");
  setenv("PATH", bin.path().c_str(), 1);
  d.write("kivd.log", "keep me\n");
  std::string why;
  const std::string r = archive_log(d.file("kivd.log"), day(2026, 12, 7), &why);
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_EQ(r, "");
  EXPECT_EQ(why, "tar failed");
  EXPECT_EQ(d.read("kivd.log"), "keep me\n");
  const std::string ls = "test $(ls " + d.path() + " | wc -l) -eq 1";
  EXPECT_EQ(std::system(ls.c_str()), 0);
}

TEST(LogArchive, LinkPlacedAtTheArchiveNameIsNotFollowed) {
  test::TempDir d;
  d.write("victim", "precious\n");
  ASSERT_EQ(symlink(d.file("victim").c_str(), d.file("kivd.log-20261207.tar.gz").c_str()), 0);
  d.write("kivd.log", "x\n");
  std::string why;
  EXPECT_EQ(archive_log(d.file("kivd.log"), day(2026, 12, 7), &why), d.file("kivd.log-20261207-2.tar.gz"));
  EXPECT_EQ(d.read("victim"), "precious\n");
}

class LogPages : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings s = cfg();
    s.LOG_FILE = d.file("shown.log");
    replace_settings(s);
  }
  std::string render(void (*page)(Sink&, const PageContext&), const char* resource) {
    req.method = Method::GET;
    req.resource = resource;
    PageContext ctx{req, webtest::fixed_time(), 0};
    StringSink out;
    page(out, ctx);
    return out.text;
  }
  test::Sandbox sb;
  test::TempDir d;
  ReqInfo req;
};

TEST_F(LogPages, ShowsLinesInTheTextArea) {
  d.write("shown.log", "a < b\n");
  const std::string p = render(page_log, "/log");
  EXPECT_TRUE(has(p, "<textarea id=\"log\" cols=\"90\" rows=\"30\">\na &lt; b\n</textarea></div></td>\n</tbody></table>\n"));
  EXPECT_TRUE(has(p, "<meta name=\"kivd-confirm\" data-fn=\"ConfirmClearLog\" data-question=\"Do you want to delete the log file?\" data-target=\"/clearlog\"><TITLE>Orvane log page</TITLE>\n"));
  EXPECT_TRUE(has(p, "<BODY>\n<H2>Log page 2.6.107</H2>\n"));
  EXPECT_TRUE(has(p, "<br /><input type=\"button\" value=\"Clear log\" data-onclick=\"ConfirmClearLog\">\n</BODY>\n</HTML>\n"));
}

TEST_F(LogPages, MissingAndEmptyTexts) {
  EXPECT_TRUE(has(render(page_log, "/log"), "rows=\"30\">\nLog file not found.\n</textarea>"));
  d.write("shown.log", "");
  EXPECT_TRUE(has(render(page_log, "/log"), "rows=\"30\">\nThe log is empty.\n</textarea>"));
}

TEST_F(LogPages, ArchivesAtTheLimitShowsBelow) {
  std::string big(kLogArchiveSize - 1, 'x');
  for (std::size_t i = 99; i < big.size(); i += 100) big[i] = '\n';
  d.write("shown.log", big);
  EXPECT_FALSE(has(render(page_log, "/log"), "compressed"));
  d.write("shown.log", big + "\n");
  EXPECT_TRUE(has(render(page_log, "/log"), "rows=\"30\">\nThe log file has been compressed.\n</textarea>"));
  EXPECT_NE(access(d.file("shown.log").c_str(), F_OK), 0);
  struct stat st{};
  ASSERT_EQ(stat(d.file("shown.log-20261207.tar.gz").c_str(), &st), 0);
  EXPECT_GT(st.st_size, 0);
}

TEST_F(LogPages, LinkAtTheLogNameIsNotShown) {
  d.write("secret", "root:x:0:0\n");
  ASSERT_EQ(symlink(d.file("secret").c_str(), d.file("shown.log").c_str()), 0);
  const std::string p = render(page_log, "/log");
  EXPECT_FALSE(has(p, "root:x"));
  EXPECT_TRUE(has(p, "rows=\"30\">\nLog file not found.\n</textarea>"));
}

TEST_F(LogPages, ClearLogRedirectsToLog) {
  d.write("shown.log", "x\n");
  const std::string p = render(page_clearlog, "/CLEARLOG");
  EXPECT_NE(access(d.file("shown.log").c_str(), F_OK), 0);
  EXPECT_TRUE(has(p, "<meta http-equiv=\"refresh\" content=\"0;url=/log\">\n"));
  // Nothing to delete is no failure either.
  EXPECT_TRUE(has(render(page_clearlog, "/clearlog"), "url=/log"));
}

TEST_F(LogPages, ClearLogFailureRedirectsHome) {
  // A folder in place of the log cannot be unlinked.
  ASSERT_EQ(mkdir(d.file("shown.log").c_str(), 0700), 0);
  EXPECT_TRUE(has(render(page_clearlog, "/clearlog"), "url=/home"));
  rmdir(d.file("shown.log").c_str());
}

TEST_F(LogPages, RestartPageHasSixtyFiveCells) {
  const std::string p = render(page_restart, "/restart");
  EXPECT_EQ(count(p, "<span id=\"progress"), 65u);
  EXPECT_TRUE(has(p, "<span id=\"progress65\">&nbsp; &nbsp;</span>\n</div></td></tr></table>\n</BODY></HTML>\n"));
  EXPECT_TRUE(has(p, "<meta name=\"kivd-progress\" data-end=\"65\" data-interval=\"500\">\n"));
  EXPECT_EQ(p.rfind("<HTML><HEAD><TITLE>Restarting Orvane...</TITLE>\n<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n<style", 0), 0u);
}
