// The configuration file's entries, read by our own line reader.
//
// iniparser 4.1's loader refuses a whole file for a single line it does not
// like (our own default file's "[SMA]   ; comment" line among them) and
// treats "HOST=" as an empty value; the file format we keep is the older
// one, so lines are parsed here. Its dictionary searches every entry on each
// lookup and insert (quadratic in the file's size), so the entries are kept
// here, in file order, with a hash index over their names:
//  - "[name]" opens a section (anything after "]" is ignored);
//  - key = value, the value ending at the first ";" or "#", trailing blanks
//    removed; "..." or '...' taken without the quotes ("" is an empty value);
//  - a key whose unquoted value is empty is not defined (built-in applies),
//    unless the write-back loads the file: it keeps such a key in place;
//  - comment lines start with ";" or "#"; other lines are skipped;
//  - lines are read in pieces of at most 1023 bytes;
//  - section and key names are lower-cased;
//  - numbers follow atoi rules (decimal, leading digits).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kivd {

// The reader takes at most this many bytes of a line; the rest is read as
// a line of its own.
inline constexpr std::size_t kIniLineMax = 1023;

// The UTF-8 byte order mark some editors put at the start of a file: skipped
// on reading, written again by a save.
inline constexpr std::string_view kBom = "\xEF\xBB\xBF";
inline bool has_bom(std::string_view text) { return text.substr(0, kBom.size()) == kBom; }

// Names as the dictionary stores them.
std::string ascii_lower(std::string_view s);

class IniDict {
 public:
  IniDict() = default;
  static IniDict load_file(const std::string& path);  // empty when unreadable
  // How "KEY=" loads: undefined for the reader, an empty entry in its place
  // for the write-back, so that a save leaves the line where it was.
  enum class EmptyKeys { undefined, kept };
  static IniDict load_text(std::string_view text, EmptyKeys empty = EmptyKeys::undefined);

  bool loaded() const { return loaded_; }

  // Exact names as stored ("section" or "section:key", lower case).
  bool exists(std::string_view name) const { return index_.find(std::string(name)) != index_.end(); }
  // The key's value; null for a section or a missing name.
  const char* find(std::string_view name) const;
  // Sets the value (null: a section), in place when the name exists, else
  // at the end.
  void set(std::string_view name, const char* value);
  void set(std::string_view name, std::string_view value) { set(name, std::string(value).c_str()); }
  void unset(std::string_view name);

  // "section:key", case-insensitive.
  bool has(const std::string& key) const;
  std::string get_string(const std::string& key, std::string_view def) const;
  int get_int(const std::string& key, int def) const;
  unsigned long get_ulong(const std::string& key, unsigned long def) const;

  // Entries in file order: sections appear as ("section", null value).
  std::vector<std::pair<std::string, const char*>> entries() const;

 private:
  struct Entry {
    std::string name;
    std::optional<std::string> value;  // none: a section
    bool removed = false;
  };
  bool loaded_ = false;
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace kivd
