// The web password as the configuration file keeps it: a salted yescrypt
// hash in crypt(3) form ("$y$..."), made and checked by libxcrypt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kivd {

// Longest hash text the settings keep (a yescrypt hash is about 73 characters).
inline constexpr std::size_t kPasswordHashMax = 160;
// Longest password taken from a form, a header or standard input.
inline constexpr std::size_t kPasswordMax = 128;

// A new salted hash of the password; nullopt when libxcrypt failed (no random
// salt to be had) or the password is empty, too long or holds a NUL.
std::optional<std::string> hash_password(std::string_view password);

// True when the password matches the hash. An empty or malformed hash
// matches nothing. The comparison takes the same time wherever the texts differ.
bool verify_password(std::string_view password, std::string_view hash);

// True for a whole hash text of one of libxcrypt's slow methods (yescrypt,
// bcrypt, SHA-512 crypt...) that libxcrypt accepts; false for empty, plain,
// fast-hash or cut texts.
bool valid_password_hash(std::string_view hash);

}  // namespace kivd
