// ReducedInverseDct on AVX2: the sums of inverse_dct_reduced_sse2.cpp with
// all eight columns of the column pass in one register, and two rows of
// the row pass at a time. Products and sums are the same integers (pairs
// of 16-bit products added into 32-bit sums that cannot wrap, see there),
// so every output equals the scalar one. Chosen at run time on processors
// that have AVX2.
#include "decoder_state.h"

#if defined(ZENTRAFOLD_HAVE_AVX2)
#include <immintrin.h>
#include <string.h>

#include <atomic>

namespace {

struct Tables {
  __m256i pair[4][4];  // [x][p]: (B[x][2p], B[x][2p + 1]) in every 32-bit lane
  __m256i row[4];      // [x]: B[x][0..7], 16-bit, in both 128-bit lanes
  int32_t dc;          // B[x][0], the same for every x
};

__attribute__((target("avx2"))) Tables MakeTables(int n) {
  const int32_t* b = ReducedDctTable(n);
  Tables t;
  memset(&t, 0, sizeof t);
  t.dc = b[0];
  for (int x = 0; x < n; ++x) {
    for (int p = 0; p < 4; ++p)
      t.pair[x][p] = _mm256_set1_epi32(static_cast<int32_t>(
          static_cast<uint16_t>(b[x * 8 + 2 * p]) | static_cast<uint32_t>(static_cast<uint16_t>(b[x * 8 + 2 * p + 1])) << 16));
    alignas(32) int16_t row[16];
    for (int k = 0; k < 16; ++k) row[k] = static_cast<int16_t>(b[x * 8 + k % 8]);
    t.row[x] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row));
  }
  return t;
}

// Coefficient rows 2p and 2p + 1 as (F[2p][c], F[2p+1][c]) pairs, columns
// 0..3 in the low lane and 4..7 in the high one: the two rows' halves
// brought together by lane, then interleaved within each lane.
__attribute__((target("avx2"))) inline __m256i RowPair(const int16_t* block, int p) {
  const __m256i rows = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 16 * p));
  const __m256i halves = _mm256_permute4x64_epi64(rows, _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i interleave = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                                              0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  return _mm256_shuffle_epi8(halves, interleave);
}

// The column pass for outputs x and x + 1: m[x][c] = clamp16((sum_k F[k][c]
// B[x][k] + 2^12) >> 13) over the first `pairs` row pairs (the rest are 0),
// as [m[x] | m[x + 1]] (the saturating pack is the clamp).
template <int pairs>
__attribute__((target("avx2"), always_inline)) inline __m256i TwoColumnOutputs(const __m256i* v, const Tables& t,
                                                                                int x) {
  const __m256i round = _mm256_set1_epi32(1 << 12);
  __m256i a = round, b = round;
  for (int p = 0; p < pairs; ++p) {
    a = _mm256_add_epi32(a, _mm256_madd_epi16(v[p], t.pair[x][p]));
    b = _mm256_add_epi32(b, _mm256_madd_epi16(v[p], t.pair[x + 1][p]));
  }
  const __m256i packed = _mm256_packs_epi32(_mm256_srai_epi32(a, 13), _mm256_srai_epi32(b, 13));
  return _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
}

// The row pass of two rows [m[r] | m[r + 1]]: out[r][x] = (sum_k m[r][k]
// B[x][k] + 2^16) >> 17 for x < n, row r from `out`, row r + 1 a stride on.
template <int n>
__attribute__((target("avx2"), always_inline)) inline void TwoRowOutputs(__m256i m, const Tables& t, int16_t* out,
                                                                         int outStride) {
  __m256i sums;
  if (n == 4) {
    const __m256i h01 = _mm256_hadd_epi32(_mm256_madd_epi16(m, t.row[0]), _mm256_madd_epi16(m, t.row[1]));
    const __m256i h23 = _mm256_hadd_epi32(_mm256_madd_epi16(m, t.row[2]), _mm256_madd_epi16(m, t.row[3]));
    sums = _mm256_hadd_epi32(h01, h23);  // per lane: x = 0, 1, 2, 3
  } else {
    const __m256i h01 = _mm256_hadd_epi32(_mm256_madd_epi16(m, t.row[0]), _mm256_madd_epi16(m, t.row[1]));
    sums = _mm256_hadd_epi32(h01, h01);  // per lane: x = 0, 1, 0, 1
  }
  const __m256i values = _mm256_srai_epi32(_mm256_add_epi32(sums, _mm256_set1_epi32(1 << 16)), 17);
  const __m256i packed = _mm256_packs_epi32(values, values);
  const __m128i first = _mm256_castsi256_si128(packed), second = _mm256_extracti128_si256(packed, 1);
  if (n == 4) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), first);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + outStride), second);
  } else {
    const int32_t a = _mm_cvtsi128_si32(first), b = _mm_cvtsi128_si32(second);
    memcpy(out, &a, sizeof a);
    memcpy(out + outStride, &b, sizeof b);
  }
}

