#include <gtest/gtest.h>

#include <fstream>

#include "core/paths.hpp"
#include "core/settings.hpp"
#include "support/temp_dir.hpp"
#include "core/password_hash.hpp"
#include "web/pages.hpp"
#include "web/password_form.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;

namespace {

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

class SettingsPages : public ::testing::Test {
 protected:
  void write_ini(const std::string& text) {
    std::ofstream(ini_path(), std::ios::trunc) << text;
  }
  void daemon_uses(bool wallbox, bool storage) {
    Settings s = cfg();
    s.WallboxUsing = wallbox;
    s.SSUsing = storage;
    replace_settings(s);
  }
  std::string render(void (*page)(Sink&, const PageContext&), const char* resource, Method m = Method::GET,
                     bool written = false) {
    req.method = m;
    req.resource = resource;
    PageContext ctx{req, webtest::fixed_time(), 0};
    ctx.post_written = written;
    StringSink out;
    page(out, ctx);
    return out.text;
  }
  test::Sandbox sb;
  ReqInfo req;
};

}  // namespace

TEST_F(SettingsPages, DefaultsWithoutFile) {
  const std::string p = render(page_settings, "/settings");
  EXPECT_TRUE(has(p, "<TITLE>Orvane settings page</TITLE>\n"));
  EXPECT_TRUE(has(p, "<H2>General settings 2.6.107</H2>\n"));
  EXPECT_TRUE(has(p, "name=\"WallboxIP\" size=\"15\" maxlength=\"15\" style=\"text-align:center\" value=\"192.168.10.151\""));
  EXPECT_TRUE(has(p, "name=\"ActivationValue\" size=\"7\" maxlength=\"5\" style=\"text-align:center\" value=\"1380\" onkeyup=\"checkNumbers(this)\"> W"));
  EXPECT_TRUE(has(p, "<option value=\"surplus\" selected>Surplus</option>"));
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"SmartmeterUsing\" value=\"true\" checked=\"true\" onclick=\"selectSmartmeter()\">"));
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"WallboxUsing\" value=\"true\" onclick=\"selectWallbox()\">"));
  EXPECT_TRUE(has(p, "name=\"MysqlPassword\" size=\"15\" maxlength=\"20\" value=\"\"> <small>unchanged unless you "
                     "type a new one</small>"));
  EXPECT_FALSE(has(p, "chgpw123"));
  EXPECT_TRUE(has(p, "name=\"SmartmeterSerial\" size=\"15\" maxlength=\"10\" style=\"text-align:center\" value=\"0\""));
  EXPECT_TRUE(has(p, "<input type=\"submit\" value=\"Save settings\">"));
  EXPECT_FALSE(has(p, "successfully saved"));
}

TEST_F(SettingsPages, ValuesFromTheFileNotFromTheDaemon) {
  write_ini(
      "[INFRASTRUCTURE]\nSTARTMODE=OFF\nMANUALCURRENT=16000\n[WALLBOX]\nACTIVATION=-2500\nCAR_MIN_CHARGE=7980\n"
      "TESLABUGFIX=2\n[SMARTMETER]\nTYPE=local\n[SMA]\nSERIAL=3000123456\n[MYSQL]\nHOST=a\"><script>x</script>\n");
  const std::string p = render(page_settings, "/settings");
  EXPECT_FALSE(has(p, "\" selected>Quick") || has(p, "\" selected>Surplus") || has(p, "\" selected>Manual"));
  EXPECT_TRUE(has(p, "<option value=\"6000\" selected>6000</option>"));
  EXPECT_TRUE(has(p, "<option value=\"7980\" selected>7980</option>"));
  EXPECT_TRUE(has(p, "value=\"2500\" onkeyup"));
  EXPECT_TRUE(has(p, "<option value=\"1\">ON</option><option value=\"0\" selected>OFF</option>"));
  EXPECT_FALSE(has(p, "\" selected>SMA EM"));
  EXPECT_TRUE(has(p, "value=\"3000123456\""));
  EXPECT_FALSE(has(p, "<script>x"));
  EXPECT_TRUE(has(p, "value=\"a&quot;&gt;&lt;script&gt;x&lt;/script&gt;\""));
}

TEST_F(SettingsPages, PostShowsSuccessOnlyWhenWritten) {
  EXPECT_TRUE(has(render(page_settings, "/settings", Method::POST, true),
                  "<font color=\"#00C000\">Settings successfully saved. Restart the service to apply the configuration settings!</font>"));
  const std::string failed = render(page_settings, "/settings", Method::POST, false);
  EXPECT_FALSE(has(failed, "successfully saved"));
  EXPECT_FALSE(has(failed, "Save settings"));
  EXPECT_TRUE(has(failed, "could not be saved"));
}

