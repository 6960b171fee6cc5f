// The logger against the real MariaDB server of the test command
// (KIVD_TEST_MYSQL_PORT); skipped when there is none.
#include "db/sql_logger.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "db/history_query.hpp"
#include "db/row_queue.hpp"
#include "db/sql_thread.hpp"
#include "mariadb_admin.hpp"
#include "support/fake_clock.hpp"
#include "support/temp_dir.hpp"

namespace kivd {
namespace {

using test::Rows;
using namespace std::chrono_literals;

std::time_t local_time(int year, int mon, int mday, int hour, int min, int sec) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

const std::vector<std::string> kV3Columns[] = {
    {"smID", "bigint(20)", "NO", "NULL", "auto_increment", ""},
    {"smTimeStamp", "timestamp", "NO", "current_timestamp()", "", "logtime"},
    {"smLiveConsumption", "decimal(8,3)", "NO", "NULL", "", "Consumption Power in kW"},
    {"smSumConsumption", "decimal(8,1)", "NO", "NULL", "", "Cosumption Energy in kWh"},
    {"smLiveDelivery", "decimal(8,3)", "NO", "NULL", "", "Surplus Power in kW"},
    {"smSumDelivery", "decimal(8,1)", "NO", "NULL", "", "Surplus Energy in kWh"},
    {"smWallbox", "decimal(8,3)", "NO", "NULL", "", "Wallbox Power in kW"},
    {"smSumWallbox", "decimal(8,3)", "NO", "NULL", "", "Wallbox Energy in kWh"},
    {"smSSPower", "decimal(8,3)", "NO", "NULL", "", "Storage System Power kW"},
    {"smSSSOC", "int(4)", "NO", "NULL", "", "Storage System charging SOC in %"},
    {"smSSTemp", "int(4)", "NO", "NULL", "", "Storage System temperature in 0,1 \xC2\xB0" "C"},
    {"smSSU", "decimal(8,3)", "NO", "NULL", "", "Storage System voltage in V"},
    {"smSSI", "decimal(8,3)", "NO", "NULL", "", "Storage System current in A"},
};

// The structure before version 3: the storage energy in place of
// temperature, voltage and current.
std::string v2_layout(const std::string& table, const std::string& comment) {
  return "CREATE TABLE " + table +
         " (smID bigint(20) NOT NULL AUTO_INCREMENT, "
         "smTimeStamp timestamp NOT NULL DEFAULT CURRENT_TIMESTAMP COMMENT 'logtime', "
         "smLiveConsumption decimal(8,3) NOT NULL, smSumConsumption decimal(8,1) NOT NULL, "
         "smLiveDelivery decimal(8,3) NOT NULL, smSumDelivery decimal(8,1) NOT NULL, "
         "smWallbox decimal(8,3) NOT NULL, smSumWallbox decimal(8,3) NOT NULL, "
         "smSSPower decimal(8,3) NOT NULL, smSSSOC decimal(8,1) NOT NULL COMMENT 'SOC', "
         "smSSEnergy decimal(8,3) NOT NULL COMMENT 'Storage System Energy in kWh', "
         "PRIMARY KEY (smID), UNIQUE KEY uxTimeStamp (smTimeStamp)) ENGINE=InnoDB DEFAULT CHARSET=utf8 "
         "COMMENT='" + comment + "'";
}

class SqlLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = test::test_mysql_port();
    if (port_ == 0) GTEST_SKIP() << "no test MariaDB (run through tests/tools/netns-run.sh)";
    admin_ = std::make_unique<test::MariaAdmin>(port_);
    ASSERT_TRUE(admin_->ok()) << admin_->error();
    static int n = 0;
    db_ = "kivd_t" + std::to_string(::getpid()) + "_" + std::to_string(++n);
    admin_->exec("CREATE DATABASE " + db_);
    settings_ = cfg();
    settings_.MyUsing = true;
    settings_.MyServer = "127.0.0.1";
    settings_.MyPort = port_;
    settings_.MyUser = "user";
    settings_.MyPasswd = "chgpw123";
    settings_.MyDB = db_;
    settings_.debug = 1;
    replace_settings(settings_);
    live().last_sql_datetime.set(kNeverStamp);
    dbchecked() = 0;
  }
  void TearDown() override {
    if (admin_ && admin_->ok()) admin_->exec("DROP DATABASE IF EXISTS " + db_);
  }

