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
void parse_line(dictionary* d, std::string_view raw, std::string& section, IniDict::EmptyKeys empty) {
  const std::string_view line = trim(raw);
  if (line.empty() || line[0] == ';' || line[0] == '#') return;
  if (line[0] == '[') {
    const auto close = line.find(']');
    if (close == std::string_view::npos) return;
    section = ascii_lower(trim(line.substr(1, close - 1)));
    if (section.empty()) return;
    dictionary_set(d, section.c_str(), nullptr);
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
      (empty == IniDict::EmptyKeys::undefined || iniparser_find_entry(d, full.c_str()) != 0))
    return;
  dictionary_set(d, full.c_str(), stored.c_str());
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
  d.dict_.reset(dictionary_new(0));
  if (!d.dict_) return d;
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
    parse_line(d.dict_.get(), line, section, empty);
    text.remove_prefix(skip);
  }
  return d;
}

bool IniDict::has(const std::string& key) const {
  return dict_ && iniparser_getstring(dict_.get(), ascii_lower(key).c_str(), nullptr) != nullptr;
}

std::string IniDict::get_string(const std::string& key, std::string_view def) const {
  if (!has(key)) return std::string(def);
  return iniparser_getstring(dict_.get(), ascii_lower(key).c_str(), "");
}

int IniDict::get_int(const std::string& key, int def) const {
  if (!has(key)) return def;
  return atoi_rules(iniparser_getstring(dict_.get(), ascii_lower(key).c_str(), ""));
}

unsigned long IniDict::get_ulong(const std::string& key, unsigned long def) const {
  if (!has(key)) return def;
  return std::strtoul(iniparser_getstring(dict_.get(), ascii_lower(key).c_str(), ""), nullptr, 10);
}

std::vector<std::pair<std::string, const char*>> IniDict::entries() const {
  std::vector<std::pair<std::string, const char*>> out;
  if (!dict_) return out;
  for (ssize_t i = 0; i < dict_->size; ++i) {
    if (dict_->key[i] == nullptr) continue;
    out.emplace_back(dict_->key[i], dict_->val[i]);
  }
  return out;
}

}  // namespace kivd
