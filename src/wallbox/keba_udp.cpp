#include "wallbox/keba_udp.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/test_hooks.hpp"
#include "core/utils.hpp"
#include "wallbox/keba_reports.hpp"

namespace kivd {

namespace {

class UdpTransport final : public KebaTransport {
 public:
  bool send(std::string_view command) override {
    const Settings& s = cfg();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(s.WallboxPort));
    if (::inet_pton(AF_INET, s.WallboxServer.c_str(), &to.sin_addr) != 1) {
      // Every command would fail alike: said once per address.
      if (!bad_address_said_.exchange(true))
        log_line("KEBA SendData: wallbox address %s is not a dotted IPv4 address", s.WallboxServer.c_str());
      return false;
    }
    bad_address_said_ = false;
    const ssize_t n = ::sendto(daemon_state().udp_sock.load(), command.data(), command.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n == static_cast<ssize_t>(command.size());
  }

 private:
  std::atomic<bool> bad_address_said_{false};
};

// The box's own pacing rules: 100 ms between two commands, 2 s after
// "ena 0" before the next one.
std::chrono::milliseconds gap_after(std::string_view command) {
  using std::chrono::milliseconds;
  return command == "ena 0" ? milliseconds(2000) : milliseconds(100);
}

// What a parsed datagram answers.
AnswerKind answer_kind(ReportKind k) {
  switch (k) {
    case ReportKind::One: return AnswerKind::Report1;
    case ReportKind::Two: return AnswerKind::Report2;
    case ReportKind::Three: return AnswerKind::Report3;
    default: return AnswerKind::Broadcast;
  }
}

UdpTransport udp_transport;

}  // namespace

KebaUdp::KebaUdp(KebaTransport* transport) : transport_(transport ? *transport : udp_transport) {
  // Sped-up integration tests shorten the answer time-out too, to 2 s at least.
  const int speedup = test_wallbox_speedup();
  if (speedup > 1) timeout_ms_ = std::max(10000 / speedup, 2000);
}

KebaUdp& keba_udp() {
  static KebaUdp driver;
  return driver;
}

bool KebaUdp::pace() {
  const Clock::Steady::time_point now = time_source().now();
  if (now >= next_send_) return true;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_send_ - now);
  return sleep_for(wait, thread_stop());
}

int KebaUdp::SendData(const char* command) {
  std::lock_guard exchange(exchange_m_);
  // Acknowledgements carry no ID: one that comes after its time-out would
  // pass for the next command's. So after a time-out the box's state is
  // read again (report 2) before anything changes it.
  const bool changes_state = expected_answer(command) == Expected::Ack;
  if (changes_state && resync_) {
    if (exchange_locked("report 2") != 1) return 0;
    resync_ = false;
  }
  const int r = exchange_locked(command);
  if (r < 0 && changes_state) resync_ = true;
  return r == 1 ? 1 : 0;
}

int KebaUdp::exchange_locked(const char* command) {
  const std::stop_token& stop = thread_stop();
  const std::chrono::milliseconds limit(timeout_ms_.load());
  if (stop.stop_requested() || !pace()) return 0;

  if (!answers_.wait_idle(stop, limit)) {
    if (stop.stop_requested()) return 0;
    log_line("KEBA SendData: brodcast rcv waiting failed > timeout");
  }
  // Set only now, so that a datagram handled during the first wait does not
  // pass for the answer to a command not yet sent.
  answers_.expect(expected_answer(command));
  const bool sent = transport_.send(command);
  next_send_ = time_source().now() + gap_after(command) / test_wallbox_speedup();
  if (!sent) {
    answers_.expect(Expected::None);
    // The network may be down for hours: said once, the cycle goes on
    // without this exchange.
    if (!send_failing_.exchange(true)) log_line("KEBA SendData: sendto failed, or timeout");
    return 0;
  }
  if (send_failing_.exchange(false)) log_line("KEBA SendData: sending to the wallbox works again");
  debug_line("%s", command);
  const bool answered = answers_.wait_answer(stop, limit);
  const bool ok = answered && answers_.verdict();
  answers_.expect(Expected::None);  // a late answer now ends no wait
  if (!answered && !stop.stop_requested()) {
    log_line("KEBA SendData: rcv after sent waiting failed > timeout");
    return -1;
  }
  return ok ? 1 : 0;
}

void KebaUdp::report_failed(const char* line) {
  if (!send_failing_) log_line("%s", line);
}

int KebaUdp::GetReports() {
  if (isSentReportOne == 0 || live().isWallboxRestarted == 1) {
    if (SendData("report 1") == 0) {
      report_failed("KEBA GetReports: init 'report 1' failed.");
      return 0;
    }
    isSentReportOne = 1;
    live().isWallboxRestarted = 0;
  }
  if (++iCounter >= 308) {
    iCounter = 0;
    isSentReportOne = 0;
  }
  if (SendData("report 2") == 0) {
    report_failed("KEBA GetReports: send report 2 failed.");
    return 0;
  }
  if (SendData("report 3") == 0) {
    report_failed("KEBA GetReports: send report 3 failed.");
    return 0;
  }
  return 1;
}

void KebaUdp::UdpServiceRequest(const UdpDatagram& d) {
  debug_line("Udp thread %d: (%s) %s", d.worker, d.sender, d.data);
  // The sender must be the wallbox itself: a part of its address (or an
  // empty setting) would let any host on the network answer for it.
  if (d.length >= 1 && cfg().WallboxServer == d.sender) {
    bool unparsed = false;
    const Answer a = classify_answer(d.data, [&unparsed](std::string_view t) -> std::optional<AnswerKind> {
      const std::optional<ReportKind> k = parse_and_apply(t);
      unparsed = !k;
      if (!k) return std::nullopt;
      return answer_kind(*k);
    });
    if (unparsed) log_line("ParseReports: parsing report failed");
    stamp_now(live().last_udp_datetime);
    live().wb_received_ms = steady_ms();
    if (answers_.offer(a)) live().wb_send_ok = a.ok ? 1 : 0;
    else if (a.kind != AnswerKind::Broadcast) debug_line("KEBA SendData: no answer to the command in flight, ignored");
  }
  answers_.handled();

  LiveValues& v = live();
  if (v.wb_state == 4 && v.wb_error1 == 0 && v.wb_error2 == 0 && !error_fetch_.exchange(true)) {
    GetReports();
    error_fetch_ = false;
  }
}

bool KebaUdp::command(const char* format, long a, long b) {
  char cmd[64];
  std::snprintf(cmd, sizeof cmd, format, a, b);
  return SendData(cmd) == 1;
}

bool KebaUdp::refresh_reports() { return GetReports() == 1; }
bool KebaUdp::enable(bool on) { return command("ena %ld", on ? 1 : 0); }
bool KebaUdp::set_current(int mA) { return command("curr %ld", mA); }
bool KebaUdp::set_phases(bool more) { return command("output %ld", more ? 1 : 0); }
bool KebaUdp::arm_failsafe(int timeout_s, int current_mA) {
  return command("failsafe %ld %ld 0", timeout_s, current_mA);
}

}  // namespace kivd
