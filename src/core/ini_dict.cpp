#include "core/ini_dict.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/utils.hpp"

namespace kivd {

std::string ascii_lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// One line of the file; section is the current section name.
void parse_line(IniDict& d, std::string_view raw, std::string& section, IniDict::EmptyKeys empty) {
  const std::string_view line = trim(raw);
  if (line.empty() || line[0] == ';' || line[0] == '#') return;
  if (line[0] == '[') {
    const auto close = line.find(']');
    if (close == std::string_view::npos) return;
    section = ascii_lower(trim(line.substr(1, close - 1)));
    if (section.empty()) return;
    d.set(section, nullptr);
    return;
  }
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) return;
  const std::string key = ascii_lower(trim(line.substr(0, eq)));
  if (key.empty()) return;
  std::string_view value = trim(line.substr(eq + 1));
  std::string stored;
  const bool quoted =
      value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.find(value[0], 1) != std::string_view::npos;
  if (quoted) {
    stored = std::string(value.substr(1, value.find(value[0], 1) - 1));
  } else {
    value = trim(value.substr(0, value.find_first_of(";#")));
    stored = std::string(value);
  }
  const std::string full = section + ":" + key;
  // "KEY=" defines nothing for the reader; the write-back keeps its place
  // unless the key has a value already, which the reader then takes.
  if (stored.empty() && !quoted &&
      (empty == IniDict::EmptyKeys::undefined || d.exists(full)))
    return;
  d.set(full, stored.c_str());
}

}  // namespace

IniDict IniDict::load_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return load_text(ss.str());
}

IniDict IniDict::load_text(std::string_view text, EmptyKeys empty) {
  IniDict d;
  d.loaded_ = true;
  std::string section;
  // A byte order mark (some editors write one) would hide the first section.
  if (has_bom(text)) text.remove_prefix(kBom.size());
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::size_t take = end == std::string_view::npos ? text.size() : end;
    std::size_t skip = take + (end == std::string_view::npos ? 0 : 1);
    if (take > kIniLineMax) take = skip = kIniLineMax;
    std::string line(text.substr(0, take));
    line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
    parse_line(d, line, section, empty);
    text.remove_prefix(skip);
  }
  return d;
}

const char* IniDict::find(std::string_view name) const {
  const auto it = index_.find(std::string(name));
  if (it == index_.end()) return nullptr;
  const auto& v = entries_[it->second].value;
  return v ? v->c_str() : nullptr;
}

void IniDict::set(std::string_view name, const char* value) {
  loaded_ = true;
  std::optional<std::string> v;
  if (value) v = value;
  const auto [it, added] = index_.try_emplace(std::string(name), entries_.size());
  if (added)
    entries_.push_back({std::string(name), std::move(v)});
  else
    entries_[it->second].value = std::move(v);
}

void IniDict::unset(std::string_view name) {
  const auto it = index_.find(std::string(name));
  if (it == index_.end()) return;
  entries_[it->second].removed = true;
  entries_[it->second].value.reset();
  index_.erase(it);
}

bool IniDict::has(const std::string& key) const { return find(ascii_lower(key)) != nullptr; }

std::string IniDict::get_string(const std::string& key, std::string_view def) const {
  const char* v = find(ascii_lower(key));
  return v ? std::string(v) : std::string(def);
}

int IniDict::get_int(const std::string& key, int def) const {
  const char* v = find(ascii_lower(key));
  return v ? atoi_rules(v) : def;
}

unsigned long IniDict::get_ulong(const std::string& key, unsigned long def) const {
  const char* v = find(ascii_lower(key));
  return v ? std::strtoul(v, nullptr, 10) : def;
}

std::vector<std::pair<std::string, const char*>> IniDict::entries() const {
  std::vector<std::pair<std::string, const char*>> out;
  out.reserve(index_.size());
  for (const Entry& e : entries_)
    if (!e.removed) out.emplace_back(e.name, e.value ? e.value->c_str() : nullptr);
  return out;
}

}  // namespace kivd
