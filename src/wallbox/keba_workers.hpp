// Workers that handle the received datagrams. Five threads share a ring of
// pre-filled records, so the receive path never allocates; a worker that
// waits in an exchange of its own (error state) leaves four to carry the
// answers.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stop_token>
#include <thread>

#include "wallbox/keba_exchange.hpp"

namespace kivd {

class KebaUdp;

class KebaWorkers {
 public:
  // Each worker's exchanges obey its own thread's stop, requested when the
  // pool is destroyed.
  explicit KebaWorkers(KebaUdp& udp);
  ~KebaWorkers();
  KebaWorkers(const KebaWorkers&) = delete;
  KebaWorkers& operator=(const KebaWorkers&) = delete;

  // Copies one datagram (at most 511 bytes) for a worker; false when all
  // slots are taken (the datagram is dropped).
  bool submit(const char* sender, const char* data, std::size_t length);

  static constexpr int kWorkers = 5;
  static constexpr std::size_t kSlots = 16;

 private:
  void run(std::stop_token stop);

  KebaUdp& udp_;
  std::mutex m_;
  std::condition_variable_any cv_;
  std::array<UdpDatagram, kSlots> ring_{};
  std::size_t head_ = 0, count_ = 0;
  int next_worker_ = 1;
  std::array<std::jthread, kWorkers> threads_;
};

}  // namespace kivd
