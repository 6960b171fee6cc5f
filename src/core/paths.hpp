// The fixed paths of the system. KIVD_ROOT, when set and not empty, is put in
// front of each of them, so tests and the demo never touch /etc, /bin or
// /usr/local.
#pragma once

#include <string>

namespace kivd {

std::string root_prefix();
// root_prefix() + path
std::string rooted(const std::string& path);

std::string ini_path();            // /etc/kivd.ini
std::string web_resources_path();  // /usr/local/kiv/resources
std::string update_dest_file();    // /bin/kivd
std::string resources_dest();      // /usr/local

}  // namespace kivd
