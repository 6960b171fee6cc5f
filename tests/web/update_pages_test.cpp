#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "core/private_dir.hpp"
#include "core/settings.hpp"
#include "support/temp_dir.hpp"
#include "web/pages.hpp"
#include "web/update_descriptor.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;

namespace {

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

const char* kDescriptor =
    "<?xml version=\"1.0\"?>\n<kivupdate><date>2026-12-01T10:00</date>"
    "<version><major>2</major><minor>7</minor><revision>0</revision></version>"
    "<changelog>Faster & <b>better</b></changelog>"
    "<x86><filename>other.tar</filename><url>http://other/x86.tar</url></x86>"
    "<arm><filename>kivd-2.7.0.tar</filename><url>http://update.test/kivd-2.7.0.tar</url></arm>"
    "<arm><filename>second</filename><url>http://second/</url></arm></kivupdate>";

std::string without(const std::string& text, const std::string& part) {
  std::string s = text;
  s.erase(s.find(part), part.size());
  return s;
}

}  // namespace

TEST(UpdateDescriptor, ReadsEveryElementFirstOfEachName) {
  const auto d = parse_update_descriptor(kDescriptor, "arm");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->date, "2026-12-01");
  EXPECT_EQ(d->major, 2);
  EXPECT_EQ(d->minor, 7);
  EXPECT_EQ(d->revision, 0);
  EXPECT_EQ(d->changelog, "Faster & ");
  EXPECT_EQ(d->filename, "kivd-2.7.0.tar");
  EXPECT_EQ(d->url, "http://update.test/kivd-2.7.0.tar");
}

TEST(UpdateDescriptor, EveryElementRequired) {
  for (const char* part : {"<date>2026-12-01T10:00</date>", "<major>2</major>", "<minor>7</minor>",
                           "<revision>0</revision>", "<changelog>Faster & <b>better</b></changelog>",
                           "<filename>kivd-2.7.0.tar</filename>", "<url>http://update.test/kivd-2.7.0.tar</url>"}) {
    // Remove it from the first arm element only, the second must not stand in.
    EXPECT_FALSE(parse_update_descriptor(without(kDescriptor, part), "arm")) << part;
  }
  EXPECT_FALSE(parse_update_descriptor(kDescriptor, "mips"));
}

TEST(UpdateDescriptor, BrokenXmlAndAtoiNumbers) {
  EXPECT_FALSE(parse_update_descriptor("<?xml version=\"1.0\"?><a><date>", "arm"));
  EXPECT_FALSE(parse_update_descriptor("", "arm"));
  const std::string t = "<?xml version=\"1.0\"?><r><date/><version><major> 3x</major><minor>-1</minor><revision>"
                        "</revision></version><changelog/><arm><filename/><url/></arm></r>";
  const auto d = parse_update_descriptor(t, "arm");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->major, 3);
  EXPECT_EQ(d->minor, -1);
  EXPECT_EQ(d->revision, 0);
}

TEST(UpdateDescriptor, LongTextsCut) {
  std::string t = kDescriptor;
  t.replace(t.find("Faster & <b>better</b>"), 22, std::string(1000, 'c'));
  const auto d = parse_update_descriptor(t, "arm");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->changelog.size(), 899u);
}

TEST(UpdateVersion, Comparison) {
  EXPECT_FALSE(is_newer_version(2, 6, 107, 2, 6, 107));
  EXPECT_TRUE(is_newer_version(2, 7, 0, 2, 6, 107));
  EXPECT_TRUE(is_newer_version(3, 0, 0, 2, 10, 5));
  EXPECT_FALSE(is_newer_version(2, 5, 200, 2, 6, 1));
  EXPECT_TRUE(is_newer_version(2, 6, 108, 2, 6, 107));
  EXPECT_FALSE(is_newer_version(1, 99, 99, 2, 0, 0));
}