  void use(Settings s) { replace_settings(settings_ = std::move(s)); }
  std::string table(const char* year) const { return db_ + ".tblSmartMeter_" + year; }
  std::string comment(const char* year) {
    return admin_->value("SELECT TABLE_COMMENT FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA='" + db_ +
                         "' AND TABLE_NAME='tblSmartMeter_" + year + "'");
  }
  Rows columns(const char* year) {
    return admin_->rows(
        "SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, IFNULL(COLUMN_DEFAULT, 'NULL'), EXTRA, COLUMN_COMMENT "
        "FROM INFORMATION_SCHEMA.COLUMNS WHERE TABLE_SCHEMA='" + db_ + "' AND TABLE_NAME='tblSmartMeter_" + year +
        "' ORDER BY ORDINAL_POSITION");
  }
  Rows row_values(const char* year) {
    return admin_->rows(
        "SELECT smLiveConsumption, smSumConsumption, smLiveDelivery, smSumDelivery, smWallbox, smSumWallbox, "
        "smSSPower, smSSSOC, smSSTemp, smSSU, smSSI FROM " + table(year) + " ORDER BY smID");
  }
  // Log lines without their time stamp.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> out;
    std::istringstream in(sandbox_.log());
    for (std::string l; std::getline(in, l);) out.push_back(l.size() > 25 ? l.substr(25) : "");
    return out;
  }
  int count(const std::string& line) const {
    int n = 0;
    for (const auto& l : log_lines()) n += l == line;
    return n;
  }
  int count_prefix(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : log_lines()) n += l.rfind(prefix, 0) == 0;
    return n;
  }

  test::Sandbox sandbox_;
  test::FakeClock clock_{local_time(2031, 6, 15, 12, 0, 0)};
  test::ScopedFakeClock scoped_clock_{clock_};
  int port_ = 0;
  std::unique_ptr<test::MariaAdmin> admin_;
  std::string db_;
  Settings settings_;
};

TEST_F(SqlLoggerTest, MissingTableIsCreatedAsVersion3) {
  EXPECT_EQ(GetTableVersion("2031"), 0);
  CheckDatabase();
  EXPECT_EQ(comment("2031"), "{\"name\": \"historical data\", \"version\": 3}");
  const Rows cols = columns("2031");
  ASSERT_EQ(cols.size(), std::size(kV3Columns));
  for (std::size_t i = 0; i < cols.size(); ++i) EXPECT_EQ(cols[i], kV3Columns[i]) << i;
  EXPECT_EQ(admin_->value("SELECT INDEX_NAME FROM INFORMATION_SCHEMA.STATISTICS WHERE TABLE_SCHEMA='" + db_ +
                          "' AND COLUMN_NAME='smTimeStamp' AND NON_UNIQUE=0"),
            "uxTimeStamp");
  EXPECT_EQ(admin_->value("SELECT ENGINE FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA='" + db_ + "'"),
            "InnoDB");
  EXPECT_EQ(GetTableVersion("2031"), 3);
  EXPECT_EQ(count("GetTableVersion: structure version 3 found"), 1);
  EXPECT_EQ(count_prefix("CheckDatabase:"), 0) << sandbox_.log();
  // A second check leaves the table as it is.
  CheckDatabase();
  EXPECT_EQ(columns("2031"), cols);
  EXPECT_EQ(count_prefix("CheckDatabase:"), 0) << sandbox_.log();
}

