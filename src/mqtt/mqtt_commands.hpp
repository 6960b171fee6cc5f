// Commands under <TOPIC>/set/<name>: each is turned into the /remote pair
// that applies it, after the value has passed the same rule /remote
// applies. A value the rule would change is refused instead of replaced.
#pragma once

#include <string>
#include <string_view>

namespace kivd::mqtt {

struct Command {
  bool accepted = false;
  std::string pair;    // accepted: name=value for SetVariables
  std::string result;  // the message for <TOPIC>/set/result
};

// name is the topic level after "set/"; payload the message as received.
Command parse_command(std::string_view name, std::string_view payload);

}  // namespace kivd::mqtt