TEST(UpdateAnswer, BodyAfterHeader) {
  EXPECT_FALSE(http_answer_body("HTTP/1.0 200 OK\r\nX: y\r\n", 100));
  EXPECT_EQ(*http_answer_body("HTTP/1.0 200 OK\r\n\r\n<?xml a\r\n\r\nb", 100), "<?xml a\r\n\r\nb");
  EXPECT_EQ(*http_answer_body("H\r\n\r\n0123456789", 4), "0123");
}

TEST(DownloadQuery, LengthLimits) {
  const std::string base = "/download?url=http://a/";
  auto with_len = [&](std::size_t n) { return base + std::string(n - (base.size() - 10), 'x'); };
  ASSERT_EQ(with_len(198).size() - 10, 198u);
  const DownloadQuery ok = parse_download_query(with_len(198));
  EXPECT_EQ(ok.error, DownloadQuery::Error::None);
  EXPECT_EQ(ok.url.size(), 198u - 4);
  EXPECT_EQ(parse_download_query(with_len(199)).error, DownloadQuery::Error::NoValidUrl);
  EXPECT_EQ(parse_download_query(with_len(200)).error, DownloadQuery::Error::TooLong);
  EXPECT_EQ(parse_download_query(with_len(500)).error, DownloadQuery::Error::TooLong);
}

TEST(DownloadQuery, LastUrlWinsTakenAsSent) {
  const DownloadQuery q = parse_download_query("/download?x=1&url=A&url=http://b/%41?c");
  EXPECT_EQ(q.error, DownloadQuery::Error::None);
  EXPECT_EQ(q.url, "http://b/%41");
  EXPECT_EQ(parse_download_query("/download?URL=A").error, DownloadQuery::Error::NoValidUrl);
  EXPECT_EQ(parse_download_query("/download?").error, DownloadQuery::Error::NoValidUrl);
  EXPECT_EQ(parse_download_query("/download").error, DownloadQuery::Error::NoValidUrl);
  EXPECT_EQ(parse_download_query("/x/download?url=http://a/").error, DownloadQuery::Error::NoValidUrl);
  EXPECT_EQ(parse_download_query("/download?url=a=b").url, "a");
}

TEST(DownloadUrl, OnlyHttpAndHttps) {
  EXPECT_TRUE(download_url_allowed("http://update.test/kivd.tar"));
  EXPECT_TRUE(download_url_allowed("HTTPS://update.test:8443/a?b=c&d=%20"));
  for (const char* bad : {"ftp://a/b", "file:///etc/passwd", "-O/etc/passwd", "http://", "http:///x",
                          "http://a/b c", "http://a/`reboot`", "http://a/x|sh", "http://a/$(id)\n",
                          "http://a/\"x\"", "http://a/<x>", "http://a/{x}", "http://a/\\x", " http://a/"})
    EXPECT_FALSE(download_url_allowed(bad)) << bad;
}

class DownloadPage : public ::testing::Test {
 protected:
  std::string download(const std::string& target) {
    req.method = Method::GET;
    req.resource = target;
    PageContext ctx{req, webtest::fixed_time(), 0};
    StringSink out;
    page_download(out, ctx);
    return out.text;
  }
  // As an update check that offered url leaves it.
  void offer(const std::string& url) {
    ASSERT_FALSE(private_dir().empty());
    sb.dir().write("kivd.d/kivupdate.url", url);
  }
  test::Sandbox sb;
  ReqInfo req;
};

TEST_F(DownloadPage, RefusedUrlRunsNothing) {
  // A wget that would leave a mark: it must never be started.
  test::TempDir bin;
  bin.write("wget", "#!/bin/sh\ntouch " + bin.file("ran") + "\n");
  chmod(bin.file("wget").c_str(), 0755);
  const std::string old_path = std::getenv("PATH");
  setenv("PATH", (bin.path() + ":" + old_path).c_str(), 1);
  const std::string p = download("/download?url=http://a/`touch%20/tmp/x`;id");
  const std::string p2 = download("/download?url=file:///etc/shadow");
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_TRUE(has(p, "</head><body><PRE>Error: only http:// or https:// URLs are accepted\n</PRE><br /><input type=\"button\" value=\"Home\" data-href=\"/\">\n</BODY></HTML>\n"));
  EXPECT_TRUE(has(p2, "Error: only http:// or https:// URLs are accepted"));
  EXPECT_NE(access(bin.file("ran").c_str(), F_OK), 0);
}

