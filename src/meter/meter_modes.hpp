// The meter thread's modes (I/O, retries and timing around the pure parsers).
#pragma once

#include <chrono>
#include <cstdint>

#include "core/stop_wait.hpp"
#include "core/test_hooks.hpp"
#include "core/unique_fd.hpp"

namespace kivd::meter {

void run_sma_mode(const StopFd& stop);
void run_oem_mode(const StopFd& stop);
void run_d0_mode(const StopFd& stop, bool mt175);
void run_local_mode(const StopFd& stop);

// Joins the configured multicast group on the configured port, as the SMA
// and OEM modes both receive; logs the failure and gives an invalid fd.
UniqueFd open_multicast_receiver(const StopFd& stop);

struct SmaValues;
// Writes an accepted datagram's values into the live values (and the
// phase warning into the debug log).
void publish_sma(const SmaValues& v);

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
