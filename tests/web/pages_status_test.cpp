#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "support/temp_dir.hpp"
#include "web/day_chart.hpp"
#include "web/api_status.hpp"
#include "web/pages.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;

namespace {

class StatusPages : public ::testing::Test {
 protected:
  void SetUp() override {
    webtest::reset_live();
    features(true, false, false, false, true);
  }
  void TearDown() override { webtest::reset_live(); }
  void features(bool wallbox, bool db, bool knx, bool storage, bool meter) {
    Settings s = cfg();
    s.WallboxUsing = wallbox;
    s.MyUsing = db;
    s.KNXUsing = knx;
    s.SSUsing = storage;
    s.KivUsing = meter;
    replace_settings(s);
  }
  std::string render(void (*page)(Sink&, const PageContext&), long uptime = 0) {
    req.resource = "/";
    PageContext ctx{req, webtest::fixed_time(), uptime};
    StringSink out;
    page(out, ctx);
    return out.text;
  }
  test::Sandbox sb;
  ReqInfo req;
  LiveValues& v = live();
};

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

}  // namespace

TEST_F(StatusPages, InfoPageFrame) {
  std::string p = render(page_info, 90061);
  EXPECT_EQ(p.rfind("<HTML>\n<HEAD><META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\">\n<META HTTP-EQUIV=\"Expires\" "
                    "CONTENT=\"-1\">\n<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n<TITLE>"
                    "Orvane info page</TITLE>\n<style rel=\"stylesheet\" type=\"text/css\">body {font-family: Arial, "
                    "Helvetica, sans-serif;}</style>\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<link rel=\"stylesheet\" type=\"text/css\" href=\"/kivd.css\">\n<script src=\"/pages.js\" defer></script>\n</HEAD>\n<meta name=\"kivd-confirm\" "
                    "data-fn=\"ConfirmRestart\" data-question=\"Do you want to restart the service? During the restart, "
                    "the wallbox/ charging will be deactivated!!\" data-target=\"/restart\"><meta name=\"kivd-confirm\" "
                    "data-fn=\"ConfirmCheckUpdate\" data-question=\"Do you want to check for updates?\" "
                    "data-target=\"/checkupdate\"><BODY>\n<H2>Orvane 2.6.107</H2>\n",
                    0),
            0u)
      << p.substr(0, 900);
  EXPECT_TRUE(has(p, "Uptime                  <span id=\"lv-uptime\">1d 01:01:01</span>\n"));
  EXPECT_TRUE(has(p, "Current datetime        <span id=\"lv-time\">07.12.2026 13:05:09</span>\n"));
  EXPECT_TRUE(has(p, "Last kiv receive        <span id=\"lv-meter-last\">00.00.0000 00:00:00</span>\n"));
  EXPECT_TRUE(has(p, "Last udp receive        "));
  EXPECT_FALSE(has(p, "Last sql statement"));
  EXPECT_TRUE(has(p, "<input type=\"button\" value=\"Restart service\"data-onclick=\"ConfirmRestart\">&nbsp;\n"
                     "<input type=\"button\" value=\"Check update\" data-onclick=\"ConfirmCheckUpdate\">\n</BODY>\n</HTML>\n"));
  EXPECT_FALSE(has(p, "favicon.ico"));
  EXPECT_FALSE(has(p, "live_values.js"));
  daemon_state().intResources = 1;
  p = render(page_info);
  EXPECT_TRUE(has(p, "<link rel=\"shortcut icon\" href=\"favicon.ico\" type=\"image/x-icon\" />\n"));
  EXPECT_TRUE(has(p, "</script>\n<style>.stale{color:#C00000;font-weight:bold}</style>\n"
                     "<script src=\"/live_values.js\" defer></script>\n<br /><input"));
  daemon_state().intResources = 0;
}

TEST_F(StatusPages, GridPowerColours) {
  v.intpow = 0;
  EXPECT_TRUE(has(render(page_info), "Actual grid-power       <span id=\"lv-grid\"><font color=\"#C00000\">0 W</font> from "
                                     "the grid</span> <span id=\"lv-grid-kw\">(0.0 kW)</span><span data-stale=\"meter\" "
                                     "class=\"stale\"> stale</span>\n"));
  v.intpow = -1550;
  v.em_i1 = 2260;
  v.em_received_ms = steady_ms();
  const std::string p = render(page_info);
  EXPECT_TRUE(has(p, "Actual grid-power       <span id=\"lv-grid\"><font color=\"#00C000\">1550 W</font> to the "
                     "grid</span> <span id=\"lv-grid-kw\">(1.6 kW)</span><span data-stale=\"meter\"></span>\n"));
  EXPECT_TRUE(has(p, "Grid currents           <span id=\"lv-grid-a\">2.3 / 0.0 / 0.0 A</span><span data-stale=\"meter\"></span>\n"));
  EXPECT_TRUE(has(p, "Meter data              <span id=\"lv-meter-data\">fresh</span>\n"));
  EXPECT_TRUE(has(p, "House main-fuses        "));
  EXPECT_TRUE(has(p, " mA ("));
}

