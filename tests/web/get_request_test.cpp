// The request head and body read from raw bytes on a socket.
#include <gtest/gtest.h>

#include <chrono>

#include "support/temp_dir.hpp"
#include "web/password_gate.hpp"
#include "web_test_util.hpp"

using namespace kivd::web;
using kivd::webtest::parse_raw;

TEST(GetRequest, FullRequestWithHeaders) {
  kivd::test::Sandbox sb;
  int rc = 1;
  ReqInfo r = parse_raw("GET /xml HTTP/1.1\r\nHost: a\r\nUser-Agent: t/1\r\nReferer: http://a/b/\r\n\r\n", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.type, ReqType::FULL);
  EXPECT_EQ(*r.resource, "/xml");
  EXPECT_EQ(*r.useragent, "t/1");
  EXPECT_EQ(*r.referer, "http://a/b");
  EXPECT_FALSE(r.post_data);
}

TEST(GetRequest, BasicCredentialsKeepTheirTrailingMarksAndBrowserHeadersAreNoted) {
  kivd::test::Sandbox sb;
  const struct { const char* b64; const char* password; } cases[] = {
      {"OnBhK3NzL3c9cmQ/", "pa+ss/w=rd?"}, {"On5+fg==", "~~~"}, {"Oj4+Pg==", ">>>"}, {"OmE/", "a?"}};
  for (const auto& c : cases) {
    const ReqInfo r = parse_raw(std::string("GET /log HTTP/1.1\r\nAuthorization: Basic ") + c.b64 + " \r\n\r\n");
    ASSERT_TRUE(r.authorization) << c.b64;
    EXPECT_EQ(basic_password(*r.authorization), c.password) << c.b64;
    EXPECT_FALSE(r.browser_header);
  }
  for (const char* mark : {"Sec-Fetch-Mode: navigate", "Upgrade-Insecure-Requests: 1", "Accept: text/html,*/*"})
    EXPECT_TRUE(parse_raw(std::string("GET / HTTP/1.1\r\n") + mark + "\r\n\r\n").browser_header) << mark;
  EXPECT_FALSE(parse_raw("GET / HTTP/1.1\r\nAccept: */*\r\n\r\n").browser_header);
}

TEST(GetRequest, SimpleRequestReadsNoHeaders) {
  kivd::test::Sandbox sb;
  ReqInfo r = parse_raw("GET /home\r\nUser-Agent: never read\r\n\r\n");
  EXPECT_EQ(r.type, ReqType::SIMPLE);
  EXPECT_EQ(*r.resource, "/home");
  EXPECT_FALSE(r.useragent);
}

TEST(GetRequest, PostBodyUpToContentLength) {
  kivd::test::Sandbox sb;
  ReqInfo r = parse_raw("POST /control HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcdefghijXYZ");
  ASSERT_TRUE(r.post_data);
  EXPECT_EQ(*r.post_data, "abcdefghij");
}

TEST(GetRequest, PostBodyCutAtItsMaximumAndAtLineFeed) {
  kivd::test::Sandbox sb;
  ReqInfo big = parse_raw("POST /control HTTP/1.1\r\nContent-Length: 9000\r\n\r\n" + std::string(6000, 'x'));
  ASSERT_TRUE(big.post_data);
  EXPECT_EQ(big.post_data->size(), kBodyMax);
  ReqInfo lf = parse_raw("POST /control HTTP/1.1\r\nContent-Length: 20\r\n\r\nab=1\ncd=2");
  EXPECT_EQ(*lf.post_data, "ab=1\n");
}

TEST(GetRequest, PostWithoutLengthHasNoBody) {
  kivd::test::Sandbox sb;
  ReqInfo r = parse_raw("POST /control HTTP/1.1\r\n\r\nWebChargingMode=1");
  EXPECT_FALSE(r.post_data);
  EXPECT_EQ(r.status, 200);
}

TEST(GetRequest, ZeroLengthGivesEmptyBody) {
  kivd::test::Sandbox sb;
  ReqInfo r = parse_raw("POST /control HTTP/1.1\r\nContent-Length: 0\r\n\r\nWebChargingMode=1");
  ASSERT_TRUE(r.post_data);
  EXPECT_EQ(*r.post_data, "");
}

