// Report and broadcast parsing, answer verdicts, mode derivation, code texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/charging_mode.hpp"
#include "core/keba_codes.hpp"
#include "core/live_values.hpp"
#include "wallbox/keba_exchange.hpp"
#include "wallbox/keba_reports.hpp"
#include "wallbox_fixture.hpp"

namespace kivd::test {
namespace {

std::string testdata(const std::string& name) {
  const char* dir = std::getenv("KIVD_TESTDATA");
  if (dir == nullptr) return {};
  std::ifstream in(std::string(dir) + "/" + name);
  if (!in) return {};
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

#define TESTDATA(var, name)                               \
  const std::string var = testdata(name);                         \
  ASSERT_FALSE(var.empty()) << "test data " << name << " missing from tests/data"

std::optional<AnswerKind> never_parsed(std::string_view) {
  ADD_FAILURE() << "parser called";
  return std::nullopt;
}

TEST(Verdict, RulesInOrder) {
  const auto is = [](Answer a, AnswerKind k, bool ok) { return a.kind == k && a.ok == ok; };
  EXPECT_TRUE(is(classify_answer("TCH-OK :done\n", never_parsed), AnswerKind::Ack, true));
  EXPECT_TRUE(is(classify_answer("TCH-ERROR: bad\n", never_parsed), AnswerKind::Ack, false));
  EXPECT_TRUE(is(classify_answer("TCH-ERR\n", never_parsed), AnswerKind::Ack, false));
  // TCH-OK wins over TCH-ERROR: it is tested first.
  EXPECT_TRUE(is(classify_answer("TCH-ERROR TCH-OK", never_parsed), AnswerKind::Ack, true));
  for (const char* t : {"plain text", "", "{ only open", "only close }"})
    EXPECT_TRUE(is(classify_answer(t, never_parsed), AnswerKind::Other, false)) << t;
  EXPECT_TRUE(is(classify_answer("{\"State\": 3}", [](std::string_view) { return AnswerKind::Broadcast; }),
                 AnswerKind::Broadcast, true));
  EXPECT_TRUE(is(classify_answer("{bad}", [](std::string_view) { return std::optional<AnswerKind>(); }),
                 AnswerKind::Other, false));
  EXPECT_EQ(expected_answer("report 2"), Expected::Report2);
  EXPECT_EQ(expected_answer("report 22"), Expected::Ack);
  EXPECT_TRUE(answers(Expected::Report3, AnswerKind::Report3));
  EXPECT_FALSE(answers(Expected::Report3, AnswerKind::Report2));
  EXPECT_FALSE(answers(Expected::Ack, AnswerKind::Broadcast));
  EXPECT_FALSE(answers(Expected::None, AnswerKind::Ack));
}

TEST(ParseReport, VendorGuideReport1) {
  TESTDATA(text, "keba_p20_vendorguide_report1.txt");
  const auto r = parse_report(text);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind, ReportKind::One);
  EXPECT_STREQ(r->product.text, "KC-P20-ES240010-000 ");
  EXPECT_STREQ(r->serial.text, "15017355");
  EXPECT_STREQ(r->firmware.text, "KEBA P20 v 2.01m11 ");  // the blank before "(" stays
}

TEST(ParseReport, VendorGuideReport2IsNotJson) {
  TESTDATA(text, "keba_p20_vendorguide_report2.txt");
  char rest[512];
  EXPECT_FALSE(parse_report(text, rest, sizeof rest));
  EXPECT_LT(std::string(rest).size(), text.size());  // the parser's rest, not the whole text
}

TEST(ParseReport, P30Reports) {
  TESTDATA(r1, "keba_p30_openems_fixture_report1.txt");
  TESTDATA(r2, "keba_p30_openems_fixture_report2.txt");
  TESTDATA(r3, "keba_p30_openems_fixture_report3.txt");
  auto a = parse_report(r1);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->kind, ReportKind::One);
  EXPECT_STREQ(a->firmware.text, "P30 v 3.10.57 ");
  auto b = parse_report(r2);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->kind, ReportKind::Two);
  EXPECT_EQ(b->state, 5);
  EXPECT_EQ(b->plug, 7);
  EXPECT_EQ(b->enable_sys, 0);
  EXPECT_EQ(b->curr_max_percent, 1000);
  EXPECT_EQ(b->curr_hw, 32000);
  EXPECT_EQ(b->curr_usr, 10000);
  EXPECT_EQ(b->output, 0);  // "Output", not "X2 phaseSwitch"
  EXPECT_EQ(b->secs, 530786);
  EXPECT_EQ(b->tmo_fs, 0);
  auto c = parse_report(r3);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->kind, ReportKind::Three);
  EXPECT_EQ(c->u1, 228);
  EXPECT_EQ(c->i1, 9075);
  EXPECT_EQ(c->pow, 1866156);
  EXPECT_EQ(c->pf, 905);
  EXPECT_EQ(c->e_pres, 65302);
  EXPECT_EQ(c->e_total, 77478335);
  EXPECT_EQ(c->secs, 534926);
}

