// Whole requests answered in this process: status lines, header blocks,
// hand-over files, static files.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "core/live_values.hpp"
#include "core/password_hash.hpp"
#include "core/settings.hpp"
#include "support/fake_clock.hpp"
#include "support/temp_dir.hpp"
#include "web/handover.hpp"
#include "web/http_io.hpp"
#include "web/page_common.hpp"
#include "web/sessions.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;
using webtest::serve_raw;

namespace {

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    webtest::reset_live();
    use_settings(true);
  }
  void TearDown() override { webtest::reset_live(); }
  void use_settings(bool wallbox) {
    Settings s = cfg();
    s.WallboxUsing = wallbox;
    replace_settings(s);
  }
  bool exists(const std::string& name) { return std::filesystem::exists(sb.dir().file(name)); }
  test::Sandbox sb;
};

std::string body_of(const std::string& answer) {
  const auto p = answer.find("\r\n\r\n");
  return p == std::string::npos ? answer : answer.substr(p + 4);
}

}  // namespace

TEST_F(ServeTest, HeaderBlockInOrder) {
  const std::string a = serve_raw("GET /XML HTTP/1.1\r\nHost: 10.0.0.5:18001\r\n\r\n");
  const std::string expect =
      "HTTP/1.1 200 OK\r\nDate: Mon, 07 Dec 2026 13:05:09 GMT\r\nServer: dovireruzida/1.0\r\n"
      "Expires: Sat, 10 Jun 2000 05:00:00 GMT\r\n"
      "Cache-Control: no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\nPragma: no-cache\r\n"
      "Connection: close\r\nX-Frame-Options: DENY\r\nContent-Security-Policy: default-src 'self'; script-src 'self'; "
      "style-src 'self' 'unsafe-inline'; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
      "form-action 'self'; frame-ancestors 'none'\r\nX-Content-Type-Options: nosniff\r\n"
      "Referrer-Policy: same-origin\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n"
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n";
  EXPECT_EQ(a.substr(0, expect.size()), expect);
  // Any other name may be rebound to this address: 421 for every path.
  for (const char* host : {"evil.example:18001", "evil.example", "10.0.0.5.evil", "[::g", "x", "a b"}) {
    const std::string r = serve_raw(std::string("GET /xml HTTP/1.1\r\nHost: ") + host + "\r\n\r\n");
    EXPECT_TRUE(r.starts_with("HTTP/1.1 421 Misdirected Request\r\n")) << host;
    EXPECT_EQ(r.find("<GetValues>"), std::string::npos) << host;
  }
}

TEST_F(ServeTest, DateHeaderUsesCalendarYear) {
  // 30 Dec 2024 lies in ISO week 1 of 2025.
  TimeSnapshot t;
  t.now = 1735560000;
  t.utc = civil_time(t.now, 0);
  ReqInfo r;
  r.resource = "/";
  StringSink out;
  Output_HTTP_Headers(out, r, t);
  EXPECT_NE(out.text.find("Date: Mon, 30 Dec 2024 12:00:00 GMT\r\n"), std::string::npos) << out.text;
}

TEST_F(ServeTest, SimpleRequestGetsNoHeaderBlock) {
  const std::string a = serve_raw("GET /home\r\n");
  EXPECT_EQ(a.rfind("<HTML>\n<HEAD>", 0), 0u) << a.substr(0, 80);
  EXPECT_NE(a.find("<TITLE>Orvane info page</TITLE>"), std::string::npos);
}

