#include "updater/updater_io.hpp"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace kiv_updater {

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // close() reports late write errors (NFS, full disk): look at it.
  int close_checked() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

std::string why(const char* what, const std::string& path, int err) {
  return std::string(what) + " " + path + ": " + std::strerror(err);
}

std::string dir_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

ssize_t read_full(int fd, char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

bool write_full(int fd, const char* buf, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, buf, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    buf += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Copies all of in (from its start) into out; errno tells why on failure.
bool copy_bytes(int in, int out) {
  std::array<char, 65536> buf;
  if (::lseek(in, 0, SEEK_SET) < 0) return false;
  for (;;) {
    const ssize_t n = read_full(in, buf.data(), buf.size());
    if (n < 0) return false;
    if (n == 0) return true;
    if (!write_full(out, buf.data(), static_cast<std::size_t>(n))) {
      if (errno == 0) errno = EIO;
      return false;
    }
  }
}

// Reads both files back from their start and compares them.
bool same_bytes(int a, int b) {
  std::array<char, 32768> x, y;
  if (::lseek(a, 0, SEEK_SET) < 0 || ::lseek(b, 0, SEEK_SET) < 0) return false;
  for (;;) {
    const ssize_t n = read_full(a, x.data(), x.size());
    const ssize_t m = read_full(b, y.data(), y.size());
    if (n < 0 || m < 0 || n != m) return false;
    if (n == 0) return true;
    if (std::memcmp(x.data(), y.data(), static_cast<std::size_t>(n)) != 0) return false;
  }
}

void sync_dir(const std::string& dir) {
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.ok()) ::fsync(d.get());
}

mode_t current_umask() {
  const mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

// A fresh temporary file beside target; its name goes to tmp_path.
Fd make_temp_beside(const std::string& target, std::string& tmp_path) {
  tmp_path = dir_of(target) + "/." + base_of(target) + ".new.XXXXXX";
  std::vector<char> name(tmp_path.begin(), tmp_path.end());
  name.push_back('\0');
  Fd fd(::mkostemp(name.data(), O_CLOEXEC));
  tmp_path.assign(name.data());
  // Held while the copy is written: the daemon's start removes only copies
  // nobody holds (those of an install cut short).
  if (fd.ok()) ::flock(fd.get(), LOCK_EX);
  return fd;
}

// Copies the regular file src (already open, stat in st) to dst through a
// temporary file and rename. Owner and times are kept when keep_meta.
std::string replace_file(int src, const struct stat& st, const std::string& dst, mode_t mode, bool keep_meta,
                         uid_t uid, gid_t gid, bool verify) {
  std::string tmp;
  Fd out = make_temp_beside(dst, tmp);
  if (!out.ok()) return why("cannot create a temporary file beside", dst, errno);
  auto fail = [&](const char* what, int err) {
    out.reset();
    ::unlink(tmp.c_str());
    return why(what, tmp, err);
  };
  if (!copy_bytes(src, out.get())) return fail("cannot write", errno);
  if (verify && !same_bytes(src, out.get())) return fail("copy differs from the source in", EIO);
  if (keep_meta) [[maybe_unused]] int r = ::fchown(out.get(), uid, gid);  // only root may; not needed otherwise
  if (::fchmod(out.get(), mode) != 0) return fail("cannot set the mode of", errno);
  if (keep_meta) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
  }
  if (::fsync(out.get()) != 0) return fail("cannot flush", errno);
  if (out.close_checked() != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return why("cannot close", tmp, err);
  }
  if (::rename(tmp.c_str(), dst.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return why("cannot rename the new file to", dst, err);
  }
  sync_dir(dir_of(dst));
  return {};
}

struct ElfId {
  unsigned char cls = 0, data = 0;
  unsigned type = 0, machine = 0;
};

// Class, byte order, type and machine from the ELF header.
bool read_elf_id(const std::string& path, ElfId& id) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return false;
  unsigned char h[EI_NIDENT + 4];
  if (read_full(fd.get(), reinterpret_cast<char*>(h), sizeof h) != static_cast<ssize_t>(sizeof h)) return false;
  if (std::memcmp(h, ELFMAG, SELFMAG) != 0) return false;
  id.cls = h[EI_CLASS];
  id.data = h[EI_DATA];
  if (id.data == ELFDATA2LSB) {
    id.type = h[16] | (h[17] << 8);
    id.machine = h[18] | (h[19] << 8);
  } else {
    id.type = (h[16] << 8) | h[17];
    id.machine = (h[18] << 8) | h[19];
  }
  return true;
}

// True when the program and section header tables and every loaded segment
// lie inside the file: a download cut short fails here, not in execl.
template <class Ehdr, class Phdr>
bool elf_complete(int fd, std::uint64_t size) {
  Ehdr eh;
  if (::pread(fd, &eh, sizeof eh, 0) != static_cast<ssize_t>(sizeof eh)) return false;
  if (eh.e_phentsize != sizeof(Phdr) || eh.e_phnum == 0) return false;
  const std::uint64_t ph_end = std::uint64_t{eh.e_phoff} + std::uint64_t{eh.e_phnum} * sizeof(Phdr);
  if (ph_end > size) return false;
  if (eh.e_shoff != 0 && std::uint64_t{eh.e_shoff} + std::uint64_t{eh.e_shnum} * eh.e_shentsize > size) return false;
  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    Phdr ph;
    const off_t at = static_cast<off_t>(eh.e_phoff + i * sizeof(Phdr));
    if (::pread(fd, &ph, sizeof ph, at) != static_cast<ssize_t>(sizeof ph)) return false;
    if (ph.p_type == PT_LOAD && std::uint64_t{ph.p_offset} + ph.p_filesz > size) return false;
  }
  return true;
}

