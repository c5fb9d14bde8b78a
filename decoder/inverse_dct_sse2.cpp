// InverseDct on SSE2 packed multiply-adds (pmaddwd): the same two passes of
// scaled dot products, eight columns (then eight rows) at once.
//
// Each pass is out[i][c] = bits 16..31 of sum_k in[k][c] * T[i][k], the sum
// wrapping at 32 bits. pmaddwd forms in[k][c] * T[i][k] + in[k+1][c] *
// T[i][k+1] with exactly that wrap, paddd adds with it, psrad 16 takes bits
// 16..31 and packssdw then only narrows values that already fit 16 bits.
//
// Work that changes nothing is skipped: a pair of input rows that is all
// zero adds nothing to any sum, so the first pass runs over the pairs up to
// the last non-zero row; an all-zero input column gives an all-zero column
// after the first pass, so the second runs over the pairs up to the last
// non-zero column. A block with only its DC coefficient gives the constant
// P(P(dc)), P(a) = (a * T[x][0]) >> 16 in each pass, where every T[x][0] is
// the same 23170 (C(0) = 1/sqrt(2)).
#include "decoder_state.h"

#if defined(ZENTRAFOLD_HAVE_SSE2)
#include <emmintrin.h>

namespace {

// in[0..7] rows of 8 int16; pairs[i * 4 + p] = (T[i][2p], T[i][2p+1]) in every
// 32-bit lane. out[i] = row i of the pass.
template <int kPairs>
inline void Pass(const __m128i* in, const __m128i* pairs, __m128i* out) {
  __m128i lo[kPairs], hi[kPairs];
#pragma GCC unroll 4
  for (int p = 0; p < kPairs; ++p) {
    lo[p] = _mm_unpacklo_epi16(in[2 * p], in[2 * p + 1]);
    hi[p] = _mm_unpackhi_epi16(in[2 * p], in[2 * p + 1]);
  }
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    // uint32_t sum = 0; for (k) sum += in[k][c] * T[i][k];  (per column c)
    __m128i sumLo = _mm_madd_epi16(lo[0], pairs[i * 4]);
    __m128i sumHi = _mm_madd_epi16(hi[0], pairs[i * 4]);
#pragma GCC unroll 4
    for (int p = 1; p < kPairs; ++p) {
      sumLo = _mm_add_epi32(sumLo, _mm_madd_epi16(lo[p], pairs[i * 4 + p]));
      sumHi = _mm_add_epi32(sumHi, _mm_madd_epi16(hi[p], pairs[i * 4 + p]));
    }
    // out = (int16_t)(sum >> 16)
    out[i] = _mm_packs_epi32(_mm_srai_epi32(sumLo, 16), _mm_srai_epi32(sumHi, 16));
  }
}

inline void RunPass(int pairs, const __m128i* in, const __m128i* table, __m128i* out) {
  switch (pairs) {
    case 1: Pass<1>(in, table, out); break;
    case 2: Pass<2>(in, table, out); break;
    case 3: Pass<3>(in, table, out); break;
    default: Pass<4>(in, table, out); break;
  }
}

