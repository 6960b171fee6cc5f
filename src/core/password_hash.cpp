#include "core/password_hash.hpp"

#include <crypt.h>

#include <cstring>
#include <memory>

namespace kivd {

namespace {

// The prefixes of libxcrypt's slow methods; DES, MD5 and the like are refused.
constexpr std::string_view kSlowPrefixes[] = {"$y$", "$gy$", "$7$", "$2b$", "$2y$", "$6$"};

bool slow_prefix(std::string_view hash) {
  for (std::string_view p : kSlowPrefixes)
    if (hash.starts_with(p)) return true;
  return false;
}

bool usable_password(std::string_view password) {
  return !password.empty() && password.size() <= kPasswordMax && password.find('\0') == std::string_view::npos;
}

// crypt_r into a heap buffer (crypt_data is 32 KiB, too big for a request
// child's stack habits); nullopt when libxcrypt refused the setting.
std::optional<std::string> run_crypt(const std::string& password, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof(crypt_data));
  const char* out = ::crypt_r(password.c_str(), setting.c_str(), data.get());
  // Failures give NULL or a text starting with "*".
  if (out == nullptr || out[0] == '*') return std::nullopt;
  return std::string(out);
}

}  // namespace

std::optional<std::string> hash_password(std::string_view password) {
  if (!usable_password(password)) return std::nullopt;
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  // Count 0: libxcrypt's recommended cost; random bytes from the kernel.
  if (::crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return std::nullopt;
  auto hash = run_crypt(std::string(password), setting);
  if (!hash || hash->size() > kPasswordHashMax) return std::nullopt;
  return hash;
}

bool verify_password(std::string_view password, std::string_view hash) {
  if (!usable_password(password) || !valid_password_hash(hash)) return false;
  const auto computed = run_crypt(std::string(password), std::string(hash));
  if (!computed || computed->size() != hash.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < hash.size(); ++i)
    diff |= static_cast<unsigned char>((*computed)[i] ^ hash[i]);
  return diff == 0;
}

bool valid_password_hash(std::string_view hash) {
  if (hash.empty() || hash.size() > kPasswordHashMax || !slow_prefix(hash)) return false;
  for (char c : hash) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '$' ||
                    c == '.' || c == '/';
    if (!ok) return false;
  }
  // A whole hash, not a bare setting: the part after the last "$" is the
  // hash itself (43 characters for yescrypt). libxcrypt must take the method
  // as enabled and not as legacy or too cheap; the check costs no hashing,
  // so a file with a huge cost cannot stall reading the settings.
  if (hash.size() - hash.rfind('$') - 1 < 20) return false;
  return ::crypt_checksalt(std::string(hash).c_str()) == CRYPT_SALT_OK;
}

}  // namespace kivd
