// Hand-over from a request child to the daemon: the child writes kivd.var
// (name=value pairs joined by "&") or kivd.act (one action word) in the
// daemon's private folder (LOG_DIR/kivd.d); the server thread reads, deletes
// and applies them after the child ended. A file there that is not ours or
// that others may write is removed unread.
#pragma once

#include <string>
#include <string_view>

#include "core/control_vars.hpp"

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

// The control vocabulary, where the hand-over and the pages name it.
using kivd::limit_activation;
using kivd::limit_min_charge;
using kivd::limit_phases;
using kivd::manual_current_step;
using kivd::remote_mode;
using kivd::SetVariables;
using kivd::SetVariablesAll;

}  // namespace kivd::web
