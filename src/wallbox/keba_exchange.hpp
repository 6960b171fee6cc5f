// The command exchange with the wallbox: one command out, the next datagram
// from the wallbox is its answer. Datagrams go from the receiver to a small
// pool of workers; SendData waits on the answer state for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <string_view>

namespace kivd {

// The way commands leave: UDP to the wallbox unless a test installs another.
class KebaTransport {
 public:
  virtual ~KebaTransport() = default;
  // Sends the bytes as one datagram; false when the send failed.
  virtual bool send(std::string_view command) = 0;
};

// The stop token that this thread's exchanges and command sleeps obey (the
// control loop's or a worker's pass; main's reset has none).
void set_thread_stop(std::stop_token stop);
const std::stop_token& thread_stop();

// One datagram as a worker gets it: its own copy.
struct UdpDatagram {
  int worker = 0;        // 1..5, counting per datagram
  char sender[16] = {};  // dotted IPv4 address
  char data[512] = {};   // bytes and a terminating zero
  int length = 0;
};

// What an exchange waits on. A count of datagrams received but not yet
// handled (in place of a single "broadcast received" flag, which several
// workers would clear for one another), and whether a datagram from the
// wallbox was handled since the command went out.
class AnswerState {
 public:
  void received();  // counted before a worker can see it, so its end never comes first
  void handled();   // its worker is done with it
  void answered();  // a datagram from the wallbox was handled
  void clear_answer();
  void clear_pending();
  // Each waits until its condition holds, the limit passes or the stop
  // comes; false when the condition does not hold.
  bool wait_idle(const std::stop_token& stop, std::chrono::milliseconds limit);
  bool wait_answer(const std::stop_token& stop, std::chrono::milliseconds limit);

 private:
  std::mutex m_;
  std::condition_variable_any cv_;
  int pending_ = 0;
  bool answered_ = false;
};

}  // namespace kivd
