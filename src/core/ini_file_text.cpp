// The configuration file's text as the write-back lays it out.
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ini_writeback.hpp"

namespace kivd {

namespace {

// Section of each key: the longest section name that prefixes it with ":".
// Tried from the last ":" back, each a hash lookup, so a file of many
// sections costs no more per key than one of few.
std::string section_of(const std::string& key, const std::unordered_set<std::string>& sections) {
  for (auto colon = key.rfind(':'); colon != std::string::npos && colon > 0; colon = key.rfind(':', colon - 1)) {
    std::string prefix = key.substr(0, colon);
    if (sections.count(prefix)) return prefix;
  }
  return key.substr(0, key.find(':'));
}

void append_key_line(std::string& out, const std::string& name, const char* value) {
  std::string v;
  if (value && !encode_ini_value(value, v)) v = value;  // cannot happen for read or accepted values
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

}  // namespace

// The value as a line of the file must give back the same value to the
// line reader. False when it cannot be written at all.
bool encode_ini_value(std::string_view v, std::string& out) {
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

std::string IniBanner() {
  const std::string hashes = std::string(80, '#') + "\n";
  return hashes + framed("# kivd configuration") + framed("# location at: /etc") +
         framed("# Orvane - charging the car from the sun, see README for every key") + hashes;
}

std::string IniFileText(const IniDict& dict) {
  std::string out = IniBanner();

  const auto entries = dict.entries();
  std::unordered_set<std::string> section_names;
  for (const auto& [key, value] : entries)
    if (value == nullptr) section_names.insert(key);
  // Sections in order (those with an entry of their own first, then the
  // others as their first key names them), each with its keys in order.
  std::vector<std::string> order;
  std::unordered_map<std::string, std::vector<std::size_t>> keys_of;
  for (const auto& [key, value] : entries)
    if (value == nullptr && keys_of.try_emplace(key).second) order.push_back(key);
  std::vector<std::size_t> headless;  // ":key", before any section
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].second == nullptr) continue;
    std::string sec = section_of(entries[i].first, section_names);
    if (sec.empty()) {
      headless.push_back(i);
      continue;
    }
    auto [it, added] = keys_of.try_emplace(sec);
    if (added) order.push_back(sec);
    it->second.push_back(i);
  }
  for (std::size_t i : headless) append_key_line(out, entries[i].first.substr(1), entries[i].second);

  for (const std::string& sec : order) {
    out += "\n[" + ascii_lower(sec) + "]\n";
    for (std::size_t i : keys_of[sec])
      append_key_line(out, ascii_lower(entries[i].first.substr(sec.size() + 1)), entries[i].second);
  }
  out += "\n";
  return out;
}

}  // namespace kivd
