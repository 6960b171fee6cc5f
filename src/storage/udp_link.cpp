#include "storage/udp_link.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>

#include "core/log.hpp"

namespace kivd::storage {

namespace {
constexpr int kTimeoutSeconds = 5;
}

UdpLink::UdpLink(const StopFd& stop, const std::string& host, int port) : stop_(stop) {
  server_.sin_family = AF_INET;
  server_.sin_port = htons(static_cast<std::uint16_t>(port));
  // A dotted address only: no name look-up for the storage inverter.
  server_ok_ = ::inet_pton(AF_INET, host.c_str(), &server_.sin_addr) == 1;
  if (!server_ok_) log_line("SS thread: HOST is not an IPv4 address: %s", host.c_str());

  fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd_) {
    // Nothing to set up; the first send fails and ends the cycle.
    log_line("SS thread: socket() failed");
    return;
  }
  const timeval tv{kTimeoutSeconds, 0};
  if (::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0)
    log_line("SS thread: cannot set SO_SNDTIMEO for socket");
  if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0)
    log_line("SS thread: cannot set SO_RCVTIMEO for socket");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0)
    log_line("SS thread: local bind failed");
  socklen_t len = sizeof local;
  if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&local), &len) < 0) {
    log_line("SS thread: getsockname failed");
    std::_Exit(1);  // other threads run: no static destructors under them
  }
}

bool UdpLink::send(std::span<const std::uint8_t> bytes) {
  if (!fd_ || !server_ok_) return false;
  return ::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&server_),
                  sizeof server_) == static_cast<ssize_t>(bytes.size());
}

Link::Recv UdpLink::receive(std::span<std::uint8_t> buf, std::size_t& n) {
  n = 0;
  if (!fd_) return Recv::Failed;
  switch (stop_.wait_readable(fd_.get(), std::chrono::seconds(kTimeoutSeconds))) {
    case WaitResult::Stopped: return Recv::Stopped;
    case WaitResult::Timeout:
    case WaitResult::Error: return Recv::Failed;
    case WaitResult::Ready: break;
  }
  sockaddr_in from{};
  socklen_t len = sizeof from;
  const ssize_t got =
      ::recvfrom(fd_.get(), buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
  if (got < 0) return Recv::Failed;
  n = static_cast<std::size_t>(got);
  if (len < sizeof from || from.sin_family != AF_INET || from.sin_addr.s_addr != server_.sin_addr.s_addr)
    return Recv::Foreign;
  return Recv::Ok;
}

}  // namespace kivd::storage
