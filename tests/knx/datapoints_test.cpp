// Datapoint encodings, group addresses and due rules, as tables.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "knx/datapoints.hpp"
#include "support/temp_dir.hpp"

using namespace kivd;
using namespace kivd::knx;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes payload(const Encoded& e) {
  if (e.payload.size == 0) return {e.payload.bytes[0]};
  return Bytes(e.payload.bytes.begin(), e.payload.bytes.begin() + e.payload.size);
}

Bytes float_bytes(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  return {static_cast<std::uint8_t>(u >> 24), static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 8),
          static_cast<std::uint8_t>(u)};
}

// DPT 9 decoded as the receiving side does: 12-bit two's complement
// mantissa (sign bit on top), 4-bit exponent, unit 0.01.
double decode_dpt9(std::uint16_t code) {
  int m = code & 0x7FF;
  if (code & 0x8000) m -= 2048;
  const int e = (code >> 11) & 0x0F;
  return m * std::ldexp(1.0, e) * 0.01;
}

Reading raw(std::int32_t v) {
  Reading r;
  r.raw = v;
  return r;
}

class KnxDatapoints : public ::testing::Test {
 protected:
  kivd::test::Sandbox sandbox;
};

}  // namespace

TEST_F(KnxDatapoints, GroupAddresses) {
  const std::vector<std::pair<const char*, std::uint32_t>> table = {
      {"1/2/3", 2563},      {"31/7/255", 65535}, {"1/8/0", 4096},     {"2/0/0", 4096},      {"0/0/1", 1},
      {"8/1/4", 16644},     {"1//2///3", 2563},  {"/1/2/3", 2563},    {" 1/ 2/  3", 2563}, {"1/2/3/4", 2563},
      {"1a/2b/3c", 2563},   {"x/y/z", 0},        {"31/7/256", 65536}, {"0/0/0", 0},        {"15/7/200", 32712},
  };
  for (const auto& [text, want] : table) EXPECT_EQ(GetDestAddr(text), want) << text;
  EXPECT_EQ(sandbox.log().find("error calculation"), std::string::npos);
}

TEST_F(KnxDatapoints, IncompleteGroupAddressesCountMissingPartsAsZero) {
  EXPECT_EQ(GetDestAddr(""), 0u);
  EXPECT_EQ(GetDestAddr("1/2"), 2560u);
  EXPECT_EQ(GetDestAddr("5"), 10240u);
  EXPECT_EQ(GetDestAddr("1/2/"), 2560u);
  const std::string log = sandbox.log();
  EXPECT_NE(log.find("KNX thread: error calculation group address = \n"), std::string::npos);
  EXPECT_NE(log.find("KNX thread: error calculation group address = 1/2\n"), std::string::npos);
  EXPECT_NE(log.find("KNX thread: error calculation group address = 5\n"), std::string::npos);
}

TEST_F(KnxDatapoints, GroupAddressDebugLine) {
  Settings s = cfg();
  s.debug = 1;
  replace_settings(s);
  GetDestAddr("1/2/3");
  EXPECT_NE(sandbox.log().find("KNX thread: calculated group address = 1/2/3 (2563)\n"), std::string::npos);
}

TEST(KnxDpt9, Values) {
  // value*100 truncated toward zero (so 0.01f, just below 0.01, gives 0).
  const std::vector<std::pair<float, std::uint16_t>> table = {
      {21.5f, 0x0C33},   {-5.0f, 0x860C},  {0.0f, 0x0000},   {20.5f, 0x0C01}, {1.0f, 0x0064},  {-1.0f, 0x879C},
      {100.0f, 0x1CE2},  {-273.0f, 0xA156}, {0.1f, 0x000A},  {0.3f, 0x001E},  {-0.1f, 0x87F6}, {0.01f, 0x0000},
      {-20.48f, 0x8001}, {-0.5f, 0x87CE},   {20.47f, 0x07FE},
  };
  for (const auto& [v, want] : table) EXPECT_EQ(encode_dpt9(v), want) << v;
}

