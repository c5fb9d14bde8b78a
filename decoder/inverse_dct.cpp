// The inverse DCT as a plain matrix product in 16-bit fixed point: one pass
// over the columns, one over the rows, each output the scaled dot product of
// eight coefficients with a row of the cosine table.
#include <math.h>

#include "decoder_state.h"

void BuildCosineTable(CosineTable& table) {
  // T[x][k] = round(32768 * C(k) * cos((2x + 1) k pi / 16)), C(0) = 1/sqrt(2).
  // No entry lies near a rounding tie.
  const long double pi = 3.141592653589793238462643383279502884L;
  for (int x = 0; x < 8; ++x) {
    for (int k = 0; k < 8; ++k) {
      long double value = cosl(static_cast<long double>((2 * x + 1) * k) * pi / 16.0L);
      if (k == 0) value /= sqrtl(2.0L);
      table[x * 8 + k] = static_cast<int16_t>(lroundl(value * 32768.0L));
    }
  }
}

namespace {

// Bits 16..31 of the 32-bit sum of a[i] * t[i], every addition wrapping at
// 32 bits (so the grouping of the additions does not matter): for sums that
// fit, the floor of the sum / 65536. Each pass thus multiplies by half the
// orthonormal 1-D transform and truncates towards minus infinity.
int16_t ScaledDot(const int16_t* a, int stride, const int16_t* t) {
  uint32_t sum = 0;
  for (int i = 0; i < 8; ++i)
    sum += static_cast<uint32_t>(static_cast<int32_t>(a[i * stride]) * t[i]);
  return static_cast<int16_t>(static_cast<uint16_t>(sum >> 16));
}

}  // namespace

void InverseDct(const CosineTable& table, int16_t* block) {
  int16_t columns[64];
  for (int c = 0; c < 8; ++c)
    for (int i = 0; i < 8; ++i) columns[i * 8 + c] = ScaledDot(block + c, 8, table + i * 8);
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 8; ++x) block[r * 8 + x] = ScaledDot(columns + r * 8, 1, table + x * 8);
}
