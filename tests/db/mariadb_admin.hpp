// The tests' own view of the MariaDB server that the test command starts:
// sets up and reads back tables independently of the logger's code.
#pragma once

#include <mysql.h>

#include <string>
#include <vector>

namespace kivd::test {

using Rows = std::vector<std::vector<std::string>>;

// The test server's port from KIVD_TEST_MYSQL_PORT; 0 when there is none.
int test_mysql_port();

class MariaAdmin {
 public:
  explicit MariaAdmin(int port);
  ~MariaAdmin();
  MariaAdmin(const MariaAdmin&) = delete;
  MariaAdmin& operator=(const MariaAdmin&) = delete;

  bool ok() const { return ok_; }
  std::string error() const { return mysql_error(m_); }
  // Runs a statement; throws on failure (a broken set-up is not a result).
  void exec(const std::string& sql);
  Rows rows(const std::string& sql);
  std::string value(const std::string& sql);  // first column of the first row, "" when none

 private:
  MYSQL* m_ = nullptr;
  bool ok_ = false;
};

}  // namespace kivd::test
