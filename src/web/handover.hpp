// Hand-over from a request child to the daemon: the child writes kivd.var
// (name=value pairs joined by "&") or kivd.act (one action word) in the
// daemon's private folder (LOG_DIR/kivd.d); the server thread reads, deletes
// and applies them after the child ended. A file there that is not ours or
// that others may write is removed unread.
#pragma once

#include <string>
#include <string_view>

namespace kivd::web {

std::string temp_variables_path();  // LOG_DIR/kivd.d/kivd.var, empty without the folder
std::string temp_actions_path();    // LOG_DIR/kivd.d/kivd.act, empty without the folder

// 0 on success, -1 (and a log line) when the file cannot be written. The
// files are opened without following a symbolic link and must be plain
// files.
int set_temp_variables(std::string_view text);
int set_temp_actions(std::string_view text);

// Read the file into text (empty unless it holds exactly one line), delete
// it, return 1; 0 with empty text when there is no file.
int get_temp_variables(std::string& text);  // at most 1999 characters
int get_temp_actions(std::string& text);    // at most 19 characters

// Removes both files (server start: nothing from an earlier run is applied).
void remove_temp_files();

// The manual-current step for a requested current in mA.
int manual_current_step(int n);
// The user mode that a "mode" value selects (substring search, case counts):
// surplus/automatic 0, quick 1, off 3, manual 2, nothing 0.
int remote_mode(std::string_view value);
// Remote value rules, shared by SetVariables and the /remote answer.
int limit_activation(int n);  // 1..21999 kept, else 1380 (positive watts)
int limit_phases(int n);      // 1..3 kept, else 1
int limit_min_charge(int n);  // 6000/7020/7980/9000 kept, else 6000

// Applies one name=value pair to the live values, then derives the
// effective charging mode.
void SetVariables(std::string_view pair);
// Splits at every "&" and applies every non-empty piece in order; log_prefix
// names the debug line written per piece (nullptr: none).
void SetVariablesAll(std::string_view pairs, const char* log_prefix);

}  // namespace kivd::web
