// Values owned by the daemon core: version, start time, the restart and
// update requests, and the sockets that the core closes.
#pragma once

#include <atomic>
#include <ctime>
#include <string>

namespace kivd {

inline constexpr int KIVMajor = 2;
inline constexpr int KIVMinor = 6;
inline constexpr int KIVRevision = 107;
inline constexpr const char* kProductTitle = "Orvane";
inline constexpr const char* kArchitecture = "arm";

struct DaemonState {
  std::atomic<std::time_t> start_t{0};
  std::atomic<int> intRestart{0};
  std::atomic<int> intUpdate{0};
  std::atomic<int> intResources{0};
  std::atomic<int> udp_sock{-1};  // wallbox socket, opened by the cycle
  std::atomic<int> sockfd{-1};    // D0 meter TCP socket, opened by the meter
  // History rows kept in memory only (no room on the disk): lost if the
  // daemon ends now.
  std::atomic<long> rows_unsaved{0};
  // History rows dropped from the full queue and not yet counted in the log.
  std::atomic<long> rows_dropped{0};
};

DaemonState& daemon_state();

std::string KIVVersion();  // "2.6.107"
const char* architecture();
std::string web_res_path();

}  // namespace kivd
