// /api/status: the info page's live values as one line of JSON, for the
// page's script and for home automation. Every number carries its unit in
// its key (power_W, current_A, soc_pct, energy_kWh); texts are the info
// page's own.
#pragma once

#include "web/page_common.hpp"

namespace kivd::web {

// The values of one answer, read once so that the JSON is consistent with
// itself and the writer can be tested without the live values.
struct StatusSnapshot {
  char time[64] = "";  // "dd.mm.yyyy hh:mm:ss", the request's local time
  long uptime_s = 0;

  bool meter_used = false;
  bool meter_stale = true;
  int meter_timeout_s = 0;
  long grid_power_W = 0;         // + drawn from the grid, - fed in
  long grid_current_mA[3] = {};  // per phase
  char meter_last[20] = "";

  bool car_used = false;
  bool car_answering = false;
  bool car_command_ok = false;  // the box acknowledged the last command
  const char* mode = "";
  long car_power_W = 0;
  long current_set_mA = 0;       // the box's user current
  long car_current_mA[3] = {};   // per phase
  int max_phases = 1;
  int output_x2 = 0;             // 0 one phase, 1 more phases
  int state = -1;
  const char* state_text = "";
  int plug = -1;
  const char* plug_text = "";
  int enabled = -1;              // 0, 1, else unknown
  long session_dWh = 0;          // 0.1 Wh
  unsigned long total_dWh = 0;   // 0.1 Wh
  char car_last_reply[20] = "";
  char car_last_control[20] = "";

  bool storage_used = false;
  bool storage_stale = true;
  long soc_pct = 0;
  long storage_power_W = 0;  // + discharging
};

// The snapshot of the live values at the request's time.
StatusSnapshot status_snapshot(const PageContext& ctx);
// The JSON text of a snapshot: one line, no allocation beyond the sink's.
void write_status_json(Sink& out, const StatusSnapshot& s);
// The resource itself (read-only, open without the password like /xml).
void page_api_status(Sink& out, const PageContext& ctx);

}  // namespace kivd::web
