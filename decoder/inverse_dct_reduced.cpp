// The reduced inverse DCTs of scaled decoding: an 8x8 block of coefficients
// gives n x n samples (n = 4, 2 or 1), each the mean of an s x s square
// (s = 8 / n) of the block's inverse DCT, computed from the coefficients
// directly: averaging commutes with the transform, so in one dimension
//   out(x) = sum over k of F(k) * B[x][k],
//   B[x][k] = C(k) / 2 * (1/s) * sum over j < s of cos((2 (s x + j) + 1) k pi / 16),
// C(0) = 1/sqrt(2), else 1; the block is that over columns, then over rows.
// Every frequency counts (as a box filter of the full picture would have it),
// not only the lowest n: detail above the reduced size is averaged, not
// folded back. For s = 8 every B[0][k] but k = 0 is 0: 1/8 is the DC alone.
//
// Fixed point: the table is round(16384 * C(k) * mean_j cos(...)) (14 bits:
// a row's absolute sum is below 2^16, so every sum below fits in 32 bits).
//   columns: m[i][c] = clamp16((sum_k F[k][c] * B[i][k] + 2^12) >> 13)   (2 fraction bits kept)
//   rows:    out[r][x] = (sum_k m[r][k] * B[x][k] + 2^16) >> 17
// Shifts are arithmetic (rounding halves upwards); clamp16 clamps to
// -32768..32767, which coefficients of 8-bit samples never reach. n = 1:
//   out = (F[0][0] + 4) >> 3
// so 1/8 never reads the AC coefficients. Every output lies within 1 of the
// same sums in real arithmetic over the same table.
#include <math.h>

#include "decoder_state.h"

namespace {

struct ReducedTables {
  int32_t four[4][8];
  int32_t two[2][8];
};

void FillTable(int32_t* table, int n) {
  const long double pi = 3.141592653589793238462643383279502884L;
  const int s = 8 / n;
  for (int x = 0; x < n; ++x) {
    for (int k = 0; k < 8; ++k) {
      long double sum = 0;
      for (int j = 0; j < s; ++j) sum += cosl(static_cast<long double>((2 * (s * x + j) + 1) * k) * pi / 16.0L);
      long double value = sum / s;
      if (k == 0) value /= sqrtl(2.0L);
      table[x * 8 + k] = static_cast<int32_t>(lroundl(value * 16384.0L));
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

}  // namespace

const int32_t* ReducedDctTable(int n) { return n == 4 ? &kTables.four[0][0] : &kTables.two[0][0]; }

namespace {

int16_t Clamp16(int32_t v) { return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v)); }

// One dimension of n outputs from 8 inputs a stride apart. The table's rows
// mirror, B[n - 1 - x][k] = (-1)^k B[x][k] (the cosines do, and their
// rounding is symmetric), so outputs x and n - 1 - x are an even part
// (even k) plus and minus an odd part (odd k): the table's own sums,
// exactly. For n = 4 the column k = 4 is 0, for n = 2 every even k but 0.
template <int n, int shift>
inline void Reduce(const int16_t* in, int stride, const int32_t (*b)[8], int32_t* out) {
  constexpr int32_t round = 1 << (shift - 1);
  const int32_t f0 = in[0], f1 = in[stride], f2 = in[2 * stride], f3 = in[3 * stride];
  const int32_t f5 = in[5 * stride], f6 = in[6 * stride], f7 = in[7 * stride];
  for (int x = 0; x < n / 2; ++x) {
    const int32_t even = n == 4 ? f0 * b[x][0] + f2 * b[x][2] + f6 * b[x][6] : f0 * b[x][0];
    const int32_t odd = f1 * b[x][1] + f3 * b[x][3] + f5 * b[x][5] + f7 * b[x][7];
    out[x] = (even + odd + round) >> shift;
    out[n - 1 - x] = (even - odd + round) >> shift;
  }
}

template <int n>
void ReducedBlock(const int16_t* block, const int32_t (*table)[8], int16_t* out, int outStride) {
  // Columns whose coefficients are all 0 (most, in photographs) give 0.
  int16_t m[n][8] = {};
  bool acZero = true;
  for (int c = 0; c < 8; ++c) {
    const int16_t* column = block + c;
    bool zero = true;
    for (int k = c == 0 ? 1 : 0; k < 8; ++k) zero = zero && column[k * 8] == 0;
    if (zero && c != 0) continue;
    acZero = acZero && zero;
    int32_t sums[n];
    Reduce<n, 13>(column, 8, table, sums);
    for (int i = 0; i < n; ++i) m[i][c] = Clamp16(sums[i]);
  }
  if (acZero) {
    // A flat block: every row of m is its DC term alone, so every output is.
    int32_t sums[n];
    Reduce<n, 17>(m[0], 1, table, sums);
    for (int r = 0; r < n; ++r)
      for (int x = 0; x < n; ++x) out[r * outStride + x] = static_cast<int16_t>(sums[0]);
    return;
  }
  for (int r = 0; r < n; ++r) {
    int32_t sums[n];
    Reduce<n, 17>(m[r], 1, table, sums);
    for (int x = 0; x < n; ++x) out[r * outStride + x] = static_cast<int16_t>(sums[x]);
  }
}

}  // namespace

void ReducedInverseDct(const int16_t* block, int scaleShift, int16_t* out, int outStride) {
  switch (scaleShift) {
    case 1: ReducedBlock<4>(block, kTables.four, out, outStride); return;
    case 2: ReducedBlock<2>(block, kTables.two, out, outStride); return;
    default: out[0] = static_cast<int16_t>((int32_t{block[0]} + 4) >> 3); return;
  }
}
