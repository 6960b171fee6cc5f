#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "core/ini_writeback.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"
#include "core/settings_table.hpp"
#include "core/password_hash.hpp"
#include "support/temp_dir.hpp"
#include "web/pages.hpp"
#include "web/password_form.hpp"
#include "web/submit_feedback.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;

namespace {

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// An attribute of one tag, entities decoded; nullopt when absent.
std::optional<std::string> attribute(std::string_view tag, const std::string& name) {
  const auto at = tag.find(" " + name + "=\"");
  if (at == std::string_view::npos) return std::nullopt;
  const auto begin = at + name.size() + 3;
  std::string raw(tag.substr(begin, tag.find('"', begin) - begin)), out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    bool done = false;
    for (const auto& [entity, c] : {std::pair{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}})
      if (!done && raw.compare(i, std::strlen(entity), entity) == 0) {
        out += c;
        i += std::strlen(entity) - 1;
        done = true;
      }
    if (!done) out += raw[i];
  }
  return out;
}

// application/x-www-form-urlencoded, as a browser writes it.
std::string form_encode(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '*' || c == '-' || c == '.' || c == '_') out += static_cast<char>(c);
    else if (c == ' ') out += '+';
    else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// What a browser submits for the page's form left as it is: inputs with a
// name (a check box only when ticked), each select's selected option (the
// first without one), in page order.
std::string submitted(const std::string& page) {
  std::string body;
  const std::string form = page.substr(page.find("<form"), page.find("</form>") - page.find("<form"));
  for (std::size_t at = form.find('<'); at != std::string::npos; at = form.find('<', at + 1)) {
    const std::string_view rest = std::string_view(form).substr(at);
    std::optional<std::string> name, value;
    if (rest.starts_with("<input ")) {
      const std::string_view tag = rest.substr(0, rest.find('>'));
      name = attribute(tag, "name");
      if (attribute(tag, "type") == "checkbox" && !has(std::string(tag), " checked=")) name.reset();
      value = attribute(tag, "value");
    } else if (rest.starts_with("<select ")) {
      const std::string_view whole = rest.substr(0, rest.find("</select>"));
      name = attribute(whole.substr(0, whole.find('>')), "name");
      const auto selected = whole.find("\" selected>");
      const auto option = selected != std::string_view::npos ? whole.rfind("<option ", selected) : whole.find("<option ");
      value = attribute(whole.substr(option, whole.find('>', option) - option), "value");
    }
    if (!name) continue;
    body += (body.empty() ? "" : "&") + form_encode(*name) + "=" + form_encode(value.value_or(""));
  }
  return body;
}

// The file as a save writes it, from the default file with one key changed.
std::string written_file(const char* key, const std::string& value) {
  IniDict d = IniDict::load_text(DefaultIniText(), IniDict::EmptyKeys::kept);
  ApplySettingsForm(d, "", 0);
  if (key) d.set(ascii_lower(key), value);
  return IniFileText(d);
}

// Candidate file values of each kind of field; a value the reader does not
// take must keep at least its meaning.
std::vector<std::string> candidates(const SettingRow& r) {
  switch (r.form) {
    case FormRule::check_box: return {"TRUE", "FALSE"};
    case FormRule::start_mode: return {"SURPLUS", "QUICK", "MANUAL", "OFF"};
    case FormRule::activation: return {"-1", "-2500", "-21999"};
    case FormRule::number:
      return {"0", "1", "2", "3", "45", "1500", "3307", "7980", "9000", "16020", "32000", "1900123456"};
    default:
      return {"", "Pa$$!", "a;b#c", " lead", "trail ", "'q'", "\"dq\"", "it's", "back\\slash", "x+y z&w=v", "100%",
              "50%2F", "\xC3\xBCml", "10.0.0.5", "wb.local", "OEM", "AS1440", "MT175", "LOCAL", "KEBAP20", "SIX0H", "50"};
  }
}

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
    ctx.outcome_shown = m == Method::POST;  // as after the post's redirect
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
  EXPECT_TRUE(has(p, "name=\"ActivationValue\" size=\"7\" maxlength=\"5\" style=\"text-align:center\" value=\"1380\" data-onkeyup=\"checkNumbers\" inputmode=\"numeric\"> W"));
  EXPECT_TRUE(has(p, "<option value=\"surplus\" selected>Surplus</option>"));
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"SmartmeterUsing\" value=\"true\" checked=\"true\" data-onclick=\"selectSmartmeter\">"));
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"WallboxUsing\" value=\"true\" data-onclick=\"selectWallbox\">"));
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
  EXPECT_TRUE(has(p, "value=\"2500\" data-onkeyup"));
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
  EXPECT_TRUE(has(failed, "Save settings"));
  EXPECT_TRUE(has(failed, "could not be saved"));
  EXPECT_FALSE(has(render(page_settings, "/settings"), "could not be saved"));
}

