// The web server thread: one listening socket for the life of the process
// (restart passes leave it alone). It accepts and hands each connection to a
// few worker threads, which answer read-only requests in the daemon while
// requests that change something go to one forked child at a time
// (request_child.hpp), so no page waits behind a download.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/local_time.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/stop_wait.hpp"
#include "core/udp_socket.hpp"
#include "core/unique_fd.hpp"
#include "core/utils.hpp"
#include "db/db_connection.hpp"
#include "web/conn_queue.hpp"
#include "web/handover.hpp"
#include "web/http_io.hpp"
#include "web/http_request.hpp"
#include "web/request_child.hpp"
#include "web/service_request.hpp"
#include "web/sessions.hpp"
#include "web/web_thread.hpp"

namespace kivd {

namespace {

using namespace std::chrono_literals;

constexpr int kReaders = 3;           // worker threads that read and answer requests
constexpr std::size_t kQueued = 16;   // whole requests, or changing requests, waiting
constexpr std::size_t kSlowQueued = 4;  // history pages waiting for the database thread
// A page that waits on another server answers within this from its arrival,
// its time in the queue included: behind a server that never answers, the
// pages queued get the busy page, not a wait of one time-out each.
constexpr auto kSlowBudget = 12s;
// Connections whose request is still arriving, all watched by the accepting
// thread alone: a client that sends a byte a second holds a slot, never a
// reader. Each peer address gets a few at a time.
constexpr std::size_t kGathering = 128;
constexpr int kPerPeer = 8;
// A request head (and a POST's body) is complete in the socket's buffer
// when the readers get it; a longer one is handed over once this much came.
constexpr std::size_t kPeekMax = 16384;

struct Gathering {
  UniqueFd fd;
  std::chrono::steady_clock::time_point deadline{};
  sockaddr_storage peer{};
};

bool same_peer(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  if (a.ss_family == AF_INET6)
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
  return false;
}

// True when the bytes hold a whole request: a simple request's line, or a
// head up to its empty line and a POST's announced body (up to its cap).
bool request_complete(std::string_view b) {
  const std::size_t line_end = b.find('\n');
  if (line_end == std::string_view::npos) return false;
  if (b.substr(0, line_end).find("HTTP/") == std::string_view::npos) return true;
  std::size_t head_end = b.find("\r\n\r\n");
  std::size_t head_len = head_end == std::string_view::npos ? 0 : head_end + 4;
  if (const std::size_t lf = b.find("\n\n"); lf != std::string_view::npos && (head_len == 0 || lf + 2 < head_len))
    head_len = lf + 2;
  if (head_len == 0) return false;
  if (!b.starts_with("POST")) return true;
  std::size_t length = 0;
  const std::string_view head = b.substr(0, head_len);
  for (std::size_t at = 0; (at = head.find('\n', at)) != std::string_view::npos;) {
    ++at;
    std::string_view line = head.substr(at, 15);
    if (line.size() == 15 && web::iequal(line, "content-length:")) {
      std::size_t i = at + 15;
      while (i < head.size() && (head[i] == ' ' || head[i] == '\t')) ++i;
      std::size_t digits = 0;
      for (; i < head.size() && head[i] >= '0' && head[i] <= '9'; ++i, ++digits)
        if (digits < 9) length = length * 10 + static_cast<std::size_t>(head[i] - '0');
      // A length the readers refuse (400) needs no body to be refused.
      if (digits == 0 || digits > 9) return true;
      if (i < head.size() && head[i] != '\r' && head[i] != '\n' && head[i] != ' ' && head[i] != '\t') return true;
    }
  }
  return b.size() >= head_len + std::min(length, web::kBodyMax);
}

struct ChangingRequest {
  UniqueFd conn;
  web::ReqInfo req;
};

struct SlowRequest {
  UniqueFd conn;
  web::ReqInfo req;
  std::chrono::steady_clock::time_point arrived{};
};

// The busy page (503) at once.
void answer_busy(int conn, web::ReqInfo& req) {
  req.status = 503;
  web::answer_request(conn, req, take_time_snapshot(), false);
  web::lingering_close_input(conn);
}

struct Server {
  int listen_fd = -1;
  std::stop_source stop;  // the web thread's stop, or an update
  web::ConnQueue<UniqueFd, kQueued> accepted;
  web::ConnQueue<ChangingRequest, kQueued> changing;
  web::ConnQueue<SlowRequest, kSlowQueued> slow;
  std::atomic<bool> update{false};
  // A client that changes something and then reads (a /remote, then /xml)
  // must see its change, but the child answers before this server applies
  // its hand-over: a read waits while a child's hand-over is still waiting.
  std::mutex handover_m;
  std::condition_variable handover_cv;
  std::atomic<bool> child_running{false};
};

bool handover_waiting() {
  for (const std::string& path : {web::temp_variables_path(), web::temp_actions_path()})
    if (!path.empty() && ::access(path.c_str(), F_OK) == 0) return true;
  return false;
}

// Bounded: files a killed child left behind must not hold up every read.
void wait_for_handover(Server& s) {
  if (!s.child_running || !handover_waiting()) return;
  std::unique_lock lock(s.handover_m);
  s.handover_cv.wait_for(lock, 2s, [&s] { return !s.child_running || !handover_waiting(); });
}

// A worker: reads each request with the head's time-outs, answers what only
// reads in the daemon, and passes the rest on to the request child's thread.
void read_requests(Server& s) {
  const StopFd stop(s.stop.get_token());
  while (auto conn = s.accepted.pop(stop.token())) {
    web::ReqInfo req;
    {
      web::ConnReader reader(conn->get(), &stop);
      if (web::Get_Request(reader, req) == -1) continue;
    }
    if (web::slow_request(req)) {
      SlowRequest item{std::move(*conn), std::move(req), std::chrono::steady_clock::now()};
      // Its thread is behind: a busy page at once rather than a reader held.
      if (!s.slow.try_push(item)) answer_busy(item.conn.get(), item.req);
      continue;
    }
    if (!web::read_only_request(req)) {
      s.changing.push(ChangingRequest{std::move(*conn), std::move(req)}, stop.token());
      continue;
    }
    wait_for_handover(s);
    web::answer_request(conn->get(), req, take_time_snapshot(), false);
    web::lingering_close_input(conn->get());
  }
}

// The one thread for pages that wait on another server (the history's
// database query, which has its own time-out), one after the other.
void run_slow(Server& s) {
  const StopFd stop(s.stop.get_token());
  while (auto item = s.slow.pop(stop.token())) {
    const auto left = kSlowBudget - (std::chrono::steady_clock::now() - item->arrived);
    if (left <= 0s) {
      answer_busy(item->conn.get(), item->req);
      continue;
    }
    const db::DeadlineScope deadline(left);
    web::answer_request(item->conn.get(), item->req, take_time_snapshot(), false);
    web::lingering_close_input(item->conn.get());
  }
}

// The one thread that forks request children, one after the other.
void run_children(Server& s) {
  const StopFd stop(s.stop.get_token());
  while (auto item = s.changing.pop(stop.token())) {
    s.child_running = true;
    const web::AfterChild after = web::serve_in_child(s.listen_fd, item->conn, item->req, stop);
    {
      const std::lock_guard lock(s.handover_m);
      s.child_running = false;
    }
    s.handover_cv.notify_all();
    if (after == web::AfterChild::Update) {
      s.update = true;
      s.stop.request_stop();
      return;
    }
  }
}

// Exceptions end the thread, never the daemon.
template <class F>
std::thread server_thread(const char* name, F body, Server& s) {
  return std::thread([name, body, &s] {
    try {
      body(s);
    } catch (const std::exception& e) {
      log_line("Webserver: %s ended: %.200s", name, e.what());
    }
  });
}

void set_blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

void gather_requests(int listen_fd, Server& s) {
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  const std::stop_callback on_stop(s.stop.get_token(), [fd = wake.get()] {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
  });
  std::vector<Gathering> conns;
  conns.reserve(kGathering);
  std::vector<pollfd> fds;
  fds.reserve(kGathering + 2);
  std::vector<UniqueFd> whole;  // complete requests no reader has taken yet
  static char peek[kPeekMax];
  int refused = 0;
  while (!s.stop.stop_requested()) {
    while (!whole.empty() && s.accepted.try_push(whole.front())) whole.erase(whole.begin());
    fds.clear();
    fds.push_back({wake.get(), POLLIN, 0});
    fds.push_back({listen_fd, static_cast<short>(conns.size() + whole.size() < kGathering ? POLLIN : 0), 0});
    auto now = std::chrono::steady_clock::now();
    // Every reader busy: a look at the queue again shortly.
    auto next = now + (whole.empty() ? std::chrono::milliseconds(3600000) : std::chrono::milliseconds(20));
    for (const Gathering& g : conns) {
      fds.push_back({g.fd.get(), static_cast<short>(POLLIN | POLLRDHUP), 0});
      next = std::min(next, g.deadline);
    }
    const int ms = static_cast<int>(std::clamp<long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1, 0, 3600000));
    if (::poll(fds.data(), fds.size(), ms) < 0 && errno != EINTR) {
      log_line("Webserver: Error calling poll()");
      sleep_for(1s, s.stop.get_token());
      continue;
    }
    if (fds[0].revents) break;
    now = std::chrono::steady_clock::now();
    // Whole requests to the readers, the late and the gone closed; from the
    // back, so that removing keeps the indexes of those not yet seen.
    for (std::size_t i = conns.size(); i-- > 0;) {
      const short ev = fds[i + 2].revents;
      bool hand_over = false, drop = false;
      if (ev != 0) {
        const ssize_t n = ::recv(conns[i].fd.get(), peek, sizeof peek, MSG_PEEK);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        drop = n <= 0;  // gone, or closed before sending anything
        // A request closed or cut off early still gets its answer (an error).
        hand_over = !drop && (request_complete(std::string_view(peek, static_cast<std::size_t>(n))) ||
                              static_cast<std::size_t>(n) == sizeof peek || (ev & (POLLHUP | POLLERR | POLLRDHUP)) != 0);
      }
      if (!hand_over && !drop && now >= conns[i].deadline) drop = true;  // the head's time-out: no answer
      if (hand_over) {
        set_blocking(conns[i].fd.get());
        whole.push_back(std::move(conns[i].fd));
      }
      if (hand_over || drop) {
        conns[i] = std::move(conns.back());
        conns.pop_back();
      }
    }
    if (fds[1].revents & POLLIN) {
      Gathering g;
      socklen_t len = sizeof g.peer;
      g.fd = UniqueFd(::accept4(listen_fd, reinterpret_cast<sockaddr*>(&g.peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!g.fd) {
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
          log_line("Webserver: Error calling accept()");
          sleep_for(5s, s.stop.get_token());
        }
        continue;
      }
      const auto same = std::count_if(conns.begin(), conns.end(), [&](const Gathering& o) { return same_peer(o.peer, g.peer); });
      if (same >= kPerPeer) {
        if (refused++ % 100 == 0) log_line("Webserver: too many open connections from one address, refused");
        continue;  // closed
      }
      g.deadline = now + std::chrono::milliseconds(web::kHeadBudgetMs);
      conns.push_back(std::move(g));
    }
  }
}

UniqueFd open_listening_socket() {
  const Settings& s = cfg();
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) Error_Quit("Webserver: Couldn't create listening socket. Waiting...");
  if (!bind_to_device(fd.get(), s.NetworkInterface))
    log_line("Webserver: error binding interface to %.59s, fallback to default", s.NetworkInterface.c_str());
  const timeval tv{web::kSendTimeoutSec, 0};
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
    log_line("Webserver: setsockopt send timeout failed");
  // A new daemon must get its port back while old connections sit in TIME_WAIT.
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (!bind_any(fd.get(), static_cast<std::uint16_t>(s.WebPort)))
    Error_Quit("Webserver: Couldn't bind listening socket, again. Now exit!");
  if (::listen(fd.get(), web::kListenBacklog) != 0) Error_Quit("Webserver: Call to listen failed.");
  return fd;
}

}  // namespace

void StartWebserver(int index, std::stop_token stop) {
  log_line("Thread %d: Starting webserver...", index);
  UniqueFd listener = open_listening_socket();
  web::remove_temp_files();
  web::make_shared_sessions();
  Server s;
  s.listen_fd = listener.get();
  const std::stop_callback forward(stop, [&s] { s.stop.request_stop(); });
  std::array<std::thread, kReaders> readers;
  for (auto& t : readers) t = server_thread("worker", read_requests, s);
  std::thread children = server_thread("request child thread", run_children, s);
  std::thread slow = server_thread("database page thread", run_slow, s);

  // Accepting never waits for a client, and neither does a reader: this
  // thread watches every connection until its whole request has arrived
  // (within the head's deadline for all of it), then hands it over.
  gather_requests(listener.get(), s);
  s.stop.request_stop();
  for (auto& t : readers) t.join();
  children.join();
  slow.join();
  if (s.update) {
    if (::close(listener.release()) != 0) log_line("Webserver: Error closing listening socket in child.");
    daemon_state().intUpdate = 1;
  }
}

}  // namespace kivd
