#include "storage/udp_link.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdlib>

#include "core/log.hpp"
#include "core/udp_socket.hpp"

namespace kivd::storage {

namespace {
constexpr int kTimeoutSeconds = static_cast<int>(kAnswerWait.count());
}

UdpLink::UdpLink(const StopFd& stop, const std::string& host, int port) : stop_(stop) {
  server_.sin_family = AF_INET;
  server_.sin_port = htons(static_cast<std::uint16_t>(port));
  // A dotted address only: no name look-up for the storage inverter.
  server_ok_ = ::inet_pton(AF_INET, host.c_str(), &server_.sin_addr) == 1;
  // Every cycle builds its link: a wrong address is written once, then counted.
  static RepeatingLine host_line;
  if (!server_ok_) host_line.log("SS thread: HOST is not an IPv4 address: %s", host.c_str());
  else host_line.clear();

  const UdpOptions o{.send_timeout_s = kTimeoutSeconds, .receive_timeout_s = kTimeoutSeconds, .port = 0};
  fd_ = open_udp_socket(o, [](UdpStep step) {
    switch (step) {
      case UdpStep::Socket:
        // Nothing to set up; the first send fails and ends the cycle.
        log_line("SS thread: socket() failed");
        return false;
      case UdpStep::SendTimeout: log_line("SS thread: cannot set SO_SNDTIMEO for socket"); break;
      case UdpStep::ReceiveTimeout: log_line("SS thread: cannot set SO_RCVTIMEO for socket"); break;
      default: log_line("SS thread: local bind failed"); break;
    }
    return true;
  });
  if (fd_ && !local_address(fd_.get())) {
    log_line("SS thread: getsockname failed");
    std::_Exit(1);  // other threads run: no static destructors under them
  }
}

bool UdpLink::send(std::span<const std::uint8_t> bytes) {
  if (!fd_ || !server_ok_) return false;
  return ::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&server_),
                  sizeof server_) == static_cast<ssize_t>(bytes.size());
}

Recv UdpLink::receive(std::span<std::uint8_t> buf, std::size_t& n, Deadline until) {
  n = 0;
  if (!fd_) return Recv::Error;
  Datagram got;
  const Recv r = receive_datagram(stop_, fd_.get(), buf, until, &server_.sin_addr, got);
  n = got.size;
  return r;
}

}  // namespace kivd::storage
