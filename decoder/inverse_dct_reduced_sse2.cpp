// ReducedInverseDct on SSE2: the same sums (see inverse_dct_reduced.cpp),
// eight columns at a time in the column pass and four outputs at a time in
// the row pass, by packed multiply-adds of 16-bit values into 32-bit sums.
// No sum can wrap: each multiply-add pairs two products of at most
// 32768 * 14846, and a row of the table sums to less than 2^16 in absolute
// value, so every partial sum stays below 2^31 as the scalar one does, and
// the integer sums are the same in any order.
#include "decoder_state.h"

#if defined(ZENTRAFOLD_HAVE_SSE2)
#include <emmintrin.h>

#include <atomic>

namespace {

// (B[x][2p], B[x][2p + 1]) in every 32-bit lane, p = 0..3.
struct PairTable {
  __m128i pair[4][4];  // [x][p]
  __m128i row[4];      // B[x][0..7] as eight 16-bit values
  int32_t dc;          // B[x][0], the same for every x
};

PairTable MakePairs(int n) {
  const int32_t* b = ReducedDctTable(n);
  PairTable t{};
  t.dc = b[0];
  for (int x = 0; x < n; ++x) {
    for (int p = 0; p < 4; ++p)
      t.pair[x][p] = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(b[x * 8 + 2 * p]) |
                                                         static_cast<uint32_t>(static_cast<uint16_t>(b[x * 8 + 2 * p + 1])) << 16));
    t.row[x] = _mm_setr_epi16(static_cast<int16_t>(b[x * 8]), static_cast<int16_t>(b[x * 8 + 1]),
                              static_cast<int16_t>(b[x * 8 + 2]), static_cast<int16_t>(b[x * 8 + 3]),
                              static_cast<int16_t>(b[x * 8 + 4]), static_cast<int16_t>(b[x * 8 + 5]),
                              static_cast<int16_t>(b[x * 8 + 6]), static_cast<int16_t>(b[x * 8 + 7]));
  }
  return t;
}

// Four vectors of four 32-bit values to the vector of their four sums.
inline __m128i HorizontalSums(__m128i a, __m128i b, __m128i c, __m128i d) {
  const __m128i ab = _mm_add_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b));  // a0+a2 b0+b2 a1+a3 b1+b3
  const __m128i cd = _mm_add_epi32(_mm_unpacklo_epi32(c, d), _mm_unpackhi_epi32(c, d));
  return _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd));
}

// The column pass over coefficient rows 0 .. 2 * pairs - 1. Scalar:
//   for c in 0..7, i < n: m[i][c] = clamp16((sum_k F[k][c] * B[i][k] + 2^12) >> 13)
// Rows k and k + 1 interleaved give (F[k][c], F[k+1][c]) pairs, columns
// 0..3 in `low`, 4..7 in `high`.
template <int n, int pairs>
inline __attribute__((always_inline)) void ColumnPass(const int16_t* block, const PairTable& t, __m128i* m) {
  __m128i low[pairs], high[pairs];
  for (int p = 0; p < pairs; ++p) {
    const __m128i even = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * p));
    const __m128i odd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * p + 8));
    low[p] = _mm_unpacklo_epi16(even, odd);
    high[p] = _mm_unpackhi_epi16(even, odd);
  }
  const __m128i round1 = _mm_set1_epi32(1 << 12);
  for (int i = 0; i < n; ++i) {
    __m128i sumLow = round1, sumHigh = round1;
    for (int p = 0; p < pairs; ++p) {
      sumLow = _mm_add_epi32(sumLow, _mm_madd_epi16(low[p], t.pair[i][p]));
      sumHigh = _mm_add_epi32(sumHigh, _mm_madd_epi16(high[p], t.pair[i][p]));
    }
    // The saturating pack is the clamp to 16 bits.
    m[i] = _mm_packs_epi32(_mm_srai_epi32(sumLow, 13), _mm_srai_epi32(sumHigh, 13));
  }
}

