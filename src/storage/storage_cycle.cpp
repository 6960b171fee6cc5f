#include "storage/storage_cycle.hpp"

#include <array>
#include <chrono>
#include <cstdio>

#include "core/clock.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"

namespace kivd::storage {
namespace sw = kivd::speedwire;
namespace {

using namespace std::chrono_literals;

enum class Outcome { Answer, NoAnswer, Stopped };

class Cycle {
 public:
  Cycle(Link& link, const CycleInput& in) : link_(link), in_(in) {}

  CycleEnd run(int& kind);

 private:
  // Sends a value query and takes one answer with the query's packet id.
  // `what` names the request in the failure lines.
  Outcome query(sw::Query q, const char* what);
  bool send(std::span<const std::uint8_t> bytes, std::uint8_t id) {
    last_id_ = id;
    return link_.send(bytes);
  }
  // Logoff with the id after the last request; the cycle ends after it.
  void logoff() {
    const std::uint8_t id = static_cast<std::uint8_t>(last_id_ + 1);
    if (!send(sw::build_logoff(in_.app_serial, id), id)) log_line("SS thread: sendto failed (logoff request)");
  }
  CycleEnd done() {
    stamp_now(live().last_stg_datetime);
    return CycleEnd::Done;
  }
  sw::Bytes answer() const { return sw::Bytes(buf_.data(), len_); }

