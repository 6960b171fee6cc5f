#include "db/sql_logger.hpp"

#include <ctime>
#include <string>

#include "core/clock.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "db/db_connection.hpp"
#include "db/sql_thread.hpp"

namespace kivd {

namespace {

db::ConnParams params(const char* database = nullptr) {
  const Settings& s = cfg();
  return {s.MyServer, s.MyUser, s.MyPasswd, database ? std::string(database) : s.MyDB,
          static_cast<unsigned>(s.MyPort)};
}

std::tm local_now() {
  const std::time_t t = time_source().wall_now();
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

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
  log_line("%s error executing sql query.", tag);
  log_line("%s", statement.c_str());
  debug_server_error(c);
  return false;
}

std::atomic<int> dbchecked_flag{0};

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

void CheckDatabase(std::stop_token stop) {
  const std::string year = db::year_text(local_now());
  if (!db::valid_year(year)) {
    log_line("CheckDatabase: year %s out of range", year.c_str());
    return;
  }
  const int version = GetTableVersion(year, stop);
  if (stop.stop_requested()) return;

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
  if (stop.stop_requested()) return;
  if (!comment_ok) log_line("CheckDatabase: error JSON comment update");

  db::Connection c(stop);
  if (!open_logged(c, params(), "CheckDatabase:")) return;
  query_logged(c, db::create_table_statement(year), "CheckDatabase:");
}

void CheckDatabase() { CheckDatabase(std::stop_token{}); }

int KivData2DB(const db::RowValues& v, std::stop_token stop) {
  const std::tm now = local_now();
  const std::string year = db::year_text(now);
  db::Connection c(stop);
  if (!open_logged(c, params(), "MYSQL:")) return 0;

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
  return query_logged(c, db::insert_statement(year, v), "MYSQL:") ? 1 : 0;
}

}  // namespace kivd
