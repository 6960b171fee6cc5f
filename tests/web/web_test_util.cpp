#include "web_test_util.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "core/live_values.hpp"
#include "support/live_reset.hpp"
#include "web/http_io.hpp"
#include "web/service_request.hpp"

namespace kivd::webtest {

namespace {

struct Pair {
  int a = -1, b = -1;
  Pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
    a = fds[0];
    b = fds[1];
  }
  ~Pair() {
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
  }
};

void write_all(int fd, const std::string& s) {
  std::size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = ::write(fd, s.data() + off, s.size() - off);
    if (n <= 0) return;
    off += static_cast<std::size_t>(n);
  }
}

}  // namespace

web::ReqInfo parse_raw(const std::string& bytes, int* rc, bool close_after) {
  Pair p;
  std::thread w([&] {
    write_all(p.a, bytes);
    if (close_after) ::shutdown(p.a, SHUT_WR);
  });
  web::ReqInfo req;
  web::ConnReader reader(p.b);
  const int r = web::Get_Request(reader, req);
  if (rc) *rc = r;
  w.join();
  return req;
}

std::string serve_raw(const std::string& bytes) {
  Pair p;
  std::thread w([&] {
    write_all(p.a, bytes);
    ::shutdown(p.a, SHUT_WR);
  });
  std::string answer;
  std::thread r([&] {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(p.a, buf, sizeof buf);
      if (n <= 0) break;
      answer.append(buf, static_cast<std::size_t>(n));
    }
  });
  web::Service_Request(p.b, fixed_time());
  ::shutdown(p.b, SHUT_RDWR);
  w.join();
  r.join();
  return answer;
}

TimeSnapshot fixed_time() {
  TimeSnapshot t;
  t.now = 1796648709;  // 2026-12-07 13:05:09 UTC
  t.local = civil_time(t.now, 0);
  t.utc = t.local;
  return t;
}

void reset_live() { test::reset_live_values(); }

}  // namespace kivd::webtest
