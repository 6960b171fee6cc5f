#include "wallbox/keba_exchange.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

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
std::atomic<KebaTransport*> transport{&udp_transport};
std::atomic<long long> timeout_ms{10000};
thread_local std::stop_token tl_stop;

// The exchange state. pending counts datagrams received but not yet handled
// (in place of a single "broadcast received" flag, which several workers
// would clear for one another); answered is set by the worker that handled a
// datagram from the wallbox.
std::mutex m;
std::condition_variable_any cv;
int pending = 0;
int answered = 0;
// One exchange at a time: the control loop, main's reset and a worker's
// error-state reports may want to send at once.
std::mutex exchange_m;
// Only one worker at a time fetches the reports of an error state.
std::atomic<bool> error_fetch{false};

// GetReports' schedule of report 1.
std::atomic<int> isSentReportOne{0};
std::atomic<int> iCounter{0};

void datagram_done() {
  std::lock_guard lock(m);
  if (pending > 0) --pending;
  cv.notify_all();
}

// Waits until pred holds, the time-out passes or the thread's stop comes;
// false when not satisfied.
template <class Pred>
bool wait_for(Pred pred) {
  std::unique_lock lock(m);
  return cv.wait_for(lock, tl_stop, std::chrono::milliseconds(timeout_ms.load()), pred);
}

}  // namespace

void set_keba_transport(KebaTransport* t) { transport.store(t ? t : &udp_transport); }
void set_exchange_timeout(std::chrono::milliseconds t) { timeout_ms.store(t.count()); }
void set_thread_stop(std::stop_token stop) { tl_stop = std::move(stop); }
const std::stop_token& thread_stop() { return tl_stop; }

void reset_report_schedule() {
  isSentReportOne = 0;
  iCounter = 0;
  std::lock_guard lock(m);
  pending = 0;
  answered = 0;
}

int SendData(const char* command) {
  std::lock_guard exchange(exchange_m);
  if (tl_stop.stop_requested()) return 0;

  if (!wait_for([] { return pending == 0; })) {
    if (tl_stop.stop_requested()) return 0;
    log_line("KEBA SendData: brodcast rcv waiting failed > timeout");
  }
  {
    // Cleared only now, so that a datagram handled during the first wait
    // does not pass for the answer to a command not yet sent.
    std::lock_guard lock(m);
    answered = 0;
  }
  if (!transport.load()->send(command)) {
    log_line("KEBA SendData: sendto failed, or timeout");
    std::_Exit(1);  // other threads still run: no static destructors
  }
  debug_line("%s", command);
  if (!wait_for([] { return answered == 1; })) {
    if (tl_stop.stop_requested()) return 0;
    log_line("KEBA SendData: rcv after sent waiting failed > timeout");
  }
  return live().wb_send_ok.load();
}

int GetReports() {
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

void UdpServiceRequest(const UdpDatagram& d) {
  debug_line("Udp thread %d: (%s) %s", d.worker, d.sender, d.data);
  // The sender must be the wallbox itself: a part of its address (or an
  // empty setting) would let any host on the network answer for it.
  if (d.length >= 1 && cfg().WallboxServer == d.sender) {
    const int verdict = answer_verdict(std::string_view(d.data), [](std::string_view t) { return ParseReports(t); });
    if (verdict < 0) log_line("ParseReports: parsing report failed");
    else live().wb_send_ok = verdict;
    stamp_now(live().last_udp_datetime);
    std::lock_guard lock(m);
    answered = 1;
    cv.notify_all();
  }
  datagram_done();

  LiveValues& v = live();
  if (v.wb_state == 4 && v.wb_error1 == 0 && v.wb_error2 == 0 && !error_fetch.exchange(true)) {
    GetReports();
    error_fetch = false;
  }
}

KebaWorkers::KebaWorkers() {
  {
    std::lock_guard lock(m);
    pending = 0;
  }
  for (auto& t : threads_) t = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
}

KebaWorkers::~KebaWorkers() {
  for (auto& t : threads_) t.request_stop();
  cv_.notify_all();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  std::lock_guard lock(m);
  pending = 0;
  cv.notify_all();
}

bool KebaWorkers::submit(const char* sender, const char* data, std::size_t length) {
  {
    // Counted before a worker can see it, so that its end never comes first.
    std::lock_guard lock(m);
    ++pending;
  }
  {
    std::lock_guard lock(m_);
    if (count_ < kSlots) {
      UdpDatagram& d = ring_[(head_ + count_) % kSlots];
      const std::size_t n = length < sizeof d.data - 1 ? length : sizeof d.data - 1;
      std::memcpy(d.data, data, n);
      d.data[n] = '\0';
      std::strncpy(d.sender, sender, sizeof d.sender - 1);
      d.sender[sizeof d.sender - 1] = '\0';
      d.length = static_cast<int>(n);
      d.worker = next_worker_;
      next_worker_ = next_worker_ == kWorkers ? 1 : next_worker_ + 1;
      ++count_;
      cv_.notify_one();
      return true;
    }
  }
  datagram_done();
  return false;
}

void KebaWorkers::run(std::stop_token stop) {
  name_this_thread("kiv-kebawork");
  set_thread_stop(stop);
  UdpDatagram mine;  // the worker's own copy, reused for every datagram
  for (;;) {
    {
      std::unique_lock lock(m_);
      if (!cv_.wait(lock, stop, [this] { return count_ > 0; })) return;
      mine = ring_[head_];
      head_ = (head_ + 1) % kSlots;
      --count_;
    }
    try {
      UdpServiceRequest(mine);
    } catch (...) {
      datagram_done();
      log_line("UDP server: worker %d failed on a datagram", mine.worker);
    }
  }
}

}  // namespace kivd
