// A temporary folder removed with its contents at the end of a test, and a
// sandbox that points KIVD_ROOT at it.
#pragma once

#include <string>

namespace kivd::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const;
  std::string read(const std::string& name) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);

// Sets KIVD_ROOT to a fresh temporary folder (with etc/ inside) and installs
// settings whose log and PID files lie in it; undoes both at the end.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  const TempDir& dir() const { return dir_; }
  std::string log_file() const { return dir_.file("kivd.log"); }
  std::string log() const { return read_file(log_file()); }

 private:
  TempDir dir_;
};

}  // namespace kivd::test
