#include "app/wallbox_socket.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stop_token>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/udp_socket.hpp"

namespace kivd {

void open_wallbox_socket() {
  const Settings& s = cfg();
  const UdpOptions o{
      .send_timeout_s = 5, .device = s.NetworkInterface, .port = static_cast<std::uint16_t>(s.WallboxPort)};
  // The port may still be held for a moment (a program that ended late, a
  // restart right after another): waiting for it keeps the web interface up,
  // where ending the daemon would take everything down.
  const std::stop_token never;
  for (int wait_s = 1;; wait_s = std::min(wait_s * 2, 60)) {
    bool bind_failed = false;
    UniqueFd fd = open_udp_socket(o, [&s, &bind_failed](UdpStep step) {
      switch (step) {
        case UdpStep::Device:
          log_line("UDP server: error binding interface to %s, fallback to default", s.NetworkInterface.c_str());
          return true;
        case UdpStep::Bind: bind_failed = true; return false;
        case UdpStep::Socket: log_line("UDP server: socket failed"); break;
        case UdpStep::SendTimeout: log_line("UDP server: cannot set SO_SNDTIMEO for socket"); break;
        default: log_line("UDP server: bind call failed"); break;
      }
      std::_Exit(1);  // other threads run: no static destructors under them
    });
    if (fd) {
      daemon_state().udp_sock = fd.release();
      return;
    }
    if (!bind_failed) std::_Exit(1);
    log_line("UDP server: bind call failed, trying again in %d s", wait_s);
    sleep_for(std::chrono::seconds(wait_s), never);
  }
}

}  // namespace kivd
