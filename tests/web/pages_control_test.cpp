#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "support/temp_dir.hpp"
#include "web/pages.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;

namespace {

class ControlPages : public ::testing::Test {
 protected:
  void SetUp() override {
    webtest::reset_live();
    Settings s = cfg();
    s.WallboxUsing = true;
    replace_settings(s);
  }
  void TearDown() override { webtest::reset_live(); }
  std::string control(Method m = Method::GET, bool applied = false) {
    req.method = m;
    req.resource = "/control";
    PageContext ctx{req, webtest::fixed_time(), 0};
    ctx.outcome_shown = m == Method::POST;
    ctx.post_applied = applied;
    StringSink out;
    page_control(out, ctx);
    return out.text;
  }
  std::string remote(const std::string& target) {
    req.method = Method::GET;
    req.resource = target;
    PageContext ctx{req, webtest::fixed_time(), 0};
    StringSink out;
    page_remote(out, ctx);
    return out.text;
  }
  test::Sandbox sb;
  ReqInfo req;
  LiveValues& v = live();
};

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<RemoteControl>\n";

}  // namespace

TEST_F(ControlPages, SurplusMarkedWithActivation) {
  const std::string p = control();
  EXPECT_TRUE(has(p, "value=\"0\" type=\"radio\" checked=\"checked\" />&nbsp;&nbsp;SURPLUS"));
  EXPECT_TRUE(has(p, "value=\"3\" type=\"radio\"  />&nbsp;&nbsp;OFF"));
  EXPECT_TRUE(has(p, "name=\"ActivationValue\" value=\"1380\" /> W"));
  EXPECT_TRUE(has(p, "<BODY data-onload=\"select_mode\">\n<H2>Webcontrol 2.6.107</H2>\n"));
  EXPECT_TRUE(has(p, "<input type=submit value=\"Apply Changes\">&nbsp;<input type=\"button\" value=\"Cancel\" data-href=\"/\">\n</PRE></form></BODY></HTML>\n"));
  EXPECT_TRUE(has(p, "<option selected value=\"6000\">6000</option>\n"));
  EXPECT_TRUE(has(p, "<option selected value=\"1\">1</option>"));
}

TEST_F(ControlPages, UnlistedValuesMark6000AndNoRadio) {
  v.ManualCurrent = 16000;
  v.CarMinCharge = 8000;
  v.web_charge_mode = 7;
  v.CarMaxPhases = 4;
  const std::string p = control();
  EXPECT_FALSE(has(p, "checked=\"checked\""));
  EXPECT_FALSE(has(p, "<option selected value=\"1\">1</option>"));
  // Both lists have their 6000 option marked.
  std::size_t n = 0;
  for (std::size_t pos = 0; (pos = p.find("<option selected value=\"6000\">", pos)) != std::string::npos; ++pos) ++n;
  EXPECT_EQ(n, 2u);
}

TEST_F(ControlPages, AfterPost) {
  v.web_charge_mode = 1;
  v.CarMinCharge = 7020;
  v.CarMaxPhases = 3;
  const std::string p = control(Method::POST, true);
  EXPECT_TRUE(has(p, "value=\"1\" type=\"radio\" checked=\"checked\" />&nbsp;&nbsp;QUICK"));
  EXPECT_TRUE(has(p, "<option selected value=\"7020\">7020</option>"));
  EXPECT_TRUE(has(p, "<option selected value=\"3\">3</option>"));
  // Shown on the page the post's redirect leads to, with the form again.
  EXPECT_TRUE(has(p, "<font color=\"#00C000\">Operation succeeded.</font> The change takes effect at the next "
                     "control cycle, within a minute."));
  EXPECT_TRUE(has(p, "Apply Changes"));
  EXPECT_TRUE(has(control(Method::POST, false), "Operation failed, nothing was changed."));
  EXPECT_FALSE(has(control(), "Operation"));
}

