#include "wallbox/keba_exchange.hpp"

namespace kivd {

namespace {
thread_local std::stop_token tl_stop;
}  // namespace

void set_thread_stop(std::stop_token stop) { tl_stop = std::move(stop); }
const std::stop_token& thread_stop() { return tl_stop; }

void AnswerState::received() {
  std::lock_guard lock(m_);
  ++pending_;
}

void AnswerState::handled() {
  std::lock_guard lock(m_);
  if (pending_ > 0) --pending_;
  cv_.notify_all();
}

void AnswerState::answered() {
  std::lock_guard lock(m_);
  answered_ = true;
  cv_.notify_all();
}

void AnswerState::clear_answer() {
  std::lock_guard lock(m_);
  answered_ = false;
}

void AnswerState::clear_pending() {
  std::lock_guard lock(m_);
  pending_ = 0;
  cv_.notify_all();
}

bool AnswerState::wait_idle(const std::stop_token& stop, std::chrono::milliseconds limit) {
  std::unique_lock lock(m_);
  return cv_.wait_for(lock, stop, limit, [this] { return pending_ == 0; });
}

bool AnswerState::wait_answer(const std::stop_token& stop, std::chrono::milliseconds limit) {
  std::unique_lock lock(m_);
  return cv_.wait_for(lock, stop, limit, [this] { return answered_; });
}

}  // namespace kivd
