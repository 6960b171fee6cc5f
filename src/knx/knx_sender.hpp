// The KNX sender thread: waits second by second, decides when a pass is due
// and which datapoints it sends. The pass itself is injected so that tests
// can drive the timing with a fake clock and a fake tunnel.
#pragma once

#include <functional>
#include <stop_token>

#include "knx/knx_client.hpp"

namespace kivd::knx {

using PassRunner = std::function<PassResult(const StopFd&, const std::function<void(Tunnel&)>&)>;

// The thread body; KNXSender runs it with the real tunnelling pass.
void run_sender(int index, std::stop_token stop, const PassRunner& pass);

// The pass against the configured gateway.
PassResult gateway_pass(const StopFd& stop, const std::function<void(Tunnel&)>& write_due);

}  // namespace kivd::knx
