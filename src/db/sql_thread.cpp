#include <algorithm>
#include <chrono>
#include <memory>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/private_dir.hpp"
#include "core/settings.hpp"
#include "core/test_hooks.hpp"
#include "db/db_connection.hpp"
#include "db/row_queue.hpp"
#include "db/sql_logger.hpp"
#include "db/sql_thread.hpp"

namespace kivd {

void StartSQL(int index, std::stop_token stop) {
  if (!log_worker_start(index, cfg().MyUsing, "SQL database client not used...",
                        "Starting SQL database client..."))
    return;
  LiveValues& l = live();
  // Rows that could not be written wait here, and in the private folder for
  // the next pass or start; without that folder only in memory.
  // The queue outlives the pass: rows the disk could not take stay in memory
  // instead of being replaced by what the file holds.
  const std::string dir = private_dir();
  const std::string path = dir.empty() ? std::string() : dir + "/sql_rows.queue";
  static std::unique_ptr<db::RowQueue> queue;
  if (!queue || queue->path() != path) {
    auto fresh = std::make_unique<db::RowQueue>(path);
    fresh->load();
    if (queue)
      for (const db::KeptRow& r : queue->front(queue->size())) fresh->push(r);
    queue = std::move(fresh);
  }
  db::RowQueue& kept = *queue;
  // One row a minute, unless a test shortens the period. The rows keep their
  // minute: each is due a whole period after the one before, and a server
  // that answers slowly or not at all gets at most 3/4 of a period for the
  // row, its checks and the kept rows; what it did not take stays kept.
  const std::chrono::seconds period(test_sql_seconds());
  const auto budget = std::chrono::duration_cast<std::chrono::milliseconds>(period) * 3 / 4;
  Clock& clock = time_source();
  auto due = clock.now() + period;
  {
    // Here, not before the pass: the web server and the control never wait on the server.
    const db::DeadlineScope deadline(budget);
    log_line("Check: database create or update, if needed");
    CheckDatabase(stop);
  }
  for (;;) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - clock.now());
    if (!sleep_for(std::max(wait, std::chrono::milliseconds(0)), stop)) break;
    due += period;
    // Behind by a whole period (a suspended board): start the series afresh.
    if (due <= clock.now()) due = clock.now() + period;
    const db::DeadlineScope deadline(budget);
    const db::PowerSplit grid = db::split_grid_power(l.intpow.load(std::memory_order_relaxed));
    db::RowValues row;
    row.wb_pow = l.wb_pow.load(std::memory_order_relaxed);
    row.wb_e_total = l.wb_e_total.load(std::memory_order_relaxed);
    row.ss_ac_power = l.ss_ac_power.load(std::memory_order_relaxed);
    row.ss_bat_soc = l.ss_bat_soc.load(std::memory_order_relaxed);
    row.ss_bat_temp = l.ss_bat_temp.load(std::memory_order_relaxed);
    row.ss_bat_voltage = l.ss_bat_voltage.load(std::memory_order_relaxed);
    row.ss_bat_current = l.ss_bat_current.load(std::memory_order_relaxed);
    row.consumption = grid.consumption;
    row.sum_consumption = l.em_energy_consumption.load(std::memory_order_relaxed);
    row.delivery = grid.delivery;
    row.sum_delivery = l.em_energy_surplus.load(std::memory_order_relaxed);
    if (KivData2DB(row, kept, stop) == 1) stamp_now(l.last_sql_datetime);
    daemon_state().rows_unsaved = static_cast<long>(kept.unsaved());
    daemon_state().rows_dropped = static_cast<long>(kept.dropped());
  }
}

}  // namespace kivd
