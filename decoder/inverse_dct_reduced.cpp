// The reduced inverse DCTs of scaled decoding: an 8x8 block of coefficients
// gives n x n samples (n = 4, 2 or 1), the n-point inverse DCT of its n x n
// lowest frequencies with the 8-point transform's scale, so a block's mean
// is kept. In one dimension, for output x < n:
//   s(x) = sum over k < n of F(k) * C(k) / 2 * cos((2x + 1) k pi / 2n),  C(0) = 1/sqrt(2), else 1
// and the block is that over columns, then over rows.
//
// Fixed point: T[x][k] = round(16384 * C(k) * cos((2x + 1) k pi / 2n))
// (14 bits, so that every sum below fits in 32 bits: no wrap anywhere).
//   columns: m[i][c] = clamp16((sum_k F[k][c] * T[i][k] + 2^12) >> 13)   (2 fraction bits kept)
//   rows:    out[r][x] = (sum_k m[r][k] * T[x][k] + 2^16) >> 17
// Shifts are arithmetic (rounding halves upwards); clamp16 clamps to
// -32768..32767, which only coefficients no encoder writes reach. n = 1 is
// the DC alone:
//   out = (F[0][0] + 4) >> 3
// so 1/8 never reads the AC coefficients. Every output lies within 1 of the
// same sums in real arithmetic over the same table.
#include <math.h>

#include "decoder_state.h"

namespace {

struct ReducedTables {
  int32_t four[4][4];
  int32_t two[2][2];
};

void FillTable(int32_t* table, int n) {
  const long double pi = 3.141592653589793238462643383279502884L;
  for (int x = 0; x < n; ++x) {
    for (int k = 0; k < n; ++k) {
      long double value = cosl(static_cast<long double>((2 * x + 1) * k) * pi / (2.0L * n));
      if (k == 0) value /= sqrtl(2.0L);
      table[x * n + k] = static_cast<int32_t>(lroundl(value * 16384.0L));
    }
  }
}

ReducedTables MakeTables() {
  ReducedTables tables{};
  FillTable(&tables.four[0][0], 4);
  FillTable(&tables.two[0][0], 2);
  return tables;
}

const ReducedTables kTables = MakeTables();

int16_t Clamp16(int32_t v) { return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v)); }

// The rows of T mirror: T[n - 1 - x][k] = (-1)^k T[x][k] (the cosines do,
// and their rounding is symmetric), so each output pair is an even part
// plus or minus an odd part: the same sums as the table's rows, exactly.
// |F| <= 32768 and |T| <= 15137 keep each part below 2^30.
template <int shift, int32_t round>
void FourPoint(int32_t in0, int32_t in1, int32_t in2, int32_t in3, const int32_t (*t)[4], int32_t* out) {
  const int32_t even0 = in0 * t[0][0] + in2 * t[0][2];
  const int32_t even1 = in0 * t[1][0] + in2 * t[1][2];
  const int32_t odd0 = in1 * t[0][1] + in3 * t[0][3];
  const int32_t odd1 = in1 * t[1][1] + in3 * t[1][3];
  out[0] = (even0 + odd0 + round) >> shift;
  out[1] = (even1 + odd1 + round) >> shift;
  out[2] = (even1 - odd1 + round) >> shift;
  out[3] = (even0 - odd0 + round) >> shift;
}

void ReducedFour(const int16_t* block, int16_t* out, int outStride) {
  const int32_t (*table)[4] = kTables.four;
  // A block whose AC in the 4x4 corner is zero is flat: every sample is
  // the DC's, by the same sums (the DC column of T is one value).
  bool flat = true;
  for (int k = 0; k < 4 && flat; ++k)
    flat = (k == 0 || block[k] == 0) && block[8 + k] == 0 && block[16 + k] == 0 && block[24 + k] == 0;
  if (flat) {
    const int16_t m = Clamp16((block[0] * table[0][0] + (1 << 12)) >> 13);
    const auto value = static_cast<int16_t>((m * table[0][0] + (1 << 16)) >> 17);
    for (int r = 0; r < 4; ++r)
      for (int x = 0; x < 4; ++x) out[r * outStride + x] = value;
    return;
  }
  int16_t m[4][4];
  for (int c = 0; c < 4; ++c) {
    int32_t sums[4];
    FourPoint<13, (1 << 12)>(block[c], block[8 + c], block[16 + c], block[24 + c], table, sums);
    for (int i = 0; i < 4; ++i) m[i][c] = Clamp16(sums[i]);
  }
  for (int r = 0; r < 4; ++r) {
    int32_t sums[4];
    FourPoint<17, (1 << 16)>(m[r][0], m[r][1], m[r][2], m[r][3], table, sums);
    for (int x = 0; x < 4; ++x) out[r * outStride + x] = static_cast<int16_t>(sums[x]);
  }
}

void ReducedTwo(const int16_t* block, int16_t* out, int outStride) {
  const int32_t (*table)[2] = kTables.two;
  int16_t m[2][2];
  for (int c = 0; c < 2; ++c) {
    const int32_t even = block[c] * table[0][0];
    const int32_t odd = block[8 + c] * table[0][1];
    m[0][c] = Clamp16((even + odd + (1 << 12)) >> 13);
    m[1][c] = Clamp16((even - odd + (1 << 12)) >> 13);
  }
  for (int r = 0; r < 2; ++r) {
    const int32_t even = m[r][0] * table[0][0];
    const int32_t odd = m[r][1] * table[0][1];
    out[r * outStride] = static_cast<int16_t>((even + odd + (1 << 16)) >> 17);
    out[r * outStride + 1] = static_cast<int16_t>((even - odd + (1 << 16)) >> 17);
  }
}

}  // namespace

void ReducedInverseDct(const int16_t* block, int scaleShift, int16_t* out, int outStride) {
  switch (scaleShift) {
    case 1: ReducedFour(block, out, outStride); return;
    case 2: ReducedTwo(block, out, outStride); return;
    default: out[0] = static_cast<int16_t>((int32_t{block[0]} + 4) >> 3); return;
  }
}
