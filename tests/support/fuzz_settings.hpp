// Settings for the fuzz targets: debug on, so every log line is formatted,
// and the log file /dev/null, so none is kept.
#pragma once

#include "core/settings.hpp"

namespace kivd::test {

inline Settings fuzz_settings() {
  Settings s;
  s.LOG_FILE = "/dev/null";
  s.debug = 1;
  return s;
}

}  // namespace kivd::test
