// InverseDct on AVX2 packed multiply-adds: the two passes of inverse_dct.cpp
// with all eight columns (then all eight rows) of a sum in one register.
// Chosen at run time on processors that have AVX2.
//
// Arithmetic as in inverse_dct_sse2.cpp: vpmaddwd forms a[k] * T[i][k] +
// a[k'] * T[i][k'] with the 32-bit wrap, vpaddd and vpsubd add and subtract
// with it, vpsrad 16 takes bits 16..31. Each sum is split into its even and
// odd halves (see Sums), which gives two outputs for one set of products.
// When rows 4..7 (or columns 4..7) are zero their products are skipped, and
// a DC-only block gets its constant.
//
// Layout. The block is held as four registers of two rows, [row 2j | row 2j+1].
// The first pass gives, per output row i, eight 32-bit sums over the columns.
// The second pass works on 32-bit lanes holding a pair of columns (c, c+2)
// of one row; for each pair the lanes are rows 0, 2, 4, 6 | 1, 3, 5, 7, so
// that a dword interleave both brings the rows there and takes them back.
#include "decoder_state.h"

#if defined(ZENTRAFOLD_HAVE_AVX2)
#include <immintrin.h>

namespace {

// The cosine table is even or odd about its middle: T[7 - x][k] is T[x][k]
// for even k and -T[x][k] for odd k. So each sum is an even part E (over
// k = 0, 2, 4, 6) and an odd part O (k = 1, 3, 5, 7), and output x is
// E + O while output 7 - x is E - O: with every addition wrapping at 32 bits
// these are exactly the sums of the plain product, at half the multiplies.
//
// The coefficients go into the multiply-adds in pairs of the same parity,
// "units" (0, 2), (4, 6), (1, 3), (5, 7). Entry x * 4 + u holds
// (T[x][k], T[x][k + 2]) for unit u = (k, k + 2), x = 0..3, in every 32-bit
// lane. Built from the table the kernel is given, and rebuilt when it is
// given another one: a decoder state's cosine table never changes once
// built. One cache per thread, so that decoders running on their own states
// in several threads neither race on it nor keep rebuilding it.
constexpr int kUnitFirst[4] = {0, 4, 1, 5};
struct PairTable {
  const CosineTable* source;
  alignas(32) int32_t pairs[16][8];
};
thread_local PairTable gPairs;

const __m256i* Pairs(const CosineTable& table) {
  if (gPairs.source != &table) {
    for (int x = 0; x < 4; ++x) {
      for (int u = 0; u < 4; ++u) {
        const int k = kUnitFirst[u];
        const uint32_t pair = static_cast<uint16_t>(table[x * 8 + k]) |
                              static_cast<uint32_t>(static_cast<uint16_t>(table[x * 8 + k + 2])) << 16;
        for (int lane = 0; lane < 8; ++lane) gPairs.pairs[x * 4 + u][lane] = static_cast<int32_t>(pair);
      }
    }
    gPairs.source = &table;
  }
  return reinterpret_cast<const __m256i*>(gPairs.pairs);
}

// sums[x] = the sum over the units in[0..3] (in the order above) for output
// x, then >> 16. kHalf: the units (4, 6) and (5, 7) are zero and skipped.
template <bool kHalf>
__attribute__((target("avx2"))) inline void Sums(const __m256i* in, const __m256i* pairs, __m256i* sums) {
#pragma GCC unroll 4
  for (int x = 0; x < 4; ++x) {
    __m256i even = _mm256_madd_epi16(in[0], pairs[x * 4 + 0]);
    __m256i odd = _mm256_madd_epi16(in[2], pairs[x * 4 + 2]);
    if (!kHalf) {
      even = _mm256_add_epi32(even, _mm256_madd_epi16(in[1], pairs[x * 4 + 1]));
      odd = _mm256_add_epi32(odd, _mm256_madd_epi16(in[3], pairs[x * 4 + 3]));
    }
    sums[x] = _mm256_srai_epi32(_mm256_add_epi32(even, odd), 16);
    sums[7 - x] = _mm256_srai_epi32(_mm256_sub_epi32(even, odd), 16);
  }
}

__attribute__((target("avx2"))) inline void RunSums(bool half, const __m256i* in, const __m256i* pairs,
                                                    __m256i* sums) {
  if (half) {
    Sums<true>(in, pairs, sums);
  } else {
    Sums<false>(in, pairs, sums);
  }
}

}  // namespace

