#include "core/udp_socket.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

namespace kivd {

bool bind_to_device(int fd, const std::string& device) {
  // The kernel reads at most IFNAMSIZ - 1 bytes of the name.
  return device.empty() || ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                                        static_cast<socklen_t>(device.size() + 1)) == 0;
}

bool bind_any(int fd, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

std::optional<sockaddr_in> local_address(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return std::nullopt;
  return a;
}

UniqueFd open_udp_socket(const UdpOptions& o, const std::function<bool(UdpStep)>& failed) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const auto step = [&](bool ok, UdpStep s) { return ok || failed(s); };
  const auto timeout = [&](int option, int seconds) {
    const timeval tv{seconds, 0};
    return ::setsockopt(fd.get(), SOL_SOCKET, option, &tv, sizeof tv) == 0;
  };
  const int one = 1;
  const bool port_ok = o.port && *o.port >= 0 && *o.port <= 65535;
  if (step(fd.valid(), UdpStep::Socket) &&
      (o.send_timeout_s == 0 || step(timeout(SO_SNDTIMEO, o.send_timeout_s), UdpStep::SendTimeout)) &&
      (o.receive_timeout_s == 0 || step(timeout(SO_RCVTIMEO, o.receive_timeout_s), UdpStep::ReceiveTimeout)) &&
      (!o.reuse_address ||
       step(::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0, UdpStep::ReuseAddress)) &&
      step(bind_to_device(fd.get(), o.device), UdpStep::Device) &&
      (!o.port || step(port_ok && bind_any(fd.get(), static_cast<std::uint16_t>(*o.port)), UdpStep::Bind)))
    return fd;
  return {};
}

Recv receive_datagram(const StopFd& stop, int fd, std::span<std::uint8_t> buf, Deadline deadline,
                      const in_addr* peer, Datagram& got) {
  using std::chrono::milliseconds;
  got = {};
  for (;;) {
    milliseconds left(-1);
    if (deadline != kNoDeadline) {
      left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return Recv::Timeout;
    }
    switch (stop.wait_readable(fd, left)) {
      case WaitResult::Ready: break;
      case WaitResult::Stopped: return Recv::Stopped;
      case WaitResult::Timeout: return Recv::Timeout;
      case WaitResult::Error: return Recv::Error;
    }
    socklen_t len = sizeof got.from;
    const ssize_t n =
        ::recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&got.from), &len);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return Recv::Error;
    }
    got.size = static_cast<std::size_t>(n);
    if (len < sizeof got.from || got.from.sin_family != AF_INET) return Recv::Foreign;
    return peer == nullptr || got.from.sin_addr.s_addr == peer->s_addr ? Recv::Peer : Recv::Foreign;
  }
}

}  // namespace kivd
