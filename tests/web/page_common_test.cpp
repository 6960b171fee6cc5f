#include <gtest/gtest.h>

#include "core/settings.hpp"
#include "support/temp_dir.hpp"
#include "web/page_common.hpp"
#include "web/pages.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;

TEST(Escape, Html) { EXPECT_EQ(html_escape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;"); }

TEST(Escape, Xml) {
  EXPECT_EQ(xml_escape("a<b>&\"'"), "a&lt;b&gt;&amp;&quot;&apos;");
  EXPECT_EQ(xml_escape(std::string("a\x01\x1f\tb\n", 6)), "a\tb\n");
}

TEST(Escape, Js) {
  EXPECT_EQ(js_escape("http://h/a.tar?x=1"), "http://h/a.tar?x=1");
  EXPECT_EQ(js_escape("a';alert(1);//\""), "a\\x27\\x3balert\\x281\\x29\\x3b//\\x22");
  EXPECT_EQ(js_escape("</script>"), "\\x3c/script\\x3e");
}

TEST(Conventions, ButtonBarConditions) {
  test::Sandbox sb;
  Settings s = cfg();
  s.WallboxUsing = false;
  s.KNXUsing = false;
  replace_settings(s);
  StringSink a;
  button_bar(a);
  EXPECT_EQ(a.text,
            "<input type=\"button\" value=\"Home\" data-href=\"/\">\n"
            "<input type=\"button\" value=\"Log\" data-href=\"/log\">\n"
            "<input type=\"button\" value=\"Settings\" data-href=\"/settings\">\n"
            "<input type=\"button\" value=\"XML\" data-href=\"/xml\">\n"
            "<P style=\"color:#b00000\">No web password is set: anyone on this network can control the charger. "
            "<a href=\"/settings#webpassword\">Set a password</a></P>\n");
  StringSink k;
  button_bar(k, true);
  EXPECT_NE(k.text.find("value=\"KNX\" data-href=\"/knx\""), std::string::npos);
  s.WallboxUsing = true;
  s.KNXUsing = true;
  replace_settings(s);
  StringSink b;
  button_bar(b);
  EXPECT_NE(b.text.find("<input type=\"button\" value=\"Control\" data-href=\"/control\">\n<input type=\"button\" value=\"Log\""), std::string::npos);
  EXPECT_NE(b.text.find("value=\"KNX\""), std::string::npos);
}

TEST(Conventions, HeadVariantsAndTitle) {
  StringSink b;
  head_variant_b(b);
  title_piece(b, "log page");
  style_piece(b);
  EXPECT_EQ(b.text,
            "<HTML>\n<HEAD><META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\">\n<META HTTP-EQUIV=\"Expires\" CONTENT=\"-1\">\n"
            "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n<TITLE>Orvane log page</TITLE>\n"
            "<style rel=\"stylesheet\" type=\"text/css\">body {font-family: Arial, Helvetica, sans-serif;}</style>\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<link rel=\"stylesheet\" type=\"text/css\" href=\"/kivd.css\">\n<script src=\"/pages.js\" defer></script>\n</HEAD>\n");
  StringSink c;
  head_variant_c(c);
  EXPECT_EQ(c.text, "<HTML><HEAD><META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\"><META HTTP-EQUIV=\"Expires\" CONTENT=\"-1\">\n");
}

TEST(Conventions, RedirectPage) {
  StringSink r;
  redirect_page(r, "/log");
  EXPECT_EQ(r.text,
            "<!DOCTYPE HTML>\n<html><head><meta charset=\"UTF-8\">\n<meta http-equiv=\"refresh\" content=\"0;url=/log\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<link rel=\"stylesheet\" type=\"text/css\" href=\"/kivd.css\">\n<script src=\"/pages.js\" defer></script>\n<title>KIV redirection</title></head>\n"
            "<body>If you are not redirected automatically, follow the <a href='/log'>link to example</a></body></html>\n");
}

TEST(Conventions, ProgressCells) {
  StringSink p;
  progress_cells(p, 65);
  EXPECT_NE(p.text.find("<span id=\"progress65\">&nbsp; &nbsp;</span>\n"), std::string::npos);
  EXPECT_EQ(p.text.find("progress66"), std::string::npos);
}

TEST(Conventions, NotFoundPageEscapes) {
  StringSink n;
  not_found_page(n, "/a<b>");
  EXPECT_EQ(n.text,
            "<HTML><HEAD><meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n<TITLE>Orvane...</TITLE>\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<link rel=\"stylesheet\" type=\"text/css\" href=\"/kivd.css\">\n<script src=\"/pages.js\" defer></script>\n</HEAD><BODY><PRE>Resource not found: /a&lt;b&gt;\n"
            "</PRE><br /><input type=\"button\" value=\"Home\" data-href=\"/\">\n</BODY></HTML>\n");
}

TEST(Conventions, LinesCutAt1000Bytes) {
  StringSink s;
  s.printf("%s", std::string(5000, 'x').c_str());
  EXPECT_EQ(s.text.size(), 999u);
  StringSink h;
  h.printf_n(100, "%s", std::string(500, 'y').c_str());
  EXPECT_EQ(h.text.size(), 99u);
}

TEST(CivilTime, MatchesGmtime) {
  for (std::time_t t : {std::time_t{0}, std::time_t{951782400}, std::time_t{1735560000}, std::time_t{4102444799},
                        std::time_t{1709164800}}) {
    std::tm ref{};
    gmtime_r(&t, &ref);
    const std::tm c = civil_time(t, 0);
    EXPECT_EQ(c.tm_year, ref.tm_year);
    EXPECT_EQ(c.tm_mon, ref.tm_mon);
    EXPECT_EQ(c.tm_mday, ref.tm_mday);
    EXPECT_EQ(c.tm_wday, ref.tm_wday);
    EXPECT_EQ(c.tm_hour, ref.tm_hour);
  }
  const std::tm plus = civil_time(1735689599, 3600);  // 31.12.2024 23:59:59 UTC, +1 h
  EXPECT_EQ(plus.tm_year, 125);
  EXPECT_EQ(plus.tm_mday, 1);
  EXPECT_EQ(plus.tm_hour, 0);
}
