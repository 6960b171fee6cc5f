// A posted settings form turned into key updates of the file's dictionary.
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/ini_writeback.hpp"
#include "core/log.hpp"
#include "core/settings_table.hpp"
#include "core/utils.hpp"

namespace kivd {

namespace {

// Posted values longer than this are dropped: every setting is read
// with at most 59 characters, and the line reader splits lines at 1023 bytes,
// so an overlong value could otherwise turn into a line of its own.
constexpr std::size_t kPostedValueMax = 255;

std::string dpt_key(int n, const char* key) { return "dpt_" + std::to_string(n) + ":" + key; }

bool exists(const IniDict& d, const std::string& key) { return d.exists(key); }

void set(IniDict& d, const std::string& key, std::string_view value) { d.set(key, value); }

std::string get(const IniDict& d, const std::string& key) {
  const char* v = d.find(key);
  return v ? v : "";
}

// Every key of the table with its built-in, in table order; keys the
// default file leaves out (SMA:EMU among them) are not added.
void complete(IniDict& d) {
  for (const SettingRow& r : setting_rows()) {
    if (r.line == FileLine::none) continue;
    const std::string section = ascii_lower(r.section);
    if (!exists(d, section)) d.set(section, nullptr);
    const std::string key = ascii_lower(setting_key(r));
    if (!exists(d, key)) set(d, key, r.builtin);
  }
  for (int n = 1; n <= kDatapoints; ++n) {
    const std::string sec = "dpt_" + std::to_string(n);
    if (!exists(d, sec)) d.set(sec, nullptr);
    if (!exists(d, dpt_key(n, "using"))) set(d, dpt_key(n, "using"), "FALSE");
    if (!exists(d, dpt_key(n, "groupadr"))) set(d, dpt_key(n, "groupadr"), "8/1/" + std::to_string(n));
  }
}

// The older layout kept datapoint 4's group address as KNX:GROUPADR; the
// reader takes it from there (unused) while that key exists.
void move_older_group_address(IniDict& d) {
  if (!exists(d, "knx:groupadr")) return;
  std::string address = get(d, "knx:groupadr");
  if (address.empty()) {  // "GROUPADR=" names no address: nothing to move
    d.unset("knx:groupadr");
    return;
  }
  if (address.size() > kTextMax) address.resize(kTextMax);
  set(d, dpt_key(4, "using"), "FALSE");
  set(d, dpt_key(4, "groupadr"), address);
  d.unset("knx:groupadr");
}

// For the log: control characters shown as "?", long names cut.
std::string printable(std::string_view s) { return kivd::printable(s, 60); }


// A text must stay one line that reads back as the same value; a refused
// field keeps the file's value and is named on the page.
bool text_acceptable(std::string_view name, std::string_view value, FormOutcome& outcome) {
  std::string encoded;
  if (!has_control(value) && value.size() <= kPostedValueMax && encode_ini_value(value, encoded)) return true;
  log_line("Settings form: value of field %s refused (control characters, both quote marks or too long)",
           printable(name).c_str());
  if (!outcome.refused.empty()) outcome.refused += ", ";
  outcome.refused += printable(name);
  return false;
}

void apply_field(IniDict& d, std::string_view name, std::string_view value, FormOutcome& outcome) {
  std::optional<FormRule> rule;
  std::string key;
  if (const SettingRow* row = form_row(name)) rule = row->form, key = ascii_lower(setting_key(*row));
  // c_1 to c_25 and g_1 to g_25, the number written as the page writes it.
  if (!rule && name.size() >= 3 && name[1] == '_' && (name[0] == 'c' || name[0] == 'C' || name[0] == 'g' || name[0] == 'G')) {
    const std::string_view num = name.substr(2);
    const int n = is_numeric(num) && num.size() <= 2 ? atoi_rules(num) : 0;
    if (n >= 1 && n <= kDatapoints && std::to_string(n) == num) {
      const bool check = name[0] == 'c' || name[0] == 'C';
      if (!check) {
        if (text_acceptable(name, value, outcome)) set(d, dpt_key(n, "groupadr"), value);
        return;
      }
      rule = FormRule::check_box, key = dpt_key(n, "using");
    }
  }
  if (!rule) return;

  switch (*rule) {
    case FormRule::check_box:
      if (iequals(value, "true")) set(d, key, "TRUE");
      return;
    case FormRule::number:
      if (is_numeric(value) && value.size() <= kPostedValueMax) set(d, key, value);
      return;
    case FormRule::start_mode:
      if (iequals(value, "quick")) set(d, key, "QUICK");
      else if (iequals(value, "manual")) set(d, key, "MANUAL");
      else if (iequals(value, "off")) set(d, key, "OFF");
      else set(d, key, "SURPLUS");
      return;
    case FormRule::activation: {
      // The form shows the threshold as positive watts; the file holds it
      // negative. A huge number saturates (and the reader's range check then
      // applies) instead of being cut into another number.
      if (!is_numeric(value)) return;
      set(d, key, std::to_string(-std::strtoll(std::string(value).c_str(), nullptr, 10)));
      return;
    }
    case FormRule::secret:
      if (value.empty()) return;
      [[fallthrough]];
    case FormRule::text:
      if (text_acceptable(name, value, outcome)) set(d, key, value);
      return;
    case FormRule::none:
      return;
  }
}

struct Field {
  std::string name, value;  // decoded
};

std::vector<Field> split_body(std::string_view body) {
  std::vector<Field> fields;
  while (!body.empty()) {
    const auto amp = body.find('&');
    const std::string_view field = body.substr(0, amp);
    body.remove_prefix(amp == std::string_view::npos ? body.size() : amp + 1);
    if (field.empty()) continue;

    const auto eq = field.find('=');
    const std::string_view name = field.substr(0, eq);
    std::string_view value;
    if (eq != std::string_view::npos) {
      value = field.substr(eq + 1);
      value = value.substr(0, value.find('='));  // only up to a second "="
    }
    if (debug_on()) {
      const SettingRow* row = form_row(name);
      if (row && row->form == FormRule::secret)
        debug_line("Settings form field: %s=********", printable(name).c_str());
      else
        debug_line("Settings form field: %s", printable(field).c_str());
    }
    fields.push_back({form_decode(name), form_decode(value)});
  }
  return fields;
}

// The KNX page names the datapoint rows it showed (kKnxShownField, one "1"
// or "0" per datapoint): a hidden row's box was not sent and keeps the file's
// value. A form without that field showed every row.
bool knx_row_shown(const std::vector<Field>& fields, int n) {
  for (auto it = fields.rbegin(); it != fields.rend(); ++it)
    if (iequals(it->name, kKnxShownField))
      return static_cast<std::size_t>(n) > it->value.size() || it->value[static_cast<std::size_t>(n) - 1] != '0';
  return true;
}

}  // namespace

FormOutcome ApplySettingsForm(IniDict& dict, std::string_view body, int mode) {
  FormOutcome outcome;
  if (!dict.loaded()) return outcome;
  complete(dict);
  move_older_group_address(dict);
  if (!iequals(get(dict, "config:version"), "1.6")) set(dict, "config:version", "1.6");
  const std::vector<Field> fields = split_body(body);
  // A check box the browser did not send is an unticked one.
  if (mode == kFormSettings)
    for (const SettingRow& r : setting_rows())
      if (r.form == FormRule::check_box) set(dict, ascii_lower(setting_key(r)), "FALSE");
  if (mode == kFormKnx)
    for (int n = 1; n <= kDatapoints; ++n)
      if (knx_row_shown(fields, n)) set(dict, dpt_key(n, "using"), "FALSE");
  for (const Field& f : fields) apply_field(dict, f.name, f.value, outcome);
  return outcome;
}

}  // namespace kivd
