#include "core/paths.hpp"

#include <cstdlib>

namespace kivd {

std::string root_prefix() {
  const char* r = std::getenv("KIVD_ROOT");
  if (!r || !*r) return {};
  std::string s(r);
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string rooted(const std::string& path) { return root_prefix() + path; }

std::string ini_path() { return rooted("/etc/kivd.ini"); }
std::string web_resources_path() { return rooted("/usr/local/kiv/resources"); }
std::string update_dest_file() { return rooted("/bin/kivd"); }
std::string resources_dest() { return rooted("/usr/local"); }

}  // namespace kivd
