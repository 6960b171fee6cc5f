// The control page (a form for the charging choices) and the remote
// interface (a query-string API answering in XML).
#include <cstdlib>
#include <string>

#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "core/utils.hpp"
#include "web/handover.hpp"
#include "web/pages.hpp"
#include "web/password_gate.hpp"

namespace kivd::web {

namespace {

constexpr const char* kChecked = "checked=\"checked\"";
constexpr const char* kSelected = "selected";

void notice_page(Sink& out) {
  head_variant_b(out);
  title_piece(out, "control page");
  style_piece(out, false);
  out.printf("</HEAD><BODY>\n<H2>Webcontrol %s</H2>\n", KIVVersion().c_str());
  button_bar(out);
  out.put("<table style=\"width: 975px;\" border=\"0\" cellpadding=\"5\" cellspacing=\"0\"><tbody>\n");
  out.put("<tr><td style=\"vertical-align:top;\"><PRE>\n\n");
  out.put("Webcontrols are disabled during quick mode button (X1) is pushed!\n");
  out.put("</PRE>\n</td></tr>\n");
  out.put("</tbody></table>\n");
  out.put("</BODY></HTML>\n");
}

// Options of a select list, five or six to a piece; the one equal to
// `selected` is marked.
template <std::size_t N>
void options(Sink& out, const int (&values)[N], int selected) {
  std::string piece;
  char buf[100];
  for (std::size_t i = 0; i < N; ++i) {
    std::snprintf(buf, sizeof buf, "<option %s value=\"%d\">%d</option>\n", values[i] == selected ? kSelected : "",
                  values[i], values[i]);
    piece += buf;
    if (i % 6 == 5 || i + 1 == N) {
      out.put(piece);
      piece.clear();
    }
  }
}

constexpr int kManualList[] = {6000,  7020,  7980,  9000,  10020, 10980, 12000, 13020, 13980,
                               15000, 16020, 16980, 18000, 19020, 19980, 21000, 22020, 22980,
                               24000, 25020, 25980, 27000, 28020, 28980, 30000, 31020, 31980};
constexpr int kMinChargeList[] = {6000, 7020, 7980, 9000};

void form_page(Sink& out, const PageContext& ctx) {
  const LiveValues& v = live();
  const int mode = v.web_charge_mode;
  auto mark = [&](int m) { return mode == m ? kChecked : ""; };
  const int phases = v.CarMaxPhases;
  auto ph = [&](int p) { return phases == p ? kSelected : ""; };
  const int manual = is_manual_current(v.ManualCurrent) ? v.ManualCurrent.load() : 6000;
  const int min_charge = is_min_charge_current(v.CarMinCharge) ? v.CarMinCharge.load() : 6000;

  no_cache_piece(out);
  content_type_meta_piece(out);
  title_piece(out, "control page");
  style_piece(out, false);
  out.put("</HEAD>\n");
  out.printf("<BODY data-onload=\"select_mode\">\n<H2>Webcontrol %s</H2>\n", KIVVersion().c_str());
  button_bar(out);
  // The outcome of a post, shown after its redirect (submit_feedback.hpp).
  if (ctx.outcome_shown) {
    if (ctx.post_applied)
      out.put("<P class=\"note\"><font color=\"#00C000\">Operation succeeded.</font> The change takes effect at "
              "the next control cycle, within a minute.</P>\n");
    else out.put("<P class=\"note\"><font color=\"#C00000\">Operation failed, nothing was changed.</font></P>\n");
  }
  out.put("<form action=\"/control\" method=\"POST\" name=\"details\" ><PRE>\n");
  form_token_field(out, ctx.req);
  out.put("<table style=\"width: 450px;\" border=\"0\" cellpadding=\"6\" cellspacing=\"0\"><tbody>\n");
  out.put("<tr><td height=\"40\"><b>Modes:</b></td></tr>");
  out.printf(
      "<tr><td height=\"40\"><input name=\"WebChargingMode\" data-onclick=\"select_mode\" value=\"3\" type=\"radio\" %s "
      "/>&nbsp;&nbsp;OFF</td><td>&nbsp;</td><td>&nbsp;</td></tr>\n",
      mark(3));
  out.printf(
      "<tr><td height=\"40\"><input name=\"WebChargingMode\" data-onclick=\"select_mode\" value=\"1\" type=\"radio\" %s "
      "/>&nbsp;&nbsp;QUICK</td><td>&nbsp;</td><td>&nbsp;</td></tr>\n",
      mark(1));
  out.printf(
      "<tr><td height=\"40\"><input name=\"WebChargingMode\" data-onclick=\"select_mode\" value=\"0\" type=\"radio\" %s "
      "/>&nbsp;&nbsp;SURPLUS</td><td>activation at  </td><td><input style=\"text-align:center\" type=int "
      "inputmode=\"numeric\" data-onkeyup=\"checkInput\" size=\"5\" maxlength=\"5\" name=\"ActivationValue\" value=\"%ld\" /> W</td></tr>\n",
      mark(0), std::labs(static_cast<long>(v.WallboxActivation.load())));
  out.printf(
      "<tr><td height=\"40\"><input name=\"WebChargingMode\" data-onclick=\"select_mode\" value=\"2\" type=\"radio\" %s "
      "/>&nbsp;&nbsp;MANUAL</td><td>current set  </td><td><select name=\"ManualValue\" class=\"ComboBox\" "
      "size=\"1\">\n",
      mark(2));
  options(out, kManualList, manual);
  out.put("</select> mA</td></tr>\n");
  out.put("<tr><td colspan=\"3\">&nbsp;</td></tr>\n");
  out.put("<tr><td height=\"40\"><b>Additional settings:</b></td></tr>");
  out.put(
      "<tr><td height=\"40\">Min charging current   </td><td>&nbsp;</td><td><select name=\"MinCharge\" "
      "class=\"ComboBox\" size=\"1\">\n");
  options(out, kMinChargeList, min_charge);
  out.put("</select> mA</td></tr>\n");
  out.printf(
      "<tr><td height=\"40\">Max charging phases    </td><td>&nbsp;</td><td><select name=\"MaxPhases\" "
      "class=\"ComboBox\" size=\"1\"><option %s value=\"1\">1</option><option %s value=\"2\">2</option><option %s "
      "value=\"3\">3</option></select></td></tr>\n",
      ph(1), ph(2), ph(3));
  out.put("</tbody></table>\n");
  out.put("<input type=submit value=\"Apply Changes\">&nbsp;");
  out.put("<input type=\"button\" value=\"Cancel\" data-href=\"/\">\n");
  out.put("</PRE></form></BODY></HTML>\n");
}

enum class RemoteName { None, Mode, MinCharge, MaxPhases, Manual, Surplus, Action };

RemoteName remote_name(std::string_view name) {
  if (name == "mode") return RemoteName::Mode;
  if (name == "carmincharge") return RemoteName::MinCharge;
  if (name == "carmaxphases") return RemoteName::MaxPhases;
  if (name == "manualcurrent") return RemoteName::Manual;
  if (name == "surplusactivate") return RemoteName::Surplus;
  if (name == "action") return RemoteName::Action;
  return RemoteName::None;
}

// Calls f(piece, name, value) for each piece of the query that has a value.
template <typename F>
void for_each_pair(std::string_view query, F f) {
  for (;;) {
    const std::size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    const std::size_t eq = piece.find('=');
    if (eq != std::string_view::npos) {
      std::string_view value = piece.substr(eq + 1);
      value = value.substr(0, value.find('='));
      if (!value.empty()) f(piece, piece.substr(0, eq), value);
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
}

}  // namespace

void page_control(Sink& out, const PageContext& ctx) {
  if (live().disable_web_control == 1) notice_page(out);
  else form_page(out, ctx);
}

void page_remote(Sink& out, const PageContext& ctx) {
  out.put("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<RemoteControl>\n");
  const std::string_view r = *ctx.req.resource;
  if (path_part(r) != "/remote") {
    out.put("</RemoteControl>\n");
    return;
  }
  const auto query = query_part(r);
  if (!query) {
    out.put("\t<exception>no valid parameter found</exception>\n</RemoteControl>\n");
    return;
  }
  if (query->size() > kHandOverMax) {
    out.put("\t<exception>parameter string is too long</exception>\n</RemoteControl>\n");
    return;
  }
  static constexpr const char* kModeNames[] = {"surplus", "quick", "manual", "off"};
  int recognised = 0;
  for_each_pair(*query, [&](std::string_view, std::string_view name, std::string_view value) {
    const int n = atoi_rules(value);
    switch (remote_name(name)) {
      case RemoteName::None: return;
      case RemoteName::Mode:
        // The same search the daemon applies, so the answer names the mode
        // that is really set.
        out.printf("\t<set name=\"mode\">%s</set>\n", kModeNames[remote_mode(value)]);
        break;
      case RemoteName::MinCharge: out.printf("\t<set name=\"carmincharge\">%ld</set>\n", static_cast<long>(limit_min_charge(n))); break;
      case RemoteName::MaxPhases: out.printf("\t<set name=\"carmaxphases\">%ld</set>\n", static_cast<long>(limit_phases(n))); break;
      case RemoteName::Manual:
        out.printf("\t<set name=\"manualcurrent\">%ld</set>\n", static_cast<long>(manual_current_step(n)));
        break;
      case RemoteName::Surplus:
        out.printf("\t<set name=\"surplusactivate\">%ld</set>\n", static_cast<long>(limit_activation(n)));
        break;
      case RemoteName::Action:
        if (value == "restart")
          out.printf("\t<action name=\"%s\">%s</action>\n", "restart",
                     ctx.handover_failed ? "failed" : "successful initiated");
        else out.printf("\t<exception>%s is not a valid action</exception>\n", xml_escape(value).c_str());
        break;
    }
    ++recognised;
  });
  if (recognised == 0) out.put("\t<exception>no valid parameter found</exception>\n");
  else out.put(ctx.handover_failed ? "\t<parameters>failed</parameters>\n" : "\t<parameters>successful</parameters>\n");
  out.put("</RemoteControl>\n");
}

}  // namespace kivd::web
