// Browser sessions and failed password tries, kept where every request child
// can see them: one table in memory shared across the fork, made by the
// server thread before its first child. The request child and the server's
// worker threads use it at the same time, so every use holds SessionsLock, a
// robust process-shared mutex: a child killed half-way leaves the lock to the
// next user and at worst one slot that matches nothing.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace kivd::web {

inline constexpr std::size_t kTokenHexLength = 32;  // 128 random bits
inline constexpr int kTriesPerMinute = 5;

struct SessionTable {
  struct Session {
    std::array<char, kTokenHexLength> token{};
    std::array<char, kTokenHexLength> form{};  // what its forms carry (form_token)
    std::int64_t last_used = 0;  // 0: free
  };
  struct Tries {
    std::array<char, 48> address{};  // NUL-terminated
    std::int64_t window_start = 0;   // first failure of the current minute, 0: free
    int failures = 0;
  };
  std::array<Session, 64> sessions{};
  // The form token of requests without a session (no password set, or
  // HTTP Basic credentials); random, made with the table.
  std::array<char, kTokenHexLength> anonymous_form{};
  std::array<Tries, 64> tries{};

  // A new session for a right password: its token as hex, or nullopt when
  // the kernel gave no random bytes. The least recently used slot makes room.
  std::optional<std::string> open(std::time_t now);
  // True when the token names a session used within idle_limit seconds; it
  // then counts as used now. An expired session is dropped.
  bool check(std::string_view token, std::time_t now, std::time_t idle_limit);
  void close(std::string_view token);
  // The token the daemon's forms carry for this session cookie (the
  // anonymous one without a live session); empty when none could be made.
  std::string form_token(std::string_view session) const;
  // True when form matches form_token(session), compared in constant time.
  bool form_token_matches(std::string_view session, std::string_view form) const;

  // False while the address has had kTriesPerMinute wrong passwords within
  // the last minute: its next try is refused without checking.
  bool may_try(std::string_view address, std::time_t now) const;
  void note_failure(std::string_view address, std::time_t now);
};

// The table shared with the request children; made once, before the first
// fork, and kept for the life of the process.
void make_shared_sessions();

// Holds the shared table's lock while it lives. table() is nullptr when the
// table could not be made (sessions then fail, Basic credentials still work).
class SessionsLock {
 public:
  SessionsLock();
  ~SessionsLock();
  SessionsLock(const SessionsLock&) = delete;
  SessionsLock& operator=(const SessionsLock&) = delete;
  SessionTable* table() const { return table_; }

 private:
  SessionTable* table_ = nullptr;
};

// 12 hours, unless the test hook KIVD_TEST_SESSION_SECONDS shortens it.
std::time_t session_idle_limit();

}  // namespace kivd::web
