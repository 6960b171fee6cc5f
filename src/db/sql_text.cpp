#include "db/sql_text.hpp"

#include <cjson/cJSON.h>

#include <cstdio>
#include <memory>

namespace kivd::db {

namespace {

constexpr const char* kTablePrefix = "tblSmartMeter_";

// printf into a statement buffer of kStatementMax bytes; longer text is cut.
template <typename... Args>
std::string format_statement(const char* fmt, Args... args) {
  char buf[kStatementMax];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

std::string year_z(std::string_view year) { return std::string(year); }

struct JsonDelete {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};

}  // namespace

PowerSplit split_grid_power(int intpow) {
  // Negated in 64 bits first: -intpow of INT_MIN does not fit, and a
  // negated float 0 would print as "-0.000".
  if (intpow > 0) return {static_cast<float>(intpow) / 1000.0f, 0.0f};
  return {0.0f, static_cast<float>(-static_cast<long long>(intpow)) / 1000.0f};
}

bool valid_year(std::string_view year) {
  if (year.size() != 4) return false;
  for (char c : year)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string year_text(const std::tm& local) {
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y", &local);
  return buf;
}

std::string table_name(std::string_view year) { return kTablePrefix + std::string(year); }

std::string create_table_statement(std::string_view year) {
  return format_statement(
      "CREATE TABLE IF NOT EXISTS tblSmartMeter_%s ("
      "smID bigint(20) NOT NULL AUTO_INCREMENT, "
      "smTimeStamp timestamp NOT NULL DEFAULT CURRENT_TIMESTAMP COMMENT 'logtime', "
      "smLiveConsumption decimal(8,3) NOT NULL COMMENT 'Consumption Power in kW', "
      "smSumConsumption decimal(8,1) NOT NULL COMMENT 'Cosumption Energy in kWh', "
      "smLiveDelivery decimal(8,3) NOT NULL COMMENT 'Surplus Power in kW', "
      "smSumDelivery decimal(8,1) NOT NULL COMMENT 'Surplus Energy in kWh', "
      "smWallbox decimal(8,3) NOT NULL COMMENT 'Wallbox Power in kW', "
      "smSumWallbox decimal(8,3) NOT NULL COMMENT 'Wallbox Energy in kWh', "
      "smSSPower decimal(8,3) NOT NULL COMMENT 'Storage System Power kW', "
      "smSSSOC int(4) NOT NULL COMMENT 'Storage System charging SOC in %%', "
      "smSSTemp int(4) NOT NULL COMMENT 'Storage System temperature in 0,1 \u00b0C', "
      "smSSU decimal(8,3) NOT NULL COMMENT 'Storage System voltage in V', "
      "smSSI decimal(8,3) NOT NULL COMMENT 'Storage System current in A', "
      "PRIMARY KEY (smID), "
      "UNIQUE KEY uxTimeStamp (smTimeStamp)"
      ") ENGINE=InnoDB DEFAULT CHARSET=utf8 COMMENT='{\"name\": \"historical data\", \"version\": 3}' "
      "AUTO_INCREMENT=1",
      year_z(year).c_str());
}

namespace {

constexpr const char* kRowColumns =
    "smLiveConsumption, smSumConsumption, smLiveDelivery, smSumDelivery, smWallbox, smSumWallbox, "
    "smSSPower, smSSSOC, smSSTemp, smSSU, smSSI";

// The eleven values as "'%.3f', '%.1f', ..." (without parentheses).
std::string row_values_text(const RowValues& v) {
  // Divisions in single precision, as the history has always been written.
  return format_statement("'%.3f', '%.1f', '%.3f', '%.1f', '%.3f', '%.3f', '%.3f', '%d', '%d', '%.3f', '%.3f'",
                          static_cast<double>(v.consumption), static_cast<double>(v.sum_consumption),
                          static_cast<double>(v.delivery), static_cast<double>(v.sum_delivery),
                          static_cast<double>(static_cast<float>(v.wb_pow) / 1000000.0f),
                          static_cast<double>(static_cast<float>(v.wb_e_total) / 10000.0f),
                          static_cast<double>(static_cast<float>(v.ss_ac_power) / 1000.0f), v.ss_bat_soc,
                          v.ss_bat_temp, static_cast<double>(static_cast<float>(v.ss_bat_voltage) / 1000.0f),
                          static_cast<double>(static_cast<float>(v.ss_bat_current) / 1000.0f));
}

}  // namespace


std::string kept_rows_statement(std::string_view year, const KeptRow* rows, std::size_t count) {
  // FROM_UNIXTIME: the stamp is converted in the session's time zone (UTC,
  // set at connect); IGNORE: a row already written keeps its place.
  std::string s = "INSERT IGNORE INTO tblSmartMeter_" + std::string(year) + " (smTimeStamp, " + kRowColumns +
                  ") VALUES ";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) s += ", ";
    s += "(FROM_UNIXTIME(" + std::to_string(static_cast<long long>(rows[i].stamp)) + "), " +
         row_values_text(rows[i].values) + ")";
  }
  return s;
}

std::string insert_statement(std::string_view year, const RowValues& v, std::time_t stamp) {
  const KeptRow row{stamp, v};
  return kept_rows_statement(year, &row, 1);
}

std::string version_query(std::string_view db_escaped, std::string_view year) {
  return format_statement(
      "SELECT TABLE_COMMENT FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = '%s' AND TABLE_NAME = "
      "'tblSmartMeter_%s'",
      std::string(db_escaped).c_str(), year_z(year).c_str());
}

std::string comment_statement(std::string_view year, int version) {
  return format_statement("ALTER TABLE tblSmartMeter_%s COMMENT '{\"name\": \"historical data\", \"version\": %d}'",
                          year_z(year).c_str(), version);
}

MigrationStep migration_step(std::string_view year, int i) {
  const std::string y = year_z(year);
  switch (i) {
    case 0:
      return {format_statement("ALTER TABLE tblSmartMeter_%s DROP smSSEnergy", y.c_str()),
              "CheckDatabase: error SSEnergy drop or not exist"};
    case 1:
      return {format_statement("ALTER TABLE tblSmartMeter_%s CHANGE smSSSOC smSSSOC INT(4) NOT NULL COMMENT "
                               "'Storage System charging SOC in %%';",
                               y.c_str()),
              "CheckDatabase: error ssSOC update"};
    case 2:
      return {format_statement("ALTER TABLE tblSmartMeter_%s ADD smSSTemp INT(4) NOT NULL COMMENT "
                               "'Storage System temperature in 0,1 \u00b0C';",
                               y.c_str()),
              "CheckDatabase: error ssTemp add"};
    case 3:
      return {format_statement("ALTER TABLE tblSmartMeter_%s ADD smSSU DECIMAL(8,3) NOT NULL COMMENT "
                               "'Storage System voltage in V';",
                               y.c_str()),
              "CheckDatabase: error ssU add"};
    default:
      return {format_statement("ALTER TABLE tblSmartMeter_%s ADD smSSI DECIMAL(8,3) NOT NULL COMMENT "
                               "'Storage System current in A' ;",
                               y.c_str()),
              "CheckDatabase: error ssI add"};
  }
}

CommentVersion version_from_comment(std::string_view comment) {
  CommentVersion r;
  const std::string text(comment.substr(0, kCommentMax));
  // The parser's own end pointer: the library's global error position is
  // shared by every thread that parses.
  const char* end = nullptr;
  std::unique_ptr<cJSON, JsonDelete> json(cJSON_ParseWithOpts(text.c_str(), &end, 0));
  if (!json) {
    r.version = -1;
    r.parse_error = end ? end : "";
    return r;
  }
  r.json = true;
  if (text.find('{') == std::string::npos || text.find('}') == std::string::npos) return r;
  r.version = -1;
  if (text.find("version") == std::string::npos) return r;
  // "version" may stand only in a name or a value; then there is no version.
  const cJSON* v = cJSON_IsObject(json.get()) ? cJSON_GetObjectItem(json.get(), "version") : nullptr;
  if (!cJSON_IsNumber(v)) return r;
  r.version = v->valueint;
  r.found = true;
  return r;
}

NewYearStep new_year_rule(const std::tm& local, bool dbchecked) {
  const bool first_hour = local.tm_mon == 0 && local.tm_mday == 1 && local.tm_hour == 0;
  if (first_hour) return {!dbchecked, true};
  // Cleared at any time outside the first hour, not only on 1 January:
  // a flag left set by a day without rows would skip the next year's check.
  return {false, false};
}

}  // namespace kivd::db
