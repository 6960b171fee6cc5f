// The info page, the XML status and the JSON status against reviewed golden
// files, for one set of values with every feature on. Set KIV_WRITE_GOLDEN=1
// to rewrite.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "support/temp_dir.hpp"
#include "web/api_status.hpp"
#include "web/pages.hpp"
#include "web_test_util.hpp"

using namespace kivd;
using namespace kivd::web;

namespace {

void set_values() {
  LiveValues& v = live();
  v.intpow = -1234;
  v.em_pow_1 = -400; v.em_pow_2 = -434; v.em_pow_3 = -400;
  v.em_u1 = 231; v.em_u2 = 229; v.em_u3 = 230;
  v.em_i1 = 1740; v.em_i2 = 1890; v.em_i3 = 1740;
  v.em_pf = 998;
  v.em_energy_consumption = 12345.6f;
  v.em_energy_surplus = 6543.2f;
  v.em_serial = 3004123456u;
  v.em_timestamp = 123456789u;
  v.wb_product_id.set("KC-P20-ES240030-000-ST");
  v.wb_serial.set("18999999");
  v.wb_firmware.set("P20 v 2.5a3 ");
  v.wb_secs = 86400; v.wb_state = 3; v.wb_plug = 7; v.wb_failsafe = 1; v.wb_enable_sys = 1;
  v.wb_X1_in = 0; v.wb_X2_out = 1; v.wb_curr_max = 16000; v.wb_curr_max_percent = 1000;
  v.wb_curr_hw = 32000; v.wb_curr_usr = 10980; v.wb_u1 = 230; v.wb_u2 = 231; v.wb_u3 = 229;
  v.wb_i1 = 10900; v.wb_i2 = 10950; v.wb_i3 = 10870; v.wb_phases = 3; v.wb_pow = 7512345; v.wb_pf = 999;
  v.wb_e_pres = 123456; v.wb_e_total = 98765432; v.wb_error1 = 0; v.wb_error2 = 0x4003;
  v.wb_curr_failsafe = 6000; v.wb_tmo_failsafe = 120;
  v.ChargingMode = 1; v.web_charge_mode = 0; v.WallboxActivation = -1380; v.points = 7;
  v.ManualCurrent = 6000; v.safety_curr = 0; v.CarMaxPhases = 3; v.CarMinCharge = 6000;
  v.ss_devicename.set("SI6.0H-11"); v.ss_serial.set("3001234567"); v.ss_commfirmware.set("1.0.4.R");
  v.ss_bat_soc = 87; v.ss_bat_temp = 215; v.ss_bat_voltage = 52340; v.ss_bat_current = -12500;
  v.ss_ac_power = -800; v.ss_ac_frequency = 50012;
  v.ss_ac_voltage_l1 = 230120; v.ss_ac_voltage_l2 = 229870; v.ss_ac_voltage_l3 = 231005;
  v.last_kiv_datetime.set("07.12.2026 13:05:08");
  v.last_udp_datetime.set("07.12.2026 13:05:01");
  v.last_wbc_datetime.set("07.12.2026 13:04:30");
  v.last_sql_datetime.set("07.12.2026 13:05:00");
  v.last_knx_datetime.set("07.12.2026 13:04:50");
  v.last_stg_datetime.set("07.12.2026 13:05:05");
  v.em_received_ms = v.ss_received_ms = v.wb_received_ms = steady_ms();  // every source fresh
}

class Golden : public ::testing::Test {
 protected:
  void SetUp() override {
    set_values();
    Settings s = cfg();
    s.WallboxUsing = s.MyUsing = s.KNXUsing = s.SSUsing = s.KivUsing = true;
    s.NetworkInterface = "eth0";
    replace_settings(s);
  }
  void TearDown() override {
    webtest::reset_live();
    for (StampText* t : {&live().last_kiv_datetime, &live().last_udp_datetime, &live().last_wbc_datetime,
                         &live().last_sql_datetime, &live().last_knx_datetime, &live().last_stg_datetime})
      t->set(kNeverStamp);
  }
  void compare(void (*page)(Sink&, const PageContext&), const std::string& name) {
    ReqInfo req;
    req.resource = "/";
    PageContext ctx{req, webtest::fixed_time(), 90061};
    StringSink out;
    page(out, ctx);
    const std::string path = std::string(KIV_WEB_GOLDEN_DIR) + "/" + name;
    if (const char* w = std::getenv("KIV_WRITE_GOLDEN"); w && *w == '1') std::ofstream(path, std::ios::binary) << out.text;
    EXPECT_EQ(out.text, test::read_file(path)) << name;
  }
  test::Sandbox sb;
};

}  // namespace

TEST_F(Golden, InfoPage) { compare(page_info, "info_page.html"); }
TEST_F(Golden, XmlStatus) { compare(page_xml, "xml_status.xml"); }
TEST_F(Golden, ApiStatus) { compare(page_api_status, "api_status.json"); }