TEST(ParseReport, P30DeReports) {
  TESTDATA(r2, "keba_p30de_evcc1520_report2.txt");
  TESTDATA(r3, "keba_p30de_evcc1520_report3.txt");
  auto b = parse_report(r2);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->state, 1);
  EXPECT_EQ(b->plug, 3);
  EXPECT_EQ(b->enable_sys, 1);
  auto c = parse_report(r3);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->pow, 0);
  EXPECT_EQ(c->e_total, 0);
}

TEST(ParseReport, IdWithoutBlankIsBroadcast) {
  const auto r = parse_report("{\"ID\":\"2\", \"State\": 3, \"Error1\": 5, \"Max curr\": 16000}");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind, ReportKind::Broadcast);
  EXPECT_EQ(r->state, 3);
  EXPECT_FALSE(r->error1);  // not a broadcast key
  EXPECT_EQ(r->curr_max, 16000);
}

TEST(ParseReport, KeyPresenceIsCaseSensitiveLookupIsNot) {
  // "state" does not contain "State": skipped although the member exists.
  auto r = parse_report("{\"state\": 3}");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->state);
  // "State" occurs (in a text value); the member "STATE" is found without case.
  r = parse_report("{\"x\": \"State\", \"STATE\": 4}");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, 4);
}

TEST(ParseReport, PowerNeedsLetterPAndMember) {
  // "P" occurs in "Plug"-less text via "PF"? No P member: pow stays unset.
  auto r = parse_report("{\"ID\": \"3\", \"U1\": 1, \"Note\": \"Power\"}");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->pow);
  EXPECT_FALSE(r->pf);
  r = parse_report("{\"ID\": \"3\", \"P\": 5000, \"PF\": 1000}");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->pow, 5000);
  EXPECT_EQ(r->pf, 1000);
}

TEST(ParseReport, WrongTypesAreSkipped) {
  auto r = parse_report("{\"ID\": \"2\", \"State\": \"3\", \"Plug\": null, \"Error1\": [1]}");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->state);
  EXPECT_FALSE(r->plug);
  EXPECT_FALSE(r->error1);
  r = parse_report("{\"ID\": \"1\", \"Product\": 5, \"Serial\": {}}");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->product.present);
  EXPECT_FALSE(r->serial.present);
}

TEST(ParseReport, NumbersSaturateAndTextsAreCut) {
  auto r = parse_report("{\"ID\": \"2\", \"Sec\": 4294967296, \"Max curr\": -99999999999}");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->secs, 2147483647);
  EXPECT_EQ(r->curr_max, -2147483647 - 1);
  const std::string longp(100, 'x');
  r = parse_report("{\"ID\": \"1\", \"Product\": \"" + longp + "\", \"Firmware\": \"no bracket\"}");
  ASSERT_TRUE(r);
  EXPECT_EQ(std::string(r->product.text), std::string(59, 'x'));
  EXPECT_STREQ(r->firmware.text, "no bracket");
}