template <int n>
__attribute__((target("avx2"), always_inline)) inline void Reduced(const int16_t* block, const Tables& t, int16_t* out,
                                                                   int outStride) {
  const __m256i high = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32)),
                                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 48)));
  const __m256i acMask = _mm256_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i low = _mm256_or_si256(
      _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(block)), acMask),
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 16)));
  // Rows 4..7 all 0 (the usual case): their products add nothing.
  const bool highZero = _mm256_testz_si256(high, high) != 0;
  if (highZero && _mm256_testz_si256(low, low) != 0) {
    // A flat block: the DC's one value, by the scalar flat-block sums.
    const int32_t sum = (block[0] * t.dc + (1 << 12)) >> 13;
    const int32_t m = sum < -32768 ? -32768 : (sum > 32767 ? 32767 : sum);
    const auto value = static_cast<int16_t>((m * t.dc + (1 << 16)) >> 17);
    for (int r = 0; r < n; ++r)
      for (int x = 0; x < n; ++x) out[r * outStride + x] = value;
    return;
  }
  __m256i v[4];
  for (int p = 0; p < 4; ++p) v[p] = RowPair(block, p);
  __m256i m01, m23;
  if (highZero) {
    m01 = TwoColumnOutputs<2>(v, t, 0);
    if (n == 4) m23 = TwoColumnOutputs<2>(v, t, 2);
  } else {
    m01 = TwoColumnOutputs<4>(v, t, 0);
    if (n == 4) m23 = TwoColumnOutputs<4>(v, t, 2);
  }
  TwoRowOutputs<n>(m01, t, out, outStride);
  if (n == 4) TwoRowOutputs<n>(m23, t, out + 2 * outStride, outStride);
}

// Made on first use, as in inverse_dct_reduced_sse2.cpp: without guarded
// statics; a thread that finds them being made uses its own meanwhile.
Tables gTables[2];
std::atomic<int> gTablesState{0};  // 0: not made, 1: being made, 2: made

// The slow way in: the tables made here, or copied while another thread
// makes them.
__attribute__((noinline, target("avx2"))) void ReduceMakingTables(const int16_t* block, int n, int16_t* out,
                                                                  int outStride) {
  Tables local;
  const Tables* t = &local;
  int expected = 0;
  if (gTablesState.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    gTables[0] = MakeTables(4);
    gTables[1] = MakeTables(2);
    gTablesState.store(2, std::memory_order_release);
    t = &gTables[n == 4 ? 0 : 1];
  } else {
    local = MakeTables(n);
  }
  if (n == 4) {
    Reduced<4>(block, *t, out, outStride);
  } else {
    Reduced<2>(block, *t, out, outStride);
  }
}

}  // namespace

__attribute__((target("avx2"))) void ReducedInverseDctAvx2(const int16_t* block, int scaleShift, int16_t* out,
                                                           int outStride) {
  if (scaleShift == 3) {
    out[0] = static_cast<int16_t>((int32_t{block[0]} + 4) >> 3);
    return;
  }
  const int n = scaleShift == 1 ? 4 : 2;
  if (__builtin_expect(gTablesState.load(std::memory_order_acquire) != 2, 0)) {
    ReduceMakingTables(block, n, out, outStride);
    return;
  }
  if (n == 4) {
    Reduced<4>(block, gTables[0], out, outStride);
  } else {
    Reduced<2>(block, gTables[1], out, outStride);
  }
}

#endif
