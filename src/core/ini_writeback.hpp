// Write-back of a posted settings form into /etc/kivd.ini.
//
// The file is read with our own line rules (ini_dict.hpp), completed with
// every key of the settings table, changed by the posted fields
// (settings_form.cpp) and written anew (ini_file_text.cpp): a banner, then
// each section in the dictionary's order with its keys as "%-30s = %s". Keys
// and sections the table does not know are kept. The new text goes into a
// temporary file beside the old one, which is then renamed over it
// (ini_save.cpp), so a crash or a full disk never leaves a broken file.
#pragma once

#include <string>
#include <string_view>

#include "core/ini_dict.hpp"

namespace kivd {

// Form modes: which page posted the form.
inline constexpr int kFormSettings = 1;
inline constexpr int kFormKnx = 2;

// The hidden field of the KNX page naming the rows it showed: one "1" (shown)
// or "0" (hidden) per datapoint, in order.
inline constexpr const char* kKnxShownField = "KnxShown";

// What a save left out: the fields whose values were refused (they keep the
// file's value), comma-separated, empty when none.
struct FormOutcome {
  std::string refused;
};

// Applies the completion, the move of the older KNX:GROUPADR key, the
// version, the switch reset of the form mode (1 settings, 2 KNX, anything
// else none; on the KNX page only the rows it showed) and the posted fields
// to the dictionary. Names and values are form-decoded ("+" and "%XX");
// a field that was not sent keeps the file's value, apart from the check
// boxes the reset covers. Fields are logged as sent when LOG:DEBUG is 1, the
// database password masked.
FormOutcome ApplySettingsForm(IniDict& dict, std::string_view body, int mode);

// The file's text for the dictionary: banner, sections, closing empty line.
// Values the line reader would misread (";", "#", outer blanks, a leading
// quote) are written quoted.
std::string IniFileText(const IniDict& dict);

// The framed lines that open the written and the default file.
std::string IniBanner();

// The value as the file's line must hold it to read back the same (quoted
// when needed); false when no quoting can.
bool encode_ini_value(std::string_view v, std::string& out);

// Writes text to path through a temporary file in the same folder (flushed
// and synced, then renamed over path). The old file's mode (and owner when
// allowed) are kept; a new file gets mode 0600. A symbolic link at path is
// followed so the link stays. False when anything failed: path is then
// untouched and no temporary file is left.
bool ReplaceFileAtomically(const std::string& path, std::string_view text);

// Removes the temporary files that saves cut short (a crash or a kill between
// creating and renaming) left beside path. Only for a moment when no save can
// be running: at start-up, once this instance holds the PID lock.
void RemoveStaleSaveFiles(const std::string& path);

// Rewrites the configuration file at path with the posted form. 1 when the
// file was written, 0 when not (the old file is then unchanged). A missing
// file is written complete: built-in defaults plus the posted values.
// outcome, when given, receives what the form left out.
int WriteIniFile(const std::string& path, std::string_view body, int mode, FormOutcome* outcome = nullptr);
// The same for ini_path().
int WriteIniFile(std::string_view body, int mode, FormOutcome* outcome = nullptr);

// Sets one key ("SECTION:KEY") of the configuration file at path through the
// same completion and atomic save. 1 when written, 0 when not.
int WriteIniKey(const std::string& path, std::string_view key, std::string_view value);

}  // namespace kivd
