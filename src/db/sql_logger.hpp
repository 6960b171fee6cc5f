// The history logger's database calls. Each statement runs on a connection of
// its own; a stop token (the logger thread's) ends any wait on the server.
#pragma once

#include <atomic>
#include <stop_token>
#include <string_view>

#include "db/sql_text.hpp"

namespace kivd {

namespace db {
class RowQueue;
}

// Runs one statement on a fresh connection to MyDB; 1 success, 0 failure.
int ExecuteSQL(std::string_view statement, std::stop_token stop = {});
// The structure version of the year's table: N from its comment, 0 when the
// table does not exist or the query fails, -1 when the comment has no version.
int GetTableVersion(std::string_view year, std::stop_token stop = {});
// Creates or updates the table of the current local year.
void CheckDatabase(std::stop_token stop);
// Writes one row into the table of the current local year, first applying
// the new-year rule and creating or migrating the year's table when it is not
// known to be in place; 1 success, 0 failure.
int KivData2DB(const db::RowValues& v, std::stop_token stop = {});
// The same, first writing the rows kept while the database was away; a row
// that cannot be written is kept with its time stamp.
int KivData2DB(const db::RowValues& v, db::RowQueue& kept, std::stop_token stop);

// 1 from the new-year check until the end of the first hour of 1 January.
std::atomic<int>& dbchecked();

}  // namespace kivd
