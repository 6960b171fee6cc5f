#include "knx/knx_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/stop_wait.hpp"
#include "core/unique_fd.hpp"

namespace kivd::knx {

bool valid_router(std::string_view router) {
  char text[64];
  if (router.empty() || router.size() >= sizeof text) return false;
  std::memcpy(text, router.data(), router.size());
  text[router.size()] = '\0';
  in_addr a{};
  return inet_pton(AF_INET, text, &a) == 1;
}

namespace {

enum class Rx { Ok, Failed, Foreign, Stopped };

class Pass final : public Tunnel {
 public:
  Pass(const PassParams& p, const StopFd& stop) : p_(p), stop_(stop) {}

  PassResult run(const std::function<void(Tunnel&)>& write_due);
  void write(const GroupWrite& w) override;

 private:
  bool open_sockets();
  bool send(int fd, std::span<const std::uint8_t> frame);
  // Waits for a datagram from the gateway that `accept` takes. Other frames
  // from the gateway are passed over, except that its tunnelling requests on
  // our channel are acknowledged (a gateway drops a tunnel whose requests go
  // unacknowledged).
  template <typename Accept>
  Rx receive(int fd, Accept accept);
  void acknowledge(std::uint8_t sequence);
  void finish();

  const PassParams& p_;
  const StopFd& stop_;
  UniqueFd control_, data_;
  sockaddr_in gateway_{};
  Endpoint control_ep_, data_ep_;
  std::uint8_t channel_ = 0;
  std::uint8_t sequence_ = 0;
  bool confirmation_early_ = false;  // the gateway confirmed before it acknowledged
  bool stopped_ = false;
  std::array<std::uint8_t, kAnswerBufferSize> buf_{};
  ssize_t len_ = 0;
};

void set_timeouts(int fd, const char* which) {
  timeval tv{5, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0)
    log_line("KNX thread: cannot set SO_SNDTIMEO for %s socket", which);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0)
    log_line("KNX thread: cannot set SO_RCVTIMEO for %s socket", which);
}

bool bind_and_read_back(int fd, Endpoint& ep, const char* which) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
    log_line("KNX thread: %s local bind failed", which);
    return false;
  }
  socklen_t len = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) < 0) {
    log_line("KNX thread: %s getsockname failed", which);
    return false;
  }
  std::memcpy(ep.addr.data(), &local.sin_addr.s_addr, 4);
  ep.port = ntohs(local.sin_port);
  return true;
}

bool Pass::open_sockets() {
  control_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!control_) log_line("KNX thread: first socket() failed");
  set_timeouts(control_.get(), "first");
  data_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!data_) log_line("KNX thread: second socket() failed");
  set_timeouts(data_.get(), "second");

  if (!p_.device.empty()) {
    char name[60] = {};
    std::strncpy(name, p_.device.c_str(), sizeof name - 1);
    if (setsockopt(control_.get(), SOL_SOCKET, SO_BINDTODEVICE, name, sizeof name) < 0)
      log_line("KNX thread: error binding interface to %s, fallback to default", name);
  }
  return bind_and_read_back(control_.get(), control_ep_, "first") &&
         bind_and_read_back(data_.get(), data_ep_, "second");
}

bool Pass::send(int fd, std::span<const std::uint8_t> frame) {
  return sendto(fd, frame.data(), frame.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&gateway_),
                sizeof gateway_) == static_cast<ssize_t>(frame.size());
}

template <typename Accept>
Rx Pass::receive(int fd, Accept accept) {
  const auto deadline = std::chrono::steady_clock::now() + p_.timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Rx::Failed;
    switch (stop_.wait_readable(fd, left)) {
      case WaitResult::Ready: break;
      case WaitResult::Stopped: stopped_ = true; return Rx::Stopped;
      case WaitResult::Timeout:
      case WaitResult::Error: return Rx::Failed;
    }
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    const ssize_t n = recvfrom(fd, buf_.data(), buf_.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &flen);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return Rx::Failed;
    }
    if (from.sin_family != AF_INET || from.sin_addr.s_addr != gateway_.sin_addr.s_addr) return Rx::Foreign;
    const std::span<const std::uint8_t> frame(buf_.data(), static_cast<std::size_t>(n));
    if (accept(frame)) {
      len_ = n;
      return Rx::Ok;
    }
    if (fd == data_.get()) {
      if (const auto req = parse_tunnelling_request(frame); req && req->channel == channel_) {
        if (req->message_code == kLDataCon) confirmation_early_ = true;
        acknowledge(req->sequence);
      }
    }
  }
}