TEST_F(SqlLoggerTest, Version2TableIsMigratedInOneCheck) {
  admin_->exec(v2_layout(table("2031"), "{\"name\": \"historical data\", \"version\": 2}"));
  admin_->exec("INSERT INTO " + table("2031") +
               " (smLiveConsumption, smSumConsumption, smLiveDelivery, smSumDelivery, smWallbox, smSumWallbox, "
               "smSSPower, smSSSOC, smSSEnergy) VALUES (1.5, 10.0, 0, 20.0, 0, 1.0, 0.5, 55.0, 3.2)");
  EXPECT_EQ(GetTableVersion("2031"), 2);
  CheckDatabase();
  EXPECT_EQ(count("CheckDatabase: SQL structure update version 3, please wait..."), 1);
  EXPECT_EQ(comment("2031"), "{\"name\": \"historical data\", \"version\": 3}");
  const Rows cols = columns("2031");
  ASSERT_EQ(cols.size(), std::size(kV3Columns)) << sandbox_.log();
  for (std::size_t i = 0; i < cols.size(); ++i) EXPECT_EQ(cols[i][0], kV3Columns[i][0]);
  for (std::size_t i = 9; i < cols.size(); ++i) EXPECT_EQ(cols[i], kV3Columns[i]) << i;
  // The old row stays, with the new columns at 0.
  EXPECT_EQ(row_values("2031"),
            (Rows{{"1.500", "10.0", "0.000", "20.0", "0.000", "1.000", "0.500", "55", "0", "0.000", "0.000"}}));
  EXPECT_EQ(count_prefix("CheckDatabase: error"), 0) << sandbox_.log();
  EXPECT_EQ(GetTableVersion("2031"), 3);
}

TEST_F(SqlLoggerTest, TableWithoutVersionTakesTwoChecks) {
  admin_->exec(v2_layout(table("2031"), ""));
  EXPECT_EQ(GetTableVersion("2031"), -1);
  EXPECT_EQ(count("GetTableVersion: JSON parser: "), 1);
  CheckDatabase();
  EXPECT_EQ(count("CheckDatabase: SQL structure update version 2, please wait..."), 1);
  EXPECT_EQ(comment("2031"), "{\"name\": \"historical data\", \"version\": 2}");
  EXPECT_EQ(columns("2031").back()[0], "smSSEnergy");  // no column changed yet
  CheckDatabase();
  EXPECT_EQ(count("CheckDatabase: SQL structure update version 3, please wait..."), 1);
  EXPECT_EQ(comment("2031"), "{\"name\": \"historical data\", \"version\": 3}");
  EXPECT_EQ(columns("2031").size(), std::size(kV3Columns));
  EXPECT_EQ(count_prefix("CheckDatabase: error"), 0) << sandbox_.log();
}

TEST_F(SqlLoggerTest, FailedMigrationStepIsLoggedAndTheNextOnesRun) {
  // A half-migrated table: no smSSEnergy any more, smSSTemp already there.
  admin_->exec(v2_layout(table("2031"), "{\"name\": \"historical data\", \"version\": 2}"));
  admin_->exec("ALTER TABLE " + table("2031") + " DROP smSSEnergy, ADD smSSTemp INT(4) NOT NULL");
  CheckDatabase();
  EXPECT_EQ(count("CheckDatabase: error SSEnergy drop or not exist"), 1);
  EXPECT_EQ(count("CheckDatabase: error ssTemp add"), 1);
  EXPECT_EQ(count("ExecuteSQL: error executing sql query."), 2);
  EXPECT_EQ(count("ALTER TABLE tblSmartMeter_2031 DROP smSSEnergy"), 1);
  EXPECT_EQ(count("CheckDatabase: error ssSOC update") + count("CheckDatabase: error ssU add") +
                count("CheckDatabase: error ssI add") + count("CheckDatabase: error JSON comment update"),
            0);
  EXPECT_EQ(comment("2031"), "{\"name\": \"historical data\", \"version\": 3}");
  const Rows cols = columns("2031");
  ASSERT_EQ(cols.size(), std::size(kV3Columns));
  EXPECT_EQ(cols[11], kV3Columns[11]);
  EXPECT_EQ(cols[12], kV3Columns[12]);
}

TEST_F(SqlLoggerTest, VersionFromTheTableComment) {
  admin_->exec("CREATE TABLE " + table("2031") + " (a int) COMMENT='42'");
  EXPECT_EQ(GetTableVersion("2031"), 0);
  admin_->exec("ALTER TABLE " + table("2031") + " COMMENT '{\"name\": \"historical data\"}'");
  EXPECT_EQ(GetTableVersion("2031"), -1);
  admin_->exec("ALTER TABLE " + table("2031") + " COMMENT '{\"name\": \"historical data\", \"version\": 7}'");
  EXPECT_EQ(GetTableVersion("2031"), 7);
  EXPECT_EQ(GetTableVersion("2030"), 0);
  EXPECT_EQ(GetTableVersion("20'1"), 0);  // not a year: never put into a statement
}

