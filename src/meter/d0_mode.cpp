// D0/TCP gateway: reads the meter's readouts from a TCP connection. The
// gateway talks first; the daemon never sends.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/udp_socket.hpp"
#include "meter/d0_framer.hpp"
#include "meter/d0_readout.hpp"
#include "meter/meter_modes.hpp"

namespace kivd::meter {

using namespace std::chrono_literals;

namespace {

constexpr auto kConnectTimeout = 30s;
// A gateway that sends nothing for this long is taken as gone.
constexpr auto kIdleTimeout = 300s;
// The pause before the first try after a lost connection.
constexpr auto kReconnectWait = 1s;

enum class ConnectResult { Connected, NoSocket, NoHost, Failed, Stopped };

// The connection lives in daemon_state().sockfd, which the core closes on a
// restart and on quitting; the thread closes it only while it is still its own.
class SharedSocket {
 public:
  ~SharedSocket() { close(); }
  void adopt(int fd) {
    close();
    fd_ = fd;
    daemon_state().sockfd.store(fd);
  }
  void close() {
    if (fd_ < 0) return;
    int expected = fd_;
    if (daemon_state().sockfd.compare_exchange_strong(expected, -1)) ::close(fd_);
    fd_ = -1;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

ConnectResult connect_gateway(const StopFd& stop, SharedSocket& sock) {
  const Settings& s = cfg();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ConnectResult::NoSocket;
  sock.adopt(fd);

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(s.KivServer.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    if (found) ::freeaddrinfo(found);
    return ConnectResult::NoHost;
  }
  sockaddr_in addr{};
  std::memcpy(&addr, found->ai_addr, std::min<std::size_t>(sizeof addr, found->ai_addrlen));
  ::freeaddrinfo(found);
  if (s.KivPort < 1 || s.KivPort > 65535) return ConnectResult::Failed;
  addr.sin_port = htons(static_cast<std::uint16_t>(s.KivPort));

  if (!bind_to_device(fd, s.NetworkInterface))
    log_line("Energymeter: error binding interface to %s, fallback to default", s.NetworkInterface.c_str());

  // Connect without blocking so that a stop request or a dead host does not
  // hold the thread for the kernel's connect time-out.
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
    if (errno != EINPROGRESS) return ConnectResult::Failed;
    const WaitResult w = stop.wait_writable(fd, kConnectTimeout);
    if (w == WaitResult::Stopped) return ConnectResult::Stopped;
    if (w != WaitResult::Ready) return ConnectResult::Failed;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) return ConnectResult::Failed;
  }
  ::fcntl(fd, F_SETFL, flags);
  return ConnectResult::Connected;
}

enum class ReadResult { Data, Error, Closed, Idle, Stopped };

ReadResult read_some(const StopFd& stop, int fd, char* buf, std::size_t cap, std::size_t& n) {
  for (;;) {
    const WaitResult w = stop.wait_readable(fd, kIdleTimeout);
    if (w == WaitResult::Stopped) return ReadResult::Stopped;
    if (w == WaitResult::Timeout) return ReadResult::Idle;
    if (w == WaitResult::Error) return ReadResult::Error;
    const ssize_t r = ::recv(fd, buf, cap, 0);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r < 0) return ReadResult::Error;
    if (r == 0) return ReadResult::Closed;
    n = static_cast<std::size_t>(r);
    return ReadResult::Data;
  }
}

// Connects, trying again with back-off until the gateway answers; the
// failure is logged once per outage. The number of failed tries, or none
// when the pass stops.
std::optional<int> connect_until_up(const StopFd& stop, SharedSocket& sock, std::chrono::seconds first_wait) {
  sock.close();
  return retry_until_up(stop, first_wait, [&](bool log_failure) {
    const ConnectResult r = connect_gateway(stop, sock);
    if (r == ConnectResult::Connected) return true;
    if (log_failure && r == ConnectResult::NoHost) log_line("Energymeter: error, no such host");
    if (log_failure && r == ConnectResult::NoSocket) log_line("Energymeter: error opening socket");
    if (log_failure && r == ConnectResult::Failed) log_line("Energymeter: error connecting");
    return false;
  });
}

// Voltages are not measured: 230 V is assumed. Currents are estimated.
// The energy counters only ever go forward: a readout behind the newest is
// an old one sent again (a gateway cycling through its last few), not a
// reading. Behind for longer than the time-out is a meter replaced or reset.
bool behind_newest(const D0Slots& slots, long long now) {
  static double newest[2] = {-1, -1};
  static long long newest_ms = 0;
  const double energy[2] = {slots.number(2), slots.number(4)};
  if (energy[0] < newest[0] || energy[1] < newest[1]) {
    if (now - newest_ms <= static_cast<long long>(cfg().KivTimeout) * 1000) {
      debug_line("Energymeter: D0 readout behind the newest counters, not a new reading");
      return true;
    }
    log_line("Energymeter: D0 counters went back - taken as the new start");
  }
  std::copy(energy, energy + 2, newest);
  newest_ms = now;
  return false;
}

void publish(const D0Result& r, const D0Slots& slots) {
  LiveValues& l = live();
  if (behind_newest(slots, steady_ms())) return;
  if (r.has_power) l.intpow = r.power;
  l.em_u1 = 230;
  l.em_u2 = 230;
  l.em_u3 = 230;
  const Currents c = d0_currents(l.intpow.load(), l.wb_pow.load(), l.wb_i1.load(), l.wb_i2.load());
  l.em_i1 = c.i1;
  l.em_i2 = c.i2;
  l.em_i3 = c.i3;
  // Only a total: for the fuse check, all of it may flow on one phase.
  l.em_one_phase_mA = d0_one_phase_mA(l.intpow.load(), l.wb_pow.load());
  // Both meters keep the energies in slots 2 and 4.
  l.em_energy_consumption = static_cast<float>(slots.number(2));
  l.em_energy_surplus = static_cast<float>(slots.number(4));
  // A readout without the power leaves the last one, which is no fresher.
  // Nor is one whose power and counters stood still (since the last one
  // taken) for longer than the time-out while the box charges: a gateway
  // repeating its last readout.
  static long long moved_ms = 0;
  static double last_counters[3] = {-1, -1, -1};
  const double counters[3] = {static_cast<double>(l.intpow.load()), slots.number(2), slots.number(4)};
  const long long now = steady_ms();
  if (!std::equal(counters, counters + 3, last_counters) || moved_ms == 0) moved_ms = now;
  std::copy(counters, counters + 3, last_counters);
  const bool charging = l.wb_pow > 0 || l.wb_state == 3;
  const bool frozen = charging && now - moved_ms > static_cast<long long>(cfg().KivTimeout) * 1000;
  if (r.has_power && !frozen) l.em_received_ms = now;
  stamp_now(l.last_kiv_datetime);
}

}  // namespace