void Pass::acknowledge(std::uint8_t sequence) {
  const auto ack = build_tunnelling_ack(channel_, sequence);
  debug_line("KNX thread: Sending TUNNELLING_ACK");
  if (!send(data_.get(), ack)) log_line("KNX thread: sendto failed (TUNNELLING_ACK)");
}

void Pass::write(const GroupWrite& w) {
  if (stopped_) return;
  const auto frame = build_tunnelling_request(channel_, sequence_, w.group, w.value.payload);
  const int gt = static_cast<int>(w.group_text.size());
  switch (w.value.style) {
    case LogStyle::Integer:
      debug_line("KNX thread: Sending TUNNELLING_REQUEST to: %.*s, value: %ld", gt, w.group_text.data(), w.value.log_int);
      break;
    case LogStyle::Hex16:
      debug_line("KNX thread: Sending TUNNELLING_REQUEST to: %.*s, value: 0x%04X", gt, w.group_text.data(),
                 static_cast<unsigned>(w.value.log_int));
      break;
    case LogStyle::Float:
      debug_line("KNX thread: Sending TUNNELLING_REQUEST to: %.*s, value: %.7g", gt, w.group_text.data(),
                 static_cast<double>(w.value.log_float));
      break;
  }
  const std::uint8_t sent = sequence_;
  // Our sequence counter is our own: it moves on by one per request, whatever
  // numbers the gateway's own requests carry.
  sequence_ = static_cast<std::uint8_t>(sequence_ + 1);
  confirmation_early_ = false;
  if (!send(data_.get(), frame.view())) log_line("KNX thread: sendto failed (TUNNELLING_REQUEST)");

  debug_line("KNX thread: Receive TUNNELLING_ACK");
  std::uint8_t status = 0;
  const Rx ack = receive(data_.get(), [&](std::span<const std::uint8_t> f) {
    const auto a = parse_tunnelling_ack(f);
    if (!a || a->channel != channel_ || a->sequence != sent) return false;
    status = a->status;
    return true;
  });
  if (ack != Rx::Ok) {
    if (ack == Rx::Failed) log_line("KNX thread: recvfrom() failed (TUNNELLING_ACK)");
    return;
  }
  debug_line("KNX thread: Receive Len: %zd", len_);
  debug_line("KNX thread: Receive Tunnelling Status: %d", status);
  if (status != 0 || confirmation_early_) return;

  debug_line("KNX thread: Receive TUNNELLING_REQUEST");
  std::uint8_t gw_sequence = 0;
  const Rx con = receive(data_.get(), [&](std::span<const std::uint8_t> f) {
    const auto r = parse_tunnelling_request(f);
    if (!r || r->channel != channel_ || r->message_code != kLDataCon) return false;
    gw_sequence = r->sequence;
    return true;
  });
  if (con != Rx::Ok) {
    if (con == Rx::Failed) log_line("KNX thread: recvfrom() failed (TUNNELLING_REQUEST)");
    return;
  }
  debug_line("KNX thread: Receive Len: %zd", len_);
  acknowledge(gw_sequence);
}

void Pass::finish() {
  stamp_now(live().last_knx_datetime);
}

