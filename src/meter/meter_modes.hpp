// The meter thread's modes (I/O, retries and timing around the pure parsers).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/stop_wait.hpp"
#include "core/test_hooks.hpp"
#include "core/unique_fd.hpp"

namespace kivd::meter {

void run_sma_mode(const StopFd& stop);
void run_oem_mode(const StopFd& stop);
void run_d0_mode(const StopFd& stop, bool mt175);
void run_local_mode(const StopFd& stop);

// Joins the configured multicast group on the configured port, as the SMA
// and OEM modes both receive; gives an invalid fd on failure, which it logs
// when `log_failure` is set.
UniqueFd open_multicast_receiver(bool log_failure);

// The waits between tries to reach a meter that is not there (yet): a
// gateway that boots after the board must not leave the house without a
// meter until the next restart.
inline constexpr std::chrono::seconds kFirstRetry{5};
inline constexpr std::chrono::seconds kMaxRetry{60};

// Calls `attempt` until it succeeds: after `first_wait`, then after each
// failed try with a wait that doubles from kFirstRetry to kMaxRetry. The
// argument of `attempt` tells it to log its failure, which it does once per
// outage. The number of failed tries, or none when the pass stops.
std::optional<int> retry_until_up(const StopFd& stop, std::chrono::seconds first_wait,
                                  const std::function<bool(bool log_failure)>& attempt);

struct SmaValues;
// True when the meter's time stamp went past the newest one of that serial
// (or far back: the meter restarted); keeps the newest of up to four meters.
bool sma_time_advanced(std::uint32_t serial, std::uint32_t ticker_ms);
// Writes an accepted datagram's values into the live values (and the
// phase warning into the debug log); false (nothing written) for a datagram
// whose time stamp did not move since the last one of that meter.
bool publish_sma(const SmaValues& v);

enum class EmuResult { Sent, SendFailed, Fatal };
// Sends one emulated Energy Meter datagram to 239.12.255.254:9522.
EmuResult send_emulated_datagram();

// Lets a repeated failure line through at most once per interval.
class LogLimiter {
 public:
  explicit LogLimiter(std::chrono::seconds interval) : interval_(interval) {}
  bool allow();

 private:
  std::chrono::seconds interval_;
  bool logged_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace kivd::meter
