// The storage system reader: thread 5 of each pass.
#pragma once

#include <stop_token>

namespace kivd {

void StartStorageSystem(int index, std::stop_token stop);

}  // namespace kivd
