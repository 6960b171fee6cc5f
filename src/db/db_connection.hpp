// One MariaDB connection, owned for the length of one statement.
//
// The client library's non-blocking calls are used so that every wait on the
// server (connect, query, result) also ends when the worker's pass is asked
// to stop; a server that does not answer costs a bounded time-out, never a
// stuck restart.
#pragma once

#include <mysql.h>

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/unique_fd.hpp"

namespace kivd::db {

// Initialises the client library once per process, before any thread uses it.
// False when the library cannot be initialised.
bool library_init();

inline constexpr unsigned kConnectTimeoutS = 10;
inline constexpr unsigned kReadWriteTimeoutS = 30;

struct ConnParams {
  std::string host;
  std::string user;
  std::string password;
  std::string database;
  unsigned port = 3306;
};

// While one is alive, every connection opened on this thread gives up its
// waits on the server at the same instant: a statement, or a row with its
// checks and kept rows, costs at most the budget in all, however slowly the
// server answers (per-read time-outs alone restart with every byte).
class DeadlineScope {
 public:
  explicit DeadlineScope(std::chrono::steady_clock::duration budget);
  ~DeadlineScope();
  DeadlineScope(const DeadlineScope&) = delete;
  DeadlineScope& operator=(const DeadlineScope&) = delete;

 private:
  std::optional<std::chrono::steady_clock::time_point> before_;
};

enum class ConnectResult { Ok, InitFailed, ConnectFailed, Stopped };

// What a stored result's first row holds in its first column.
enum class FetchResult { Row, NoRow, Failed };

class Connection {
 public:
  // stop: the worker's stop token (a default token never stops).
  explicit Connection(std::stop_token stop = {});
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  ConnectResult open(const ConnParams& p);
  // Runs one statement; false on failure or when stopped.
  bool query(std::string_view statement);
  // Stores the last query's result and reads the first column of its first
  // row (a NULL column reads as empty text).
  FetchResult first_value(std::string& out);
  // Stores the last query's result and hands each row's columns (NULL as
  // nullptr) to f; false when the result cannot be read.
  bool each_row(const std::function<void(std::span<const char* const> columns)>& f);
  // Escapes text for a single-quoted literal in the connection's character set.
  // Empty when the text cannot be escaped.
  std::optional<std::string> escape(std::string_view text) const;

  bool stopped() const { return stopped_; }
  // The thread's deadline passed before the server was done.
  bool timed_out() const { return timed_out_; }
  // The library's text for the last failure.
  std::string error() const;
  // The library's number for the last failure (0 when none).
  unsigned error_number() const { return handle_ ? mysql_errno(handle_) : 0; }

 private:
  // Waits for what the library asked (status bits) or the stop; returns the
  // bits to continue with, or nothing when stopped.
  std::optional<int> wait(int status);
  template <typename Start, typename Cont>
  bool run(Start start, Cont cont);

  struct Wake {
    int fd;
    void operator()() const noexcept;
  };

  MYSQL* handle_ = nullptr;
  bool init_failed_ = false;
  bool stopped_ = false;
  bool timed_out_ = false;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  std::stop_token stop_;
  UniqueFd event_;
  std::optional<std::stop_callback<Wake>> wake_;
};

}  // namespace kivd::db