TEST_F(StatusPages, StorageBlock) {
  features(true, false, false, true, true);
  v.ss_ac_power = 0;
  v.ss_bat_soc = 87;
  v.ss_bat_temp = 215;
  std::string p = render(page_info);
  EXPECT_TRUE(has(p, "AC power                <span id=\"lv-ss-power\">0 W</span> <span id=\"lv-ss-power-kw\">(0.0 kW)"
                     "</span><span data-stale=\"storage\" class=\"stale\"> stale</span>\n"));
  EXPECT_TRUE(has(p, "Battery SOC/temp        <span id=\"lv-ss-soc\">87</span> % / 21.5 &deg;C\n"));
  EXPECT_TRUE(has(p, "Last storage receive    "));
  v.ss_ac_power = -800;
  v.ss_received_ms = steady_ms();
  EXPECT_TRUE(has(render(page_info), "AC power                <span id=\"lv-ss-power\"><font color=\"#00C000\">800 W</font> "
                                     "charging</span> <span id=\"lv-ss-power-kw\">(0.8 kW)</span><span data-stale=\"storage\"></span>\n"));
  v.ss_ac_power = 300;
  EXPECT_TRUE(has(render(page_info), "<span id=\"lv-ss-power\"><font color=\"#C00000\">300 W</font> discharging</span>"));
}

TEST_F(StatusPages, WallboxOff) {
  features(false, false, false, false, true);
  const std::string p = render(page_info);
  EXPECT_TRUE(has(p, "Charging info\n-------------\nState                   inactive\n"));
  EXPECT_TRUE(has(p, "Wallbox info\n------------\nState                   inactive\n"));
  EXPECT_FALSE(has(p, "value=\"Control\""));
  const std::string x = render(page_xml);
  EXPECT_TRUE(has(x, "\t<EV>\n\t\t<Using>0</Using>\n\t</EV>\n"));
}

TEST_F(StatusPages, ChargingModeLines) {
  v.ChargingMode = 2;
  v.safety_curr = 6000;
  std::string p = render(page_info);
  EXPECT_TRUE(has(p, "Charging mode           <span id=\"lv-mode\">QUICK</span>\nSafety current          6000 mA (6.0 A)\n</PRE>"));
  v.ChargingMode = 3;
  v.ManualCurrent = 16020;
  p = render(page_info);
  EXPECT_TRUE(has(p, "Charging mode           <span id=\"lv-mode\">MANUAL</span>\nManually set            16020 mA (16.0 A)\n"
                     "Safety current          6000 mA (6.0 A)\n"));
  v.ChargingMode = 4;
  EXPECT_TRUE(has(render(page_info), "Charging mode           <span id=\"lv-mode\">OFF</span>\n</PRE>"));
  v.ChargingMode = 1;
  EXPECT_TRUE(has(render(page_info), "Charging mode           <span id=\"lv-mode\">SURPLUS</span>\nActivation at           <font "
                                     "color=\"#00C000\">1380 W</font> to the grid\nEvaluation points       5\n"));
}

TEST_F(StatusPages, WallboxLines) {
  v.wb_X2_out = 2;
  v.wb_e_pres = 123456;
  v.wb_plug = 7;
  v.wb_state = 3;
  std::string p = render(page_info);
  EXPECT_FALSE(has(p, "Output X2"));
  EXPECT_TRUE(has(p, "Session energy          <span id=\"lv-car-session\">12.35 kWh</span>\n"));
  EXPECT_TRUE(has(p, "Plug                    <span id=\"lv-car-plug\">plugged into wallbox, plugged into EV, plug locked</span>\n"));
  EXPECT_TRUE(has(p, "State                   <span id=\"lv-car-state\">charging</span><span data-stale=\"car\" "
                     "class=\"stale\"> stale</span>\n"));
  v.wb_received_ms = steady_ms();
  v.wb_curr_usr = 10980;
  v.wb_pow = 2530000;
  p = render(page_info);
  EXPECT_TRUE(has(p, "State                   <span id=\"lv-car-state\">charging</span><span data-stale=\"car\"></span>\n"));
  EXPECT_TRUE(has(p, "User current            <span id=\"lv-car-set\">10980 mA</span> <span id=\"lv-car-set-a\">(11.0 A)</span>\n"));
  EXPECT_TRUE(has(p, "Last actual power       <span id=\"lv-car-power\">2530 W</span> <span id=\"lv-car-power-kw\">(2.5 kW)"
                     "</span><span data-stale=\"car\"></span>\n"));
  const std::string x = render(page_xml);
  EXPECT_TRUE(has(x, "<SessionEnergy>12345</SessionEnergy>"));
  EXPECT_TRUE(has(x, "<Plug id=\"7\">plugged on wallbox, plugged on EV, plug locked</Plug>"));
  v.wb_X2_out = 1;
  EXPECT_TRUE(has(render(page_info), "Output X2               more phases\n"));
  v.wb_e_total = -1;  // read as unsigned
  EXPECT_TRUE(has(render(page_xml), "<TotalEnergy>429496729</TotalEnergy>"));
}

