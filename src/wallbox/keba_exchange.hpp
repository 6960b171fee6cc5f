// The command exchange with the wallbox: one command out, and the datagram
// that answers what was asked (a report by its ID, an acknowledgement for a
// command) as its answer; broadcasts never end the wait. Datagrams go from
// the receiver to a small pool of workers; SendData waits on the answer state
// for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
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

// What a datagram from the wallbox is: an acknowledgement (TCH-OK/TCH-ERR),
// a report by its ID, a broadcast (JSON without ID), or something else
// (plain text, JSON that did not parse).
enum class AnswerKind { Ack, Report1, Report2, Report3, Broadcast, Other };

struct Answer {
  AnswerKind kind = AnswerKind::Other;
  bool ok = false;  // the box's verdict: TCH-OK, or a parsed report
};

// The answer a command waits for; None while no command is in flight.
enum class Expected { None, Ack, Report1, Report2, Report3 };

Expected expected_answer(std::string_view command);
bool answers(Expected e, AnswerKind k);

// Classifies one datagram text. parse is called only for texts holding both
// braces and returns what it parsed (Report1..3 or Broadcast), or nothing
// when the JSON did not parse.
template <class Parse>
Answer classify_answer(std::string_view text, Parse&& parse) {
  if (text.find("TCH-OK") != std::string_view::npos) return {AnswerKind::Ack, true};
  if (text.find("TCH-ERR") != std::string_view::npos) return {AnswerKind::Ack, false};
  if (text.find('{') == std::string_view::npos || text.find('}') == std::string_view::npos) return {};
  const std::optional<AnswerKind> kind = parse(text);
  if (!kind) return {};
  return {*kind, true};
}

// One datagram as a worker gets it: its own copy.
struct UdpDatagram {
  int worker = 0;        // 1..5, counting per datagram
  char sender[16] = {};  // dotted IPv4 address
  char data[512] = {};   // bytes and a terminating zero
  int length = 0;
};

// What an exchange waits on. A count of datagrams received but not yet
// handled (in place of a single "broadcast received" flag, which several
// workers would clear for one another), the answer the command in flight
// waits for, and its verdict once it came.
class AnswerState {
 public:
  void received();  // counted before a worker can see it, so its end never comes first
  void handled();   // its worker is done with it
  // Before sending: what the command waits for (None: nothing in flight).
  void expect(Expected e);
  // A datagram from the wallbox was handled; true when it is the awaited
  // answer (it then ends the wait with its verdict).
  bool offer(Answer a);
  bool verdict();  // the verdict of the answer that ended the last wait
  void clear_pending();
  // Each waits until its condition holds, the limit passes or the stop
  // comes; false when the condition does not hold.
  bool wait_idle(const std::stop_token& stop, std::chrono::milliseconds limit);
  bool wait_answer(const std::stop_token& stop, std::chrono::milliseconds limit);

 private:
  std::mutex m_;
  std::condition_variable_any cv_;
  int pending_ = 0;
  Expected expected_ = Expected::None;
  bool answered_ = false;
  bool verdict_ = false;
};

}  // namespace kivd
