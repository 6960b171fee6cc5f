// The command exchange: verdicts, time-outs, the report schedule, the
// worker's error-state reports, and the receiver on a real loopback socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "fake_wallbox.hpp"
#include "wallbox/keba_exchange.hpp"
#include "wallbox/keba_receiver.hpp"
#include "wallbox/keba_udp.hpp"
#include "wallbox_fixture.hpp"

namespace kivd::test {
namespace {

using namespace std::chrono_literals;

class Exchange : public WallboxTest {
 protected:
  FakeWallbox box_;
  KebaUdp& udp_ = box_.udp();
};

bool eventually(const std::function<bool()>& f, std::chrono::milliseconds limit = 3000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (f()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return f();
}

TEST_F(Exchange, AcknowledgedAndRefused) {
  EXPECT_EQ(udp_.SendData("ena 1"), 1);
  EXPECT_EQ(box_.enable, 1);
  box_.refused.insert("curr");
  EXPECT_EQ(udp_.SendData("curr 10000"), 0);
  EXPECT_EQ(count_lines(sandbox_, "ena 1"), 1);  // debug echo of the command
  EXPECT_NE(live().last_udp_datetime.get(), kNeverStamp);
}

TEST_F(Exchange, SilentWallboxIsAFailure) {
  ASSERT_EQ(udp_.SendData("ena 1"), 1);
  box_.silent = true;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(udp_.SendData("ena 0"), 0);  // never the previous answer's verdict
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
  EXPECT_EQ(count_lines(sandbox_, "KEBA SendData: rcv after sent waiting failed > timeout"), 1);
  // Its late acknowledgement must not count for the next command: the box's
  // state is read first.
  box_.silent = false;
  box_.clear();
  EXPECT_EQ(udp_.SendData("curr 6000"), 1);
  EXPECT_EQ(udp_.SendData("ena 1"), 1);
  EXPECT_EQ(box_.commands(), (std::vector<std::string>{"report 2", "curr 6000", "ena 1"}));
}

// Answers are matched to what was asked: the datagrams a silent box's driver
// gets while it waits, and the result of the exchange.
TEST_F(Exchange, AnswersMatchWhatWasAsked) {
  const std::string r2 = "{\n\"ID\": \"2\",\n\"State\": 3\n}\n";
  const std::string r3 = "{\n\"ID\": \"3\",\n\"P\": 1000\n}\n";
  struct Case {
    const char* command;
    std::vector<std::string> datagrams;
    int result;
    bool timed_out;
  };
  const Case cases[] = {
      {"report 2", {r2}, 1, false},
      {"report 2", {"TCH-OK :done\n", r3, "{\"State\": 2}\n"}, 0, true},
      {"report 2", {"{\"E pres\": 12}\n", "plain text", r2}, 1, false},
      {"report 3", {r2, "{\"Enable sys\": 1}\n", "{\"Max curr\": 6000}\n"}, 0, true},
      {"ena 1", {"{\"Plug\": 7}\n", "{\"Input\": 0}\n", r2, "TCH-OK :done\n"}, 1, false},
      {"ena 1", {"TCH-ERROR: refused\n"}, 0, false},
      {"curr 6000", {"TCH-ERR\n"}, 0, false},
      {"curr 6000", {"{\"ID\": \"2\", \"State\": 4,}"}, 0, true},  // no JSON, no answer
  };
  box_.silent = true;
  for (const Case& c : cases) {
    const int timeouts = count_lines(sandbox_, "KEBA SendData: rcv after sent waiting failed > timeout");
    int result = -1;
    std::thread t([&] { result = udp_.SendData(c.command); });
    ASSERT_TRUE(eventually([&] { return box_.commands().size() == 1; }));
    for (const std::string& d : c.datagrams) box_.deliver(d);
    t.join();
    box_.clear();
    EXPECT_EQ(result, c.result) << c.command << " " << c.datagrams.front();
    EXPECT_EQ(count_lines(sandbox_, "KEBA SendData: rcv after sent waiting failed > timeout") - timeouts,
              c.timed_out ? 1 : 0)
        << c.command << " " << c.datagrams.front();
  }
  // Broadcasts still reach the live values.
  EXPECT_EQ(live().wb_curr_max, 6000);
  EXPECT_EQ(live().wb_plug, 7);
  EXPECT_GE(count_lines(sandbox_, "KEBA SendData: no answer to the command in flight, ignored"), 5);
  EXPECT_EQ(count_lines(sandbox_, "ParseReports: parsing report failed"), 1);
}

TEST_F(Exchange, OtherSenderIsNoAnswer) {
  box_.silent = true;
  int result = -1;
  std::thread t([&] { result = udp_.SendData("ena 1"); });
  std::this_thread::sleep_for(50ms);
  box_.deliver("TCH-OK :done\n", "10.0.0.22");  // a foreign host, even with a longer address
  t.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(count_lines(sandbox_, "Udp thread 1: (10.0.0.22) TCH-OK :done"), 1) << sandbox_.log();
}

// The box's pacing: 100 ms between commands, 2 s after "ena 0".
TEST_F(Exchange, CommandsArePaced) {
  ASSERT_EQ(udp_.SendData("ena 0"), 1);
  const auto t0 = clock_.elapsed();
  ASSERT_EQ(udp_.SendData("curr 6000"), 1);
  EXPECT_EQ(clock_.elapsed() - t0, 2000ms);
  ASSERT_EQ(udp_.SendData("report 2"), 1);
  EXPECT_EQ(clock_.elapsed() - t0, 2100ms);
  clock_.advance(5s);
  ASSERT_EQ(udp_.SendData("report 3"), 1);
  EXPECT_EQ(clock_.elapsed() - t0, 7100ms);
}

TEST_F(Exchange, ReportOneScheduleOver617Calls) {
  std::vector<int> calls_with_report1;
  for (int call = 1; call <= 617; ++call) {
    box_.clear();
    ASSERT_EQ(udp_.GetReports(), 1);
    const auto c = box_.commands();
    if (!c.empty() && c.front() == "report 1") calls_with_report1.push_back(call);
    ASSERT_EQ(c.back(), "report 3");
  }
  EXPECT_EQ(calls_with_report1, (std::vector<int>{1, 309, 617}));
}

TEST_F(Exchange, RestartedWallboxGetsReportOneAgain) {
  ASSERT_EQ(udp_.GetReports(), 1);
  box_.clear();
  live().isWallboxRestarted = 1;
  ASSERT_EQ(udp_.GetReports(), 1);
  EXPECT_EQ(box_.commands(), (std::vector<std::string>{"report 1", "report 2", "report 3"}));
  EXPECT_EQ(live().isWallboxRestarted, 0);
}

TEST_F(Exchange, GetReportsFailureLines) {
  box_.refused.insert("report");
  EXPECT_EQ(udp_.GetReports(), 0);
  EXPECT_EQ(count_lines(sandbox_, "KEBA GetReports: init 'report 1' failed."), 1);
  box_.refused.clear();
  ASSERT_EQ(udp_.GetReports(), 1);
  box_.clear();
  box_.refused.insert("report");
  EXPECT_EQ(udp_.GetReports(), 0);
  EXPECT_EQ(count_lines(sandbox_, "KEBA GetReports: send report 2 failed."), 1);
  EXPECT_EQ(box_.commands(), std::vector<std::string>{"report 2"});
}

TEST_F(Exchange, ErrorStateWithoutCodesFetchesReports) {
  ASSERT_EQ(udp_.GetReports(), 1);
  box_.clear();
  box_.state = 4;
  box_.error2 = 0x4003;
  box_.deliver("{\"State\": 4}");
  ASSERT_TRUE(eventually([&] { return box_.commands().size() >= 2; }));
  EXPECT_EQ(box_.commands(), (std::vector<std::string>{"report 2", "report 3"}));
  EXPECT_TRUE(eventually(
      [&] { return count_lines(sandbox_, "Charging error: err1 = 0x0 (no error), err2 = 0x4003 (overload)") == 1; }))
      << sandbox_.log();
}

class SendFailure : public WallboxTest {};

// A send error is a failed exchange, said once per outage.
TEST_F(SendFailure, IsLoggedOncePerOutage) {
  FakeWallbox box;
  box.send_fails = true;
  EXPECT_EQ(box.udp().SendData("report 2"), 0);
  EXPECT_EQ(box.udp().GetReports(), 0);
  EXPECT_EQ(count_lines(sandbox_, "KEBA SendData: sendto failed, or timeout"), 1);
  EXPECT_EQ(count_lines(sandbox_, "KEBA GetReports: init 'report 1' failed."), 0);
  box.send_fails = false;
  EXPECT_EQ(box.udp().GetReports(), 1);
  EXPECT_EQ(count_lines(sandbox_, "KEBA SendData: sending to the wallbox works again"), 1);
  box.send_fails = true;
  EXPECT_EQ(box.udp().SendData("ena 1"), 0);
  EXPECT_EQ(count_lines(sandbox_, "KEBA SendData: sendto failed, or timeout"), 2);
}

TEST_F(SendFailure, AddressThatIsNotIPv4) {
  settings([](Settings& s) { s.WallboxServer = "wallbox.local"; });
  EXPECT_EQ(keba_udp().SendData("report 1"), 0);
  EXPECT_EQ(keba_udp().SendData("report 1"), 0);
  EXPECT_EQ(count_lines(sandbox_, "KEBA SendData: wallbox address wallbox.local is not a dotted IPv4 address"), 1);
  settings([](Settings& s) { s.WallboxServer = "10.0.0.2"; });
}

// The receiver on real sockets over loopback: kivd's socket and a wallbox
// socket, both on 127.0.0.1.
class Receiver : public WallboxTest {
 protected:
  Receiver() {
    kivd_ = bound_socket();
    box_ = bound_socket();
    settings([&](Settings& s) {
      s.WallboxServer = "127.0.0.1";
      s.WallboxPort = port(box_);
    });
    daemon_state().udp_sock = kivd_;
    timeval tv{2, 0};
    setsockopt(box_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Receiver() override {
    daemon_state().udp_sock = -1;
    ::close(kivd_);
    ::close(box_);
  }
  static int bound_socket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
  }
  static int port(int fd) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    return ntohs(a.sin_port);
  }
  std::string box_receive() {
    char buf[600];
    const ssize_t n = ::recv(box_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, n) : std::string();
  }
  void box_send(const std::string& text) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port(kivd_));
    ::sendto(box_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  int kivd_ = -1, box_ = -1;
};

TEST_F(Receiver, CommandAndAnswerOverUdp) {
  std::jthread receiver([](std::stop_token st) { StartKEBAReceiver(0, st); });
  int result = -1;
  std::thread sender([&] { result = keba_udp().SendData("report 2"); });
  EXPECT_EQ(box_receive(), "report 2");  // no terminating zero on the wire
  box_send("{\n\"ID\": \"2\",\n\"State\": 3,\n\"Plug\": 7\n}\n");
  sender.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(live().wb_state, 3);
  EXPECT_EQ(live().wb_plug, 7);
  EXPECT_EQ(count_lines(sandbox_, "Thread 0: Starting udp receiver..."), 1);

  // 511 bytes are taken, 512 dropped without a line.
  box_send(std::string(511, 'a'));
  box_send(std::string(512, 'b'));
  box_send("marker");
  ASSERT_TRUE(eventually([&] { return count_lines(sandbox_, "Udp thread 3: (127.0.0.1) marker") == 1; }))
      << sandbox_.log();
  int udp_lines = 0;
  for (const std::string& l : log_lines(sandbox_)) udp_lines += l.rfind("Udp thread", 0) == 0;
  EXPECT_EQ(udp_lines, 3);

  const auto t0 = std::chrono::steady_clock::now();
  receiver.request_stop();
  receiver.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

TEST_F(Receiver, NotUsed) {
  settings([](Settings& s) { s.WallboxUsing = false; });
  StartKEBAReceiver(0, std::stop_token{});
  EXPECT_EQ(count_lines(sandbox_, "Thread 0: UDP receiver (wallbox) not used..."), 1);
}

}  // namespace
}  // namespace kivd::test