TEST_F(StatusPages, HostileDeviceTextsEscaped) {
  v.wb_product_id.set("<script>alert(1)</script>");
  v.wb_serial.set("a&b\"c");
  v.ss_devicename.set("x<y>\x01z");
  features(true, false, false, true, true);
  const std::string p = render(page_info);
  EXPECT_FALSE(has(p, "<script>alert"));
  EXPECT_TRUE(has(p, "Product-ID              &lt;script&gt;alert(1)&lt;/script&gt;\n"));
  EXPECT_TRUE(has(p, "Serial                  a&amp;b&quot;c\n"));
  const std::string x = render(page_xml);
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(x.c_str())) << x;
  EXPECT_STREQ(doc.child("GetValues").child("EV").child("Wallbox").child_value("ProductID"), "<script>alert(1)</script>");
  EXPECT_STREQ(doc.child("GetValues").child("StorageSystem").child_value("DeviceName"), "x<y>z");
}

TEST_F(StatusPages, XmlWellFormedForEveryFeatureCombination) {
  for (int mask = 0; mask < 32; ++mask) {
    features(mask & 1, mask & 2, mask & 4, mask & 8, mask & 16);
    const std::string x = render(page_xml, 3725);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(x.c_str())) << mask;
    const pugi::xml_node g = doc.child("GetValues");
    EXPECT_STREQ(g.child_value("Uptime"), "0d 01:02:05");
    EXPECT_STREQ(g.child_value("Version"), "2.6.107");
    EXPECT_EQ(g.child("SmartMeter").child("Using").text().as_int(), (mask & 16) ? 1 : 0);
    EXPECT_EQ(g.child("EV").child("Using").text().as_int(), (mask & 1) ? 1 : 0);
    EXPECT_EQ(!!g.child("EV").child("Wallbox"), (mask & 1) != 0);
    EXPECT_EQ(!!g.child("MySQL").child("Server"), (mask & 2) != 0);
    EXPECT_EQ(!!g.child("KNX").child("Gateway"), (mask & 4) != 0);
    EXPECT_EQ(!!g.child("StorageSystem").child("Battery"), (mask & 8) != 0);
    EXPECT_TRUE(g.child("SmartMeter").child("RealPower").child("L3"));
  }
}

TEST_F(StatusPages, XmlPiecesExact) {
  features(true, false, true, true, true);
  v.intpow = -321;
  v.em_pf = 987;
  v.wb_curr_max_percent = 1000;
  v.ss_ac_voltage_l1 = 230123;
  v.ss_ac_frequency = 50012;
  v.ChargingMode = 3;
  const std::string x = render(page_xml, 59);
  EXPECT_TRUE(has(x, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<GetValues>\n\t<Version>2.6.107</Version>\n"
                     "\t<SettingsVersion>1.6</SettingsVersion>\n\t<Uptime>0d 00:00:59</Uptime>\n"));
  EXPECT_TRUE(has(x, "\t<CurrentDateTime>07.12.2026 13:05:09</CurrentDateTime>\n"));
  EXPECT_TRUE(has(x, "\t\t<ActualPower>-321</ActualPower>\n"));
  EXPECT_TRUE(has(x, "\t\t<PowerFactor>\n\t\t\t<total>0.987</total>\n\t\t</PowerFactor>\n"));
  EXPECT_TRUE(has(x, "\t\t<Gateway>192.168.10.20</Gateway>\n\t\t<Port>3671</Port>\n\n\t</KNX>\n"));
  EXPECT_TRUE(has(x, "\t\t\t<ChargingMode>MANUAL</ChargingMode>\n\t\t\t<SurplusActivation>-1380</SurplusActivation>\n"));
  EXPECT_TRUE(has(x, "<TeslaWorkaround>0</TeslaWorkaround>\t\t</Charging>\n"));
  EXPECT_TRUE(has(x, "<MaxCurrentPercent>100.0</MaxCurrentPercent>"));
  EXPECT_TRUE(has(x, "\t\t\t<Error1 id=\"0\">NO_ERROR</Error1>\n\t\t\t<Error2 id=\"0\">NO_ERROR</Error2>\n"));
  EXPECT_TRUE(has(x, "\t\t\t<Frequency>50.012</Frequency>\n"));
  EXPECT_TRUE(has(x, "\t\t\t\t<L1>230.12</L1>\n"));
  EXPECT_TRUE(has(x, "\t</StorageSystem>\n</GetValues>\n"));
  EXPECT_FALSE(has(x, "<NetworkInterface>"));
}

