// The daemon's own folder below LOG_DIR. LOG_DIR may be shared (the default
// is /tmp), so files the daemon keeps for itself go into a folder that only
// it can enter.
#pragma once

#include <sys/stat.h>

#include <string>

namespace kivd {

// LOG_DIR/kivd.d, created with mode 0700 when missing. Empty (and logged) when
// something else stands there: a link, a file, or a folder that is not ours
// or that group or others may enter.
std::string private_dir();
// The same check for the folder "kivd.d" below parent.
std::string private_dir_in(const std::string& parent);

// True when a file found there may be trusted: ours, and neither group nor
// others may write it. Anything else was planted (by root or through an
// earlier, looser folder) and is never read or run.
bool trusted_file(const struct stat& st);
// Empty when path (not followed if a link) is a trusted regular file;
// otherwise why not.
std::string untrusted_reason(const std::string& path);

// The unpacked update below the private folder; empty without one.
std::string update_folder();
// The file the daemon writes once its first pass is up; the updater waits
// for it before it counts a new program as started.
std::string running_marker_path();
// Writes the daemon's process id into the running marker.
void write_running_marker();
// Called every second of the first minutes: the marker's time says the
// daemon's main loop still turns (the updater keeps a new program only
// then), and a marker a full disk refused is written once there is room.
void keep_running_marker();

}  // namespace kivd
