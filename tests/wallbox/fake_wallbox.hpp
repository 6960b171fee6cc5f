// An in-process wallbox for the unit tests: it takes the commands of its own
// driver through the transport seam, keeps the box's state and answers
// through the real worker pool, as the receiver would hand the datagrams over.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "wallbox/keba_exchange.hpp"
#include "wallbox/keba_udp.hpp"
#include "wallbox/keba_workers.hpp"

namespace kivd::test {

inline constexpr const char* kWallboxAddress = "10.0.0.2";

class FakeWallbox final : public kivd::KebaTransport {
 public:
  FakeWallbox();
  ~FakeWallbox() override;

  bool send(std::string_view command) override;
  kivd::KebaUdp& udp() { return udp_; }  // the driver talking to this box

  std::vector<std::string> commands();  // everything received, in order
  // Commands other than the report requests.
  std::vector<std::string> actions();
  void clear();

  // The box's state, as its reports show it.
  std::mutex m;
  int state = 2, plug = 7, enable = 0, curr_usr = 63000, output = 0, input = 0, tmo_fs = 0, curr_fs = 0;
  int error1 = 0, error2 = 0;
  int curr_hw = 32000;
  int i[3] = {0, 0, 0};
  int power_mW = 0;
  int secs = 1234;  // since its start: going back is a restart
  bool silent = false;               // answers nothing
  bool send_fails = false;           // the socket refuses the datagram
  std::set<std::string> refused;     // command words answered with TCH-ERROR
  std::string report1 = "{\n\"ID\": \"1\",\n\"Product\": \"KC-P20-ES240010-000 \",\n\"Serial\": \"15017355\",\n"
                        "\"Firmware\":\"KEBA P20 v 2.01m11 (140610-073512)\"\n}\n";

  // Delivers a datagram as if it had arrived from the given sender.
  void deliver(const std::string& text, const char* sender = kWallboxAddress);

 private:
  std::string answer(const std::string& command);
  std::vector<std::string> log_;
  kivd::KebaUdp udp_{this};
  kivd::KebaWorkers workers_{udp_};
};

}  // namespace kivd::test
