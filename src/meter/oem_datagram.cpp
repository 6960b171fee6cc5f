#include "meter/oem_datagram.hpp"

#include <cjson/cJSON.h>

#include <climits>
#include <memory>

namespace kivd::meter {

namespace {

struct TreeDeleter {
  void operator()(cJSON* p) const { cJSON_Delete(p); }
};

int clamp_int(long long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// cJSON keeps valueint within int (it saturates large numbers), and
// truncates fractions.
void take(const cJSON* root, std::string_view text, const char* key, int& out) {
  if (text.find(key) == std::string_view::npos) return;
  const cJSON* item = cJSON_GetObjectItem(root, key);
  // A key that appears only nested, or with a value that is no number, is
  // not a reading: the last value stays.
  if (item == nullptr || !cJSON_IsNumber(item)) return;
  out = item->valueint;
}

}  // namespace

OemVerdict parse_oem_datagram(std::string_view text, OemValues& kept, std::size_t& error_at) {
  const auto z = text.find('\0');
  if (z != std::string_view::npos) text = text.substr(0, z);
  const char* end = nullptr;
  std::unique_ptr<cJSON, TreeDeleter> root(cJSON_ParseWithOpts(text.data(), &end, 0));
  if (!root) {
    error_at = end != nullptr && end >= text.data() && end <= text.data() + text.size()
                   ? static_cast<std::size_t>(end - text.data())
                   : 0;
    return OemVerdict::InvalidJson;
  }
  if (text.find("oemgateway") == std::string_view::npos) return OemVerdict::NotGateway;
  static const char* const kPower[3] = {"power 1", "power 2", "power 3"};
  static const char* const kVoltage[3] = {"voltage 1", "voltage 2", "voltage 3"};
  for (int k = 0; k < 3; ++k) {
    take(root.get(), text, kPower[k], kept.power[k]);
    take(root.get(), text, kVoltage[k], kept.voltage[k]);
  }
  return OemVerdict::Gateway;
}

OemPublished oem_publish_values(const OemValues& v) {
  OemPublished p{};
  long long sum = 0;
  for (int k = 0; k < 3; ++k) {
    sum += v.power[k];
    p.u[k] = v.voltage[k];
    p.i[k] = v.voltage[k] == 0 ? 0 : clamp_int(static_cast<long long>(v.power[k]) * 1000 / v.voltage[k]);
  }
  p.intpow = clamp_int(sum);
  return p;
}

}  // namespace kivd::meter
