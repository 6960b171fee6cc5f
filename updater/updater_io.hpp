// File work of the updater. It links nothing of the daemon, so the few helpers
// it shares with it are its own copies here.
#pragma once

#include <string>

namespace kiv_updater {

// Appends "<asctime> <text>\n" to the file; a file that cannot be opened
// loses the line.
void log_message(const std::string& file, const std::string& text);

// True when stat() on the path succeeds (file or directory).
bool FileExists(const std::string& path);

// Empty when the file is an ELF program of this program's own machine
// (class, byte order and architecture as /proc/self/exe); otherwise why not.
// A daemon that cannot run here must never replace the working one.
std::string check_program(const std::string& path);

// Installs source as dest without a moment in which dest is missing or
// partly written: the bytes go into a temporary file beside dest, are
// compared with the source, made executable (dest's former mode, or for
// a first install the source's plus the execute bits the umask allows), flushed to disk and
// renamed over dest. On failure dest is untouched, the temporary file is
// removed and the reason is returned; empty on success.
std::string install_program(const std::string& source, const std::string& dest);

// Copies the directory source into the directory dest_dir, as "cp -a" does
// (dest_dir/<name of source>): folders are created or kept, regular files
// replaced one by one through a temporary file and rename (so a web page is
// never served half written), symbolic links recreated, modes and times kept,
// the owner kept when allowed. Files in the destination that the source does
// not have stay. Empty on success, otherwise the first reason.
std::string copy_tree(const std::string& source, const std::string& dest_dir);

}  // namespace kiv_updater