TEST_F(StatusPages, DayJsonAndHistoryWithoutDatabase) {
  const DayPoint points[] = {{.time = 60, .grid_w = -1200, .car_w = 3680, .meter_stale = true},
                             {.time = 120, .grid_w = 5, .battery_w = 300, .soc = 55, .battery_known = true}};
  StringSink j;
  write_chart_json(j, points, true);
  EXPECT_EQ(j.text, "{\"version\":1,\"t\":[60,120],\"grid\":[-1200,5],\"car\":[3680,0],\"battery\":[null,300],"
                    "\"soc\":[null,55],\"pv\":[null,null],\"stale\":[1,0]}\n");
  day_history().add({.time = 1800000000, .grid_w = 42});
  EXPECT_TRUE(has(render(page_api_day), "1800000000]"));
  const std::string h = render(page_history);
  EXPECT_TRUE(has(h, "<TITLE>Orvane history page</TITLE>"));
  EXPECT_TRUE(has(h, "The history needs the database, which is not configured."));
}

TEST_F(StatusPages, JsonStatusBytes) {
  StatusSnapshot s;
  std::snprintf(s.time, sizeof s.time, "07.12.2026 13:05:09");
  s.uptime_s = 61;
  s.meter_used = s.car_used = s.car_answering = true;
  s.meter_stale = false;
  s.meter_timeout_s = 15;
  s.grid_power_W = -1550;
  s.grid_current_mA[0] = 2260;
  s.grid_current_mA[1] = -5;
  s.mode = "a\"b\\c\x01";
  s.current_set_mA = 16020;
  s.session_dWh = 123456;
  s.total_dWh = 4294967295u;
  s.enabled = 1;
  StringSink out;
  write_status_json(out, s);
  EXPECT_EQ(out.text,
            "{\"time\":\"07.12.2026 13:05:09\",\"uptime_s\":61,\"meter\":{\"used\":true,\"stale\":false,\"timeout_s\":15,"
            "\"power_W\":-1550,\"current_A\":[2.260,-0.005,0.000],\"last_receive\":\"\"},\"car\":{\"used\":true,"
            "\"answering\":true,\"command_ok\":false,\"mode\":\"a\\\"b\\\\c\\u0001\",\"power_W\":0,\"current_set_A\":16.020,"
            "\"current_A\":[0.000,0.000,0.000],\"max_phases\":1,\"more_phases\":false,\"state\":-1,\"state_text\":\"\","
            "\"plug\":-1,\"plug_text\":\"\",\"enabled\":true,\"session_kWh\":12.3456,\"total_kWh\":429496.7295,"
            "\"last_reply\":\"\",\"last_control\":\"\"},\"storage\":{\"used\":false,\"stale\":true,\"soc_pct\":0,"
            "\"power_W\":0}}\n");
}

TEST_F(StatusPages, JsonStaleFlagsFollowTheSources) {
  const auto json = [this] { return render(page_api_status); };
  EXPECT_TRUE(has(json(), "\"meter\":{\"used\":true,\"stale\":true,"));
  EXPECT_TRUE(has(json(), "\"car\":{\"used\":true,\"answering\":false,"));
  v.em_received_ms = v.wb_received_ms = steady_ms();
  v.wb_send_ok = 1;
  v.wb_state = 3;
  EXPECT_TRUE(has(json(), "\"meter\":{\"used\":true,\"stale\":false,"));
  EXPECT_TRUE(has(json(), "\"car\":{\"used\":true,\"answering\":true,\"command_ok\":true,"));
  EXPECT_TRUE(has(json(), "\"state\":3,\"state_text\":\"charging\","));
  features(false, false, false, false, false);
  EXPECT_TRUE(has(json(), "\"meter\":{\"used\":false,\"stale\":true,"));
  EXPECT_TRUE(has(json(), "\"car\":{\"used\":false,\"answering\":false,"));
}
