#include "wallbox/keba_workers.hpp"

#include <cstring>

#include "core/log.hpp"
#include "core/utils.hpp"
#include "wallbox/keba_udp.hpp"

namespace kivd {

KebaWorkers::KebaWorkers(KebaUdp& udp) : udp_(udp) {
  udp_.answers().clear_pending();
  for (auto& t : threads_) t = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
}

KebaWorkers::~KebaWorkers() {
  for (auto& t : threads_) t.request_stop();
  cv_.notify_all();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  udp_.answers().clear_pending();
}

bool KebaWorkers::submit(const char* sender, const char* data, std::size_t length) {
  udp_.answers().received();
  {
    std::lock_guard lock(m_);
    if (count_ < kSlots) {
      UdpDatagram& d = ring_[(head_ + count_) % kSlots];
      const std::size_t n = length < sizeof d.data - 1 ? length : sizeof d.data - 1;
      std::memcpy(d.data, data, n);
      d.data[n] = '\0';
      std::strncpy(d.sender, sender, sizeof d.sender - 1);
      d.sender[sizeof d.sender - 1] = '\0';
      d.length = static_cast<int>(n);
      d.worker = next_worker_;
      next_worker_ = next_worker_ == kWorkers ? 1 : next_worker_ + 1;
      ++count_;
      cv_.notify_one();
      return true;
    }
  }
  udp_.answers().handled();
  return false;
}

void KebaWorkers::run(std::stop_token stop) {
  name_this_thread("kiv-kebawork");
  set_thread_stop(stop);
  UdpDatagram mine;  // the worker's own copy, reused for every datagram
  for (;;) {
    {
      std::unique_lock lock(m_);
      if (!cv_.wait(lock, stop, [this] { return count_ > 0; })) return;
      mine = ring_[head_];
      head_ = (head_ + 1) % kSlots;
      --count_;
    }
    try {
      udp_.UdpServiceRequest(mine);
    } catch (...) {
      udp_.answers().handled();
      log_line("UDP server: worker %d failed on a datagram", mine.worker);
    }
  }
}

}  // namespace kivd
