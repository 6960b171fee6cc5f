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
// Connections whose request is still arriving or whose answer is still
// leaving, all watched by the accepting thread alone: a client that sends or
// reads a byte a second holds a slot, never a reader. Each peer address gets
// a few at a time; when all are taken, the address holding the most gives
// up its oldest.
constexpr std::size_t kGathering = 128;
constexpr long kPerPeer = 8;
// A request head of up to 16 KiB and a POST's body are complete in the
// socket's buffer when the readers get it; a longer head is refused here.
constexpr std::size_t kHeadMax = 16384;
constexpr std::size_t kPeekMax = kHeadMax + web::kBodyMax;
constexpr auto kAnswerBudget = 10s;   // an answer's way out without any progress
constexpr auto kLinger = 500ms;       // the client's last bytes read after the answer
constexpr std::size_t kLingerMax = 65536;

constexpr std::string_view kHeadTooLong =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n"
    "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n\r\n";

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

struct Conn {
  UniqueFd fd;
  sockaddr_storage peer{};
};

struct ChangingRequest {
  UniqueFd conn;
  web::ReqInfo req;
};

// An answer a reader could not send at once, or one sent whose client still
// has to close: the poll loop finishes it.
struct Finished {
  Conn conn;
  std::string rest;
};

struct SlowRequest {
  Conn conn;
  web::ReqInfo req;
  std::chrono::steady_clock::time_point arrived{};
};

struct Server {
  int listen_fd = -1;
  std::stop_source stop;  // the web thread's stop, or an update
  web::ConnQueue<Conn, kQueued> accepted;
  web::ConnQueue<ChangingRequest, kQueued> changing;
  web::ConnQueue<Finished, kQueued> finished;
  UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};  // the poll loop's doorbell
  web::ConnQueue<SlowRequest, kSlowQueued> slow;
  std::atomic<bool> update{false};
  // A client that changes something and then reads (a /remote, then /xml)
  // must see its change, but the child answers before this server applies
  // its hand-over: a read waits while a child's hand-over is still waiting.
  std::mutex handover_m;
  std::condition_variable handover_cv;
  std::atomic<bool> child_running{false};
};

void ring(const Server& s) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(s.wake.get(), &one, sizeof one);
}

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

void set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// A worker: parses each whole request, answers what only reads (and what is
// refused anyway) in the daemon, and passes the rest on to the request
// child's thread. It never waits on a client: what the socket cannot take
// at once goes back to the poll loop.
void read_requests(Server& s) {
  const StopFd stop(s.stop.get_token());
  int full = 0;
  while (auto conn = s.accepted.pop(stop.token())) {
    web::ReqInfo req;
    {
      web::ConnReader reader(conn->fd.get(), &stop);
      if (web::Get_Request(reader, req) == -1) continue;
    }
    if (web::slow_request(req) && !web::refused_on_reader(conn->fd.get(), req)) {
      SlowRequest item{std::move(*conn), std::move(req), std::chrono::steady_clock::now()};
      if (s.slow.try_push(item)) continue;
      // Its thread is behind: a busy page at once rather than a reader held.
      conn = std::move(item.conn);
      req = std::move(item.req);
      req.status = 503;
    }
    if (!web::read_only_request(req) && !web::refused_on_reader(conn->fd.get(), req)) {
      set_blocking(conn->fd.get(), true);
      ChangingRequest item{std::move(conn->fd), std::move(req)};
      if (s.changing.try_push(item)) continue;
      conn->fd = std::move(item.conn);
      req = std::move(item.req);
      set_blocking(conn->fd.get(), false);
      if (full++ % 100 == 0) log_line("Webserver: too many changes waiting for their turn, answered 503");
      req.status = 503;
    }
    wait_for_handover(s);
    Finished done{std::move(*conn), {}};
    web::answer_request(done.conn.fd.get(), req, take_time_snapshot(), false, &done.rest);
    if (s.finished.push(std::move(done), stop.token())) ring(s);
  }
}