TEST_F(SqlLoggerTest, DatabaseNameIsEscapedInTheVersionQuery) {
  admin_->exec("CREATE TABLE " + table("2031") + " (a int) COMMENT='{\"name\": \"historical data\", \"version\": 3}'");
  Settings s = settings_;
  s.MyDB = "nothing' OR TABLE_SCHEMA LIKE '%";
  use(s);
  // Unescaped, the name would match the other database's table.
  EXPECT_EQ(GetTableVersion("2031"), 0);
  EXPECT_EQ(count_prefix("GetTableVersion: error"), 0) << sandbox_.log();
}

TEST_F(SqlLoggerTest, RowsCarryTheSourceValues) {
  CheckDatabase();
  db::RowValues v;
  v.wb_pow = 11040000;
  v.wb_e_total = 123456;
  v.ss_ac_power = -1500;
  v.ss_bat_soc = 87;
  v.ss_bat_temp = 235;
  v.ss_bat_voltage = 52345;
  v.ss_bat_current = -12500;
  v.sum_consumption = 1234.5f;
  v.sum_delivery = 99.9f;
  for (int intpow : {2500, -1200, 0}) {
    const db::PowerSplit p = db::split_grid_power(intpow);
    v.consumption = p.consumption;
    v.delivery = p.delivery;
    EXPECT_EQ(KivData2DB(v), 1) << sandbox_.log();
    clock_.advance(60s);  // the time stamp is a unique key: the next minute
  }
  EXPECT_EQ(row_values("2031"),
            (Rows{{"2.500", "1234.5", "0.000", "99.9", "11.040", "12.346", "-1.500", "87", "235", "52.345", "-12.500"},
                  {"0.000", "1234.5", "1.200", "99.9", "11.040", "12.346", "-1.500", "87", "235", "52.345", "-12.500"},
                  {"0.000", "1234.5", "0.000", "99.9", "11.040", "12.346", "-1.500", "87", "235", "52.345",
                   "-12.500"}}));
}

TEST_F(SqlLoggerTest, ThreadWritesOneRowPerMinute) {
  CheckDatabase();
  LiveValues& l = live();
  l.wb_pow = 11040000;
  l.wb_e_total = 123456;
  l.em_energy_consumption = 1234.5f;
  l.em_energy_surplus = 99.9f;
  l.ss_ac_power = 800;
  l.ss_bat_soc = 64;
  l.ss_bat_temp = 198;
  l.ss_bat_voltage = 51000;
  l.ss_bat_current = 15600;
  std::stop_source stop;
  std::vector<std::time_t> wall;
  std::vector<std::string> stamps;
  clock_.on_sleep = [&](test::FakeClock& c) {
    stamps.push_back(l.last_sql_datetime.get());
    wall.push_back(c.wall_now());
    switch (c.sleeps()) {
      case 1: l.intpow = 2500; break;
      case 2:
        std::this_thread::sleep_for(1100ms);
        l.intpow = -1200;
        break;
      default: stop.request_stop();
    }
  };
  StartSQL(6, stop.get_token());
  EXPECT_EQ(count("Thread 6: Starting SQL database client..."), 1);
  ASSERT_EQ(clock_.sleeps(), 3);
  EXPECT_EQ(clock_.elapsed(), 180s);  // one minute per row
  EXPECT_EQ(row_values("2031"),
            (Rows{{"2.500", "1234.5", "0.000", "99.9", "11.040", "12.346", "0.800", "64", "198", "51.000", "15.600"},
                  {"0.000", "1234.5", "1.200", "99.9", "11.040", "12.346", "0.800", "64", "198", "51.000", "15.600"}}))
      << sandbox_.log();
  // The stamp is set after each row written, with that minute's time.
  char first[20], second[20];
  format_stamp(wall[0], first);
  format_stamp(wall[1], second);
  EXPECT_EQ(stamps[0], kNeverStamp);
  EXPECT_EQ(stamps[1], first);
  EXPECT_EQ(stamps[2], second);
  l.intpow = 0;
}