std::string copy_entry(const std::string& src, const std::string& dst);

std::string copy_dir(const std::string& src, const struct stat& st, const std::string& dst) {
  struct stat dt;
  if (::lstat(dst.c_str(), &dt) == 0) {
    if (!S_ISDIR(dt.st_mode)) return "cannot overwrite non-directory " + dst + " with a directory";
  } else if (::mkdir(dst.c_str(), 0700) != 0) {
    return why("cannot create", dst, errno);
  }
  std::string first;
  DIR* d = ::opendir(src.c_str());
  if (!d) return why("cannot read", src, errno);
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  ::closedir(d);
  for (const std::string& n : names) {
    std::string r = copy_entry(src + "/" + n, dst + "/" + n);
    if (first.empty()) first = std::move(r);
  }
  [[maybe_unused]] int r = ::lchown(dst.c_str(), st.st_uid, st.st_gid);
  if (::chmod(dst.c_str(), st.st_mode & 07777) != 0 && first.empty()) first = why("cannot set the mode of", dst, errno);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::utimensat(AT_FDCWD, dst.c_str(), times, 0);
  return first;
}

std::string copy_link(const std::string& src, const struct stat& st, const std::string& dst) {
  std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
  const ssize_t n = ::readlink(src.c_str(), target.data(), target.size() - 1);
  if (n < 0) return why("cannot read the link", src, errno);
  target[static_cast<std::size_t>(n)] = '\0';
  // A temporary name first, so an existing entry is replaced in one step.
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".new.%d.%d", static_cast<int>(::getpid()), attempt);
    const std::string tmp = dir_of(dst) + "/." + base_of(dst) + suffix;
    if (::symlink(target.data(), tmp.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return why("cannot create the link", tmp, errno);
    }
    [[maybe_unused]] int r = ::lchown(tmp.c_str(), st.st_uid, st.st_gid);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, tmp.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (::rename(tmp.c_str(), dst.c_str()) != 0) {
      const int err = errno;
      ::unlink(tmp.c_str());
      return why("cannot rename the link to", dst, err);
    }
    return {};
  }
  return "no free temporary name beside " + dst;
}

