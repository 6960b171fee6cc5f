// Every measured and derived value the threads share, in one place.
//
// Numbers are atomics (a reader may see a value one cycle old); texts are
// SeqText so that a forked web child can read them without taking a lock.
// Each group names the thread that writes it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>

#include "core/clock.hpp"
#include "core/seq_text.hpp"

namespace kivd {

using DeviceText = SeqText<60>;
using StampText = SeqText<20>;

inline constexpr const char* kNeverStamp = "00.00.0000 00:00:00";

// Storage values older than three storage cycles are left out of the
// balance.
inline constexpr std::chrono::seconds kStorageFreshFor{3 * 12};

struct LiveValues {
  // Energy meter (meter service).
  std::atomic<int> intpow{0};  // W, + drawn from grid, - fed in
  std::atomic<int> em_pow_1{0}, em_pow_2{0}, em_pow_3{0};
  std::atomic<int> em_u1{0}, em_u2{0}, em_u3{0};  // V
  std::atomic<int> em_i1{0}, em_i2{0}, em_i3{0};  // mA
  std::atomic<int> em_pf{0};                       // 1/1000
  std::atomic<float> em_energy_consumption{0.0f};  // kWh
  std::atomic<float> em_energy_surplus{0.0f};      // kWh
  std::atomic<std::uint32_t> em_serial{0};
  std::atomic<std::uint32_t> em_timestamp{0};  // s
  // steady_ms() at the last receipt of meter values, 0 = never. Writers
  // store the values first, then this.
  std::atomic<long long> em_received_ms{0};
  // A meter that gives only a total (D0): the house's current without the
  // wallbox as if it all flowed on one phase (mA); -1 when each phase is
  // measured. The fuse check uses it; em_i1..3 keep the even split.
  std::atomic<int> em_one_phase_mA{-1};
  // 1 while the meter values are too old to drive the fuse check (control).
  std::atomic<int> em_stale{1};

  // Wallbox (KEBA receiver; the control loop after acknowledged commands).
  DeviceText wb_product_id{"wallbox not found"};
  DeviceText wb_serial{"unknown"};
  DeviceText wb_firmware{"unknown"};
  std::atomic<int> wb_state{-1};
  std::atomic<int> wb_error1{0}, wb_error2{0};
  std::atomic<int> wb_plug{-1};
  std::atomic<int> wb_enable_sys{0};
  std::atomic<int> wb_curr_max{0};
  std::atomic<int> wb_curr_max_percent{1000};
  std::atomic<int> wb_curr_hw{0};
  std::atomic<int> wb_curr_usr{0};
  std::atomic<int> wb_X2_out{0};
  std::atomic<int> wb_X1_in{0};
  std::atomic<int> wb_secs{0};
  std::atomic<int> wb_curr_failsafe{0};
  std::atomic<int> wb_tmo_failsafe{0};
  std::atomic<int> wb_failsafe{0};
  std::atomic<int> wb_u1{0}, wb_u2{0}, wb_u3{0};  // V
  std::atomic<int> wb_i1{0}, wb_i2{0}, wb_i3{0};  // mA
  std::atomic<int> wb_pow{0};                      // mW
  std::atomic<int> wb_pf{0};                       // 0.1 %
  std::atomic<int> wb_e_pres{0}, wb_e_total{0};    // 0.1 Wh
  std::atomic<int> wb_send_ok{0};
  // steady_ms() of the last datagram from the box, 0 = never.
  std::atomic<long long> wb_received_ms{0};
  std::atomic<int> isWallboxRestarted{0};
  // steady_ms() of the last report 3 (the currents I1..I3), 0 = never.
  std::atomic<long long> wb_report3_ms{0};
  // Phases on which report 3 showed the car drawing (0 = none).
  std::atomic<int> wb_phases{0};
  // steady_ms() when report 2 first showed output X2 changed, 0 = never.
  std::atomic<long long> wb_x2_seen_ms{0};
  // Counts the box's restarts seen in its reports, and its broadcasts.
  std::atomic<int> wb_reboots{0};
  std::atomic<int> wb_broadcasts{0};

  // Charging state: start values from the configuration on every pass,
  // changed at run time by the hand-over and the control loop.
  std::atomic<int> ChargingMode{1};     // effective mode 1..4
  std::atomic<int> web_charge_mode{0};  // user's choice 0..3
  std::atomic<int> WallboxActivation{-1380};
  std::atomic<int> CarMaxPhases{1};
  std::atomic<int> CarMinCharge{6000};
  std::atomic<int> ManualCurrent{6000};
  std::atomic<int> disable_web_control{0};
  std::atomic<int> safety_curr{0};
  std::atomic<int> points{5};
  std::atomic<int> intStorageControl{0};

  // Storage system (storage reader).
  std::atomic<int> ss_bat_soc{0};
  std::atomic<int> ss_bat_temp{0};     // 0.1 degC
  std::atomic<int> ss_bat_voltage{0};  // mV
  std::atomic<int> ss_bat_current{0};  // mA
  std::atomic<int> ss_ac_power{0};     // W, + discharging
  std::atomic<int> ss_ac_voltage_l1{0}, ss_ac_voltage_l2{0}, ss_ac_voltage_l3{0};  // mV
  std::atomic<int> ss_ac_frequency{0};  // mHz
  std::atomic<long long> ss_received_ms{0};  // steady_ms() of the last AC power, 0 = never
  DeviceText ss_devicename{"searching storage"};
  DeviceText ss_serial{"unknown"};
  DeviceText ss_commfirmware{"unknown"};

  // Last receipt per source.
  StampText last_kiv_datetime{kNeverStamp};
  StampText last_udp_datetime{kNeverStamp};
  StampText last_wbc_datetime{kNeverStamp};
  StampText last_stg_datetime{kNeverStamp};
  StampText last_sql_datetime{kNeverStamp};
  StampText last_knx_datetime{kNeverStamp};
};

LiveValues& live();

// Whether the meter's values are recent enough for the fuse check: the
// meter is used and sent within [SMARTMETER] TIMEOUT.
bool meter_values_fresh();

// The control loop asks for reports every 56 s; a box silent for two of
// those cycles and a margin counts as not answering.
inline constexpr std::chrono::seconds kWallboxAnswerWithin{2 * 56 + 10};
// Whether the wallbox is used and sent something within that time (scaled
// down by the tests' wallbox speed-up like the control loop).
bool wallbox_answering();

// Writes the local wall-clock time as "dd.mm.yyyy hh:mm:ss" into a stamp.
void stamp_now(StampText& stamp);
// The same text for a given time (for tests and the pages).
void format_stamp(std::time_t t, char (&out)[20]);

}  // namespace kivd
