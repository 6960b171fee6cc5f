#include "core/daemon_state.hpp"

#include <cstdio>

#include "core/paths.hpp"

namespace kivd {

DaemonState& daemon_state() {
  static DaemonState s;
  return s;
}

std::string KIVVersion() {
  char v[60];
  std::snprintf(v, sizeof v, "%d.%d.%d", KIVMajor, KIVMinor, KIVRevision);
  return v;
}

const char* architecture() { return kArchitecture; }

std::string web_res_path() { return web_resources_path(); }

}  // namespace kivd
