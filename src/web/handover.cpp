#include "web/handover.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/charging_mode.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/private_dir.hpp"
#include "core/settings.hpp"
#include "core/utils.hpp"
#include "web/http_request.hpp"

namespace kivd::web {

namespace {

bool write_file(const std::string& path, std::string_view text) {
  // O_NONBLOCK: a FIFO planted under the name must not hang the child.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return false;
  }
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0;
}

// Reads the whole of a small plain file (no link followed); false when absent.
bool read_file(const std::string& path, std::string& content) {
  content.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    // A link or something else under the name is removed, never applied.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
      log_line("Webserver: %s is not a plain file, removed unread", path.c_str());
      ::unlink(path.c_str());
      return true;
    }
    return false;
  }
  struct stat st;
  const bool plain = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (plain && !trusted_file(st)) {
    log_line("Webserver: %s not written by this service, removed unread", path.c_str());
  } else if (plain) {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      if (content.size() < 65536) content.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  ::unlink(path.c_str());
  return true;
}

// Exactly one line (a final line feed allowed) is taken, cut to max; false
// when there is no file.
bool get_file(const std::string& path, std::string& text, std::size_t max) {
  text.clear();
  std::string content;
  if (!read_file(path, content)) return false;
  std::size_t lines = 0;
  for (std::size_t i = 0; i < content.size(); ++i)
    if (content[i] == '\n' || i + 1 == content.size()) ++lines;
  if (lines == 1) {
    text = content.substr(0, content.find('\n'));
    if (text.size() > max) text.resize(max);
  }
  return true;
}

void derive_mode() {
  LiveValues& v = live();
  if (v.wb_X1_in.load() == 1) {
    v.disable_web_control = 1;
    v.ChargingMode = static_cast<int>(ChargingMode::Quick);
    return;
  }
  const ChargingMode mode = mode_of_choice(v.web_charge_mode.load());
  v.ChargingMode = static_cast<int>(mode);
  if (mode != ChargingMode::Surplus) v.safety_curr = v.CarMinCharge.load();
  v.disable_web_control = 0;
}

}  // namespace

namespace {

// Empty without a private folder: nothing is then handed over.
std::string in_private_dir(const char* name) {
  const std::string dir = private_dir();
  return dir.empty() ? dir : dir + "/" + name;
}

}  // namespace

std::string temp_variables_path() { return in_private_dir("kivd.var"); }
std::string temp_actions_path() { return in_private_dir("kivd.act"); }

int set_temp_variables(std::string_view text) {
  if (write_file(temp_variables_path(), text)) return 0;
  log_line("set_line: error writing tempfile variables");
  return -1;
}

int set_temp_actions(std::string_view text) {
  if (write_file(temp_actions_path(), text)) return 0;
  log_line("set_line: error writing tempfile actions");
  return -1;
}

int get_temp_variables(std::string& text) { return get_file(temp_variables_path(), text, 1999) ? 1 : 0; }
int get_temp_actions(std::string& text) { return get_file(temp_actions_path(), text, 19) ? 1 : 0; }

void remove_temp_files() {
  for (const std::string& path : {temp_variables_path(), temp_actions_path()})
    if (!path.empty()) ::unlink(path.c_str());
}

int manual_current_step(int n) {
  if (n < 0) return n;
  if (n < 6500) return kManualCurrents.front();
  if (n >= 31500) return kManualCurrents.back();
  const int ampere = (n + 500) / 1000;  // 7..31
  return kManualCurrents[static_cast<std::size_t>(ampere - 6)];
}

int remote_mode(std::string_view value) { return choice_of_mode(mode_from_text(value, ModeMatch::Contains)); }

int limit_activation(int n) { return n >= 1 && n <= 21999 ? n : 1380; }
int limit_phases(int n) { return n >= 1 && n <= 3 ? n : 1; }
int limit_min_charge(int n) { return is_min_charge_current(n) ? n : 6000; }

void SetVariables(std::string_view pair) {
  const std::size_t eq = pair.find('=');
  if (eq != std::string_view::npos) {
    const std::string_view name = pair.substr(0, eq);
    std::string_view value = pair.substr(eq + 1);
    value = value.substr(0, value.find('='));
    if (!value.empty()) {
      LiveValues& v = live();
      const int n = atoi_rules(value);
      if (iequal(name, "WebChargingMode")) {
        v.web_charge_mode = n;
      } else if (iequal(name, "ActivationValue") || iequal(name, "surplusactivate")) {
        v.WallboxActivation = -limit_activation(n);
      } else if (iequal(name, "MaxPhases")) {
        // The control page offers 1 to 3 only; the charging rules divide by
        // this number, so nothing below 1 is ever stored.
        v.CarMaxPhases = n >= 1 ? n : 1;
      } else if (iequal(name, "carmaxphases")) {
        v.CarMaxPhases = limit_phases(n);
      } else if (iequal(name, "MinCharge")) {
        v.CarMinCharge = n;
      } else if (iequal(name, "carmincharge")) {
        v.CarMinCharge = limit_min_charge(n);
      } else if (iequal(name, "ManualValue") || iequal(name, "manualcurrent")) {
        v.ManualCurrent = manual_current_step(n);
      } else if (iequal(name, "mode")) {
        v.web_charge_mode = remote_mode(value);
      } else if (iequal(name, "action")) {
        // A child's copy of the flag would go nowhere: the daemon acts on
        // the pair when the server thread applies the hand-over.
        if (value == "restart" && !in_forked_child()) {
          log_line("Restart kivd daemon initiated...");
          daemon_state().intRestart = 1;
        }
      }
      // "url" and unknown names change nothing.
    }
  }
  derive_mode();
}

void SetVariablesAll(std::string_view pairs, const char* log_prefix) {
  while (true) {
    const std::size_t amp = pairs.find('&');
    const std::string_view piece = pairs.substr(0, amp);
    if (!piece.empty()) {
      if (log_prefix) debug_line("%s%.*s", log_prefix, static_cast<int>(piece.size()), piece.data());
      SetVariables(piece);
    }
    if (amp == std::string_view::npos) break;
    pairs.remove_prefix(amp + 1);
  }
}

}  // namespace kivd::web
