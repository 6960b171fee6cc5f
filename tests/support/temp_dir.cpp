#include "support/temp_dir.hpp"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/settings.hpp"

namespace kivd::test {

TempDir::TempDir() {
  char tmpl[] = "/tmp/kivd-test.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& text) const {
  std::filesystem::create_directories(std::filesystem::path(file(name)).parent_path());
  std::ofstream(file(name), std::ios::binary) << text;
}

std::string TempDir::read(const std::string& name) const { return read_file(file(name)); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Sandbox::Sandbox() {
  std::filesystem::create_directories(dir_.file("etc"));
  setenv("KIVD_ROOT", dir_.path().c_str(), 1);
  Settings s;
  s.LOG_DIR = dir_.path();
  s.LOG_FILE = log_file();
  s.PID_FILE = dir_.file("kivd.pid");
  replace_settings(s);
}

Sandbox::~Sandbox() {
  unsetenv("KIVD_ROOT");
  replace_settings(Settings{});
}

}  // namespace kivd::test
