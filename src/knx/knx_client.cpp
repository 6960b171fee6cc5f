#include "knx/knx_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/udp_socket.hpp"

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

// No answer in time, or a broken socket: both are logged as a failed receive.
bool failed(Recv r) { return r == Recv::Timeout || r == Recv::Error; }

// A gateway that is off or away fails the connect of every pass: its line
// is written once and then counted.
RepeatingLine& gateway_down() {
  static RepeatingLine line;
  return line;
}

// "KNX thread: <call> failed (<what>)".
void failure_line(bool connecting, const char* call, const char* what) {
  if (connecting) gateway_down().log("KNX thread: %s failed (%s)", call, what);
  else log_line("KNX thread: %s failed (%s)", call, what);
}

class Pass final : public Tunnel {
 public:
  Pass(const PassParams& p, const StopFd& stop) : p_(p), stop_(stop) {}

  PassResult run(const std::function<void(Tunnel&)>& write_due);
  void write(const GroupWrite& w) override;

 private:
  bool open_sockets();
  // The exchanges after the sockets are open; stopped_ and connect_answer_
  // tell how far they came.
  void exchange(const std::function<void(Tunnel&)>& write_due);
  // The state check and the writes on the open channel.
  void use_channel(const std::function<void(Tunnel&)>& write_due);
  // Closes the channel; a channel left open holds one of the gateway's few
  // tunnels until its own time-out.
  void disconnect();
  // Sends a frame; `what` names it in the failure line.
  void send(int fd, std::span<const std::uint8_t> frame, const char* what);
  // Waits for a datagram from the gateway that `accept` takes; `what` names
  // it in the debug and failure lines. Other frames from the gateway are
  // passed over, except that its tunnelling requests on our channel are
  // acknowledged (a gateway drops a tunnel whose requests go unacknowledged).
  template <typename Accept>
  Recv receive(int fd, const char* what, Accept accept);
  void acknowledge(std::uint8_t sequence);

  const PassParams& p_;
  const StopFd& stop_;
  UniqueFd control_, data_;
  sockaddr_in gateway_{};
  Endpoint control_ep_, data_ep_;
  std::uint8_t channel_ = 0;
  std::uint8_t sequence_ = 0;
  bool confirmation_early_ = false;  // the gateway confirmed before it acknowledged
  bool connect_answer_ = false;
  bool connecting_ = false;  // failures go to gateway_down()
  bool stopped_ = false;
  bool gave_up_ = false;  // a request went unacknowledged twice: no more writes
  std::array<std::uint8_t, kAnswerBufferSize> buf_{};
};

UniqueFd open_socket(const char* which) {
  return open_udp_socket({.send_timeout_s = 5, .receive_timeout_s = 5}, [which](UdpStep step) {
    if (step == UdpStep::Socket) log_line("KNX thread: %s socket() failed", which);
    if (step == UdpStep::SendTimeout) log_line("KNX thread: cannot set SO_SNDTIMEO for %s socket", which);
    if (step == UdpStep::ReceiveTimeout) log_line("KNX thread: cannot set SO_RCVTIMEO for %s socket", which);
    return true;
  });
}

bool bind_and_read_back(int fd, Endpoint& ep, const char* which) {
  if (!bind_any(fd, 0)) {
    log_line("KNX thread: %s local bind failed", which);
    return false;
  }
  const auto local = local_address(fd);
  if (!local) {
    log_line("KNX thread: %s getsockname failed", which);
    return false;
  }
  std::memcpy(ep.addr.data(), &local->sin_addr.s_addr, 4);
  ep.port = ntohs(local->sin_port);
  return true;
}

bool Pass::open_sockets() {
  control_ = open_socket("first");
  data_ = open_socket("second");
  if (!bind_to_device(control_.get(), p_.device))
    log_line("KNX thread: error binding interface to %.59s, fallback to default", p_.device.c_str());
  return bind_and_read_back(control_.get(), control_ep_, "first") &&
         bind_and_read_back(data_.get(), data_ep_, "second");
}

