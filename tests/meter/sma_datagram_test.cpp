#include "meter/sma_datagram.hpp"

#include <gtest/gtest.h>

#include "sma_test_datagram.hpp"

namespace kivd::meter {
namespace {

using test::TestDatagram;

TestDatagram full_meter() {
  TestDatagram t(3000000123u, 987654321u);
  t.rec4(1, 12345).rec8(1, 5347080).rec4(2, 0).rec8(2, 812880).rec4(13, 987);
  t.rec4(21, 4001).rec4(22, 0).rec4(31, 1750).rec4(32, 230123);
  t.rec4(41, 0).rec4(42, 2505).rec4(51, 1100).rec4(52, 229999);
  t.rec4(61, 1000).rec4(62, 1009).rec4(71, 42).rec4(72, 231000);
  return t;
}

TEST(SmaDatagram, DecodesEveryValue) {
  const auto d = full_meter().build();
  SmaValues v;
  ASSERT_EQ(decode_sma_datagram(d, 0, v), SmaVerdict::Accepted);
  EXPECT_EQ(v.serial, 3000000123u);
  EXPECT_EQ(v.timestamp_s, 987654u);
  EXPECT_EQ(v.intpow, 1234);
  EXPECT_EQ(v.pow[0], 400);
  EXPECT_EQ(v.pow[1], -250);
  EXPECT_EQ(v.pow[2], 0);  // -0.9 W truncates toward zero
  EXPECT_EQ(v.u[0], 230);
  EXPECT_EQ(v.u[1], 229);
  EXPECT_EQ(v.u[2], 231);
  EXPECT_EQ(v.i[0], 1750);
  EXPECT_EQ(v.i[1], 1100);
  EXPECT_EQ(v.i[2], 42);
  EXPECT_EQ(v.pf, 987);
  EXPECT_FLOAT_EQ(v.energy_consumption, 1.5f);  // 1.4853 kWh
  EXPECT_FLOAT_EQ(v.energy_surplus, 0.2f);      // 0.2258 kWh
  EXPECT_FALSE(v.phase_fault);
}

TEST(SmaDatagram, RealEnergyMeter20Datagram) {
  const auto hex = test::testdata("sma_em20_mlasch_pkt0_600.hex");
  ASSERT_TRUE(hex) << "capture missing from tests/data";
  const auto d = test::from_hex(*hex);
  ASSERT_EQ(d.size(), 600u);
  SmaValues v;
  ASSERT_EQ(decode_sma_datagram(d, 0, v), SmaVerdict::Accepted);
  EXPECT_EQ(v.serial, 1901429669u);
  EXPECT_EQ(v.timestamp_s, 1985149u);
  EXPECT_EQ(v.intpow, 1054);
  EXPECT_EQ(v.pow[0], 344);
  EXPECT_EQ(v.pow[1], 592);
  EXPECT_EQ(v.pow[2], 117);
  EXPECT_EQ(v.u[0], 226);
  EXPECT_EQ(v.u[1], 225);
  EXPECT_EQ(v.u[2], 224);
  EXPECT_EQ(v.i[0], 1556);
  EXPECT_EQ(v.i[1], 2870);
  EXPECT_EQ(v.i[2], 691);
  EXPECT_EQ(v.pf, 966);
  EXPECT_FLOAT_EQ(v.energy_consumption, 25.0f);  // 89935560 Ws
  EXPECT_FLOAT_EQ(v.energy_surplus, 0.4f);       // 1302120 Ws
  // The length field (580) counts from byte 16, so a walk from byte 28
  // reaches 8 bytes past the datagram for a missing record: it must end at
  // the received bytes.
  EXPECT_EQ(handle_emeter_32(d, 99), kNotFound32);
  EXPECT_EQ(handle_emeter_64(d, 99), kNotFound64);
  EXPECT_EQ(handle_emeter_64(d, 21), 57076920);  // 00 00 00 00 03 66 EC B8
}

TEST(SmaDatagram, SizeLimits) {
  const auto t = full_meter();
  SmaValues v;
  EXPECT_EQ(decode_sma_datagram(t.build(599), 0, v), SmaVerdict::WrongSize);
  EXPECT_EQ(decode_sma_datagram(t.build(1501), 0, v), SmaVerdict::WrongSize);
  EXPECT_EQ(decode_sma_datagram(t.build(0), 0, v), SmaVerdict::WrongSize);
  EXPECT_EQ(decode_sma_datagram(t.build(600), 0, v), SmaVerdict::Accepted);
  EXPECT_EQ(decode_sma_datagram(t.build(1500), 0, v), SmaVerdict::Accepted);
}

TEST(SmaDatagram, SerialFilter) {
  const auto d = full_meter().build();
  SmaValues v;
  EXPECT_EQ(decode_sma_datagram(d, 3000000124u, v), SmaVerdict::OtherMeter);
  EXPECT_EQ(v.serial, 0u) << "a dropped datagram writes nothing";
  EXPECT_EQ(decode_sma_datagram(d, 3000000123u, v), SmaVerdict::Accepted);
  EXPECT_EQ(v.serial, 3000000123u);
  const auto other = TestDatagram(17).rec4(1, 10).build();
  EXPECT_EQ(decode_sma_datagram(other, 0, v), SmaVerdict::Accepted);
  EXPECT_EQ(v.serial, 17u) << "filter 0 follows the last sender";
}

TEST(SmaDatagram, MissingFeedInGivesNotFoundValue) {
  const auto d = TestDatagram().rec4(1, 5000).build();
  SmaValues v;
  ASSERT_EQ(decode_sma_datagram(d, 0, v), SmaVerdict::Accepted);
  EXPECT_EQ(v.intpow, 500);  // (5000 - (-1)) / 10
}

TEST(SmaDatagram, MissingRecordsGiveNotFoundValues) {
  const auto d = TestDatagram().rec4(1, 100).rec4(2, 0).build();
  SmaValues v;
  ASSERT_EQ(decode_sma_datagram(d, 0, v), SmaVerdict::Accepted);
  EXPECT_EQ(v.u[0], 0);
  EXPECT_EQ(v.u[1], 0);
  EXPECT_EQ(v.u[2], 0);
  EXPECT_EQ(v.i[0], -1);
  EXPECT_EQ(v.i[1], -1);
  EXPECT_EQ(v.i[2], -1);
  EXPECT_EQ(v.pf, -1);
  EXPECT_EQ(v.pow[0], 0);  // (-1 - -1) / 10
  EXPECT_FLOAT_EQ(v.energy_consumption, -1193.0f);
  EXPECT_FLOAT_EQ(v.energy_surplus, -1193.0f);
}

TEST(SmaDatagram, NegativeTruncatesTowardZero) {
  const auto d = TestDatagram().rec4(1, 15).rec4(2, 30).build();
  SmaValues v;
  ASSERT_EQ(decode_sma_datagram(d, 0, v), SmaVerdict::Accepted);
  EXPECT_EQ(v.intpow, -1);
}

TEST(SmaDatagram, ExtremePowerDoesNotOverflow) {
  const auto d = TestDatagram().rec4(1, INT32_MAX).rec4(2, INT32_MIN).build();
  SmaValues v;
  ASSERT_EQ(decode_sma_datagram(d, 0, v), SmaVerdict::Accepted);
  EXPECT_EQ(v.intpow, 429496729);  // (2^31-1 + 2^31) / 10
}

TEST(SmaDatagram, CounterConversion) {
  EXPECT_FLOAT_EQ(counter_to_kwh(5347080), 1.5f);
  EXPECT_FLOAT_EQ(counter_to_kwh(0), 0.0f);
  EXPECT_FLOAT_EQ(counter_to_kwh(kNotFound64), -1193.0f);
  EXPECT_FLOAT_EQ(counter_to_kwh(179999), 0.0f);    // 0.049999 kWh
  EXPECT_FLOAT_EQ(counter_to_kwh(180000), 0.1f);    // 0.05 kWh, just above in single precision
  EXPECT_FLOAT_EQ(counter_to_kwh(36000000000000LL), 10000000.0f);
}

TEST(SmaDatagram, PhaseFaultOnlyWithL3Voltage) {
  SmaValues v;
  ASSERT_EQ(decode_sma_datagram(TestDatagram().rec4(52, 0).rec4(72, 229000).build(), 0, v), SmaVerdict::Accepted);
  EXPECT_TRUE(v.phase_fault);
  ASSERT_EQ(decode_sma_datagram(TestDatagram().rec4(52, 0).rec4(72, 999).build(), 0, v), SmaVerdict::Accepted);
  EXPECT_FALSE(v.phase_fault);
  ASSERT_EQ(decode_sma_datagram(TestDatagram().rec4(52, 0).rec4(72, 1000).build(), 0, v), SmaVerdict::Accepted);
  EXPECT_TRUE(v.phase_fault);
  ASSERT_EQ(decode_sma_datagram(TestDatagram().rec4(52, 1000).rec4(72, 229000).build(), 0, v),
            SmaVerdict::Accepted);
  EXPECT_FALSE(v.phase_fault);
}

TEST(SmaRecords, ReadersKeepToTheirType) {
  const auto d = TestDatagram().rec4(5, 77).rec8(6, 88).build();
  EXPECT_EQ(handle_emeter_64(d, 5), kNotFound64);
  EXPECT_EQ(handle_emeter_32(d, 6), kNotFound32);
  EXPECT_EQ(handle_emeter_32(d, 5), 77);
  EXPECT_EQ(handle_emeter_64(d, 6), 88);
}

TEST(SmaRecords, FirstMatchWinsAndSignedValues) {
  const auto d = TestDatagram().rec4(9, -5).rec4(9, 6).rec8(9, -7).rec8(9, 8).build();
  EXPECT_EQ(handle_emeter_32(d, 9), -5);
  EXPECT_EQ(handle_emeter_64(d, 9), -7);
}

TEST(SmaRecords, OtherTypesAreSteppedOverAsEightBytes) {
  // Type 0 and type 7 records of 8 bytes, then the wanted records.
  const auto d = TestDatagram().rec4(3, 0x01020304, 0).rec4(3, 5, 7).rec4(3, 99).rec8(3, 1234).build();
  EXPECT_EQ(handle_emeter_32(d, 3), 99);
  EXPECT_EQ(handle_emeter_64(d, 3), 1234);
}

TEST(SmaRecords, WalkEndsAtTheLengthField) {
  const auto t = TestDatagram().rec4(1, 10).rec4(2, 20).rec8(3, 30);
  // Length covering only the first record.
  const auto d = t.build(600, 8);
  EXPECT_EQ(handle_emeter_32(d, 1), 10);
  EXPECT_EQ(handle_emeter_32(d, 2), kNotFound32);
  EXPECT_EQ(handle_emeter_64(d, 3), kNotFound64);
  // A remaining count of 1 still looks at the next record.
  const auto e = t.build(600, 9);
  EXPECT_EQ(handle_emeter_32(e, 2), 20);
  EXPECT_EQ(handle_emeter_32(t.build(600, 0), 1), kNotFound32);
}

TEST(SmaRecords, WalkNeverReadsPastTheReceivedBytes) {
  // The length field claims far more than was received.
  auto d = TestDatagram().rec4(1, 10).build(40, 0xFFFF);
  EXPECT_EQ(handle_emeter_32(d, 1), 10);
  EXPECT_EQ(handle_emeter_32(d, 2), kNotFound32);
  EXPECT_EQ(handle_emeter_64(d, 2), kNotFound64);
  // A wanted record whose value would cross the end counts as not found.
  const auto full = TestDatagram().rec4(1, 10).rec8(2, 20).build(100, 0xFFFF);
  for (std::size_t cut = 36; cut < 48; ++cut) {
    const std::span<const std::uint8_t> part(full.data(), cut);
    EXPECT_EQ(handle_emeter_64(part, 2), kNotFound64) << cut;
  }
  EXPECT_EQ(handle_emeter_64(std::span<const std::uint8_t>(full.data(), 48), 2), 20);
  const std::span<const std::uint8_t> cut_value(full.data(), 35);
  EXPECT_EQ(handle_emeter_32(cut_value, 1), kNotFound32);
  EXPECT_EQ(handle_emeter_32(std::span<const std::uint8_t>(full.data(), 36), 1), 10);
  // Shorter than the header.
  EXPECT_EQ(handle_emeter_32(std::span<const std::uint8_t>(full.data(), 10), 1), kNotFound32);
  EXPECT_EQ(handle_emeter_32(std::span<const std::uint8_t>(), 1), kNotFound32);
}

}  // namespace
}  // namespace kivd::meter
