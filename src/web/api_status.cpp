#include "web/api_status.hpp"

#include <cstdio>
#include <cstdlib>

#include "core/keba_codes.hpp"
#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "web/code_tables.hpp"

namespace kivd::web {

namespace {

// A JSON string; the texts are ASCII from the code tables and stamps, but a
// quote, backslash or control byte must still not break the document.
void json_string(Sink& out, const char* text) {
  out.put("\"");
  const char* run = text;
  for (const char* p = text; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.put(std::string_view(run, static_cast<std::size_t>(p - run)));
    if (c == '"' || c == '\\') {
      const char esc[2] = {'\\', static_cast<char>(c)};
      out.put(std::string_view(esc, 2));
    } else {
      out.printf("\\u%04x", c);
    }
    run = p + 1;
  }
  out.put(run);
  out.put("\"");
}

const char* boolean(bool b) { return b ? "true" : "false"; }

// mA as A with three decimals, exact and without floating point.
void amps(Sink& out, long mA) {
  const long a = std::labs(mA);
  out.printf("%s%ld.%03ld", mA < 0 ? "-" : "", a / 1000, a % 1000);
}

void amps3(Sink& out, const long (&mA)[3]) {
  out.put("[");
  for (int k = 0; k < 3; ++k) {
    if (k) out.put(",");
    amps(out, mA[k]);
  }
  out.put("]");
}

// 0.1 Wh as kWh with four decimals.
void kwh(Sink& out, unsigned long dWh) { out.printf("%lu.%04lu", dWh / 10000, dWh % 10000); }

}  // namespace

StatusSnapshot status_snapshot(const PageContext& ctx) {
  const LiveValues& v = live();
  const Settings& cf = cfg();
  StatusSnapshot s;
  const std::tm& t = ctx.time.local;
  std::snprintf(s.time, sizeof s.time, "%02d.%02d.%d %02d:%02d:%02d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900,
                t.tm_hour, t.tm_min, t.tm_sec);
  s.uptime_s = ctx.uptime_s;

  s.meter_used = cf.KivUsing;
  s.meter_stale = !meter_values_fresh();
  s.meter_timeout_s = cf.KivTimeout;
  s.grid_power_W = v.intpow;
  s.grid_current_mA[0] = v.em_i1;
  s.grid_current_mA[1] = v.em_i2;
  s.grid_current_mA[2] = v.em_i3;
  v.last_kiv_datetime.copy_to(s.meter_last);

  s.car_used = cf.WallboxUsing;
  s.car_answering = wallbox_answering();
  s.car_command_ok = v.wb_send_ok == 1;
  s.mode = charging_mode_text(v.ChargingMode);
  s.car_power_W = v.wb_pow / 1000;
  s.current_set_mA = v.wb_curr_usr;
  s.car_current_mA[0] = v.wb_i1;
  s.car_current_mA[1] = v.wb_i2;
  s.car_current_mA[2] = v.wb_i3;
  s.max_phases = v.CarMaxPhases;
  s.output_x2 = v.wb_X2_out;
  s.state = v.wb_state;
  s.state_text = keba_state_text(s.state);
  s.plug = v.wb_plug;
  s.plug_text = keba_plug_text(s.plug);
  s.enabled = v.wb_enable_sys;
  s.session_dWh = v.wb_e_pres;
  s.total_dWh = static_cast<unsigned>(v.wb_e_total.load());
  v.last_udp_datetime.copy_to(s.car_last_reply);
  v.last_wbc_datetime.copy_to(s.car_last_control);

  s.storage_used = cf.SSUsing;
  s.storage_stale = !is_fresh(v.ss_received_ms, kStorageFreshFor);
  s.soc_pct = v.ss_bat_soc;
  s.storage_power_W = v.ss_ac_power;
  return s;
}

void write_status_json(Sink& out, const StatusSnapshot& s) {
  out.put("{\"time\":");
  json_string(out, s.time);
  out.printf(",\"uptime_s\":%ld", s.uptime_s);

  out.printf(",\"meter\":{\"used\":%s,\"stale\":%s,\"timeout_s\":%d,\"power_W\":%ld,\"current_A\":",
             boolean(s.meter_used), boolean(s.meter_stale), s.meter_timeout_s, s.grid_power_W);
  amps3(out, s.grid_current_mA);
  out.put(",\"last_receive\":");
  json_string(out, s.meter_last);

  out.printf("},\"car\":{\"used\":%s,\"answering\":%s,\"command_ok\":%s,\"mode\":", boolean(s.car_used),
             boolean(s.car_answering), boolean(s.car_command_ok));
  json_string(out, s.mode);
  out.printf(",\"power_W\":%ld,\"current_set_A\":", s.car_power_W);
  amps(out, s.current_set_mA);
  out.put(",\"current_A\":");
  amps3(out, s.car_current_mA);
  out.printf(",\"max_phases\":%d,\"more_phases\":%s,\"state\":%d,\"state_text\":", s.max_phases,
             boolean(s.output_x2 == 1), s.state);
  json_string(out, s.state_text);
  out.printf(",\"plug\":%d,\"plug_text\":", s.plug);
  json_string(out, s.plug_text);
  out.put(",\"enabled\":");
  out.put(s.enabled == 0 ? "false" : s.enabled == 1 ? "true" : "null");
  out.put(",\"session_kWh\":");
  kwh(out, static_cast<unsigned long>(s.session_dWh < 0 ? 0 : s.session_dWh));
  out.put(",\"total_kWh\":");
  kwh(out, s.total_dWh);
  out.put(",\"last_reply\":");
  json_string(out, s.car_last_reply);
  out.put(",\"last_control\":");
  json_string(out, s.car_last_control);

  out.printf("},\"storage\":{\"used\":%s,\"stale\":%s,\"soc_pct\":%ld,\"power_W\":%ld}}\n",
             boolean(s.storage_used), boolean(s.storage_stale), s.soc_pct, s.storage_power_W);
}

void page_api_status(Sink& out, const PageContext& ctx) { write_status_json(out, status_snapshot(ctx)); }

}  // namespace kivd::web