// 8 x 8 int16 transpose.
inline void Transpose(const __m128i* in, __m128i* out) {
  const __m128i a0 = _mm_unpacklo_epi16(in[0], in[1]), a1 = _mm_unpackhi_epi16(in[0], in[1]);
  const __m128i a2 = _mm_unpacklo_epi16(in[2], in[3]), a3 = _mm_unpackhi_epi16(in[2], in[3]);
  const __m128i a4 = _mm_unpacklo_epi16(in[4], in[5]), a5 = _mm_unpackhi_epi16(in[4], in[5]);
  const __m128i a6 = _mm_unpacklo_epi16(in[6], in[7]), a7 = _mm_unpackhi_epi16(in[6], in[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  out[0] = _mm_unpacklo_epi64(b0, b4);
  out[1] = _mm_unpackhi_epi64(b0, b4);
  out[2] = _mm_unpacklo_epi64(b1, b5);
  out[3] = _mm_unpackhi_epi64(b1, b5);
  out[4] = _mm_unpacklo_epi64(b2, b6);
  out[5] = _mm_unpackhi_epi64(b2, b6);
  out[6] = _mm_unpacklo_epi64(b3, b7);
  out[7] = _mm_unpackhi_epi64(b3, b7);
}

// The number of leading pairs of lanes that hold anything non-zero, 0..4,
// from a byte mask of the lanes that are zero.
inline int PairsInUse(int zeroBytes) {
  const int used = ~zeroBytes & 0xFFFF;
  if (used == 0) return 0;
  return (31 - __builtin_clz(static_cast<unsigned>(used))) / 4 + 1;
}

}  // namespace

void InverseDctSse2(const CosineTable& table, int16_t* block) {
  __m128i rows[8];
  for (int r = 0; r < 8; ++r) rows[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + r * 8));
  const __m128i zero = _mm_setzero_si128();

  // Which rows and columns hold anything.
  __m128i pairOr[4];
  for (int p = 0; p < 4; ++p) pairOr[p] = _mm_or_si128(rows[2 * p], rows[2 * p + 1]);
  const __m128i any = _mm_or_si128(_mm_or_si128(pairOr[0], pairOr[1]), _mm_or_si128(pairOr[2], pairOr[3]));
  // Byte masks of the zero rows (per pair of rows) and zero columns.
  int zeroRowPairs = 0;
  for (int p = 0; p < 4; ++p)
    zeroRowPairs |= (_mm_movemask_epi8(_mm_cmpeq_epi16(pairOr[p], zero)) == 0xFFFF) << p;
  const int usedRowPairs = ~zeroRowPairs & 15;
  const int rowPairs = usedRowPairs == 0 ? 0 : 32 - __builtin_clz(static_cast<unsigned>(usedRowPairs));
  const int columnPairs = PairsInUse(_mm_movemask_epi8(_mm_cmpeq_epi32(any, zero)));
  if (rowPairs == 0) return;  // all zero: the output is zero as well

  // DC only: no other lane of row 0 and no other row is non-zero.
  const __m128i rest = _mm_or_si128(_mm_or_si128(rows[1], _mm_or_si128(pairOr[1], pairOr[2])), pairOr[3]);
  const __m128i rest0 = _mm_and_si128(rows[0], _mm_set_epi16(-1, -1, -1, -1, -1, -1, -1, 0));
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_or_si128(rest, rest0), zero)) == 0xFFFF) {
    const int32_t t0 = table[0];
    const int32_t first = (static_cast<int32_t>(block[0]) * t0) >> 16;
    const int16_t value = static_cast<int16_t>((first * t0) >> 16);
    const __m128i fill = _mm_set1_epi16(value);
    for (int r = 0; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + r * 8), fill);
    return;
  }

  // (T[i][2p], T[i][2p+1]) pairs: row i of the table, each 32-bit lane broadcast.
  __m128i pairs[32];
  for (int i = 0; i < 8; ++i) {
    const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + i * 8));
    pairs[i * 4 + 0] = _mm_shuffle_epi32(t, 0x00);
    pairs[i * 4 + 1] = _mm_shuffle_epi32(t, 0x55);
    pairs[i * 4 + 2] = _mm_shuffle_epi32(t, 0xAA);
    pairs[i * 4 + 3] = _mm_shuffle_epi32(t, 0xFF);
  }

  // Columns: local[i] (row i) over the rows of the block.
  __m128i local[8], localT[8], outT[8], out[8];
  RunPass(rowPairs, rows, pairs, local);
  // Rows: transposed, the same pass runs over the columns of local.
  Transpose(local, localT);
  RunPass(columnPairs, localT, pairs, outT);
  Transpose(outT, out);
  for (int r = 0; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + r * 8), out[r]);
}

#endif