TEST_F(SqlLoggerTest, NotUsedThreadEndsAtOnce) {
  Settings s = settings_;
  s.MyUsing = false;
  use(s);
  StartSQL(6, std::stop_token{});
  EXPECT_EQ(count("Thread 6: SQL database client not used..."), 1);
  EXPECT_EQ(clock_.sleeps(), 0);
}

TEST_F(SqlLoggerTest, NewYearTableIsCreatedByTheFirstRowOfTheYear) {
  test::FakeClock ny(local_time(2032, 1, 1, 0, 0, 30));
  set_clock(&ny);
  ASSERT_EQ(GetTableVersion("2032"), 0);
  db::RowValues v;
  v.ss_bat_soc = 50;
  EXPECT_EQ(KivData2DB(v), 1) << sandbox_.log();
  EXPECT_EQ(count("New year: database create or update if needed"), 1);
  EXPECT_EQ(dbchecked().load(), 1);
  EXPECT_EQ(comment("2032"), "{\"name\": \"historical data\", \"version\": 3}");
  EXPECT_EQ(row_values("2032").size(), 1u);
  // Later in the first hour: no second check.
  std::this_thread::sleep_for(1100ms);
  ny.advance(58min);
  EXPECT_EQ(KivData2DB(v), 1);
  EXPECT_EQ(count("New year: database create or update if needed"), 1);
  EXPECT_EQ(dbchecked().load(), 1);
  // From 01:00 the flag is back to 0.
  std::this_thread::sleep_for(1100ms);
  ny.advance(2min);
  EXPECT_EQ(KivData2DB(v), 1);
  EXPECT_EQ(dbchecked().load(), 0);
  EXPECT_EQ(row_values("2032").size(), 3u);
  set_clock(&clock_);
}

TEST_F(SqlLoggerTest, ARowCreatesOrFinishesItsYearsTableAtAnyHour) {
  // A table without version: the check at start marks it as version 2, and
  // the logger's next connect brings it to version 3.
  admin_->exec(v2_layout(table("2031"), ""));
  CheckDatabase();
  EXPECT_EQ(comment("2031"), "{\"name\": \"historical data\", \"version\": 2}");
  db::RowValues v;
  EXPECT_EQ(KivData2DB(v), 1) << sandbox_.log();
  EXPECT_EQ(comment("2031"), "{\"name\": \"historical data\", \"version\": 3}");
  EXPECT_EQ(row_values("2031").size(), 1u);
  // A year without its table, past the first hour of 1 January.
  clock_.advance(std::chrono::hours(24 * 250));
  EXPECT_EQ(KivData2DB(v), 1) << sandbox_.log();
  EXPECT_EQ(comment("2032"), "{\"name\": \"historical data\", \"version\": 3}");
  EXPECT_EQ(count_prefix("MYSQL:"), 0) << sandbox_.log();
}

TEST_F(SqlLoggerTest, RowsOfAnOutageArriveLaterInOrderWithTheirTimeStampsOnce) {
  CheckDatabase();
  // A row the server refuses for what it holds.
  admin_->exec("CREATE TRIGGER " + db_ + ".refuse BEFORE INSERT ON " + table("2031") +
               " FOR EACH ROW IF NEW.smSSSOC = 2 THEN SIGNAL SQLSTATE '45000'; END IF");
  db::RowQueue kept(sandbox_.dir().file("rows"));
  Settings good = settings_, refused = settings_;
  refused.MyPasswd = "wrong";
  use(refused);
  db::RowValues v;
  std::vector<std::string> stamps;
  for (int soc = 1; soc <= 3; ++soc) {
    v.ss_bat_soc = soc;
    stamps.push_back(std::to_string(clock_.wall_now()));
    EXPECT_EQ(KivData2DB(v, kept, {}), 0);
    clock_.advance(60s);
  }
  EXPECT_EQ(kept.size(), 3u);
  use(good);
  v.ss_bat_soc = 4;
  EXPECT_EQ(KivData2DB(v, kept, {}), 1) << sandbox_.log();
  // The refused row alone is dropped, logged with its statement.
  EXPECT_EQ(count("MYSQL: 2 rows kept while the database was away written"), 1) << sandbox_.log();
  EXPECT_EQ(count("MYSQL: error executing sql query."), 2);
  EXPECT_TRUE(kept.empty());
  const std::string by_id = "SELECT UNIX_TIMESTAMP(smTimeStamp), smSSSOC FROM " + table("2031") + " ORDER BY smID";
  const Rows rows = admin_->rows(by_id);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{stamps[0], "1"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{stamps[2], "3"}));
  EXPECT_EQ(rows[2][1], "4");
  // Rows kept again after they were written (a crash before the file was
  // rewritten) are not written twice.
  db::RowQueue stale(sandbox_.dir().file("stale"));
  stale.push({std::stol(stamps[0]), {}});
  clock_.advance(60s);  // the time stamp is a unique key: the next minute
  EXPECT_EQ(KivData2DB(v, stale, {}), 1) << sandbox_.log();
  EXPECT_EQ(admin_->rows(by_id).size(), 4u);
  EXPECT_EQ(count("MYSQL: error executing sql query."), 2) << sandbox_.log();
}

