// Shared check of the INI fuzz targets: the file text written for a
// dictionary reads back as the same sections and non-empty values (an
// empty value is written as nothing after "=", which reads as undefined).
// Keys are looked up exactly, however long.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "core/ini_dict.hpp"
#include "core/ini_writeback.hpp"

namespace kivd::fuzz {

inline void check_roundtrip(const IniDict& dict) {
  const std::string text = IniFileText(dict);
  const IniDict back = IniDict::load_text(text);
  static const char missing[] = "";
  for (const auto& [key, value] : dict.entries()) {
    const char* got = back.exists(key) ? back.find(key) : missing;
    if (value == nullptr) {
      if (got == missing) {
        std::fprintf(stderr, "section [%s] lost when written back\n", key.c_str());
        __builtin_trap();
      }
      continue;
    }
    if (*value == '\0') continue;
    if (got == missing || got == nullptr || std::strcmp(got, value) != 0) {
      std::fprintf(stderr, "key %s: \"%s\" written back reads as \"%s\"\n", key.c_str(), value,
                   got == missing ? "(undefined)" : got ? got : "(a section)");
      __builtin_trap();
    }
  }
}

}  // namespace kivd::fuzz
