#include "web/sessions.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "core/test_hooks.hpp"

namespace kivd::web {

namespace {

struct SharedSessions {
  pthread_mutex_t lock;
  SessionTable table;
};

SharedSessions* g_shared = nullptr;

bool same_token(const std::array<char, kTokenHexLength>& stored, std::string_view token) {
  if (token.size() != kTokenHexLength) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < kTokenHexLength; ++i)
    diff |= static_cast<unsigned char>(stored[i] ^ token[i]);
  return diff == 0;
}

bool same_address(const SessionTable::Tries& t, std::string_view address) {
  return t.window_start != 0 && std::string_view(t.address.data()) == address;
}

std::optional<std::string> random_hex() {
  unsigned char random[kTokenHexLength / 2];
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return std::nullopt;
  static const char* hex = "0123456789abcdef";
  std::string token;
  for (unsigned char b : random) token += hex[b >> 4], token += hex[b & 15];
  return token;
}

}  // namespace

std::optional<std::string> SessionTable::open(std::time_t now) {
  const auto token = random_hex();
  const auto form = random_hex();
  if (!token || !form) return std::nullopt;
  Session& slot = *std::min_element(sessions.begin(), sessions.end(),
                                    [](const Session& a, const Session& b) { return a.last_used < b.last_used; });
  std::copy(token->begin(), token->end(), slot.token.begin());
  std::copy(form->begin(), form->end(), slot.form.begin());
  slot.last_used = std::max<std::int64_t>(now, 1);
  return token;
}

bool SessionTable::check(std::string_view token, std::time_t now, std::time_t idle_limit) {
  for (Session& s : sessions) {
    if (s.last_used == 0 || !same_token(s.token, token)) continue;
    if (now - s.last_used >= idle_limit) {
      s = Session{};
      return false;
    }
    s.last_used = std::max<std::int64_t>(now, s.last_used);
    return true;
  }
  return false;
}

void SessionTable::close(std::string_view token) {
  for (Session& s : sessions)
    if (s.last_used != 0 && same_token(s.token, token)) s = Session{};
}

std::string SessionTable::form_token(std::string_view session) const {
  const std::array<char, kTokenHexLength>* form = &anonymous_form;
  for (const Session& s : sessions)
    if (s.last_used != 0 && same_token(s.token, session)) form = &s.form;
  if ((*form)[0] == '\0') return {};
  return std::string(form->data(), form->size());
}

bool SessionTable::form_token_matches(std::string_view session, std::string_view form) const {
  const std::string want = form_token(session);
  if (want.empty()) return false;
  std::array<char, kTokenHexLength> stored{};
  std::copy(want.begin(), want.end(), stored.begin());
  return same_token(stored, form);
}

bool SessionTable::may_try(std::string_view address, std::time_t now) const {
  for (const Tries& t : tries)
    if (same_address(t, address)) return now - t.window_start >= 60 || t.failures < kTriesPerMinute;
  return true;
}

void SessionTable::note_failure(std::string_view address, std::time_t now) {
  address = address.substr(0, sizeof(Tries::address) - 1);
  Tries* slot = nullptr;
  for (Tries& t : tries)
    if (same_address(t, address)) slot = &t;
  if (slot == nullptr) {
    slot = &*std::min_element(tries.begin(), tries.end(),
                              [](const Tries& a, const Tries& b) { return a.window_start < b.window_start; });
    *slot = Tries{};
    std::copy(address.begin(), address.end(), slot->address.begin());
  }
  if (slot->window_start == 0 || now - slot->window_start >= 60) {
    slot->window_start = std::max<std::int64_t>(now, 1);
    slot->failures = 0;
  }
  ++slot->failures;
}

void make_shared_sessions() {
  if (g_shared != nullptr) return;
  void* p = ::mmap(nullptr, sizeof(SharedSessions), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  auto* shared = new (p) SharedSessions{};
  if (const auto form = random_hex()) std::copy(form->begin(), form->end(), shared->table.anonymous_form.begin());
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  const int r = pthread_mutex_init(&shared->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  if (r != 0) {
    ::munmap(p, sizeof(SharedSessions));
    return;
  }
  g_shared = shared;
}

SessionsLock::SessionsLock() {
  if (g_shared == nullptr) return;
  int r = pthread_mutex_lock(&g_shared->lock);
  // A request child ended while holding it: the table is still usable.
  if (r == EOWNERDEAD) r = pthread_mutex_consistent(&g_shared->lock);
  if (r == 0) table_ = &g_shared->table;
}

SessionsLock::~SessionsLock() {
  if (table_ != nullptr) pthread_mutex_unlock(&g_shared->lock);
}

std::time_t session_idle_limit() { return test_session_seconds(); }

}  // namespace kivd::web