TEST_F(SettingsPages, PostedFormIsWrittenAndShown) {
  write_ini("[MYSQL]\nPORT=3306\n");
  ASSERT_TRUE(write_settings_form("MysqlPort=3307&KNXInterval=45&MysqlUsing=true", 1));
  const std::string p = render(page_settings, "/settings", Method::POST, true);
  EXPECT_TRUE(has(p, "name=\"MysqlPort\" size=\"6\" maxlength=\"5\" style=\"text-align:center\" value=\"3307\""));
  EXPECT_TRUE(has(p, "value=\"45\" data-onkeyup"));
  EXPECT_TRUE(has(p, "name=\"MysqlUsing\" value=\"true\" checked=\"true\""));
  // Unticked boxes of the form are stored FALSE.
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"SmartmeterUsing\" value=\"true\" data-onclick"));
}

TEST_F(SettingsPages, KnxRowsFollowTheDaemonsDevices) {
  daemon_uses(false, false);
  std::string p = render(page_knx, "/knx");
  EXPECT_TRUE(has(p, "<TITLE>Orvane KNX page</TITLE>\n"));
  EXPECT_TRUE(has(p, "name=\"g_11\""));
  EXPECT_FALSE(has(p, "name=\"g_12\""));
  EXPECT_FALSE(has(p, "name=\"g_21\""));
  EXPECT_TRUE(has(p, "value=\"KNX\" data-href=\"/knx\""));
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
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"c_1\" value=\"true\" checked=\"true\" data-onclick=\"selectItem\">"));
  EXPECT_TRUE(has(p, "name=\"g_1\" size=\"11\" maxlength=\"11\" style=\"text-align:center\" value=\"1/2/3\""));
  EXPECT_TRUE(has(p, "<input type=\"checkbox\" name=\"c_4\" value=\"true\" data-onclick=\"selectItem\">"));
  EXPECT_TRUE(has(p, "value=\"3/3/3\""));
  EXPECT_TRUE(has(p, "value=\"8/1/22\""));
  EXPECT_TRUE(has(render(page_knx, "/knx", Method::POST, true),
                  "Settings successfully saved. Restart the service to apply the knx configuration settings!"));
}

// Every field of the settings page: the file's value shown, submitted as a
// browser sends the untouched form, gives back the same file.
TEST_F(SettingsPages, EveryFieldRoundTrips) {
  daemon_uses(true, true);
  int fields = 0;
  for (const SettingRow& r : setting_rows()) {
    if (!r.field) continue;
    ++fields;
    const std::string key = setting_key(r);
    const Settings builtin = ParseIniText(written_file(key.c_str(), r.builtin));
    for (const std::string& v : candidates(r)) {
      const std::string before = written_file(key.c_str(), v);
      write_ini(before);
      const std::string body = submitted(render(page_settings, "/settings"));
      IniDict d = IniDict::load_text(before, IniDict::EmptyKeys::kept);
      const FormOutcome outcome = ApplySettingsForm(d, body, kFormSettings);
      const std::string after = IniFileText(d);
      EXPECT_TRUE(outcome.refused.empty()) << key << "=" << v;
      // A number the page shows as the reader reads it, or a value the reader
      // does not take, keeps its meaning; every other value its text.
      const Settings read = ParseIniText(before);
      const bool number = std::holds_alternative<NumberKey>(r.member) || std::holds_alternative<UnsignedKey>(r.member);
      const bool canonical = !number || std::to_string(std::strtoll(v.c_str(), nullptr, 10)) == v;
      if ((read == builtin && v != r.builtin) || !canonical)
        EXPECT_TRUE(ParseIniText(after) == read) << key << "=" << v << "\n" << body;
      else
        EXPECT_EQ(after, before) << key << "=[" << v << "]\n" << body;
    }
  }
  EXPECT_GE(fields, 26);
}

