#include "core/ini_writeback.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/log.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"
#include "core/unique_fd.hpp"
#include "core/utils.hpp"

namespace kivd {

namespace {

// Posted values longer than this are dropped: every setting is read
// with at most 59 characters, and the line reader splits lines at 1023 bytes,
// so an overlong value could otherwise turn into a line of its own.
constexpr std::size_t kPostedValueMax = 255;

struct Key {
  const char* name;
  const char* value;
};
struct Section {
  const char* name;
  std::vector<Key> keys;
};

// Every section and key of the settings model with its built-in default, in
// the order a completed file lists them. SMA:EMU is deliberately not added.
const std::vector<Section>& model() {
  static const std::vector<Section> m = {
      {"config", {{"version", "1.6"}}},
      {"log", {{"log_dir", "/tmp"}, {"log_file", "/tmp/kivd.log"}, {"pid_file", "/tmp/kivd.pid"}, {"debug", "0"}}},
      {"network", {{"bindtodevice", ""}}},
      {"webserver", {{"port", "18001"}}},
      {"smartmeter", {{"using", "TRUE"}, {"type", "SMA"}, {"host", "239.12.255.254"}, {"port", "9522"}}},
      {"sma", {{"serial", "0"}}},
      {"infrastructure",
       {{"current", "35000"}, {"distance", "2000"}, {"startmode", "SURPLUS"}, {"manualcurrent", "6000"}}},
      {"wallbox",
       {{"using", "FALSE"},
        {"type", "KEBAP20"},
        {"host", "192.168.10.151"},
        {"port", "7090"},
        {"activation", "-1380"},
        {"car_max_phases", "1"},
        {"car_min_charge", "6000"},
        {"teslabugfix", "0"}}},
      {"mysql",
       {{"using", "FALSE"},
        {"host", "192.168.10.10"},
        {"port", "3306"},
        {"username", "user"},
        {"password", "chgpw123"},
        {"database", "smarthouse"}}},
      {"storagesystem",
       {{"using", "FALSE"}, {"type", "SIX0H"}, {"host", "192.168.10.30"}, {"port", "9522"}, {"evratio", "100"}}},
      {"knx", {{"using", "FALSE"}, {"router", "192.168.10.20"}, {"port", "3671"}, {"interval", "30"}}},
  };
  return m;
}

enum class Rule { check_box, text, number, start_mode, activation, group_address };

struct Field {
  const char* name;  // as the form sends it, compared without regard to case
  const char* key;
  Rule rule;
};

constexpr Field kFields[] = {
    {"SmartmeterUsing", "smartmeter:using", Rule::check_box},
    {"SmartmeterType", "smartmeter:type", Rule::text},
    {"SmartmeterIP", "smartmeter:host", Rule::text},
    {"SmartmeterPort", "smartmeter:port", Rule::number},
    {"SmartmeterSerial", "sma:serial", Rule::number},
    {"FusesValue", "infrastructure:current", Rule::number},
    {"SafetyValue", "infrastructure:distance", Rule::number},
    {"StartMode", "infrastructure:startmode", Rule::start_mode},
    {"ManualValue", "infrastructure:manualcurrent", Rule::number},
    {"WallboxUsing", "wallbox:using", Rule::check_box},
    {"WallboxType", "wallbox:type", Rule::text},
    {"WallboxIP", "wallbox:host", Rule::text},
    {"ActivationValue", "wallbox:activation", Rule::activation},
    {"MaxPhases", "wallbox:car_max_phases", Rule::number},
    {"MinCharge", "wallbox:car_min_charge", Rule::number},
    {"TeslaWorkaround", "wallbox:teslabugfix", Rule::number},
    {"MysqlUsing", "mysql:using", Rule::check_box},
    {"MysqlIP", "mysql:host", Rule::text},
    {"MysqlPort", "mysql:port", Rule::number},
    {"MysqlUsername", "mysql:username", Rule::text},
    {"MysqlPassword", "mysql:password", Rule::text},
    {"MysqlDatabase", "mysql:database", Rule::text},
    {"StorageUsing", "storagesystem:using", Rule::check_box},
    {"StorageType", "storagesystem:type", Rule::text},
    {"StorageIP", "storagesystem:host", Rule::text},
    {"StorageRatio", "storagesystem:evratio", Rule::text},
    {"KNXUsing", "knx:using", Rule::check_box},
    {"KNXIP", "knx:router", Rule::text},
    {"KNXPort", "knx:port", Rule::number},
    {"KNXInterval", "knx:interval", Rule::number},
};

constexpr const char* kSwitches[] = {"smartmeter:using", "wallbox:using", "mysql:using", "storagesystem:using",
                                     "knx:using"};

std::string dpt_key(int n, const char* key) { return "dpt_" + std::to_string(n) + ":" + key; }

bool exists(const IniDict& d, const std::string& key) { return iniparser_find_entry(d.raw(), key.c_str()) != 0; }

void set(IniDict& d, const std::string& key, std::string_view value) {
  dictionary_set(d.raw(), key.c_str(), std::string(value).c_str());
}

std::string get(const IniDict& d, const std::string& key) {
  const char* v = iniparser_getstring(d.raw(), key.c_str(), nullptr);
  return v ? v : "";
}

void complete(IniDict& d) {
  for (const Section& s : model()) {
    if (!exists(d, s.name)) dictionary_set(d.raw(), s.name, nullptr);
    for (const Key& k : s.keys) {
      const std::string key = std::string(s.name) + ":" + k.name;
      if (!exists(d, key)) set(d, key, k.value);
    }
  }
  for (int n = 1; n <= kDatapoints; ++n) {
    const std::string sec = "dpt_" + std::to_string(n);
    if (!exists(d, sec)) dictionary_set(d.raw(), sec.c_str(), nullptr);
    if (!exists(d, dpt_key(n, "using"))) set(d, dpt_key(n, "using"), "FALSE");
    if (!exists(d, dpt_key(n, "groupadr"))) set(d, dpt_key(n, "groupadr"), "8/1/" + std::to_string(n));
  }
}

// The older layout kept datapoint 4's group address as KNX:GROUPADR; the
// reader takes it from there (unused) while that key exists.
void move_older_group_address(IniDict& d) {
  if (!exists(d, "knx:groupadr")) return;
  std::string address = get(d, "knx:groupadr");
  if (address.size() > kTextMax) address.resize(kTextMax);
  set(d, dpt_key(4, "using"), "FALSE");
  set(d, dpt_key(4, "groupadr"), address);
  iniparser_unset(d.raw(), "knx:groupadr");
}

// For the log: control characters shown as "?", long names cut.
std::string printable(std::string_view s) { return kivd::printable(s, 60); }

// The value as a line of the file must give back the same value to the
// line reader. Empty when it cannot be written at all.
bool encode_value(std::string_view v, std::string& out) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
  const bool quote = !v.empty() && (v.find_first_of(";#") != std::string_view::npos || blank(v.front()) ||
                                    blank(v.back()) ||
                                    ((v.front() == '"' || v.front() == '\'') && v.find(v.front(), 1) != v.npos));
  if (!quote) {
    out.assign(v);
    return true;
  }
  const char q = v.find('"') == std::string_view::npos ? '"' : v.find('\'') == std::string_view::npos ? '\'' : 0;
  if (q == 0) return false;
  out.clear();
  out += q;
  out += v;
  out += q;
  return true;
}

// A text must stay one line that reads back as the same value.
bool text_acceptable(std::string_view name, std::string_view value) {
  std::string encoded;
  if (!has_control(value) && value.size() <= kPostedValueMax && encode_value(value, encoded)) return true;
  log_line("Settings form: value of field %s refused (control characters, both quote marks or too long)",
           printable(name).c_str());
  return false;
}

void apply_field(IniDict& d, std::string_view name, std::string_view value) {
  const Field* field = nullptr;
  std::string group_key;
  for (const Field& f : kFields)
    if (iequals(name, f.name)) field = &f;
  // c_1 to c_25 and g_1 to g_25, the number written as the page writes it.
  if (!field && name.size() >= 3 && name[1] == '_' && (name[0] == 'c' || name[0] == 'C' || name[0] == 'g' || name[0] == 'G')) {
    const std::string_view num = name.substr(2);
    const int n = is_numeric(num) && num.size() <= 2 ? atoi_rules(num) : 0;
    if (n >= 1 && n <= kDatapoints && std::to_string(n) == num) {
      static constexpr Field using_field{"", "", Rule::check_box};
      static constexpr Field group_field{"", "", Rule::group_address};
      const bool check = name[0] == 'c' || name[0] == 'C';
      field = check ? &using_field : &group_field;
      group_key = dpt_key(n, check ? "using" : "groupadr");
    }
  }
  if (!field) return;
  const std::string key = group_key.empty() ? field->key : group_key;

  switch (field->rule) {
    case Rule::check_box:
      if (iequals(value, "true")) set(d, key, "TRUE");
      return;
    case Rule::number:
      if (is_numeric(value) && value.size() <= kPostedValueMax) set(d, key, value);
      return;
    case Rule::start_mode:
      if (iequals(value, "quick")) set(d, key, "QUICK");
      else if (iequals(value, "manual")) set(d, key, "MANUAL");
      else set(d, key, "SURPLUS");  // OFF cannot be chosen from the form
      return;
    case Rule::activation: {
      // The form shows the threshold as positive watts; the file holds it
      // negative. A huge number saturates (and the reader's range check then
      // applies) instead of being cut into another number.
      if (!is_numeric(value)) return;
      set(d, key, std::to_string(-std::strtoll(std::string(value).c_str(), nullptr, 10)));
      return;
    }
    case Rule::group_address:
      if (text_acceptable(name, value)) set(d, key, stringReplace("%2F", "/", stringReplace("%2F", "/", value)));
      return;
    case Rule::text:
      if (text_acceptable(name, value)) set(d, key, value);
      return;
  }
}

void apply_body(IniDict& d, std::string_view body) {
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
      if (iequals(name, "MysqlPassword"))
        debug_line("Settings form field: %s=********", printable(name).c_str());
      else
        debug_line("Settings form field: %s", printable(field).c_str());
    }
    apply_field(d, name, value);
  }
}

