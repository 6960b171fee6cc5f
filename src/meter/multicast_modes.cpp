// The two multicast receivers: SMA Energy Meter datagrams and OEM gateway
// JSON datagrams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <chrono>

#include "core/clock.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/udp_socket.hpp"
#include "core/utils.hpp"
#include "meter/meter_modes.hpp"
#include "meter/oem_datagram.hpp"
#include "meter/sma_datagram.hpp"

namespace kivd::meter {

using namespace std::chrono_literals;

namespace {

// Waits for the next datagram from any sender and reads it; false when the
// pass stops.
bool receive(const StopFd& stop, int fd, std::span<std::uint8_t> buf, std::size_t& n) {
  for (;;) {
    Datagram got;
    const Recv r = receive_datagram(stop, fd, buf, kNoDeadline, nullptr, got);
    n = got.size;
    if (r == Recv::Peer || r == Recv::Foreign) return true;
    if (r == Recv::Stopped) return false;
    // A broken socket must not spin.
    if (!sleep_for(1s, stop.token())) return false;
  }
}

// Control characters replaced, so that a datagram cannot forge log lines.
void log_datagram_text(std::string_view text) { log_line("%s", printable(text, 399).c_str()); }

// The values both kinds of meter give.
void publish_power(int intpow, const int (&u)[3], const int (&i)[3]) {
  LiveValues& l = live();
  l.intpow = intpow;
  l.em_u1 = u[0];
  l.em_u2 = u[1];
  l.em_u3 = u[2];
  l.em_i1 = i[0];
  l.em_i2 = i[1];
  l.em_i3 = i[2];
  l.em_one_phase_mA = -1;  // each phase measured
}

// The receiver, tried again with back-off until the group is joined; an
// invalid fd when the pass stops.
UniqueFd join_group(const StopFd& stop, std::chrono::seconds first_wait) {
  UniqueFd fd;
  const auto failed = retry_until_up(stop, first_wait, [&fd](bool log_failure) {
    fd = open_multicast_receiver(log_failure);
    return fd.valid();
  });
  if (failed && *failed > 0) log_line("Energymeter: multicast group joined");
  return fd;
}

}  // namespace

bool sma_time_advanced(std::uint32_t serial, std::uint32_t ticker_ms) {
  // A datagram sent again (a switch, a repeater, a gateway cycling through
  // its last few) is no new reading: fresh means the meter's own time stamp
  // went past the newest one of that meter. Far back is a meter restarted.
  struct Seen {
    std::uint32_t serial, ticker;
  };
  static std::array<Seen, 4> seen{};
  static std::size_t used = 0, next = 0;
  constexpr std::int32_t kRestartedBack = -60000;
  for (std::size_t i = 0; i < used; ++i) {
    if (seen[i].serial != serial) continue;
    const auto step = static_cast<std::int32_t>(ticker_ms - seen[i].ticker);
    if (step <= 0 && step > kRestartedBack) return false;
    seen[i].ticker = ticker_ms;
    return true;
  }
  seen[used < seen.size() ? used++ : next++ % seen.size()] = {serial, ticker_ms};
  return true;
}

bool publish_sma(const SmaValues& v) {
  LiveValues& l = live();
  if (!sma_time_advanced(v.serial, v.ticker_ms)) {
    debug_line("Energymeter: datagram with a time stamp not past the last one, not a new reading");
    return false;
  }
  l.em_serial = v.serial;
  l.em_timestamp = v.timestamp_s;
  publish_power(v.intpow, v.u, v.i);
  l.em_pow_1 = v.pow[0];
  l.em_pow_2 = v.pow[1];
  l.em_pow_3 = v.pow[2];
  if (v.phase_fault) debug_line("Energymeter: SMA EM failed on phase 2 and phase 3! Please install it correctly.");
  l.em_pf = v.pf;
  l.em_energy_consumption = v.energy_consumption;
  l.em_energy_surplus = v.energy_surplus;
  l.em_received_ms = steady_ms();
  stamp_now(l.last_kiv_datetime);
  return true;
}

UniqueFd open_multicast_receiver(bool log_failure) {
  const Settings& s = cfg();
  const int port = s.KivPort < 1 ? -1 : s.KivPort;  // 0 would be any free port, not the meter's
  const UdpOptions o{.send_timeout_s = 60, .reuse_address = true, .device = s.NetworkInterface, .port = port};
  UniqueFd fd = open_udp_socket(o, [&s, log_failure](UdpStep step) {
    if (!log_failure) return step == UdpStep::Device;
    switch (step) {
      case UdpStep::Device:
        log_line("Energymeter: error binding interface to %s, fallback to default", s.NetworkInterface.c_str());
        return true;
      case UdpStep::Socket: log_line("Energymeter: error opening socket"); break;
      case UdpStep::SendTimeout: log_line("Energymeter: cannot set SO_SNDTIMEO for socket"); break;
      case UdpStep::ReuseAddress: log_line("Energymeter: error setting SO_REUSEADDR"); break;
      default: log_line("Energymeter: bind call failed"); break;
    }
    return false;
  });
  if (!fd) return {};
  ip_mreq group{};
  group.imr_interface.s_addr = htonl(INADDR_ANY);
  if (::inet_aton(s.KivServer.c_str(), &group.imr_multiaddr) == 0 ||
      ::setsockopt(fd.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) < 0) {
    if (log_failure) log_line("Energymeter: error adding multicast group - exit program!");
    return {};
  }
  return fd;
}

void run_sma_mode(const StopFd& stop) {
  log_line("Energymeter: Starting in SMA multicast UDP mode...");
  const UniqueFd fd = join_group(stop, 1s);
  if (!fd) return;

  const bool hooks = test_hooks_on();
  const std::uint32_t serial_filter = cfg().KivSerial;
  std::array<std::uint8_t, kSmaBufferSize> emeter_data;
  SmaValues values;
  for (;;) {
    std::size_t n = 0;
    if (!receive(stop, fd.get(), emeter_data, n)) return;
    const Bytes datagram(emeter_data.data(), n);
    if (decode_sma_datagram(datagram, serial_filter, values) != SmaVerdict::Accepted) continue;
    if (!publish_sma(values)) continue;
    if (debug_on()) {
      const LiveValues& l = live();
      log_line("Energymeter: %d W | %d %d %d V | %d %d %d mA | cos phi %.3f", l.intpow.load(), l.em_u1.load(),
               l.em_u2.load(), l.em_u3.load(), l.em_i1.load(), l.em_i2.load(), l.em_i3.load(),
               static_cast<double>(static_cast<float>(l.em_pf.load()) / 1000.0f));
      if (hooks) {
        char stamp[20];
        l.last_kiv_datetime.copy_to(stamp);
        log_line("Energymeter test: serial %u time %u | %d %d %d W | %.1f %.1f kWh | %s", l.em_serial.load(),
                 l.em_timestamp.load(), l.em_pow_1.load(), l.em_pow_2.load(), l.em_pow_3.load(),
                 static_cast<double>(l.em_energy_consumption.load()),
                 static_cast<double>(l.em_energy_surplus.load()), stamp);
      }
    }
  }
}

void run_oem_mode(const StopFd& stop) {
  log_line("Energymeter: Starting in OEM mode...");
  const UniqueFd fd = join_group(stop, 0s);
  if (!fd) return;

  // One byte more than the largest datagram, for the parser's end mark.
  std::array<std::uint8_t, kOemMaxDatagram + 1> buf;
  OemValues kept;
  // A gateway that keeps sending broken JSON must not fill the log.
  LogLimiter invalid_log(std::chrono::seconds(60));
  for (;;) {
    std::size_t n = 0;
    if (!receive(stop, fd.get(), {buf.data(), kOemMaxDatagram}, n)) return;
    buf[n] = 0;
    const std::string_view text(reinterpret_cast<const char*>(buf.data()), n);
    std::size_t error_at = 0;
    // A datagram that is no JSON is logged and dropped; the next one may be
    // fine, and the house should not go without meter values until the next
    // restart because of one bad datagram.
    if (parse_oem_datagram(text, kept, error_at) == OemVerdict::InvalidJson) {
      if (invalid_log.allow()) log_datagram_text(text.substr(error_at));
      continue;
    }
    const OemPublished p = oem_publish_values(kept);
    publish_power(p.intpow, p.u, p.i);
    live().em_received_ms = steady_ms();
    stamp_now(live().last_kiv_datetime);
    debug_line("Energymeter: %d W | %d %d %d V | %d %d %d mA", p.intpow, p.u[0], p.u[1], p.u[2], p.i[0], p.i[1],
               p.i[2]);
  }
}

}  // namespace kivd::meter
