// The values published under <TOPIC>/<object>: how each is read from the
// live values, tracked for changes and written as a plain payload in SI
// units, and how Home Assistant is told about it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kivd::mqtt {

enum class Format : std::uint8_t {
  integer,     // the tracked number as it is
  milli,       // the tracked number / 1000 with three decimals (mA as A, Wh as kWh, mV as V)
  on_off,      // "ON" when the tracked number is not 0
  mode,        // the user's charging mode: surplus, quick, manual, off
  state_text,  // the wallbox state's text
  stamp,       // the last control time's text (the tracked number is its hash)
};

struct StateValue {
  const char* object;        // topic level and discovery object id
  const char* name;          // entity name in Home Assistant
  const char* component;     // "sensor", "binary_sensor", "select" or "number"
  const char* unit;          // nullptr: none
  const char* device_class;  // nullptr: none
  const char* state_class;   // nullptr: none
  Format format;
  std::int32_t (*read)();  // the tracked number, from the live values
};

std::span<const StateValue> state_values();

// The payload of value v into out (always terminated); its length.
std::size_t format_value(const StateValue& v, std::int32_t tracked, std::span<char> out);

// The user's mode choice (web_charge_mode 0..3) as its command word.
const char* mode_word(int choice);

}  // namespace kivd::mqtt
