#include "core/keba_codes.hpp"

#include <cstddef>

#include "core/settings.hpp"

namespace kivd {

bool is_keba_type(std::string_view type) { return iequals(type, kKebaType); }

// The product text of two known boxes is replaced; which boxes the
// replacement is meant for is not recorded anywhere, so it stays limited to
// exactly these two serial numbers.
const char* keba_product_override(std::string_view serial) {
  for (const char* s : {"15084202", "14991310"})
    if (iequals(serial, s)) return "KC-P20-ES240030-000";
  return nullptr;
}

const char* keba_state_text(int state) {
  switch (state) {
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

const char* keba_plug_text(int plug) {
  switch (plug) {
    case -1: return "undefined";
    case 0: return "unplugged";
    case 1: return "plugged into wallbox";
    case 3: return "plugged into wallbox, plug locked";
    case 5: return "plugged into wallbox, plugged into EV";
    case 7: return "plugged into wallbox, plugged into EV, plug locked";
    default: return "unknown";
  }
}

const char* keba_plug_xml(int plug) {
  switch (plug) {
    case -1: return "undefined";
    case 0: return "unplugged";
    case 1: return "plugged on wallbox";
    case 3: return "plugged on wallbox, plug locked";
    case 5: return "plugged on wallbox, plugged on EV";
    case 7: return "plugged on wallbox, plugged on EV, plug locked";
    default: return "unknown";
  }
}

namespace {

struct Code {
  int code;
  const char* text;
  const char* xml;
};

constexpr Code kError1[] = {
    {0, "no error", "NO_ERROR"},         {1, "plug lost", "PLUG_LOST"},
    {2, "plug undefined", "PLUG_UNDEF"}, {3, "overheat", "OVERHEAT"},
    {4, "lock failed", "LOCK_FAILED"},   {5, "OHMIG load", "OHMIG_LOAD"},
    {6, "power mismatch", "POWER_MISMATCH"}, {7, "IBN mode", "IBN_MODE"},
    {8, "short circuit", "SHORT_CIRCUIT"}, {9, "config error", "CONFIG_ERR"},
    {10, "13A error", "13A_ERROR"},
};

constexpr Code kError2[] = {
    {0, "no error", "NO_ERROR"},
    {0x8001, "hardware failure", "ERROR_SCHUETZ"},
    {0x4002, "voltages out of range", "ERROR_VOLTAGES"},
    {0x4003, "overload", "ERROR_CURRENT"},
    {0x4004, "pilot not OK", "ERROR_PILOT"},
    {0x8005, "internal RCD detection", "ERROR_FI"},
    {0x8006, "metering configured but not working", "ERROR_MAXQ"},
    {0x8007, "contactor FB not OK", "ERROR_CFB"},
    {0x8008, "configuration missing", "ERROR_CONFIG"},
    {0x8009, "nwdog not triggered", "ERROR_NWDOG"},
    {0x800C, "temperature to high", "UNKNOWN"},
    {0x800D, "contactor switched wrong", "ERROR_CON"},
    {0x800E, "state change error in FSM", "ERROR_STATE"},
    {0x800F, "unknown state", "ERROR_UNKNOWNSTATE"},
};

template <std::size_t N>
const Code* find(const Code (&table)[N], int code) {
  for (const Code& c : table)
    if (c.code == code) return &c;
  return nullptr;
}

}  // namespace

const char* keba_error1_text(int code) {
  const Code* c = find(kError1, code);
  return c ? c->text : "unknown";
}

const char* keba_error1_xml(int code) {
  const Code* c = find(kError1, code);
  return c ? c->xml : "UNKNOWN";
}

const char* keba_error2_text(int code) {
  const Code* c = find(kError2, code);
  return c ? c->text : "undocumented error";
}

const char* keba_error2_xml(int code) {
  const Code* c = find(kError2, code);
  return c ? c->xml : "UNKNOWN";
}

}  // namespace kivd