// The KNX page with the wallbox and storage rows hidden: their values stay.
TEST_F(SettingsPages, KnxPageRoundTripsWithHiddenRows) {
  daemon_uses(false, false);
  IniDict d = IniDict::load_text(written_file(nullptr, ""), IniDict::EmptyKeys::kept);
  for (int n = 1; n <= kDatapoints; ++n) {
    const std::string sec = "dpt_" + std::to_string(n);
    d.set(sec + ":using", n % 3 == 0 ? "TRUE" : "FALSE");
    d.set(sec + ":groupadr", "31/7/" + std::to_string(200 + n));
  }
  ApplySettingsForm(d, "", 0);
  const std::string before = IniFileText(d);
  write_ini(before);
  const std::string body = submitted(render(page_knx, "/knx"));
  EXPECT_TRUE(has(body, "KnxShown=1111111111100000000000000&")) << body;
  ASSERT_TRUE(write_settings_form(body, kFormKnx));
  EXPECT_EQ(kivd::test::read_file(ini_path()), before);
}

// Values are decoded; one the file cannot hold is named on the page.
TEST_F(SettingsPages, DecodedValuesAndRefusalsShown) {
  write_ini(written_file(nullptr, ""));
  std::string refused;
  ASSERT_TRUE(write_settings_form("MysqlUsername=Pa%24%24%21+x&StartMode=off&SmartmeterType=LOCAL"
                                  "&MysqlDatabase=%22a%27b%3B%22",
                                  kFormSettings, &refused));
  EXPECT_EQ(refused, "MysqlDatabase");
  const Settings s = ParseIniText(kivd::test::read_file(ini_path()));
  EXPECT_EQ(s.MyUser, "Pa$$! x");
  EXPECT_EQ(s.ChargingMode, 4) << "OFF";
  EXPECT_EQ(s.KivType, "LOCAL");
  EXPECT_EQ(s.MyDB, "smarthouse");
  const std::string p = render(page_settings, "/settings", Method::POST, true);
  EXPECT_TRUE(has(p, "<option value=\"off\" selected>Off</option>"));
  EXPECT_TRUE(has(p, "<option value=\"LOCAL\" selected>"));
  // The refusals survive the redirect's query.
  PageContext posted{req, webtest::fixed_time(), 0};
  posted.post_written = true;
  posted.post_refused = refused + ", a<b&c=%";
  posted.password_note = kPasswordNotes[1];
  const std::string location = outcome_location("/settings", posted);
  EXPECT_EQ(location, "/settings?saved=1&refused=MysqlDatabase%2C%20a%3Cb%26c%3D%25&pw=1");
  PageContext ctx{req, webtest::fixed_time(), 0};
  read_outcome(location, ctx);
  EXPECT_EQ(ctx.password_note, kPasswordNotes[1]);
  StringSink out;
  page_settings(out, ctx);
  EXPECT_TRUE(has(out.text, "Not saved, the old value is kept (control characters, both quote marks or too long): "
                            "MysqlDatabase, a&lt;b&amp;c=%</font>"));
  EXPECT_TRUE(has(out.text, "take effect after a restart. <input type=\"button\" value=\"Restart service\" "
                            "data-onclick=\"ConfirmRestart\">"));
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
