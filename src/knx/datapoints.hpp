// The 25 KNX datapoints: which live value each sends, how it is encoded,
// and when it is due. Encoding and the due rules are pure functions; only
// read_source touches the shared live values.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/change_tracker.hpp"
#include "knx/knx_frames.hpp"

namespace kivd {
struct LiveValues;
struct Settings;
}  // namespace kivd

namespace kivd::knx {

inline constexpr int kDatapointCount = 25;
inline constexpr int kLastCyclic = 11;  // 1..11 cyclic, 12..25 on change

constexpr bool is_cyclic(int n) { return n >= 1 && n <= kLastCyclic; }

// Group address text "main/middle/sub" as main*2048 + middle*256 + sub
// (no range check: a middle above 7 spills into main). Missing parts count
// as 0. Logs the error line for an empty or incomplete text.
std::uint32_t GetDestAddr(std::string_view text);

// KNX 2-byte float (DPT 9): value*100 truncated, halved until it fits 11
// bits. Beyond the range it holds, the largest magnitude of that sign.
std::uint16_t encode_dpt9(float value);

// The source variable(s) of one datapoint, each read once.
struct Reading {
  std::int32_t raw = 0;   // the source as an integer (what "last sent" keeps)
  std::int32_t raw2 = 0;  // datapoint 11: the storage power
  float f = 0.0f;         // datapoints 9 and 10: the kWh counter
};
Reading read_source(int n, const LiveValues& lv);

// How the debug line shows the value.
enum class LogStyle { Integer, Hex16, Float };

struct Encoded {
  Payload payload;
  LogStyle style = LogStyle::Integer;
  long log_int = 0;
  float log_float = 0.0f;
};
Encoded encode(int n, const Reading& r);

struct DatapointCounts {
  long cyclic = 0;
  long on_change = 0;
};
DatapointCounts count_enabled(const Settings& s);

// The datapoints (index n-1) as a change tracker sees them: a disabled
// datapoint is off, and so is an on-change one whose feature is off.
std::vector<ChangeTracker::Kind> datapoint_kinds(const Settings& s);

// Every datapoint's source as an integer (Reading::raw), the tracker's snapshot.
void read_sources(const LiveValues& lv, std::span<std::int32_t> out);

}  // namespace kivd::knx
