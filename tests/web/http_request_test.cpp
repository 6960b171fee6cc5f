#include <gtest/gtest.h>

#include "web/cross_site.hpp"
#include "web/http_request.hpp"
#include "web/password_gate.hpp"
#include "web/sessions.hpp"

using namespace kivd::web;

namespace {

ReqInfo parse_lines(std::initializer_list<const char*> lines, int* last_rc = nullptr) {
  ReqInfo req;
  int rc = 0;
  for (const char* l : lines) {
    std::string s(l);
    Trim(s);
    rc = Parse_HTTP_Header(s, req);
    if (rc != 0) break;
  }
  if (last_rc) *last_rc = rc;
  return req;
}

}  // namespace

TEST(Trim, DropsEveryTrailingNonAlphanumeric) {
  std::string a = "GET / HTTP/1.1\r\n";
  Trim(a);
  EXPECT_EQ(a, "GET / HTTP/1.1");
  std::string b = "Referer: http://host/page/\r\n";
  Trim(b);
  EXPECT_EQ(b, "Referer: http://host/page");
  std::string c = "x).../ \t\r\n";
  Trim(c);
  EXPECT_EQ(c, "x");
  std::string d = "\r\n";
  Trim(d);
  EXPECT_EQ(d, "");
}

TEST(ExtMatch, CaseCounts) {
  EXPECT_EQ(ext_match("/style.css", ".css"), 1);
  EXPECT_EQ(ext_match("/style.CSS", ".css"), 0);
  EXPECT_EQ(ext_match("css", ".css"), 0);
}

TEST(RequestLine, MethodsAndTypes) {
  ReqInfo g = parse_lines({"GET /xml HTTP/1.1"});
  EXPECT_EQ(g.method, Method::GET);
  EXPECT_EQ(g.type, ReqType::FULL);
  EXPECT_EQ(*g.resource, "/xml");
  EXPECT_EQ(g.status, 200);

  ReqInfo p = parse_lines({"POST /control HTTP/1.0"});
  EXPECT_EQ(p.method, Method::POST);
  EXPECT_EQ(*p.resource, "/control");

  ReqInfo h = parse_lines({"HEAD /home"});
  EXPECT_EQ(h.method, Method::HEAD);
  EXPECT_EQ(h.type, ReqType::SIMPLE);
  EXPECT_EQ(*h.resource, "/home");
}

TEST(RequestLine, TargetKeptAsSentWithQuery) {
  ReqInfo g = parse_lines({"GET   /remote?mode=quick&x=%41 HTTP/1.1"});
  EXPECT_EQ(*g.resource, "/remote?mode=quick&x=%41");
}

