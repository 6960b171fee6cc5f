// The MQTT client: thread 7 of each pass. Publishes the live values and the
// Home Assistant discovery to a broker and takes commands from it.
#pragma once

#include <stop_token>

namespace kivd {

void StartMQTT(int index, std::stop_token stop);

}  // namespace kivd
