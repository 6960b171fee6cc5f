// General and KNX settings pages. Both show what /etc/kivd.ini holds now (not
// what the running daemon uses); a posted form is written by WriteIniFile
// before the page is built, so the page after a save shows the saved values.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "core/daemon_state.hpp"
#include "core/ini_writeback.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"
#include "core/settings_table.hpp"
#include "core/utils.hpp"
#include "web/pages.hpp"
#include "web/password_gate.hpp"
#include "web/password_form.hpp"

namespace kivd::web {

namespace {

// The file's values as the page shows them: texts cut like the 60-byte
// buffers they were read into, and escaped for an attribute value.
class FileValues {
 public:
  FileValues() : dict_(IniDict::load_file(ini_path())) {}
  std::string text(const std::string& key, std::string_view def) const { return raw(key, def).substr(0, kTextMax); }
  std::string attr(const std::string& key, std::string_view def) const { return html_escape(text(key, def)); }
  bool ticked(const std::string& key, std::string_view def) const { return is_true(text(key, def)); }
  bool has(const char* key) const { return dict_.loaded() && dict_.has(key); }
  // The same for a settings-form field, with its key and default from the settings table.
  std::string text(const char* field) const { return raw(field).substr(0, kTextMax); }
  std::string attr(const char* field) const { return html_escape(text(field)); }
  bool ticked(const char* field) const { return is_true(text(field)); }
  long num(const char* field) const { return atoi_rules(raw(field)); }
  unsigned long unum(const char* field) const { return std::strtoul(raw(field).c_str(), nullptr, 10); }