TEST(GetRequest, MalformedContentLengthIs400) {
  kivd::test::Sandbox sb;
  ReqInfo r = parse_raw("POST /control HTTP/1.1\r\nContent-Length: -5\r\n\r\nabc");
  EXPECT_EQ(r.status, 400);
  EXPECT_FALSE(r.post_data);
  EXPECT_NE(sb.log().find("Webserver: invalid Content-Length, request refused"), std::string::npos);
}

TEST(GetRequest, BodyIgnoredForGet) {
  kivd::test::Sandbox sb;
  ReqInfo r = parse_raw("GET /xml HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_FALSE(r.post_data);
}

TEST(GetRequest, OverlongLineIs400) {
  kivd::test::Sandbox sb;
  int rc = 1;
  ReqInfo r = parse_raw("GET /" + std::string(2000, 'a') + " HTTP/1.1\r\n\r\n", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.type, ReqType::FULL);
  // A header line may hold 8 KiB (line end included); one byte more is 431.
  const std::string cookie = "Cookie: " + std::string(kHeaderLineMax - 10, 'c') + "\r\n";
  ASSERT_EQ(cookie.size(), kHeaderLineMax);
  ReqInfo h = parse_raw("GET /xml HTTP/1.1\r\n" + cookie + "User-Agent: t/1\r\n\r\n", &rc);
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(*h.useragent, "t/1");
  ReqInfo big = parse_raw("GET / HTTP/1.1\r\nCookie: c" + cookie + "\r\n", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(big.status, 431);
}

TEST(GetRequest, LineOf1022BytesStillFits) {
  kivd::test::Sandbox sb;
  const std::string target = "/" + std::string(1022 - 14 - 1, 'a');  // "GET " + target + " HTTP/1.1" + "\n"
  const std::string line = "GET " + target + " HTTP/1.1\n";
  ASSERT_EQ(line.size(), 1022u);
  ReqInfo r = parse_raw(line + "\r\n");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(*r.resource, target);
  ReqInfo over = parse_raw("GET /a" + target + " HTTP/1.1\n\r\n");
  EXPECT_EQ(over.status, 400);
}

TEST(GetRequest, GarbageBytesAre501) {
  kivd::test::Sandbox sb;
  std::string junk;
  for (int i = 0; i < 300; ++i) junk.push_back(static_cast<char>((i * 37) & 0xff));
  int rc = 1;
  ReqInfo r = parse_raw(junk, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.status, 501);
}

TEST(GetRequest, EmptyLineBeforeRequestLineIs400) {
  kivd::test::Sandbox sb;
  int rc = 1;
  ReqInfo r = parse_raw("\r\nGET / HTTP/1.1\r\n\r\n", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.status, 400);
  EXPECT_FALSE(r.resource);
}

TEST(GetRequest, PeerClosingBeforeAnythingGetsNoAnswer) {
  kivd::test::Sandbox sb;
  int rc = 0;
  parse_raw("", &rc);
  EXPECT_EQ(rc, -1);
}

TEST(GetRequest, HeadNotCompleteWithinFiveSeconds) {
  kivd::test::Sandbox sb;
  int rc = 0;
  const auto t0 = std::chrono::steady_clock::now();
  parse_raw("GET / HTTP/1.1\r\nHost: x\r\n", &rc, /*close_after=*/false);
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(rc, -1);
  EXPECT_GE(took, std::chrono::milliseconds(4900));
  EXPECT_LT(took, std::chrono::milliseconds(6500));
}

TEST(GetRequest, RandomInputNeverBreaksTheParser) {
  kivd::test::Sandbox sb;
  std::uint32_t seed = 12345;
  auto rnd = [&] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  const char* prefixes[] = {"", "GET /", "POST /control HTTP/1.1\r\nContent-Length: ", "GET / HTTP/1.1\r\n", "HEAD "};
  for (int i = 0; i < 400; ++i) {
    std::string bytes = prefixes[rnd() % 5];
    const std::size_t n = rnd() % 2500;
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint32_t r = rnd();
      bytes.push_back(r % 7 == 0 ? '\n' : r % 11 == 0 ? ':' : static_cast<char>(r & 0xff));
    }
    int rc = 0;
    ReqInfo r = parse_raw(bytes, &rc);
    EXPECT_TRUE(rc == 0 || rc == -1);
    EXPECT_TRUE(r.status == 200 || r.status == 400 || r.status == 501) << r.status;
    if (r.post_data) {
      EXPECT_LE(r.post_data->size(), kBodyMax);
    }
    if (r.status == 200 && rc == 0) {
      EXPECT_TRUE(r.resource && !r.resource->empty()) << i;
    }
  }
}
