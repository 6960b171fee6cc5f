// One read cycle of the storage reader and the wait between cycles. The
// datagram transport is behind a small interface so that the cycle's order,
// checks and failure lines can be driven by tests without a network.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>

#include "core/udp_socket.hpp"
#include "storage/speedwire.hpp"

namespace kivd::storage {

// How long the cycle waits for the answer to one request.
inline constexpr std::chrono::seconds kAnswerWait{5};

class Link {
 public:
  virtual ~Link() = default;
  virtual bool send(std::span<const std::uint8_t> bytes) = 0;
  // Receives one datagram into buf by `until`; n is its length (cut at buf's
  // size). The peer is the storage inverter's address.
  virtual Recv receive(std::span<std::uint8_t> buf, std::size_t& n, Deadline until) = 0;
};

struct CycleInput {
  std::uint32_t app_serial = 0;
  std::uint32_t now_s = 0;  // logon time, seconds since 1970
  speedwire::Secret secret = speedwire::encode_user_password(speedwire::kFactoryPassword);
};

enum class CycleEnd { Done, Stopped };

// Runs identify, logon, the value queries and the logoff, publishing into
// live(). `kind` is the storage kind kept across cycles. Writes
// last_stg_datetime at the end unless the pass is stopping.
CycleEnd run_cycle(Link& link, const CycleInput& in, int& kind);

// The wait before a cycle: up to 11 one-second sleeps, cut short when
// intStorageControl is set; the flag is cleared before and after. False when
// the pass is stopping.
bool wait_for_cycle(std::stop_token stop);

}  // namespace kivd::storage
