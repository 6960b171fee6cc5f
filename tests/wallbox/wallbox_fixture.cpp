#include "wallbox_fixture.hpp"

#include <sstream>

#include "control_loop.hpp"
#include "keba_exchange.hpp"
#include "live_values.hpp"

namespace kivd::test {

void reset_wallbox_live() {
  LiveValues& v = live();
  v.wb_product_id.set("wallbox not found");
  v.wb_serial.set("unknown");
  v.wb_firmware.set("unknown");
  v.wb_state = -1;
  v.wb_error1 = 0;
  v.wb_error2 = 0;
  v.wb_plug = -1;
  v.wb_enable_sys = 0;
  v.wb_curr_max = 0;
  v.wb_curr_max_percent = 1000;
  v.wb_curr_hw = 0;
  v.wb_curr_usr = 0;
  v.wb_X2_out = 0;
  v.wb_X1_in = 0;
  v.wb_secs = 0;
  v.wb_curr_failsafe = 0;
  v.wb_tmo_failsafe = 0;
  v.wb_failsafe = 0;
  v.wb_u1 = v.wb_u2 = v.wb_u3 = 0;
  v.wb_i1 = v.wb_i2 = v.wb_i3 = 0;
  v.wb_pow = 0;
  v.wb_pf = 0;
  v.wb_e_pres = v.wb_e_total = 0;
  v.wb_send_ok = 0;
  v.isWallboxRestarted = 0;
  v.ChargingMode = 1;
  v.web_charge_mode = 0;
  v.WallboxActivation = -1380;
  v.CarMaxPhases = 1;
  v.CarMinCharge = 6000;
  v.ManualCurrent = 6000;
  v.disable_web_control = 0;
  v.safety_curr = 0;
  v.points = 5;
  v.intStorageControl = 0;
  v.intpow = 0;
  v.em_i1 = v.em_i2 = v.em_i3 = 0;
  v.ss_ac_power = 0;
  v.last_udp_datetime.set(kNeverStamp);
  v.last_wbc_datetime.set(kNeverStamp);
  set_phase_points(0);
  reset_report_schedule();
}

std::vector<std::string> log_lines(const Sandbox& sb) {
  std::vector<std::string> out;
  std::istringstream in(sb.log());
  std::string line;
  while (std::getline(in, line)) out.push_back(line.size() > 25 ? line.substr(25) : line);
  return out;
}

int count_lines(const Sandbox& sb, const std::string& exact) {
  int n = 0;
  for (const std::string& l : log_lines(sb)) n += l == exact;
  return n;
}

WallboxTest::WallboxTest() {
  settings([](Settings&) {});
  reset_wallbox_live();
  set_exchange_timeout(std::chrono::milliseconds(300));
}

WallboxTest::~WallboxTest() {
  set_exchange_timeout(std::chrono::seconds(10));
  reset_wallbox_live();
}

void WallboxTest::settings(const std::function<void(Settings&)>& change) {
  Settings s;
  s.LOG_DIR = sandbox_.dir().path();
  s.LOG_FILE = sandbox_.log_file();
  s.PID_FILE = sandbox_.dir().file("kivd.pid");
  s.WallboxUsing = "TRUE";
  s.WallboxServer = "10.0.0.2";
  s.debug = 1;
  change(s);
  replace_settings(s);
}

}  // namespace kivd::test
