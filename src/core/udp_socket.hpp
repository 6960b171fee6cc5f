// IPv4 datagram sockets as the workers use them (the first three helpers
// serve any socket). The helpers report and the caller logs, so that every
// worker keeps its own lines.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "core/stop_wait.hpp"
#include "core/unique_fd.hpp"

namespace kivd {

// SO_BINDTODEVICE; an empty name keeps the default routing. False when the
// kernel refused the name.
bool bind_to_device(int fd, const std::string& device);

// Binds to INADDR_ANY:port (0: any free port).
bool bind_any(int fd, std::uint16_t port);

// The address a socket is bound to.
std::optional<sockaddr_in> local_address(int fd);

// The steps of open_udp_socket, in their order.
enum class UdpStep { Socket, SendTimeout, ReceiveTimeout, ReuseAddress, Device, Bind };

struct UdpOptions {
  int send_timeout_s = 0;     // SO_SNDTIMEO; 0 leaves it unset
  int receive_timeout_s = 0;  // SO_RCVTIMEO; 0 leaves it unset
  bool reuse_address = false;
  std::string device{};       // see bind_to_device
  std::optional<int> port{};  // bind_any; a port outside 0..65535 fails the step
};

// Opens the socket and applies the options. `failed` hears of each step that
// fails and answers whether to go on with the next one; when it says no, the
// result is an invalid descriptor.
UniqueFd open_udp_socket(const UdpOptions& o, const std::function<bool(UdpStep)>& failed);

// A datagram from the expected sender or from another; the deadline passed;
// the pass is ending; waiting or reading failed.
enum class Recv { Peer, Foreign, Timeout, Stopped, Error };

using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline kNoDeadline = Deadline::max();
inline Deadline deadline_after(std::chrono::milliseconds d) { return std::chrono::steady_clock::now() + d; }

struct Datagram {
  std::size_t size = 0;  // cut at the buffer's size
  sockaddr_in from{};
};

// Waits for one datagram and reads it into buf. `peer` is the expected
// sender's address; without one, any IPv4 sender is the peer.
Recv receive_datagram(const StopFd& stop, int fd, std::span<std::uint8_t> buf, Deadline deadline,
                      const in_addr* peer, Datagram& got);

}  // namespace kivd
