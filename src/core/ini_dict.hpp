// RAII over an iniparser dictionary filled by our own line reader.
//
// The library's 4.1 loader refuses a whole file for a single line it does not
// like (our own default file's "[SMA]   ; comment" line among them) and
// treats "HOST=" as an empty value; the file format we keep is the older
// one, so lines are parsed here and only stored in the library's dictionary:
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

#include <dictionary.h>
#include <iniparser.h>

#include <memory>
#include <string>
#include <string_view>
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

  bool loaded() const { return dict_ != nullptr; }
  dictionary* raw() const { return dict_.get(); }

  // "section:key", case-insensitive.
  bool has(const std::string& key) const;
  std::string get_string(const std::string& key, std::string_view def) const;
  int get_int(const std::string& key, int def) const;
  unsigned long get_ulong(const std::string& key, unsigned long def) const;

  // Entries in file order: sections appear as ("section", null value).
  std::vector<std::pair<std::string, const char*>> entries() const;

 private:
  struct Free {
    void operator()(dictionary* d) const { iniparser_freedict(d); }
  };
  std::unique_ptr<dictionary, Free> dict_;
};

}  // namespace kivd
