#include "mariadb_admin.hpp"

#include <cstdlib>
#include <stdexcept>

namespace kivd::test {

int test_mysql_port() {
  const char* p = std::getenv("KIVD_TEST_MYSQL_PORT");
  return p && *p ? std::atoi(p) : 0;
}

MariaAdmin::MariaAdmin(int port) {
  m_ = mysql_init(nullptr);
  mysql_optionsv(m_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  ok_ = mysql_real_connect(m_, "127.0.0.1", "user", "chgpw123", nullptr, static_cast<unsigned>(port), nullptr, 0) !=
        nullptr;
}

MariaAdmin::~MariaAdmin() { mysql_close(m_); }

void MariaAdmin::exec(const std::string& sql) {
  if (mysql_query(m_, sql.c_str()) != 0) throw std::runtime_error(sql + ": " + mysql_error(m_));
  if (MYSQL_RES* r = mysql_store_result(m_)) mysql_free_result(r);
}

Rows MariaAdmin::rows(const std::string& sql) {
  if (mysql_query(m_, sql.c_str()) != 0) throw std::runtime_error(sql + ": " + mysql_error(m_));
  Rows out;
  MYSQL_RES* r = mysql_store_result(m_);
  if (!r) return out;
  const unsigned n = mysql_num_fields(r);
  while (MYSQL_ROW row = mysql_fetch_row(r)) {
    std::vector<std::string> line;
    for (unsigned i = 0; i < n; ++i) line.emplace_back(row[i] ? row[i] : "NULL");
    out.push_back(std::move(line));
  }
  mysql_free_result(r);
  return out;
}

std::string MariaAdmin::value(const std::string& sql) {
  const Rows r = rows(sql);
  return r.empty() || r[0].empty() ? "" : r[0][0];
}

}  // namespace kivd::test
