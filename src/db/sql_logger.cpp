#include "db/sql_logger.hpp"

#include <mysqld_error.h>

#include <ctime>
#include <mutex>
#include <string>

#include "core/clock.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "db/db_connection.hpp"
#include "db/row_queue.hpp"
#include "db/sql_thread.hpp"

namespace kivd {

namespace {

db::ConnParams params(const char* database = nullptr) {
  const Settings& s = cfg();
  return {s.MyServer, s.MyUser, s.MyPasswd, database ? std::string(database) : s.MyDB,
          static_cast<unsigned>(s.MyPort)};
}

std::tm local_of(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::tm local_now() { return local_of(time_source().wall_now()); }

void debug_server_error(const db::Connection& c) { debug_line("MYSQL: %s", c.error().c_str()); }

// The three connect outcomes of a caller, logged with its tag. True when open.
bool open_logged(db::Connection& c, const db::ConnParams& p, const char* tag) {
  switch (c.open(p)) {
    case db::ConnectResult::Ok:
      return true;
    case db::ConnectResult::InitFailed:
      log_line("%s zero connection.", tag);
      return false;
    case db::ConnectResult::ConnectFailed:
      log_line("%s failed connection.", tag);
      debug_server_error(c);
      return false;
    case db::ConnectResult::Stopped:
      return false;
  }
  return false;
}

// Runs the statement; on failure logs "<tag> error executing sql query." and
// the statement (nothing when the worker is being stopped).
bool query_logged(db::Connection& c, const std::string& statement, const char* tag) {
  if (c.query(statement)) return true;
  if (c.stopped()) return false;
  if (c.timed_out()) {
    log_line("%s no answer from the server in time.", tag);
    return false;
  }
  log_line("%s error executing sql query.", tag);
  log_line("%s", statement.c_str());
  debug_server_error(c);
  return false;
}

std::atomic<int> dbchecked_flag{0};

// The table last found at the current structure (server, database and year),
// so that a row checks its year's table only when that is not known to be in
// place: a new year's table is then created by its first row whatever the
// hour, and a table left half migrated is taken up at the next connect.
std::mutex ready_mutex;
std::string ready_table;

std::string table_key(std::string_view year) {
  const Settings& s = cfg();
  return s.MyServer + ":" + std::to_string(s.MyPort) + "/" + s.MyDB + "." + std::string(year);
}

void set_ready(std::string_view year, bool ready) {
  const std::string key = table_key(year);
  const std::lock_guard lock(ready_mutex);
  if (ready)
    ready_table = key;
  else if (ready_table == key)
    ready_table.clear();
}

bool is_ready(std::string_view year) {
  const std::string key = table_key(year);
  const std::lock_guard lock(ready_mutex);
  return ready_table == key;
}

// Creates or migrates the year's table; true when it needs no further step.
bool check_table(const std::string& year, std::stop_token stop);

void ensure_table(const std::string& year, std::stop_token stop) {
  if (!is_ready(year) && check_table(year, stop)) set_ready(year, true);
}

// True when the server refused the statement for what it says (a value out
// of range, say): sent again it fails again, so the row is not kept. A lost
// connection or a missing table (created by the next check) is worth another try.
bool refused(const db::Connection& c) {
  const unsigned e = c.error_number();
  return !c.stopped() && !c.timed_out() && e >= 1000 && e < 2000 && e != ER_NO_SUCH_TABLE;
}

// Rows of one statement at most: an hour of the history.
constexpr std::size_t kKeptBatch = 60;

// Writes the kept rows in their order, one table's rows per statement, until
// none is left, a statement fails or the worker is asked to stop. True when
// none is left.
bool write_kept_rows(db::Connection& c, db::RowQueue& kept, std::stop_token stop) {
  std::size_t written = 0, dropped = 0;
  bool failed = false;
  // After a refused statement one row at a time, so that only the refused
  // row is dropped (logged with its statement).
  bool one_by_one = false;
  while (!kept.empty() && !stop.stop_requested()) {
    const std::vector<db::KeptRow> batch = kept.front(one_by_one ? 1 : kKeptBatch);
    const std::string year = db::year_text(local_of(batch[0].stamp));
    std::size_t n = 1;
    while (n < batch.size() && db::year_text(local_of(batch[n].stamp)) == year) ++n;
    if (!db::valid_year(year)) {
      log_line("MYSQL: year %s out of range", year.c_str());
      kept.pop(n);
      dropped += n;
      continue;
    }
    ensure_table(year, stop);
    if (!query_logged(c, db::kept_rows_statement(year, batch.data(), n), "MYSQL:")) {
      if (!refused(c)) {
        set_ready(year, false);
        failed = true;
        break;
      }
      if (n == 1) {
        kept.pop(1);
        ++dropped;
      }
      one_by_one = true;
      continue;
    }
    kept.pop(n);
    written += n;
  }
  if (written + dropped > 0) kept.sync();
  if (written > 0) log_line("MYSQL: %zu rows kept while the database was away written", written);
  return !failed && kept.empty();
}

// One row of the history; with kept, the rows kept before it are written
// first and the row is kept itself when it cannot be written.
int write_row(const db::RowValues& v, db::RowQueue* kept, std::stop_token stop) {
  const std::time_t t = time_source().wall_now();
  const std::tm now = local_of(t);
  const std::string year = db::year_text(now);
  const auto keep = [&] {
    if (kept) kept->push({t, v});
    return 0;
  };
  db::Connection c(stop);
  if (!open_logged(c, params(), "MYSQL:")) return keep();

  const db::NewYearStep step = db::new_year_rule(now, dbchecked_flag.load() != 0);
  if (step.check) {
    log_line("New year: database create or update if needed");
    CheckDatabase(stop);
  }
  dbchecked_flag = step.dbchecked ? 1 : 0;

  if (!db::valid_year(year)) {
    log_line("MYSQL: year %s out of range", year.c_str());
    return 0;
  }
  ensure_table(year, stop);
  // The row goes in after the kept ones, so that the table keeps their order.
  if (kept && !kept->empty() && !write_kept_rows(c, *kept, stop)) return keep();
  if (query_logged(c, db::insert_statement(year, v, t), "MYSQL:")) return 1;
  if (refused(c)) return 0;
  set_ready(year, false);
  return keep();
}

}  // namespace

std::atomic<int>& dbchecked() { return dbchecked_flag; }

int ExecuteSQL(std::string_view statement, std::stop_token stop) {
  db::Connection c(stop);
  if (!open_logged(c, params(), "ExecuteSQL:")) return 0;
  return query_logged(c, std::string(statement), "ExecuteSQL:") ? 1 : 0;
}

int GetTableVersion(std::string_view year, std::stop_token stop) {
  if (!db::valid_year(year)) return 0;
  db::Connection c(stop);
  if (!open_logged(c, params("INFORMATION_SCHEMA"), "GetTableVersion:")) return 0;
  const auto schema = c.escape(cfg().MyDB);
  if (!schema) {
    log_line("GetTableVersion: error result.");
    return 0;
  }
  if (!query_logged(c, db::version_query(*schema, year), "GetTableVersion:")) return 0;
  std::string comment;
  switch (c.first_value(comment)) {
    case db::FetchResult::Failed:
      if (!c.stopped()) log_line("GetTableVersion: error result.");
      return 0;
    case db::FetchResult::NoRow:
      return 0;
    case db::FetchResult::Row:
      break;
  }
  const db::CommentVersion v = db::version_from_comment(comment);
  if (!v.json) debug_line("GetTableVersion: JSON parser: %s", v.parse_error.c_str());
  if (v.found) debug_line("GetTableVersion: structure version %d found", v.version);
  return v.version;
}

namespace {

bool check_table(const std::string& year, std::stop_token stop) {
  const int version = GetTableVersion(year, stop);
  if (stop.stop_requested()) return false;

  bool comment_ok = true;
  if (version == -1) {
    log_line("CheckDatabase: SQL structure update version 2, please wait...");
    comment_ok = ExecuteSQL(db::comment_statement(year, 2), stop) == 1;
  } else if (version == 2) {
    log_line("CheckDatabase: SQL structure update version 3, please wait...");
    for (int i = 0; i < db::kMigrationSteps; ++i) {
      const db::MigrationStep step = db::migration_step(year, i);
      if (ExecuteSQL(step.statement, stop) != 1 && !stop.stop_requested()) log_line("%s", step.failure_line);
    }
    comment_ok = ExecuteSQL(db::comment_statement(year, db::kTableVersion), stop) == 1;
  }
  if (stop.stop_requested()) return false;
  if (!comment_ok) log_line("CheckDatabase: error JSON comment update");

  db::Connection c(stop);
  if (!open_logged(c, params(), "CheckDatabase:")) return false;
  const bool created = query_logged(c, db::create_table_statement(year), "CheckDatabase:");
  // A table just marked as version 2 is migrated by the next check.
  return created && comment_ok && version != -1;
}

}  // namespace

void CheckDatabase(std::stop_token stop) {
  const std::string year = db::year_text(local_now());
  if (!db::valid_year(year)) {
    log_line("CheckDatabase: year %s out of range", year.c_str());
    return;
  }
  set_ready(year, check_table(year, stop));
}

void CheckDatabase() { CheckDatabase(std::stop_token{}); }

int KivData2DB(const db::RowValues& v, std::stop_token stop) { return write_row(v, nullptr, stop); }

int KivData2DB(const db::RowValues& v, db::RowQueue& kept, std::stop_token stop) {
  return write_row(v, &kept, stop);
}

}  // namespace kivd