void Pass::send(int fd, std::span<const std::uint8_t> frame, const char* what) {
  if (sendto(fd, frame.data(), frame.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&gateway_),
             sizeof gateway_) != static_cast<ssize_t>(frame.size()))
    failure_line(connecting_, "sendto", what);
}

template <typename Accept>
Recv Pass::receive(int fd, const char* what, Accept accept) {
  debug_line("KNX thread: Receive %s", what);
  const Deadline deadline = deadline_after(p_.timeout);
  for (;;) {
    Datagram got;
    const Recv r = receive_datagram(stop_, fd, buf_, deadline, &gateway_.sin_addr, got);
    if (r == Recv::Stopped) stopped_ = true;
    if (failed(r)) failure_line(connecting_, "recvfrom()", what);
    if (r != Recv::Peer) return r;
    const std::span<const std::uint8_t> frame(buf_.data(), got.size);
    if (accept(frame)) {
      debug_line("KNX thread: Receive Len: %zu", got.size);
      return Recv::Peer;
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
  debug_line("KNX thread: Sending TUNNELLING_ACK");
  send(data_.get(), build_tunnelling_ack(channel_, sequence), "TUNNELLING_ACK");
}

void Pass::write(const GroupWrite& w) {
  if (stopped_ || gave_up_) return;
  const auto frame = build_tunnelling_request(channel_, sequence_, w.group, w.value.payload);
  const int gt = static_cast<int>(w.group_text.size());
  const char* to = w.group_text.data();
  if (w.value.style == LogStyle::Integer)
    debug_line("KNX thread: Sending TUNNELLING_REQUEST to: %.*s, value: %ld", gt, to, w.value.log_int);
  if (w.value.style == LogStyle::Hex16)
    debug_line("KNX thread: Sending TUNNELLING_REQUEST to: %.*s, value: 0x%04X", gt, to,
               static_cast<unsigned>(w.value.log_int));
  if (w.value.style == LogStyle::Float)
    debug_line("KNX thread: Sending TUNNELLING_REQUEST to: %.*s, value: %.7g", gt, to,
               static_cast<double>(w.value.log_float));
  const std::uint8_t sent = sequence_;
  // Our sequence counter is our own: it moves on by one per request, whatever
  // numbers the gateway's own requests carry.
  sequence_ = static_cast<std::uint8_t>(sequence_ + 1);
  confirmation_early_ = false;

  // A request without acknowledgement is repeated once with the same
  // sequence number; when that one goes unanswered too, the tunnel is taken
  // for broken and the pass only disconnects.
  std::uint8_t status = 0;
  Recv ack = Recv::Timeout;
  for (int attempt = 0; attempt < 2 && failed(ack); ++attempt) {
    if (attempt > 0) debug_line("KNX thread: Repeating TUNNELLING_REQUEST, sequence: %u", sent);
    send(data_.get(), frame.view(), "TUNNELLING_REQUEST");
    ack = receive(data_.get(), "TUNNELLING_ACK", [&](std::span<const std::uint8_t> f) {
      const auto a = parse_tunnelling_ack(f);
      if (!a || a->channel != channel_ || a->sequence != sent) return false;
      status = a->status;
      return true;
    });
  }
  if (failed(ack)) gave_up_ = true;
  if (ack != Recv::Peer) return;
  debug_line("KNX thread: Receive Tunnelling Status: %d", status);
  if (status != 0 || confirmation_early_) return;

  std::uint8_t gw_sequence = 0;
  const Recv con = receive(data_.get(), "TUNNELLING_REQUEST", [&](std::span<const std::uint8_t> f) {
    const auto r = parse_tunnelling_request(f);
    if (!r || r->channel != channel_ || r->message_code != kLDataCon) return false;
    gw_sequence = r->sequence;
    return true;
  });
  if (con == Recv::Peer) acknowledge(gw_sequence);
}

void Pass::exchange(const std::function<void(Tunnel&)>& write_due) {
  gateway_.sin_family = AF_INET;
  gateway_.sin_port = htons(static_cast<std::uint16_t>(p_.port));
  if (!valid_router(p_.router) || inet_pton(AF_INET, p_.router.c_str(), &gateway_.sin_addr) != 1) return;
  if (!open_sockets()) return;

  debug_line("KNX thread: Sending CONNECTION_REQUEST: local connect port: %d, local data port: %d", control_ep_.port,
             data_ep_.port);
  connecting_ = true;
  send(control_.get(), build_connect_request(control_ep_, data_ep_), "CONNECTION_REQUEST");
  ConnectResponse cr;
  const Recv rx = receive(control_.get(), "CONNECTION_RESPONCE", [&](std::span<const std::uint8_t> f) {
    const auto r = parse_connect_response(f);
    if (r) cr = *r;
    return r.has_value();
  });
  connecting_ = false;
  if (rx != Recv::Peer) return;
  gateway_down().clear();
  connect_answer_ = true;
  channel_ = cr.channel;
  debug_line("KNX thread: Receive Channel ID: %u (%X)", channel_, channel_);
  debug_line("KNX thread: Receive Connection Status: %u", cr.status);
  if (cr.status == kNoMoreConnections) {
    log_line("KNX thread: to many connections on gateway");
    return;
  }
  use_channel(write_due);
  disconnect();
}

void Pass::use_channel(const std::function<void(Tunnel&)>& write_due) {
  debug_line("KNX thread: Sending CONNECTIONSTATE_REQUEST");
  send(control_.get(), build_connectionstate_request(channel_, control_ep_), "CONNECTIONSTATE_REQUEST");
  int state = -1;  // shown when no answer came
  const Recv st = receive(control_.get(), "CONNECTIONSTATE_RESPONCE", [&](std::span<const std::uint8_t> f) {
    const auto r = parse_connectionstate_response(f);
    if (!r || r->channel != channel_) return false;
    state = r->status;
    return true;
  });
  if (st == Recv::Stopped) return;
  if (st == Recv::Peer) debug_line("KNX thread: Receive Connectionstate Status: %d", state);
  if (st != Recv::Peer || state != 0) {
    log_line("KNX thread: error=%d (CONNECTIONSTATE_RESPONCE)", state);
    return;
  }

  write_due(*this);
}

void Pass::disconnect() {
  debug_line("KNX thread: Sending DISCONNECT_REQUEST for ID: %d", channel_);
  send(control_.get(), build_disconnect_request(channel_, control_ep_), "DISCONNECT_REQUEST");
  // A stopping pass does not wait for the answer: a restart must not wait
  // out a time-out.
  if (stopped_) return;
  int dstatus = 0;
  const Recv dr = receive(control_.get(), "DISCONNECT_RESPONCE", [&](std::span<const std::uint8_t> f) {
    const auto r = parse_disconnect_response(f);
    if (!r || r->channel != channel_) return false;
    dstatus = r->status;
    return true;
  });
  if (dr != Recv::Peer) return;
  debug_line("KNX thread: Receive Disconnect Status: %d", dstatus);
  if (dstatus != 0) log_line("KNX thread: failed to disconnect: %d", dstatus);
}

PassResult Pass::run(const std::function<void(Tunnel&)>& write_due) {
  exchange(write_due);
  // A pass that got an answer and was not stopped stamps the receipt time.
  if (connect_answer_ && !stopped_) stamp_now(live().last_knx_datetime);
  return {connect_answer_, stopped_};
}

}  // namespace

PassResult run_pass(const PassParams& p, const StopFd& stop, const std::function<void(Tunnel&)>& write_due) {
  Pass pass(p, stop);
  return pass.run(write_due);
}

}  // namespace kivd::knx
