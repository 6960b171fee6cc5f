#include "knx/knx_frames.hpp"

namespace kivd::knx {

namespace {

constexpr std::uint8_t hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
constexpr std::uint8_t lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }

template <std::size_t N>
void put_header(std::array<std::uint8_t, N>& f, std::uint16_t service, std::size_t length) {
  f[0] = 0x06;
  f[1] = 0x10;
  f[2] = hi(service);
  f[3] = lo(service);
  f[4] = hi(static_cast<std::uint16_t>(length));
  f[5] = lo(static_cast<std::uint16_t>(length));
}

// Host protocol address information: length 8, IPv4 UDP, address, port.
template <std::size_t N>
void put_hpai(std::array<std::uint8_t, N>& f, std::size_t at, const Endpoint& e) {
  f[at] = 0x08;
  f[at + 1] = 0x01;
  for (std::size_t i = 0; i < 4; ++i) f[at + 2 + i] = e.addr[i];
  f[at + 6] = hi(e.port);
  f[at + 7] = lo(e.port);
}

std::array<std::uint8_t, 16> channel_request(std::uint16_t service, std::uint8_t channel, const Endpoint& control) {
  std::array<std::uint8_t, 16> f{};
  put_header(f, service, f.size());
  f[6] = channel;
  f[7] = 0x00;
  put_hpai(f, 8, control);
  return f;
}

std::optional<StateResponse> parse_state(std::span<const std::uint8_t> frame, std::uint16_t service) {
  const auto h = parse_header(frame);
  if (!h || h->service != service || h->length < 8) return std::nullopt;
  return StateResponse{frame[6], frame[7]};
}

}  // namespace

std::array<std::uint8_t, 26> build_connect_request(const Endpoint& control, const Endpoint& data) {
  std::array<std::uint8_t, 26> f{};
  put_header(f, kConnectRequest, f.size());
  put_hpai(f, 6, control);
  put_hpai(f, 14, data);
  // Connection request information: tunnel connection on the link layer.
  f[22] = 0x04;
  f[23] = 0x04;
  f[24] = 0x02;
  f[25] = 0x00;
  return f;
}

std::array<std::uint8_t, 16> build_connectionstate_request(std::uint8_t channel, const Endpoint& control) {
  return channel_request(kConnectionStateRequest, channel, control);
}

std::array<std::uint8_t, 16> build_disconnect_request(std::uint8_t channel, const Endpoint& control) {
  return channel_request(kDisconnectRequest, channel, control);
}

std::array<std::uint8_t, 10> build_tunnelling_ack(std::uint8_t channel, std::uint8_t sequence) {
  std::array<std::uint8_t, 10> f{};
  put_header(f, kTunnellingAck, f.size());
  f[6] = 0x04;
  f[7] = channel;
  f[8] = sequence;
  f[9] = 0x00;
  return f;
}

TunnellingFrame build_tunnelling_request(std::uint8_t channel, std::uint8_t sequence, std::uint16_t group,
                                         const Payload& payload) {
  TunnellingFrame t;
  const std::size_t extra = payload.size == 1 || payload.size == 2 || payload.size == 4 ? payload.size : 0;
  t.size = 21 + extra;
  auto& f = t.bytes;
  put_header(f, kTunnellingRequest, t.size);
  f[6] = 0x04;  // connection header length
  f[7] = channel;
  f[8] = sequence;
  f[9] = 0x00;
  f[10] = 0x11;  // L_Data.req
  f[11] = 0x00;  // no additional information
  f[12] = 0xBC;  // standard frame, no repetition, broadcast, low priority
  f[13] = 0xE0;  // group address, hop count 6
  f[14] = 0x00;  // source: the gateway puts in its own
  f[15] = 0x00;
  f[16] = hi(group);
  f[17] = lo(group);
  f[18] = static_cast<std::uint8_t>(extra + 1);
  f[19] = 0x00;  // transport control
  f[20] = extra == 0 ? static_cast<std::uint8_t>(0x80 | (payload.bytes[0] & 0x01)) : 0x80;  // GroupValueWrite
  for (std::size_t i = 0; i < extra; ++i) f[21 + i] = payload.bytes[i];
  return t;
}

std::optional<Header> parse_header(std::span<const std::uint8_t> frame) {
  if (frame.size() < 6 || frame[0] != 0x06 || frame[1] != 0x10) return std::nullopt;
  Header h;
  h.service = static_cast<std::uint16_t>(frame[2] << 8 | frame[3]);
  h.length = static_cast<std::uint16_t>(frame[4] << 8 | frame[5]);
  if (h.length < 6 || h.length > frame.size()) return std::nullopt;
  return h;
}

std::optional<ConnectResponse> parse_connect_response(std::span<const std::uint8_t> frame) {
  const auto h = parse_header(frame);
  if (!h || h->service != kConnectResponse || h->length < 8) return std::nullopt;
  return ConnectResponse{frame[6], frame[7]};
}

std::optional<StateResponse> parse_connectionstate_response(std::span<const std::uint8_t> frame) {
  return parse_state(frame, kConnectionStateResponse);
}

std::optional<StateResponse> parse_disconnect_response(std::span<const std::uint8_t> frame) {
  return parse_state(frame, kDisconnectResponse);
}

std::optional<TunnellingAck> parse_tunnelling_ack(std::span<const std::uint8_t> frame) {
  const auto h = parse_header(frame);
  if (!h || h->service != kTunnellingAck || h->length < 10 || frame[6] != 0x04) return std::nullopt;
  return TunnellingAck{frame[7], frame[8], frame[9]};
}

std::optional<GatewayRequest> parse_tunnelling_request(std::span<const std::uint8_t> frame) {
  const auto h = parse_header(frame);
  if (!h || h->service != kTunnellingRequest || h->length < 10 || frame[6] != 0x04) return std::nullopt;
  return GatewayRequest{frame[7], frame[8], h->length > 10 ? frame[10] : std::uint8_t{0}};
}

}  // namespace kivd::knx
