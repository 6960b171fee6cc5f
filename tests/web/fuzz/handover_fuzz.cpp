// Fuzz target: hand-over strings, written to the hand-over file by a request
// child, read back by the server thread and applied to the live values.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "support/fuzz_settings.hpp"
#include "support/temp_dir.hpp"
#include "web/handover.hpp"

using namespace kivd::web;

namespace {
kivd::test::TempDir* g_dir = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static kivd::test::TempDir dir;
  g_dir = &dir;
  kivd::Settings s = kivd::test::fuzz_settings();
  s.LOG_DIR = dir.path();
  kivd::replace_settings(s);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return -1;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  if (set_temp_variables(in) != 0) __builtin_trap();
  std::string text;
  if (get_temp_variables(text) != 1) __builtin_trap();
  // Exactly one line comes back, cut to 1999 characters; anything else empty.
  const std::size_t lf = in.find('\n');
  const bool one_line = !in.empty() && (lf == std::string_view::npos || lf + 1 == in.size());
  const std::string_view expect = one_line ? in.substr(0, lf).substr(0, 1999) : std::string_view();
  if (text != expect) __builtin_trap();
  SetVariablesAll(text, "Webserver: fuzz ");
  SetVariables(in);

  // The charging rules divide by the phases and count on a negative threshold.
  const kivd::LiveValues& v = kivd::live();
  if (v.CarMaxPhases.load() < 1) __builtin_trap();
  if (v.WallboxActivation.load() > -1 || v.WallboxActivation.load() < -21999) __builtin_trap();
  const int mode = v.ChargingMode.load();
  if (mode < 1 || mode > 4) __builtin_trap();
  return 0;
}
