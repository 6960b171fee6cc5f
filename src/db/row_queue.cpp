#include "db/row_queue.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "core/log.hpp"
#include "core/unique_fd.hpp"

namespace kivd::db {

namespace {

// FNV-1a: enough to tell a torn or garbled record from a whole one.
std::uint32_t check_sum(std::string_view s) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
float from_bits(std::uint32_t u) { return std::bit_cast<float>(u); }

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Opens the queue's file without following a link; only a plain file is used.
UniqueFd open_plain(const std::string& path, int flags) {
  UniqueFd fd(::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
  struct stat st;
  if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) fd.reset();
  return fd;
}

}  // namespace

std::string encode_record(const KeptRow& r) {
  const RowValues& v = r.values;
  char body[200];
  std::snprintf(body, sizeof body, "%lld %d %d %d %d %d %d %d %08" PRIx32 " %08" PRIx32 " %08" PRIx32 " %08" PRIx32,
                static_cast<long long>(r.stamp), v.wb_pow, v.wb_e_total, v.ss_ac_power, v.ss_bat_soc, v.ss_bat_temp,
                v.ss_bat_voltage, v.ss_bat_current, bits(v.consumption), bits(v.sum_consumption), bits(v.delivery),
                bits(v.sum_delivery));
  char sum[16];
  std::snprintf(sum, sizeof sum, " %08" PRIx32 "\n", check_sum(body));
  return std::string(body) + sum;
}

std::optional<KeptRow> decode_record(std::string_view line) {
  if (line.size() < 10 || line.size() > 199 || line.back() != '\n') return std::nullopt;
  const std::string_view body = line.substr(0, line.size() - 10);
  std::uint32_t sum = 0;
  char tail[16];
  const std::string sum_text(line.substr(line.size() - 10));
  if (std::sscanf(sum_text.c_str(), " %8" SCNx32 "%1[\n]", &sum, tail) != 2 || sum_text[0] != ' ' ||
      sum != check_sum(body))
    return std::nullopt;
  KeptRow r;
  RowValues& v = r.values;
  long long stamp = 0;
  std::uint32_t f[4];
  int used = 0;
  const std::string b(body);
  if (std::sscanf(b.c_str(), "%lld %d %d %d %d %d %d %d %" SCNx32 " %" SCNx32 " %" SCNx32 " %" SCNx32 "%n", &stamp,
                  &v.wb_pow, &v.wb_e_total, &v.ss_ac_power, &v.ss_bat_soc, &v.ss_bat_temp, &v.ss_bat_voltage,
                  &v.ss_bat_current, &f[0], &f[1], &f[2], &f[3], &used) != 12 ||
      static_cast<std::size_t>(used) != b.size())
    return std::nullopt;
  r.stamp = static_cast<std::time_t>(stamp);
  v.consumption = from_bits(f[0]);
  v.sum_consumption = from_bits(f[1]);
  v.delivery = from_bits(f[2]);
  v.sum_delivery = from_bits(f[3]);
  return r;
}

RowQueue::RowQueue(std::string path, std::size_t max_rows) : path_(std::move(path)), max_(max_rows ? max_rows : 1) {}

void RowQueue::load() {
  rows_.clear();
  file_records_ = 0;
  unsaved_ = 0;
  if (path_.empty()) return;
  const UniqueFd fd = open_plain(path_, O_RDONLY);
  if (!fd) return;
  std::string content;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) > 0;) content.append(buf, static_cast<std::size_t>(n));
  std::size_t damaged = 0, dropped = 0;
  for (std::size_t pos = 0; pos < content.size();) {
    std::size_t end = content.find('\n', pos);
    end = end == std::string::npos ? content.size() : end + 1;
    if (const auto r = decode_record(std::string_view(content).substr(pos, end - pos))) {
      if (rows_.size() == max_) {
        rows_.pop_front();
        ++dropped;
      }
      rows_.push_back(*r);
    } else {
      ++damaged;
    }
    pos = end;
  }
  if (damaged > 0) log_line("MYSQL: %zu damaged kept rows skipped in %s", damaged, path_.c_str());
  if (dropped > 0) log_line("MYSQL: row queue full, %zu oldest rows dropped", dropped);
  file_records_ = rows_.size() + dropped;
  // A torn tail would swallow the next record appended to it.
  if (damaged > 0 || dropped > 0) sync();
}

