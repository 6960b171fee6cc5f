// Shared check of the INI fuzz targets: the file text written for a
// dictionary reads back as the same sections and non-empty values (an
// empty value is written as nothing after "=", which reads as undefined).
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "ini_dict.hpp"
#include "ini_writeback.hpp"

namespace kivd::fuzz {

inline void check_roundtrip(const IniDict& dict) {
  const std::string text = IniFileText(dict);
  const IniDict back = IniDict::load_text(text);
  for (const auto& [key, value] : dict.entries()) {
    if (value == nullptr) {
      if (iniparser_find_entry(back.raw(), key.c_str()) == 0) {
        std::fprintf(stderr, "section [%s] lost when written back\n", key.c_str());
        __builtin_trap();
      }
      continue;
    }
    if (*value == '\0') continue;
    const char* got = iniparser_getstring(back.raw(), key.c_str(), nullptr);
    if (got == nullptr || std::strcmp(got, value) != 0) {
      std::fprintf(stderr, "key %s: \"%s\" written back reads as \"%s\"\n", key.c_str(), value,
                   got ? got : "(undefined)");
      __builtin_trap();
    }
  }
}

}  // namespace kivd::fuzz
