#include "wallbox/keba_reports.hpp"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/charging_mode.hpp"
#include "core/keba_codes.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/utils.hpp"
#include "wallbox/charging_math.hpp"

namespace kivd {

namespace {

struct JsonDeleter {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

using IntField = std::optional<int> ReportValues::*;
struct IntKey {
  const char* key;
  IntField field;
};

constexpr IntKey kReport2[] = {
    {"State", &ReportValues::state},         {"Error1", &ReportValues::error1},
    {"Error2", &ReportValues::error2},       {"Plug", &ReportValues::plug},
    {"Enable sys", &ReportValues::enable_sys}, {"Max curr", &ReportValues::curr_max},
    {"Max curr %", &ReportValues::curr_max_percent}, {"Curr HW", &ReportValues::curr_hw},
    {"Curr user", &ReportValues::curr_usr},  {"Output", &ReportValues::output},
    {"Input", &ReportValues::input},         {"Sec", &ReportValues::secs},
    {"Curr FS", &ReportValues::curr_fs},     {"Tmo FS", &ReportValues::tmo_fs},
};
constexpr IntKey kReport3[] = {
    {"U1", &ReportValues::u1}, {"U2", &ReportValues::u2}, {"U3", &ReportValues::u3},
    {"I1", &ReportValues::i1}, {"I2", &ReportValues::i2}, {"I3", &ReportValues::i3},
    {"P", &ReportValues::pow}, {"PF", &ReportValues::pf}, {"E pres", &ReportValues::e_pres},
    {"E total", &ReportValues::e_total}, {"Sec", &ReportValues::secs},
};
constexpr IntKey kBroadcast[] = {
    {"State", &ReportValues::state},           {"Plug", &ReportValues::plug},
    {"Input", &ReportValues::input},           {"Enable sys", &ReportValues::enable_sys},
    {"Max curr", &ReportValues::curr_max},     {"E pres", &ReportValues::e_pres},
};

bool contains(std::string_view text, std::string_view key) { return text.find(key) != std::string_view::npos; }

// cJSON's own conversion: saturating at the int limits.
template <std::size_t N>
void take_numbers(const cJSON* obj, std::string_view text, const IntKey (&keys)[N], ReportValues& r) {
  for (const IntKey& k : keys) {
    if (!contains(text, k.key)) continue;
    const cJSON* item = cJSON_GetObjectItem(obj, k.key);
    // A member of another type (text, object) carries no number: skipped.
    if (item == nullptr || !cJSON_IsNumber(item)) continue;
    r.*(k.field) = item->valueint;
  }
}

void take_text(const cJSON* obj, std::string_view text, const char* key, ReportText& out) {
  if (!contains(text, key)) return;
  const cJSON* item = cJSON_GetObjectItem(obj, key);
  if (item == nullptr || !cJSON_IsString(item) || item->valuestring == nullptr) return;
  std::strncpy(out.text, item->valuestring, sizeof out.text - 1);
  out.text[sizeof out.text - 1] = '\0';
  out.present = true;
}

}  // namespace

std::optional<ReportValues> parse_report(std::string_view text, char* error_rest, std::size_t error_rest_size) {
  char copy[kDatagramMax + 1];
  std::size_t n = text.size() < kDatagramMax ? text.size() : kDatagramMax;
  std::memcpy(copy, text.data(), n);
  copy[n] = '\0';
  n = std::strlen(copy);  // a zero byte inside ends the text
  const std::string_view t(copy, n);

  const char* end = nullptr;
  Json root(cJSON_ParseWithOpts(copy, &end, 0));
  if (!root) {
    if (error_rest != nullptr && error_rest_size > 0) {
      const char* rest = (end != nullptr && end >= copy && end <= copy + n) ? end : copy;
      std::strncpy(error_rest, rest, error_rest_size - 1);
      error_rest[error_rest_size - 1] = '\0';
    }
    return std::nullopt;
  }

  ReportValues r;
  if (contains(t, "\"ID\": \"1\"")) r.kind = ReportKind::One;
  else if (contains(t, "\"ID\": \"2\"")) r.kind = ReportKind::Two;
  else if (contains(t, "\"ID\": \"3\"")) r.kind = ReportKind::Three;
  else r.kind = ReportKind::Broadcast;

  const cJSON* obj = root.get();
  switch (r.kind) {
    case ReportKind::One:
      take_text(obj, t, "Product", r.product);
      take_text(obj, t, "Serial", r.serial);
      take_text(obj, t, "Firmware", r.firmware);
      if (r.firmware.present) {
        if (char* bracket = std::strchr(r.firmware.text, '(')) *bracket = '\0';
      }
      break;
    case ReportKind::Two: take_numbers(obj, t, kReport2, r); break;
    case ReportKind::Three: take_numbers(obj, t, kReport3, r); break;
    case ReportKind::Broadcast: take_numbers(obj, t, kBroadcast, r); break;
  }
  return r;
}

namespace {

void store(std::atomic<int>& target, const std::optional<int>& v) {
  if (v) target.store(*v, std::memory_order_relaxed);
}

// The box's seconds since its start only grow; going back means it
// restarted and lost what it was told (fail-safe, current, X2).
void check_restart(const std::optional<int>& secs) {
  LiveValues& v = live();
  if (!secs) return;
  const int before = v.wb_secs;
  if (*secs < before) {
    v.wb_reboots.fetch_add(1);
    log_line("Wallbox: restart detected (seconds counter %d after %d)", *secs, before);
  }
}

// Report 2 is the box's word on X2: a change it shows starts the phase
// switch guard, whether or not the command's answer came.
void check_output(const std::optional<int>& output) {
  static std::atomic<int> last_reported{-1};
  if (!output) return;
  const int before = last_reported.exchange(*output);
  if (before != -1 && before != *output) live().wb_x2_seen_ms = std::max(steady_ms(), 1LL);
}

}  // namespace

void apply_report(const ReportValues& r) {
  LiveValues& v = live();
  switch (r.kind) {
    case ReportKind::One: {
      if (r.product.present) v.wb_product_id.set(r.product.text);
      if (r.serial.present) v.wb_serial.set(r.serial.text);
      if (const char* product = keba_product_override(v.wb_serial.get())) v.wb_product_id.set(product);
      if (r.firmware.present) v.wb_firmware.set(r.firmware.text);
      debug_line("report 1 parsing finished: %s, %s, %s", v.wb_product_id.get().c_str(), v.wb_serial.get().c_str(),
                 v.wb_firmware.get().c_str());
      break;
    }
    case ReportKind::Two:
      check_restart(r.secs);
      check_output(r.output);
      store(v.wb_state, r.state);
      store(v.wb_error1, r.error1);
      store(v.wb_error2, r.error2);
      store(v.wb_plug, r.plug);
      store(v.wb_enable_sys, r.enable_sys);
      store(v.wb_curr_max, r.curr_max);
      store(v.wb_curr_max_percent, r.curr_max_percent);
      store(v.wb_curr_hw, r.curr_hw);
      store(v.wb_curr_usr, r.curr_usr);
      store(v.wb_X2_out, r.output);
      store(v.wb_X1_in, r.input);
      store(v.wb_secs, r.secs);
      store(v.wb_curr_failsafe, r.curr_fs);
      store(v.wb_tmo_failsafe, r.tmo_fs);
      debug_line("report 2 parsing finished. State: %ld ...", static_cast<long>(v.wb_state.load()));
      if (v.wb_state == 4) {
        const int e1 = v.wb_error1, e2 = v.wb_error2;
        log_line("Charging error: err1 = 0x%x (%s), err2 = 0x%x (%s)", static_cast<unsigned>(e1), keba_error1_text(e1),
                 static_cast<unsigned>(e2), keba_error2_text(e2));
      }
      break;
    case ReportKind::Three:
      check_restart(r.secs);
      store(v.wb_u1, r.u1);
      store(v.wb_u2, r.u2);
      store(v.wb_u3, r.u3);
      store(v.wb_i1, r.i1);
      store(v.wb_i2, r.i2);
      store(v.wb_i3, r.i3);
      store(v.wb_pow, r.pow);
      store(v.wb_pf, r.pf);
      store(v.wb_e_pres, r.e_pres);
      store(v.wb_e_total, r.e_total);
      store(v.wb_secs, r.secs);
      v.wb_phases = drawn_phases({v.wb_i1.load(), v.wb_i2.load(), v.wb_i3.load()});
      v.wb_report3_ms = std::max(steady_ms(), 1LL);
      debug_line("report 3 parsing finished. Power %ld ...", static_cast<long>(v.wb_pow.load()));
      break;
    case ReportKind::Broadcast:
      store(v.wb_state, r.state);
      store(v.wb_plug, r.plug);
      store(v.wb_X1_in, r.input);
      store(v.wb_enable_sys, r.enable_sys);
      store(v.wb_curr_max, r.curr_max);
      store(v.wb_e_pres, r.e_pres);
      v.wb_broadcasts.fetch_add(1);
      debug_line("broadcast parsing finished.");
      break;
  }
  const int x1 = v.wb_X1_in;
  v.disable_web_control = x1 == 1 ? 1 : 0;
  v.ChargingMode = static_cast<int>(effective_mode(v.web_charge_mode, x1));
}

std::optional<ReportKind> parse_and_apply(std::string_view text) {
  char rest[kDatagramMax + 1];
  const std::optional<ReportValues> r = parse_report(text, rest, sizeof rest);
  if (!r) {
    // Reports are multi-line JSON: the rest is logged on one line.
    log_line("ParseReports: JSON error before: %s", printable(rest, sizeof rest).c_str());
    return std::nullopt;
  }
  apply_report(*r);
  return r->kind;
}

int ParseReports(std::string_view text) { return parse_and_apply(text) ? 1 : 0; }

}  // namespace kivd
