// The inverse DCT: its worked values and its exact fixed-point arithmetic,
// including the 32-bit wrap of the sums and the 16-bit truncation between
// the passes.
#include <gtest/gtest.h>

#include <random>

#include "decoder_state.h"

namespace {

class InverseDctTest : public ::testing::Test {
 protected:
  void SetUp() override { BuildCosineTable(table_); }

  // Every sample of a DC-only block.
  int16_t Flat(int16_t dc) {
    int16_t block[64] = {};
    block[0] = dc;
    InverseDct(table_, block);
    for (int i = 1; i < 64; ++i) EXPECT_EQ(block[i], block[0]) << "dc " << dc;
    return block[0];
  }

  // The transform written out on 64-bit sums reduced modulo 2^32.
  void Reference(const int16_t* in, int16_t* out) {
    auto dot = [&](const int16_t* a, int stride, const int16_t* t) {
      int64_t sum = 0;
      for (int i = 0; i < 8; ++i) sum += int64_t{a[i * stride]} * t[i];
      const uint32_t wrapped = static_cast<uint32_t>(sum & 0xFFFFFFFF);
      return static_cast<int16_t>(wrapped >> 16);
    };
    int16_t mid[64];
    for (int c = 0; c < 8; ++c)
      for (int i = 0; i < 8; ++i) mid[i * 8 + c] = dot(in + c, 8, table_ + i * 8);
    for (int r = 0; r < 8; ++r)
      for (int x = 0; x < 8; ++x) out[r * 8 + x] = dot(mid + r * 8, 1, table_ + x * 8);
  }

  CosineTable table_;
};

TEST_F(InverseDctTest, DcOnlyWorkedValues) {
  EXPECT_EQ(Flat(0), 0);
  EXPECT_EQ(Flat(1024), 127);  // 362.03 -> 362, then 127.98 -> 127
  EXPECT_EQ(Flat(1026), 127);
  EXPECT_EQ(Flat(1027), 128);  // the smallest DC giving 128
  EXPECT_EQ(Flat(8), 0);
  EXPECT_EQ(Flat(16), 1);
  EXPECT_EQ(Flat(-8), -2);  // -2.83 floors to -3, then -1.06 floors to -2
}

TEST_F(InverseDctTest, MatchesTheTwoPassDefinitionOnRandomAndExtremeBlocks) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> any(-32768, 32767);
  std::uniform_int_distribution<int> small(-1024, 1023);
  for (int trial = 0; trial < 3000; ++trial) {
    int16_t block[64];
    for (int i = 0; i < 64; ++i) {
      switch (trial % 4) {
        case 0: block[i] = static_cast<int16_t>(any(random)); break;
        case 1: block[i] = static_cast<int16_t>(small(random) >> (i / 8)); break;
        case 2: block[i] = (random() & 1) ? -32768 : 32767; break;
        default: block[i] = (random() % 5 == 0) ? static_cast<int16_t>(any(random)) : 0; break;
      }
    }
    int16_t expected[64];
    Reference(block, expected);
    InverseDct(table_, block);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], expected[i]) << "trial " << trial << " index " << i;
  }
}

TEST_F(InverseDctTest, SumsWrapAtThirtyTwoBits) {
  // A column of -32768 against the first cosine row sums to about -4.6e9:
  // the wrapped sum, not a saturated one, decides the sample.
  int16_t block[64] = {};
  for (int r = 0; r < 8; ++r) block[r * 8] = -32768;
  int16_t expected[64];
  Reference(block, expected);
  InverseDct(table_, block);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], expected[i]) << i;
  int64_t exact = 0;
  for (int k = 0; k < 8; ++k) exact += int64_t{-32768} * table_[k];
  EXPECT_LT(exact, INT32_MIN);  // the case really wraps
}

TEST_F(InverseDctTest, SingleCoefficientGivesSeparableBasis) {
  // Coefficient (v, u) = 4096 alone: sample (y, x) is the product of the
  // two passes on one basis function each.
  for (int position = 0; position < 64; ++position) {
    int16_t block[64] = {};
    block[position] = 4096;
    int16_t expected[64];
    Reference(block, expected);
    InverseDct(table_, block);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], expected[i]) << position << " " << i;
    const int v = position / 8, u = position % 8;
    for (int y = 0; y < 8; ++y) {
      const int16_t first = static_cast<int16_t>((4096 * table_[y * 8 + v]) >> 16);
      for (int x = 0; x < 8; ++x)
        ASSERT_EQ(block[y * 8 + x], static_cast<int16_t>((first * table_[x * 8 + u]) >> 16));
    }
  }
}

}  // namespace
