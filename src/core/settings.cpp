#include "core/settings.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <variant>
#include <vector>

#include "core/ini_dict.hpp"
#include "core/log.hpp"
#include "core/password_hash.hpp"
#include "core/settings_table.hpp"
#include "core/utils.hpp"

namespace kivd {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}
bool is_true(std::string_view s) { return iequals(s, "TRUE"); }
bool is_false(std::string_view s) { return iequals(s, "FALSE"); }
bool switch_value(std::string_view s, bool fallback) { return is_true(s) || (!is_false(s) && fallback); }

bool is_manual_current(int mA) {
  return std::find(kManualCurrents.begin(), kManualCurrents.end(), mA) != kManualCurrents.end();
}
bool is_min_charge_current(int mA) { return mA == 6000 || mA == 7020 || mA == 7980 || mA == 9000; }

namespace {

std::atomic<const Settings*> g_current{nullptr};
std::mutex g_retired_mutex;
std::vector<std::unique_ptr<const Settings>>& retired() {
  static std::vector<std::unique_ptr<const Settings>> v;
  return v;
}

const Settings& builtin() {
  static const Settings s;
  return s;
}

template <class... Ts> struct Overloaded : Ts... { using Ts::operator()...; };
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;  // clang 14 does not deduce it

// One key into its member, the built-in for a missing key; no rule yet.
void read_key(const IniDict& d, const SettingRow& r, Settings& s) {
  const std::string key = setting_key(r);
  const auto read = Overloaded{
      [&](const TextKey& k) { s.*k.member = d.get_string(key, r.builtin).substr(0, k.max_length); },
      [&](const NumberKey& k) { s.*k.member = d.get_int(key, atoi_rules(r.builtin)); },
      [&](const SwitchKey& k) { s.*k.member = switch_value(d.get_string(key, r.builtin), is_true(r.builtin)); },
      [&](const UnsignedKey& k) {
        s.*k.member = static_cast<std::uint32_t>(std::strtoul(r.builtin, nullptr, 10));
        if (k.read_if(s)) s.*k.member = static_cast<std::uint32_t>(d.get_ulong(key, s.*k.member));
      },
      [&](const MappedKey& k) { k.apply(s, d.get_string(key, r.builtin).substr(0, kTextMax)); },
  };
  std::visit(read, r.member);
}

void note_default(std::vector<std::string>* notes, const SettingRow& r, std::string_view value) {
  if (!notes) return;
  std::string n = "Settings: [";
  n += r.section;
  n += "] ";
  n += r.key;
  n += "=";
  n += value.substr(0, 60);
  n += " is not valid, the default ";
  n += *r.builtin ? r.builtin : "(empty)";
  n += " is used";
  notes->push_back(std::move(n));
}

void apply_rule(const SettingRow& r, Settings& s, std::vector<std::string>* notes) {
  if (const auto* k = std::get_if<TextKey>(&r.member); k && k->valid && !k->valid(s.*k->member)) {
    note_default(notes, r, s.*k->member);
    s.*k->member = r.builtin;
  }
  if (const auto* k = std::get_if<NumberKey>(&r.member); k && k->valid && !k->valid(s.*k->member, s)) {
    note_default(notes, r, std::to_string(s.*k->member));
    s.*k->member = atoi_rules(r.builtin);
  }
}

// Keys the reader does not know: a typo in a name leaves its default in use.
void note_unknown_keys(const IniDict& d, std::vector<std::string>* notes) {
  if (!notes || !d.loaded()) return;
  // Stored names are lower case; one set of the known ones keeps a large
  // file's check linear.
  static const std::unordered_set<std::string> known = [] {
    std::unordered_set<std::string> k{"knx:groupadr"};
    for (const SettingRow& r : setting_rows()) k.insert(ascii_lower(setting_key(r)));
    for (int n = 1; n <= kDatapoints; ++n) {
      const std::string sec = "dpt_" + std::to_string(n);
      k.insert(sec + ":using");
      k.insert(sec + ":groupadr");
    }
    return k;
  }();
  for (const auto& [key, value] : d.entries()) {
    if (!value || key.find(':') == std::string::npos) continue;  // a section
    if (!known.count(key)) notes->push_back("Settings: unknown key " + key.substr(0, 60) + " ignored");
  }
}

}  // namespace

const Settings& cfg() {
  const Settings* s = g_current.load(std::memory_order_acquire);
  return s ? *s : builtin();
}

void replace_settings(const Settings& s) {
  // Every restart pass reads the file again; a replaced model is kept for
  // good, so an unchanged one must not cost another.
  if (const Settings* now = g_current.load(std::memory_order_acquire); now && *now == s) return;
  auto copy = std::make_unique<const Settings>(s);
  const Settings* raw = copy.get();
  {
    std::lock_guard lock(g_retired_mutex);
    retired().push_back(std::move(copy));
  }
  g_current.store(raw, std::memory_order_release);
}

Settings::Settings() {
  const IniDict none;
  for (const SettingRow& r : setting_rows()) read_key(none, r, *this);
  DPT_Using.fill(false);
  for (int n = 1; n <= kDatapoints; ++n) DPT[n - 1] = "8/1/" + std::to_string(n);
}

static Settings read_dict(const IniDict& d, std::vector<std::string>* notes) {
  Settings s;
  for (const SettingRow& r : setting_rows()) read_key(d, r, s);
  const bool older_file = d.has("KNX:GROUPADR");
  for (int n = 1; n <= kDatapoints; ++n) {
    const std::string sec = "DPT_" + std::to_string(n);
    if (n == 4 && older_file) {
      s.DPT_Using[3] = false;
      s.DPT[3] = d.get_string("KNX:GROUPADR", "8/1/4").substr(0, kTextMax);
      continue;
    }
    s.DPT_Using[n - 1] = switch_value(d.get_string(sec + ":USING", "FALSE"), false);
    s.DPT[n - 1] = d.get_string(sec + ":GROUPADR", s.DPT[n - 1]).substr(0, kTextMax);
  }
  // The validity rules, in table order.
  for (const SettingRow& r : setting_rows()) apply_rule(r, s, notes);
  note_unknown_keys(d, notes);
  if (notes && !s.WebPasswordHash.empty() && !valid_password_hash(s.WebPasswordHash))
    notes->push_back(
        "Settings: [WEBSERVER] PASSWORD_HASH is set but unusable (not a whole yescrypt, bcrypt or SHA-512 crypt "
        "hash): the web interface is locked; set a new password with kivd-passwd");
  return s;
}

Settings ReadAndHandleIniFile(const std::string& path, std::vector<std::string>* notes) {
  return read_dict(IniDict::load_file(path), notes);
}

Settings ParseIniText(std::string_view text, std::vector<std::string>* notes) {
  return read_dict(IniDict::load_text(text), notes);
}

void log_settings_notes(const std::vector<std::string>& notes) {
  for (const std::string& n : notes) log_line("%s", n.c_str());
}

}  // namespace kivd
