// The web server: thread 2, started in the first pass only and never stopped.
#pragma once

#include <stop_token>

namespace kivd {

void StartWebserver(int index, std::stop_token stop);

}  // namespace kivd
