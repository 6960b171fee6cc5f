// KNXnet/IP tunnelling frames: builders for what we send, parsers for the
// gateway's answers. Pure: bytes in, values out, no sockets. A parser reads
// only the bytes it is given and refuses a frame shorter than its fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kivd::knx {

inline constexpr std::size_t kAnswerBufferSize = 256;

inline constexpr std::uint16_t kConnectRequest = 0x0205;
inline constexpr std::uint16_t kConnectResponse = 0x0206;
inline constexpr std::uint16_t kConnectionStateRequest = 0x0207;
inline constexpr std::uint16_t kConnectionStateResponse = 0x0208;
inline constexpr std::uint16_t kDisconnectRequest = 0x0209;
inline constexpr std::uint16_t kDisconnectResponse = 0x020A;
inline constexpr std::uint16_t kTunnellingRequest = 0x0420;
inline constexpr std::uint16_t kTunnellingAck = 0x0421;

inline constexpr std::uint8_t kNoMoreConnections = 0x24;

// A local UDP endpoint as getsockname reports it; addr in network order.
struct Endpoint {
  std::array<std::uint8_t, 4> addr{};
  std::uint16_t port = 0;
};

// What a group write carries: a 1-bit value in the APCI byte, or 1, 2 or 4
// bytes after it, most significant first.
struct Payload {
  std::array<std::uint8_t, 4> bytes{};
  std::uint8_t size = 0;  // 0 = 1-bit value in bytes[0] bit 0
};

std::array<std::uint8_t, 26> build_connect_request(const Endpoint& control, const Endpoint& data);
std::array<std::uint8_t, 16> build_connectionstate_request(std::uint8_t channel, const Endpoint& control);
std::array<std::uint8_t, 16> build_disconnect_request(std::uint8_t channel, const Endpoint& control);
std::array<std::uint8_t, 10> build_tunnelling_ack(std::uint8_t channel, std::uint8_t sequence);

// A TUNNELLING_REQUEST with a cEMI L_Data.req group write: 21, 22, 23 or 25
// bytes by payload.
struct TunnellingFrame {
  std::array<std::uint8_t, 25> bytes{};
  std::size_t size = 0;
  std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
};
TunnellingFrame build_tunnelling_request(std::uint8_t channel, std::uint8_t sequence, std::uint16_t group,
                                         const Payload& payload);

// The 6-byte header: 06 10, service type, total length. Refused when the
// bytes are fewer than the header or than the length it states.
struct Header {
  std::uint16_t service = 0;
  std::uint16_t length = 0;
};
std::optional<Header> parse_header(std::span<const std::uint8_t> frame);

struct ConnectResponse {
  std::uint8_t channel = 0;
  std::uint8_t status = 0;
};
std::optional<ConnectResponse> parse_connect_response(std::span<const std::uint8_t> frame);

// CONNECTIONSTATE_RESPONSE and DISCONNECT_RESPONSE: channel and status.
struct StateResponse {
  std::uint8_t channel = 0;
  std::uint8_t status = 0;
};
std::optional<StateResponse> parse_connectionstate_response(std::span<const std::uint8_t> frame);
std::optional<StateResponse> parse_disconnect_response(std::span<const std::uint8_t> frame);

struct TunnellingAck {
  std::uint8_t channel = 0;
  std::uint8_t sequence = 0;
  std::uint8_t status = 0;
};
std::optional<TunnellingAck> parse_tunnelling_ack(std::span<const std::uint8_t> frame);

// The gateway's own TUNNELLING_REQUEST (its confirmation of our write, or a
// telegram from the bus). message_code is 0 when the frame has no cEMI part.
struct GatewayRequest {
  std::uint8_t channel = 0;
  std::uint8_t sequence = 0;
  std::uint8_t message_code = 0;
};
inline constexpr std::uint8_t kLDataCon = 0x2E;
std::optional<GatewayRequest> parse_tunnelling_request(std::span<const std::uint8_t> frame);

}  // namespace kivd::knx
