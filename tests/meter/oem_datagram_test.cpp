#include "meter/oem_datagram.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kivd::meter {
namespace {

OemVerdict parse(const std::string& text, OemValues& v, std::size_t* err = nullptr) {
  std::size_t e = 0;
  const OemVerdict r = parse_oem_datagram(std::string_view(text.c_str(), text.size()), v, e);
  if (err) *err = e;
  return r;
}

TEST(Oem, GatewayDatagram) {
  OemValues v;
  ASSERT_EQ(parse(R"({"node":"oemgateway","power 1":1150,"power 2":-460,"power 3":0.9,)"
                  R"("voltage 1":230,"voltage 2":229.8,"voltage 3":231})",
                  v),
            OemVerdict::Gateway);
  EXPECT_EQ(v.power[0], 1150);
  EXPECT_EQ(v.power[1], -460);
  EXPECT_EQ(v.power[2], 0);
  EXPECT_EQ(v.voltage[1], 229);
  const OemPublished p = oem_publish_values(v);
  EXPECT_EQ(p.intpow, 690);
  EXPECT_EQ(p.i[0], 5000);
  EXPECT_EQ(p.i[1], -2008);  // -460000 / 229
  EXPECT_EQ(p.i[2], 0);
  EXPECT_EQ(p.u[0], 230);
}

TEST(Oem, KeysWithoutRegardToCaseAndKeptAcrossDatagrams) {
  OemValues v;
  parse(R"({"oemgateway":1,"POWER 1":100,"Voltage 1":230})", v);
  // "power 1" in this text is only in lower case: the key test looks for
  // the exact text, then the member is looked up without regard to case.
  EXPECT_EQ(v.power[0], 0);
  EXPECT_EQ(v.voltage[0], 0);
  parse(R"({"oemgateway":1,"power 1":100,"voltage 1":230})", v);
  parse(R"({"oemgateway":1,"power 2":50})", v);
  EXPECT_EQ(v.power[0], 100);
  EXPECT_EQ(v.voltage[0], 230);
  EXPECT_EQ(v.power[1], 50);
}

TEST(Oem, WithoutGatewayMarkNothingChanges) {
  OemValues v;
  v.power[0] = 7;
  EXPECT_EQ(parse(R"({"power 1":100})", v), OemVerdict::NotGateway);
  EXPECT_EQ(v.power[0], 7);
}

TEST(Oem, NestedOrNonNumericMembersKeepTheLastValue) {
  OemValues v;
  v.power[0] = 7;
  v.voltage[0] = 230;
  EXPECT_EQ(parse(R"({"oemgateway":{"power 1":100},"voltage 1":"high"})", v), OemVerdict::Gateway);
  EXPECT_EQ(v.power[0], 7);
  EXPECT_EQ(v.voltage[0], 230);
  // An array at the top level has no members.
  EXPECT_EQ(parse(R"(["oemgateway","power 1"])", v), OemVerdict::Gateway);
  EXPECT_EQ(v.power[0], 7);
}

TEST(Oem, HugeNumbersSaturate) {
  OemValues v;
  parse(R"({"oemgateway":1,"power 1":1e30,"voltage 1":1,"power 2":-1e30,"voltage 2":1})", v);
  EXPECT_EQ(v.power[0], INT32_MAX);
  EXPECT_EQ(v.power[1], INT32_MIN);
  const OemPublished p = oem_publish_values(v);
  EXPECT_EQ(p.i[0], INT32_MAX);
  EXPECT_EQ(p.i[1], INT32_MIN);
  EXPECT_EQ(p.intpow, -1);
}

TEST(Oem, ZeroVoltageGivesZeroCurrent) {
  OemValues v;
  v.power[0] = 1000;
  v.power[1] = -1000;
  const OemPublished p = oem_publish_values(v);
  EXPECT_EQ(p.i[0], 0);
  EXPECT_EQ(p.i[1], 0);
  EXPECT_EQ(p.intpow, 0);
}

TEST(Oem, InvalidJsonGivesTheErrorPosition) {
  OemValues v;
  std::size_t err = 99;
  EXPECT_EQ(parse(R"({"oemgateway":1,"power 1":12x})", v, &err), OemVerdict::InvalidJson);
  EXPECT_EQ(err, 28u);
  EXPECT_EQ(parse("", v, &err), OemVerdict::InvalidJson);
  EXPECT_EQ(err, 0u);
}

TEST(Oem, TextEndsAtTheFirstZeroByte) {
  OemValues v;
  const std::string text("{\"oemgateway\":1,\"power 1\":5}\0garbage", 36);
  EXPECT_EQ(parse(text, v), OemVerdict::Gateway);
  EXPECT_EQ(v.power[0], 5);
}

}  // namespace
}  // namespace kivd::meter
