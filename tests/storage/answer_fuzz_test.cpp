#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Each answer in a heap block of its exact size, every length from 0 to 300.
TEST(SpeedwireFuzz, ParsersStayInsideEveryLength) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 20; ++round) {
    for (std::size_t n = 0; n <= 300; ++n) {
      auto block = std::make_unique<std::uint8_t[]>(n ? n : 1);
      for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<std::uint8_t>(rng());
      if (n > 143 && round % 2) block[143] = 0x24;  // reach the known device types
      EXPECT_EQ(LLVMFuzzerTestOneInput(block.get(), n), 0);
    }
  }
}
