// The KEBA receiver: thread 0 of each pass, the one reader of the wallbox socket.
#pragma once

#include <stop_token>

namespace kivd {

void StartKEBAReceiver(int index, std::stop_token stop);

}  // namespace kivd
