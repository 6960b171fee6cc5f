// The info page and the XML status: read-only views of the live values.
#include <cstdlib>
#include <string>

#include "core/daemon_state.hpp"
#include "core/keba_codes.hpp"
#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "web/code_tables.hpp"
#include "web/day_chart.hpp"
#include "web/live_cells.hpp"
#include "web/pages.hpp"

namespace kivd::web {

namespace {

struct Uptime {
  long d, h, m, s;
};

Uptime split_uptime(long secs) {
  return {secs / 86400, (secs % 86400) / 3600, (secs % 3600) / 60, secs % 60};
}

std::string h(const DeviceText& t) { return html_escape(t.get()); }
std::string h(const StampText& t) { return html_escape(t.get()); }
std::string h(const std::string& t) { return html_escape(t); }
std::string x(const DeviceText& t) { return xml_escape(t.get()); }
std::string x(const StampText& t) { return xml_escape(t.get()); }
std::string x(const std::string& t) { return xml_escape(t); }

float scaled(int v, float by) { return static_cast<float>(v) / by; }

// "<label><n> mA (<n.n> A)\n"; a live value when key is given.
void milliamps(Sink& out, const char* label, const std::atomic<int>& mA, const char* key = nullptr) {
  const long value = mA.load();
  out.put(label);
  if (key) live_cell(out, key, "%ld mA", value);
  else out.printf("%ld mA", value);
  amp_cell(out, key, value);
  out.put("\n");
}

void general_block(Sink& out, const PageContext& ctx) {
  const LiveValues& v = live();
  const std::tm& t = ctx.time.local;
  out.put("General info\n------------\n");
  out.put("Current datetime        ");
  live_cell(out, "time", "%02d.%02d.%d %02d:%02d:%02d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900, t.tm_hour,
            t.tm_min, t.tm_sec);
  out.put("\nLast kiv receive        ");
  live_cell(out, "meter-last", "%s", h(v.last_kiv_datetime).c_str());
  out.put("\n");
  if (wallbox_used()) {
    out.put("Last udp receive        ");
    live_cell(out, "car-last-reply", "%s", h(v.last_udp_datetime).c_str());
    stale_mark(out, "car", !wallbox_answering());
    out.put("\nLast wallbox control    ");
    live_cell(out, "car-last-control", "%s", h(v.last_wbc_datetime).c_str());
    out.put("\n");
  }
  if (db_used()) out.printf("Last sql statement      %s\n", h(v.last_sql_datetime).c_str());
  if (knx_used()) out.printf("Last knx broadcast      %s\n", h(v.last_knx_datetime).c_str());
  if (storage_used()) out.printf("Last storage receive    %s\n", h(v.last_stg_datetime).c_str());
  const Uptime u = split_uptime(ctx.uptime_s);
  out.put("Uptime                  ");
  live_cell(out, "uptime", "%ldd %02ld:%02ld:%02ld", u.d, u.h, u.m, u.s);
  out.put("\n");
}

void meter_block(Sink& out) {
  const LiveValues& v = live();
  out.put("\nSmartMeter info\n---------------\n");
  out.printf("Typ                     %s\n", h(cfg().KivType).c_str());
  const long pow = v.intpow.load();
  const bool stale = !meter_values_fresh();
  out.put("Actual grid-power       ");
  if (pow >= 0) live_cell(out, "grid", "<font color=\"#C00000\">%ld W</font> from the grid", pow);
  else live_cell(out, "grid", "<font color=\"#00C000\">%ld W</font> to the grid", -pow);
  kw_cell(out, "grid", pow);
  stale_mark(out, "meter", stale);
  out.put("\nGrid currents           ");
  live_cell(out, "grid-a", "%.1f / %.1f / %.1f A", scaled(v.em_i1, 1000.0f), scaled(v.em_i2, 1000.0f),
            scaled(v.em_i3, 1000.0f));
  stale_mark(out, "meter", stale);
  out.printf("\nPower factor cos phi    %.3f\n", scaled(v.em_pf, 1000.0f));
  // The fuse check ignores values older than the time-out.
  out.put("Meter data              ");
  if (stale) live_cell(out, "meter-data", "<font color=\"#C00000\">stale</font>, older than %d s", cfg().KivTimeout);
  else live_cell(out, "meter-data", "fresh");
  out.printf("\nHouse main-fuses        %ld mA", static_cast<long>(cfg().InfrastructureCurrent));
  amp_cell(out, nullptr, cfg().InfrastructureCurrent);
  out.put("\n");
}

void charging_block(Sink& out) {
  const LiveValues& v = live();
  out.put("\nCharging info\n-------------\n");
  if (!wallbox_used()) {
    out.put("State                   inactive\n");
    return;
  }
  const int mode = v.ChargingMode;
  out.put("Charging mode           ");
  live_cell(out, "mode", "%s", charging_mode_text(mode));
  out.put("\n");
  switch (mode) {
    case 1:
      out.printf("Activation at           <font color=\"#00C000\">%ld W</font> to the grid\n",
                 std::labs(static_cast<long>(v.WallboxActivation.load())));
      out.printf("Evaluation points       %ld\n", static_cast<long>(v.points.load()));
      break;
    case 2: milliamps(out, "Safety current          ", v.safety_curr); break;
    case 3:
      milliamps(out, "Manually set            ", v.ManualCurrent);
      milliamps(out, "Safety current          ", v.safety_curr);
      break;
    default: break;
  }
}

void wallbox_block(Sink& out) {
  const LiveValues& v = live();
  if (!wallbox_used()) {
    out.put("State                   inactive\n");
    return;
  }
  out.printf("Product-ID              %s\n", h(v.wb_product_id).c_str());
  out.printf("Serial                  %s\n", h(v.wb_serial).c_str());
  out.printf("Firmware                %s\n", h(v.wb_firmware).c_str());
  const bool silent = !wallbox_answering();
  out.put("State                   ");
  live_cell(out, "car-state", "%s", keba_state_text(v.wb_state));
  stale_mark(out, "car", silent);
  out.put("\nPlug                    ");
  live_cell(out, "car-plug", "%s", keba_plug_text(v.wb_plug));
  out.put("\n");
  out.printf("Failsafe                %s\n", v.wb_failsafe == 1 ? "enabled" : "disabled");
  const int en = v.wb_enable_sys;
  out.put("System enabled          ");
  live_cell(out, "car-enabled", "%s", en == 0 ? "false" : en == 1 ? "true" : "unknown");
  out.put("\n");
  out.printf("Input X1                %ld\n", static_cast<long>(v.wb_X1_in.load()));
  const int x2 = v.wb_X2_out;
  if (x2 == 0) out.put("Output X2               one phase\n");
  else if (x2 == 1) out.put("Output X2               more phases\n");
  milliamps(out, "Maximum current         ", v.wb_curr_max);
  milliamps(out, "Hardware current        ", v.wb_curr_hw);
  milliamps(out, "User current            ", v.wb_curr_usr, "car-set");
  milliamps(out, "Last actual current     ", v.wb_i1, "car-i");
  const long car_pow = v.wb_pow.load() / 1000;
  out.put("Last actual power       ");
  live_cell(out, "car-power", "%ld W", car_pow);
  kw_cell(out, "car-power", car_pow);
  stale_mark(out, "car", silent);
  out.printf("\nPower factor cos phi    %.3f\n", scaled(v.wb_pf, 1000.0f));
  out.put("Session energy          ");
  live_cell(out, "car-session", "%.2f kWh", scaled(v.wb_e_pres, 10000.0f));
  out.put("\nTotal energy            ");
  live_cell(out, "car-total", "%.2f kWh", static_cast<float>(static_cast<unsigned>(v.wb_e_total.load())) / 10000.0f);
  out.put("\n");
}

void storage_block(Sink& out) {
  const LiveValues& v = live();
  out.put("\nStorage info\n------------\n");
  out.printf("System name             %s\n", h(v.ss_devicename).c_str());
  out.printf("Serial                  %s\n", h(v.ss_serial).c_str());
  out.put("Battery SOC/temp        ");
  live_cell(out, "ss-soc", "%ld", static_cast<long>(v.ss_bat_soc.load()));
  out.printf(" %% / %.1f &deg;C\n", scaled(v.ss_bat_temp, 10.0f));
  out.printf("Battery U/I             %.1f V / %.1f A\n", scaled(v.ss_bat_voltage, 1000.0f),
             scaled(v.ss_bat_current, 1000.0f));
  const long ac = v.ss_ac_power.load();
  out.put("AC power                ");
  if (ac == 0) live_cell(out, "ss-power", "%ld W", ac);
  else if (ac > 0) live_cell(out, "ss-power", "<font color=\"#C00000\">%ld W</font> discharging", ac);
  else live_cell(out, "ss-power", "<font color=\"#00C000\">%ld W</font> charging", -ac);
  kw_cell(out, "ss-power", ac);
  stale_mark(out, "storage", !is_fresh(v.ss_received_ms, kStorageFreshFor));
  out.put("\n");
}

}  // namespace

void page_info(Sink& out, const PageContext& ctx) {
  head_variant_a(out);
  title_piece(out, "info page");
  if (daemon_state().intResources == 1)
    out.put("<link rel=\"shortcut icon\" href=\"favicon.ico\" type=\"image/x-icon\" />\n");
  style_piece(out);
  confirm_script(out, "ConfirmRestart",
                 "Do you want to restart the service? During the restart, the wallbox/ charging will be deactivated!!",
                 "/restart");
  confirm_script(out, "ConfirmCheckUpdate", "Do you want to check for updates?", "/checkupdate");
  body_start(out, kProductTitle);
  button_bar(out);
  out.put(
      "<table style=\"width: 975px;\" border=\"0\" cellpadding=\"5\" cellspacing=\"0\"><colgroup><col "
      "width=\"400\"><col width=\"575\"></colgroup><tbody>\n");
  out.put("<tr><td style=\"vertical-align:top;\"><PRE>\n\n");
  general_block(out, ctx);
  meter_block(out);
  charging_block(out);
  out.put("</PRE></td>\n");
  out.put("<td style=\"vertical-align:top;\"><PRE>\n\n");
  out.put("Wallbox info\n------------\n");
  wallbox_block(out);
  if (storage_used()) storage_block(out);
  out.put("</PRE>\n</td>\n");
  out.put("</tbody></table>\n");
  day_chart_piece(out);
  live_script(out, daemon_state().intResources == 1);
  out.put("<br /><input type=\"button\" value=\"Restart service\"data-onclick=\"ConfirmRestart\">&nbsp;\n");
  if (iequal(architecture(), "arm"))
    out.put("<input type=\"button\" value=\"Check update\" data-onclick=\"ConfirmCheckUpdate\">\n");
  body_end(out);
}

void page_xml(Sink& out, const PageContext& ctx) {
  const LiveValues& v = live();
  const Settings& s = cfg();
  const int wb = wallbox_used() ? 1 : 0, my = db_used() ? 1 : 0, knx = knx_used() ? 1 : 0,
            meter = meter_used() ? 1 : 0, ss = storage_used() ? 1 : 0;
  const std::tm& t = ctx.time.local;
  const Uptime u = split_uptime(ctx.uptime_s);
  auto L = [](const std::atomic<int>& a) { return static_cast<long>(a.load()); };

  out.put("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<GetValues>\n");
  out.printf("\t<Version>%s</Version>\n", KIVVersion().c_str());
  out.printf("\t<SettingsVersion>%s</SettingsVersion>\n", x(s.iniversion).c_str());
  out.printf("\t<Uptime>%ldd %02ld:%02ld:%02ld</Uptime>\n", u.d, u.h, u.m, u.s);
  if (!s.NetworkInterface.empty())
    out.printf("\t<NetworkInterface>%s</NetworkInterface>\n", x(s.NetworkInterface).c_str());
  out.printf("\t<Maker>%s charging controller</Maker>\n", kProductTitle);
  out.printf("\t<CurrentDateTime>%02d.%02d.%d %02d:%02d:%02d</CurrentDateTime>\n", t.tm_mday, t.tm_mon + 1,
             t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  out.printf("\t<LastKIVReceive>%s</LastKIVReceive>\n", x(v.last_kiv_datetime).c_str());
  out.printf("\t<LastUDPReceive>%s</LastUDPReceive>\n", x(v.last_udp_datetime).c_str());
  out.printf("\t<LastWallboxControl>%s</LastWallboxControl>\n", x(v.last_wbc_datetime).c_str());
  out.printf("\t<LastSQLStatement>%s</LastSQLStatement>\n", x(v.last_sql_datetime).c_str());
  out.printf("\t<LastKNXBroadcast>%s</LastKNXBroadcast>\n", x(v.last_knx_datetime).c_str());
  out.printf("\t<LastStorageReceive>%s</LastStorageReceive>\n", x(v.last_stg_datetime).c_str());

  out.printf("\t<SmartMeter>\n\t\t<Using>%d</Using>\n\t\t<Type>%s</Type>\n", meter, x(s.KivType).c_str());
  // 1 while the values are too old for the fuse check.
  out.printf("\t\t<Stale>%d</Stale>\n", meter_values_fresh() ? 0 : 1);
  out.printf("\t\t<Serial>%lu</Serial>\n", static_cast<unsigned long>(v.em_serial.load()));
  out.printf("\t\t<TimeStamp>%lu</TimeStamp>\n", static_cast<unsigned long>(v.em_timestamp.load()));
  out.printf("\t\t<ActualPower>%ld</ActualPower>\n", L(v.intpow));
  out.put("\t\t<RealPower>\n");
  out.printf("\t\t\t<L1>%ld</L1>\n\t\t\t<L2>%ld</L2>\n\t\t\t<L3>%ld</L3>\n", L(v.em_pow_1), L(v.em_pow_2), L(v.em_pow_3));
  out.put("\t\t</RealPower>\n");
  out.printf("\t\t<PowerFactor>\n\t\t\t<total>%.3f</total>\n\t\t</PowerFactor>\n", scaled(v.em_pf, 1000.0f));
  out.put("\t\t<Voltage>\n");
  out.printf("\t\t\t<L1>%ld</L1>\n\t\t\t<L2>%ld</L2>\n\t\t\t<L3>%ld</L3>\n", L(v.em_u1), L(v.em_u2), L(v.em_u3));
  out.put("\t\t</Voltage>\n");
  out.put("\t\t<mAmpere>\n");
  out.printf("\t\t\t<L1>%ld</L1>\n\t\t\t<L2>%ld</L2>\n\t\t\t<L3>%ld</L3>\n", L(v.em_i1), L(v.em_i2), L(v.em_i3));
  out.put("\t\t</mAmpere>\n");
  out.put("\t\t<MeterReadings>\n");
  out.printf("\t\t\t<Consumption>%.1f</Consumption>\n", static_cast<double>(v.em_energy_consumption.load()));
  out.printf("\t\t\t<Surplus>%.1f</Surplus>\n", static_cast<double>(v.em_energy_surplus.load()));
  out.put("\t\t</MeterReadings>\n");
  out.put("\t</SmartMeter>\n");

  out.printf(
      "\t<Infrastructure>\n\t\t<MainFuses>\n\t\t\t<Current>%d</Current>\n\t\t\t<SafetyDistance>%d</SafetyDistance>\n\t\t</"
      "MainFuses>\n\t</Infrastructure>\n",
      s.InfrastructureCurrent, s.InfrastructureDistance);

  out.printf("\t<KNX>\n\t\t<Using>%d</Using>\n", knx);
  if (knx) out.printf("\t\t<Gateway>%s</Gateway>\n\t\t<Port>%d</Port>\n\n", x(s.KNXRouter).c_str(), s.KNXPort);
  out.put("\t</KNX>\n");

  out.printf("\t<MySQL>\n\t\t<Using>%d</Using>\n", my);
  if (my) out.printf("\t\t<Server>%s</Server>\n\t\t<Database>%s</Database>\n", x(s.MyServer).c_str(), x(s.MyDB).c_str());
  out.put("\t</MySQL>\n");

  out.put("\t<EV>\n");
  out.printf("\t\t<Using>%d</Using>\n", wb);
  if (wb) {
    out.printf(
        "\t\t<Charging>\n\t\t\t<ChargingMode>%s</ChargingMode>\n\t\t\t<SurplusActivation>%ld</SurplusActivation>\n\t\t\t<"
        "ManualCurrent>%ld</ManualCurrent>\n\t\t\t<SafetyCurrent>%ld</SafetyCurrent>\n\t\t\t<MinCharge>%ld</"
        "MinCharge>\n\t\t\t<MaxPhases>%ld</MaxPhases>\n\t\t\t<EvaluationPoints>%ld</EvaluationPoints>\n\t\t\t<"
        "TeslaWorkaround>%ld</TeslaWorkaround>\t\t</Charging>\n",
        charging_mode_text(v.ChargingMode), L(v.WallboxActivation), L(v.ManualCurrent), L(v.safety_curr),
        L(v.CarMinCharge), L(v.CarMaxPhases), L(v.points), static_cast<long>(s.FixTeslaBug));
    out.put("\t\t<Wallbox>\n");
    out.printf("\t\t\t<ProductID>%s</ProductID>\n\t\t\t<Serial>%s</Serial>\n\t\t\t<Firmware>%s</Firmware>\n",
               x(v.wb_product_id).c_str(), x(v.wb_serial).c_str(), x(v.wb_firmware).c_str());
    const int state = v.wb_state, plug = v.wb_plug;
    out.printf(
        "\t\t\t<SecondsSinceStart>%ld</SecondsSinceStart>\n\t\t\t<State id=\"%ld\">%s</State>\n\t\t\t<Plug "
        "id=\"%ld\">%s</Plug>\n\t\t\t<SystemEnabled>%ld</SystemEnabled>\n\t\t\t<Input>%ld</Input>\n\t\t\t<Output>%ld</"
        "Output>\n\t\t\t<MaxCurrent>%ld</MaxCurrent>\n\t\t\t<MaxCurrentPercent>%.1f</MaxCurrentPercent>\n",
        L(v.wb_secs), static_cast<long>(state), keba_state_text(state), static_cast<long>(plug), keba_plug_xml(plug),
        L(v.wb_enable_sys), L(v.wb_X1_in), L(v.wb_X2_out), L(v.wb_curr_max), scaled(v.wb_curr_max_percent, 10.0f));
    out.printf("\t\t\t<HardwareCurrent>%ld</HardwareCurrent>\n\t\t\t<UserCurrent>%ld</UserCurrent>\n", L(v.wb_curr_hw),
               L(v.wb_curr_usr));
    // The phases report 3 shows the car drawing on, whatever X2 says.
    out.printf("\t\t\t<PhasesDrawn>%ld</PhasesDrawn>\n", L(v.wb_phases));
    out.put("\t\t\t<Voltage>\n");
    out.printf("\t\t\t\t<L1>%ld</L1>\n\t\t\t\t<L2>%ld</L2>\n\t\t\t\t<L3>%ld</L3>\n", L(v.wb_u1), L(v.wb_u2), L(v.wb_u3));
    out.put("\t\t\t</Voltage>\n");
    out.put("\t\t\t<mAmpere>\n");
    out.printf("\t\t\t\t<L1>%ld</L1>\n\t\t\t\t<L2>%ld</L2>\n\t\t\t\t<L3>%ld</L3>\n", L(v.wb_i1), L(v.wb_i2), L(v.wb_i3));
    out.put("\t\t\t</mAmpere>\n");
    out.printf("\t\t\t<ActualPower>%ld</ActualPower>\n", static_cast<long>(v.wb_pow.load() / 1000));
    out.printf("\t\t\t<SessionEnergy>%ld</SessionEnergy>\n", static_cast<long>(v.wb_e_pres.load() / 10));
    out.printf("\t\t\t<PowerFactor>%.3f</PowerFactor>\n", scaled(v.wb_pf, 1000.0f));
    out.printf("\t\t\t<TotalEnergy>%lu</TotalEnergy>\n",
               static_cast<unsigned long>(static_cast<unsigned>(v.wb_e_total.load()) / 10u));
    const int e1 = v.wb_error1, e2 = v.wb_error2;
    out.printf("\t\t\t<Error1 id=\"%ld\">%s</Error1>\n", static_cast<long>(e1), keba_error1_xml(e1));
    out.printf("\t\t\t<Error2 id=\"%ld\">%s</Error2>\n", static_cast<long>(e2), keba_error2_xml(e2));
    out.printf("\t\t\t<FailsafeCurrent>%ld</FailsafeCurrent>\n", L(v.wb_curr_failsafe));
    out.printf("\t\t\t<FailsafeTimeout>%ld</FailsafeTimeout>\n", L(v.wb_tmo_failsafe));
    out.put("\t\t</Wallbox>\n");
  }
  out.put("\t</EV>\n");

  out.put("\t<StorageSystem>\n");
  out.printf("\t\t<Using>%d</Using>\n", ss);
  if (ss) {
    out.printf("\t\t<Type>%s</Type>\n", x(s.SSType).c_str());
    out.printf("\t\t<DeviceName>%s</DeviceName>\n\t\t<Serial>%s</Serial>\n\t\t<CommVersion>%s</CommVersion>\n",
               x(v.ss_devicename).c_str(), x(v.ss_serial).c_str(), x(v.ss_commfirmware).c_str());
    out.put("\t\t<Battery>\n");
    out.printf("\t\t\t<SOC>%ld</SOC>\n\t\t\t<Temperature>%.1f</Temperature>\n\t\t\t<mVoltage>%ld</mVoltage>\n\t\t\t<mAmpere>%ld</mAmpere>\n",
               L(v.ss_bat_soc), scaled(v.ss_bat_temp, 10.0f), L(v.ss_bat_voltage), L(v.ss_bat_current));
    out.put("\t\t</Battery>\n");
    out.put("\t\t<AC>\n");
    out.printf("\t\t\t<ActualPower>%ld</ActualPower>\n", L(v.ss_ac_power));
    out.printf("\t\t\t<Frequency>%.3f</Frequency>\n", scaled(v.ss_ac_frequency, 1000.0f));
    out.put("\t\t\t<Voltage>\n");
    out.printf("\t\t\t\t<L1>%.2f</L1>\n\t\t\t\t<L2>%.2f</L2>\n\t\t\t\t<L3>%.2f</L3>\n", scaled(v.ss_ac_voltage_l1, 1000.0f),
               scaled(v.ss_ac_voltage_l2, 1000.0f), scaled(v.ss_ac_voltage_l3, 1000.0f));
    out.put("\t\t\t</Voltage>\n");
    out.put("\t\t</AC>\n");
  }
  out.put("\t</StorageSystem>\n");
  out.put("</GetValues>\n");
}

}  // namespace kivd::web
