// The discovery config topics this daemon left on a broker, kept in its
// private folder: turning MQTT or discovery off removes them at the next
// pass, also after the daemon itself was restarted.
#pragma once

#include <string>
#include <vector>

namespace kivd::mqtt {

// The recorded topics; the record is deleted.
std::vector<std::string> take_published();
// Records the topics (replacing the record).
void remember_published(const std::vector<std::string>& topics);

}  // namespace kivd::mqtt
