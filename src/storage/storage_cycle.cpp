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

class Cycle {
 public:
  Cycle(Link& link, const CycleInput& in) : link_(link), in_(in) {}

  CycleEnd run(int& kind);

 private:
  // Sends a value query and takes one answer with the query's packet id;
  // `parse` reads the answer and `take` keeps the values. `what` names the
  // request in the failure lines. False when the pass is stopping.
  template <typename Parse, typename Take>
  bool query(sw::Query q, const char* what, Parse parse, Take take);
  // Takes the answer to `what`, logging a missing one; Peer when it came.
  // Until the time-out, datagrams from another sender and late answers to an
  // earlier request (a lower packet id than `id`) are passed over: neither is
  // a reason to give up on the awaited answer.
  Recv receive(const char* what, int id = -1) {
    const Deadline until = deadline_after(kAnswerWait);
    for (;;) {
      len_ = 0;
      const Recv r = link_.receive(buf_, len_, until);
      if (r == Recv::Foreign) {
        debug_line("SS thread: no valid answer (%s)", what);
        continue;
      }
      if (r == Recv::Peer && earlier_than(id)) continue;
      if (r == Recv::Timeout || r == Recv::Error) log_line("SS thread: recvfrom() failed");
      if (r != Recv::Peer) len_ = 0;
      return r;
    }
  }
  bool earlier_than(int id) const {
    const auto got = sw::answer_packet_id(answer());
    if (!got || *got >= id) return false;
    debug_line("SS thread: Packet ID mismatch. Expected %d, received %d", id, *got);
    return true;
  }
  bool send(std::span<const std::uint8_t> bytes, std::uint8_t id) {
    last_id_ = id;
    return link_.send(bytes);
  }
  // Logoff with the id after the last request; the cycle ends after it.
  CycleEnd logoff() {
    const std::uint8_t id = static_cast<std::uint8_t>(last_id_ + 1);
    if (!send(sw::build_logoff(in_.app_serial, id), id)) log_line("SS thread: sendto failed (logoff request)");
    return done();
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

template <typename Parse, typename Take>
bool Cycle::query(sw::Query q, const char* what, Parse parse, Take take) {
  const auto id = static_cast<std::uint8_t>(q);
  if (!send(sw::build_query(q, in_.app_serial), id)) {
    log_line("SS thread: sendto failed (%s)", what);
    return true;
  }
  const Recv r = receive(what, id);
  if (r != Recv::Peer) return r != Recv::Stopped;
  const auto got = sw::answer_packet_id(answer());
  if (got && *got != id) {
    log_line("SS thread: Get %s failed. Packet ID mismatch. Expected %d, received %d", what, id, *got);
    return true;
  }
  const auto values = got ? parse(answer()) : std::nullopt;
  if (values)
    take(*values);
  else
    log_line("SS thread: no valid answer (%s)", what);
  return true;
}

CycleEnd Cycle::run(int& kind) {
  LiveValues& v = live();

  // Identify: the device's serial number.
  if (!send(sw::build_query(sw::Query::Identify, in_.app_serial), 1)) {
    log_line("SS thread: sendto failed (first request)");
    return done();
  }
  const Recv first = receive("first request");
  if (first == Recv::Stopped) return CycleEnd::Stopped;
  if (first != Recv::Peer) {
    v.ss_devicename.set("error communication");
    return logoff();
  }
  const auto serial = sw::answer_serial(answer());
  if (!serial) {
    log_line("SS thread: no valid answer (first request)");
    return logoff();
  }
  char serial_text[16];
  std::snprintf(serial_text, sizeof serial_text, "%lu", static_cast<unsigned long>(*serial));
  v.ss_serial.set(serial_text);
  debug_line("SS thread: get serial no. %s", serial_text);

  // Logoff first, so that a session left from an earlier cycle does not
  // stand in the way of the logon.
  if (!send(sw::build_logoff(in_.app_serial, 2), 2)) {
    log_line("SS thread: sendto failed (logoff request)");
    return logoff();
  }

  if (!send(sw::build_logon(in_.app_serial, in_.now_s, in_.secret), sw::kLogonId)) {
    log_line("SS thread: sendto failed (login request)");
    return logoff();
  }
  const Recv logon = receive("login request", sw::kLogonId);
  if (logon == Recv::Stopped) return CycleEnd::Stopped;
  if (logon != Recv::Peer) return logoff();
  const auto logon_id = sw::answer_packet_id(answer());
  if (!logon_id) {
    log_line("SS thread: no valid answer (login request)");
    return logoff();
  }
  if (*logon_id != sw::kLogonId) {
    log_line("SS thread: Packet ID mismatch. Expected %d, received %d", sw::kLogonId, *logon_id);
    return logoff();
  }
  if (sw::answer_error_code(answer()).value_or(1) != 0) {
    log_line("SS thread: Logon failed");
    v.ss_devicename.set("Logon failed");
    return logoff();
  }

  // Logged on: the values. A failed request is logged and the next follows.
  using Q = sw::Query;
  if (!query(Q::SoftwareVersion, "software version", sw::parse_software_version, [&](const sw::Text& fw) {
        v.ss_commfirmware.set(fw.view());
        debug_line("SS thread: get comm version %s", fw.chars.data());
      }))
    return CycleEnd::Stopped;
  if (!query(Q::DeviceType, "inverter type", sw::parse_device_type, [&](const sw::DeviceType& dev) {
        v.ss_devicename.set(dev.name.view());
        kind = dev.kind;
        debug_line("SS thread: get device name %s", dev.name.chars.data());
      }))
    return CycleEnd::Stopped;
  if (!query(Q::StateOfCharge, "SOC", sw::parse_first_value, [&](std::int32_t soc) { v.ss_bat_soc = soc; }))
    return CycleEnd::Stopped;
  debug_line("SS thread: get SOC %d", v.ss_bat_soc.load());
  const auto parse_battery = [&kind](sw::Bytes a) { return sw::parse_battery(a, kind); };
  if (!query(Q::Battery, "bat param", parse_battery, [&](const sw::Battery& bat) {
        v.ss_bat_temp = bat.temperature;
        v.ss_bat_voltage = bat.voltage;
        v.ss_bat_current = bat.current;
        debug_line("SS thread: get temp, voltage, current %d, %d, %d", bat.temperature, bat.voltage, bat.current);
      }))
    return CycleEnd::Stopped;
  if (!query(Q::AcPower, "inverter power", sw::parse_first_value, [&](std::int32_t p) {
        v.ss_ac_power = p;
        v.ss_received_ms = steady_ms();
      }))
    return CycleEnd::Stopped;
  debug_line("SS thread: get AC power %d", v.ss_ac_power.load());
  if (!query(Q::AcVoltage, "inverter voltage", sw::parse_ac_voltages, [&](const sw::AcVoltages& u) {
        v.ss_ac_voltage_l1 = u.l1;
        v.ss_ac_voltage_l2 = u.l2;
        v.ss_ac_voltage_l3 = u.l3;
      }))
    return CycleEnd::Stopped;
  debug_line("SS thread: get AC volage %d %d %d", v.ss_ac_voltage_l1.load(), v.ss_ac_voltage_l2.load(),
             v.ss_ac_voltage_l3.load());
  if (!query(Q::AcFrequency, "inverter frequency", sw::parse_ac_frequency,
             [&](std::int32_t f) { v.ss_ac_frequency = f; }))
    return CycleEnd::Stopped;
  debug_line("SS thread: get AC frequency %d", v.ss_ac_frequency.load());

  // Success and failure of the frequency step both end with the logoff.
  return logoff();
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
