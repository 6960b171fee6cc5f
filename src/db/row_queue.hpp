// Rows that could not be written while the database was away, kept in order
// until it answers again: in memory, and appended to a small file so that a
// restart or a crash does not lose them.
#pragma once

#include <cstddef>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/sql_text.hpp"

namespace kivd::db {

// Seven days of one row a minute.
inline constexpr std::size_t kKeptRowsMax = 7 * 24 * 60;

// One file record: a line of decimal fields, the floats as their bit
// patterns (exact), and a check sum over the rest; a record without its
// line end or with a wrong sum is torn and skipped.
std::string encode_record(const KeptRow& r);
std::optional<KeptRow> decode_record(std::string_view line);

class RowQueue {
 public:
  // path: the queue's file; empty keeps the rows in memory only.
  explicit RowQueue(std::string path, std::size_t max_rows = kKeptRowsMax);

  // Reads the rows the file holds (a damaged record is skipped and logged,
  // the file then rewritten without it).
  void load();
  // Appends a row; when full the oldest row is dropped first. The first drop
  // is logged, and the count once rows are written again (pop).
  void push(const KeptRow& r);
  // The oldest n rows, in order.
  std::vector<KeptRow> front(std::size_t n) const;
  // Forgets the oldest n rows (written); the file follows at sync().
  void pop(std::size_t n);
  // Rewrites the file to hold exactly the rows in memory (removed when none),
  // atomically: a new file renamed over the old one.
  void sync();

  std::size_t size() const { return rows_.size(); }
  // The newest rows that live in memory only (the file could not take them).
  std::size_t unsaved() const { return unsaved_; }
  // Rows dropped since the queue last became full and not yet logged.
  std::size_t dropped() const { return dropped_; }
  const std::string& path() const { return path_; }
  bool empty() const { return rows_.empty(); }

 private:
  void drop_oldest();
  bool append_to_file(const std::string& records);

  std::string path_;
  std::size_t max_;
  std::deque<KeptRow> rows_;
  // Records in the file, including those dropped from memory since the last
  // rewrite: the file is compacted when it holds twice the bound.
  std::size_t file_records_ = 0;
  bool file_failed_ = false;
  // Newest rows not in the file; they go with the next append or rewrite.
  std::size_t unsaved_ = 0;
  std::size_t dropped_ = 0;
  // The file may not hold what memory says (a rewrite failed, or a cut
  // append could not be taken back): the next push rewrites it whole.
  bool rewrite_ = false;
};

}  // namespace kivd::db
