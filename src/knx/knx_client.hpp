// One KNXnet/IP tunnelling pass: connect, check the connection, write the
// due group values, disconnect. A fresh connection per pass; nothing is
// kept between passes but what the caller keeps.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "knx/datapoints.hpp"

namespace kivd {
class StopFd;
}

namespace kivd::knx {

struct PassParams {
  std::string router;  // dotted IPv4 address of the gateway
  int port = 3671;
  std::string device;  // network device for the control socket; empty = default
  std::chrono::milliseconds timeout{5000};  // per answer
};

// One group write handed to the tunnel.
struct GroupWrite {
  std::string_view group_text;  // as configured, for the debug line
  std::uint16_t group = 0;
  Encoded value;
};

// The connected tunnel of a pass.
class Tunnel {
 public:
  virtual ~Tunnel() = default;
  // One tunnelling exchange; a request without acknowledgement is sent once
  // more, and after a second silence the pass makes no further writes.
  virtual void write(const GroupWrite& w) = 0;
};

struct PassResult {
  bool connect_answer = false;  // the gateway answered the connect request
  bool stopped = false;         // the thread was asked to stop during the pass
};

// Runs one pass; write_due is called once the connection state is confirmed.
// Writes last_knx_datetime when the pass got a connect answer.
PassResult run_pass(const PassParams& p, const StopFd& stop, const std::function<void(Tunnel&)>& write_due);

// True for a dotted IPv4 address (no name look-up).
bool valid_router(std::string_view router);

}  // namespace kivd::knx
