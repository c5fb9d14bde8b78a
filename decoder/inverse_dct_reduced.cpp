// The reduced inverse DCTs of scaled decoding: an 8x8 block of coefficients
// gives n x n samples (n = 4, 2 or 1), the n-point inverse DCT of its n x n
// lowest frequencies with the 8-point transform's scale, so a block's mean
// is kept. In one dimension, for output x < n:
//   s(x) = sum over k < n of F(k) * C(k) / 2 * cos((2x + 1) k pi / 2n),  C(0) = 1/sqrt(2), else 1
// and the block is that over columns, then over rows.
//
// Fixed point: T[x][k] = round(32768 * C(k) * cos((2x + 1) k pi / 2n)),
// computed once (16-bit, like the 8-point table).
//   columns: m[i][c] = (sum_k F[k][c] * T[i][k] + 2^12) >> 13   (3 fraction bits kept)
//   rows:    out[r][x] = (sum_k m[r][k] * T[x][k] + 2^18) >> 19
// Sums in 64 bits (no wrap), shifts arithmetic (rounding halves upwards),
// the result clamped to -32768..32767. n = 1 is the DC alone:
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
      table[x * n + k] = static_cast<int32_t>(lroundl(value * 32768.0L));
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

int16_t ClampToInt16(int64_t v) {
  return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

template <int n>
void Reduced(int16_t* block, const int32_t (*table)[n]) {
  int64_t m[n][n];
  for (int c = 0; c < n; ++c) {
    for (int i = 0; i < n; ++i) {
      int64_t sum = 0;
      for (int k = 0; k < n; ++k) sum += int64_t{block[k * 8 + c]} * table[i][k];
      m[i][c] = (sum + (int64_t{1} << 12)) >> 13;
    }
  }
  for (int r = 0; r < n; ++r) {
    for (int x = 0; x < n; ++x) {
      int64_t sum = 0;
      for (int k = 0; k < n; ++k) sum += m[r][k] * table[x][k];
      block[r * 8 + x] = ClampToInt16((sum + (int64_t{1} << 18)) >> 19);
    }
  }
}

}  // namespace

void ReducedInverseDct(int16_t* block, int scaleShift) {
  switch (scaleShift) {
    case 1: Reduced<4>(block, kTables.four); return;
    case 2: Reduced<2>(block, kTables.two); return;
    default: block[0] = static_cast<int16_t>((int32_t{block[0]} + 4) >> 3); return;
  }
}