 private:
  std::string raw(const std::string& key, std::string_view def) const {
    return dict_.loaded() ? dict_.get_string(key, def) : std::string(def);
  }
  std::string raw(const char* field) const { return raw(setting_key(*form_row(field)), form_row(field)->builtin); }
  IniDict dict_;
};

std::string checkbox(const char* name, bool ticked, const char* onclick) {
  std::string s = "<input type=\"checkbox\" name=\"";
  s += name;
  s += "\" value=\"true\"";
  if (ticked) s += " checked=\"true\"";
  if (onclick) {
    s += " data-onclick=\"";
    s += onclick;
    s += "\"";
  }
  return s + ">";
}

// A single-line input; digits: key-up filter checkNumbers. type "text" or
// "password"; centred unless left is set.
std::string input(const char* name, const std::string& value_attr, int size, int maxlength, bool digits,
                  const char* onchange = nullptr, const char* type = "text", bool left = false) {
  char head[200];
  std::snprintf(head, sizeof head, "<input type=\"%s\" name=\"%s\" size=\"%d\" maxlength=\"%d\"%s", type, name, size,
                maxlength, left ? "" : " style=\"text-align:center\"");
  std::string s = head;
  s += " value=\"" + value_attr + "\"";
  if (digits) s += " data-onkeyup=\"checkNumbers\" inputmode=\"numeric\"";
  if (onchange) {
    s += " data-onchange=\"";
    s += onchange;
    s += "\"";
  }
  return s + ">";
}

std::string option(const std::string& value, const std::string& shown, bool selected) {
  return "<option value=\"" + value + "\"" + (selected ? " selected" : "") + ">" + shown + "</option>";
}

struct Group {
  std::string label, field;
};
const Group kEmpty{};
Group heading(const char* text) { return {std::string("<b>") + text + "</b>", ""}; }

void row(Sink& out, const Group& a, const Group& b, const Group& c) {
  std::string s = "<tr>";
  for (const Group* g : {&a, &b, &c}) s += "<td>" + g->label + "</td><td>" + g->field + "</td><td></td>";
  s += "</tr>\n";
  out.put(s);
}

// The outcome of a post, shown at the top after its redirect
// (submit_feedback.hpp): settings apply from the next restart.
void outcome_note(Sink& out, const PageContext& ctx, const char* saved_text) {
  if (!ctx.outcome_shown) return;
  out.put("<P class=\"note\">");
  if (ctx.post_written) {
    out.printf("<font color=\"#00C000\">%s</font>\nThe new settings take effect after a restart. "
               "<input type=\"button\" value=\"Restart service\" data-onclick=\"ConfirmRestart\">\n",
               saved_text);
    // A value the file cannot hold so that it reads back the same was not
    // stored: the page says so instead of letting it pass as saved.
    if (!ctx.post_refused.empty())
      out.printf("<br><font color=\"#C00000\">Not saved, the old value is kept (control characters, both quote "
                 "marks or too long): %s</font>\n",
                 html_escape(ctx.post_refused).c_str());
  } else {
    // A failed write is not reported as saved: the file kept its old values.
    out.put("<font color=\"#C00000\">Settings could not be saved, the file is unchanged. See the log file!</font>\n");
  }
  out.put("</P>\n");
}

void form_buttons(Sink& out) {
  out.put(
      "<input type=\"submit\" value=\"Save settings\">&nbsp;<input type=\"button\" value=\"Cancel\" "
      "data-href=\"/\">\n");
}

void page_head(Sink& out, const char* title) {
  head_variant_b(out);
  title_piece(out, title);
  style_piece(out, false);
  confirm_script(out, "ConfirmRestart",
                 "Do you want to restart the service? During the restart, the wallbox/ charging will be deactivated!!",
                 "/restart");
}

}  // namespace

void page_settings(Sink& out, const PageContext& ctx) {
  const FileValues f;
  page_head(out, "settings page");
  out.put(
      "</HEAD>\n<BODY data-onload=\"selectStorage selectWallbox selectMysql selectKNX selectSmartmeter "
      "selectStartmode selectMqtt\">\n");
  out.printf("<H2>General settings %s</H2>\n", KIVVersion().c_str());
  button_bar(out);
  outcome_note(out, ctx, "Settings successfully saved. Restart the service to apply the configuration settings!");
  out.put("<form name=\"details\" method=\"POST\" action=\"/settings\" data-onsubmit=\"validate\">\n<PRE>\n");
  form_token_field(out, ctx.req);
  out.put("<table border=\"0\" cellpadding=\"2\" cellspacing=\"0\"><colgroup>");
  for (int w : {170, 120, 20, 170, 120, 20, 187, 120, 20}) out.printf("<col width=\"%d\">", w);
  out.put("</colgroup><tbody>\n");

  // Control
  const std::string start = f.text("StartMode");
  std::string startmode = "<select name=\"StartMode\" data-onchange=\"selectStartmode\">";
  startmode += option("quick", "Quick", iequals(start, "quick"));
  startmode += option("surplus", "Surplus", iequals(start, "surplus"));
  startmode += option("manual", "Manual", iequals(start, "manual"));
  startmode += option("off", "Off", iequals(start, "off"));
  startmode += "</select>";
  const long manual = f.num("ManualValue");
  const bool manual_known = is_manual_current(static_cast<int>(manual));
  std::string manual_sel = "<select name=\"ManualValue\">";
  for (int c : kManualCurrents)
    manual_sel += option(std::to_string(c), std::to_string(c), manual_known ? c == manual : c == 6000);
  manual_sel += "</select> mA";
  const std::string activation = std::to_string(std::labs(f.num("ActivationValue")));

  std::string wb_type = "<select name=\"WallboxType\">" + option("KEBAP20", "KEBA P20", true) + "</select>";
  std::string ss_type = "<select name=\"StorageType\">" + option("SIX0H", "SMA SI or SBS", true) + "</select>";

  row(out, heading("Control"), heading("Wallbox"), heading("Storage system"));
  row(out, {"Startmode", startmode}, {"Using", checkbox("WallboxUsing", f.ticked("WallboxUsing"), "selectWallbox")},
      {"Using", checkbox("StorageUsing", f.ticked("StorageUsing"), "selectStorage")});
  row(out, {"Activation at", input("ActivationValue", activation, 7, 5, true) + " W"}, {"Type", wb_type},
      {"Type", ss_type});
  row(out, {"Manual Current", manual_sel},
      {"IP address", input("WallboxIP", f.attr("WallboxIP"), 15, 15, false)},
      {"IP address", input("StorageIP", f.attr("StorageIP"), 15, 15, false)});
  row(out, kEmpty, kEmpty,
      {"EV/storage ratio",
       input("StorageRatio", std::to_string(f.num("StorageRatio")), 4, 3, true, "checkEVRatio") +
           "% EV"});

  // Infrastructure, database, vehicle
  row(out, heading("Infrastructure"), heading("MySQL database"), kEmpty);
  row(out, {"House fuses", input("FusesValue", std::to_string(f.num("FusesValue")), 7, 5, true) + " mA"},
      {"Using", checkbox("MysqlUsing", f.ticked("MysqlUsing"), "selectMysql")}, kEmpty);
  row(out,
      {"Safety distance", input("SafetyValue", std::to_string(f.num("SafetyValue")), 7, 4, true) + " mA"},
      {"IP address", input("MysqlIP", f.attr("MysqlIP"), 15, 15, false)}, kEmpty);
  row(out, kEmpty, {"Port number", input("MysqlPort", std::to_string(f.num("MysqlPort")), 6, 5, true)}, kEmpty);

  const long phases = f.num("MaxPhases");
  std::string phases_sel = "<select name=\"MaxPhases\">";
  for (int p = 1; p <= 3; ++p) phases_sel += option(std::to_string(p), std::to_string(p), p == phases);
  phases_sel += "</select>";
  const long minc = f.num("MinCharge");
  const bool minc_known = is_min_charge_current(static_cast<int>(minc));
  std::string minc_sel = "<select name=\"MinCharge\">";
  for (int c : {6000, 7020, 7980, 9000})
    minc_sel += option(std::to_string(c), std::to_string(c), minc_known ? c == minc : c == 6000);
  minc_sel += "</select> mA";
  const bool tesla = f.num("TeslaWorkaround") == 1;
  std::string tesla_sel = "<select name=\"TeslaWorkaround\">" + option("1", "ON", tesla) + option("0", "OFF", !tesla) +
                          "</select>";

  row(out, heading("Electric vehicle"),
      {"Database name", input("MysqlDatabase", f.attr("MysqlDatabase"), 15, 20, false, nullptr, "text", true)},
      kEmpty);
  row(out, {"Max charging phases", phases_sel},
      {"Username", input("MysqlUsername", f.attr("MysqlUsername"), 15, 20, false, nullptr, "text", true)}, kEmpty);
  row(out, {"Min charging current", minc_sel},
      // The stored password never leaves the server: the field starts empty.
      {"Password", input("MysqlPassword", "", 15, 20, false, nullptr, "password", true) +
                       " <small>unchanged unless you type a new one</small>"},
      kEmpty);
  row(out, {"Tesla workarounds", tesla_sel}, kEmpty, kEmpty);
  row(out,
      {"Phase switch guard",
       input("PhaseSwitchGuard", std::to_string(f.num("PhaseSwitchGuard")), 5, 4, true) + " s"},
      kEmpty, kEmpty);
  out.put("<tr><td colspan=\"9\">&nbsp;</td></tr>\n");

  // Meter and KNX
  const std::string mtype = f.text("SmartmeterType");
  std::string mtype_sel = "<select name=\"SmartmeterType\" data-onchange=\"setSmartmeterData\">";
  mtype_sel += option("SMA", "SMA EM", iequals(mtype, "SMA"));
  mtype_sel += option("OEM", "OpenEnergy", iequals(mtype, "OEM"));
  mtype_sel += option("AS1440", "Elster AS1440", iequals(mtype, "AS1440"));
  mtype_sel += option("MT175", "iskra MT175", iequals(mtype, "MT175"));
  mtype_sel += option("LOCAL", "Local, no meter", iequals(mtype, "LOCAL"));
  mtype_sel += "</select>";
  char serial[24];
  std::snprintf(serial, sizeof serial, "%lu", f.unum("SmartmeterSerial"));

  row(out, heading("Smartmeter"), heading("KNX broadcast"), heading("MQTT broker"));
  row(out, {"Using", checkbox("SmartmeterUsing", f.ticked("SmartmeterUsing"), "selectSmartmeter")},
      {"Using", checkbox("KNXUsing", f.ticked("KNXUsing"), "selectKNX")},
      {"Using", checkbox("MqttUsing", f.ticked("MqttUsing"), "selectMqtt")});
  row(out, {"Type", mtype_sel}, {"Gateway IP", input("KNXIP", f.attr("KNXIP"), 15, 15, false)},
      {"Host", input("MqttHost", f.attr("MqttHost"), 15, 59, false, nullptr, "text", true)});
  row(out, {"IP address", input("SmartmeterIP", f.attr("SmartmeterIP"), 15, 15, false)},
      {"Port number", input("KNXPort", std::to_string(f.num("KNXPort")), 6, 5, true)},
      {"Port number", input("MqttPort", std::to_string(f.num("MqttPort")), 6, 5, true)});
  row(out, {"Port number", input("SmartmeterPort", std::to_string(f.num("SmartmeterPort")), 6, 5, true)},
      {"Interval in seconds",
       input("KNXInterval", std::to_string(f.num("KNXInterval")), 4, 3, true, "checkKNXInterval")},
      {"Username", input("MqttUsername", f.attr("MqttUsername"), 15, 59, false, nullptr, "text", true)});
  row(out, {"Serial number", input("SmartmeterSerial", serial, 15, 10, true)}, kEmpty,
      // The stored password never leaves the server: the field starts empty.
      {"Password", input("MqttPassword", "", 15, 59, false, nullptr, "password", true) +
                       " <small>unchanged unless you type a new one</small>"});
  row(out, {"Time-out in seconds", input("SmartmeterTimeout", std::to_string(f.num("SmartmeterTimeout")), 4, 3, true)},
      kEmpty, {"TLS", checkbox("MqttTls", f.ticked("MqttTls"), "selectMqtt")});
  row(out, kEmpty, kEmpty,
      {"CA file", input("MqttCaFile", f.attr("MqttCaFile"), 15, 59, false, nullptr, "text", true)});
  row(out, kEmpty, kEmpty,
      {"Base topic", input("MqttTopic", f.attr("MqttTopic"), 15, 59, false, nullptr, "text", true)});
  row(out, kEmpty, kEmpty, {"HA discovery", checkbox("MqttDiscovery", f.ticked("MqttDiscovery"), "selectMqtt")});
  row(out, kEmpty, kEmpty,
      {"Discovery prefix",
       input("MqttDiscoveryPrefix", f.attr("MqttDiscoveryPrefix"), 15, 59, false, nullptr, "text", true)});
  row(out, kEmpty, kEmpty,
      {"Interval in seconds", input("MqttInterval", std::to_string(f.num("MqttInterval")), 5, 4, true)});

  out.put("</tbody></table>\n");
  out.put("<B>Host names</B> (further names of this server, comma-separated; IP addresses, localhost and the host "
          "name always work)\n");
  out.put("Host names           " + input("WebHostNames", f.attr("WebHostNames"), 40, 59, false) + "\n");
  web_password_block(out, ctx.password_note);
  form_buttons(out);
  out.put("</PRE>\n</form>\n");
  body_end(out);
}

namespace {

struct Datapoint {
  const char* name;
  const char* unit;
  const char* dpt;
  const char* length;
  const char* update;
};

constexpr Datapoint kDatapointRows[kDatapoints] = {
    {"meter real power L1", "W", "DPT 13.x", "4 byte", "cyclical"},
    {"meter real power L2", "W", "DPT 13.x", "4 byte", "cyclical"},
    {"meter real power L3", "W", "DPT 13.x", "4 byte", "cyclical"},
    {"meter real power L1+L2+L3", "W", "DPT 13.x", "4 byte", "cyclical"},
    {"meter voltage L1", "V", "DPT 7.x", "2 byte", "cyclical"},
    {"meter voltage L2", "V", "DPT 7.x", "2 byte", "cyclical"},
    {"meter voltage L3", "V", "DPT 7.x", "2 byte", "cyclical"},
    {"meter power factor", "cos phi", "DPT 14.057", "4 byte", "cyclical"},
    {"meter energy consumption", "kWh", "DPT 14.x", "4 byte", "cyclical"},
    {"meter energy surplus", "kWh", "DPT 14.x", "4 byte", "cyclical"},
    {"available power", "W", "DPT 12.x", "4 byte", "cyclical"},
    {"wallbox charging mode", "-", "DPT 5.010", "1 byte", "on change"},
    {"wallbox state", "-", "DPT 6.010", "1 byte", "on change"},
    {"wallbox plug state", "-", "DPT 6.010", "1 byte", "on change"},
    {"wallbox system enabled", "-", "DPT 1.002", "1 bit", "on change"},
    {"wallbox input X1", "-", "DPT 1.003", "1 bit", "on change"},
    {"wallbox output X2", "-", "DPT 1.002", "1 bit", "on change"},
    {"wallbox charging power", "W", "DPT 12.x", "4 byte", "on change"},
    {"wallbox session energy", "kWh", "DPT 14.x", "4 byte", "on change"},
    {"wallbox total energy", "kWh", "DPT 14.x", "4 byte", "on change"},
    {"storage battery SOC", "%", "DPT 5.001", "1 byte", "on change"},
    {"storage battery temp", "\xC2\xB0" "C", "DPT 9.001", "2 byte", "on change"},
    {"storage battery voltage", "V", "DPT 14.x", "4 byte", "on change"},
    {"storage battery current", "A", "DPT 14.x", "4 byte", "on change"},
    {"storage power", "W", "DPT 13.x", "4 byte", "on change"},
};

}  // namespace

void page_knx(Sink& out, const PageContext& ctx) {
  const FileValues f;
  page_head(out, "KNX page");
  out.put("</HEAD>\n<BODY data-onload=\"selectItem\">\n");
  out.printf("<H2>KNX settings %s</H2>\n", KIVVersion().c_str());
  button_bar(out, true);
  outcome_note(out, ctx, "Settings successfully saved. Restart the service to apply the knx configuration settings!");
  const bool wallbox = wallbox_used();
  const bool storage = storage_used();
  auto shown = [&](int n) { return !(n >= 12 && n <= 20 && !wallbox) && !(n >= 21 && !storage); };
  out.put("<form name=\"vioform\" method=\"POST\" action=\"/knx\" data-onsubmit=\"validate\">\n");
  form_token_field(out, ctx.req);
  // Rows left out keep their file values on a save.
  std::string rows;
  for (int n = 1; n <= kDatapoints; ++n) rows += shown(n) ? '1' : '0';
  out.printf("<input type=\"hidden\" name=\"%s\" value=\"%s\">\n", kKnxShownField, rows.c_str());
  out.put(
      "<table style=\"width: 100%;\" border=\"0\" cellpadding=\"2\" cellspacing=\"0\"><tbody>\n"
      "<tr><th align=\"left\">Name</th><th>Unit/values</th><th>Active</th><th>Group "
      "address</th><th>DPT</th><th>Length</th><th>Update</th></tr>\n");
  // The older layout's single KNX:GROUPADR stands for datapoint 4.
  const bool older = f.has("KNX:GROUPADR");
  for (int n = 1; n <= kDatapoints; ++n) {
    if (!shown(n)) continue;
    const Datapoint& d = kDatapointRows[n - 1];
    const std::string num = std::to_string(n), cb_name = "c_" + num, g_name = "g_" + num;
    const bool ticked = !(n == 4 && older) && f.ticked("DPT_" + num + ":USING", "FALSE");
    const std::string adr = n == 4 && older ? f.attr("KNX:GROUPADR", "8/1/4")
                                            : f.attr("DPT_" + num + ":GROUPADR", "8/1/" + num);
    std::string s = "<tr><td>";
    s += d.name;
    s += "</td><td align=\"center\">";
    s += html_escape(d.unit);
    s += "</td><td align=\"center\">" + checkbox(cb_name.c_str(), ticked, "selectItem");
    s += "</td><td align=\"center\">" + input(g_name.c_str(), adr, 11, 11, false);
    s += "</td><td align=\"center\">";
    s += d.dpt;
    s += "</td><td align=\"center\">";
    s += d.length;
    s += "</td><td align=\"center\">";
    s += d.update;
    s += "</td></tr>\n";
    out.put(s);
  }
  out.put("</tbody></table>\n");
  form_buttons(out);
  out.put("<br />\n</form>\n");
  body_end(out);
}

bool write_settings_form(std::string_view body, int mode, std::string* refused) {
  FormOutcome outcome;
  const bool written = WriteIniFile(body, mode, &outcome) != 0;
  if (refused) *refused = std::move(outcome.refused);
  return written;
}

}  // namespace kivd::web