// Section of each key: the longest section name that prefixes it with ":".
std::string section_of(const std::string& key, const std::vector<std::string>& sections) {
  std::string best;
  bool found = false;
  for (const std::string& s : sections)
    if (key.size() > s.size() && key.compare(0, s.size(), s) == 0 && key[s.size()] == ':' &&
        (!found || s.size() > best.size())) {
      best = s;
      found = true;
    }
  return found ? best : key.substr(0, key.find(':'));
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void append_key_line(std::string& out, const std::string& name, const char* value) {
  std::string v;
  if (value && !encode_value(value, v)) v = value;  // cannot happen for read or accepted values
  std::string line = name;
  if (line.size() < 30) line.resize(30, ' ');
  line += " = ";
  line += v;
  // The padding must not push a long line past what the reader takes in
  // one piece: its tail would be read as a key of its own. Without blanks
  // the line is never longer than the one it was read from.
  if (line.size() > kIniLineMax) line = name + "=" + v;
  out += line;
  out += '\n';
}

std::string framed(const std::string& text) {
  std::string line = text;
  line.resize(79, ' ');
  return line + "#\n";
}

std::string dir_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

void ApplySettingsForm(IniDict& dict, std::string_view body, int mode) {
  if (!dict.loaded()) return;
  complete(dict);
  move_older_group_address(dict);
  if (!iequals(get(dict, "config:version"), "1.6")) set(dict, "config:version", "1.6");
  // A check box the browser did not send is an unticked one.
  if (mode == kFormSettings)
    for (const char* k : kSwitches) set(dict, k, "FALSE");
  if (mode == kFormKnx)
    for (int n = 1; n <= kDatapoints; ++n) set(dict, dpt_key(n, "using"), "FALSE");
  apply_body(dict, body);
}

std::string IniFileText(const IniDict& dict) {
  std::string out;
  out += std::string(80, '#') + "\n";
  out += framed("# kivd configuration");
  out += framed("# location at: /etc");
  out += framed("# Orvane - charging the car from the sun, see README for every key");
  out += std::string(80, '#') + "\n";

  const auto entries = dict.entries();
  std::vector<std::string> sections;
  for (const auto& [key, value] : entries)
    if (value == nullptr) sections.push_back(key);
  // Each key's section, found once: the search runs over all sections.
  std::vector<std::string> section(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].second != nullptr) section[i] = section_of(entries[i].first, sections);
  // Keys whose section has no entry of its own: those before any section
  // (":key") go first without a heading; others get their heading at the end.
  std::vector<std::string> order = sections;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].second == nullptr) continue;
    const std::string& sec = section[i];
    if (!sec.empty() && std::find(order.begin(), order.end(), sec) == order.end()) order.push_back(sec);
  }
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].second != nullptr && section[i].empty())
      append_key_line(out, entries[i].first.substr(1), entries[i].second);

  for (const std::string& sec : order) {
    out += "\n[" + lower(sec) + "]\n";
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (entries[i].second != nullptr && section[i] == sec)
        append_key_line(out, lower(entries[i].first.substr(sec.size() + 1)), entries[i].second);
  }
  out += "\n";
  return out;
}

