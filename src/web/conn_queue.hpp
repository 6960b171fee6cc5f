// A fixed ring of items handed from one server thread to another: no
// allocation per connection, and every wait ends on a stop request.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

namespace kivd::web {

template <class T, std::size_t N>
class ConnQueue {
 public:
  // Waits for room; false (the item is dropped) on a stop request.
  bool push(T item, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (!room_.wait(lock, stop, [this] { return count_ < N; })) return false;
    items_[(head_ + count_) % N] = std::move(item);
    ++count_;
    ready_.notify_one();
    return true;
  }

  // Without waiting: false (the item stays with the caller) when full.
  bool try_push(T& item) {
    const std::lock_guard lock(mutex_);
    if (count_ >= N) return false;
    items_[(head_ + count_) % N] = std::move(item);
    ++count_;
    ready_.notify_one();
    return true;
  }

  // Without waiting: nullopt when empty.
  std::optional<T> try_pop() {
    const std::lock_guard lock(mutex_);
    if (count_ == 0) return std::nullopt;
    return take();
  }

  // Waits for an item; nullopt on a stop request.
  std::optional<T> pop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait(lock, stop, [this] { return count_ > 0; })) return std::nullopt;
    return take();
  }

 private:
  std::optional<T> take() {
    std::optional<T> item(std::move(items_[head_]));
    items_[head_] = T{};
    head_ = (head_ + 1) % N;
    --count_;
    room_.notify_one();
    return item;
  }

  std::mutex mutex_;
  std::condition_variable_any room_, ready_;
  std::array<T, N> items_{};
  std::size_t head_ = 0, count_ = 0;
};

}  // namespace kivd::web