TEST(ParseReport, OnlyFirst511BytesAndUpToZero) {
  std::string t = "{\"State\": 3}";
  t.push_back('\0');
  t += "garbage";
  auto r = parse_report(t);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, 3);
  // A valid object longer than 511 bytes is cut and no longer parses.
  std::string big = "{\"State\": 3, \"x\": \"" + std::string(600, 'a') + "\"}";
  EXPECT_FALSE(parse_report(big));
}

TEST(ParseReport, GarbageNeverCrashes) {
  for (const char* t : {"", "{", "}", "{}", "[]", "null", "{\"ID\": \"1\"}", "{\"ID\": \"3\", \"P\": }", "\xff\xfe{",
                        "{\"Firmware\": \"(\", \"ID\": \"1\"}"}) {
    (void)parse_report(t);
  }
  const auto r = parse_report("{\"Firmware\": \"(\", \"ID\": \"1\"}");
  ASSERT_TRUE(r);
  EXPECT_STREQ(r->firmware.text, "");
}

TEST(Mode, Derivation) {
  const auto mode = [](int web, int x1) { return static_cast<int>(effective_mode(web, x1)); };
  EXPECT_EQ(mode(0, 0), 1);
  EXPECT_EQ(mode(1, 0), 2);
  EXPECT_EQ(mode(2, 0), 3);
  EXPECT_EQ(mode(3, 0), 4);
  EXPECT_EQ(mode(7, 0), 1);
  EXPECT_EQ(mode(-1, 0), 1);
  for (int m = 0; m < 4; ++m) EXPECT_EQ(mode(m, 1), 2);
}

TEST(Codes, Tables) {
  EXPECT_STREQ(keba_state_text(-1), "undefined");
  EXPECT_STREQ(keba_state_text(3), "charging");
  EXPECT_STREQ(keba_state_text(6), "unknown");
  EXPECT_STREQ(keba_plug_text(7), "plugged into wallbox, plugged into EV, plug locked");
  EXPECT_STREQ(keba_plug_xml(7), "plugged on wallbox, plugged on EV, plug locked");
  EXPECT_STREQ(keba_plug_xml(2), "unknown");
  EXPECT_STREQ(keba_error1_text(10), "13A error");
  EXPECT_STREQ(keba_error1_xml(10), "13A_ERROR");
  EXPECT_STREQ(keba_error1_xml(99), "UNKNOWN");
  EXPECT_STREQ(keba_error1_text(99), "unknown");
  EXPECT_STREQ(keba_error2_text(0x4003), "overload");
  EXPECT_STREQ(keba_error2_xml(0x4003), "ERROR_CURRENT");
  EXPECT_STREQ(keba_error2_text(0x800C), "temperature to high");
  EXPECT_STREQ(keba_error2_xml(0x800C), "UNKNOWN");
  EXPECT_STREQ(keba_error2_text(0x800A), "undocumented error");
  EXPECT_STREQ(keba_error2_xml(0x8001), "ERROR_SCHUETZ");
}

class ParseReportsLive : public WallboxTest {};

TEST_F(ParseReportsLive, BroadcastSetsStateAndMode) {
  live().web_charge_mode = 2;
  EXPECT_EQ(ParseReports("{\"State\": 3}"), 1);
  EXPECT_EQ(live().wb_state, 3);
  EXPECT_EQ(live().ChargingMode, 3);
  EXPECT_EQ(live().disable_web_control, 0);
}

