// The wallbox's answers: report and broadcast JSON into values, and the
// effective charging mode. Pure parsing lives in
// parse_report; ParseReports stores the result into the live values.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kivd {

enum class ReportKind { One, Two, Three, Broadcast };

struct ReportText {
  bool present = false;
  char text[60] = {};  // at most 59 characters and a terminator
};

// What one datagram carried; absent members stay unset.
struct ReportValues {
  ReportKind kind = ReportKind::Broadcast;
  ReportText product, serial, firmware;
  std::optional<int> state, error1, error2, plug, enable_sys, curr_max, curr_max_percent, curr_hw,
      curr_usr, output, input, secs, curr_fs, tmo_fs;
  std::optional<int> u1, u2, u3, i1, i2, i3, pow, pf, e_pres, e_total;
};

inline constexpr std::size_t kDatagramMax = 511;  // bytes of a datagram that are read

// Parses at most 511 bytes of text (up to its first zero byte). On invalid
// JSON returns nothing and, when error_rest is given, copies the unparsed
// rest of the text there (cut to its size).
std::optional<ReportValues> parse_report(std::string_view text, char* error_rest = nullptr,
                                         std::size_t error_rest_size = 0);

// Stores the values into the live wallbox values, logs the report lines and
// derives the effective mode.
void apply_report(const ReportValues& r);

// Parses one datagram text and applies it; 1 when it was valid JSON, else 0
// (after logging the parser's rest of the text).
int ParseReports(std::string_view text);
// The same, telling what was applied.
std::optional<ReportKind> parse_and_apply(std::string_view text);

}  // namespace kivd