TEST_F(ControlPages, ManualListHas27Options) {
  const std::string p = control();
  std::size_t n = 0;
  const auto start = p.find("name=\"ManualValue\""), end = p.find("</select>", start);
  for (std::size_t pos = start; (pos = p.find("<option", pos)) < end; ++pos) ++n;
  EXPECT_EQ(n, 27u);
  EXPECT_TRUE(has(p, "<option  value=\"31980\">31980</option>\n</select> mA</td></tr>\n"));
}

TEST_F(ControlPages, NoticeWhileX1Pushed) {
  v.disable_web_control = 1;
  const std::string p = control();
  EXPECT_TRUE(has(p, "Webcontrols are disabled during quick mode button (X1) is pushed!\n"));
  EXPECT_FALSE(has(p, "<form"));
  EXPECT_TRUE(has(p, "</style>\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<link rel=\"stylesheet\" type=\"text/css\" href=\"/kivd.css\">\n<script src=\"/pages.js\" defer></script>\n</HEAD><BODY>\n<H2>Webcontrol 2.6.107</H2>\n"));
}

TEST_F(ControlPages, RemoteExamples) {
  EXPECT_EQ(remote("/remote?mode=quick&carmaxphases=3"),
            kHead + "\t<set name=\"mode\">quick</set>\n\t<set name=\"carmaxphases\">3</set>\n"
                    "\t<parameters>successful</parameters>\n</RemoteControl>\n");
  EXPECT_TRUE(has(remote("/remote?mode=automatic"), "\t<set name=\"mode\">surplus</set>\n"));
  // Reports the mode the daemon applies ("off" is searched before "manual").
  EXPECT_TRUE(has(remote("/remote?mode=manualoff"), "\t<set name=\"mode\">off</set>\n"));
  EXPECT_EQ(remote("/remote?MODE=quick"), kHead + "\t<exception>no valid parameter found</exception>\n</RemoteControl>\n");
  EXPECT_TRUE(has(remote("/remote?surplusactivate=25000"), "\t<set name=\"surplusactivate\">1380</set>\n"));
  EXPECT_TRUE(has(remote("/remote?carmaxphases=0"), "\t<set name=\"carmaxphases\">1</set>\n"));
  EXPECT_TRUE(has(remote("/remote?carmincharge=7980"), "\t<set name=\"carmincharge\">7980</set>\n"));
  EXPECT_TRUE(has(remote("/remote?manualcurrent=16500"), "\t<set name=\"manualcurrent\">16980</set>\n"));
  EXPECT_EQ(remote("/remote?action=update"),
            kHead + "\t<exception>update is not a valid action</exception>\n\t<parameters>successful</parameters>\n</RemoteControl>\n");
  EXPECT_TRUE(has(remote("/remote?action=restart"), "\t<action name=\"restart\">successful initiated</action>\n"));
  EXPECT_EQ(remote("/remote"), kHead + "\t<exception>no valid parameter found</exception>\n</RemoteControl>\n");
  EXPECT_EQ(remote("/remote/x?mode=quick"), kHead + "</RemoteControl>\n");
  EXPECT_EQ(remote("/remote?mode=&x"), kHead + "\t<exception>no valid parameter found</exception>\n</RemoteControl>\n");
}

TEST_F(ControlPages, RemoteLengthLimit) {
  const std::string q198 = "mode=off&z=" + std::string(198 - 11, 'z');
  EXPECT_TRUE(has(remote("/remote?" + q198), "<parameters>successful</parameters>"));
  EXPECT_EQ(remote("/remote?" + q198 + "z"),
            kHead + "\t<exception>parameter string is too long</exception>\n</RemoteControl>\n");
}

TEST_F(ControlPages, RemoteExceptionTextEscaped) {
  const std::string a = remote("/remote?action=<b>&amp;");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(a.c_str())) << a;
  EXPECT_STREQ(doc.child("RemoteControl").child_value("exception"), "<b> is not a valid action");
}
