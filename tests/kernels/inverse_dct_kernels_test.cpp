// Fast inverse DCTs against InverseDct: random blocks of several kinds, the
// extremes where the 32-bit sums wrap, every single coefficient, DC only.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "kernels.h"

namespace {

using Block = std::array<int16_t, 64>;

class InverseDctKernel : public testing::TestWithParam<IdctKernel> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported by this processor";
    BuildCosineTable(table_);
  }

  // Runs both on `input`; false (with the first difference reported) when they differ.
  ::testing::AssertionResult Same(const Block& input) {
    Block expected = input, actual = input;
    InverseDct(table_, expected.data());
    GetParam().run(table_, actual.data());
    for (int i = 0; i < 64; ++i) {
      if (expected[i] != actual[i]) {
        std::string coefficients;
        for (int16_t c : input) coefficients += std::to_string(c) + " ";
        return ::testing::AssertionFailure() << "sample " << i << ": scalar " << expected[i] << ", fast "
                                             << actual[i] << "; input " << coefficients;
      }
    }
    return ::testing::AssertionSuccess();
  }

  CosineTable table_{};
};

TEST_P(InverseDctKernel, RandomBlocksOfEveryShape) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> full(-32768, 32767);
  std::uniform_int_distribution<int> small(-1024, 1023);
  std::uniform_int_distribution<int> extent(1, 8);
  for (int n = 0; n < 100000; ++n) {
    Block block{};
    // Non-zero coefficients only in the top-left rows x columns corner, as
    // real blocks have them, or anywhere; sometimes a few scattered zeros.
    const int rows = extent(random), columns = extent(random);
    const bool wide = n % 4 == 0;
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < columns; ++c)
        block[r * 8 + c] = static_cast<int16_t>(wide ? full(random) : small(random));
    if (n % 3 == 0) block[random() % 64] = 0;
    ASSERT_TRUE(Same(block)) << "block " << n;
  }
}

TEST_P(InverseDctKernel, ExtremesWhereTheSumsWrap) {
  const int16_t extremes[] = {-32768, -32767, 32767, 0};
  std::mt19937 random(7);
  for (int16_t v : {int16_t{-32768}, int16_t{-32767}, int16_t{32767}}) {
    Block block;
    block.fill(v);
    ASSERT_TRUE(Same(block));
    for (int i = 0; i < 64; ++i) block[i] = (i + i / 8) % 2 ? v : static_cast<int16_t>(-v - 1);
    ASSERT_TRUE(Same(block));
  }
  for (int n = 0; n < 20000; ++n) {
    Block block;
    for (auto& c : block) c = extremes[random() % 4];
    ASSERT_TRUE(Same(block)) << "block " << n;
  }
}

TEST_P(InverseDctKernel, EverySingleCoefficient) {
  for (int position = 0; position < 64; ++position) {
    for (int v : {1, -1, 7, 1024, -1024, 2047, 32767, -32767, -32768}) {
      Block block{};
      block[position] = static_cast<int16_t>(v);
      ASSERT_TRUE(Same(block)) << "position " << position << " value " << v;
    }
  }
}

TEST_P(InverseDctKernel, EveryDcOnlyBlock) {
  for (int dc = -32768; dc <= 32767; ++dc) {
    Block block{};
    block[0] = static_cast<int16_t>(dc);
    ASSERT_TRUE(Same(block)) << "dc " << dc;
  }
  // The worked values: DC 1024 gives 127 everywhere, 1027 the first 128.
  Block block{};
  block[0] = 1027;
  GetParam().run(table_, block.data());
  for (int16_t v : block) EXPECT_EQ(v, 128);
}

TEST_P(InverseDctKernel, DcWithOneOtherCoefficientIsNotTakenForDcOnly) {
  for (int position = 1; position < 64; ++position) {
    Block block{};
    block[0] = 800;
    block[position] = -3;
    ASSERT_TRUE(Same(block)) << "position " << position;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, InverseDctKernel, testing::ValuesIn(IdctKernels()), KernelName<IdctKernel>);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(InverseDctKernel);

}  // namespace