  Link& link_;
  const CycleInput& in_;
  std::array<std::uint8_t, sw::kAnswerBufferSize> buf_{};
  std::size_t len_ = 0;
  std::uint8_t last_id_ = 0;
};

Outcome Cycle::query(sw::Query q, const char* what) {
  const auto id = static_cast<std::uint8_t>(q);
  len_ = 0;
  if (!send(sw::build_query(q, in_.app_serial), id)) {
    log_line("SS thread: sendto failed (%s)", what);
    return Outcome::NoAnswer;
  }
  switch (link_.receive(buf_, len_)) {
    case Link::Recv::Stopped: return Outcome::Stopped;
    case Link::Recv::Failed:
      len_ = 0;
      log_line("SS thread: recvfrom() failed");
      return Outcome::NoAnswer;
    case Link::Recv::Foreign:
      len_ = 0;
      log_line("SS thread: no valid answer (%s)", what);
      return Outcome::NoAnswer;
    case Link::Recv::Ok: break;
  }
  const auto got = sw::answer_packet_id(answer());
  if (!got) {
    log_line("SS thread: no valid answer (%s)", what);
    return Outcome::NoAnswer;
  }
  if (*got != id) {
    log_line("SS thread: Get %s failed. Packet ID mismatch. Expected %d, received %d", what, id, *got);
    return Outcome::NoAnswer;
  }
  return Outcome::Answer;
}

CycleEnd Cycle::run(int& kind) {
  LiveValues& v = live();

  // Identify: the device's serial number.
  if (!send(sw::build_query(sw::Query::Identify, in_.app_serial), 1)) {
    log_line("SS thread: sendto failed (first request)");
    return done();
  }
  switch (link_.receive(buf_, len_)) {
    case Link::Recv::Stopped: return CycleEnd::Stopped;
    case Link::Recv::Failed:
      log_line("SS thread: recvfrom() failed");
      v.ss_devicename.set("error communication");
      logoff();
      return done();
    case Link::Recv::Foreign:
      log_line("SS thread: no valid answer (first request)");
      logoff();
      return done();
    case Link::Recv::Ok: break;
  }
  const auto serial = sw::answer_serial(answer());
  if (!serial) {
    log_line("SS thread: no valid answer (first request)");
    logoff();
    return done();
  }
  char serial_text[16];
  std::snprintf(serial_text, sizeof serial_text, "%lu", static_cast<unsigned long>(*serial));
  v.ss_serial.set(serial_text);
  debug_line("SS thread: get serial no. %s", serial_text);

  // Logoff first, so that a session left from an earlier cycle does not
  // stand in the way of the logon.
  if (!send(sw::build_logoff(in_.app_serial, 2), 2)) {
    log_line("SS thread: sendto failed (logoff request)");
    logoff();
    return done();
  }

  if (!send(sw::build_logon(in_.app_serial, in_.now_s, in_.secret), sw::kLogonId)) {
    log_line("SS thread: sendto failed (login request)");
    logoff();
    return done();
  }
  len_ = 0;
  switch (link_.receive(buf_, len_)) {
    case Link::Recv::Stopped: return CycleEnd::Stopped;
    case Link::Recv::Failed:
      log_line("SS thread: recvfrom() failed");
      logoff();
      return done();
    case Link::Recv::Foreign:
      log_line("SS thread: no valid answer (login request)");
      logoff();
      return done();
    case Link::Recv::Ok: break;
  }
  const auto logon_id = sw::answer_packet_id(answer());
  if (!logon_id) {
    log_line("SS thread: no valid answer (login request)");
    logoff();
    return done();
  }
  if (*logon_id != sw::kLogonId) {
    log_line("SS thread: Packet ID mismatch. Expected %d, received %d", sw::kLogonId, *logon_id);
    logoff();
    return done();
  }
  if (sw::answer_error_code(answer()).value_or(1) != 0) {
    log_line("SS thread: Logon failed");
    v.ss_devicename.set("Logon failed");
    logoff();
    return done();
  }

  // Logged on: the values. A failed request is logged and the next follows.
  Outcome o = query(sw::Query::SoftwareVersion, "software version");
  if (o == Outcome::Stopped) return CycleEnd::Stopped;
  if (o == Outcome::Answer) {
    if (const auto fw = sw::parse_software_version(answer())) {
      v.ss_commfirmware.set(fw->view());
      debug_line("SS thread: get comm version %s", fw->chars.data());
    } else {
      log_line("SS thread: no valid answer (software version)");
    }
  }

  o = query(sw::Query::DeviceType, "inverter type");
  if (o == Outcome::Stopped) return CycleEnd::Stopped;
  if (o == Outcome::Answer) {
    if (const auto dev = sw::parse_device_type(answer())) {
      v.ss_devicename.set(dev->name.view());
      kind = dev->kind;
      debug_line("SS thread: get device name %s", dev->name.chars.data());
    } else {
      log_line("SS thread: no valid answer (inverter type)");
    }
  }

  o = query(sw::Query::StateOfCharge, "SOC");
  if (o == Outcome::Stopped) return CycleEnd::Stopped;
  if (o == Outcome::Answer) {
    if (const auto soc = sw::parse_first_value(answer()))
      v.ss_bat_soc = *soc;
    else
      log_line("SS thread: no valid answer (SOC)");
  }
  debug_line("SS thread: get SOC %d", v.ss_bat_soc.load());

  o = query(sw::Query::Battery, "bat param");
  if (o == Outcome::Stopped) return CycleEnd::Stopped;
  if (o == Outcome::Answer) {
    if (const auto bat = sw::parse_battery(answer(), kind)) {
      v.ss_bat_temp = bat->temperature;
      v.ss_bat_voltage = bat->voltage;
      v.ss_bat_current = bat->current;
      debug_line("SS thread: get temp, voltage, current %d, %d, %d", bat->temperature, bat->voltage, bat->current);
    } else {
      log_line("SS thread: no valid answer (bat param)");
    }
  }

  o = query(sw::Query::AcPower, "inverter power");
  if (o == Outcome::Stopped) return CycleEnd::Stopped;
  if (o == Outcome::Answer) {
    if (const auto p = sw::parse_first_value(answer()))
      v.ss_ac_power = *p;
    else
      log_line("SS thread: no valid answer (inverter power)");
  }
  debug_line("SS thread: get AC power %d", v.ss_ac_power.load());

  o = query(sw::Query::AcVoltage, "inverter voltage");
  if (o == Outcome::Stopped) return CycleEnd::Stopped;
  if (o == Outcome::Answer) {
    if (const auto u = sw::parse_ac_voltages(answer())) {
      v.ss_ac_voltage_l1 = u->l1;
      v.ss_ac_voltage_l2 = u->l2;
      v.ss_ac_voltage_l3 = u->l3;
    } else {
      log_line("SS thread: no valid answer (inverter voltage)");
    }
  }
  debug_line("SS thread: get AC volage %d %d %d", v.ss_ac_voltage_l1.load(), v.ss_ac_voltage_l2.load(),
             v.ss_ac_voltage_l3.load());

  o = query(sw::Query::AcFrequency, "inverter frequency");
  if (o == Outcome::Stopped) return CycleEnd::Stopped;
  if (o == Outcome::Answer) {
    if (const auto f = sw::parse_ac_frequency(answer()))
      v.ss_ac_frequency = *f;
    else
      log_line("SS thread: no valid answer (inverter frequency)");
  }
  debug_line("SS thread: get AC frequency %d", v.ss_ac_frequency.load());

  // Success and failure of the frequency step both end with the logoff.
  logoff();
  return done();
}

}  // namespace

CycleEnd run_cycle(Link& link, const CycleInput& in, int& kind) { return Cycle(link, in).run(kind); }

bool wait_for_cycle(std::stop_token stop) {
  auto& flag = live().intStorageControl;
  flag = 0;
  for (int i = 0; i < 11; ++i) {
    if (!sleep_for(1s, stop)) return false;
    if (flag.load() != 0) break;
  }
  flag = 0;
  return true;
}

}  // namespace kivd::storage
