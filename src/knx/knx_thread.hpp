// The KNX sender: thread 4 of each pass.
#pragma once

#include <stop_token>

namespace kivd {

void KNXSender(int index, std::stop_token stop);

}  // namespace kivd