TEST_F(ParseReportsLive, InputX1ForcesQuickUntilReleased) {
  live().web_charge_mode = 3;
  ASSERT_EQ(ParseReports("{\"Input\": 1}"), 1);
  EXPECT_EQ(live().wb_X1_in, 1);
  EXPECT_EQ(live().ChargingMode, 2);
  EXPECT_EQ(live().disable_web_control, 1);
  ASSERT_EQ(ParseReports("{\"E pres\": 12}"), 1);  // X1 still pushed
  EXPECT_EQ(live().ChargingMode, 2);
  ASSERT_EQ(ParseReports("{\"Input\": 0}"), 1);
  EXPECT_EQ(live().ChargingMode, 4);
  EXPECT_EQ(live().disable_web_control, 0);
}

TEST_F(ParseReportsLive, InvalidJsonKeepsValuesAndLogs) {
  live().wb_state = 2;
  // Multi-line, as the box prints its reports: the error stays one log line.
  EXPECT_EQ(ParseReports("{\n\"State\": 4,\n}\n"), 0);
  EXPECT_EQ(live().wb_state, 2);
  int error_lines = 0;
  for (const std::string& l : log_lines(sandbox_)) error_lines += l.rfind("ParseReports: JSON error before: ", 0) == 0;
  EXPECT_EQ(error_lines, 1) << sandbox_.log();
  EXPECT_EQ(log_lines(sandbox_).size(), 1u) << sandbox_.log();
}

TEST_F(ParseReportsLive, ChargingErrorLineInHex) {
  ASSERT_EQ(ParseReports("{\"ID\": \"2\", \"State\": 4, \"Error1\": 0, \"Error2\": 16387}"), 1);
  EXPECT_EQ(count_lines(sandbox_, "Charging error: err1 = 0x0 (no error), err2 = 0x4003 (overload)"), 1)
      << sandbox_.log();
  EXPECT_EQ(count_lines(sandbox_, "report 2 parsing finished. State: 4 ..."), 1);
}

TEST_F(ParseReportsLive, Report1StoresAndOverridesOnlyNamedSerials) {
  ASSERT_EQ(ParseReports("{\"ID\": \"1\", \"Product\": \"KC-P20-X\", \"Serial\": \"15017355\", "
                         "\"Firmware\": \"KEBA P20 v 2.01m11 (140610-073512)\"}"),
            1);
  EXPECT_EQ(live().wb_product_id.get(), "KC-P20-X");
  EXPECT_EQ(live().wb_firmware.get(), "KEBA P20 v 2.01m11 ");
  EXPECT_EQ(count_lines(sandbox_, "report 1 parsing finished: KC-P20-X, 15017355, KEBA P20 v 2.01m11 "), 1);
  ASSERT_EQ(ParseReports("{\"ID\": \"1\", \"Product\": \"KC-P20-X\", \"Serial\": \"14991310\"}"), 1);
  EXPECT_EQ(live().wb_product_id.get(), "KC-P20-ES240030-000");
}

TEST_F(ParseReportsLive, Report3StoresAll) {
  TESTDATA(r3, "keba_p30_openems_fixture_report3.txt");
  ASSERT_EQ(ParseReports(r3), 1);
  EXPECT_EQ(live().wb_pow, 1866156);
  EXPECT_EQ(live().wb_i1, 9075);
  EXPECT_EQ(live().wb_u2, 227);
  EXPECT_EQ(count_lines(sandbox_, "report 3 parsing finished. Power 1866156 ..."), 1);
}

}  // namespace
}  // namespace kivd::test

namespace kivd::test {
namespace {

// The fuzz seeds through the same path as the fuzz target.
TEST_F(ParseReportsLive, FuzzSeedsReplay) {
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(KIV_FUZZ_CORPUS)) {
    std::ifstream in(e.path());
    std::stringstream ss;
    ss << in.rdbuf();
    parse_and_apply(ss.str());
    ++files;
  }
  EXPECT_GE(files, 5);
  // r2 pressed X1: quick forced; r1 named an override serial.
  EXPECT_EQ(live().ChargingMode, 2);
  EXPECT_EQ(live().wb_product_id.get(), "KC-P20-ES240030-000");
}

}  // namespace
}  // namespace kivd::test
