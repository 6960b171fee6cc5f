// A short text shared between threads and forked web children.
//
// Writers take a sequence counter to an odd value, store the bytes and make it
// even again; readers copy and retry when the counter moved. A reader never
// waits on a lock, so a child forked while a writer was in the middle of a
// store still gets a terminated text once the counter has stayed odd for a
// while.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace kivd {

template <std::size_t N>  // N: capacity in bytes including the terminator
class SeqText {
  static_assert(N > 1);
  static constexpr std::size_t kWords = (N + 7) / 8;

 public:
  SeqText() { set(""); }
  explicit SeqText(std::string_view s) { set(s); }
  SeqText(const SeqText&) = delete;
  SeqText& operator=(const SeqText&) = delete;

  static constexpr std::size_t capacity() { return N - 1; }

  // Stores at most N-1 bytes of s (longer text is cut).
  void set(std::string_view s) {
    std::uint32_t seq = seq_.load(std::memory_order_relaxed);
    for (;;) {
      if ((seq & 1u) == 0 &&
          seq_.compare_exchange_weak(seq, seq + 1, std::memory_order_acquire, std::memory_order_relaxed))
        break;
      std::this_thread::yield();
      seq = seq_.load(std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_release);
    std::array<char, kWords * 8> buf{};
    const std::size_t n = s.size() < N - 1 ? s.size() : N - 1;
    std::memcpy(buf.data(), s.data(), n);
    for (std::size_t i = 0; i < kWords; ++i) {
      std::uint64_t w;
      std::memcpy(&w, buf.data() + i * 8, 8);
      words_[i].store(w, std::memory_order_relaxed);
    }
    seq_.store(seq + 2, std::memory_order_release);
  }

  // Copies the text into out (N bytes, always terminated). Retries while
  // writers make progress; only a counter that stays odd for long (a writer
  // that no longer exists, as in a forked child) ends the retries early.
  void copy_to(char (&out)[N]) const {
    std::array<char, kWords * 8> buf{};
    std::uint32_t stuck_seq = 0;
    std::chrono::steady_clock::time_point stuck_since{};
    for (unsigned attempt = 0;; ++attempt) {
      const std::uint32_t before = seq_.load(std::memory_order_acquire);
      load_words(buf);
      std::atomic_thread_fence(std::memory_order_acquire);
      const std::uint32_t after = seq_.load(std::memory_order_relaxed);
      if ((before & 1u) == 0 && after == before) break;
      if ((after & 1u) != 0 && attempt % 64 == 63) {
        const auto now = std::chrono::steady_clock::now();
        if (after != stuck_seq) {
          stuck_seq = after;
          stuck_since = now;
        } else if (now - stuck_since > std::chrono::milliseconds(200)) {
          break;
        }
      }
      std::this_thread::yield();
    }
    std::memcpy(out, buf.data(), N);
    out[N - 1] = '\0';
  }

  std::string get() const {
    char out[N];
    copy_to(out);
    return std::string(out);
  }

 private:
  void load_words(std::array<char, kWords * 8>& buf) const {
    for (std::size_t i = 0; i < kWords; ++i) {
      const std::uint64_t w = words_[i].load(std::memory_order_relaxed);
      std::memcpy(buf.data() + i * 8, &w, 8);
    }
  }

  std::atomic<std::uint32_t> seq_{0};
  std::array<std::atomic<std::uint64_t>, kWords> words_{};
};

}  // namespace kivd