// A server whose own zone is Europe/Berlin: the nights the clocks change
// (2031: 30 March and 26 October, 01:00 UTC) keep each kept minute once, at
// its own instant.
TEST_F(SqlLoggerTest, ClockChangeNightsKeepEveryMinuteOnceInABerlinServer) {
  const std::string zones = "SELECT COUNT(*) FROM mysql.time_zone_name WHERE Name = 'Europe/Berlin'";
  if (admin_->value(zones) == "0") {
    const std::string load = "mariadb-tzinfo-to-sql /usr/share/zoneinfo/Europe/Berlin Europe/Berlin 2>/dev/null | "
                             "mariadb --no-defaults -h127.0.0.1 -P" + std::to_string(port_) +
                             " -uuser -pchgpw123 mysql";
    ASSERT_EQ(std::system(load.c_str()), 0);
  }
  const std::string before = admin_->value("SELECT @@GLOBAL.time_zone");
  admin_->exec("SET GLOBAL time_zone = 'Europe/Berlin'");
  CheckDatabase();
  db::RowQueue kept(sandbox_.dir().file("rows"));
  std::vector<std::time_t> stamps;
  for (const std::time_t change : {std::time_t{1932598800}, std::time_t{1950742800}})  // 2031-03-30, 2031-10-26 01:00 UTC
    for (std::time_t t = change - 90 * 60; t < change + 90 * 60; t += 60) {
      kept.push({t, {}});
      stamps.push_back(t);
    }
  db::RowValues v;
  EXPECT_EQ(KivData2DB(v, kept, {}), 1) << sandbox_.log();
  admin_->exec("SET GLOBAL time_zone = '" + before + "'");
  const Rows rows = admin_->rows("SELECT UNIX_TIMESTAMP(smTimeStamp) FROM " + table("2031") + " ORDER BY smID");
  ASSERT_EQ(rows.size(), stamps.size() + 1) << sandbox_.log();
  for (std::size_t i = 0; i < stamps.size(); ++i) EXPECT_EQ(rows[i][0], std::to_string(stamps[i])) << i;
}

TEST_F(SqlLoggerTest, RefusedLoginIsLoggedEveryMinuteAndTheThreadGoesOn) {
  Settings s = settings_;
  s.MyPasswd = "wrong";
  use(s);
  std::stop_source stop;
  clock_.on_sleep = [&](test::FakeClock& c) {
    if (c.sleeps() == 4) stop.request_stop();
  };
  StartSQL(6, stop.get_token());
  EXPECT_EQ(count("MYSQL: failed connection."), 3);
  EXPECT_GE(count_prefix("MYSQL: Access denied for user 'user'"), 1);  // the server's reason, at debug level
  EXPECT_EQ(live().last_sql_datetime.get(), kNeverStamp);
  CheckDatabase();
  EXPECT_EQ(count("GetTableVersion: failed connection."), 2);  // and the one the thread made at its start
  EXPECT_EQ(count("CheckDatabase: failed connection."), 2);
  EXPECT_EQ(ExecuteSQL("SELECT 1"), 0);
  EXPECT_EQ(count("ExecuteSQL: failed connection."), 1);
}

// A TCP port on 127.0.0.1 with nobody listening.
int closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

