// The read cycle against a scripted inverter: order of requests, published
// values, and the failure lines and logoffs of each step. The wait before a
// cycle on the fake clock.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "storage/storage_cycle.hpp"
#include "support/fake_clock.hpp"
#include "support/temp_dir.hpp"

using namespace kivd;
using namespace kivd::storage;

namespace {

void put(std::vector<std::uint8_t>& a, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) a[at + i] = (v >> (8 * i)) & 0xFF;
}

// What the scripted inverter does with one request (by packet id). Foreign
// and Late put another datagram (from another sender; the answer to the
// request before) ahead of the answer.
enum class Fault { None, Silent, Foreign, Late, WrongId, Short };

// A storage inverter answering from its state, written from the request
// layout: the packet id's low byte sits at 40, the command at 42.
class ScriptedInverter : public Link {
 public:
  std::uint8_t type_low = 0x07;  // Sunny Island 6.0H-11
  std::uint16_t logon_error = 0;
  std::map<int, Fault> faults;
  bool send_fails_for_identify = false;
  std::vector<std::vector<std::uint8_t>> sent;

  bool send(std::span<const std::uint8_t> bytes) override {
    sent.emplace_back(bytes.begin(), bytes.end());
    const int id = bytes.size() > 40 ? bytes[40] : -1;
    if (id == 1 && send_fails_for_identify) return false;
    pending_ = id;
    return true;
  }

  Recv receive(std::span<std::uint8_t> buf, std::size_t& n, Deadline) override {
    const int id = pending_;
    pending_ = -1;
    const Fault f = faults.count(id) && !ahead_sent_ ? faults[id] : Fault::None;
    ahead_sent_ = f == Fault::Foreign || f == Fault::Late;
    if (ahead_sent_) pending_ = id;
    std::vector<std::uint8_t> a = answer_for(f == Fault::Late ? id - 1 : id);
    if (f == Fault::Silent || id < 0) return Recv::Timeout;
    if (f == Fault::WrongId) a[40] = static_cast<std::uint8_t>(id + 7);
    if (f == Fault::Short) a.resize(a.size() - 1);
    n = std::min(a.size(), buf.size());
    std::copy_n(a.begin(), n, buf.begin());
    return f == Fault::Foreign ? Recv::Foreign : Recv::Peer;
  }

  std::vector<int> sent_ids() const {
    std::vector<int> ids;
    for (const auto& s : sent) ids.push_back(s[40]);
    return ids;
  }

 private:
  std::vector<std::uint8_t> answer_for(int id) const {
    // Exactly as long as the fields of each answer reach.
    static const std::map<int, std::size_t> sizes = {{1, 34},  {3, 41},  {4, 82},  {5, 144},
                                                     {6, 66},  {7, 150}, {8, 66},  {9, 122}, {10, 66}};
    const auto it = sizes.find(id);
    std::vector<std::uint8_t> a(it == sizes.end() ? 58 : it->second, 0);
    a[0] = 'S', a[1] = 'M', a[2] = 'A';
    if (a.size() > 40) a[40] = static_cast<std::uint8_t>(id);
    switch (id) {
      case 1: put(a, 30, 3012345678u); break;
      case 3: a[36] = logon_error & 0xFF, a[37] = logon_error >> 8; break;
      case 4: a[78] = 4, a[79] = 5, a[80] = 10, a[81] = 3; break;
      case 5: a[142] = type_low, a[143] = 0x24; break;
      case 6: put(a, 62, 87); break;
      case 7: put(a, 90, 251), put(a, 118, 5312), put(a, 146, 0x80000000); break;
      case 8: put(a, 62, static_cast<std::uint32_t>(-1500)); break;
      case 9: put(a, 62, 23012), put(a, 90, 23100), put(a, 118, 22950); break;
      case 10: put(a, 62, 4998); break;
    }
    return a;
  }
  int pending_ = -1;
  bool ahead_sent_ = false;
};

class CycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings s = cfg();
    s.debug = 1;
    replace_settings(s);
    LiveValues& v = live();
    v.ss_devicename.set("searching storage");
    v.ss_serial.set("unknown");
    v.ss_commfirmware.set("unknown");
    v.last_stg_datetime.set(kNeverStamp);
    for (auto* a : {&v.ss_bat_soc, &v.ss_bat_temp, &v.ss_bat_voltage, &v.ss_bat_current, &v.ss_ac_power,
                    &v.ss_ac_voltage_l1, &v.ss_ac_voltage_l2, &v.ss_ac_voltage_l3, &v.ss_ac_frequency})
      a->store(-1);
  }
  CycleEnd run(int& kind) {
    CycleInput in;
    in.app_serial = 912345678;
    in.now_s = 1'800'000'000;
    return run_cycle(dev, in, kind);
  }
  bool logged(const std::string& line) const { return box.log().find(line + "\n") != std::string::npos; }

  test::Sandbox box;
  test::FakeClock clock;
  test::ScopedFakeClock use_clock{clock};
  ScriptedInverter dev;
};

}  // namespace

TEST_F(CycleTest, PublishesEveryValueOfASunnyIsland) {
  int kind = 0;
  EXPECT_EQ(run(kind), CycleEnd::Done);
  EXPECT_EQ(dev.sent_ids(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(dev.sent[1].size(), 54u);  // logoff
  EXPECT_EQ(dev.sent[2].size(), 78u);  // logon
  EXPECT_EQ(dev.sent[10].size(), 54u);
  const LiveValues& v = live();
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(v.ss_serial.get(), "3012345678");
  EXPECT_EQ(v.ss_commfirmware.get(), "03.10.05.R");
  EXPECT_EQ(v.ss_devicename.get(), "Sunny Island 6.0H-11");
  EXPECT_EQ(v.ss_bat_soc, 87);
  EXPECT_EQ(v.ss_bat_temp, 251);
  EXPECT_EQ(v.ss_bat_voltage, 53120);
  EXPECT_EQ(v.ss_bat_current, 0);
  EXPECT_EQ(v.ss_ac_power, -1500);
  EXPECT_EQ(v.ss_ac_voltage_l1, 230120);
  EXPECT_EQ(v.ss_ac_voltage_l2, 231000);
  EXPECT_EQ(v.ss_ac_voltage_l3, 229500);
  EXPECT_EQ(v.ss_ac_frequency, 49980);
  EXPECT_NE(v.last_stg_datetime.get(), kNeverStamp);
  EXPECT_TRUE(logged("SS thread: get serial no. 3012345678"));
  EXPECT_TRUE(logged("SS thread: get comm version 03.10.05.R"));
  EXPECT_TRUE(logged("SS thread: get device name Sunny Island 6.0H-11"));
  EXPECT_TRUE(logged("SS thread: get SOC 87"));
  EXPECT_TRUE(logged("SS thread: get temp, voltage, current 251, 53120, 0"));
  EXPECT_TRUE(logged("SS thread: get AC power -1500"));
  EXPECT_TRUE(logged("SS thread: get AC volage 230120 231000 229500"));
  EXPECT_TRUE(logged("SS thread: get AC frequency 49980"));
}

TEST_F(CycleTest, BatteryIsReadByTheKindOfTheDeviceTypeAnswer) {
  int kind = 0;
  dev.type_low = 0x6C;  // Sunny Boy Storage 2.5: voltage at 90, current at 118
  run(kind);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(live().ss_bat_temp, 0);
  EXPECT_EQ(live().ss_bat_voltage, 2510);
  EXPECT_EQ(live().ss_bat_current, 5312);

  dev.type_low = 0x99;
  run(kind);
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(live().ss_devicename.get(), "unknown device: 24 99");
  EXPECT_EQ(live().ss_bat_temp, 0);
  EXPECT_EQ(live().ss_bat_voltage, 0);
  EXPECT_EQ(live().ss_bat_current, 0);
  EXPECT_EQ(live().ss_bat_soc, 87);
  EXPECT_EQ(live().ss_ac_frequency, 49980);
}

TEST_F(CycleTest, KindIsKeptWhenTheDeviceTypeFails) {
  int kind = 3;
  dev.faults[5] = Fault::Silent;
  run(kind);
  EXPECT_EQ(kind, 3);
  EXPECT_TRUE(logged("SS thread: recvfrom() failed"));
  // Kind 3 reads the battery one record further: this answer is too short.
  EXPECT_TRUE(logged("SS thread: no valid answer (bat param)"));
  EXPECT_EQ(live().ss_bat_voltage, -1);
}

TEST_F(CycleTest, SilentDevice) {
  int kind = 0;
  dev.faults[1] = Fault::Silent;
  run(kind);
  EXPECT_EQ(dev.sent_ids(), (std::vector<int>{1, 2}));
  EXPECT_TRUE(logged("SS thread: recvfrom() failed"));
  EXPECT_EQ(live().ss_devicename.get(), "error communication");
  EXPECT_EQ(live().ss_serial.get(), "unknown");
  EXPECT_NE(live().last_stg_datetime.get(), kNeverStamp);
}

TEST_F(CycleTest, IdentifySendFailureEndsWithoutLogoff) {
  int kind = 0;
  dev.send_fails_for_identify = true;
  run(kind);
  EXPECT_EQ(dev.sent_ids(), (std::vector<int>{1}));
  EXPECT_TRUE(logged("SS thread: sendto failed (first request)"));
  EXPECT_NE(live().last_stg_datetime.get(), kNeverStamp);
}

TEST_F(CycleTest, ShortIdentifyAnswer) {
  int kind = 0;
  dev.faults[1] = Fault::Short;
  run(kind);
  EXPECT_EQ(dev.sent_ids(), (std::vector<int>{1, 2}));
  EXPECT_EQ(live().ss_serial.get(), "unknown");
  EXPECT_TRUE(logged("SS thread: no valid answer (first request)"));
}

TEST_F(CycleTest, ForeignAndLateDatagramsArePassedOverUntilTheAnswer) {
  int kind = 0;
  dev.faults = {{1, Fault::Foreign}, {3, Fault::Late}, {5, Fault::Foreign}, {8, Fault::Late}};
  run(kind);
  EXPECT_EQ(dev.sent_ids(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(live().ss_serial.get(), "3012345678");
  EXPECT_EQ(live().ss_devicename.get(), "Sunny Island 6.0H-11");
  EXPECT_EQ(live().ss_ac_power, -1500);
  EXPECT_TRUE(logged("SS thread: no valid answer (inverter type)"));  // debug
  EXPECT_TRUE(logged("SS thread: Packet ID mismatch. Expected 8, received 7"));
  EXPECT_EQ(box.log().find("recvfrom() failed"), std::string::npos);
}

TEST_F(CycleTest, RefusedLogon) {
  int kind = 0;
  dev.logon_error = 0x0100;
  run(kind);
  EXPECT_EQ(dev.sent_ids(), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(dev.sent[3].size(), 54u);  // the logoff, no value request
  EXPECT_TRUE(logged("SS thread: Logon failed"));
  EXPECT_EQ(live().ss_devicename.get(), "Logon failed");
  EXPECT_EQ(live().ss_bat_soc, -1);
}

TEST_F(CycleTest, LogonFailures) {
  struct Case {
    Fault f;
    const char* line;
  } cases[] = {
      {Fault::Silent, "SS thread: recvfrom() failed"},
      {Fault::WrongId, "SS thread: Packet ID mismatch. Expected 3, received 10"},
      {Fault::Short, "SS thread: no valid answer (login request)"},
  };
  for (const Case& c : cases) {
    int kind = 0;
    dev.sent.clear();
    dev.faults[3] = c.f;
    run(kind);
    EXPECT_EQ(dev.sent_ids(), (std::vector<int>{1, 2, 3, 4})) << c.line;
    EXPECT_TRUE(logged(c.line)) << c.line;
    EXPECT_EQ(live().ss_bat_soc, -1);
  }
}

TEST_F(CycleTest, ValueFailuresGoOnWithTheNextRequest) {
  int kind = 0;
  dev.faults = {{4, Fault::WrongId}, {5, Fault::Short}, {6, Fault::Short}, {7, Fault::Silent},
                {8, Fault::WrongId}, {9, Fault::Short},   {10, Fault::WrongId}};
  run(kind);
  EXPECT_EQ(dev.sent_ids(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_TRUE(logged("SS thread: Get software version failed. Packet ID mismatch. Expected 4, received 11"));
  EXPECT_TRUE(logged("SS thread: no valid answer (inverter type)"));
  EXPECT_TRUE(logged("SS thread: no valid answer (SOC)"));
  EXPECT_TRUE(logged("SS thread: recvfrom() failed"));
  EXPECT_TRUE(logged("SS thread: Get inverter power failed. Packet ID mismatch. Expected 8, received 15"));
  EXPECT_TRUE(logged("SS thread: no valid answer (inverter voltage)"));
  EXPECT_TRUE(logged("SS thread: Get inverter frequency failed. Packet ID mismatch. Expected 10, received 17"));
  // Values keep their contents; the debug lines still show them.
  const LiveValues& v = live();
  EXPECT_EQ(v.ss_commfirmware.get(), "unknown");
  EXPECT_EQ(v.ss_devicename.get(), "searching storage");
  EXPECT_EQ(v.ss_bat_soc, -1);
  EXPECT_EQ(v.ss_ac_power, -1);
  EXPECT_EQ(v.ss_ac_voltage_l1, -1);
  EXPECT_EQ(v.ss_ac_frequency, -1);
  EXPECT_TRUE(logged("SS thread: get SOC -1"));
  EXPECT_TRUE(logged("SS thread: get AC power -1"));
  EXPECT_TRUE(logged("SS thread: get AC volage -1 -1 -1"));
  EXPECT_TRUE(logged("SS thread: get AC frequency -1"));
  EXPECT_EQ(box.log().find("get device name"), std::string::npos);
  EXPECT_EQ(box.log().find("get temp, voltage"), std::string::npos);
  EXPECT_NE(v.last_stg_datetime.get(), kNeverStamp);
}

TEST_F(CycleTest, ShortAnswersNeverShowBytesOfAnEarlierAnswer) {
  // The SOC answer is long; the AC power answer that follows stops before
  // its field. Its value must not be read from the SOC answer's bytes.
  int kind = 0;
  dev.faults[8] = Fault::Short;
  run(kind);
  EXPECT_EQ(live().ss_bat_soc, 87);
  EXPECT_EQ(live().ss_ac_power, -1);
  EXPECT_TRUE(logged("SS thread: no valid answer (inverter power)"));
}

TEST_F(CycleTest, NoDebugLinesWithoutDebug) {
  Settings s = cfg();
  s.debug = 0;
  replace_settings(s);
  int kind = 0;
  run(kind);
  EXPECT_EQ(box.log(), "");
}

// ---- the wait before a cycle ----

TEST_F(CycleTest, WaitIsElevenSeconds) {
  std::stop_source stop;
  live().intStorageControl = 1;  // a request from before the wait has no effect
  EXPECT_TRUE(wait_for_cycle(stop.get_token()));
  EXPECT_EQ(clock.sleeps(), 11);
  EXPECT_EQ(clock.elapsed(), std::chrono::seconds(11));
}

TEST_F(CycleTest, StorageControlCutsTheWaitShortWithinASecond) {
  std::stop_source stop;
  clock.on_sleep = [](test::FakeClock& c) {
    if (c.sleeps() == 3) live().intStorageControl = 1;
  };
  EXPECT_TRUE(wait_for_cycle(stop.get_token()));
  EXPECT_EQ(clock.sleeps(), 3);
  EXPECT_EQ(live().intStorageControl, 0);
}

TEST_F(CycleTest, WaitEndsOnStop) {
  std::stop_source stop;
  clock.on_sleep = [&](test::FakeClock& c) {
    if (c.sleeps() == 2) stop.request_stop();
  };
  EXPECT_FALSE(wait_for_cycle(stop.get_token()));
  EXPECT_EQ(clock.sleeps(), 2);
}
