// The daemon's own folder below LOG_DIR. LOG_DIR may be shared (the default
// is /tmp), so files the daemon keeps for itself go into a folder that only
// it can enter.
#pragma once

#include <string>

namespace kivd {

// LOG_DIR/kivd.d, created with mode 0700 when missing. Empty (and logged) when
// something else stands there: a link, a file, or a folder that is not ours
// or that group or others may enter.
std::string private_dir();
// The same check for the folder "kivd.d" below parent.
std::string private_dir_in(const std::string& parent);

}  // namespace kivd
