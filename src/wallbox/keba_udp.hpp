// The KEBA driver: commands as text datagrams, the datagram from the wallbox
// that answers what was asked as their answer, reports (and broadcasts)
// parsed into the live wallbox values.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "wallbox/keba_exchange.hpp"
#include "wallbox/wallbox.hpp"

namespace kivd {

class KebaUdp final : public Wallbox {
 public:
  // Without a transport, UDP on the shared wallbox socket.
  explicit KebaUdp(KebaTransport* transport = nullptr);
  KebaUdp(const KebaUdp&) = delete;
  KebaUdp& operator=(const KebaUdp&) = delete;

  bool refresh_reports() override;
  bool enable(bool on) override;
  bool set_current(int mA) override;
  bool set_phases(bool more) override;
  bool arm_failsafe(int timeout_s, int current_mA) override;

  // Sends one command and waits for its answer; returns the verdict (1/0).
  // No answer within the time-out, a stop or a failed send is 0; a send
  // error is logged once until sending works again.
  int SendData(const char* command);
  // Requests reports 2 and 3 (and report 1 when due); 1 when both answered ok.
  int GetReports();
  // Handles one datagram (the worker's job).
  void UdpServiceRequest(const UdpDatagram& d);

  AnswerState& answers() { return answers_; }
  // Both waits of an exchange; 10 s unless a test shortens them (a sped-up
  // control: 10 s divided by the speed-up, 2 s at least).
  void set_timeout(std::chrono::milliseconds t) { timeout_ms_ = t.count(); }

 private:
  bool command(const char* format, long a, long b = 0);
  // One exchange under exchange_m_: 1 acknowledged, 0 refused or failed,
  // -1 no answer within the time-out.
  int exchange_locked(const char* command);
  // Waits until the box may take the next command; false on a stop.
  bool pace();
  // A failure line of GetReports, left out while sending fails.
  void report_failed(const char* line);

  KebaTransport& transport_;
  std::atomic<long long> timeout_ms_{10000};
  AnswerState answers_;
  // One exchange at a time: the control loop, main's reset and a worker's
  // error-state reports may want to send at once.
  std::mutex exchange_m_;
  // Only one worker at a time fetches the reports of an error state.
  std::atomic<bool> error_fetch_{false};
  // GetReports' schedule of report 1.
  std::atomic<int> isSentReportOne{0};
  std::atomic<int> iCounter{0};
  // Earliest time of the next command (guarded by exchange_m_).
  std::chrono::steady_clock::time_point next_send_{};
  std::atomic<bool> send_failing_{false};
  // A command went unanswered: report 2 first before the next one.
  bool resync_ = false;
};

// The process's driver, on the shared wallbox socket.
KebaUdp& keba_udp();

}  // namespace kivd
