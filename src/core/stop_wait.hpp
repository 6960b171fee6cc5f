// Interruptible waits on descriptors: a worker's blocking receive ends within
// a moment when its pass is asked to stop.
#pragma once

#include <chrono>
#include <stop_token>

#include "core/unique_fd.hpp"

namespace kivd {

enum class WaitResult { Ready, Timeout, Stopped, Error };

// An eventfd that becomes readable when the stop token is triggered. Make one
// per worker and reuse it for all of its waits.
class StopFd {
 public:
  explicit StopFd(std::stop_token stop);
  StopFd(const StopFd&) = delete;
  StopFd& operator=(const StopFd&) = delete;

  bool stop_requested() const { return stop_.stop_requested(); }
  const std::stop_token& token() const { return stop_; }

  // Waits until fd is readable (writable), the time-out passes, or a stop is
  // requested. A negative time-out waits without limit.
  WaitResult wait_readable(int fd, std::chrono::milliseconds timeout) const;
  WaitResult wait_writable(int fd, std::chrono::milliseconds timeout) const;

 private:
  struct Wake {
    int fd;
    void operator()() const noexcept;
  };
  WaitResult wait(int fd, short events, std::chrono::milliseconds timeout) const;

  std::stop_token stop_;
  UniqueFd event_;
  std::stop_callback<Wake> callback_;
};

}  // namespace kivd
