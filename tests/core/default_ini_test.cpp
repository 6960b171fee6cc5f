#include <gtest/gtest.h>

#include "core/settings.hpp"
#include "support/temp_dir.hpp"

using namespace kivd;

TEST(DefaultIni, MatchesTheReviewedFile) {
  test::TempDir d;
  ASSERT_TRUE(WriteDefaultINIFile(d.file("kivd.ini")));
  EXPECT_EQ(d.read("kivd.ini"), test::read_file(KIV_GOLDEN_DIR "/kivd.ini"));
}

TEST(DefaultIni, BannerAndColumns) {
  const std::string t = DefaultIniText();
  const std::size_t first = t.find('\n');
  EXPECT_EQ(t.substr(0, first), std::string(80, '#'));
  EXPECT_NE(t.find("# kivd configuration" + std::string(59, ' ') + "#\n"), std::string::npos);
  EXPECT_NE(t.find("[SMA]                       ; suboption: SMA Energy Meter\n"), std::string::npos);
  EXPECT_NE(t.find("VERSION=1.6                 ; ini file version\n"), std::string::npos);
  EXPECT_NE(t.find("LOG_DIR=/tmp\t\t\t; log and app-path\n"), std::string::npos);
  // No empty line after LOG and WEBSERVER.
  EXPECT_NE(t.find("on\n[NETWORK]\n"), std::string::npos);
  EXPECT_NE(t.find("key (64 hex digits) of your own\n[SMARTMETER]\n"), std::string::npos);
}

TEST(DefaultIni, ReadsBackAsTheBuiltInsExceptTheDocumentedDifferences) {
  test::TempDir d;
  ASSERT_TRUE(WriteDefaultINIFile(d.file("kivd.ini")));
  Settings got = ReadAndHandleIniFile(d.file("kivd.ini"));
  Settings want;
  // The default file names other example hosts and switches datapoint 4 on.
  want.WallboxServer = "192.168.0.20";
  want.MyServer = "192.168.0.10";
  want.KNXRouter = "192.168.10.15";
  want.DPT_Using[3] = true;
  EXPECT_TRUE(got == want);
  // Field by field, so a failure names the key.
  EXPECT_EQ(got.WallboxServer, want.WallboxServer);
  EXPECT_EQ(got.MyServer, want.MyServer);
  EXPECT_EQ(got.KNXRouter, want.KNXRouter);
  EXPECT_EQ(got.DPT_Using, want.DPT_Using);
  EXPECT_EQ(got.DPT, want.DPT);
}

TEST(DefaultIni, UnwritablePathFails) { EXPECT_FALSE(WriteDefaultINIFile("/nonexistent/dir/kivd.ini")); }
