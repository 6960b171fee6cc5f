// One pass against a small scripted gateway on loopback: the normal
// exchange, and what a real server will not readily do (status 0x24,
// silence, refusals, lost frames, a foreign sender).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "core/stop_wait.hpp"
#include "core/unique_fd.hpp"
#include "knx/knx_client.hpp"
#include "support/temp_dir.hpp"

using namespace kivd;
using namespace kivd::knx;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Script {
  bool answer_connect = true;
  bool connect_from_foreign = false;  // the connect answer comes from 127.0.0.2
  bool garbage_first = false;         // junk datagrams before each control answer
  std::uint8_t channel = 7;
  std::uint8_t connect_status = 0;
  bool answer_state = true;
  std::uint8_t state_status = 0;
  bool answer_disconnect = true;
  std::uint8_t disconnect_status = 0;
  std::uint8_t ack_status = 0;
  std::set<int> no_ack;           // our requests (0-based) left unacknowledged
  std::set<int> no_confirmation;  // our requests whose confirmation is lost
  std::uint8_t gw_sequence = 0;   // the gateway's own counter
  bool confirm_before_ack = false;
  bool indication_after_confirmation = false;
};

// A gateway written from the protocol description; it answers to the UDP
// source of each request.
class FakeGateway {
 public:
  explicit FakeGateway(Script s) : s_(s) {
    fd_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    foreign_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in f{};
    f.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.2", &f.sin_addr);
    bind(foreign_.get(), reinterpret_cast<sockaddr*>(&f), sizeof f);
    thread_ = std::thread([this] { loop(); });
  }
  ~FakeGateway() {
    quit_ = true;
    thread_.join();
  }
  int port() const { return port_; }
  std::vector<Bytes> received() {
    std::lock_guard l(m_);
    return got_;
  }
  std::vector<std::uint16_t> services() {
    std::vector<std::uint16_t> v;
    for (const Bytes& b : received()) v.push_back(static_cast<std::uint16_t>(b[2] << 8 | b[3]));
    return v;
  }
  std::vector<Bytes> of(std::uint16_t service) {
    std::vector<Bytes> v;
    for (const Bytes& b : received())
      if ((b[2] << 8 | b[3]) == service) v.push_back(b);
    return v;
  }
  std::vector<int> source_ports() {
    std::lock_guard l(m_);
    return from_ports_;
  }

 private:
  void send(const Bytes& b, const sockaddr_in& to, bool foreign = false) {
    sendto(foreign ? foreign_.get() : fd_.get(), b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
  }
  static Bytes header(std::uint16_t service, std::size_t len) {
    return {0x06, 0x10, static_cast<std::uint8_t>(service >> 8), static_cast<std::uint8_t>(service),
            static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len)};
  }
  void junk(const sockaddr_in& to) {
    if (!s_.garbage_first) return;
    send({0x06}, to);
    send({0x06, 0x10, 0x02, 0x06, 0x00, 0x40, 0x01, 0x00}, to);  // length beyond the datagram
    send({0x06, 0x10, 0x02, 0x02, 0x00, 0x08, 0x01, 0x00}, to);  // another service
  }
  Bytes gateway_request(const Bytes& ours, std::uint8_t code) {
    Bytes b = header(0x0420, ours.size());
    b.insert(b.end(), {0x04, s_.channel, s_.gw_sequence++, 0x00, code});
    b.insert(b.end(), ours.begin() + 11, ours.end());
    return b;
  }
  void loop() {
    std::array<std::uint8_t, 512> buf;
    int requests = 0;
    while (!quit_) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t flen = sizeof from;
      const ssize_t n = recvfrom(fd_.get(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &flen);
      if (n < 6) continue;
      const Bytes f(buf.begin(), buf.begin() + n);
      {
        std::lock_guard l(m_);
        got_.push_back(f);
        from_ports_.push_back(ntohs(from.sin_port));
      }
      switch (f[2] << 8 | f[3]) {
        case 0x0205:
          if (!s_.answer_connect) break;
          junk(from);
          if (s_.connect_status == 0x24) {
            Bytes b = header(0x0206, 8);
            b.insert(b.end(), {0x00, 0x24});
            send(b, from, s_.connect_from_foreign);
          } else {
            Bytes b = header(0x0206, 20);
            b.insert(b.end(), {s_.channel, s_.connect_status, 0x08, 0x01, 0, 0, 0, 0, 0, 0, 0x04, 0x04, 0x11, 0x05});
            send(b, from, s_.connect_from_foreign);
          }
          break;
        case 0x0207:
          if (!s_.answer_state) break;
          junk(from);
          {
            Bytes b = header(0x0208, 8);
            b.insert(b.end(), {f[6], s_.state_status});
            send(b, from);
          }
          break;
        case 0x0209:
          if (!s_.answer_disconnect) break;
          {
            Bytes b = header(0x020A, 8);
            b.insert(b.end(), {f[6], s_.disconnect_status});
            send(b, from);
          }
          break;
        case 0x0420: {
          const int i = requests++;
          const bool confirm = !s_.no_confirmation.count(i) && s_.ack_status == 0;
          if (confirm && s_.confirm_before_ack) send(gateway_request(f, 0x2E), from);
          if (!s_.no_ack.count(i)) {
            Bytes b = header(0x0421, 10);
            b.insert(b.end(), {0x04, f[7], f[8], s_.ack_status});
            send(b, from);
          }
          if (confirm && !s_.confirm_before_ack) send(gateway_request(f, 0x2E), from);
          if (s_.indication_after_confirmation) send(gateway_request(f, 0x29), from);
          break;
        }
        default: break;
      }
    }
  }

