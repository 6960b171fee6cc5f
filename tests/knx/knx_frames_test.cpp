// Frames against bytes written out by hand from the protocol, and against a
// session recorded from a real gateway.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "knx/knx_frames.hpp"

using namespace kivd::knx;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes hex(std::string_view s) {
  Bytes b;
  std::string digits;
  for (char c : s)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) b.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return b;
}

template <typename C>
Bytes bytes(const C& c) {
  return Bytes(c.begin(), c.end());
}

Endpoint ep(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port) {
  return Endpoint{{a, b, c, d}, port};
}

}  // namespace

TEST(KnxFrames, ConnectRequest) {
  EXPECT_EQ(bytes(build_connect_request(ep(0, 0, 0, 0, 0xC001), ep(0, 0, 0, 0, 0x1234))),
            hex("06 10 02 05 00 1A  08 01 00 00 00 00 C0 01  08 01 00 00 00 00 12 34  04 04 02 00"));
  EXPECT_EQ(bytes(build_connect_request(ep(10, 200, 0, 1, 1), ep(127, 0, 0, 1, 65535))),
            hex("06 10 02 05 00 1A  08 01 0A C8 00 01 00 01  08 01 7F 00 00 01 FF FF  04 04 02 00"));
}

TEST(KnxFrames, ConnectionStateAndDisconnectRequests) {
  EXPECT_EQ(bytes(build_connectionstate_request(0x2A, ep(0, 0, 0, 0, 3672))),
            hex("06 10 02 07 00 10 2A 00 08 01 00 00 00 00 0E 58"));
  EXPECT_EQ(bytes(build_disconnect_request(0xFF, ep(1, 2, 3, 4, 0x8001))),
            hex("06 10 02 09 00 10 FF 00 08 01 01 02 03 04 80 01"));
}

TEST(KnxFrames, TunnellingAck) {
  EXPECT_EQ(bytes(build_tunnelling_ack(0x15, 0xFE)), hex("06 10 04 21 00 0A 04 15 FE 00"));
}

TEST(KnxFrames, TunnellingRequestBySize) {
  Payload bit0{{0, 0, 0, 0}, 0}, bit1{{1, 0, 0, 0}, 0}, bitjunk{{0xFE, 0, 0, 0}, 0};
  Payload one{{0x7F, 0, 0, 0}, 1}, two{{0x0C, 0x33, 0, 0}, 2}, four{{0xFF, 0xFF, 0xF4, 0x48}, 4};
  EXPECT_EQ(bytes(build_tunnelling_request(3, 0, 0x0A03, bit0).view()),
            hex("06 10 04 20 00 15 04 03 00 00 11 00 BC E0 00 00 0A 03 01 00 80"));
  EXPECT_EQ(bytes(build_tunnelling_request(3, 1, 0x0A03, bit1).view()),
            hex("06 10 04 20 00 15 04 03 01 00 11 00 BC E0 00 00 0A 03 01 00 81"));
  // Only the low bit of a 1-bit value reaches the frame.
  EXPECT_EQ(bytes(build_tunnelling_request(3, 1, 0x0A03, bitjunk).view()),
            hex("06 10 04 20 00 15 04 03 01 00 11 00 BC E0 00 00 0A 03 01 00 80"));
  EXPECT_EQ(bytes(build_tunnelling_request(0x51, 0x10, 0x4105, one).view()),
            hex("06 10 04 20 00 16 04 51 10 00 11 00 BC E0 00 00 41 05 02 00 80 7F"));
  EXPECT_EQ(bytes(build_tunnelling_request(0x51, 0xFF, 0xFFFF, two).view()),
            hex("06 10 04 20 00 17 04 51 FF 00 11 00 BC E0 00 00 FF FF 03 00 80 0C 33"));
  EXPECT_EQ(bytes(build_tunnelling_request(1, 2, 0x0801, four).view()),
            hex("06 10 04 20 00 19 04 01 02 00 11 00 BC E0 00 00 08 01 05 00 80 FF FF F4 48"));
}

