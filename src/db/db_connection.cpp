#include "db/db_connection.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kivd::db {

bool library_init() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = mysql_library_init(0, nullptr, nullptr) == 0; });
  return ok;
}

namespace {
thread_local std::optional<std::chrono::steady_clock::time_point> thread_deadline;
}

DeadlineScope::DeadlineScope(std::chrono::steady_clock::duration budget) : before_(thread_deadline) {
  const auto at = std::chrono::steady_clock::now() + budget;
  // A scope inside another never extends it.
  if (!thread_deadline || at < *thread_deadline) thread_deadline = at;
}

DeadlineScope::~DeadlineScope() { thread_deadline = before_; }

void Connection::Wake::operator()() const noexcept {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

Connection::Connection(std::stop_token stop) : deadline_(thread_deadline), stop_(std::move(stop)) {
  if (!library_init() || (handle_ = mysql_init(nullptr)) == nullptr) {
    init_failed_ = true;
    return;
  }
  if (stop_.stop_possible()) {
    event_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (event_.valid()) wake_.emplace(stop_, Wake{event_.get()});
  }
}

Connection::~Connection() {
  wake_.reset();
  if (!handle_) return;
  // Given up half way: the closing goodbye must not wait on that server.
  if (stopped_ || timed_out_)
    if (const int fd = mysql_get_socket(handle_); fd >= 0) ::shutdown(fd, SHUT_RDWR);
  mysql_close(handle_);
}

std::optional<int> Connection::wait(int status) {
  if (stop_.stop_requested()) return std::nullopt;
  const int fd = mysql_get_socket(handle_);
  short events = 0;
  if (status & MYSQL_WAIT_READ) events |= POLLIN;
  if (status & MYSQL_WAIT_WRITE) events |= POLLOUT;
  if (status & MYSQL_WAIT_EXCEPT) events |= POLLPRI;
  int timeout = (status & MYSQL_WAIT_TIMEOUT) ? static_cast<int>(mysql_get_timeout_value_ms(handle_)) : -1;
  bool deadline_first = false;
  if (deadline_) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out_ = true;
      return std::nullopt;
    }
    if (timeout < 0 || left.count() < timeout) {
      timeout = static_cast<int>(left.count());
      deadline_first = true;
    }
  }
  pollfd fds[2] = {{fd, events, 0}, {event_.get(), POLLIN, 0}};
  const nfds_t count = event_.valid() ? 2 : 1;
  int n;
  do {
    n = ::poll(fds, count, timeout);
  } while (n < 0 && errno == EINTR);
  if (stop_.stop_requested()) return std::nullopt;
  if (n == 0 && deadline_first) {
    timed_out_ = true;
    return std::nullopt;
  }
  if (n == 0) return MYSQL_WAIT_TIMEOUT;
  if (n < 0) return status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE | MYSQL_WAIT_EXCEPT);
  const short re = fds[0].revents;
  // On an error or hang-up hand back what was asked: the library then reads
  // the failure itself.
  if (re & (POLLERR | POLLHUP | POLLNVAL)) return status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE | MYSQL_WAIT_EXCEPT);
  int ready = 0;
  if (re & POLLIN) ready |= MYSQL_WAIT_READ;
  if (re & POLLOUT) ready |= MYSQL_WAIT_WRITE;
  if (re & POLLPRI) ready |= MYSQL_WAIT_EXCEPT;
  return ready;
}

template <typename Start, typename Cont>
bool Connection::run(Start start, Cont cont) {
  int status = start();
  while (status != 0) {
    const std::optional<int> ready = wait(status);
    if (!ready) {
      if (!timed_out_) stopped_ = true;
      return false;
    }
    status = cont(*ready);
  }
  return true;
}

ConnectResult Connection::open(const ConnParams& p) {
  if (init_failed_) return ConnectResult::InitFailed;
  const unsigned connect_timeout = kConnectTimeoutS, rw_timeout = kReadWriteTimeoutS;
  mysql_optionsv(handle_, MYSQL_OPT_NONBLOCK, 0);
  mysql_optionsv(handle_, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  mysql_optionsv(handle_, MYSQL_OPT_READ_TIMEOUT, &rw_timeout);
  mysql_optionsv(handle_, MYSQL_OPT_WRITE_TIMEOUT, &rw_timeout);
  // The structure's comments carry "°": send the statements as UTF-8.
  mysql_optionsv(handle_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  // Time stamps go over as UTC instants: in a local session zone the hour the
  // clocks go back would map two instants onto one TIMESTAMP (and its unique
  // key), and the first of them be stored an hour off.
  mysql_optionsv(handle_, MYSQL_INIT_COMMAND, "SET time_zone = '+00:00'");
  MYSQL* ret = nullptr;
  const bool done = run(
      [&] {
        return mysql_real_connect_start(&ret, handle_, p.host.c_str(), p.user.c_str(), p.password.c_str(),
                                        p.database.c_str(), p.port, nullptr, 0);
      },
      [&](int ready) { return mysql_real_connect_cont(&ret, handle_, ready); });
  if (!done) return stopped_ ? ConnectResult::Stopped : ConnectResult::ConnectFailed;
  return ret ? ConnectResult::Ok : ConnectResult::ConnectFailed;
}

bool Connection::query(std::string_view statement) {
  if (init_failed_) return false;
  int err = 1;
  const bool done = run(
      [&] { return mysql_real_query_start(&err, handle_, statement.data(), statement.size()); },
      [&](int ready) { return mysql_real_query_cont(&err, handle_, ready); });
  return done && err == 0;
}

FetchResult Connection::first_value(std::string& out) {
  if (init_failed_) return FetchResult::Failed;
  MYSQL_RES* res = nullptr;
  const bool done = run([&] { return mysql_store_result_start(&res, handle_); },
                        [&](int ready) { return mysql_store_result_cont(&res, handle_, ready); });
  if (!done || res == nullptr) {
    if (res) mysql_free_result(res);
    return FetchResult::Failed;
  }
  FetchResult r = FetchResult::NoRow;
  if (MYSQL_ROW row = mysql_fetch_row(res); row != nullptr && mysql_num_fields(res) > 0) {
    const unsigned long* len = mysql_fetch_lengths(res);
    out.assign(row[0] ? row[0] : "", row[0] && len ? len[0] : 0);
    r = FetchResult::Row;
  }
  mysql_free_result(res);
  return r;
}

bool Connection::each_row(const std::function<void(std::span<const char* const> columns)>& f) {
  if (init_failed_) return false;
  MYSQL_RES* res = nullptr;
  const bool done = run([&] { return mysql_store_result_start(&res, handle_); },
                        [&](int ready) { return mysql_store_result_cont(&res, handle_, ready); });
  if (!done || res == nullptr) {
    if (res) mysql_free_result(res);
    return false;
  }
  const unsigned fields = mysql_num_fields(res);
  while (MYSQL_ROW row = mysql_fetch_row(res)) f(std::span<const char* const>(row, fields));
  mysql_free_result(res);
  return true;
}

std::optional<std::string> Connection::escape(std::string_view text) const {
  if (init_failed_) return std::nullopt;
  std::vector<char> buf(text.size() * 2 + 1);
  const unsigned long n = mysql_real_escape_string(handle_, buf.data(), text.data(), text.size());
  if (n == static_cast<unsigned long>(-1)) return std::nullopt;
  return std::string(buf.data(), n);
}

std::string Connection::error() const { return handle_ ? mysql_error(handle_) : "client library not initialised"; }

}  // namespace kivd::db