TEST_F(DownloadPage, QueryErrorTexts) {
  EXPECT_TRUE(has(download("/x/download?url=http://a/"), "<PRE>Error: no valid url found\n</PRE>"));
  EXPECT_TRUE(has(download("/download?url=" + std::string(200, 'a')), "<PRE>Error: url string is too long\n</PRE>"));
}

TEST_F(DownloadPage, FailedDownloadShowsEscapedLogAndStops) {
  test::TempDir bin;
  bin.write("wget", "#!/bin/sh\nwhile [ $# -gt 1 ]; do [ \"$1\" = -o ] && log=$2; shift; done\n"
                    "echo '<b>404 Not Found</b>' > \"$log\"\nexit 8\n");
  chmod(bin.file("wget").c_str(), 0755);
  const std::string old_path = std::getenv("PATH");
  setenv("PATH", (bin.path() + ":" + old_path).c_str(), 1);
  const std::string refused = download("/download?url=http://a/k.tar");
  offer("http://a/k.tar");
  const std::string p = download("/download?url=http://a/k.tar");
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_TRUE(has(refused, "<PRE>Error: only the update offered by the last update check can be downloaded\n</PRE>"));
  EXPECT_TRUE(has(p, "Connecting to download...\n\n&lt;b&gt;404 Not Found&lt;/b&gt;\nError: download failed, please try again later!\n"));
  EXPECT_NE(access(sb.dir().file("kivd.d/kivupdate.tar").c_str(), F_OK), 0);
}

TEST_F(DownloadPage, OnlyTheOfferedUrlIsFetched) {
  test::TempDir bin;
  bin.write("wget", "#!/bin/sh\necho \"$@\" > " + bin.file("ran") + "\nexit 8\n");
  chmod(bin.file("wget").c_str(), 0755);
  const std::string old_path = std::getenv("PATH");
  setenv("PATH", (bin.path() + ":" + old_path).c_str(), 1);
  offer("http://a/k-2.7.0.tar");
  const std::string other = download("/download?url=http://evil/k.tar");
  const bool ran_for_other = access(bin.file("ran").c_str(), F_OK) == 0;
  download("/download?url=http://a/k-2.7.0.tar");
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_TRUE(has(other, "Error: only the update offered by the last update check can be downloaded"));
  EXPECT_FALSE(ran_for_other);
  EXPECT_NE(sb.log().find("download refused, not the URL the last update check offered: http://evil/k.tar"),
            std::string::npos);
  EXPECT_TRUE(has(bin.read("ran"), "http://a/k-2.7.0.tar"));
}

TEST(UpdatePage, NinetyCells) {
  ReqInfo req;
  req.resource = "/update";
  PageContext ctx{req, webtest::fixed_time(), 0};
  StringSink out;
  page_update(out, ctx);
  std::size_t n = 0;
  for (std::size_t p = out.text.find("<span id=\"progress"); p != std::string::npos;
       p = out.text.find("<span id=\"progress", p + 1))
    ++n;
  EXPECT_EQ(n, 90u);
  EXPECT_TRUE(has(out.text, "<meta name=\"kivd-progress\" data-end=\"90\" data-interval=\"1000\">"));
  EXPECT_TRUE(has(out.text, "<span id=\"progress90\">&nbsp; &nbsp;</span>\n</div></td></tr>\n<tr><td><PRE>\nCancel all webserver connections...\n"));
  EXPECT_TRUE(has(out.text, "please restart the service or device manually.\n</PRE></td></tr></table>\n</BODY></HTML>\n"));
}
