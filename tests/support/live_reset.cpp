#include "support/live_reset.hpp"

#include "core/live_values.hpp"

namespace kivd::test {

void reset_live_values() {
  LiveValues& v = live();
  v.intpow = 0;
  v.em_pow_1 = v.em_pow_2 = v.em_pow_3 = 0;
  v.em_u1 = v.em_u2 = v.em_u3 = 0;
  v.em_i1 = v.em_i2 = v.em_i3 = 0;
  v.em_pf = 0;
  v.em_energy_consumption = 0.0f;
  v.em_energy_surplus = 0.0f;
  v.em_serial = 0;
  v.em_timestamp = 0;
  v.em_received_ms = 0;
  v.em_one_phase_mA = -1;
  v.em_stale = 1;

  v.wb_product_id.set("wallbox not found");
  v.wb_serial.set("unknown");
  v.wb_firmware.set("unknown");
  v.wb_state = -1;
  v.wb_error1 = v.wb_error2 = 0;
  v.wb_plug = -1;
  v.wb_enable_sys = 0;
  v.wb_curr_max = 0;
  v.wb_curr_max_percent = 1000;
  v.wb_curr_hw = 0;
  v.wb_curr_usr = 0;
  v.wb_X2_out = 0;
  v.wb_X1_in = 0;
  v.wb_secs = 0;
  v.wb_report3_ms = 0;
  v.wb_phases = 0;
  v.wb_x2_seen_ms = 0;
  v.wb_curr_failsafe = 0;
  v.wb_tmo_failsafe = 0;
  v.wb_failsafe = 0;
  v.wb_u1 = v.wb_u2 = v.wb_u3 = 0;
  v.wb_i1 = v.wb_i2 = v.wb_i3 = 0;
  v.wb_pow = 0;
  v.wb_pf = 0;
  v.wb_e_pres = v.wb_e_total = 0;
  v.wb_send_ok = 0;
  v.wb_received_ms = 0;
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

  v.ss_bat_soc = v.ss_bat_temp = v.ss_bat_voltage = v.ss_bat_current = 0;
  v.ss_ac_power = 0;
  v.ss_ac_voltage_l1 = v.ss_ac_voltage_l2 = v.ss_ac_voltage_l3 = 0;
  v.ss_ac_frequency = 0;
  v.ss_received_ms = 0;
  v.ss_devicename.set("searching storage");
  v.ss_serial.set("unknown");
  v.ss_commfirmware.set("unknown");

  for (StampText* s : {&v.last_kiv_datetime, &v.last_udp_datetime, &v.last_wbc_datetime, &v.last_stg_datetime,
                       &v.last_sql_datetime, &v.last_knx_datetime})
    s->set(kNeverStamp);
}

}  // namespace kivd::test
