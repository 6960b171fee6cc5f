// Home Assistant discovery: one retained config message per published value
// under <prefix>/<component>/<node>/<object>/config, all of one device.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kivd::mqtt {

struct DeviceInfo {
  std::string node;  // node id and the device's identifier: [A-Za-z0-9_-] only
  std::string model;
  std::string sw_version;
  std::string url;  // the web interface
};

struct Message {
  std::string topic, payload;
};

// The node id for a host name: "kivd_" and the name, other characters as "_".
std::string node_id(std::string_view host);

// Every config message; an empty payload each when clearing them.
std::vector<Message> discovery_messages(const DeviceInfo& device, std::string_view base, std::string_view prefix,
                                        bool clear = false);

}  // namespace kivd::mqtt