namespace {

// The file a save replaces: a symbolic link at path is followed, so the
// link stays.
std::string save_target(const std::string& path) {
  struct stat lt;
  if (::lstat(path.c_str(), &lt) == 0 && S_ISLNK(lt.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) return resolved;
  }
  return path;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view text) {
  const std::string target = save_target(path);
  mode_t mode;
  bool existed = false;
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
    existed = true;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0644 & ~mask;
  }

  const std::string base = target.substr(target.find_last_of('/') + 1);
  std::string tmp = dir_of(target) + "/." + base + ".XXXXXX";
  UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd) {
    log_line("Settings: cannot create a temporary file beside %s: %s", target.c_str(), std::strerror(errno));
    return false;
  }
  auto fail = [&](const char* what) {
    const int err = errno;
    ::unlink(tmp.c_str());
    log_line("Settings: cannot %s %s: %s", what, tmp.c_str(), std::strerror(err));
    return false;
  };
  if (existed) [[maybe_unused]] int r = ::fchown(fd.get(), st.st_uid, st.st_gid);  // only root may; fine otherwise
  if (::fchmod(fd.get(), mode) != 0) return fail("set the mode of");
  if (!write_all(fd.get(), text)) return fail("write");
  if (::fsync(fd.get()) != 0) return fail("flush");
  if (::close(fd.release()) != 0) return fail("close");
  if (::rename(tmp.c_str(), target.c_str()) != 0) return fail("rename to the configuration");
  const UniqueFd dir(::open(dir_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

int WriteIniFile(const std::string& path, std::string_view body, int mode) {
  std::string text;
  {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
      if (errno != ENOENT) {
        log_line("Settings: cannot read %s: %s", path.c_str(), std::strerror(errno));
        return 0;
      }
      // Writing only the banner would lose every setting while the page
      // reports them saved: write the built-in defaults and the posted values.
      log_line("Settings: %s not found, written anew from the built-in defaults and the posted values", path.c_str());
    } else {
      struct stat st;
      if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        log_line("Settings: %s is not a regular file", path.c_str());
        return 0;
      }
      char buf[8192];
      for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          log_line("Settings: cannot read %s: %s", path.c_str(), std::strerror(errno));
          return 0;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  IniDict dict = IniDict::load_text(text);
  if (!dict.loaded()) return 0;
  ApplySettingsForm(dict, body, mode);
  return ReplaceFileAtomically(path, IniFileText(dict)) ? 1 : 0;
}

int WriteIniFile(std::string_view body, int mode) { return WriteIniFile(ini_path(), body, mode); }

void RemoveStaleSaveFiles(const std::string& path) {
  const std::string target = save_target(path);
  const std::string dir = dir_of(target);
  const std::string prefix = "." + target.substr(target.find_last_of('/') + 1) + ".";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix) continue;
    const std::string file = dir + "/" + std::string(name);
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlink(file.c_str()) == 0) log_line("Settings: unfinished save %s removed", file.c_str());
  }
  ::closedir(d);
}

}  // namespace kivd