TEST(KnxFrames, ParsesAnswers) {
  const Bytes cr = hex("06 10 02 06 00 14 05 00 08 01 7F 00 00 01 0E 57 04 04 00 05");
  auto c = parse_connect_response(cr);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->channel, 5);
  EXPECT_EQ(c->status, 0);
  // Pool exhausted: the gateway sends only channel and status.
  c = parse_connect_response(hex("06 10 02 06 00 08 00 24"));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->status, kNoMoreConnections);

  auto s = parse_connectionstate_response(hex("06 10 02 08 00 08 4D 21"));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->channel, 0x4D);
  EXPECT_EQ(s->status, 0x21);
  auto d = parse_disconnect_response(hex("06 10 02 0A 00 08 02 00"));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->channel, 2);
  EXPECT_EQ(d->status, 0);

  auto a = parse_tunnelling_ack(hex("06 10 04 21 00 0A 04 02 07 29"));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->channel, 2);
  EXPECT_EQ(a->sequence, 7);
  EXPECT_EQ(a->status, 0x29);

  auto r = parse_tunnelling_request(hex("06 10 04 20 00 17 04 02 09 00 2E 00 BC E0 00 00 0A 03 03 00 80 0C 33"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->channel, 2);
  EXPECT_EQ(r->sequence, 9);
  EXPECT_EQ(r->message_code, kLDataCon);
}

TEST(KnxFrames, RefusesTheWrongService) {
  const Bytes state = hex("06 10 02 08 00 08 01 00");
  EXPECT_FALSE(parse_connect_response(state));
  EXPECT_FALSE(parse_disconnect_response(state));
  EXPECT_FALSE(parse_tunnelling_ack(hex("06 10 04 20 00 0A 04 01 00 00")));
  EXPECT_FALSE(parse_tunnelling_request(hex("06 10 04 21 00 0A 04 01 00 00")));
  EXPECT_FALSE(parse_connect_response(hex("06 20 02 06 00 08 01 00")));  // wrong protocol version
  EXPECT_FALSE(parse_tunnelling_ack(hex("06 10 04 21 00 0A 05 01 00 00")));  // wrong connection header
}

TEST(KnxFrames, NeverReadsPastTheBytesReceived) {
  const std::vector<Bytes> frames = {
      hex("06 10 02 06 00 14 05 00 08 01 7F 00 00 01 0E 57 04 04 00 05"), hex("06 10 02 08 00 08 4D 21"),
      hex("06 10 02 0A 00 08 02 00"), hex("06 10 04 21 00 0A 04 02 07 00"),
      hex("06 10 04 20 00 17 04 02 09 00 2E 00 BC E0 00 00 0A 03 03 00 80 0C 33")};
  for (const Bytes& f : frames) {
    for (std::size_t n = 0; n < f.size(); ++n) {
      // A copy of exactly n bytes, so a read past it is an overflow the
      // sanitizer build reports.
      const Bytes cut(f.begin(), f.begin() + static_cast<long>(n));
      EXPECT_FALSE(parse_connect_response(cut)) << n;
      EXPECT_FALSE(parse_connectionstate_response(cut)) << n;
      EXPECT_FALSE(parse_disconnect_response(cut)) << n;
      EXPECT_FALSE(parse_tunnelling_ack(cut)) << n;
      EXPECT_FALSE(parse_tunnelling_request(cut)) << n;
    }
  }
  // A length field shorter than the fields read.
  EXPECT_FALSE(parse_connect_response(hex("06 10 02 06 00 07 05 00")));
  EXPECT_FALSE(parse_tunnelling_ack(hex("06 10 04 21 00 09 04 02 07 00")));
  EXPECT_FALSE(parse_header(hex("06 10 02 06 00 05 00 00")));
}

