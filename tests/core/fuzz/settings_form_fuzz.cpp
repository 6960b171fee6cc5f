// Fuzz target: a posted form body (first byte: the form mode, settings or
// KNX page) applied to the default file, and the file text written for it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/settings.hpp"
#include "ini_roundtrip.hpp"
#include "support/fuzz_settings.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kivd::replace_settings(kivd::test::fuzz_settings());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 4096) return -1;
  static const std::string base = kivd::DefaultIniText();
  const int mode = data[0] % 3;  // 0: neither form, 1: settings, 2: KNX
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
  kivd::IniDict dict = kivd::IniDict::load_text(base, kivd::IniDict::EmptyKeys::kept);
  kivd::ApplySettingsForm(dict, body, mode);
  kivd::fuzz::check_roundtrip(dict);
  return 0;
}