template <int n>
inline __attribute__((always_inline)) void Reduced(const int16_t* block, const PairTable& t, int16_t* out,
                                                   int outStride) {
  // A block whose AC coefficients are all 0 gives the DC's one value, by the
  // sums the scalar flat-block path takes (the same as the full sums).
  const __m128i* rows = reinterpret_cast<const __m128i*>(block);
  __m128i any = _mm_and_si128(_mm_loadu_si128(rows), _mm_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1));
  for (int r = 1; r < 4; ++r) any = _mm_or_si128(any, _mm_loadu_si128(rows + r));
  __m128i anyLow = _mm_loadu_si128(rows + 4);
  for (int r = 5; r < 8; ++r) anyLow = _mm_or_si128(anyLow, _mm_loadu_si128(rows + r));
  // Rows 4..7 all 0 (the usual case): their products add nothing.
  const bool lowZero = _mm_movemask_epi8(_mm_cmpeq_epi16(anyLow, _mm_setzero_si128())) == 0xFFFF;
  if (lowZero && _mm_movemask_epi8(_mm_cmpeq_epi16(any, _mm_setzero_si128())) == 0xFFFF) {
    const int32_t b00 = t.dc;
    const int32_t sum = (block[0] * b00 + (1 << 12)) >> 13;
    const int32_t m = sum < -32768 ? -32768 : (sum > 32767 ? 32767 : sum);
    const auto value = static_cast<int16_t>((m * b00 + (1 << 16)) >> 17);
    for (int r = 0; r < n; ++r)
      for (int x = 0; x < n; ++x) out[r * outStride + x] = value;
    return;
  }
  // Column pass (rows 4..7 left out where they are 0).
  __m128i m[n];
  if (lowZero) {
    ColumnPass<n, 2>(block, t, m);
  } else {
    ColumnPass<n, 4>(block, t, m);
  }
  // Row pass. Scalar:
  //   for r < n, x < n: out[r][x] = (sum_k m[r][k] * B[x][k] + 2^16) >> 17
  const __m128i round2 = _mm_set1_epi32(1 << 16);
  for (int r = 0; r < n; ++r) {
    if (n == 4) {
      const __m128i sums = HorizontalSums(_mm_madd_epi16(m[r], t.row[0]), _mm_madd_epi16(m[r], t.row[1]),
                                          _mm_madd_epi16(m[r], t.row[2]), _mm_madd_epi16(m[r], t.row[3]));
      const __m128i values = _mm_srai_epi32(_mm_add_epi32(sums, round2), 17);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + r * outStride), _mm_packs_epi32(values, values));
    } else {
      const __m128i zero = _mm_setzero_si128();
      const __m128i sums = HorizontalSums(_mm_madd_epi16(m[r], t.row[0]), _mm_madd_epi16(m[r], t.row[1]), zero, zero);
      const __m128i values = _mm_srai_epi32(_mm_add_epi32(sums, round2), 17);
      const __m128i packed = _mm_packs_epi32(values, values);
      out[r * outStride] = static_cast<int16_t>(_mm_extract_epi16(packed, 0));
      out[r * outStride + 1] = static_cast<int16_t>(_mm_extract_epi16(packed, 1));
    }
  }
}

}  // namespace

namespace {

// The tables, made on first use without the C++ runtime's guarded statics
// (C programs link the library without it): the first thread to claim them
// builds and publishes them; a thread that finds them being built uses a
// copy of its own meanwhile.
PairTable gPairs[2];
std::atomic<int> gPairsState{0};  // 0: not made, 1: being made, 2: made

// The slow way in: the tables made here, or copied while another thread
// makes them.
__attribute__((noinline)) void ReduceMakingPairs(const int16_t* block, int n, int16_t* out, int outStride) {
  PairTable local;
  const PairTable* t = &local;
  int expected = 0;
  if (gPairsState.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    gPairs[0] = MakePairs(4);
    gPairs[1] = MakePairs(2);
    gPairsState.store(2, std::memory_order_release);
    t = &gPairs[n == 4 ? 0 : 1];
  } else {
    local = MakePairs(n);
  }
  if (n == 4) {
    Reduced<4>(block, *t, out, outStride);
  } else {
    Reduced<2>(block, *t, out, outStride);
  }
}

}  // namespace

void ReducedInverseDctSse2(const int16_t* block, int scaleShift, int16_t* out, int outStride) {
  if (scaleShift == 3) {
    out[0] = static_cast<int16_t>((int32_t{block[0]} + 4) >> 3);
    return;
  }
  const int n = scaleShift == 1 ? 4 : 2;
  if (__builtin_expect(gPairsState.load(std::memory_order_acquire) != 2, 0)) {
    ReduceMakingPairs(block, n, out, outStride);
    return;
  }
  if (n == 4) {
    Reduced<4>(block, gPairs[0], out, outStride);
  } else {
    Reduced<2>(block, gPairs[1], out, outStride);
  }
}

#endif