void run_d0_mode(const StopFd& stop, bool mt175) {
  log_line("Energymeter: Starting in D0/TCP mode...");
  SharedSocket sock;
  const auto failed = connect_until_up(stop, sock, 0s);
  if (!failed) return;
  if (*failed > 0) log_line("Energymeter: D0 gateway connected");

  D0Slots slots;
  const bool hooks = test_hooks_on();
  const auto take = [&](std::string_view readout) {
    const D0Result parsed = mt175 ? parse_mt175(readout, slots) : parse_as1440(readout, slots);
    publish(parsed, slots);
    const LiveValues& l = live();
    debug_line("Energymeter: %d W | %d %d %d V | %d %d %d mA", l.intpow.load(), l.em_u1.load(), l.em_u2.load(),
               l.em_u3.load(), l.em_i1.load(), l.em_i2.load(), l.em_i3.load());
    if (hooks && debug_on())
      log_line("Energymeter test: %.4f %.4f kWh", static_cast<double>(l.em_energy_consumption.load()),
               static_cast<double>(l.em_energy_surplus.load()));
  };
  // A read ends wherever TCP cut the stream: the framer joins the reads
  // into whole readouts.
  D0Framer framer(mt175);
  std::array<char, kD0BufferSize> buf;
  for (;;) {
    std::size_t n = 0;
    const ReadResult r = read_some(stop, sock.get(), buf.data(), buf.size(), n);
    if (r == ReadResult::Stopped) return;
    if (r == ReadResult::Data) {
      framer.feed(std::string_view(buf.data(), n), take);
      continue;
    }
    framer.reset();  // a readout cut off by the lost connection
    if (r == ReadResult::Error) log_line("Energymeter: error reading data");
    // A closed connection reads as no data for ever, and on TCP a failed read
    // means the connection is gone: connect again instead of spinning.
    if (r == ReadResult::Closed)
      log_line("Energymeter: D0 gateway closed the connection, reconnecting");
    else if (r == ReadResult::Idle)
      log_line("Energymeter: no data from the D0 gateway for %d s, reconnecting",
               static_cast<int>(kIdleTimeout.count()));
    else
      log_line("Energymeter: D0 gateway connection lost, reconnecting");
    if (!connect_until_up(stop, sock, kReconnectWait)) return;
    log_line("Energymeter: D0 gateway connected again");
  }
}

}  // namespace kivd::meter
