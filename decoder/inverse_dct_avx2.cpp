// InverseDct on AVX2 packed multiply-adds: the two passes of inverse_dct.cpp
// with all eight columns (then all eight rows) of a sum in one register.
// Chosen at run time on processors that have AVX2.
//
// Arithmetic as in inverse_dct_sse2.cpp: vpmaddwd forms a[k] * T[i][k] +
// a[k+1] * T[i][k+1] with the 32-bit wrap, vpaddd adds with it, vpsrad 16
// takes bits 16..31. Zero row pairs and zero column pairs are skipped, and a
// DC-only block gets its constant, for the same reasons.
//
// Layout. The block is held as four registers of two rows, [row 2j | row 2j+1].
// The first pass gives, per output row i, eight 32-bit sums over the columns.
// The second pass works on 32-bit lanes holding a pair of columns (c, c+1)
// of one row; for pair p, the lanes are rows 0, 2, 4, 6 | 1, 3, 5, 7, so that
// a dword interleave both brings the rows there and takes them back.
#include "decoder_state.h"

#if defined(ZENTRAFOLD_HAVE_AVX2)
#include <immintrin.h>

namespace {

// (T[i][2p], T[i][2p+1]) in every 32-bit lane, entry i * 4 + p. Built from
// the table the kernel is given, and rebuilt when it is given another one:
// the decoder has one cosine table, which never changes once built.
struct PairTable {
  const CosineTable* source;
  alignas(32) int32_t pairs[32][8];
};
PairTable gPairs;

const __m256i* Pairs(const CosineTable& table) {
  if (gPairs.source != &table) {
    for (int i = 0; i < 8; ++i) {
      for (int p = 0; p < 4; ++p) {
        const uint32_t pair = static_cast<uint16_t>(table[i * 8 + 2 * p]) |
                              static_cast<uint32_t>(static_cast<uint16_t>(table[i * 8 + 2 * p + 1])) << 16;
        for (int lane = 0; lane < 8; ++lane) gPairs.pairs[i * 4 + p][lane] = static_cast<int32_t>(pair);
      }
    }
    gPairs.source = &table;
  }
  return reinterpret_cast<const __m256i*>(gPairs.pairs);
}

// sums[i] = sum over p < kPairs of in[p] * pairs[i * 4 + p], then >> 16.
template <int kPairs>
__attribute__((target("avx2"))) inline void Sums(const __m256i* in, const __m256i* pairs, __m256i* sums) {
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    __m256i sum = _mm256_madd_epi16(in[0], pairs[i * 4]);
#pragma GCC unroll 4
    for (int p = 1; p < kPairs; ++p) sum = _mm256_add_epi32(sum, _mm256_madd_epi16(in[p], pairs[i * 4 + p]));
    sums[i] = _mm256_srai_epi32(sum, 16);
  }
}

__attribute__((target("avx2"))) inline void RunSums(int pairCount, const __m256i* in, const __m256i* pairs,
                                                    __m256i* sums) {
  switch (pairCount) {
    case 1: Sums<1>(in, pairs, sums); break;
    case 2: Sums<2>(in, pairs, sums); break;
    case 3: Sums<3>(in, pairs, sums); break;
    default: Sums<4>(in, pairs, sums); break;
  }
}

}  // namespace

__attribute__((target("avx2"))) void InverseDctAvx2(const CosineTable& table, int16_t* block) {
  __m256i rows[4];
  for (int j = 0; j < 4; ++j) rows[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 16 * j));

  int usedRowPairs = 0;
  for (int j = 0; j < 4; ++j) usedRowPairs |= !_mm256_testz_si256(rows[j], rows[j]) << j;
  if (usedRowPairs == 0) return;  // all zero: the output is zero as well
  const int rowPairs = 32 - __builtin_clz(static_cast<unsigned>(usedRowPairs));

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

  // Column pairs in use: the columns of all rows or'ed together.
  const __m256i any = _mm256_or_si256(_mm256_or_si256(rows[0], rows[1]), _mm256_or_si256(rows[2], rows[3]));
  const __m128i any128 = _mm_or_si128(_mm256_castsi256_si128(any), _mm256_extracti128_si256(any, 1));
  const int usedColumnBytes = ~_mm_movemask_epi8(_mm_cmpeq_epi32(any128, _mm_setzero_si128())) & 0xFFFF;
  const int columnPairs = (31 - __builtin_clz(static_cast<unsigned>(usedColumnBytes))) / 4 + 1;

  const __m256i* pairs = Pairs(table);

  // First pass. [row 2p | row 2p+1] -> (row 2p, row 2p+1) 16-bit pairs of
  // columns 0..3 | 4..7: qwords 0, 2 | 1, 3, then interleave within lanes.
  const __m256i interleave = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                                              0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  __m256i in[4];
  for (int p = 0; p < rowPairs; ++p) in[p] = _mm256_shuffle_epi8(_mm256_permute4x64_epi64(rows[p], 0xD8), interleave);
  __m256i sums[8];  // sums[i]: row i of the first pass, columns 0..3 | 4..7, 32-bit
  RunSums(rowPairs, in, pairs, sums);

  // To the second pass: rows as 16-bit values [row 2j | row 2j+1], then the
  // 32-bit column pairs gathered: lanes rows 0, 2, 4, 6 | 1, 3, 5, 7.
  __m256i local[4];
  for (int j = 0; j < 4; ++j)
    local[j] = _mm256_permute4x64_epi64(_mm256_packs_epi32(sums[2 * j], sums[2 * j + 1]), 0xD8);
  const __m256i a = _mm256_unpacklo_epi32(local[0], local[1]), b = _mm256_unpackhi_epi32(local[0], local[1]);
  const __m256i c = _mm256_unpacklo_epi32(local[2], local[3]), d = _mm256_unpackhi_epi32(local[2], local[3]);
  const __m256i columns[4] = {_mm256_unpacklo_epi64(a, c), _mm256_unpackhi_epi64(a, c),
                              _mm256_unpacklo_epi64(b, d), _mm256_unpackhi_epi64(b, d)};
  __m256i out[8];  // out[x]: output column x, lanes rows 0, 2, 4, 6 | 1, 3, 5, 7
  RunSums(columnPairs, columns, pairs, out);

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
