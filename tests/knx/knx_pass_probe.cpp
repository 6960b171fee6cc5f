// Runs the KNX sender against a gateway for two passes (the first pass with
// the on-change datapoints, then the first cyclic pass) with given live
// values, on a fake clock so that no pass waits in real time; the tunnelling
// itself is real. Used by the knxd integration test.
//
// Usage: knx_pass_probe ROUTER PORT LOGFILE DATAPOINTS [name=value ...]
//   DATAPOINTS: comma-separated numbers 1..25 (group addresses 8/1/n)
//   names: intpow em_pow_1 em_u1 em_pf em_energy_consumption ChargingMode
//          wb_state wb_enable_sys wb_X1_in wb_pow wb_e_total ss_bat_soc
//          ss_bat_temp ss_bat_voltage ss_ac_power
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "knx/knx_sender.hpp"
#include "support/fake_clock.hpp"

using namespace kivd;

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s ROUTER PORT LOGFILE DATAPOINTS [name=value ...]\n", argv[0]);
    return 2;
  }
  Settings s;
  s.LOG_FILE = argv[3];
  s.debug = 1;
  s.KNXUsing = true;
  s.KNXRouter = argv[1];
  s.KNXPort = std::atoi(argv[2]);
  s.WallboxUsing = true;
  s.SSUsing = true;
  std::stringstream list(argv[4]);
  for (std::string n; std::getline(list, n, ',');) {
    const int i = std::atoi(n.c_str());
    if (i >= 1 && i <= kDatapoints) s.DPT_Using[static_cast<std::size_t>(i - 1)] = true;
  }
  replace_settings(s);

  LiveValues& lv = live();
  const std::map<std::string, std::atomic<int>*> ints = {
      {"intpow", &lv.intpow},       {"em_pow_1", &lv.em_pow_1},           {"em_u1", &lv.em_u1},
      {"em_pf", &lv.em_pf},         {"ChargingMode", &lv.ChargingMode},   {"wb_state", &lv.wb_state},
      {"wb_enable_sys", &lv.wb_enable_sys}, {"wb_X1_in", &lv.wb_X1_in}, {"wb_pow", &lv.wb_pow},
      {"wb_e_total", &lv.wb_e_total}, {"ss_bat_soc", &lv.ss_bat_soc},   {"ss_bat_temp", &lv.ss_bat_temp},
      {"ss_bat_voltage", &lv.ss_bat_voltage}, {"ss_ac_power", &lv.ss_ac_power}};
  for (int a = 5; a < argc; ++a) {
    const char* eq = std::strchr(argv[a], '=');
    if (!eq) continue;
    const std::string name(argv[a], static_cast<std::size_t>(eq - argv[a]));
    if (name == "em_energy_consumption") {
      lv.em_energy_consumption = std::strtof(eq + 1, nullptr);
    } else if (auto it = ints.find(name); it != ints.end()) {
      it->second->store(std::atoi(eq + 1));
    } else {
      std::fprintf(stderr, "unknown value %s\n", name.c_str());
      return 2;
    }
  }

  test::FakeClock clock;
  test::ScopedFakeClock use(clock);
  std::stop_source stop;
  int passes = 0, answered = 0;
  knx::run_sender(4, stop.get_token(), [&](const StopFd& fd, const std::function<void(knx::Tunnel&)>& write_due) {
    const knx::PassResult r = knx::gateway_pass(fd, write_due);
    answered += r.connect_answer;
    if (++passes == 2) stop.request_stop();
    return r;
  });
  std::printf("passes=%d answered=%d\n", passes, answered);
  return answered == 2 ? 0 : 1;
}
