#include "meter/d0_readout.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "meter/d0_framer.hpp"

#include "sma_test_datagram.hpp"

namespace kivd::meter {
namespace {

// A Mode C readout as the gateway passes it on: identification, STX, data
// lines with CR LF, "!" and ETX with its check byte.
const std::string kAs1440 =
    "/ELS5\\@V9.30\r\n\x02"
    "0.0.0(12345678)\r\n"
    "1.7.0(0.450*kW)\r\n"
    "1.8.0(0001234.5*kWh)\r\n"
    "2.7.0(0.000*kW)\r\n"
    "2.8.0(0000567.8*kWh)\r\n"
    "0.9.1(1234500)\r\n"
    "!\r\n\x03\x45";

TEST(As1440, FourLinesWithUnits) {
  D0Slots s;
  const D0Result r = parse_as1440(kAs1440, s);
  EXPECT_EQ(r.lines, 4);
  EXPECT_TRUE(r.has_power);
  EXPECT_EQ(r.power, 450);
  EXPECT_EQ(s.slot(1), "0.450");
  EXPECT_EQ(s.slot(2), "0001234.5");
  EXPECT_EQ(s.slot(3), "0.000");
  EXPECT_EQ(s.slot(4), "0000567.8");
  EXPECT_FLOAT_EQ(static_cast<float>(s.number(2)), 1234.5f);
  EXPECT_FLOAT_EQ(static_cast<float>(s.number(4)), 567.8f);
}

TEST(As1440, FeedInIsNegative) {
  D0Slots s;
  EXPECT_EQ(parse_as1440("1.7.0(0.000*kW)\r\n1.8.0(1*kWh)\r\n2.7.0(1.2345*kW)\r\n2.8.0(2*kWh)\r\n", s).power,
            -1234);  // -1234.5 truncated toward zero
}

TEST(As1440, OnlyTwoLinesWithUnitsKeepTheOtherSlots) {
  D0Slots s;
  parse_as1440("1.7.0(1.000*kW)\r\n1.8.0(10*kWh)\r\n2.7.0(0.500*kW)\r\n2.8.0(20*kWh)\r\n", s);
  const D0Result r = parse_as1440("1.7.0(2.000*kW)\r\n1.8.0(11*kWh)\r\n2.7.0(0.300)\r\n", s);
  EXPECT_EQ(r.lines, 2);
  EXPECT_EQ(s.slot(1), "2.000");
  EXPECT_EQ(s.slot(2), "11");
  EXPECT_EQ(s.slot(3), "0.500");
  EXPECT_EQ(s.slot(4), "20");
  EXPECT_EQ(r.power, 1500);
  D0Slots fresh;
  parse_as1440("1.7.0(2.000*kW)\r\n1.8.0(11*kWh)\r\n", fresh);
  EXPECT_EQ(fresh.slot(3), "0");
  EXPECT_EQ(fresh.slot(4), "0");
}

TEST(As1440, LineRules) {
  D0Slots s;
  // No text before "(", empty value, no "*": none counts.
  EXPECT_EQ(parse_as1440("(1*kW)\r\nx(*kW)\r\n1.7.0(5)\r\n", s).lines, 0);
  EXPECT_EQ(s.slot(1), "0");
  // A unit character right at the end of the text still counts.
  EXPECT_EQ(parse_as1440("a(7*", s).lines, 1);
  EXPECT_EQ(s.slot(1), "7");
  // The value is cut to 14 characters.
  parse_as1440("1.7.0(123456789.0123456789*kW)\r\n", s);
  EXPECT_EQ(s.slot(1), "123456789.0123");
  // Text after a 0 byte is not part of the readout.
  EXPECT_EQ(parse_as1440(std::string("a(1*kW)\r\n\0b(2*kW)\r\n", 19), s).lines, 1);
}

TEST(As1440, HugeAndOddNumbersStayInRange) {
  D0Slots s;
  EXPECT_EQ(parse_as1440("a(99999999999*kW)\r\n", s).power, INT32_MAX);
  EXPECT_EQ(parse_as1440("a(0*kW)\r\nb(0*kWh)\r\nc(99999999999*kW)\r\n", s).power, INT32_MIN);
  EXPECT_EQ(parse_as1440("a(nan*kW)\r\nb(0*kWh)\r\nc(0*kW)\r\n", s).power, 0);
  EXPECT_EQ(parse_as1440("a(junk*kW)\r\n", s).power, 0);
}

TEST(D0Readout, AFullBufferNeedsNoEndMark) {
  // 1024 bytes without a 0 byte, as a read that fills the buffer leaves them:
  // the parsers keep to the bytes given (the sanitizer build checks it).
  std::array<char, kD0BufferSize> buf;
  buf.fill('7');
  const std::string line = "1.7.0(1.5*kW)\r";
  std::copy(line.begin(), line.end(), buf.end() - static_cast<long>(line.size()));
  buf[0] = 'x', buf[1] = '(';  // an unterminated value that runs to the end
  D0Slots s;
  const D0Result r = parse_as1440(std::string_view(buf.data(), buf.size()), s);
  EXPECT_EQ(r.lines, 1);
  EXPECT_EQ(s.slot(1), "77777777777777");
  std::array<char, kD0BufferSize> hex;
  hex.fill('F');
  const std::string power = "0100100700FF0101621B520055";
  std::copy(power.begin(), power.end(), hex.end() - static_cast<long>(power.size()) - 8);
  D0Slots t;
  const D0Result q = parse_mt175(std::string_view(hex.data(), hex.size()), t);
  EXPECT_TRUE(q.has_power);
  EXPECT_EQ(q.power, -1);
}

TEST(D0Currents, ShareOfTheHousePower) {
  const Currents c = d0_currents(450, 0, 0, 0);
  EXPECT_EQ(c.i1, 652);
  EXPECT_EQ(c.i2, 652);
  EXPECT_EQ(c.i3, 652);
  // Wallbox: 3680 W (mW), 16 A on L1 and L2; the house draws 4000 W.
  const Currents w = d0_currents(4000, 3680000, 16000, 15000);
  EXPECT_EQ(w.i1, 16000 + 463);  // (4000 - 3680) * 1000 / 690
  EXPECT_EQ(w.i2, 15000 + 463);
  EXPECT_EQ(w.i3, w.i2) << "L3 takes the L2 wallbox current";
  EXPECT_EQ(d0_currents(-1000, 0, 0, 0).i1, -1449);  // truncates toward zero
  // No overflow in the intermediate product.
  EXPECT_EQ(d0_currents(INT32_MAX, 0, 0, 0).i1, INT32_MAX);
}

std::string sml_field(const char* obis, const std::string& middle, const std::string& value) {
  return std::string(obis) + middle + value;
}

TEST(Mt175, SyntheticFields) {
  // 34 characters from the energy identifier's start to its value; 26 for power.
  const std::string text = "1B1B1B1B" + sml_field("0100010800FF", "65000101A201621E52FF59", "0000000000BC614E") +
                           "01" + sml_field("0100020800FF", "65000101A201621E52FF59", "0000000000000010") + "01" +
                           sml_field("0100100700FF", "0101621B520055", "FFFFFF38") + "01";
  D0Slots s;
  const D0Result r = parse_mt175(text, s);
  EXPECT_TRUE(r.has_power);
  EXPECT_EQ(r.power, -200);
  EXPECT_EQ(s.slot(2), "1234.567749");  // 1234.5678 as a float
  EXPECT_NEAR(s.number(2), 1234.5678, 1e-3);
  EXPECT_EQ(s.slot(4), "0.001600");
  EXPECT_EQ(s.slot(1), "0");
  EXPECT_EQ(s.slot(3), "0");
}

TEST(Mt175, CarriageReturnsAreRemovedFirst) {
  const std::string text = "0100100700FF\r0101621B52\r0055000001F4\r";
  D0Slots s;
  const D0Result r = parse_mt175(text, s);
  EXPECT_TRUE(r.has_power);
  EXPECT_EQ(r.power, 500);
}

TEST(Mt175, EnergySaturatesAbove31Bits) {
  const std::string text = sml_field("0100010800FF", "65000101A201621E52FF59", "00000000FFFFFFFF");
  D0Slots s;
  parse_mt175(text, s);
  EXPECT_NEAR(s.number(2), 214748.3647, 0.02);
  EXPECT_EQ(sml_hex_saturating("7FFFFFFF"), INT32_MAX);
  EXPECT_EQ(sml_hex_saturating("80000000"), INT32_MAX);
  EXPECT_EQ(sml_hex_saturating("FFFFFFFFFFFFFFFF"), INT32_MAX);
  EXPECT_EQ(sml_hex_saturating("00000000000000ff"), 255);
}

TEST(Mt175, MissingOrCutFieldsPublishNothing) {
  D0Slots s;
  s.set(2, "11.5");
  s.set(4, "22.5");
  // No identifiers at all.
  D0Result r = parse_mt175("1B1B1B1B0101010176", s);
  EXPECT_FALSE(r.has_power);
  EXPECT_EQ(s.slot(2), "11.5");
  EXPECT_EQ(s.slot(4), "22.5");
  // Identifiers present but the data end inside their fields.
  r = parse_mt175(sml_field("0100010800FF", "65000101A201621E52FF59", "000000000000000"), s);
  EXPECT_EQ(s.slot(2), "11.5");
  r = parse_mt175(sml_field("0100100700FF", "0101621B520055", "FFFFFFF"), s);
  EXPECT_FALSE(r.has_power);
  // A field holding no hexadecimal digits is no reading.
  r = parse_mt175(sml_field("0100100700FF", "0101621B520055", "FFFFFFXZ"), s);
  EXPECT_FALSE(r.has_power);
}

TEST(Mt175, RealIskraTransmission) {
  const auto hex = test::testdata("sml_iskra_mt175_D1A52-V22-K0t_transmission0.DERIVED.hex");
  ASSERT_TRUE(hex) << "capture missing from tests/data";
  std::string text = *hex;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  D0Slots s;
  const D0Result r = parse_mt175(text, s);
  EXPECT_TRUE(r.has_power);
  EXPECT_EQ(r.power, -4308);
  EXPECT_NEAR(s.number(2), 10732.3091, 0.01);  // 0x06659ED3 / 10000
  EXPECT_NEAR(s.number(4), 28275.3245, 0.01);  // 0x10DA78DD / 10000
  // The same text cut by carriage returns every 64 characters.
  std::string lines;
  for (std::size_t k = 0; k < text.size(); k += 64) lines += text.substr(k, 64) + "\r";
  D0Slots t;
  const D0Result q = parse_mt175(lines, t);
  EXPECT_EQ(q.power, -4308);
  EXPECT_EQ(t.slot(2), s.slot(2));
}

// Two readouts in a row, cut into two reads at every position: both come
// out whole, whatever the cut.
TEST(D0Framer, EverySplitOfTheStreamGivesWholeReadouts) {
  const auto hex = test::testdata("sml_iskra_mt175_D1A52-V22-K0t_transmission0.DERIVED.hex");
  ASSERT_TRUE(hex) << "capture missing from tests/data";
  std::string sml = *hex;
  while (!sml.empty() && (sml.back() == '\n' || sml.back() == ' ')) sml.pop_back();
  std::string sml_lines;  // as a gateway that breaks the text into lines sends it
  for (std::size_t k = 0; k < sml.size(); k += 64) sml_lines += sml.substr(k, 64) + "\r\n";
  const struct {
    bool mt175;
    std::string sent, readout;
  } cases[] = {
      {false, kAs1440, kAs1440.substr(0, kAs1440.find("!\r\n") + 1)},
      {true, "/ISK5MT175-0001\r\n" + sml + "\r\n", sml},
      {true, "/ISK5MT175-0001\r\n" + sml_lines, sml},
  };
  for (const auto& c : cases) {
    const std::string stream = c.sent + c.sent;
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      D0Framer framer(c.mt175);
      std::vector<std::string> got;
      const auto take = [&got](std::string_view r) { got.emplace_back(r); };
      framer.feed(std::string_view(stream).substr(0, cut), take);
      framer.feed(std::string_view(stream).substr(cut), take);
      ASSERT_EQ(got, (std::vector<std::string>{c.readout, c.readout})) << "mt175 " << c.mt175 << " cut at " << cut;
    }
  }
  D0Slots slots;
  EXPECT_EQ(parse_mt175(sml, slots).power, -4308);
}

}  // namespace
}  // namespace kivd::meter
