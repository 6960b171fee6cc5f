#include "web/code_tables.hpp"

namespace kivd::web {

const char* charging_mode_text(int m) {
  switch (m) {
    case 1: return "SURPLUS";
    case 2: return "QUICK";
    case 3: return "MANUAL";
    case 4: return "OFF";
    default: return "";
  }
}

}  // namespace kivd::web
