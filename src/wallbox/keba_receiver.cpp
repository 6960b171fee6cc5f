#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <memory>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/stop_wait.hpp"
#include "wallbox/keba_exchange.hpp"
#include "wallbox/keba_receiver.hpp"
#include "wallbox/keba_udp.hpp"
#include "wallbox/keba_workers.hpp"

namespace kivd {

void StartKEBAReceiver(int index, std::stop_token stop) {
  if (!cfg().WallboxUsing) {
    log_line("Thread %d: UDP receiver (wallbox) not used...", index);
    return;
  }
  log_line("Thread %d: Starting udp receiver...", index);

  set_thread_stop(stop);
  KebaWorkers workers(keba_udp());
  StopFd stop_fd(stop);
  // One receive buffer for the life of the pass; a datagram of any size fits.
  auto buffer = std::make_unique<char[]>(65536);
  const int fd = daemon_state().udp_sock.load();

  while (!stop.stop_requested()) {
    const WaitResult w = stop_fd.wait_readable(fd, std::chrono::milliseconds(-1));
    if (w == WaitResult::Stopped) break;
    if (w != WaitResult::Ready) {
      log_line("UDP server: recvfrom call failed, timeout - wallbox missing");
      sleep_for(std::chrono::seconds(1), stop);  // a broken socket must not spin
      continue;
    }
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer.get(), 65535, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      log_line("UDP server: recvfrom call failed, timeout - wallbox missing");
      sleep_for(std::chrono::seconds(1), stop);
      continue;
    }
    if (n >= 512) continue;  // oversized: dropped without a line
    buffer[n] = '\0';
    char sender[INET_ADDRSTRLEN] = {};
    if (from.sin_family != AF_INET || ::inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender) == nullptr)
      continue;
    if (!workers.submit(sender, buffer.get(), static_cast<std::size_t>(n)))
      log_line("UDP server: all workers busy, datagram from %s dropped", sender);
  }
}

}  // namespace kivd