  Script s_;
  UniqueFd fd_, foreign_;
  int port_ = 0;
  std::atomic<bool> quit_{false};
  std::mutex m_;
  std::vector<Bytes> got_;
  std::vector<int> from_ports_;
  std::thread thread_;
};

GroupWrite dpt9(std::uint16_t group, std::uint8_t hi, std::uint8_t lo) {
  GroupWrite w;
  w.group_text = "1/2/3";
  w.group = group;
  w.value.payload.size = 2;
  w.value.payload.bytes = {hi, lo, 0, 0};
  w.value.style = LogStyle::Hex16;
  w.value.log_int = hi << 8 | lo;
  return w;
}

class KnxPass : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings s = cfg();
    s.debug = 1;
    replace_settings(s);
    live().last_knx_datetime.set(kNeverStamp);
  }
  PassResult pass(FakeGateway& gw, int writes, std::string device = "") {
    PassParams p;
    p.router = "127.0.0.1";
    p.port = gw.port();
    p.device = std::move(device);
    p.timeout = 300ms;
    std::stop_source never;
    StopFd stop(never.get_token());
    const auto t0 = std::chrono::steady_clock::now();
    const PassResult r = run_pass(p, stop, [&](Tunnel& t) {
      for (int i = 0; i < writes; ++i) t.write(dpt9(static_cast<std::uint16_t>(0x0A03 + i), 0x0C, 0x33));
    });
    took = std::chrono::steady_clock::now() - t0;
    std::this_thread::sleep_for(50ms);  // let the gateway record our last frames
    return r;
  }
  bool logged(const std::string& line) { return sandbox.log().find(line + "\n") != std::string::npos; }
  std::size_t count(const std::string& line) {
    const std::string log = sandbox.log();
    std::size_t n = 0;
    for (std::size_t at = log.find(line + "\n"); at != std::string::npos; at = log.find(line + "\n", at + 1)) ++n;
    return n;
  }

  test::Sandbox sandbox;
  std::chrono::steady_clock::duration took{};
};

}  // namespace

