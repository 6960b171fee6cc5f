#include "code_tables.hpp"

namespace kivd::web {

const char* state_text(int s) {
  switch (s) {
    case -1: return "undefined";
    case 0: return "started";
    case 1: return "not ready for charging";
    case 2: return "ready for charging";
    case 3: return "charging";
    case 4: return "error";
    case 5: return "disabled";
    default: return "unknown";
  }
}

const char* plug_text_info(int p) {
  switch (p) {
    case -1: return "undefined";
    case 0: return "unplugged";
    case 1: return "plugged into wallbox";
    case 3: return "plugged into wallbox, plug locked";
    case 5: return "plugged into wallbox, plugged into EV";
    case 7: return "plugged into wallbox, plugged into EV, plug locked";
    default: return "unknown";
  }
}

const char* plug_text_xml(int p) {
  switch (p) {
    case -1: return "undefined";
    case 0: return "unplugged";
    case 1: return "plugged on wallbox";
    case 3: return "plugged on wallbox, plug locked";
    case 5: return "plugged on wallbox, plugged on EV";
    case 7: return "plugged on wallbox, plugged on EV, plug locked";
    default: return "unknown";
  }
}

const char* error1_xml_name(int c) {
  switch (c) {
    case 0: return "NO_ERROR";
    case 1: return "PLUG_LOST";
    case 2: return "PLUG_UNDEF";
    case 3: return "OVERHEAT";
    case 4: return "LOCK_FAILED";
    case 5: return "OHMIG_LOAD";
    case 6: return "POWER_MISMATCH";
    case 7: return "IBN_MODE";
    case 8: return "SHORT_CIRCUIT";
    case 9: return "CONFIG_ERR";
    case 10: return "13A_ERROR";
    default: return "UNKNOWN";
  }
}

const char* error2_xml_name(int c) {
  switch (c) {
    case 0: return "NO_ERROR";
    case 0x8001: return "ERROR_SCHUETZ";
    case 0x4002: return "ERROR_VOLTAGES";
    case 0x4003: return "ERROR_CURRENT";
    case 0x4004: return "ERROR_PILOT";
    case 0x8005: return "ERROR_FI";
    case 0x8006: return "ERROR_MAXQ";
    case 0x8007: return "ERROR_CFB";
    case 0x8008: return "ERROR_CONFIG";
    case 0x8009: return "ERROR_NWDOG";
    case 0x800D: return "ERROR_CON";
    case 0x800E: return "ERROR_STATE";
    case 0x800F: return "ERROR_UNKNOWNSTATE";
    default: return "UNKNOWN";  // 0x800C has no XML name either
  }
}

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
