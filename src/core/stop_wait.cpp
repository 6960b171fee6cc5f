#include "core/stop_wait.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace kivd {

void StopFd::Wake::operator()() const noexcept {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

StopFd::StopFd(std::stop_token stop)
    : stop_(stop), event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), callback_(stop, Wake{event_.get()}) {}

WaitResult StopFd::wait_readable(int fd, std::chrono::milliseconds timeout) const {
  return wait(fd, POLLIN, timeout);
}

WaitResult StopFd::wait_writable(int fd, std::chrono::milliseconds timeout) const {
  return wait(fd, POLLOUT, timeout);
}

WaitResult StopFd::wait(int fd, short events, std::chrono::milliseconds timeout) const {
  if (stop_.stop_requested()) return WaitResult::Stopped;
  pollfd fds[2] = {{fd, events, 0}, {event_.get(), POLLIN, 0}};
  const int ms = timeout.count() < 0 ? -1 : static_cast<int>(timeout.count());
  for (;;) {
    const int n = ::poll(fds, event_.valid() ? 2 : 1, ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WaitResult::Error;
    if (stop_.stop_requested()) return WaitResult::Stopped;
    if (n == 0) return WaitResult::Timeout;
    if (fds[0].revents) return WaitResult::Ready;
    return WaitResult::Stopped;
  }
}

}  // namespace kivd