TEST_F(SettingsPages, PostedFormIsWrittenAndShown) {
  write_ini("[MYSQL]\nPORT=3306\n");
  ASSERT_TRUE(write_settings_form("MysqlPort=3307&KNXInterval=45&MysqlUsing=true", 1));
  const std::string p = render(page_settings, "/settings", Method::POST, true);
  EXPECT_TRUE(has(p, "name=\"MysqlPort\" size=\"6\" maxlength=\"5\" style=\"text-align:center\" value=\"3307\""));
  EXPECT_TRUE(has(p, "value=\"45\" onkeyup"));
  EXPECT_TRUE(has(p, "name=\"MysqlUsing\" value=\"true\" checked=\"true\""));
  // Unticked boxes of the form are stored FALSE.
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"SmartmeterUsing\" value=\"true\" onclick"));
}

TEST_F(SettingsPages, KnxRowsFollowTheDaemonsDevices) {
  daemon_uses(false, false);
  std::string p = render(page_knx, "/knx");
  EXPECT_TRUE(has(p, "<TITLE>Orvane KNX page</TITLE>\n"));
  EXPECT_TRUE(has(p, "name=\"g_11\""));
  EXPECT_FALSE(has(p, "name=\"g_12\""));
  EXPECT_FALSE(has(p, "name=\"g_21\""));
  EXPECT_TRUE(has(p, "value=\"KNX\" onclick=\"self.location='/knx'\""));
  daemon_uses(true, true);
  p = render(page_knx, "/knx");
  EXPECT_TRUE(has(p, "name=\"g_20\""));
  EXPECT_TRUE(has(p, "<td>storage battery temp</td><td align=\"center\">\xC2\xB0" "C</td>"));
  EXPECT_TRUE(has(p, "name=\"g_25\" size=\"11\" maxlength=\"11\" style=\"text-align:center\" value=\"8/1/25\""));
}

TEST_F(SettingsPages, KnxValuesAndOlderLayout) {
  daemon_uses(true, true);
  write_ini("[KNX]\nGROUPADR=3/3/3\n[DPT_1]\nUSING=true\nGROUPADR=1/2/3\n[DPT_4]\nUSING=TRUE\nGROUPADR=9/9/9\n");
  const std::string p = render(page_knx, "/knx");
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"c_1\" value=\"true\" checked=\"true\" onclick=\"selectItem()\">"));
  EXPECT_TRUE(has(p, "name=\"g_1\" size=\"11\" maxlength=\"11\" style=\"text-align:center\" value=\"1/2/3\""));
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"c_4\" value=\"true\" onclick=\"selectItem()\">"));
  EXPECT_TRUE(has(p, "value=\"3/3/3\""));
  EXPECT_TRUE(has(p, "value=\"8/1/22\""));
  EXPECT_TRUE(has(render(page_knx, "/knx", Method::POST, true),
                  "Settings successfully saved. Restart the service to apply the knx configuration settings!"));
}

TEST_F(SettingsPages, WebPasswordChangedOnlyWithTheCurrentOne) {
  write_ini("[MYSQL]\nPORT=3306\n");
  auto post = [&](const std::string& body) {
    req.post_data = body;
    req.content_length = std::to_string(body.size());
    return apply_password_change(req, "10.0.0.9");
  };
  auto stored = [] { return ReadAndHandleIniFile(ini_path()).WebPasswordHash; };
  EXPECT_EQ(post("MysqlPort=3307"), nullptr);
  EXPECT_TRUE(has(post("WebPwNew=a+b&WebPwNew2=a+c"), "differ"));
  EXPECT_EQ(stored(), "");
  EXPECT_TRUE(has(post("WebPwNew=a+b&WebPwNew2=a+b"), "saved"));
  const std::string first = stored();
  EXPECT_TRUE(verify_password("a b", first));
  EXPECT_EQ(ReadAndHandleIniFile(ini_path()).MyPort, 3306);  // the rest kept
  EXPECT_TRUE(has(render(page_settings, "/settings"), "name=\"WebPwOld\" size=\"20\" maxlength=\"128\" "
                                                      "autocomplete=\"current-password\""));
  EXPECT_TRUE(has(post("WebPwOld=wrong&WebPwNew=c&WebPwNew2=c"), "current password is wrong"));
  EXPECT_EQ(stored(), first);
  EXPECT_TRUE(has(post("WebPwOld=a+b&WebPwNew=c&WebPwNew2=c"), "saved"));
  EXPECT_TRUE(verify_password("c", stored()));
  // The form's own handling never sees the fields.
  EXPECT_EQ(without_password_fields("A=1&WebPwOld=x&B=2&WebPwNew=y&WebPwNew2=y"), "A=1&B=2");
}
