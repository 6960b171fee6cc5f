#include "mqtt/discovery_record.hpp"

#include <unistd.h>

#include <fstream>

#include "core/ini_writeback.hpp"
#include "core/log.hpp"
#include "core/private_dir.hpp"

namespace kivd::mqtt {

namespace {

constexpr std::size_t kMaxTopics = 200;

// Empty without the private folder: nothing is then recorded.
std::string record_path() {
  const std::string dir = private_dir();
  return dir.empty() ? dir : dir + "/mqtt.discovery";
}

}  // namespace

std::vector<std::string> take_published() {
  std::vector<std::string> topics;
  const std::string path = record_path();
  if (path.empty() || ::access(path.c_str(), F_OK) != 0) return topics;
  if (const std::string why = untrusted_reason(path); !why.empty()) {
    log_line("MQTT: %s not used (%s), removed", path.c_str(), why.c_str());
  } else {
    std::ifstream in(path);
    for (std::string line; topics.size() < kMaxTopics && std::getline(in, line);)
      if (!line.empty()) topics.push_back(line);
  }
  ::unlink(path.c_str());
  return topics;
}

void remember_published(const std::vector<std::string>& topics) {
  const std::string path = record_path();
  if (path.empty()) return;
  std::string text;
  for (const std::string& t : topics) text += t + "\n";
  if (!ReplaceFileAtomically(path, text)) log_line("MQTT: could not record the discovery topics in %s", path.c_str());
}

}  // namespace kivd::mqtt
