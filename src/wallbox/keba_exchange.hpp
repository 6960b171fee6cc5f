// The command exchange with the wallbox: one command out, the next datagram
// from the wallbox is its answer. Datagrams are handed from the receiver to a
// small pool of workers; SendData waits on a condition for them.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stop_token>
#include <string_view>
#include <thread>

namespace kivd {

// The way commands leave: UDP to the wallbox unless a test installs another.
class KebaTransport {
 public:
  virtual ~KebaTransport() = default;
  // Sends the bytes as one datagram; false when the send failed.
  virtual bool send(std::string_view command) = 0;
};

// nullptr restores the UDP transport on the shared wallbox socket.
void set_keba_transport(KebaTransport* t);

// Both waits of an exchange; 10 s unless a test shortens them.
void set_exchange_timeout(std::chrono::milliseconds t);

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

// Sends one command and waits for the answer; returns the verdict (1/0).
// Ends the process with status 1 when the datagram cannot be sent.
int SendData(const char* command);
// Requests reports 2 and 3 (and report 1 when due); 1 when both answered ok.
int GetReports();
// Handles one datagram (the worker's job).
void UdpServiceRequest(const UdpDatagram& d);

// Resets the report-1 schedule (process start; tests).
void reset_report_schedule();

// Workers that handle the received datagrams. Five threads share a ring of
// pre-filled records, so the receive path never allocates; a worker that
// waits in an exchange of its own (error state) leaves four to carry the
// answers.
class KebaWorkers {
 public:
  KebaWorkers();
  ~KebaWorkers();
  KebaWorkers(const KebaWorkers&) = delete;
  KebaWorkers& operator=(const KebaWorkers&) = delete;

  // Each worker's exchanges obey its own thread's stop, requested when the
  // pool is destroyed.
  // Copies one datagram (at most 511 bytes) for a worker; false when all
  // slots are taken (the datagram is dropped).
  bool submit(const char* sender, const char* data, std::size_t length);

  static constexpr int kWorkers = 5;
  static constexpr std::size_t kSlots = 16;

 private:
  void run(std::stop_token stop);

  std::mutex m_;
  std::condition_variable_any cv_;
  std::array<UdpDatagram, kSlots> ring_{};
  std::size_t head_ = 0, count_ = 0;
  int next_worker_ = 1;
  std::array<std::jthread, kWorkers> threads_;
};

}  // namespace kivd