__attribute__((target("avx2"))) void InverseDctAvx2(const CosineTable& table, int16_t* block) {
  __m256i rows[4];
  for (int j = 0; j < 4; ++j) rows[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 16 * j));

  int usedRowPairs = 0;
  for (int j = 0; j < 4; ++j) usedRowPairs |= !_mm256_testz_si256(rows[j], rows[j]) << j;
  if (usedRowPairs == 0) return;  // all zero: the output is zero as well

  // DC only: nothing else in rows 0 and 1, and nothing in the other rows.
  const __m256i notDc = _mm256_set_epi16(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0);
  const __m256i rest = _mm256_or_si256(_mm256_and_si256(rows[0], notDc),
                                       _mm256_or_si256(rows[1], _mm256_or_si256(rows[2], rows[3])));
  if (_mm256_testz_si256(rest, rest)) {
    const int32_t t0 = table[0];  // every T[x][0] is 23170
    const int32_t first = (static_cast<int32_t>(block[0]) * t0) >> 16;
    const __m256i fill = _mm256_set1_epi16(static_cast<int16_t>((first * t0) >> 16));
    for (int j = 0; j < 4; ++j) _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 16 * j), fill);
    return;
  }

  // Rows 4..7 zero: the first pass needs the units (0, 2) and (1, 3) only.
  const bool rowsHalf = (usedRowPairs & 0xC) == 0;
  // Columns 4..7 zero (in every row, so in the first pass's output too):
  // the same for the second pass.
  const __m256i any = _mm256_or_si256(_mm256_or_si256(rows[0], rows[1]), _mm256_or_si256(rows[2], rows[3]));
  const __m128i any128 = _mm_or_si128(_mm256_castsi256_si128(any), _mm256_extracti128_si256(any, 1));
  const bool columnsHalf = _mm_testz_si128(any128, _mm_set_epi64x(-1, 0));

  const __m256i* pairs = Pairs(table);

  // First pass. Rows (k, k + 2) interleaved, columns 0..3 | 4..7: from
  // [row k | row k + 1] and [row k + 2 | row k + 3], the unpacks give
  // [(k, k + 2) | (k + 1, k + 3)] for columns 0..3 and for 4..7.
  __m256i in[4];  // units (0, 2), (4, 6), (1, 3), (5, 7)
  for (int h = 0; h < (rowsHalf ? 1 : 2); ++h) {
    const __m256i lo = _mm256_unpacklo_epi16(rows[2 * h], rows[2 * h + 1]);
    const __m256i hi = _mm256_unpackhi_epi16(rows[2 * h], rows[2 * h + 1]);
    in[h] = _mm256_permute2x128_si256(lo, hi, 0x20);
    in[2 + h] = _mm256_permute2x128_si256(lo, hi, 0x31);
  }
  __m256i sums[8];  // sums[i]: row i of the first pass, columns 0..3 | 4..7, 32-bit
  RunSums(rowsHalf, in, pairs, sums);

  // To the second pass: rows as 16-bit values [row 2j | row 2j+1], their
  // columns reordered 0, 2, 4, 6, 1, 3, 5, 7 so that each 32-bit unit is a
  // pair of the same parity, then the units gathered: lanes rows
  // 0, 2, 4, 6 | 1, 3, 5, 7.
  const __m256i byParity = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15,  //
                                            0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
  __m256i local[4];
  for (int j = 0; j < 4; ++j)
    local[j] = _mm256_shuffle_epi8(_mm256_permute4x64_epi64(_mm256_packs_epi32(sums[2 * j], sums[2 * j + 1]), 0xD8),
                                   byParity);
  const __m256i a = _mm256_unpacklo_epi32(local[0], local[1]), b = _mm256_unpackhi_epi32(local[0], local[1]);
  const __m256i c = _mm256_unpacklo_epi32(local[2], local[3]), d = _mm256_unpackhi_epi32(local[2], local[3]);
  // Unit u of the reordered row sits in 32-bit position u: (0, 2), (4, 6),
  // (1, 3), (5, 7).
  const __m256i columns[4] = {_mm256_unpacklo_epi64(a, c), _mm256_unpackhi_epi64(a, c),
                              _mm256_unpacklo_epi64(b, d), _mm256_unpackhi_epi64(b, d)};
  __m256i out[8];  // out[x]: output column x, lanes rows 0, 2, 4, 6 | 1, 3, 5, 7
  RunSums(columnsHalf, columns, pairs, out);

  // Back: columns x, x+1 into 32-bit lanes, then the same interleave the
  // other way gives [row 2j | row 2j+1].
  __m256i pair[4];
  for (int q = 0; q < 4; ++q)
    pair[q] = _mm256_blend_epi16(out[2 * q], _mm256_slli_epi32(out[2 * q + 1], 16), 0xAA);
  const __m256i lo01 = _mm256_unpacklo_epi32(pair[0], pair[1]), lo23 = _mm256_unpacklo_epi32(pair[2], pair[3]);
  const __m256i hi01 = _mm256_unpackhi_epi32(pair[0], pair[1]), hi23 = _mm256_unpackhi_epi32(pair[2], pair[3]);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(block), _mm256_unpacklo_epi64(lo01, lo23));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 16), _mm256_unpackhi_epi64(lo01, lo23));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 32), _mm256_unpacklo_epi64(hi01, hi23));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 48), _mm256_unpackhi_epi64(hi01, hi23));
}

#endif
