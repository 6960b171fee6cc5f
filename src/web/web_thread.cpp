// The web server thread: one listening socket for the life of the process
// (restart passes leave it alone). It accepts and hands each connection to a
// few worker threads, which answer read-only requests in the daemon while
// requests that change something go to one forked child at a time
// (request_child.hpp), so no page waits behind a download.
#include <sys/socket.h>
#include <unistd.h>

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
constexpr std::size_t kQueued = 16;   // accepted connections, or changing requests, waiting

struct ChangingRequest {
  UniqueFd conn;
  web::ReqInfo req;
};

struct Server {
  int listen_fd = -1;
  std::stop_source stop;  // the web thread's stop, or an update
  web::ConnQueue<UniqueFd, kQueued> accepted;
  web::ConnQueue<ChangingRequest, kQueued> changing;
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
    if (!web::read_only_request(req)) {
      s.changing.push(ChangingRequest{std::move(*conn), std::move(req)}, stop.token());
      continue;
    }
    wait_for_handover(s);
    web::answer_request(conn->get(), req, take_time_snapshot(), false);
    web::lingering_close_input(conn->get());
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

  // Accepting never waits for a client: a slow one holds one worker at most
  // for the head's time-out, and a running child holds only its own thread.
  const StopFd stopfd(s.stop.get_token());
  while (!stopfd.stop_requested()) {
    const WaitResult w = stopfd.wait_readable(listener.get(), std::chrono::milliseconds(-1));
    if (w == WaitResult::Stopped) break;
    UniqueFd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      log_line("Webserver: Error calling accept()");
      sleep_for(5s, s.stop.get_token());
      continue;
    }
    if (!s.accepted.push(std::move(conn), s.stop.get_token())) break;
  }
  s.stop.request_stop();
  for (auto& t : readers) t.join();
  children.join();
  if (s.update) {
    if (::close(listener.release()) != 0) log_line("Webserver: Error closing listening socket in child.");
    daemon_state().intUpdate = 1;
  }
}

}  // namespace kivd
