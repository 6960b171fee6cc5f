// The database logger's statement texts and the small rules around them.
// Pure functions: no connection, no clock, no globals, so each text can be
// checked byte for byte.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace kivd::db {

// Structure version of the table this build creates.
inline constexpr int kTableVersion = 3;
// Statement texts are limited to this many bytes (including the terminator).
inline constexpr std::size_t kStatementMax = 2000;
// At most this many characters of a table comment are parsed.
inline constexpr std::size_t kCommentMax = 99;

// The eleven values of one history row, in the units of their sources.
struct RowValues {
  int wb_pow = 0;           // mW
  int wb_e_total = 0;       // 0.1 Wh
  int ss_ac_power = 0;      // W
  int ss_bat_soc = 0;       // %
  int ss_bat_temp = 0;      // 0.1 degC
  int ss_bat_voltage = 0;   // mV
  int ss_bat_current = 0;   // mA
  float consumption = 0;    // kW
  float sum_consumption = 0;  // kWh
  float delivery = 0;       // kW
  float sum_delivery = 0;   // kWh
};

// A row that waits for the database, with the time it was taken.
struct KeptRow {
  std::time_t stamp = 0;
  RowValues values;
};

struct PowerSplit {
  float consumption;  // kW drawn from the grid, 0 when feeding in
  float delivery;     // kW fed into the grid, 0 when drawing
};
// Splits the grid power (W, + drawn) into consumption and delivery in kW.
PowerSplit split_grid_power(int intpow);

// A year text is exactly four digits: the only value put into table names.
bool valid_year(std::string_view year);
// The four-digit local year of t ("%Y").
std::string year_text(const std::tm& local);

std::string table_name(std::string_view year);
// The whole create statement of the current structure.
std::string create_table_statement(std::string_view year);
// The row insert; values divided in single precision and formatted here.
// Stamped with the instant the row was taken, not the server's clock when
// the statement arrives: a slow connection never shifts a row.
std::string insert_statement(std::string_view year, const RowValues& v, std::time_t stamp);
// The insert of rows kept while the database was away, in their order and
// with their own time stamps; a row already in the table (same time stamp)
// is skipped, so a row is never written twice. All rows of one year.
std::string kept_rows_statement(std::string_view year, const KeptRow* rows, std::size_t count);
// The version query; db_escaped must already be escaped for a quoted literal.
std::string version_query(std::string_view db_escaped, std::string_view year);
std::string comment_statement(std::string_view year, int version);

// The steps from version 2 to 3: the statement and the line logged when it fails.
struct MigrationStep {
  std::string statement;
  const char* failure_line;
};
inline constexpr int kMigrationSteps = 5;
MigrationStep migration_step(std::string_view year, int i);

// What a table comment says about the structure version:
// N from {"version": N}; -1 when it is not JSON or has no numeric "version";
// 0 for a JSON value without braces.
struct CommentVersion {
  int version = 0;
  bool json = false;        // the comment parsed as JSON
  bool found = false;       // the version came from a "version" member
  std::string parse_error;  // the text where the parser stopped, when not JSON
};
CommentVersion version_from_comment(std::string_view comment);

// New-year rule: on 1 January between 00:00 and 00:59 the table of the new
// year is checked once; from 01:00 on the flag is cleared again.
struct NewYearStep {
  bool check;      // run the structure check now
  bool dbchecked;  // the flag's new value
};
NewYearStep new_year_rule(const std::tm& local, bool dbchecked);

}  // namespace kivd::db
