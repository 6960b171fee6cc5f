// The MQTT client's pure parts: command rules, payload formats, discovery.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>

#include "mqtt/mqtt_commands.hpp"
#include "mqtt/mqtt_discovery.hpp"
#include "mqtt/mqtt_values.hpp"

namespace kivd::mqtt {
namespace {

struct CommandCase {
  const char* name;
  const char* payload;
  const char* pair;  // nullptr: refused
};

TEST(MqttCommands, AcceptedAsRemoteWouldTakeThemRefusedOtherwise) {
  const CommandCase cases[] = {
      {"mode", "quick", "mode=quick"},
      {"mode", " OFF\n", "mode=off"},
      {"mode", "manualoff", nullptr},
      {"mode", "", nullptr},
      {"current", "16", "manualcurrent=16020"},
      {"current", "16.5", "manualcurrent=16980"},
      {"current", "13000", "manualcurrent=13020"},
      {"current", "32", "manualcurrent=31980"},
      {"current", "5", nullptr},
      {"current", "40", nullptr},
      {"current", "16A", nullptr},
      {"min_current", "7", "carmincharge=7020"},
      {"min_current", "9000", "carmincharge=9000"},
      {"min_current", "10", nullptr},
      {"max_phases", "3", "carmaxphases=3"},
      {"max_phases", "0", nullptr},
      {"max_phases", "2.5", nullptr},
      {"activation", "1380", "surplusactivate=1380"},
      {"activation", "25000", nullptr},
      {"activation", "-100", nullptr},
      {"reboot", "1", nullptr},
  };
  for (const CommandCase& c : cases) {
    const Command got = parse_command(c.name, c.payload);
    SCOPED_TRACE(std::string(c.name) + "=" + c.payload + " -> " + got.result);
    EXPECT_EQ(got.accepted, c.pair != nullptr);
    if (c.pair) {
      EXPECT_EQ(got.pair, c.pair);
    }
    EXPECT_EQ(got.result.rfind(c.pair ? "ok " : "refused ", 0), 0u);
  }
}

std::string formatted(const char* object, std::int32_t n) {
  for (const StateValue& v : state_values()) {
    if (std::string(v.object) != object) continue;
    char out[64];
    return std::string(out, format_value(v, n, out));
  }
  return "no such value";
}

TEST(MqttValues, PayloadsInSiUnits) {
  EXPECT_EQ(formatted("grid_power", -1234), "-1234");
  EXPECT_EQ(formatted("grid_current_l1", 16020), "16.020");
  EXPECT_EQ(formatted("grid_current_l2", -5), "-0.005");
  EXPECT_EQ(formatted("total_energy", 1234567), "1234.567");
  EXPECT_EQ(formatted("plugged", 1), "ON");
  EXPECT_EQ(formatted("meter_stale", 0), "OFF");
  EXPECT_EQ(formatted("mode", 3), "off");
  EXPECT_EQ(formatted("state", 3), "charging");
}

TEST(MqttDiscovery, EveryConfigHasWhatItsComponentNeeds) {
  const DeviceInfo d{node_id("my host.lan"), "charging controller", "2.6.107", "http://my-host:18001/"};
  EXPECT_EQ(d.node, "kivd_my_host_lan");
  const auto messages = discovery_messages(d, "kivd", "homeassistant");
  ASSERT_EQ(messages.size(), state_values().size());
  for (const Message& m : messages) {
    SCOPED_TRACE(m.topic);
    cJSON* j = cJSON_Parse(m.payload.c_str());
    ASSERT_NE(j, nullptr);
    const std::string component = m.topic.substr(14, m.topic.find('/', 14) - 14);
    const bool commands = component == "select" || component == "number";
    for (const char* key : {"name", "unique_id", "state_topic", "availability_topic", "device"})
      EXPECT_NE(cJSON_GetObjectItem(j, key), nullptr) << key;
    EXPECT_EQ(cJSON_GetObjectItem(j, "command_topic") != nullptr, commands);
    const cJSON* dev = cJSON_GetObjectItem(j, "device");
    EXPECT_STREQ(cJSON_GetArrayItem(cJSON_GetObjectItem(dev, "identifiers"), 0)->valuestring, "kivd_my_host_lan");
    cJSON_Delete(j);
  }
  EXPECT_EQ(messages.front().topic, "homeassistant/sensor/kivd_my_host_lan/grid_power/config");
  for (const Message& m : discovery_messages(d, "kivd", "homeassistant", true)) EXPECT_TRUE(m.payload.empty());
}

}  // namespace
}  // namespace kivd::mqtt