TEST(KnxDpt9, RangeLimitsClampToTheLargestMagnitude) {
  EXPECT_EQ(encode_dpt9(670760.0f), 0x7FFE);
  // 0x7FFF means "invalid data" on the bus: too large is the largest valid code.
  EXPECT_EQ(encode_dpt9(670761.0f), 0x7FFE);
  EXPECT_EQ(encode_dpt9(671088.0f), 0x7FFE);
  EXPECT_EQ(encode_dpt9(671088.64f), 0x7FFE);
  EXPECT_EQ(encode_dpt9(700000.0f), 0x7FFE);
  EXPECT_EQ(encode_dpt9(1e30f), 0x7FFE);
  EXPECT_EQ(encode_dpt9(std::numeric_limits<float>::infinity()), 0x7FFE);
  EXPECT_EQ(encode_dpt9(-671088.0f), 0xF801);
  EXPECT_EQ(encode_dpt9(-700000.0f), 0xF801);
  EXPECT_EQ(encode_dpt9(-1e30f), 0xF801);
  EXPECT_EQ(encode_dpt9(-std::numeric_limits<float>::infinity()), 0xF801);
  EXPECT_EQ(encode_dpt9(std::numeric_limits<float>::quiet_NaN()), 0x7FFF);
  EXPECT_NEAR(decode_dpt9(0x7FFE), 670433.28, 1e-6);
  EXPECT_NEAR(decode_dpt9(0xF801), -670760.96, 1e-6);
}

TEST(KnxDpt9, TinyNegativeValuesAreZeroNotTheSignBitAlone) {
  // The sign bit with a zero mantissa reads as -20.48 on the bus.
  EXPECT_EQ(encode_dpt9(-0.001f), 0x0000);
  EXPECT_EQ(encode_dpt9(-0.009f), 0x0000);
  EXPECT_EQ(encode_dpt9(-0.0f), 0x0000);
}

TEST(KnxDpt9, DecodesBackWithinOneStep) {
  for (int t = -2731; t <= 30000; t += 7) {  // battery temperatures in 0.1 degC and well beyond
    const float v = static_cast<float>(t) / 10.0f;
    const std::uint16_t code = encode_dpt9(v);
    const double step = std::ldexp(1.0, (code >> 11) & 0x0F) * 0.01;
    const double back = decode_dpt9(code);
    EXPECT_LE(std::fabs(back), std::fabs(static_cast<double>(v)) + 1e-9) << t;  // truncation toward zero
    EXPECT_LT(std::fabs(back - v), step + 1e-9) << t;
  }
}

TEST_F(KnxDatapoints, MeterDatapoints) {
  EXPECT_EQ(payload(encode(1, raw(-1234))), (Bytes{0xFF, 0xFF, 0xFB, 0x2E}));
  EXPECT_EQ(encode(1, raw(-1234)).log_int, -1234);
  EXPECT_EQ(payload(encode(4, raw(5000))), (Bytes{0x00, 0x00, 0x13, 0x88}));
  EXPECT_EQ(payload(encode(5, raw(230))), (Bytes{0x00, 0xE6}));
  EXPECT_EQ(payload(encode(7, raw(70000))), (Bytes{0x11, 0x70}));  // low 16 bits
  EXPECT_EQ(encode(7, raw(70000)).log_int, 4464);
  const Encoded pf = encode(8, raw(950));
  EXPECT_EQ(payload(pf), float_bytes(0.95f));
  EXPECT_EQ(pf.style, LogStyle::Float);
  EXPECT_FLOAT_EQ(pf.log_float, 0.95f);
  Reading kwh;
  kwh.f = 1234.5f;
  EXPECT_EQ(payload(encode(9, kwh)), (Bytes{0x44, 0x9A, 0x50, 0x00}));
  EXPECT_EQ(payload(encode(10, kwh)), (Bytes{0x44, 0x9A, 0x50, 0x00}));
}