TEST(RequestLine, UnsupportedMethodIs501) {
  int rc = 0;
  ReqInfo r = parse_lines({"PUT /x HTTP/1.1"}, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(r.status, 501);
  EXPECT_EQ(r.method, Method::UNSUPPORTED);
  EXPECT_EQ(r.type, ReqType::FULL);  // still answered with a status line
  EXPECT_EQ(*r.resource, "/x");
  EXPECT_EQ(parse_lines({"get / HTTP/1.1"}).status, 501);  // method case counts
  EXPECT_EQ(parse_lines({"DELETE"}).status, 501);
  EXPECT_FALSE(parse_lines({"DELETE"}).resource);
  // "GET /" trims to "GET": no blank after the method any more.
  EXPECT_EQ(parse_lines({"GET /"}).status, 501);
}

TEST(RequestLine, EmptyTargetIs400) {
  ReqInfo r;
  EXPECT_EQ(Parse_HTTP_Header("GET ", r), -1);
  EXPECT_EQ(r.status, 400);
  ReqInfo t;
  EXPECT_EQ(Parse_HTTP_Header("POST \t", t), -1);
  EXPECT_EQ(t.status, 400);
}

TEST(Headers, StoredTrimmedAndByName) {
  ReqInfo r = parse_lines({"GET / HTTP/1.1", "user-AGENT:   curl/8  ", "Referer: http://h/x/", "Content-Length: 12",
                           "X-Other: y", "Empty:", "HOST: h:1", "origin: http://h:1", "Sec-Fetch-Site: none"});
  EXPECT_EQ(*r.useragent, "curl/8");
  EXPECT_EQ(*r.host, "h:1");
  EXPECT_EQ(*r.origin, "http://h:1");
  EXPECT_EQ(*r.sec_fetch_site, "none");
  EXPECT_EQ(*r.referer, "http://h/x");
  EXPECT_EQ(*r.content_length, "12");
  EXPECT_EQ(r.status, 200);
}

TEST(Headers, SecondLineWithoutColonIs400) {
  int rc = 0;
  ReqInfo r = parse_lines({"GET / HTTP/1.1", "garbage", "Host: x"}, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.status, 200);
  r = parse_lines({"GET / HTTP/1.1", "garbage", "Host: x", "more garbage"}, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(r.status, 400);
}

TEST(Headers, AnnouncedLengthOnlyForPlainNumbers) {
  ReqInfo r;
  r.content_length = "25";
  EXPECT_EQ(announced_length(r), 25u);
  for (const char* bad : {"-1", "1e3", "0x10", " 5", "12345678901"}) {
    r.content_length = bad;
    EXPECT_FALSE(announced_length(r)) << bad;
  }
  r.content_length.reset();
  EXPECT_FALSE(announced_length(r));
}

TEST(CheckResource, Table) {
  auto served = [](const char* res, bool wallbox = true) {
    ReqInfo r;
    r.resource = res;
    return Check_Resource(r, wallbox) == 0;
  };
  for (const char* ok : {"/", "/home", "/HOME", "/xml", "/XML", "/xml/index.xml", "/log", "/Settings", "/knx",
                         "/restart", "/update", "/checkupdate", "/CLEARLOG", "/remote?mode=quick", "/remote",
                         "/download?url=a", "/favicon.ico", "/a.jpeg", "/a.jpg", "/a.png", "/a.gif", "/a.css", "/a.js",
                         "/a.html", "/control", "/CONTROL", "/api/status", "/api/day", "/history",
                         "/history?days=7"})
    EXPECT_TRUE(served(ok)) << ok;
  for (const char* no : {"/style.CSS", "/Remote", "/Download?url=a", "/nothing", "/home/", "/xml?x", "/logs",
                         "/../etc/passwd.css", "/a/../../b.png", "/a\\b.js", "a.css", "/a.css?v=1", "/api/status?x",
                         "/api/", "/api/statusx", "/api/day?x", "/api/days", "/x/remote", "/log?x=.css",
                         "/x/download?url=a", "/a.css/", "/login.css?x"})
    EXPECT_FALSE(served(no)) << no;
  EXPECT_FALSE(served("/control", false));
  ReqInfo none;
  EXPECT_EQ(Check_Resource(none, true), -1);
}

TEST(CrossSite, Table) {
  struct Case {
    Method method;
    const char *site, *origin, *referer, *host, *verdict;  // verdict: nullptr allowed, else the header
  };
  const Case cases[] = {
      {Method::POST, nullptr, nullptr, nullptr, nullptr, nullptr},  // curl, scripts
      {Method::POST, nullptr, nullptr, nullptr, "h:18001", nullptr},
      {Method::POST, "same-origin", "http://evil", nullptr, "h:18001", nullptr},  // Sec-Fetch-Site decides
      {Method::GET, "none", nullptr, "http://evil/x", "h:18001", nullptr},        // typed into the address bar
      {Method::POST, "cross-site", nullptr, nullptr, "h:18001", "Sec-Fetch-Site"},
      {Method::GET, "same-site", "http://h:18001", nullptr, "h:18001", "Sec-Fetch-Site"},
      {Method::POST, nullptr, "http://h:18001", nullptr, "h:18001", nullptr},
      {Method::POST, nullptr, "http://H:018001", nullptr, "h:18001", nullptr},
      {Method::POST, nullptr, "http://h", nullptr, "h:80", nullptr},
      {Method::POST, nullptr, "http://[::1]:18001", nullptr, "[::1]:18001", nullptr},
      {Method::POST, nullptr, "http://h:18002", nullptr, "h:18001", "Origin"},
      {Method::POST, nullptr, "http://evil:18001", nullptr, "h:18001", "Origin"},
      {Method::POST, nullptr, "https://h", nullptr, "h:80", "Origin"},
      {Method::POST, nullptr, "null", nullptr, "h:18001", "Origin"},
      {Method::POST, nullptr, "http://h:18001", nullptr, nullptr, "Origin"},
      {Method::POST, nullptr, nullptr, "http://evil/x", "h:18001", nullptr},  // a Referer counts for a GET only
      {Method::GET, nullptr, nullptr, "http://h:18001/control", "h:18001", nullptr},
      {Method::GET, nullptr, nullptr, "http://u@evil:18001/h:18001", "h:18001", "Referer"},
      {Method::GET, nullptr, nullptr, "http://h:18001.evil/", "h:18001", "Referer"},
  };
  for (const Case& c : cases) {
    ReqInfo r;
    r.method = c.method;
    auto opt = [](const char* v) { return v ? std::optional<std::string>(v) : std::nullopt; };
    r.sec_fetch_site = opt(c.site), r.origin = opt(c.origin), r.referer = opt(c.referer), r.host = opt(c.host);
    const char* v = cross_site_header(r);
    EXPECT_STREQ(v, c.verdict) << (c.site ? c.site : "-") << " " << (c.origin ? c.origin : "-") << " "
                               << (c.referer ? c.referer : "-") << " " << (c.host ? c.host : "-");
  }
}

TEST(CrossSite, BrowserMarksNeedASameOriginProof) {
  struct Case {
    const char *site, *origin, *referer, *ua, *host;
    bool mark;  // Accept text/html, Upgrade-Insecure-Requests, Sec-Fetch-*
    const char* verdict;
  };
  const char* proof = "a browser's request without a same-origin proof";
  const Case cases[] = {
      {nullptr, nullptr, nullptr, "curl/7.88", "h:18001", false, nullptr},  // scripts as before
      {nullptr, nullptr, nullptr, nullptr, nullptr, false, nullptr},
      {nullptr, nullptr, nullptr, "Mozilla/5.0", "10.0.0.5:18001", false, proof},  // navigation, no-referrer
      {nullptr, nullptr, nullptr, nullptr, "10.0.0.5:18001", true, proof},
      {"none", nullptr, nullptr, nullptr, "10.0.0.5:18001", false, nullptr},  // typed in, or a bookmark
      {"same-site", nullptr, nullptr, nullptr, "10.0.0.5:18001", false, "Sec-Fetch-Site"},
      {"same-origin", nullptr, nullptr, "Mozilla/5.0", "10.0.0.5:18001", true, nullptr},
      {nullptr, nullptr, "http://10.0.0.5:18001/log", "Mozilla/5.0", "10.0.0.5:18001", true, nullptr},
      {nullptr, "http://localhost:18001", nullptr, "Mozilla/5.0", "localhost:18001", true, nullptr},
      {nullptr, nullptr, "http://10.0.0.6:18001/", "Mozilla/5.0", "10.0.0.5:18001", true, "Referer"},
      {nullptr, nullptr, "http://10.0.0.5:18002/", "Mozilla/5.0", "10.0.0.5:18001", true, "Referer"},
      {nullptr, nullptr, "http://10.0.0.5:18001/", "Mozilla/5.0", nullptr, true, "Referer"},
  };
  for (const Case& c : cases) {
    ReqInfo r;
    r.method = Method::GET;
    r.resource = "/remote?mode=quick";
    auto opt = [](const char* v) { return v ? std::optional<std::string>(v) : std::nullopt; };
    r.sec_fetch_site = opt(c.site), r.origin = opt(c.origin), r.referer = opt(c.referer), r.useragent = opt(c.ua);
    r.host = opt(c.host);
    r.browser_header = c.mark;
    EXPECT_STREQ(change_refusal(r), c.verdict) << (c.ua ? c.ua : "-") << " " << (c.referer ? c.referer : "-");
  }
  for (const char* ok : {"10.0.0.5", "10.0.0.5:18001", "[::1]:18001", "[fe80::1", "localhost:80", "LOCALHOST"})
    EXPECT_TRUE(answers_to(ok)) << ok;
  for (const char* no : {"evil.example", "evil.example:18001", "10.0.0.5.nip.io", "localhost.evil", "10.0.0.5:x",
                         "", "0x7f.1", "[::1]x"})
    EXPECT_FALSE(answers_to(no)) << no;
}

TEST(CrossSite, WhatChangesSomething) {
  auto changes = [](Method m, const char* res) {
    ReqInfo r;
    r.method = m;
    r.resource = res;
    return changes_something(r);
  };
  for (const char* res : {"/control", "/SETTINGS", "/knx", "/login"}) {
    EXPECT_TRUE(changes(Method::POST, res)) << res;
    EXPECT_FALSE(changes(Method::GET, res)) << res;
  }
  for (const char* res : {"/restart", "/clearlog", "/checkupdate", "/update", "/download?url=a", "/remote?mode=off",
                          "/logout", "/remote?mode=quick&x=.css", "/download?x=.png"})
    EXPECT_TRUE(changes(Method::GET, res)) << res;
  for (const char* res : {"/", "/xml", "/log", "/remote", "/style.css"}) EXPECT_FALSE(changes(Method::GET, res)) << res;
}

TEST(ReadOnlyRequest, Table) {
  const struct { Method method; const char* resource; int status; bool read_only; } cases[] = {
      {Method::GET, "/", 200, true},           {Method::HEAD, "/HOME", 200, true},
      {Method::GET, "/xml", 200, true},        {Method::GET, "/xml/index.xml", 200, true},
      {Method::GET, "/api/status?x=1", 200, true}, {Method::GET, "/style.css", 200, true},
      {Method::GET, "/nothing", 404, true},    {Method::UNSUPPORTED, "/x", 501, true},
      {Method::POST, "/xml", 200, false},      {Method::GET, "/control", 200, false},
      {Method::GET, "/log", 200, false},       {Method::GET, "/login", 200, false},
      // A static name or an unknown target is only a file or a 404.
      {Method::GET, "/remote.css", 200, true}, {Method::GET, "/download.png", 200, true},
      {Method::GET, "/api/remote", 200, true}, {Method::GET, "/restart", 200, false},
      {Method::GET, "/apix", 200, true},       {Method::GET, "/nothing", 200, true},
      {Method::GET, "/history?days=7", 200, true}, {Method::POST, "/nothing", 200, false},
      {Method::GET, "/remote?x=.css", 200, false}, {Method::GET, "/settings?x=.png", 200, false},
      {Method::HEAD, "/restart", 200, false},
  };
  for (const auto& c : cases) {
    ReqInfo r;
    r.method = c.method;
    r.resource = c.resource;
    r.status = c.status;
    EXPECT_EQ(read_only_request(r), c.read_only) << c.resource;
  }
}

TEST(ContentType, ByResource) {
  EXPECT_STREQ(content_type_line("/XML"), "Content-Type: text/xml; charset=utf-8\r\n");
  EXPECT_STREQ(content_type_line("/xml/index.xml"), "Content-Type: text/xml; charset=utf-8\r\n");
  EXPECT_STREQ(content_type_line("/remote?a=b"), "Content-Type: text/xml; charset=utf-8\r\n");
  EXPECT_STREQ(content_type_line("/f.ico"), "Content-Type: image/x-icon\r\n");
  EXPECT_STREQ(content_type_line("/f.jpg"), "Content-Type: image/jpeg\r\n");
  EXPECT_STREQ(content_type_line("/f.jpeg"), "Content-Type: image/jpeg\r\n");
  EXPECT_STREQ(content_type_line("/f.png"), "Content-Type: image/png\r\n");
  EXPECT_STREQ(content_type_line("/f.gif"), "Content-Type: image/gif\r\n");
  EXPECT_STREQ(content_type_line("/f.css"), "Content-Type: text/css\r\n");
  EXPECT_STREQ(content_type_line("/f.js"), "Content-Type: text/javascript\r\n");
  EXPECT_STREQ(content_type_line("/api/day"), "Content-Type: application/json\r\n");
  EXPECT_STREQ(content_type_line("/api/status"), "Content-Type: application/json\r\n");
  EXPECT_STREQ(content_type_line("/home"), "Content-Type: text/html; charset=UTF-8\r\n");
  EXPECT_STREQ(content_type_line("/f.PNG"), "Content-Type: text/html; charset=UTF-8\r\n");
}

TEST(StatusLine, ReasonPhrases) {
  EXPECT_STREQ(reason_phrase(200), "OK");
  EXPECT_STREQ(reason_phrase(400), "Bad Request");
  EXPECT_STREQ(reason_phrase(404), "Not Found");
  EXPECT_STREQ(reason_phrase(431), "Request Header Fields Too Large");
  EXPECT_STREQ(reason_phrase(501), "Not Implemented");
}

TEST(Target, PathAndQuery) {
  EXPECT_EQ(path_part("/remote?a=1"), "/remote");
  EXPECT_EQ(path_part("/remote"), "/remote");
  EXPECT_EQ(*query_part("/remote?a=1&b=2"), "a=1&b=2");
  EXPECT_EQ(*query_part("/remote?a=1?b=2"), "a=1");
  EXPECT_FALSE(query_part("/remote"));
  EXPECT_FALSE(query_part("/remote?"));
}

TEST(PasswordGate, CredentialsParsed) {
  // Exact base64: padding may be left off, nothing else.
  const struct { const char* header; std::optional<std::string> password; } basic[] = {
      {"Basic OnNlY3JldA", "secret"},          // ":secret"
      {"Basic OnNlY3JldA=", std::nullopt},     // padding of the wrong length
      {"Basic OnNlY3JldA===", std::nullopt},
      {"Basic OnNlY3J=ldA", std::nullopt},
      {"Basic Oj4-Pg", std::nullopt},          // the URL alphabet is not Basic's
      {"basic dXNlcjpwdzpjb2xvbg", "pw:colon"},  // "user:pw:colon"
      {"Basic OnNlY3JldA==", "secret"},
      {"Basic bm9jb2xvbg", std::nullopt},      // "nocolon"
      {"Basic !!!", std::nullopt},
      {"Bearer OnNlY3JldA", std::nullopt},
  };
  for (const auto& c : basic) EXPECT_EQ(basic_password(c.header), c.password) << c.header;
  const ReqInfo r = parse_lines({"GET /settings HTTP/1.1", "Authorization: Basic OnNlY3JldA==",
                                 "Cookie: a=b; kivd_session=00ff; c=d"});
  EXPECT_EQ(basic_password(*r.authorization), "secret");
  EXPECT_EQ(session_token(*r.cookie), "00ff");
  EXPECT_EQ(session_token("kivd_sessionx=1; other=2"), "");
  EXPECT_EQ(form_field("next=%2Flog&password=a+b%26c%3D", "password"), "a b&c=");
  EXPECT_EQ(form_field("password=", "password"), "");
  EXPECT_EQ(form_field("passwordx=1", "password"), std::nullopt);
}

TEST(PasswordGate, OpenPages) {
  for (const char* res : {"/", "/home", "/xml", "/favicon.ico", "/logo.png", "/style.css", "/api/status",
                          "/live_values.js"}) {
    ReqInfo r;
    r.resource = res;
    EXPECT_TRUE(open_without_password(r)) << res;
  }
  // A static suffix in the query makes nothing open.
  for (const char* res : {"/settings", "/remote", "/remote?mode=quick", "/log", "/control", "/x.html", "/xml?",
                          "/other.js", "/api/status?x", "/settings?x=.css", "/remote?mode=quick&x=.css",
                          "/control?x=.png", "/log?.ico", "/style.css?x", "/restart?a.gif", "/history?x=.css"}) {
    ReqInfo r;
    r.resource = res;
    EXPECT_FALSE(open_without_password(r)) << res;
  }
}

TEST(Sessions, ExpireAfterIdleTimeAndEvictOldest) {
  SessionTable t;
  const auto a = t.open(1000);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->size(), kTokenHexLength);
  EXPECT_TRUE(t.check(*a, 1000 + 43199, 43200));  // used: the idle time starts again
  EXPECT_TRUE(t.check(*a, 1000 + 2 * 43199, 43200));
  EXPECT_FALSE(t.check(*a, 1000 + 3 * 43199 + 43200, 43200));
  EXPECT_FALSE(t.check(*a, 1000, 43200));  // dropped once expired
  const auto b = t.open(5000);
  EXPECT_FALSE(t.check(std::string(kTokenHexLength, '0'), 5000, 43200));
  EXPECT_FALSE(t.check(b->substr(1), 5000, 43200));
  t.close(*b);
  EXPECT_FALSE(t.check(*b, 5000, 43200));
  const auto first = t.open(6000);
  for (std::size_t i = 0; i < t.sessions.size(); ++i) t.open(6001 + static_cast<std::time_t>(i));
  EXPECT_FALSE(t.check(*first, 7000, 43200));  // the least recently used made room
}

TEST(Sessions, FiveWrongTriesAMinutePerAddress) {
  SessionTable t;
  for (int i = 0; i < kTriesPerMinute; ++i) {
    EXPECT_TRUE(t.may_try("10.0.0.1", 100 + i));
    t.note_failure("10.0.0.1", 100 + i);
  }
  EXPECT_FALSE(t.may_try("10.0.0.1", 159));
  EXPECT_TRUE(t.may_try("10.0.0.2", 159));
  EXPECT_TRUE(t.may_try("10.0.0.1", 160));
  t.note_failure("10.0.0.1", 160);  // a new minute
  EXPECT_TRUE(t.may_try("10.0.0.1", 161));
}