// The one thread for pages that wait on another server (the history's
// database query, which has its own time-out), one after the other.
void run_slow(Server& s) {
  const StopFd stop(s.stop.get_token());
  while (auto item = s.slow.pop(stop.token())) {
    const auto left = kSlowBudget - (std::chrono::steady_clock::now() - item->arrived);
    // Too little left for a query to end in: the busy page, not a futile try.
    if (left < 1s) item->req.status = 503;
    Finished done{std::move(item->conn), {}};
    {
      const db::DeadlineScope deadline(std::max<std::chrono::steady_clock::duration>(left, 0s));
      web::answer_request(done.conn.fd.get(), item->req, take_time_snapshot(), false, &done.rest);
    }
    if (s.finished.push(std::move(done), stop.token())) ring(s);
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

// A connection the poll loop watches: its request arriving (rest empty,
// !leaving), its answer leaving, or its client's last bytes being read.
struct Watched {
  Conn conn;
  std::chrono::steady_clock::time_point deadline{};
  bool leaving = false;
  bool lingering = false;
  std::string rest;
  std::size_t sent = 0, drained = 0;
};

// Sends what it can; true once all of it left (then the client's last bytes
// are read for a moment: closing with unread input would reset the answer).
bool send_rest(Watched& w, std::chrono::steady_clock::time_point now) {
  while (w.sent < w.rest.size()) {
    const ssize_t n = ::send(w.conn.fd.get(), w.rest.data() + w.sent, w.rest.size() - w.sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    if (n <= 0) {
      w.deadline = now;  // gone: closed at once
      return false;
    }
    w.sent += static_cast<std::size_t>(n);
    w.deadline = now + kAnswerBudget;  // a slow reader still reading is no dead one
  }
  std::string().swap(w.rest);
  ::shutdown(w.conn.fd.get(), SHUT_WR);
  w.lingering = true;
  w.deadline = now + kLinger;
  return true;
}

// True when the client closed or sent enough after its answer.
bool drain(Watched& w) {
  static char sink[4096];
  for (;;) {
    const ssize_t n = ::recv(w.conn.fd.get(), sink, sizeof sink, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    if (n <= 0) return true;
    w.drained += static_cast<std::size_t>(n);
    if (w.drained >= kLingerMax) return true;
  }
}

class PollLoop {
 public:
  explicit PollLoop(Server& s) : s_(s) {
    watched_.reserve(kGathering);
    fds_.reserve(kGathering + 2);
  }

  void run() {
    while (!s_.stop.stop_requested()) {
      while (!whole_.empty() && s_.accepted.try_push(whole_.front())) whole_.erase(whole_.begin());
      fds_.clear();
      fds_.push_back({s_.wake.get(), POLLIN, 0});
      fds_.push_back({s_.listen_fd, POLLIN, 0});
      auto now = std::chrono::steady_clock::now();
      // Every reader busy: a look at the queue again shortly.
      auto next = now + (whole_.empty() ? std::chrono::milliseconds(3600000) : std::chrono::milliseconds(20));
      for (const Watched& w : watched_) {
        const short ev = w.leaving && !w.lingering ? POLLOUT : static_cast<short>(POLLIN | POLLRDHUP);
        fds_.push_back({w.conn.fd.get(), ev, 0});
        next = std::min(next, w.deadline);
      }
      const int ms = static_cast<int>(std::clamp<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1, 0, 3600000));
      if (::poll(fds_.data(), fds_.size(), ms) < 0 && errno != EINTR) {
        log_line("Webserver: Error calling poll()");
        sleep_for(1s, s_.stop.get_token());
        continue;
      }
      if (fds_[0].revents) {
        std::uint64_t rings;
        [[maybe_unused]] const ssize_t n = ::read(s_.wake.get(), &rings, sizeof rings);
      }
      now = std::chrono::steady_clock::now();
      step(now);
      while (auto done = s_.finished.try_pop()) leave(std::move(*done), now);
      if (fds_[1].revents & POLLIN) accept_one(now);
    }
  }

 private:
  // From the back, so that removing keeps the indexes of those not yet seen.
  void step(std::chrono::steady_clock::time_point now) {
    for (std::size_t i = watched_.size(); i-- > 0;) {
      Watched& w = watched_[i];
      const short ev = fds_[i + 2].revents;
      bool remove = false;
      if (w.lingering) {
        remove = (ev != 0 && drain(w)) || now >= w.deadline;
      } else if (w.leaving) {
        if (ev != 0) send_rest(w, now);
        remove = !w.lingering && now >= w.deadline;
      } else if (ev != 0 || now >= w.deadline) {
        remove = gathered(w, ev, now);
      }
      if (remove) {
        w = std::move(watched_.back());
        watched_.pop_back();
      }
    }
  }

  // True when the connection leaves the list: handed to a reader, refused
  // or dropped.
  bool gathered(Watched& w, short ev, std::chrono::steady_clock::time_point now) {
    static char peek[kPeekMax];
    if (ev == 0) return true;  // the head's time-out: no answer
    const ssize_t n = ::recv(w.conn.fd.get(), peek, sizeof peek, MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return now >= w.deadline;
    if (n <= 0) return true;  // gone, or closed before sending anything
    const std::string_view got(peek, static_cast<std::size_t>(n));
    if (!request_complete(got) && static_cast<std::size_t>(n) == sizeof peek) {
      if (too_long_++ % 100 == 0) log_line("Webserver: request head longer than 16 KiB, refused (431)");
      w.leaving = true;
      w.rest.assign(kHeadTooLong);
      w.deadline = now + kAnswerBudget;
      send_rest(w, now);
      return false;
    }
    // A request closed or cut off early still gets its answer (an error).
    if (request_complete(got) || (ev & (POLLHUP | POLLERR | POLLRDHUP)) != 0) {
      whole_.push_back(std::move(w.conn));
      return true;
    }
    return now >= w.deadline;
  }

  void leave(Finished done, std::chrono::steady_clock::time_point now) {
    Watched w;
    w.conn = std::move(done.conn);
    w.leaving = true;
    w.rest = std::move(done.rest);
    w.deadline = now + kAnswerBudget;
    if (!send_rest(w, now) && w.deadline <= now) return;  // gone
    watched_.push_back(std::move(w));
  }

  long count_of(const sockaddr_storage& peer) const {
    return std::count_if(watched_.begin(), watched_.end(), [&](const Watched& o) { return same_peer(o.conn.peer, peer); });
  }

  void accept_one(std::chrono::steady_clock::time_point now) {
    Watched w;
    socklen_t len = sizeof w.conn.peer;
    w.conn.fd = UniqueFd(::accept4(s_.listen_fd, reinterpret_cast<sockaddr*>(&w.conn.peer), &len,
                                   SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!w.conn.fd) {
      if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
        log_line("Webserver: Error calling accept()");
        sleep_for(5s, s_.stop.get_token());
      }
      return;
    }
    const long same = count_of(w.conn.peer);
    if (same >= kPerPeer || (watched_.size() + whole_.size() >= kGathering && !make_room(same))) {
      if (refused_++ % 100 == 0) log_line("Webserver: too many open connections from one address, refused");
      return;  // closed
    }
    w.deadline = now + std::chrono::milliseconds(web::kHeadBudgetMs);
    watched_.push_back(std::move(w));
  }

  // Every slot taken: the oldest arriving request of the address holding the
  // most goes, unless the newcomer's address holds as many.
  bool make_room(long newcomer_holds) {
    std::size_t victim = watched_.size();
    long most = newcomer_holds;
    for (std::size_t i = 0; i < watched_.size(); ++i) {
      if (watched_[i].leaving) continue;
      const long held = count_of(watched_[i].conn.peer);
      const bool older = victim < watched_.size() && watched_[i].deadline < watched_[victim].deadline;
      if (held > most || (held == most && older)) {
        most = held;
        victim = i;
      }
    }
    if (victim == watched_.size()) return false;
    watched_[victim] = std::move(watched_.back());
    watched_.pop_back();
    return true;
  }

  Server& s_;
  std::vector<Watched> watched_;
  std::vector<pollfd> fds_;
  std::vector<Conn> whole_;  // complete requests no reader has taken yet
  int refused_ = 0, too_long_ = 0;
};

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
  // (within the head's deadline for all of it), hands it over, and sends
  // what of the answer the client did not take at once.
  {
    const std::stop_callback on_stop(s.stop.get_token(), [&s] { ring(s); });
    PollLoop(s).run();
  }
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