PassResult Pass::run(const std::function<void(Tunnel&)>& write_due) {
  PassResult result;
  gateway_.sin_family = AF_INET;
  gateway_.sin_port = htons(static_cast<std::uint16_t>(p_.port));
  if (!valid_router(p_.router) || inet_pton(AF_INET, p_.router.c_str(), &gateway_.sin_addr) != 1) return result;
  if (!open_sockets()) return result;

  debug_line("KNX thread: Sending CONNECTION_REQUEST: local connect port: %d, local data port: %d", control_ep_.port,
             data_ep_.port);
  if (!send(control_.get(), build_connect_request(control_ep_, data_ep_)))
    log_line("KNX thread: sendto failed (CONNECTION_REQUEST)");
  debug_line("KNX thread: Receive CONNECTION_RESPONCE");
  ConnectResponse cr;
  const Rx rx = receive(control_.get(), [&](std::span<const std::uint8_t> f) {
    const auto r = parse_connect_response(f);
    if (r) cr = *r;
    return r.has_value();
  });
  if (rx != Rx::Ok) {
    if (rx == Rx::Failed) log_line("KNX thread: recvfrom() failed (CONNECTION_RESPONCE)");
    result.stopped = rx == Rx::Stopped;
    return result;
  }
  result.connect_answer = true;
  channel_ = cr.channel;
  debug_line("KNX thread: Receive Len: %zd", len_);
  debug_line("KNX thread: Receive Channel ID: %u (%X)", channel_, channel_);
  debug_line("KNX thread: Receive Connection Status: %u", cr.status);
  if (cr.status == kNoMoreConnections) {
    log_line("KNX thread: to many connections on gateway");
    finish();
    return result;
  }

  debug_line("KNX thread: Sending CONNECTIONSTATE_REQUEST");
  if (!send(control_.get(), build_connectionstate_request(channel_, control_ep_)))
    log_line("KNX thread: sendto failed (CONNECTIONSTATE_REQUEST)");
  debug_line("KNX thread: Receive CONNECTIONSTATE_RESPONCE");
  int state = -1;  // shown when no answer came
  const Rx st = receive(control_.get(), [&](std::span<const std::uint8_t> f) {
    const auto r = parse_connectionstate_response(f);
    if (!r || r->channel != channel_) return false;
    state = r->status;
    return true;
  });
  if (st == Rx::Stopped) {
    result.stopped = true;
    return result;
  }
  if (st == Rx::Failed) log_line("KNX thread: recvfrom() failed (CONNECTIONSTATE_RESPONCE)");
  if (st == Rx::Ok) {
    debug_line("KNX thread: Receive Len: %zd", len_);
    debug_line("KNX thread: Receive Connectionstate Status: %d", state);
  }
  if (st != Rx::Ok || state != 0) {
    log_line("KNX thread: error=%d (CONNECTIONSTATE_RESPONCE)", state);
    finish();
    return result;
  }

  write_due(*this);
  if (stopped_) {
    result.stopped = true;
    return result;
  }

  debug_line("KNX thread: Sending DISCONNECT_REQUEST for ID: %d", channel_);
  if (!send(control_.get(), build_disconnect_request(channel_, control_ep_)))
    log_line("KNX thread: sendto failed (DISCONNECT_REQUEST)");
  debug_line("KNX thread: Receive DISCONNECT_RESPONCE");
  int dstatus = 0;
  const Rx dr = receive(control_.get(), [&](std::span<const std::uint8_t> f) {
    const auto r = parse_disconnect_response(f);
    if (!r || r->channel != channel_) return false;
    dstatus = r->status;
    return true;
  });
  if (dr == Rx::Stopped) {
    result.stopped = true;
    return result;
  }
  if (dr == Rx::Failed) log_line("KNX thread: recvfrom() failed (DISCONNECT_RESPONCE)");
  if (dr == Rx::Ok) {
    debug_line("KNX thread: Receive Len: %zd", len_);
    debug_line("KNX thread: Receive Disconnect Status: %d", dstatus);
    if (dstatus != 0) log_line("KNX thread: failed to disconnect: %d", dstatus);
  }
  finish();
  return result;
}

}  // namespace

PassResult run_pass(const PassParams& p, const StopFd& stop, const std::function<void(Tunnel&)>& write_due) {
  Pass pass(p, stop);
  return pass.run(write_due);
}

}  // namespace kivd::knx