TEST_F(KnxPass, ThreeDatapoints) {
  FakeGateway gw({});
  const PassResult r = pass(gw, 3);
  EXPECT_TRUE(r.connect_answer);
  EXPECT_FALSE(r.stopped);
  EXPECT_EQ(gw.services(), (std::vector<std::uint16_t>{0x0205, 0x0207, 0x0420, 0x0421, 0x0420, 0x0421, 0x0420,
                                                       0x0421, 0x0209}));
  const auto frames = gw.received();
  const auto ports = gw.source_ports();
  // The connect request names both sockets: 0.0.0.0 and the ports they send from.
  const Bytes& c = frames[0];
  ASSERT_EQ(c.size(), 26u);
  EXPECT_EQ(Bytes(c.begin() + 8, c.begin() + 12), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(c[12] << 8 | c[13], ports[0]);
  EXPECT_EQ(c[20] << 8 | c[21], ports[2]);
  EXPECT_NE(ports[0], ports[2]);
  EXPECT_EQ(frames[1][6], 7);                    // channel in the state request
  EXPECT_EQ(frames[1][14] << 8 | frames[1][15], ports[0]);
  for (int i = 0; i < 3; ++i) {
    const Bytes& t = frames[2 + 2 * i];
    EXPECT_EQ(t, (Bytes{0x06, 0x10, 0x04, 0x20, 0x00, 0x17, 0x04, 0x07, static_cast<std::uint8_t>(i), 0x00, 0x11, 0x00,
                        0xBC, 0xE0, 0x00, 0x00, 0x0A, static_cast<std::uint8_t>(3 + i), 0x03, 0x00, 0x80, 0x0C, 0x33}));
    EXPECT_EQ(frames[3 + 2 * i], (Bytes{0x06, 0x10, 0x04, 0x21, 0x00, 0x0A, 0x04, 0x07, static_cast<std::uint8_t>(i), 0x00}));
    EXPECT_EQ(ports[2 + 2 * i], ports[2]);  // data socket
  }
  EXPECT_EQ(frames[8][6], 7);
  EXPECT_EQ(ports[8], ports[0]);  // control socket
  EXPECT_NE(live().last_knx_datetime.get(), kNeverStamp);
  EXPECT_TRUE(logged("KNX thread: Sending CONNECTION_REQUEST: local connect port: " + std::to_string(ports[0]) +
                     ", local data port: " + std::to_string(ports[2])));
  EXPECT_TRUE(logged("KNX thread: Receive Channel ID: 7 (7)"));
  EXPECT_TRUE(logged("KNX thread: Receive Connection Status: 0"));
  EXPECT_TRUE(logged("KNX thread: Receive Connectionstate Status: 0"));
  EXPECT_TRUE(logged("KNX thread: Receive Len: 20"));
  EXPECT_EQ(count("KNX thread: Sending TUNNELLING_REQUEST to: 1/2/3, value: 0x0C33"), 3u);
  EXPECT_EQ(count("KNX thread: Receive Tunnelling Status: 0"), 3u);
  EXPECT_EQ(count("KNX thread: Sending TUNNELLING_ACK"), 3u);
  EXPECT_TRUE(logged("KNX thread: Sending DISCONNECT_REQUEST for ID: 7"));
  EXPECT_TRUE(logged("KNX thread: Receive Disconnect Status: 0"));
  EXPECT_EQ(sandbox.log().find("failed"), std::string::npos);
}

TEST_F(KnxPass, NoMoreConnections) {
  Script s;
  s.connect_status = 0x24;
  FakeGateway gw(s);
  const PassResult r = pass(gw, 2);
  EXPECT_TRUE(r.connect_answer);
  EXPECT_EQ(gw.services(), (std::vector<std::uint16_t>{0x0205}));  // no state request, no disconnect
  EXPECT_EQ(count("KNX thread: to many connections on gateway"), 1u);
  EXPECT_NE(live().last_knx_datetime.get(), kNeverStamp);
}

TEST_F(KnxPass, OtherConnectStatusStillChecksTheState) {
  Script s;
  s.connect_status = 0x22;
  s.state_status = 0x21;
  FakeGateway gw(s);
  const PassResult r = pass(gw, 2);
  EXPECT_TRUE(r.connect_answer);
  EXPECT_EQ(gw.services(), (std::vector<std::uint16_t>{0x0205, 0x0207, 0x0209}));
  EXPECT_TRUE(logged("KNX thread: Receive Connection Status: 34"));
  EXPECT_TRUE(logged("KNX thread: error=33 (CONNECTIONSTATE_RESPONCE)"));
}

TEST_F(KnxPass, SilentGateway) {
  Script s;
  s.answer_connect = false;
  FakeGateway gw(s);
  const PassResult r = pass(gw, 2);
  EXPECT_FALSE(r.connect_answer);
  EXPECT_TRUE(logged("KNX thread: recvfrom() failed (CONNECTION_RESPONCE)"));
  EXPECT_GE(took, 290ms);
  EXPECT_LT(took, 2s);
  EXPECT_EQ(gw.services(), (std::vector<std::uint16_t>{0x0205}));
  EXPECT_EQ(live().last_knx_datetime.get(), kNeverStamp);
}

TEST_F(KnxPass, StateNotAnswered) {
  Script s;
  s.answer_state = false;
  FakeGateway gw(s);
  pass(gw, 2);
  EXPECT_EQ(gw.services(), (std::vector<std::uint16_t>{0x0205, 0x0207, 0x0209}));
  EXPECT_TRUE(logged("KNX thread: recvfrom() failed (CONNECTIONSTATE_RESPONCE)"));
  EXPECT_TRUE(logged("KNX thread: error=-1 (CONNECTIONSTATE_RESPONCE)"));
}

TEST_F(KnxPass, DisconnectRefusedOrUnanswered) {
  {
    Script s;
    s.disconnect_status = 0x21;
    FakeGateway gw(s);
    pass(gw, 1);
    EXPECT_TRUE(logged("KNX thread: Receive Disconnect Status: 33"));
    EXPECT_TRUE(logged("KNX thread: failed to disconnect: 33"));
  }
  {
    Script s;
    s.answer_disconnect = false;
    FakeGateway gw(s);
    pass(gw, 1);
    EXPECT_TRUE(logged("KNX thread: recvfrom() failed (DISCONNECT_RESPONCE)"));
    EXPECT_EQ(count("KNX thread: failed to disconnect: 33"), 1u);
  }
}

TEST_F(KnxPass, LostConfirmation) {
  Script s;
  s.no_confirmation = {0};
  FakeGateway gw(s);
  pass(gw, 3);
  const auto reqs = gw.of(0x0420);
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0][8], 0);
  EXPECT_EQ(reqs[1][8], 1);
  EXPECT_EQ(reqs[2][8], 2);
  const auto acks = gw.of(0x0421);
  ASSERT_EQ(acks.size(), 2u);  // nothing to acknowledge for the lost one
  EXPECT_EQ(acks[0][8], 0);    // the gateway's own numbers
  EXPECT_EQ(acks[1][8], 1);
  EXPECT_EQ(count("KNX thread: recvfrom() failed (TUNNELLING_REQUEST)"), 1u);
  EXPECT_EQ(gw.services().back(), 0x0209);
}

