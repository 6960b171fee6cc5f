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

Expected expected_answer(std::string_view command) {
  if (command == "report 1") return Expected::Report1;
  if (command == "report 2") return Expected::Report2;
  if (command == "report 3") return Expected::Report3;
  return Expected::Ack;
}

bool answers(Expected e, AnswerKind k) {
  switch (e) {
    case Expected::Ack: return k == AnswerKind::Ack;
    case Expected::Report1: return k == AnswerKind::Report1;
    case Expected::Report2: return k == AnswerKind::Report2;
    case Expected::Report3: return k == AnswerKind::Report3;
    default: return false;
  }
}

void AnswerState::expect(Expected e) {
  std::lock_guard lock(m_);
  expected_ = e;
  answered_ = false;
  verdict_ = false;
}

bool AnswerState::offer(Answer a) {
  std::lock_guard lock(m_);
  if (answered_ || !answers(expected_, a.kind)) return false;
  answered_ = true;
  verdict_ = a.ok;
  cv_.notify_all();
  return true;
}

bool AnswerState::verdict() {
  std::lock_guard lock(m_);
  return answered_ && verdict_;
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
