// An update archive is used only when it is authentic and stays confined:
// a detached Ed25519 signature by the maker's key over the archive's bytes
// is checked before anything of it is read, and it is unpacked into a new,
// empty folder taking only regular files and folders inside it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kivd::web {

inline constexpr std::size_t kUpdateDownloadMax = 32u << 20;  // archive bytes
inline constexpr std::size_t kUpdateUnpackedMax = 64u << 20;  // file bytes unpacked
inline constexpr std::size_t kUpdateFilesMax = 2000;          // entries unpacked
inline constexpr std::size_t kUpdateSignatureMax = 1024;

// The maker's public key (hex, 32 bytes) shipped with the program; the key
// [WEBSERVER] UPDATE_KEY replaces it for self-built trees.
inline constexpr std::string_view kMakerUpdateKey = "34120842b6b1fa73e2aee6c6d81394cdeca8f19f47ccb45de00f258bb6698f87";

// The key in use: the configured one, else the maker's.
std::string update_public_key_hex();

// True when sig (64 raw bytes) is a valid Ed25519 signature of the file's
// bytes under the public key (64 hex digits). Empty why on success, else
// the reason for the log and the page.
bool signature_valid(const std::string& file, const std::string& sig_file, std::string_view key_hex,
                     std::string& why);

// Removes the folder as a whole (links inside are removed, never followed)
// and makes it anew, empty and private. False (why set) when it cannot.
bool fresh_folder(const std::string& dir, std::string& why);

// Unpacks the archive (tar, also compressed) into dir, which must be empty:
// regular files and folders only, names relative and without "..", within
// the caps. False with why set on the first refused entry; what was
// unpacked is then removed again.
bool unpack_confined(const std::string& archive, const std::string& dir, std::string& why);

}  // namespace kivd::web
