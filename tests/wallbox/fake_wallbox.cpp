#include "fake_wallbox.hpp"

#include <cstdio>
#include <sstream>

namespace kivd::test {

FakeWallbox::FakeWallbox() { udp_.set_timeout(std::chrono::milliseconds(300)); }
FakeWallbox::~FakeWallbox() = default;

void FakeWallbox::deliver(const std::string& text, const char* sender) {
  workers_.submit(sender, text.data(), text.size());
}

bool FakeWallbox::send(std::string_view command) {
  std::string reply;
  {
    std::lock_guard lock(m);
    if (send_fails) return false;
    log_.emplace_back(command);
    if (silent) return true;
    reply = answer(std::string(command));
  }
  deliver(reply);
  return true;
}

std::string FakeWallbox::answer(const std::string& c) {
  std::istringstream in(c);
  std::string word;
  in >> word;
  if (refused.count(word)) return "TCH-ERROR: refused\n";
  char buf[600];
  if (c == "report 1") return report1;
  if (c == "report 2") {
    std::snprintf(buf, sizeof buf,
                  "{\n\"ID\": \"2\",\n\"State\": %d,\n\"Error1\": %d,\n\"Error2\": %d,\n\"Plug\": %d,\n"
                  "\"Enable sys\": %d,\n\"Enable user\": 1,\n\"Max curr\": %d,\n\"Max curr %%\": 1000,\n"
                  "\"Curr HW\": %d,\n\"Curr user\": %d,\n\"Curr FS\": %d,\n\"Tmo FS\": %d,\n\"Output\": %d,\n"
                  "\"Input\": %d,\n\"Serial\": \"15017355\",\n\"Sec\": %d\n}\n",
                  state, error1, error2, plug, enable, enable ? curr_usr : 0, curr_hw, curr_usr, curr_fs, tmo_fs, output,
                  input, secs);
    return buf;
  }
  if (c == "report 3") {
    std::snprintf(buf, sizeof buf,
                  "{\n\"ID\": \"3\",\n\"U1\": 230,\n\"U2\": 230,\n\"U3\": 230,\n\"I1\": %d,\n\"I2\": %d,\n"
                  "\"I3\": %d,\n\"P\": %d,\n\"PF\": 990,\n\"E pres\": 1000,\n\"E total\": 500000,\n"
                  "\"Serial\": \"15017355\",\n\"Sec\": %d\n}\n",
                  i[0], i[1], i[2], power_mW, secs);
    return buf;
  }
  long a = 0, b = 0;
  if (word == "ena" && in >> a) enable = static_cast<int>(a);
  else if (word == "curr" && in >> a) curr_usr = static_cast<int>(a);
  else if (word == "output" && in >> a) output = static_cast<int>(a);
  else if (word == "failsafe" && in >> a >> b) { tmo_fs = static_cast<int>(a); curr_fs = static_cast<int>(b); }
  else return "TCH-ERROR: unknown command\n";
  return "TCH-OK :done\n";
}

std::vector<std::string> FakeWallbox::commands() {
  std::lock_guard lock(m);
  return log_;
}

std::vector<std::string> FakeWallbox::actions() {
  std::vector<std::string> out;
  for (const std::string& c : commands())
    if (c.rfind("report", 0) != 0) out.push_back(c);
  return out;
}

void FakeWallbox::clear() {
  std::lock_guard lock(m);
  log_.clear();
}

}  // namespace kivd::test