TEST_F(ServeTest, ErrorAnswersCarryTheirReasonPhrase) {
  const std::string a501 = serve_raw("PUT /x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(a501.rfind("HTTP/1.1 501 Not Implemented\r\n", 0), 0u);
  EXPECT_NE(a501.find("<TITLE>Orvane server error 501</TITLE>"), std::string::npos);
  EXPECT_NE(a501.find("<P>The requested service /x was not found.</P>"), std::string::npos);
  const std::string a404 = serve_raw("GET /style.CSS HTTP/1.1\r\n\r\n");
  EXPECT_EQ(a404.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  EXPECT_NE(a404.find("Content-Type: text/html; charset=UTF-8\r\n"), std::string::npos);
  const std::string a400 = serve_raw("GET / HTTP/1.1\r\nx\r\ny\r\n\r\n");
  EXPECT_EQ(a400.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
  EXPECT_NE(a400.find("Embedded kiv server 2.6.107 at Port 18001"), std::string::npos);
}

TEST_F(ServeTest, HostileResourceIsEscapedOnTheErrorPage) {
  const std::string a = serve_raw("GET /<script>alert('x')</script>&amp HTTP/1.1\r\n\r\n");
  EXPECT_EQ(a.find("<script>"), std::string::npos);
  EXPECT_NE(a.find("/&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;amp"), std::string::npos);
}

TEST_F(ServeTest, RestartHandedOverOnGetOnly) {
  serve_raw("HEAD /restart HTTP/1.1\r\n\r\n");
  EXPECT_FALSE(exists("kivd.d/kivd.act"));
  serve_raw("GET /RESTART HTTP/1.1\r\n\r\n");
  EXPECT_EQ(sb.dir().read("kivd.d/kivd.act"), "restart");
}

TEST_F(ServeTest, CrossSiteRequestRefusedAndLogged) {
  const std::string a = serve_raw("GET /restart HTTP/1.1\r\nSec-Fetch-Site: cross-site\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
  EXPECT_NE(a.find("came from another site"), std::string::npos);
  EXPECT_FALSE(exists("kivd.d/kivd.act"));
  EXPECT_NE(sb.log().find("Webserver: cross-site request refused (Sec-Fetch-Site): /restart\n"), std::string::npos);
  serve_raw("POST /control HTTP/1.1\r\nHost: h:1\r\nOrigin: http://evil\r\nContent-Length: 17\r\n\r\nWebChargingMode=3");
  EXPECT_FALSE(exists("kivd.d/kivd.var"));
}

TEST_F(ServeTest, PasswordNeededWhereSet) {
  test::FakeClock clock;
  test::ScopedFakeClock use(clock);
  make_shared_sessions();
  Settings s = cfg();
  s.WebPasswordHash = *hash_password("pw");
  replace_settings(s);
  // Scripts: 401 with a Basic challenge; the right password passes.
  std::string a = serve_raw("GET /remote?mode=quick HTTP/1.1\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u);
  EXPECT_NE(a.find("WWW-Authenticate: Basic realm=\"kivd\""), std::string::npos);
  EXPECT_FALSE(exists("kivd.var"));
  EXPECT_EQ(serve_raw("GET /xml HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200", 0), 0u);
  a = serve_raw("GET /log HTTP/1.1\r\nAuthorization: Basic OnB3\r\n\r\n");  // ":pw"
  EXPECT_EQ(a.rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_NE(a.find("value=\"Log out\""), std::string::npos);
  EXPECT_EQ(a.find("No web password is set"), std::string::npos);
  // Browsers: the login page, then a cookie that lasts while it is used.
  a = serve_raw("POST /login HTTP/1.1\r\nContent-Length: 23\r\n\r\nnext=%2Flog&password=pw");
  const auto at = a.find("Set-Cookie: kivd_session=");
  ASSERT_NE(at, std::string::npos) << a;
  EXPECT_NE(a.find("; Path=/; HttpOnly; SameSite=Strict\r\n"), std::string::npos);
  const std::string cookie = "Cookie: kivd_session=" + a.substr(at + 25, kTokenHexLength) + "\r\n";
  EXPECT_EQ(serve_raw("GET /log HTTP/1.1\r\n" + cookie + "\r\n").rfind("HTTP/1.1 200", 0), 0u);
  clock.advance(std::chrono::hours(12));
  EXPECT_EQ(serve_raw("GET /log HTTP/1.1\r\n" + cookie + "\r\n").rfind("HTTP/1.1 401", 0), 0u);
  // Wrong passwords: logged, and the sixth try within a minute is not checked.
  for (int i = 0; i < kTriesPerMinute; ++i)
    EXPECT_NE(serve_raw("GET /log HTTP/1.1\r\nAuthorization: Basic Ong\r\n\r\n").find("Wrong password"),
              std::string::npos);
  EXPECT_NE(sb.log().find("Webserver: wrong password from "), std::string::npos);
  a = serve_raw("GET /log HTTP/1.1\r\nAuthorization: Basic OnB3\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.1 429 Too Many Requests\r\n", 0), 0u);
  clock.advance(std::chrono::minutes(1));
  EXPECT_EQ(serve_raw("GET /log HTTP/1.1\r\nAuthorization: Basic OnB3\r\n\r\n").rfind("HTTP/1.1 200", 0), 0u);
  s.WebPasswordHash.clear();
  replace_settings(s);
}

TEST_F(ServeTest, UnusablePasswordHashLocksAllButTheOpenPages) {
  Settings s = cfg();
  s.WebPasswordHash = "$1$abcdefgh$abcdefghijklmnopqrstuv";
  replace_settings(s);
  for (const char* t : {"/log", "/remote?mode=quick", "/settings?x=.css", "/login"}) {
    const std::string a = serve_raw(std::string("GET ") + t + " HTTP/1.1\r\nAuthorization: Basic OnB3\r\n\r\n");
    EXPECT_EQ(a.rfind("HTTP/1.1 403", 0), 0u) << t;
    EXPECT_NE(a.find("kivd-passwd"), std::string::npos) << t;
  }
  EXPECT_FALSE(exists("kivd.d/kivd.var"));
  EXPECT_EQ(serve_raw("GET /xml HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200", 0), 0u);
  s.WebPasswordHash.clear();
  replace_settings(s);
}

TEST_F(ServeTest, UpdateHandedOver) {
  serve_raw("GET /update HTTP/1.1\r\n\r\n");
  EXPECT_EQ(sb.dir().read("kivd.d/kivd.act"), "update");
}

// A hand-over that cannot be written (a folder under its name stands in for a
// full disk) is answered as a failure, never as done.
TEST_F(ServeTest, HandOverNotWrittenAnswersFailure) {
  serve_raw("GET /xml HTTP/1.1\r\n\r\n");  // creates the private folder
  std::filesystem::create_directories(sb.dir().file("kivd.d/kivd.var"));
  std::filesystem::create_directories(sb.dir().file("kivd.d/kivd.act"));
  std::string a = serve_raw("GET /remote?mode=off&action=restart HTTP/1.1\r\n\r\n");
  EXPECT_NE(a.find("<parameters>failed</parameters>"), std::string::npos);
  EXPECT_NE(a.find("<action name=\"restart\">failed</action>"), std::string::npos);
  EXPECT_EQ(a.find("successful"), std::string::npos);
  for (const char* target : {"/restart", "/update"}) {
    a = serve_raw(std::string("GET ") + target + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(a.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << target;
    EXPECT_NE(a.find("nothing was changed"), std::string::npos) << target;
  }
  a = serve_raw("POST /control HTTP/1.1\r\nContent-Length: 17\r\n\r\nWebChargingMode=2");
  EXPECT_NE(a.find("\r\nLocation: /control?done=0\r\n"), std::string::npos);
  EXPECT_EQ(live().web_charge_mode.load(), 0);
}

TEST_F(ServeTest, BadRequestHandsNothingOver) {
  serve_raw("GET /restart HTTP/1.1\r\nx\r\ny\r\n\r\n");
  EXPECT_FALSE(exists("kivd.d/kivd.act"));
}

TEST_F(ServeTest, ControlPostOf198HandedOverAnd199Not) {
  std::string body = "WebChargingMode=2&ManualValue=16020&MinCharge=6000&MaxPhases=1&x=";
  body += std::string(198 - body.size(), 'a');
  ASSERT_EQ(body.size(), 198u);
  std::string a = serve_raw("POST /control HTTP/1.1\r\nContent-Length: 198\r\n\r\n" + body);
  EXPECT_EQ(sb.dir().read("kivd.d/kivd.var"), body);
  // Answered with a redirect to the page, which then shows the outcome.
  EXPECT_EQ(a.rfind("HTTP/1.1 303 See Other\r\n", 0), 0u);
  EXPECT_NE(a.find("\r\nLocation: /control?done=1\r\n"), std::string::npos);
  a = serve_raw("GET /control?done=1 HTTP/1.1\r\n\r\n");
  EXPECT_NE(a.find("Operation succeeded."), std::string::npos);
  // The child's own copy already shows the change.
  EXPECT_NE(a.find("value=\"2\" type=\"radio\" checked=\"checked\""), std::string::npos);
  std::filesystem::remove(sb.dir().file("kivd.d/kivd.var"));
  webtest::reset_live();

  a = serve_raw("POST /control HTTP/1.1\r\nContent-Length: 199\r\n\r\n" + body + "b");
  EXPECT_FALSE(exists("kivd.d/kivd.var"));
  EXPECT_EQ(live().web_charge_mode.load(), 0);
  EXPECT_NE(a.find("\r\nLocation: /control?done=0\r\n"), std::string::npos);
  a = serve_raw("GET /control?done=0 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(a.find("Operation succeeded."), std::string::npos);
  EXPECT_NE(a.find("Operation failed, nothing was changed."), std::string::npos);
}

TEST_F(ServeTest, ControlWithoutWallboxIs404AndChangesNothing) {
  use_settings(false);
  const std::string a = serve_raw("POST /control HTTP/1.1\r\nContent-Length: 17\r\n\r\nWebChargingMode=1");
  EXPECT_EQ(a.rfind("HTTP/1.1 404 Not Found", 0), 0u);
  EXPECT_FALSE(exists("kivd.d/kivd.var"));
  EXPECT_EQ(live().web_charge_mode.load(), 0);
}

TEST_F(ServeTest, RemoteHandsTheQueryOverAsReceived) {
  serve_raw("GET /remote?mode=quick&bogus=1&carmaxphases=3 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(sb.dir().read("kivd.d/kivd.var"), "mode=quick&bogus=1&carmaxphases=3");
  std::filesystem::remove(sb.dir().file("kivd.d/kivd.var"));
  // Answered "no valid parameter found", yet the daemon takes names without
  // regard to case: the pair goes over all the same.
  const std::string a = serve_raw("GET /remote?MODE=quick HTTP/1.1\r\n\r\n");
  EXPECT_NE(a.find("no valid parameter found"), std::string::npos);
  EXPECT_EQ(sb.dir().read("kivd.d/kivd.var"), "MODE=quick");
  std::filesystem::remove(sb.dir().file("kivd.d/kivd.var"));
  // A spelling that is answered 404 changes nothing.
  const std::string b = serve_raw("GET /REMOTE?mode=quick HTTP/1.1\r\n\r\n");
  EXPECT_EQ(b.rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_FALSE(exists("kivd.d/kivd.var"));
}

TEST_F(ServeTest, RemoteQueryLimit198) {
  std::string q = "mode=quick&x=";
  q += std::string(198 - q.size(), 'y');
  serve_raw("GET /remote?" + q + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(sb.dir().read("kivd.d/kivd.var"), q);
  std::filesystem::remove(sb.dir().file("kivd.d/kivd.var"));
  const std::string a = serve_raw("GET /remote?" + q + "y HTTP/1.1\r\n\r\n");
  EXPECT_FALSE(exists("kivd.d/kivd.var"));
  EXPECT_NE(a.find("\t<exception>parameter string is too long</exception>\n"), std::string::npos);
}

TEST_F(ServeTest, HeadAnsweredLikeGetWithoutBody) {
  for (const char* target : {"/xml", "/", "/nothing", "/style.css"}) {
    const std::string head = serve_raw(std::string("HEAD ") + target + " HTTP/1.1\r\n\r\n");
    const std::string get = serve_raw(std::string("GET ") + target + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head, get.substr(0, get.find("\r\n\r\n") + 4)) << target;
  }
}

// The policy allows no inline script: every page names its behaviour in data
// attributes for the built-in pages script, which is served to anyone.
TEST_F(ServeTest, PagesCarryNoInlineScript) {
  const std::regex inline_script(R"(<script(?![^>]*\b(src=|type="application/json")))", std::regex::icase);
  const std::regex handler(R"(\son[a-z]+\s*=|javascript:)", std::regex::icase);
  for (const char* target : {"/", "/control", "/log", "/settings", "/knx", "/history", "/nope", "/restart",
                             "/download?url=ftp://x", "/login"}) {
    const std::string page = body_of(serve_raw(std::string("GET ") + target + " HTTP/1.1\r\n\r\n"));
    EXPECT_NE(page.find("<script src=\"/pages.js\" defer></script>"), std::string::npos) << target;
    EXPECT_FALSE(std::regex_search(page, inline_script)) << target;
    EXPECT_FALSE(std::regex_search(page, handler)) << target;
  }
  const std::string js = serve_raw("GET /pages.js HTTP/1.1\r\n\r\n");
  EXPECT_NE(js.find("Content-Type: text/javascript"), std::string::npos);
  EXPECT_NE(body_of(js).find("function select_mode()"), std::string::npos);
}

class StaticTest : public ServeTest {
 protected:
  void SetUp() override {
    ServeTest::SetUp();
    res = sb.dir().file("usr/local/kiv/resources");
    std::filesystem::create_directories(res);
    sb.dir().write("usr/local/kiv/resources/style.css", "body {}\nh1 {}\n");
    sb.dir().write("usr/local/kiv/resources/big.png", std::string(20000, 'P'));
    sb.dir().write("secret.css", "SECRET");
    sb.dir().write("usr/local/kiv/resourcesX.css", "SIBLING");
  }
  std::string res;
};

TEST_F(StaticTest, TextFileServedWithItsType) {
  const std::string a = serve_raw("GET /style.css HTTP/1.1\r\n\r\n");
  EXPECT_NE(a.find("Content-Type: text/css\r\n"), std::string::npos);
  EXPECT_EQ(body_of(a), "body {}\nh1 {}\n");
}

TEST_F(StaticTest, BinaryFileCutAt10240) {
  const std::string a = serve_raw("GET /big.png HTTP/1.1\r\n\r\n");
  EXPECT_NE(a.find("Content-Type: image/png\r\n"), std::string::npos);
  EXPECT_EQ(body_of(a), std::string(10240, 'P'));
}

TEST_F(StaticTest, MissingFileGivesEmptyBody) {
  const std::string a = serve_raw("GET /none.js HTTP/1.1\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_EQ(body_of(a), "");
}

TEST_F(StaticTest, TraversalRefused) {
  for (const char* t : {"/../../../secret.css", "/..%2f..%2fsecret.css", "/..\\..\\secret.css"}) {
    const std::string a = serve_raw(std::string("GET ") + t + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(a.find("SECRET"), std::string::npos) << t;
  }
  EXPECT_EQ(serve_raw("GET /../../../secret.css HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404", 0), 0u);
  // A target without its leading slash would name a sibling of the folder.
  EXPECT_EQ(serve_raw("GET X.css HTTP/1.1\r\n\r\n").find("SIBLING"), std::string::npos);
}

TEST_F(StaticTest, LinkLeadingOutsideNotFollowed) {
  ASSERT_EQ(::symlink(sb.dir().file("secret.css").c_str(), (res + "/link.css").c_str()), 0);
  const std::string a = serve_raw("GET /link.css HTTP/1.1\r\n\r\n");
  EXPECT_EQ(a.find("SECRET"), std::string::npos);
  // A link that stays inside is fine.
  ASSERT_EQ(::symlink((res + "/style.css").c_str(), (res + "/alias.css").c_str()), 0);
  EXPECT_EQ(body_of(serve_raw("GET /alias.css HTTP/1.1\r\n\r\n")), "body {}\nh1 {}\n");
}

// The connection sink holds pieces back and writes them in blocks: whatever
// the sizes, the bytes arrive complete and in order, raw sends included.
TEST(FdSinkTest, BlocksKeepEveryByteInOrder) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::string expect;
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(sv[0], buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
  });
  {
    FdSink out(sv[1]);
    for (int i = 0; i < 400; ++i) {  // some 20 KiB in lines: several full blocks
      out.printf("line %d of the page\n", i);
      expect += "line " + std::to_string(i) + " of the page\n";
    }
    const std::string big(9000, 'b');  // larger than a block: written at once
    out.put(big);
    expect += big;
    out.put("before raw\n");
    out.send_raw("RAW", 3);
    expect += "before raw\nRAW";
    out.put("tail held until the sink ends\n");
    expect += "tail held until the sink ends\n";
    EXPECT_FALSE(out.failed());
  }
  ::shutdown(sv[1], SHUT_WR);
  reader.join();
  ::close(sv[0]);
  ::close(sv[1]);
  EXPECT_EQ(got.size(), expect.size());
  EXPECT_EQ(got, expect);
}

TEST_F(ServeTest, SettingsFormCutShortSavesNothing) {
  sb.dir().write("etc/kivd.ini", "[KNX]\nINTERVAL=45\n");
  const std::string body = "x=" + std::string(4090, 'a') + "&KNXInterval=60";
  std::string a = serve_raw("POST /settings HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_NE(a.find("\r\nLocation: /settings?saved=0\r\n"), std::string::npos);
  EXPECT_NE(serve_raw("GET /settings?saved=0 HTTP/1.1\r\n\r\n").find("could not be saved"), std::string::npos);
  EXPECT_EQ(sb.dir().read("etc/kivd.ini"), "[KNX]\nINTERVAL=45\n");
  EXPECT_NE(sb.log().find("Service_Request: settings form of 4107 bytes, 4096 received, nothing saved"), std::string::npos);
  a = serve_raw("POST /settings HTTP/1.1\r\nContent-Length: 14\r\n\r\nKNXInterval=60");
  EXPECT_NE(a.find("\r\nLocation: /settings?saved=1\r\n"), std::string::npos);
  a = serve_raw("GET /settings?saved=1 HTTP/1.1\r\n\r\n");
  EXPECT_NE(a.find("successfully saved"), std::string::npos);
  EXPECT_NE(a.find("take effect after a restart"), std::string::npos);
  EXPECT_EQ(ParseIniText(sb.dir().read("etc/kivd.ini")).KNXInterval, 60);
}
