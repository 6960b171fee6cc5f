#include "app/wallbox_socket.hpp"

#include <cstdint>
#include <cstdlib>

#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/udp_socket.hpp"

namespace kivd {

void open_wallbox_socket() {
  const Settings& s = cfg();
  const UdpOptions o{
      .send_timeout_s = 5, .device = s.NetworkInterface, .port = static_cast<std::uint16_t>(s.WallboxPort)};
  UniqueFd fd = open_udp_socket(o, [&s](UdpStep step) {
    switch (step) {
      case UdpStep::Device:
        log_line("UDP server: error binding interface to %s, fallback to default", s.NetworkInterface.c_str());
        return true;
      case UdpStep::Socket: log_line("UDP server: socket failed"); break;
      case UdpStep::SendTimeout: log_line("UDP server: cannot set SO_SNDTIMEO for socket"); break;
      default: log_line("UDP server: bind call failed"); break;
    }
    std::_Exit(1);  // other threads run: no static destructors under them
  });
  daemon_state().udp_sock = fd.release();
}

}  // namespace kivd
