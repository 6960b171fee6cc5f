// Statement texts, value formats, the comment's version, the new-year rule,
// and the file of the rows kept while the database is away.
#include "db/sql_text.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <sstream>
#include <string>

#include "db/history_query.hpp"
#include "db/row_queue.hpp"
#include "support/temp_dir.hpp"

namespace kivd::db {
namespace {

std::tm at(int year, int mon, int mday, int hour, int min = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  return t;
}

// The VALUES part of an insert, for comparing the formatted row.
std::string values_of(const RowValues& v) {
  const std::string s = insert_statement("2026", v, 0);
  return "VALUES (" + s.substr(s.find("), ") + 3);
}

TEST(SqlText, CreateStatementIsTheVersion3Table) {
  EXPECT_EQ(create_table_statement("2026"),
            "CREATE TABLE IF NOT EXISTS tblSmartMeter_2026 ("
            "smID bigint(20) NOT NULL AUTO_INCREMENT, "
            "smTimeStamp timestamp NOT NULL DEFAULT CURRENT_TIMESTAMP COMMENT 'logtime', "
            "smLiveConsumption decimal(8,3) NOT NULL COMMENT 'Consumption Power in kW', "
            "smSumConsumption decimal(8,1) NOT NULL COMMENT 'Cosumption Energy in kWh', "
            "smLiveDelivery decimal(8,3) NOT NULL COMMENT 'Surplus Power in kW', "
            "smSumDelivery decimal(8,1) NOT NULL COMMENT 'Surplus Energy in kWh', "
            "smWallbox decimal(8,3) NOT NULL COMMENT 'Wallbox Power in kW', "
            "smSumWallbox decimal(8,3) NOT NULL COMMENT 'Wallbox Energy in kWh', "
            "smSSPower decimal(8,3) NOT NULL COMMENT 'Storage System Power kW', "
            "smSSSOC int(4) NOT NULL COMMENT 'Storage System charging SOC in %', "
            "smSSTemp int(4) NOT NULL COMMENT 'Storage System temperature in 0,1 \xC2\xB0" "C', "
            "smSSU decimal(8,3) NOT NULL COMMENT 'Storage System voltage in V', "
            "smSSI decimal(8,3) NOT NULL COMMENT 'Storage System current in A', "
            "PRIMARY KEY (smID), UNIQUE KEY uxTimeStamp (smTimeStamp)) ENGINE=InnoDB DEFAULT CHARSET=utf8 "
            "COMMENT='{\"name\": \"historical data\", \"version\": 3}' AUTO_INCREMENT=1");
  EXPECT_LT(create_table_statement("2026").size(), kStatementMax);
}

TEST(SqlText, InsertStatementNamesTheElevenColumnsInRowOrder) {
  RowValues v;
  v.consumption = 2.5f;
  v.sum_consumption = 1234.56f;
  v.delivery = 0.0f;
  v.sum_delivery = 987.64f;
  v.wb_pow = 11040000;
  v.wb_e_total = 123456;
  v.ss_ac_power = -1500;
  v.ss_bat_soc = 87;
  v.ss_bat_temp = 235;
  v.ss_bat_voltage = 52345;
  v.ss_bat_current = -12500;
  EXPECT_EQ(insert_statement("2026", v, 1780000000),
            "INSERT IGNORE INTO tblSmartMeter_2026 (smTimeStamp, smLiveConsumption, smSumConsumption, smLiveDelivery, "
            "smSumDelivery, smWallbox, smSumWallbox, smSSPower, smSSSOC, smSSTemp, smSSU, smSSI) "
            "VALUES (FROM_UNIXTIME(1780000000), '2.500', '1234.6', '0.000', '987.6', '11.040', '12.346', '-1.500', '87', '235', "
            "'52.345', '-12.500')");
}

TEST(SqlText, GridPowerSplitsIntoConsumptionAndDelivery) {
  RowValues v;
  auto row = [&](int intpow) {
    const PowerSplit p = split_grid_power(intpow);
    v.consumption = p.consumption;
    v.delivery = p.delivery;
    return values_of(v).substr(0, 33);
  };
  EXPECT_EQ(row(2500), "VALUES ('2.500', '0.0', '0.000', ");
  EXPECT_EQ(row(-1200), "VALUES ('0.000', '0.0', '1.200', ");
  // 0 W is delivery by the rule, but never printed as "-0.000".
  EXPECT_EQ(row(0), "VALUES ('0.000', '0.0', '0.000', ");
  EXPECT_EQ(split_grid_power(INT_MIN).delivery, 2147483.648f);
  EXPECT_EQ(split_grid_power(INT_MIN).consumption, 0.0f);
}

TEST(SqlText, DivisionsAreSinglePrecision) {
  RowValues v;
  v.wb_e_total = 100000014;  // 10000.0014 kWh: a float holds 10000.001953125
  EXPECT_NE(values_of(v).find("'10000.002'"), std::string::npos) << values_of(v);
  v.wb_e_total = 0;
  v.ss_bat_voltage = 16384001;  // float 16384.001953125
  EXPECT_NE(values_of(v).find("'16384.002'"), std::string::npos) << values_of(v);
}

TEST(SqlText, CommentAndMigrationStatements) {
  EXPECT_EQ(comment_statement("2026", 2),
            "ALTER TABLE tblSmartMeter_2026 COMMENT '{\"name\": \"historical data\", \"version\": 2}'");
  EXPECT_EQ(comment_statement("2026", 3),
            "ALTER TABLE tblSmartMeter_2026 COMMENT '{\"name\": \"historical data\", \"version\": 3}'");
  const char* expected[kMigrationSteps][2] = {
      {"ALTER TABLE tblSmartMeter_2026 DROP smSSEnergy", "CheckDatabase: error SSEnergy drop or not exist"},
      {"ALTER TABLE tblSmartMeter_2026 CHANGE smSSSOC smSSSOC INT(4) NOT NULL COMMENT 'Storage System charging "
       "SOC in %';",
       "CheckDatabase: error ssSOC update"},
      {"ALTER TABLE tblSmartMeter_2026 ADD smSSTemp INT(4) NOT NULL COMMENT 'Storage System temperature in 0,1 "
       "\xC2\xB0" "C';",
       "CheckDatabase: error ssTemp add"},
      {"ALTER TABLE tblSmartMeter_2026 ADD smSSU DECIMAL(8,3) NOT NULL COMMENT 'Storage System voltage in V';",
       "CheckDatabase: error ssU add"},
      {"ALTER TABLE tblSmartMeter_2026 ADD smSSI DECIMAL(8,3) NOT NULL COMMENT 'Storage System current in A' ;",
       "CheckDatabase: error ssI add"},
  };
  for (int i = 0; i < kMigrationSteps; ++i) {
    const MigrationStep s = migration_step("2026", i);
    EXPECT_EQ(s.statement, expected[i][0]);
    EXPECT_STREQ(s.failure_line, expected[i][1]);
  }
}

TEST(SqlText, VersionQuery) {
  EXPECT_EQ(version_query("smarthouse", "2026"),
            "SELECT TABLE_COMMENT FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = 'smarthouse' AND "
            "TABLE_NAME = 'tblSmartMeter_2026'");
}

TEST(SqlText, YearText) {
  EXPECT_EQ(year_text(at(2026, 12, 31, 23)), "2026");
  EXPECT_TRUE(valid_year("2026"));
  EXPECT_FALSE(valid_year("20261"));
  EXPECT_FALSE(valid_year("202"));
  EXPECT_FALSE(valid_year("20'6"));
  EXPECT_FALSE(valid_year(""));
}

TEST(SqlText, VersionFromComment) {
  struct Case {
    const char* comment;
    int version;
    bool json;
    bool found;
  } cases[] = {
      {"{\"name\": \"historical data\", \"version\": 3}", 3, true, true},
      {"{\"name\": \"historical data\", \"version\": 2}", 2, true, true},
      {"{\"Version\": 7}", -1, true, false},         // the text must contain "version" as written
      {"", -1, false, false},                         // an empty comment is an older table
      {"history of 2019", -1, false, false},
      {"{\"name\": \"historical data\"}", -1, true, false},
      {"{\"name\": \"version\"}", -1, true, false},   // "version" only as a value
      {"{\"version\": \"3\"}", -1, true, false},      // not a number
      {"{\"a\": {\"version\": 3}}", -1, true, false},  // not a member of the top object
      {"42", 0, true, false},                         // JSON without braces
      {"\"text\"", 0, true, false},
      {"[1, 2]", 0, true, false},
  };
  for (const Case& c : cases) {
    const CommentVersion v = version_from_comment(c.comment);
    EXPECT_EQ(v.version, c.version) << c.comment;
    EXPECT_EQ(v.json, c.json) << c.comment;
    EXPECT_EQ(v.found, c.found) << c.comment;
  }
  EXPECT_EQ(version_from_comment("history of 2019").parse_error, "history of 2019");
  EXPECT_EQ(version_from_comment("{\"version\": 3,,}").parse_error, "}");
  // Only the first 99 characters count: a longer comment is cut and no longer JSON.
  const std::string long_comment = "{\"name\": \"" + std::string(100, 'x') + "\", \"version\": 3}";
  EXPECT_EQ(version_from_comment(long_comment).version, -1);
  const std::string fits = "{\"name\": \"" + std::string(99 - 26, 'x') + "\", \"version\": 3}";
  ASSERT_EQ(fits.size(), 99u);
  EXPECT_EQ(version_from_comment(fits).version, 3);
}

TEST(SqlText, NewYearRule) {
  // First row of the year: check once, remember it.
  EXPECT_TRUE(new_year_rule(at(2027, 1, 1, 0, 0), false).check);
  EXPECT_TRUE(new_year_rule(at(2027, 1, 1, 0, 0), false).dbchecked);
  // Later in the first hour: no second check.
  EXPECT_FALSE(new_year_rule(at(2027, 1, 1, 0, 59), true).check);
  EXPECT_TRUE(new_year_rule(at(2027, 1, 1, 0, 59), true).dbchecked);
  // From 01:00 the flag is cleared.
  EXPECT_FALSE(new_year_rule(at(2027, 1, 1, 1, 0), true).check);
  EXPECT_FALSE(new_year_rule(at(2027, 1, 1, 1, 0), true).dbchecked);
  // Midnight on other days is no new year.
  EXPECT_FALSE(new_year_rule(at(2027, 2, 1, 0, 30), false).check);
  EXPECT_FALSE(new_year_rule(at(2027, 1, 2, 0, 30), false).check);
  // A flag still set after 1 January (no row written after 01:00 that day)
  // is cleared, so the next year's first hour checks again.
  EXPECT_FALSE(new_year_rule(at(2027, 3, 5, 12, 0), true).dbchecked);
  EXPECT_TRUE(new_year_rule(at(2028, 1, 1, 0, 0), new_year_rule(at(2027, 1, 2, 0, 0), true).dbchecked).check);
}

KeptRow kept_row(std::time_t stamp, int soc) {
  KeptRow r{stamp, {}};
  r.values.ss_bat_soc = soc;
  r.values.wb_pow = -7;
  r.values.sum_consumption = 1234.56f;
  r.values.delivery = 0.1f;
  return r;
}

int log_count(const test::Sandbox& box, const std::string& text) {
  std::istringstream in(box.log());
  int n = 0;
  for (std::string l; std::getline(in, l);) n += l.find(text) != std::string::npos;
  return n;
}

TEST(SqlText, KeptRowsCarryTheirOwnTimeStampAndAreNeverWrittenTwice) {
  const KeptRow rows[] = {kept_row(1700000000, 50), kept_row(1700000060, 51)};
  EXPECT_EQ(kept_rows_statement("2023", rows, 2),
            "INSERT IGNORE INTO tblSmartMeter_2023 (smTimeStamp, smLiveConsumption, smSumConsumption, smLiveDelivery, "
            "smSumDelivery, smWallbox, smSumWallbox, smSSPower, smSSSOC, smSSTemp, smSSU, smSSI) VALUES "
            "(FROM_UNIXTIME(1700000000), " + values_of(rows[0].values).substr(8) + ", (FROM_UNIXTIME(1700000060), " +
                values_of(rows[1].values).substr(8));
}

TEST(RowQueue, RowsComeBackInOrderAndExactAfterALoad) {
  test::Sandbox box;
  const std::string path = box.dir().file("rows");
  RowQueue q(path);
  for (int i = 0; i < 3; ++i) q.push(kept_row(1000 + 60 * i, i));
  RowQueue again(path);
  again.load();
  ASSERT_EQ(again.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const KeptRow r = again.front(3)[i];
    EXPECT_EQ(r.stamp, 1000 + 60 * static_cast<int>(i));
    EXPECT_EQ(r.values.ss_bat_soc, static_cast<int>(i));
    EXPECT_EQ(r.values.wb_pow, -7);
    EXPECT_EQ(r.values.sum_consumption, 1234.56f);
    EXPECT_EQ(r.values.delivery, 0.1f);
  }
  // Written rows leave the file at the next sync; none left removes it.
  again.pop(2);
  again.sync();
  RowQueue rest(path);
  rest.load();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest.front(1)[0].stamp, 1120);
  rest.pop(1);
  rest.sync();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST(RowQueue, TornOrDamagedRecordsAreSkipped) {
  test::Sandbox box;
  const std::string good = encode_record(kept_row(1000, 1)), second = encode_record(kept_row(1060, 2));
  std::string flipped = encode_record(kept_row(1120, 3));
  flipped[3] ^= 1;
  // A crash while appending the last record left only its first bytes.
  box.dir().write("rows", good + flipped + second + encode_record(kept_row(1180, 4)).substr(0, 20));
  RowQueue q(box.dir().file("rows"));
  q.load();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q.front(2)[1].stamp, 1060);
  EXPECT_EQ(log_count(box, "MYSQL: 2 damaged kept rows skipped"), 1);
  // The torn tail is gone from the file: a new record is not glued to it.
  q.push(kept_row(1240, 5));
  RowQueue again(box.dir().file("rows"));
  again.load();
  EXPECT_EQ(again.size(), 3u);
  EXPECT_EQ(log_count(box, "damaged"), 1);
  EXPECT_FALSE(decode_record(good.substr(0, good.size() - 1)));
}

// A file size limit stands in for a full disk: a cut append is taken back,
// the rows it could not take stay in memory and follow once there is room.
TEST(RowQueue, FullDiskLeavesWholeRecordsAndCatchesUp) {
  test::Sandbox box;
  const std::string path = box.dir().file("rows");
  const std::size_t one = encode_record(kept_row(1000, 0)).size();
  RowQueue q(path);
  q.push(kept_row(1000, 0));
  rlimit before{};
  ::getrlimit(RLIMIT_FSIZE, &before);
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = before;
  small.rlim_cur = one + one / 2;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int i = 1; i < 4; ++i) q.push(kept_row(1000 + 60 * i, i));
  const std::size_t cut_size = std::filesystem::file_size(path);
  ::setrlimit(RLIMIT_FSIZE, &before);
  EXPECT_EQ(cut_size, one);
  EXPECT_EQ(q.unsaved(), 3u);
  q.push(kept_row(1240, 4));
  EXPECT_EQ(q.unsaved(), 0u);
  RowQueue again(path);
  again.load();
  ASSERT_EQ(again.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(again.front(5)[i].stamp, 1000 + 60 * static_cast<int>(i));
  EXPECT_EQ(log_count(box, "damaged"), 0);
}

TEST(RowQueue, FullQueueDropsTheOldestRow) {
  test::Sandbox box;
  RowQueue q(box.dir().file("rows"), 3);
  for (int i = 0; i < 5; ++i) q.push(kept_row(1000 + i, i));
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q.front(1)[0].stamp, 1002);
  EXPECT_EQ(log_count(box, "MYSQL: row queue full, oldest rows dropped until"), 1);  // one line, not one per row
  EXPECT_EQ(q.dropped(), 2u);
  for (int i = 5; i < 8; ++i) q.push(kept_row(1000 + i, i));  // the file is compacted at twice the bound
  RowQueue again(box.dir().file("rows"), 3);
  again.load();
  ASSERT_EQ(again.size(), 3u);
  EXPECT_EQ(again.front(1)[0].stamp, 1005);
  EXPECT_EQ(log_count(box, "MYSQL: row queue full, 1 oldest rows dropped"), 1);
  q.pop(1);  // written again: the drops are counted once
  EXPECT_EQ(log_count(box, "MYSQL: row queue full, 5 oldest rows dropped"), 1);
  EXPECT_EQ(q.dropped(), 0u);
  EXPECT_EQ(kKeptRowsMax, 10080u);
}

}  // namespace
}  // namespace kivd::db

TEST(HistoryQuery, BucketsKeepTheRangeBoundedInWholeMinutes) {
  using namespace kivd::db;
  const struct {
    long long seconds;
    int bucket;
  } cases[] = {{0, 60}, {3600, 60}, {86400 / 2, 60}, {2 * 86400, 240}, {7 * 86400, 840}, {30 * 86400, 3600}};
  for (const auto& c : cases) {
    EXPECT_EQ(history_bucket_seconds(c.seconds), c.bucket) << c.seconds;
    EXPECT_LE(c.seconds / c.bucket, kHistoryMaxPoints);
  }
  EXPECT_EQ(history_statement("2031", 1000, 2000, 240),
            "SELECT FLOOR(UNIX_TIMESTAMP(smTimeStamp) / 240) * 240 AS t, "
            "ROUND(AVG(smLiveConsumption - smLiveDelivery) * 1000), ROUND(AVG(smWallbox) * 1000), "
            "ROUND(AVG(smSSPower) * 1000), ROUND(AVG(smSSSOC)) FROM tblSmartMeter_2031 "
            "WHERE smTimeStamp >= FROM_UNIXTIME(1000) AND smTimeStamp < FROM_UNIXTIME(2000) GROUP BY t ORDER BY t");
}
