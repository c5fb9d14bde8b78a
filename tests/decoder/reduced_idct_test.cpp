// The reduced inverse DCTs of scaled decoding against the same transform in
// real arithmetic (over the same 14-bit table): within 1 everywhere, at
// random blocks, single coefficients in each position and the extremes,
// where the sums are largest and the column pass's clamp takes over; the DC alone at 1/8,
// whatever the AC holds; samples only where the layout puts them; and each
// sample the mean of its square of the full transform.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "decoder_state.h"

namespace {

// B[x][k] = round(16384 * C(k) * mean over j < s of cos((2 (s x + j) + 1) k pi / 16)),
// s = 8 / n, as the decoder defines it.
double Table(int n, int x, int k) {
  const int s = 8 / n;
  double sum = 0;
  for (int j = 0; j < s; ++j) sum += std::cos((2 * (s * x + j) + 1) * k * M_PI / 16.0);
  double value = sum / s;
  if (k == 0) value /= std::sqrt(2.0);
  return std::lround(value * 16384.0);
}

// The n x n output in real arithmetic, the column pass clamped where the
// decoder clamps it (at 32768 quarters).
double Reference(const int16_t* block, int n, int r, int x) {
  if (n == 1) return block[0] / 8.0;
  double sum = 0;
  for (int l = 0; l < 8; ++l) {
    double column = 0;
    for (int k = 0; k < 8; ++k) column += block[k * 8 + l] * Table(n, r, k) / 32768.0;
    column = std::min(32767.0 / 4, std::max(-32768.0 / 4, column));
    sum += column * Table(n, x, l) / 32768.0;
  }
  return sum;
}

// The mean of an s x s square of the 8x8 inverse DCT in real arithmetic,
// from the transform's definition (exact cosines).
double SquareMean(const int16_t* block, int n, int r, int x) {
  const int s = 8 / n;
  double sum = 0;
  for (int py = r * s; py < (r + 1) * s; ++py) {
    for (int px = x * s; px < (x + 1) * s; ++px) {
      for (int v = 0; v < 8; ++v) {
        for (int u = 0; u < 8; ++u) {
          const double cu = u == 0 ? 1 / std::sqrt(2.0) : 1, cv = v == 0 ? 1 / std::sqrt(2.0) : 1;
          sum += cu * cv / 4 * block[v * 8 + u] * std::cos((2 * px + 1) * u * M_PI / 16) *
                 std::cos((2 * py + 1) * v * M_PI / 16);
        }
      }
    }
  }
  return sum / (s * s);
}

// Runs the reduced transform on `in` and checks every output; returns the
// largest distance seen.
double Check(const int16_t* in, int shift) {
  const int n = 8 >> shift;
  int16_t block[64];
  std::copy(in, in + 64, block);
  ReducedInverseDct(block, shift, block, 8);
  double worst = 0;
  for (int r = 0; r < 8; ++r) {
    for (int x = 0; x < 8; ++x) {
      if (r < n && x < n) {
        const double distance = std::abs(block[r * 8 + x] - Reference(in, n, r, x));
        worst = std::max(worst, distance);
        EXPECT_LE(distance, 1.0) << "n " << n << " at " << r << "," << x << " got " << block[r * 8 + x];
      } else {
        // Past the outputs the layout reads nothing; the transform leaves
        // the coefficients there as they were.
        EXPECT_EQ(block[r * 8 + x], in[r * 8 + x]);
      }
    }
  }
  return worst;
}

TEST(ReducedInverseDctTest, WithinOneOfRealArithmeticAtRandomBlocks) {
  std::mt19937 random(19);
  std::uniform_int_distribution<int> small(-300, 300), any(-32768, 32767);
  for (int shift = 1; shift <= 3; ++shift) {
    for (int trial = 0; trial < 3000; ++trial) {
      int16_t block[64];
      for (int16_t& v : block) v = static_cast<int16_t>(trial % 2 ? small(random) : any(random));
      block[0] = static_cast<int16_t>(any(random));
      Check(block, shift);
    }
  }
}

TEST(ReducedInverseDctTest, SingleCoefficientsAndExtremes) {
  for (int shift = 1; shift <= 3; ++shift) {
    for (int position = 0; position < 64; ++position) {
      for (int value : {1, -1, 7, 1023, -1024, 32767, -32768}) {
        int16_t block[64] = {};
        block[position] = static_cast<int16_t>(value);
        Check(block, shift);
      }
    }
    // Every coefficient at an extreme, alike and alternating in sign: the
    // sums far past 16 bits, the clamp at both ends.
    for (int pattern = 0; pattern < 4; ++pattern) {
      int16_t block[64];
      for (int i = 0; i < 64; ++i) {
        const bool high = pattern == 0 || (pattern == 2 && (i / 8 + i % 8) % 2 == 0) || (pattern == 3 && i % 2 == 0);
        block[i] = high ? 32767 : -32768;
      }
      Check(block, shift);
    }
  }
}

TEST(ReducedInverseDctTest, SamplesAreMeansOfSquaresOfTheFullTransform) {
  // Blocks of 8-bit samples' size: within 1 of the exact square means (the
  // table's rounding adds a little to the arithmetic's).
  std::mt19937 random(8);
  std::uniform_int_distribution<int> dc(0, 2040), ac(-400, 400);
  for (int shift = 1; shift <= 3; ++shift) {
    const int n = 8 >> shift;
    for (int trial = 0; trial < 300; ++trial) {
      int16_t in[64], block[64];
      for (int i = 0; i < 64; ++i) in[i] = static_cast<int16_t>(i == 0 ? dc(random) : (i % 9 < trial % 9 ? ac(random) : 0));
      std::copy(in, in + 64, block);
      ReducedInverseDct(block, shift, block, 8);
      for (int r = 0; r < n; ++r)
        for (int x = 0; x < n; ++x) EXPECT_NEAR(block[r * 8 + x], SquareMean(in, n, r, x), 1.0) << "n " << n;
    }
  }
}

TEST(ReducedInverseDctTest, FlatBlocksKeepTheirMean) {
  // A DC-only block's samples are DC / 8, rounded: the mean of the 8x8
  // block it stands for (for any DC inside the column pass's range, far
  // wider than samples of 0..255 give; the extremes are checked above).
  for (int shift = 1; shift <= 3; ++shift) {
    for (int dc : {-16384, -1028, -4, -3, 0, 3, 4, 5, 1020, 2040, 16383}) {
      int16_t block[64] = {};
      block[0] = static_cast<int16_t>(dc);
      ReducedInverseDct(block, shift, block, 8);
      const int n = 8 >> shift;
      for (int i = 0; i < n * n; ++i)
        EXPECT_NEAR(block[(i / n) * 8 + i % n], dc / 8.0, 0.5 + 1e-9) << "dc " << dc << " n " << n;
    }
  }
  // 1/8 reads the DC only.
  int16_t block[64];
  for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(i * 501 - 16000);
  block[0] = 804;
  ReducedInverseDct(block, 3, block, 8);
  EXPECT_EQ(block[0], 101);
}

}  // namespace
