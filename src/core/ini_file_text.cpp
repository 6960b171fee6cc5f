// The configuration file's text as the write-back lays it out.
#include <algorithm>
#include <string>
#include <vector>

#include "core/ini_writeback.hpp"

namespace kivd {

namespace {

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
    out += "\n[" + ascii_lower(sec) + "]\n";
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (entries[i].second != nullptr && section[i] == sec)
        append_key_line(out, ascii_lower(entries[i].first.substr(sec.size() + 1)), entries[i].second);
  }
  out += "\n";
  return out;
}

}  // namespace kivd