void RowQueue::drop_oldest() {
  rows_.pop_front();
  if (unsaved_ > rows_.size()) unsaved_ = rows_.size();
  // A week and more without the database drops a row a minute: one line
  // when it starts, the count when it ends.
  if (dropped_++ == 0) log_line("MYSQL: row queue full, oldest rows dropped until the database takes rows again");
}

void RowQueue::push(const KeptRow& r) {
  if (rows_.size() >= max_) drop_oldest();
  rows_.push_back(r);
  ++unsaved_;
  if (path_.empty()) return;
  if (rewrite_ || file_records_ >= 2 * max_) {
    sync();
    return;
  }
  // With the rows an earlier append could not take, oldest first: once the
  // disk has room again the file catches up.
  std::string text;
  for (auto it = rows_.end() - static_cast<std::ptrdiff_t>(unsaved_); it != rows_.end(); ++it)
    text += encode_record(*it);
  if (append_to_file(text)) {
    file_records_ += unsaved_;
    unsaved_ = 0;
  }
}

bool RowQueue::append_to_file(const std::string& records) {
  const UniqueFd fd = open_plain(path_, O_WRONLY | O_CREAT | O_APPEND);
  struct stat st;
  const bool opened = fd && ::fstat(fd.get(), &st) == 0;
  // One write for the records: a crash leaves at most the last one torn.
  const bool ok = opened && write_all(fd.get(), records) && ::fdatasync(fd.get()) == 0;
  // A short write (a full disk) is cut back to whole records, or a torn
  // record would swallow the next one appended.
  if (!ok && opened && ::ftruncate(fd.get(), st.st_size) != 0) rewrite_ = true;
  if (!ok && !file_failed_) log_line("MYSQL: kept rows cannot be saved in %s", path_.c_str());
  if (ok && file_failed_) log_line("MYSQL: kept rows saved in %s again", path_.c_str());
  file_failed_ = !ok;
  return ok;
}

std::vector<KeptRow> RowQueue::front(std::size_t n) const {
  if (n > rows_.size()) n = rows_.size();
  return std::vector<KeptRow>(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(n));
}

void RowQueue::pop(std::size_t n) {
  if (n > rows_.size()) n = rows_.size();
  if (n > 0 && dropped_ > 0) {
    log_line("MYSQL: row queue full, %zu oldest rows dropped", dropped_);
    dropped_ = 0;
  }
  rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(n));
  if (unsaved_ > rows_.size()) unsaved_ = rows_.size();
}

void RowQueue::sync() {
  if (path_.empty()) return;
  if (rows_.empty()) {
    if (::unlink(path_.c_str()) == 0 || errno == ENOENT) {
      file_records_ = 0;
      rewrite_ = false;
    } else {
      rewrite_ = true;
    }
    return;
  }
  std::string text;
  text.reserve(rows_.size() * 100);
  for (const KeptRow& r : rows_) text += encode_record(r);
  const std::string tmp = path_ + ".new";
  ::unlink(tmp.c_str());
  bool ok = false;
  {
    const UniqueFd fd = open_plain(tmp, O_WRONLY | O_CREAT | O_EXCL);
    ok = fd && write_all(fd.get(), text) && ::fsync(fd.get()) == 0;
  }
  ok = ok && ::rename(tmp.c_str(), path_.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    if (!file_failed_) log_line("MYSQL: kept rows cannot be saved in %s", path_.c_str());
    file_failed_ = true;
    rewrite_ = true;
    return;
  }
  if (file_failed_) log_line("MYSQL: kept rows saved in %s again", path_.c_str());
  file_failed_ = false;
  rewrite_ = false;
  unsaved_ = 0;
  file_records_ = rows_.size();
}

}  // namespace kivd::db