std::string copy_entry(const std::string& src, const std::string& dst) {
  struct stat st;
  if (::lstat(src.c_str(), &st) != 0) return why("cannot read", src, errno);
  if (S_ISDIR(st.st_mode)) return copy_dir(src, st, dst);
  if (S_ISLNK(st.st_mode)) return copy_link(src, st, dst);
  if (!S_ISREG(st.st_mode)) return {};  // devices, pipes, sockets: nothing a web folder needs
  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!in.ok()) return why("cannot open", src, errno);
  return replace_file(in.get(), st, dst, st.st_mode & 07777, true, st.st_uid, st.st_gid, false);
}

}  // namespace

void log_message(const std::string& file, const std::string& text) {
  Fd fd(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
  if (!fd.ok()) return;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  asctime_r(&tm, stamp);
  stamp[std::strcspn(stamp, "\n")] = '\0';
  // One write per line, so the line never interleaves with another writer's.
  const std::string line = std::string(stamp) + " " + text + "\n";
  write_full(fd.get(), line.data(), line.size());
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string check_program(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return why("cannot read", path, errno);
  if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
  ElfId id;
  if (!read_elf_id(path, id)) return path + " is not an ELF program";
  if (id.type != 2 && id.type != 3) return path + " is not an executable ELF file";
  ElfId self;
  if (read_elf_id("/proc/self/exe", self) &&
      (self.cls != id.cls || self.data != id.data || self.machine != id.machine))
    return path + " is a program for another machine";
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return why("cannot read", path, errno);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const bool whole = id.cls == ELFCLASS64 ? elf_complete<Elf64_Ehdr, Elf64_Phdr>(fd.get(), size)
                                          : elf_complete<Elf32_Ehdr, Elf32_Phdr>(fd.get(), size);
  if (!whole) return path + " is cut short or damaged";
  return {};
}

std::string install_program(const std::string& source, const std::string& dest) {
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.ok()) return why("cannot open", source, errno);
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return why("cannot read", source, errno);
  if (!S_ISREG(st.st_mode)) return source + " is not a regular file";

  // A link as destination: replace what it points to, keep the link.
  std::string target = dest;
  struct stat lt;
  if (::lstat(dest.c_str(), &lt) == 0 && S_ISLNK(lt.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(dest.c_str(), resolved)) target = resolved;
  }

  // A new program gets the execute bits "chmod +x" would give; an installed
  // one keeps the mode its owner chose (made executable for its user at least).
  mode_t mode = (st.st_mode & 07777) | (0111 & ~current_umask());
  bool keep_owner = false;
  uid_t uid = 0;
  gid_t gid = 0;
  struct stat dt;
  if (::stat(target.c_str(), &dt) == 0) {
    if (!S_ISREG(dt.st_mode)) return dest + " is not a regular file";
    mode = (dt.st_mode & 07777) | S_IXUSR;
    keep_owner = true;
    uid = dt.st_uid;
    gid = dt.st_gid;
  }
  std::string err = replace_file(in.get(), st, target, mode, false, 0, 0, true);
  if (err.empty() && keep_owner) [[maybe_unused]] int r = ::chown(target.c_str(), uid, gid);
  return err;
}

std::string copy_tree(const std::string& source, const std::string& dest_dir) {
  struct stat st;
  if (::stat(source.c_str(), &st) != 0) return why("cannot read", source, errno);
  if (!S_ISDIR(st.st_mode)) return source + " is not a folder";
  struct stat dt;
  if (::stat(dest_dir.c_str(), &dt) != 0) return why("cannot read", dest_dir, errno);
  if (!S_ISDIR(dt.st_mode)) return dest_dir + " is not a folder";
  return copy_dir(source, st, dest_dir + "/" + base_of(source));
}

}  // namespace kiv_updater
