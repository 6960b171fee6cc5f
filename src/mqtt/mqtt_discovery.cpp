#include "mqtt/mqtt_discovery.hpp"

#include <cjson/cJSON.h>

#include <memory>

#include "core/daemon_state.hpp"
#include "mqtt/mqtt_values.hpp"

namespace kivd::mqtt {

namespace {

struct JsonDelete {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDelete>;

std::string text_of(const cJSON* j) {
  std::unique_ptr<char, decltype(&cJSON_free)> s(cJSON_PrintUnformatted(j), cJSON_free);
  return s ? std::string(s.get()) : std::string();
}

void add_text(cJSON* o, const char* key, std::string_view v) { cJSON_AddStringToObject(o, key, std::string(v).c_str()); }

cJSON* device_object(const DeviceInfo& d) {
  cJSON* dev = cJSON_CreateObject();
  cJSON* ids = cJSON_AddArrayToObject(dev, "identifiers");
  cJSON_AddItemToArray(ids, cJSON_CreateString(d.node.c_str()));
  add_text(dev, "name", "kivd");
  add_text(dev, "manufacturer", kProductTitle);
  add_text(dev, "model", d.model);
  add_text(dev, "sw_version", d.sw_version);
  add_text(dev, "configuration_url", d.url);
  return dev;
}

// The command numbers' ranges, in the units their state shows.
struct Range {
  const char* object;
  int min, max, step;
};
constexpr Range kRanges[] = {
    {"current", 6, 32, 1}, {"min_current", 6, 9, 1}, {"max_phases", 1, 3, 1}, {"activation", 1, 21999, 10}};

std::string config_payload(const StateValue& v, const DeviceInfo& d, const std::string& base) {
  const Json root(cJSON_CreateObject());
  cJSON* o = root.get();
  add_text(o, "name", v.name);
  add_text(o, "unique_id", d.node + "_" + v.object);
  add_text(o, "state_topic", base + "/" + v.object);
  add_text(o, "availability_topic", base + "/status");
  add_text(o, "payload_available", "online");
  add_text(o, "payload_not_available", "offline");
  if (v.unit) add_text(o, "unit_of_measurement", v.unit);
  if (v.device_class) add_text(o, "device_class", v.device_class);
  if (v.state_class) add_text(o, "state_class", v.state_class);
  const std::string_view component = v.component;
  if (component == "binary_sensor") {
    add_text(o, "payload_on", "ON");
    add_text(o, "payload_off", "OFF");
  } else if (component == "select") {
    add_text(o, "command_topic", base + "/set/" + v.object);
    cJSON* options = cJSON_AddArrayToObject(o, "options");
    for (int choice : {0, 1, 2, 3}) cJSON_AddItemToArray(options, cJSON_CreateString(mode_word(choice)));
  } else if (component == "number") {
    add_text(o, "command_topic", base + "/set/" + v.object);
    for (const Range& r : kRanges) {
      if (std::string_view(r.object) != v.object) continue;
      cJSON_AddNumberToObject(o, "min", r.min);
      cJSON_AddNumberToObject(o, "max", r.max);
      cJSON_AddNumberToObject(o, "step", r.step);
    }
    add_text(o, "mode", "box");
  }
  cJSON_AddItemToObject(o, "device", device_object(d));
  return text_of(o);
}

}  // namespace

std::string node_id(std::string_view host) {
  std::string id = "kivd_";
  for (char c : host) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    id += keep ? c : '_';
  }
  return id;
}

std::vector<Message> discovery_messages(const DeviceInfo& device, std::string_view base, std::string_view prefix,
                                        bool clear) {
  const std::string b(base);
  std::vector<Message> out;
  for (const StateValue& v : state_values()) {
    Message m;
    m.topic = std::string(prefix) + "/" + v.component + "/" + device.node + "/" + v.object + "/config";
    if (!clear) m.payload = config_payload(v, device, b);
    out.push_back(std::move(m));
  }
  return out;
}

}  // namespace kivd::mqtt
