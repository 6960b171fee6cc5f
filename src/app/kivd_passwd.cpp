// kivd-passwd: sets the web password from the shell, for installs without a
// browser at hand. Reads the password from standard input (twice, without
// echo, from a terminal; one line from a pipe) and writes its hash into the
// configuration file through the settings write-back.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "core/ini_writeback.hpp"
#include "core/password_hash.hpp"
#include "core/paths.hpp"

namespace {

// Turns the terminal's echo off for its lifetime.
class NoEcho {
 public:
  NoEcho() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~NoEcho() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  NoEcho(const NoEcho&) = delete;
  NoEcho& operator=(const NoEcho&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

std::optional<std::string> read_line(const char* prompt, bool terminal) {
  if (terminal) std::cerr << prompt << std::flush;
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) std::cerr << '\n';
  if (!got && line.empty()) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::cerr << "usage: " << argv[0] << " < password-file\n"
              << "Sets the web password of kivd in " << kivd::ini_path()
              << " (KIVD_ROOT is put in front of the path).\n";
    return 2;
  }
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  std::optional<std::string> password, again;
  {
    std::optional<NoEcho> quiet;
    if (terminal) quiet.emplace();
    password = read_line("New web password: ", terminal);
    again = terminal ? read_line("Repeat it: ", terminal) : password;
  }
  if (!password || password->empty()) {
    std::cerr << "kivd-passwd: no password given, nothing changed\n";
    return 1;
  }
  if (password != again) {
    std::cerr << "kivd-passwd: the passwords differ, nothing changed\n";
    return 1;
  }
  if (password->size() > kivd::kPasswordMax) {
    std::cerr << "kivd-passwd: the password is longer than " << kivd::kPasswordMax << " characters, nothing changed\n";
    return 1;
  }
  const auto hash = kivd::hash_password(*password);
  if (!hash) {
    std::cerr << "kivd-passwd: the password could not be hashed, nothing changed\n";
    return 1;
  }
  const std::string path = kivd::ini_path();
  if (kivd::WriteIniKey(path, "WEBSERVER:PASSWORD_HASH", *hash) == 0) {
    std::cerr << "kivd-passwd: " << path << " could not be written, nothing changed\n";
    return 1;
  }
  std::cerr << "kivd-passwd: web password written to " << path << "; restart kivd to apply it\n";
  return 0;
}