TEST_F(KnxDatapoints, AvailablePower) {
  auto avail = [](int intpow, int ss) {
    Reading r;
    r.raw = intpow;
    r.raw2 = ss;
    return encode(11, r);
  };
  EXPECT_EQ(payload(avail(-3000, 1200)), (Bytes{0x00, 0x00, 0x07, 0x08}));
  EXPECT_EQ(avail(-3000, 1200).log_int, 1800);
  EXPECT_EQ(payload(avail(500, -200)), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(payload(avail(-500, 500)), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(payload(avail(INT32_MIN, INT32_MIN)), (Bytes{0x7F, 0xFF, 0xFF, 0xFF}));  // no overflow
}

TEST_F(KnxDatapoints, WallboxDatapoints) {
  for (auto [mode, byte] : {std::pair{1, 1}, {2, 2}, {3, 3}, {4, 0}, {5, 0}, {0, 0}, {-1, 0}}) {
    EXPECT_EQ(payload(encode(12, raw(mode))), (Bytes{static_cast<std::uint8_t>(byte)})) << mode;
    EXPECT_EQ(encode(12, raw(mode)).payload.size, 1);
    EXPECT_EQ(encode(12, raw(mode)).log_int, byte);
  }
  EXPECT_EQ(payload(encode(13, raw(0x1234))), (Bytes{0x34}));
  EXPECT_EQ(encode(13, raw(0x1234)).log_int, 0x1234);  // the source value is shown
  EXPECT_EQ(payload(encode(14, raw(-1))), (Bytes{0xFF}));
  for (int n : {15, 16, 17}) {
    EXPECT_EQ(encode(n, raw(1)).payload.size, 0) << n;
    EXPECT_EQ(payload(encode(n, raw(1))), (Bytes{1}));
    EXPECT_EQ(payload(encode(n, raw(0))), (Bytes{0}));
    EXPECT_EQ(payload(encode(n, raw(2))), (Bytes{0}));
    EXPECT_EQ(payload(encode(n, raw(-1))), (Bytes{0}));
    EXPECT_EQ(encode(n, raw(2)).log_int, 2);
  }
  EXPECT_EQ(payload(encode(18, raw(11040))), (Bytes{0, 0, 0, 11}));
  EXPECT_EQ(payload(encode(18, raw(-999))), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(payload(encode(18, raw(-1500))), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encode(18, raw(11040)).log_int, 11);
  EXPECT_EQ(payload(encode(19, raw(12345))), float_bytes(1.2345f));
  EXPECT_EQ(payload(encode(19, raw(-10000))), float_bytes(-1.0f));
  EXPECT_EQ(payload(encode(20, raw(-1))), float_bytes(429496.7295f));  // unsigned
  EXPECT_EQ(payload(encode(20, raw(12345678))), float_bytes(1234.5678f));
}

TEST_F(KnxDatapoints, StorageDatapoints) {
  for (auto [soc, byte] : {std::pair{50, 127}, {100, 255}, {101, 0}, {0, 0}, {-1, 0}, {1, 2}, {99, 252}}) {
    EXPECT_EQ(payload(encode(21, raw(soc))), (Bytes{static_cast<std::uint8_t>(byte)})) << soc;
    EXPECT_EQ(encode(21, raw(soc)).log_int, byte);
  }
  const Encoded t = encode(22, raw(215));
  EXPECT_EQ(payload(t), (Bytes{0x0C, 0x33}));
  EXPECT_EQ(t.style, LogStyle::Hex16);
  EXPECT_EQ(t.log_int, 0x0C33);
  EXPECT_EQ(payload(encode(22, raw(-50))), (Bytes{0x86, 0x0C}));
  EXPECT_EQ(payload(encode(23, raw(52300))), float_bytes(52.3f));
  EXPECT_EQ(payload(encode(24, raw(-12000))), (Bytes{0xC1, 0x40, 0x00, 0x00}));
  EXPECT_EQ(payload(encode(25, raw(-2500))), (Bytes{0xFF, 0xFF, 0xF6, 0x3C}));
  EXPECT_EQ(encode(25, raw(-2500)).log_int, -2500);
}

TEST_F(KnxDatapoints, SourcesReadFromTheLiveValues) {
  LiveValues lv;
  lv.em_pow_2 = 17;
  lv.intpow = -300;
  lv.ss_ac_power = 100;
  lv.em_energy_surplus = 2.5f;
  lv.wb_X2_out = 1;
  lv.ss_bat_temp = 215;
  EXPECT_EQ(read_source(2, lv).raw, 17);
  EXPECT_EQ(read_source(4, lv).raw, -300);
  EXPECT_EQ(read_source(11, lv).raw, -300);
  EXPECT_EQ(read_source(11, lv).raw2, 100);
  EXPECT_FLOAT_EQ(read_source(10, lv).f, 2.5f);
  EXPECT_EQ(read_source(17, lv).raw, 1);
  EXPECT_EQ(read_source(22, lv).raw, 215);
  EXPECT_EQ(read_source(25, lv).raw, 100);
  EXPECT_EQ(read_source(13, lv).raw, -1);  // wb_state starts at -1
}

TEST_F(KnxDatapoints, CountsAndDueRules) {
  Settings s;
  EXPECT_EQ(count_enabled(s).cyclic + count_enabled(s).on_change, 0);
  s.DPT_Using[0] = true;
  s.DPT_Using[11] = true;
  s.DPT_Using[21] = true;
  const DatapointCounts c = count_enabled(s);
  EXPECT_EQ(c.cyclic, 1);
  EXPECT_EQ(c.on_change, 2);

  // The due rules of a change tracker over the datapoints' kinds under s.
  using Pass = ChangeTracker::Pass;
  const Pass cyclic{true, false}, change{false, false}, all{false, true};
  const auto is_due = [&s](int n, Pass kind, std::int32_t raw, std::int32_t last = 0) {
    ChangeTracker t(datapoint_kinds(s), 600);
    t.sent(n - 1, last);
    return t.due(kind, n - 1, raw);
  };
  EXPECT_TRUE(is_due(1, cyclic, 0));
  EXPECT_FALSE(is_due(1, change, 5));
  EXPECT_FALSE(is_due(2, cyclic, 0));  // not enabled
  // On-change datapoints need their feature switched on.
  EXPECT_FALSE(is_due(12, all, 3));
  s.WallboxUsing = true;
  EXPECT_TRUE(is_due(12, change, 3));
  EXPECT_FALSE(is_due(12, change, 0));
  EXPECT_FALSE(is_due(12, cyclic, 0));
  EXPECT_TRUE(is_due(12, all, 0));
  EXPECT_FALSE(is_due(12, cyclic, 3, 3));
  EXPECT_TRUE(is_due(12, change, 4, 3));
  EXPECT_FALSE(is_due(22, all, 215));
  s.SSUsing = true;
  EXPECT_TRUE(is_due(22, all, 215));
}

TEST_F(KnxDatapoints, ChangeTest) {
  Settings s;
  s.DPT_Using[11] = true;  // charging mode
  s.DPT_Using[0] = true;   // cyclic ones never start a change pass
  LiveValues lv;
  lv.ChargingMode = 4;
  lv.em_pow_1 = 999;
  std::array<std::int32_t, kDatapointCount> snapshot{};
  const auto any_change = [&](ChangeTracker& t) {
    read_sources(lv, snapshot);
    return t.pass_due(snapshot, 30).has_value();
  };
  ChangeTracker off(datapoint_kinds(s), 600);
  EXPECT_FALSE(any_change(off));  // wallbox not in use
  s.WallboxUsing = true;
  ChangeTracker t(datapoint_kinds(s), 600);
  EXPECT_TRUE(any_change(t));
  t.sent(11, 4);
  EXPECT_FALSE(any_change(t));
  lv.ChargingMode = 5;  // the raw source changed, though both send 0
  EXPECT_TRUE(any_change(t));
}
