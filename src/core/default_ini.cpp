// The commented configuration file written when /etc/kivd.ini is missing.
#include <string>

#include "core/ini_writeback.hpp"
#include "core/settings.hpp"
#include "core/settings_table.hpp"

namespace kivd {

namespace {

constexpr int kCommentColumn = 28;

const char* const kDatapointNames[kDatapoints] = {
    "meter real power L1",      "meter real power L2",     "meter real power L3",
    "meter real power L1+L2+L3", "meter voltage L1",       "meter voltage L2",
    "meter voltage L3",         "meter power factor",      "meter energy consumption",
    "meter energy surplus",     "available power",         "wallbox charging mode",
    "wallbox state",            "wallbox plug state",      "wallbox system enabled",
    "wallbox input X1",         "wallbox output X2",       "wallbox charging power",
    "wallbox session energy",   "wallbox total energy",    "storage battery SOC",
    "storage battery temp",     "storage battery voltage", "storage battery current",
    "storage power"};

// Setting line with blanks up to the comment column.
std::string line(const std::string& setting, const std::string& comment) {
  std::string s = setting;
  if (s.size() < kCommentColumn) s.resize(kCommentColumn, ' ');
  else s += ' ';
  return s + "; " + comment + "\n";
}

// Setting line with tabs up to the comment column (8-column tab stops).
std::string tab_line(const std::string& setting, const std::string& comment) {
  std::string s = setting;
  std::size_t col = s.size();
  do {
    s += '\t';
    col = (col / 8 + 1) * 8;
  } while (col < kCommentColumn);
  return s + "; " + comment + "\n";
}

}  // namespace

std::string DefaultIniText() {
  std::string t = IniBanner() + "\n";
  std::string_view open;
  const auto close = [&] {
    if (!open.empty() && section_layout(open).blank_after) t += "\n";
  };
  for (const SettingRow& r : setting_rows()) {
    if (r.line == FileLine::none) continue;
    if (open != r.section) {
      close();
      open = r.section;
      const std::string heading = "[" + std::string(open) + "]";
      const char* comment = section_layout(open).comment;
      t += comment ? line(heading, comment) : heading + "\n";
    }
    const std::string setting = std::string(r.key) + "=" + (r.file_value ? r.file_value : r.builtin);
    t += r.line == FileLine::tabs ? tab_line(setting, r.comment) : line(setting, r.comment);
  }
  close();
  for (int n = 1; n <= kDatapoints; ++n) {
    const std::string num = std::to_string(n);
    t += "[DPT_" + num + "]\n";
    t += line(n == 4 ? "USING=TRUE" : "USING=FALSE",
              std::string("send ") + kDatapointNames[n - 1] + ": TRUE = on, FALSE = off");
    t += line("GROUPADR=8/1/" + num, "KNX group address f.e. 8/1/" + num);
    t += "\n";
  }
  return t;
}

}  // namespace kivd
