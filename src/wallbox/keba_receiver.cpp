#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/udp_socket.hpp"
#include "wallbox/keba_exchange.hpp"
#include "wallbox/keba_receiver.hpp"
#include "wallbox/keba_udp.hpp"
#include "wallbox/keba_workers.hpp"

namespace kivd {

void StartKEBAReceiver(int index, std::stop_token stop) {
  if (!log_worker_start(index, cfg().WallboxUsing, "UDP receiver (wallbox) not used...",
                        "Starting udp receiver..."))
    return;

  set_thread_stop(stop);
  KebaWorkers workers(keba_udp());
  StopFd stop_fd(stop);
  // One receive buffer for the life of the pass; a datagram of any size fits.
  auto buffer = std::make_unique<char[]>(65536);
  const int fd = daemon_state().udp_sock.load();

  while (!stop.stop_requested()) {
    Datagram got;
    const Recv r = receive_datagram(stop_fd, fd, {reinterpret_cast<std::uint8_t*>(buffer.get()), 65535}, kNoDeadline,
                                    nullptr, got);
    if (r == Recv::Stopped) break;
    if (r != Recv::Peer && r != Recv::Foreign) {
      log_line("UDP server: recvfrom call failed, timeout - wallbox missing");
      sleep_for(std::chrono::seconds(1), stop);  // a broken socket must not spin
      continue;
    }
    const std::size_t n = got.size;
    if (n >= 512) continue;  // oversized: dropped without a line
    buffer[n] = '\0';
    char sender[INET_ADDRSTRLEN] = {};
    if (r != Recv::Peer || ::inet_ntop(AF_INET, &got.from.sin_addr, sender, sizeof sender) == nullptr) continue;
    if (!workers.submit(sender, buffer.get(), static_cast<std::size_t>(n)))
      log_line("UDP server: all workers busy, datagram from %s dropped", sender);
  }
}

}  // namespace kivd
