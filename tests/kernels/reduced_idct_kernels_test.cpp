// Fast reduced inverse DCTs against ReducedInverseDct at every scale:
// random blocks of several shapes, the extremes where the column pass
// clamps, every single coefficient, flat blocks; written in place and into
// another buffer, as packed MCUs have them.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "kernels.h"

namespace {

using Block = std::array<int16_t, 64>;

class ReducedIdctKernelTest : public testing::TestWithParam<ReducedIdctKernel> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported by this processor";
  }

  ::testing::AssertionResult Same(const Block& input) {
    for (int shift = 1; shift <= 3; ++shift) {
      Block expected = input, actual = input;
      ReducedInverseDct(expected.data(), shift, expected.data(), 8);
      GetParam().run(actual.data(), shift, actual.data(), 8);
      // Into another buffer, at another stride.
      std::array<int16_t, 40> apart{};
      GetParam().run(input.data(), shift, apart.data() + 3, 9);
      const int n = 8 >> shift;
      for (int i = 0; i < 64; ++i) {
        const bool sample = i / 8 < n && i % 8 < n;
        if (expected[i] != actual[i] || (sample && apart[3 + (i / 8) * 9 + i % 8] != expected[i])) {
          std::string coefficients;
          for (int16_t c : input) coefficients += std::to_string(c) + " ";
          return ::testing::AssertionFailure() << "n " << n << " at " << i << ": scalar " << expected[i]
                                               << ", fast " << actual[i] << "; input " << coefficients;
        }
      }
    }
    return ::testing::AssertionSuccess();
  }
};

TEST_P(ReducedIdctKernelTest, RandomBlocksOfEveryShape) {
  std::mt19937 random(19);
  std::uniform_int_distribution<int> full(-32768, 32767), small(-1024, 1023), extent(1, 8);
  for (int n = 0; n < 50000; ++n) {
    Block block{};
    const int rows = extent(random), columns = extent(random);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < columns; ++c) block[r * 8 + c] = static_cast<int16_t>(n % 4 == 0 ? full(random) : small(random));
    ASSERT_TRUE(Same(block)) << "block " << n;
  }
}

TEST_P(ReducedIdctKernelTest, ExtremesAndSingleCoefficients) {
  const int16_t extremes[] = {-32768, -32767, 32767, 0};
  std::mt19937 random(3);
  for (int n = 0; n < 20000; ++n) {
    Block block;
    for (auto& c : block) c = extremes[random() % 4];
    ASSERT_TRUE(Same(block)) << "block " << n;
  }
  for (int16_t v : {int16_t{-32768}, int16_t{32767}}) {
    Block block;
    block.fill(v);
    ASSERT_TRUE(Same(block));
    for (int i = 0; i < 64; ++i) block[i] = (i + i / 8) % 2 ? v : static_cast<int16_t>(-v - 1);
    ASSERT_TRUE(Same(block));
  }
  for (int position = 0; position < 64; ++position) {
    for (int v : {1, -1, 7, 1024, -1024, 32767, -32768}) {
      Block block{};
      block[position] = static_cast<int16_t>(v);
      ASSERT_TRUE(Same(block)) << "position " << position << " value " << v;
    }
  }
  for (int dc = -32768; dc <= 32767; dc += 7) {
    Block block{};
    block[0] = static_cast<int16_t>(dc);
    ASSERT_TRUE(Same(block)) << "dc " << dc;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ReducedIdctKernelTest, testing::ValuesIn(ReducedIdctKernels()),
                         KernelName<ReducedIdctKernel>);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReducedIdctKernelTest);

}  // namespace