TEST_F(SqlLoggerTest, UnreachableServerIsLoggedAndSurvived) {
  Settings s = settings_;
  s.MyPort = closed_port();
  use(s);
  db::RowValues v;
  EXPECT_EQ(KivData2DB(v), 0);
  EXPECT_EQ(count("MYSQL: failed connection."), 1);
  EXPECT_EQ(count_prefix("MYSQL: Can't connect to server on '127.0.0.1'"), 1) << sandbox_.log();
  CheckDatabase();
  EXPECT_EQ(count("GetTableVersion: failed connection."), 1);
  EXPECT_EQ(count("CheckDatabase: failed connection."), 1);
  EXPECT_EQ(live().last_sql_datetime.get(), kNeverStamp);
}

TEST_F(SqlLoggerTest, StopEndsAWaitOnAServerThatNeverAnswers) {
  // Accepts connections (in the kernel's backlog) and never greets.
  const int srv = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(srv, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(srv, 4), 0);
  socklen_t len = sizeof a;
  ::getsockname(srv, reinterpret_cast<sockaddr*>(&a), &len);
  Settings s = settings_;
  s.MyPort = ntohs(a.sin_port);
  use(s);

  std::stop_source stop;
  int result = -1;
  const auto t0 = std::chrono::steady_clock::now();
  std::thread worker([&] { result = ExecuteSQL("SELECT 1", stop.get_token()); });
  std::this_thread::sleep_for(300ms);
  stop.request_stop();
  worker.join();
  const auto took = std::chrono::steady_clock::now() - t0;
  ::close(srv);
  EXPECT_EQ(result, 0);
  EXPECT_LT(took, 2s);
  EXPECT_EQ(count_prefix("ExecuteSQL:"), 0) << sandbox_.log();  // a stop is no failure
}

}  // namespace
}  // namespace kivd

namespace kivd {

TEST_F(SqlLoggerTest, HistoryAveragesTheMinuteRowsOfTheRange) {
  admin_->exec("USE " + db_);
  admin_->exec(db::create_table_statement("2031"));
  const std::time_t t0 = clock_.wall_now() / 240 * 240;
  auto row = [](std::time_t stamp, float consumption, float delivery, int wb_mw, int soc) {
    db::KeptRow r{stamp, {}};
    r.values.consumption = consumption;
    r.values.delivery = delivery;
    r.values.wb_pow = wb_mw;
    r.values.ss_ac_power = -500;
    r.values.ss_bat_soc = soc;
    return r;
  };
  const db::KeptRow rows[] = {row(t0 - 3 * 86400, 9, 0, 0, 0),  // before the range
                              row(t0, 1, 0, 3000000, 40), row(t0 + 60, 2, 0, 3000000, 40),
                              row(t0 + 120, 3, 0, 3000000, 60), row(t0 + 180, 4, 0, 3000000, 60),
                              row(t0 + 240, 0, 1.5, 0, 70)};
  admin_->exec(db::kept_rows_statement("2031", rows, std::size(rows)));
  const db::ConnParams p{"127.0.0.1", "user", "chgpw123", db_, static_cast<unsigned>(port_)};
  std::tm local{};
  localtime_r(&t0, &local);
  const long offset = local.tm_gmtoff;
  const auto points = db::query_history(p, t0 - 2 * 86400 + 300, t0 + 300, offset);
  ASSERT_TRUE(points.has_value());
  ASSERT_EQ(points->size(), 2u);
  const DayPoint& a = (*points)[0];
  const DayPoint& b = (*points)[1];
  EXPECT_EQ(a.time, t0);
  EXPECT_EQ(a.grid_w, 2500);
  EXPECT_EQ(a.car_w, 3000);
  EXPECT_EQ(a.battery_w, -500);
  EXPECT_EQ(a.soc, 50);
  EXPECT_EQ(b.time, t0 + 240);
  EXPECT_EQ(b.grid_w, -1500);
  // A year without a table gives no points; a server that refuses gives none at all.
  EXPECT_EQ(db::query_history(p, t0 + 400 * 86400, t0 + 402 * 86400, offset)->size(), 0u);
  EXPECT_FALSE(db::query_history({"127.0.0.1", "user", "wrong", db_, static_cast<unsigned>(port_)}, t0, t0 + 60, offset));
}

}  // namespace kivd
