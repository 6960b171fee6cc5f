// Local mode: no meter; keeps the receive time fresh and, when asked to,
// shows an SMA Energy Meter to the network.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "core/clock.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/udp_socket.hpp"
#include "meter/emulated_meter.hpp"
#include "meter/meter_modes.hpp"

namespace kivd::meter {

namespace {
// Energy Meters send about once a second.
constexpr auto kLocalPass = std::chrono::seconds(1);

// One failing send a second must not fill the log over a long outage.
RepeatingLine& send_fail_log() {
  static RepeatingLine line;
  return line;
}
}  // namespace

EmuResult send_emulated_datagram() {
  const UniqueFd fd = open_udp_socket({}, [](UdpStep) {
    log_line("Opening datagram socket error\n");
    return false;
  });
  if (!fd) return EmuResult::Fatal;
  const unsigned char loop = 0;  // the own host must not take it for a meter
  if (::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0) {
    log_line("Setting IP_MULTICAST_LOOP error\n");
    return EmuResult::Fatal;
  }
  in_addr any{};
  any.s_addr = htonl(INADDR_ANY);
  if (::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &any, sizeof any) < 0) {
    log_line("Setting local interface error\n");
    return EmuResult::Fatal;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9522);
  to.sin_addr.s_addr = htonl(0xEF0CFFFE);  // 239.12.255.254
  const EmulatedDatagram& d = emulated_datagram();
  if (::sendto(fd.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
      static_cast<ssize_t>(d.size())) {
    send_fail_log().log("SMA Energymeter EMU: sendto call failed");
    return EmuResult::SendFailed;
  }
  send_fail_log().clear();
  return EmuResult::Sent;
}

void run_local_mode(const StopFd& stop) {
  log_line("Energymeter: Starting in local mode...");
  const bool emulate = cfg().EMUUsing;
  LiveValues& l = live();
  for (;;) {
    if (emulate && send_emulated_datagram() == EmuResult::Fatal) return;
    l.em_received_ms = steady_ms();
    stamp_now(l.last_kiv_datetime);
    debug_line("Energymeter: %d W | %d %d %d V | %d %d %d mA | cos phi %.3f", l.intpow.load(), l.em_u1.load(),
               l.em_u2.load(), l.em_u3.load(), l.em_i1.load(), l.em_i2.load(), l.em_i3.load(),
               static_cast<double>(static_cast<float>(l.em_pf.load()) / 1000.0f));
    if (!sleep_for(kLocalPass, stop.token())) return;
  }
}

}  // namespace kivd::meter