TEST_F(KnxPass, LostAcknowledgementRepeatsTheRequestOnce) {
  for (const std::set<int>& lost : {std::set<int>{1}, std::set<int>{1, 2}}) {
    Script s;
    s.no_ack = lost;
    FakeGateway gw(s);
    pass(gw, 3);
    std::vector<int> seqs;
    for (const Bytes& r : gw.of(0x0420)) seqs.push_back(r[8]);
    // Twice without acknowledgement: no more writes, but the disconnect.
    EXPECT_EQ(seqs, lost.size() == 1 ? (std::vector<int>{0, 1, 1, 2}) : (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(gw.services().back(), 0x0209);
  }
  EXPECT_EQ(count("KNX thread: recvfrom() failed (TUNNELLING_ACK)"), 3u);
}

TEST_F(KnxPass, StopDuringTheWritesStillDisconnects) {
  FakeGateway gw({});
  PassParams p;
  p.router = "127.0.0.1";
  p.port = gw.port();
  std::stop_source stop;
  StopFd fd(stop.get_token());
  const PassResult r = run_pass(p, fd, [&](Tunnel& t) {
    stop.request_stop();
    t.write(dpt9(0x0A03, 0x0C, 0x33));
    t.write(dpt9(0x0A04, 0x0C, 0x33));
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(gw.services(), (std::vector<std::uint16_t>{0x0205, 0x0207, 0x0420, 0x0209}));
}

TEST_F(KnxPass, OurSequenceIsOursWhateverTheGatewayCounts) {
  Script s;
  s.gw_sequence = 200;
  s.indication_after_confirmation = true;  // bus traffic between our writes
  FakeGateway gw(s);
  pass(gw, 3);
  const auto reqs = gw.of(0x0420);
  ASSERT_EQ(reqs.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(reqs[static_cast<std::size_t>(i)][8], i);
  // Every request of the gateway is acknowledged with its own number; the
  // telegram after the last confirmation comes when we are disconnecting.
  std::vector<int> acked;
  for (const Bytes& a : gw.of(0x0421)) acked.push_back(a[8]);
  EXPECT_EQ(acked, (std::vector<int>{200, 201, 202, 203, 204}));
  EXPECT_EQ(sandbox.log().find("failed"), std::string::npos);
}

TEST_F(KnxPass, ConfirmationBeforeAcknowledgement) {
  Script s;
  s.confirm_before_ack = true;
  FakeGateway gw(s);
  pass(gw, 3);
  EXPECT_EQ(gw.of(0x0421).size(), 3u);
  EXPECT_EQ(sandbox.log().find("failed"), std::string::npos);
  EXPECT_LT(took, 250ms);  // no waiting for a confirmation that already came
}

TEST_F(KnxPass, NegativeAcknowledgement) {
  Script s;
  s.ack_status = 0x29;
  FakeGateway gw(s);
  pass(gw, 2);
  EXPECT_EQ(count("KNX thread: Receive Tunnelling Status: 41"), 2u);
  EXPECT_TRUE(gw.of(0x0421).empty());
  EXPECT_EQ(sandbox.log().find("recvfrom() failed"), std::string::npos);  // no wait for a confirmation
  EXPECT_EQ(gw.of(0x0420)[1][8], 1);
}

TEST_F(KnxPass, AnswerFromAForeignSender) {
  Script s;
  s.connect_from_foreign = true;
  FakeGateway gw(s);
  const PassResult r = pass(gw, 1);
  EXPECT_FALSE(r.connect_answer);
  EXPECT_EQ(gw.services(), (std::vector<std::uint16_t>{0x0205}));
  EXPECT_EQ(sandbox.log().find("recvfrom() failed"), std::string::npos);  // no failure line for it
  EXPECT_LT(took, 250ms);
}

TEST_F(KnxPass, MalformedAnswersArePassedOver) {
  Script s;
  s.garbage_first = true;
  FakeGateway gw(s);
  const PassResult r = pass(gw, 1);
  EXPECT_TRUE(r.connect_answer);
  EXPECT_EQ(gw.services().back(), 0x0209);
  EXPECT_EQ(sandbox.log().find("failed"), std::string::npos);
}

TEST_F(KnxPass, UnknownDeviceFallsBackToTheDefault) {
  FakeGateway gw({});
  pass(gw, 1, "nosuchdev0");
  EXPECT_TRUE(logged("KNX thread: error binding interface to nosuchdev0, fallback to default"));
  EXPECT_EQ(gw.of(0x0420).size(), 1u);
}

TEST_F(KnxPass, StopEndsAWaitAtOnce) {
  Script s;
  s.answer_connect = false;
  FakeGateway gw(s);
  PassParams p;
  p.router = "127.0.0.1";
  p.port = gw.port();
  std::stop_source stop;
  StopFd fd(stop.get_token());
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.request_stop();
  });
  const auto t0 = std::chrono::steady_clock::now();
  const PassResult r = run_pass(p, fd, [](Tunnel&) {});
  stopper.join();
  EXPECT_TRUE(r.stopped);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_EQ(sandbox.log().find("recvfrom() failed"), std::string::npos);
}
