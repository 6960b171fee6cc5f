// kivd: charges an electric car from the house's solar surplus.
#include <malloc.h>

#include <ctime>

#include "app/restart_cycle.hpp"
#include "app/update_leftovers.hpp"
#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/daemonize.hpp"
#include "core/ini_writeback.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"
#include "core/utils.hpp"

int main() {
  using namespace kivd;
  // One malloc arena for all threads: they are idle most of the time, and
  // each further arena is another 64 MiB mapping with its own page tables
  // that every web request's fork copies, and memory kept in reserve.
  mallopt(M_ARENA_MAX, 1);
  DaemonState& st = daemon_state();
  st.start_t = time_source().wall_now();

  const std::string ini = ini_path();
  if (!FileExists(ini)) WriteDefaultINIFile(ini);
  std::vector<std::string> notes;
  replace_settings(ReadAndHandleIniFile(ini, &notes));
  log_settings_notes(notes);
  apply_charging_settings();

  log_line("Starting %s (%s version)", kProductTitle, architecture());
  const std::string res = web_res_path();
  if (FileExists(res)) {
    log_line("Extended webserver resources found");
    st.intResources = 1;
  } else {
    log_line("Extended webserver resources not found at: %s", res.c_str());
    st.intResources = 0;
  }

  daemonize();
  RemoveStaleSaveFiles(ini);
  RemoveStaleUpdateCopies(update_dest_file());
  run_cycle();
}
