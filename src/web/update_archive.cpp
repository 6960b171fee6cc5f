#include "web/update_archive.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <ftw.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/settings.hpp"

namespace kivd::web {

namespace {

bool read_small_file(const std::string& path, std::size_t max, std::vector<unsigned char>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= max;
  if (ok) {
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < out.size()) {
      const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ok = got == out.size();
  }
  ::close(fd);
  return ok;
}

bool hex_key(std::string_view hex, unsigned char (&key)[32]) {
  if (hex.size() != 64) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    unsigned v = 0;
    for (char c : hex.substr(2 * i, 2)) {
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    key[i] = static_cast<unsigned char>(v);
  }
  return true;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// One name of the archive, checked: relative, no "." or ".." part, no
// empty part but a trailing one (folders end in "/").
bool safe_name(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.size() > 1024) return false;
  while (name.starts_with("./")) name.remove_prefix(2);
  if (name.empty()) return false;
  std::size_t at = 0;
  while (at <= name.size()) {
    const std::size_t slash = name.find('/', at);
    const std::string_view part = name.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at);
    if (part == ".." || part == "." || (part.empty() && slash != std::string_view::npos)) return false;
    if (slash == std::string_view::npos) break;
    at = slash + 1;
  }
  return name.find('\0') == std::string_view::npos;
}

// Opens (creating where asked) the folder of path's parent parts below dir
// without following any link; returns its descriptor and leaves the last
// part in leaf.
int open_parent(int root, std::string_view path, std::string& leaf) {
  while (path.starts_with("./")) path.remove_prefix(2);
  if (path.ends_with('/')) path.remove_suffix(1);
  int fd = ::dup(root);
  for (;;) {
    const std::size_t slash = path.find('/');
    if (slash == std::string_view::npos) {
      leaf = std::string(path);
      return fd;
    }
    const std::string part(path.substr(0, slash));
    path.remove_prefix(slash + 1);
    if (::mkdirat(fd, part.c_str(), 0755) != 0 && errno != EEXIST) {
      ::close(fd);
      return -1;
    }
    const int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fd);
    if (next < 0) return -1;
    fd = next;
  }
}

struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};

bool unpack_into(const std::string& archive_path, int root, std::string& why) {
  std::unique_ptr<archive, ArchiveFree> a(archive_read_new());
  archive_read_support_filter_all(a.get());
  archive_read_support_format_tar(a.get());
  if (archive_read_open_filename(a.get(), archive_path.c_str(), 16384) != ARCHIVE_OK) {
    why = "the update archive could not be unpacked";
    return false;
  }
  std::size_t files = 0, bytes = 0;
  archive_entry* e = nullptr;
  for (;;) {
    const int r = archive_read_next_header(a.get(), &e);
    if (r == ARCHIVE_EOF) return files > 0 || (why = "the update archive is empty", false);
    if (r != ARCHIVE_OK) {
      why = "the update archive could not be unpacked";
      return false;
    }
    const char* name = archive_entry_pathname(e);
    if (!name || !safe_name(name)) {
      why = "the update archive holds a name outside its folder";
      return false;
    }
    const mode_t type = archive_entry_filetype(e);
    if (type != AE_IFREG && type != AE_IFDIR) {
      why = "the update archive holds a link or a special file";
      return false;
    }
    if (archive_entry_hardlink(e) != nullptr) {
      why = "the update archive holds a link or a special file";
      return false;
    }
    if (++files > kUpdateFilesMax) {
      why = "the update archive holds too many files";
      return false;
    }
    std::string leaf;
    const int parent = open_parent(root, name, leaf);
    if (parent < 0 || leaf.empty()) {
      if (parent >= 0) ::close(parent);
      why = "the update archive could not be unpacked";
      return false;
    }
    if (type == AE_IFDIR) {
      const bool ok = ::mkdirat(parent, leaf.c_str(), 0755) == 0 || errno == EEXIST;
      ::close(parent);
      if (!ok) return (why = "the update archive could not be unpacked", false);
      continue;
    }
    // Ours alone to write: the archive's modes only say whether it runs.
    const mode_t mode = (archive_entry_perm(e) & 0111) ? 0755 : 0644;
    const int fd = ::openat(parent, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    ::close(parent);
    if (fd < 0) return (why = "the update archive could not be unpacked", false);
    char buf[16384];
    bool ok = true;
    for (;;) {
      const la_ssize_t n = archive_read_data(a.get(), buf, sizeof buf);
      if (n == 0) break;
      if (n < 0) {
        why = "the update archive could not be unpacked";
        ok = false;
        break;
      }
      bytes += static_cast<std::size_t>(n);
      if (bytes > kUpdateUnpackedMax) {
        why = "the update archive unpacks to more than 64 MiB";
        ok = false;
        break;
      }
      if (::write(fd, buf, static_cast<std::size_t>(n)) != n) {
        why = "the update archive could not be written";
        ok = false;
        break;
      }
    }
    if (::close(fd) != 0 && ok) return (why = "the update archive could not be written", false);
    if (!ok) return false;
  }
}

}  // namespace

std::string update_public_key_hex() {
  const std::string& own = cfg().UpdateKey;
  return own.empty() ? std::string(kMakerUpdateKey) : own;
}

bool signature_valid(const std::string& file, const std::string& sig_file, std::string_view key_hex,
                     std::string& why) {
  unsigned char key[32];
  if (!hex_key(key_hex, key)) return (why = "no usable public key for updates", false);
  std::vector<unsigned char> sig, data;
  if (!read_small_file(sig_file, kUpdateSignatureMax, sig) || sig.size() != 64)
    return (why = "the update archive carries no signature", false);
  if (!read_small_file(file, kUpdateDownloadMax, data)) return (why = "the update archive cannot be read", false);
  EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key, sizeof key);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = pkey && ctx && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey) == 1 &&
                  EVP_DigestVerify(ctx, sig.data(), sig.size(), data.data(), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pkey);
  if (!ok) why = "the update archive's signature is not valid for the maker's key";
  return ok;
}

bool fresh_folder(const std::string& dir, std::string& why) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) == 0) {
    // FTW_PHYS: a link inside is removed itself, never what it points at.
    if (S_ISDIR(st.st_mode) ? ::nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0
                            : ::unlink(dir.c_str()) != 0)
      return (why = "the earlier update folder cannot be removed", false);
  }
  if (::mkdir(dir.c_str(), 0700) != 0) return (why = "the update folder cannot be made", false);
  return true;
}

bool unpack_confined(const std::string& archive, const std::string& dir, std::string& why) {
  const int root = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (root < 0) return (why = "the update folder cannot be opened", false);
  const bool ok = unpack_into(archive, root, why);
  ::close(root);
  if (!ok) {
    std::string ignored;
    fresh_folder(dir, ignored);
  }
  return ok;
}

}  // namespace kivd::web
