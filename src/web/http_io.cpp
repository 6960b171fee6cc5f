#include "web/http_io.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/log.hpp"

namespace kivd::web {

using std::chrono::steady_clock;

void Sink::put(std::string_view text) {
  if (failed_ || text.empty()) return;
  if (!write_all(text)) failed_ = true;
}

static void vput(Sink& s, std::size_t limit, const char* fmt, va_list ap) {
  char buf[1000];
  if (limit > sizeof buf) limit = sizeof buf;
  const int n = std::vsnprintf(buf, limit, fmt, ap);
  if (n < 0) return;
  const std::size_t len = static_cast<std::size_t>(n) < limit ? static_cast<std::size_t>(n) : limit - 1;
  s.put(std::string_view(buf, len));
}

void Sink::flush() {
  if (!failed_ && !flush_held()) failed_ = true;
}

void Sink::printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vput(*this, 1000, fmt, ap);
  va_end(ap);
}

void Sink::printf_n(std::size_t limit, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vput(*this, limit, fmt, ap);
  va_end(ap);
}

bool FdSink::write_all(std::string_view text) {
  if (held_ + text.size() > sizeof buf_ && !flush_held()) return false;
  if (text.size() >= sizeof buf_) return write_fd(text);
  std::memcpy(buf_ + held_, text.data(), text.size());
  held_ += text.size();
  return true;
}

bool FdSink::flush_held() {
  const std::size_t n = held_;
  held_ = 0;
  return n == 0 || write_fd(std::string_view(buf_, n));
}

bool FdSink::write_fd(std::string_view text) {
  const char* p = text.data();
  std::size_t left = text.size();
  // Once bytes wait in rest, later ones queue behind them.
  if (rest_ && !rest_->empty()) left = 0, rest_->append(p, text.size());
  while (left > 0) {
    // No SIGPIPE: on a worker thread it would end the daemon.
    ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd_, p, left);
    if (n < 0 && rest_ && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      rest_->append(p, left);
      break;
    }
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      log_line("Webserver: Error in Writeline()");
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (rest_ && rest_->size() > kSpillMax) {
    log_line("Webserver: client does not take its answer, connection closed");
    rest_->clear();
    return false;
  }
  return true;
}

bool FdSink::send_raw(const void* data, std::size_t n) {
  flush();
  if (failed_) return false;
  // Whole or not at all: a short send would cut the file silently.
  if (!write_fd(std::string_view(static_cast<const char*>(data), n))) {
    log_line("Webserver: Error in Writebinary()");
    failed_ = true;
    return false;
  }
  return true;
}

ConnReader::Fill ConnReader::fill(steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return Fill::Timeout;
    if (stop_) {
      const WaitResult w = stop_->wait_readable(fd_, left);
      if (w == WaitResult::Timeout || w == WaitResult::Stopped) return Fill::Timeout;
      if (w == WaitResult::Error) return Fill::Error;
    } else {
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0) {
        if (errno == EINTR) continue;
        return Fill::Error;
      }
      if (r == 0) return Fill::Timeout;
    }
    const ssize_t n = ::read(fd_, buf_, sizeof buf_);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      log_line("Webserver: Error in Readline()");
      return Fill::Error;
    }
    if (n == 0) {
      eof_ = true;
      return Fill::Closed;
    }
    pos_ = 0;
    len_ = static_cast<std::size_t>(n);
    return Fill::Data;
  }
}

ConnReader::Result ConnReader::read_line(std::string& out, std::size_t max, steady_clock::time_point deadline,
                                         bool& full_line) {
  out.clear();
  full_line = false;
  while (out.size() + 1 < max) {
    if (pos_ == len_) {
      if (eof_) {
        full_line = true;
        return out.empty() ? Result::Closed : Result::Line;
      }
      switch (fill(deadline)) {
        case Fill::Data: break;
        case Fill::Closed:
          full_line = true;
          return out.empty() ? Result::Closed : Result::Line;
        case Fill::Timeout: return Result::Timeout;
        case Fill::Error: return Result::Error;
      }
    }
    const char c = buf_[pos_++];
    out.push_back(c);
    if (c == '\n') {
      full_line = true;
      return Result::Line;
    }
  }
  return Result::Line;
}

int Get_Request(ConnReader& reader, ReqInfo& req) {
  const auto deadline = steady_clock::now() + std::chrono::milliseconds(kHeadBudgetMs);
  std::string line;
  for (;;) {
    bool full = false;
    // The request line keeps its 1022 bytes; a header line may hold 8 KiB.
    const std::size_t max = req.first_header ? kLineBuffer - 1 : kHeaderLineMax + 1;
    const ConnReader::Result r = reader.read_line(line, max, deadline, full);
    if (r == ConnReader::Result::Timeout) return -1;
    if (r == ConnReader::Result::Error) {
      log_line("Webserver: Error calling select() in get_request()");
      return -1;
    }
    if (r == ConnReader::Result::Closed) {
      // The peer closed before the head was complete.
      if (req.first_header) return -1;
      break;
    }
    if (!full) {
      // A line that does not fit the buffer: refused rather than read on as
      // if its tail were a header line of its own.
      log_line("Webserver: request header line too long, refused");
      // An overlong request line comes from an HTTP/1.x client in practice:
      // answer it with a status line.
      if (req.first_header) {
        req.status = 400;
        req.type = ReqType::FULL;
      } else {
        req.status = 431;
      }
      return 0;
    }
    // Trim takes every trailing mark, and a Basic credential may end in
    // "+", "/" or "=": its value is taken with only the line end removed.
    const bool authorization = !req.first_header && line.size() > 14 && iequal(line.substr(0, 14), "authorization:");
    std::string raw = authorization ? line : std::string();
    Trim(line);
    if (line.empty()) {
      // A head without a request line asks for nothing.
      if (req.first_header) req.status = 400;
      break;
    }
    if (Parse_HTTP_Header(line, req) != 0) return 0;
    if (authorization && req.authorization) {
      std::string_view v = std::string_view(raw).substr(14);
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      while (!v.empty() && (v.back() == '\r' || v.back() == '\n' || v.back() == ' ' || v.back() == '\t'))
        v.remove_suffix(1);
      req.authorization = std::string(v);
    }
    if (req.type == ReqType::SIMPLE) break;
  }

  if (!req.content_length) return 0;
  const std::optional<std::size_t> length = announced_length(req);
  if (!length) {
    log_line("Webserver: invalid Content-Length, request refused");
    req.status = 400;
    return 0;
  }
  if (req.method != Method::POST) return 0;
  std::size_t max = *length + 1;
  if (max > kBodyMax + 1) max = kBodyMax + 1;
  bool full = false;
  std::string body;
  const auto body_deadline = steady_clock::now() + std::chrono::milliseconds(kHeadBudgetMs);
  const ConnReader::Result r = max > 1 ? reader.read_line(body, max, body_deadline, full) : ConnReader::Result::Line;
  if (r == ConnReader::Result::Line || r == ConnReader::Result::Closed) req.post_data = std::move(body);
  return 0;
}

}  // namespace kivd::web