// The recorded session: reqType/request/response/resType lines, hex frames.
TEST(KnxFrames, RecordedSession) {
  const char* dir = std::getenv("KIVD_TESTDATA");
  ASSERT_NE(dir, nullptr) << "KIVD_TESTDATA not set";
  std::ifstream in(std::string(dir) + "/knx_tunnel_knxultimate_sniffed_session.frames.txt");
  ASSERT_TRUE(in) << "recorded session missing from tests/data";
  std::vector<std::pair<std::string, Bytes>> lines;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string key, value;
    ls >> key >> value;
    if (key == "request" || key == "response") lines.emplace_back(key, hex(value));
  }
  ASSERT_EQ(lines.size(), 18u);
  const Endpoint nat{};  // the recorded client sent 0.0.0.0:0 endpoints

  // What the client sent, rebuilt with our builders.
  EXPECT_EQ(lines[0].second, bytes(build_connect_request(nat, nat)));
  const auto conn = parse_connect_response(lines[1].second);
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->channel, 0x51);
  EXPECT_EQ(conn->status, 0);
  EXPECT_EQ(lines[2].second, bytes(build_connectionstate_request(conn->channel, nat)));
  const auto st = parse_connectionstate_response(lines[3].second);
  ASSERT_TRUE(st);
  EXPECT_EQ(st->channel, 0x51);
  EXPECT_EQ(st->status, 0);

  // Group write of a 1-bit 1 to 0/0/1, then of a 0. The recorded client put
  // its own source address in bytes 14-15, where we leave 00 00.
  for (auto [index, seq, bit] : {std::tuple{4, 0, 1}, std::tuple{10, 1, 0}}) {
    Bytes want = lines[static_cast<std::size_t>(index)].second;
    want[14] = want[15] = 0;
    Payload p{{static_cast<std::uint8_t>(bit), 0, 0, 0}, 0};
    EXPECT_EQ(want, bytes(build_tunnelling_request(0x51, static_cast<std::uint8_t>(seq), 0x0001, p).view()));
    const auto ack = parse_tunnelling_ack(lines[static_cast<std::size_t>(index) + 1].second);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->channel, 0x51);
    EXPECT_EQ(ack->sequence, seq);
    EXPECT_EQ(ack->status, 0);
  }
  // The gateway's own requests: its confirmation, then a telegram from the
  // bus, with the gateway's own sequence numbers 0..3.
  const std::map<std::size_t, std::pair<int, int>> gw = {{6, {0, 0x2E}}, {8, {1, 0x29}}, {12, {2, 0x2E}}, {14, {3, 0x29}}};
  for (const auto& [index, want] : gw) {
    const auto r = parse_tunnelling_request(lines[index].second);
    ASSERT_TRUE(r) << index;
    EXPECT_EQ(r->channel, 0x51);
    EXPECT_EQ(r->sequence, want.first);
    EXPECT_EQ(r->message_code, want.second);
    EXPECT_FALSE(parse_tunnelling_ack(lines[index].second));
  }
  EXPECT_EQ(lines[7].second, bytes(build_tunnelling_ack(0x51, 0)));
  EXPECT_EQ(lines[9].second, bytes(build_tunnelling_ack(0x51, 1)));
  EXPECT_EQ(lines[13].second, bytes(build_tunnelling_ack(0x51, 2)));
  EXPECT_EQ(lines[15].second, bytes(build_tunnelling_ack(0x51, 3)));
  // The client's own counter went 0, 1 while the gateway's went 0..3.
  EXPECT_EQ(lines[10].second[8], 1);
  EXPECT_EQ(lines[16].second, bytes(build_disconnect_request(0x51, nat)));
  const auto disc = parse_disconnect_response(lines[17].second);
  ASSERT_TRUE(disc);
  EXPECT_EQ(disc->status, 0);
}

// Mutated answers (bytes flipped, cut, lengthened) never make a parser read
// outside the bytes given or accept a frame whose stated length is too short.
TEST(KnxFrames, MutatedAnswers) {
  const std::vector<Bytes> seeds = {
      hex("06 10 02 06 00 14 05 00 08 01 7F 00 00 01 0E 57 04 04 00 05"), hex("06 10 02 08 00 08 4D 21"),
      hex("06 10 02 0A 00 08 02 00"), hex("06 10 04 21 00 0A 04 02 07 00"),
      hex("06 10 04 20 00 17 04 02 09 00 2E 00 BC E0 00 00 0A 03 03 00 80 0C 33")};
  std::uint32_t rng = 12345;
  auto next = [&] { return rng = rng * 1103515245u + 12345u, (rng >> 16) & 0x7FFF; };
  for (int round = 0; round < 20000; ++round) {
    Bytes f = seeds[next() % seeds.size()];
    for (unsigned k = next() % 4; k > 0; --k) f[next() % f.size()] = static_cast<std::uint8_t>(next());
    const std::size_t n = next() % (f.size() + 4);
    f.resize(n, static_cast<std::uint8_t>(next()));
    const auto h = parse_header(f);
    if (h) {
      EXPECT_LE(h->length, f.size());
    }
    if (parse_connect_response(f) || parse_connectionstate_response(f) || parse_disconnect_response(f)) {
      EXPECT_GE(f.size(), 8u);
      EXPECT_GE(h->length, 8);
    }
    if (parse_tunnelling_ack(f) || parse_tunnelling_request(f)) {
      EXPECT_GE(f.size(), 10u);
      EXPECT_GE(h->length, 10);
    }
  }
}
