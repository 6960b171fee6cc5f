#include "app/wallbox_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"

namespace kivd {

void open_wallbox_socket() {
  const Settings& s = cfg();
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log_line("UDP server: socket failed");
    std::_Exit(1);  // other threads run: no static destructors under them
  }
  timeval tv{5, 0};
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0) {
    log_line("UDP server: cannot set SO_SNDTIMEO for socket");
    std::_Exit(1);  // other threads run: no static destructors under them
  }
  if (!s.NetworkInterface.empty()) {
    char dev[60] = {};
    std::strncpy(dev, s.NetworkInterface.c_str(), sizeof dev - 1);
    if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, dev, sizeof dev) < 0)
      log_line("UDP server: error binding interface to %s, fallback to default", s.NetworkInterface.c_str());
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(s.WallboxPort));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    log_line("UDP server: bind call failed");
    std::_Exit(1);  // other threads run: no static destructors under them
  }
  daemon_state().udp_sock = fd;
}

}  // namespace kivd
