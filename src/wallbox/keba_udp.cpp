#include "wallbox/keba_udp.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
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
      log_line("KEBA SendData: wallbox address %s is not a dotted IPv4 address", s.WallboxServer.c_str());
      return false;
    }
    const ssize_t n = ::sendto(daemon_state().udp_sock.load(), command.data(), command.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n == static_cast<ssize_t>(command.size());
  }
};

UdpTransport udp_transport;

}  // namespace

KebaUdp::KebaUdp(KebaTransport* transport) : transport_(transport ? *transport : udp_transport) {}

KebaUdp& keba_udp() {
  static KebaUdp driver;
  return driver;
}

int KebaUdp::SendData(const char* command) {
  std::lock_guard exchange(exchange_m_);
  const std::stop_token& stop = thread_stop();
  const std::chrono::milliseconds limit(timeout_ms_.load());
  if (stop.stop_requested()) return 0;

  if (!answers_.wait_idle(stop, limit)) {
    if (stop.stop_requested()) return 0;
    log_line("KEBA SendData: brodcast rcv waiting failed > timeout");
  }
  // Cleared only now, so that a datagram handled during the first wait does
  // not pass for the answer to a command not yet sent.
  answers_.clear_answer();
  if (!transport_.send(command)) {
    log_line("KEBA SendData: sendto failed, or timeout");
    std::_Exit(1);  // other threads still run: no static destructors
  }
  debug_line("%s", command);
  if (!answers_.wait_answer(stop, limit)) {
    if (stop.stop_requested()) return 0;
    log_line("KEBA SendData: rcv after sent waiting failed > timeout");
  }
  return live().wb_send_ok.load();
}

int KebaUdp::GetReports() {
  if (isSentReportOne == 0 || live().isWallboxRestarted == 1) {
    if (SendData("report 1") == 0) {
      log_line("KEBA GetReports: init 'report 1' failed.");
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
    log_line("KEBA GetReports: send report 2 failed.");
    return 0;
  }
  if (SendData("report 3") == 0) {
    log_line("KEBA GetReports: send report 3 failed.");
    return 0;
  }
  return 1;
}

void KebaUdp::UdpServiceRequest(const UdpDatagram& d) {
  debug_line("Udp thread %d: (%s) %s", d.worker, d.sender, d.data);
  // The sender must be the wallbox itself: a part of its address (or an
  // empty setting) would let any host on the network answer for it.
  if (d.length >= 1 && cfg().WallboxServer == d.sender) {
    const Verdict verdict = answer_verdict(d.data, [](std::string_view t) { return ParseReports(t); });
    if (verdict == Verdict::Unparsed) log_line("ParseReports: parsing report failed");
    else live().wb_send_ok = verdict == Verdict::Ok ? 1 : 0;
    stamp_now(live().last_udp_datetime);
    answers_.answered();
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
