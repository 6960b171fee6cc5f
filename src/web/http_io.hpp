// Reading the request from the connection and writing the answer to it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "core/stop_wait.hpp"
#include "web/http_request.hpp"

namespace kivd::web {

// Where a page goes: the connection (FdSink) or, in tests, a string.
// Pieces are formatted into fixed buffers (1000 bytes for page lines; longer
// text is cut) and written when complete. After the first failed write the
// answer is abandoned: later pieces are dropped instead of each waiting out
// the send time-out again.
class Sink {
 public:
  virtual ~Sink() = default;
  void put(std::string_view text);
  // Sends what is held back; call it before anything slow (a download, a
  // connect) so the browser sees the lines so far, and at the end.
  void flush();
  void printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The same with a smaller buffer (the header block uses 100, the error page 500).
  void printf_n(std::size_t limit, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  bool failed() const { return failed_; }

 protected:
  virtual bool write_all(std::string_view text) = 0;
  virtual bool flush_held() { return true; }
  bool failed_ = false;
};

class StringSink final : public Sink {
 public:
  std::string text;

 protected:
  bool write_all(std::string_view t) override {
    text.append(t);
    return true;
  }
};

// Collects the pieces and writes them in blocks: a page is some sixty
// lines, and one write (and one TCP segment) per line costs the client a
// wake-up each.
class FdSink final : public Sink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  ~FdSink() override { flush(); }
  int fd() const { return fd_; }
  // Sends raw bytes (binary static files), after what is held.
  bool send_raw(const void* data, std::size_t n);
  // On a non-blocking connection: what the socket cannot take at once goes
  // into *rest (up to kSpillMax) for the server's poll loop to send, so a
  // client that does not read holds no thread.
  void spill_to(std::string* rest) { rest_ = rest; }

 protected:
  bool write_all(std::string_view text) override;  // Writeline
  bool flush_held() override;

 private:
  bool write_fd(std::string_view text);
  int fd_;
  std::string* rest_ = nullptr;
  std::size_t held_ = 0;
  char buf_[8192];
};

inline constexpr std::size_t kSpillMax = 256 * 1024;

// Buffered line reader over the connection with one deadline for the whole
// head: every wait gets what the earlier waits left.
class ConnReader {
 public:
  enum class Result { Line, Closed, Timeout, Error };
  // stop: on a worker thread, a stop request ends the wait as a time-out.
  explicit ConnReader(int fd, const StopFd* stop = nullptr) : fd_(fd), stop_(stop) {}

  // Reads up to and including a line feed, or until max-1 bytes are stored.
  // Closed: the peer closed before the first byte. full_line tells whether
  // the line ended with a line feed (or the stream ended).
  Result read_line(std::string& out, std::size_t max, std::chrono::steady_clock::time_point deadline,
                   bool& full_line);

 private:
  enum class Fill { Data, Closed, Timeout, Error };
  Fill fill(std::chrono::steady_clock::time_point deadline);
  int fd_;
  const StopFd* stop_;
  char buf_[kLineBuffer];
  std::size_t pos_ = 0, len_ = 0;
  bool eof_ = false;
};

// Reads and parses the head and the body: -1 when the head did not arrive
// in time (nothing is answered), else 0 (also when an error status was set).
int Get_Request(ConnReader& reader, ReqInfo& req);

}  // namespace kivd::web
