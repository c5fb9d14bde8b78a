// Which coefficients of a stored block are nonzero, as a 64-bit mask (bit k
// for coefficient k in the block's own order), of the whole block or of a
// band of it. Used by the progressive refinement scans and by the pixel
// stages over the store of quantised coefficients.
#pragma once

#include <stdint.h>
#include <string.h>

#include "decoder_state.h"

#if defined(ZENTRAFOLD_HAVE_SSE2)
#include <emmintrin.h>
#endif

// The plain version: four coefficients at a time, each lane's top bit set
// when the lane is nonzero (its low 15 bits added to 0x7FFF carry into bit
// 15, or bit 15 was set), the four top bits then gathered by one
// multiplication into bits 48..51 (the products of the other pairs land on
// distinct bits below 36 or past bit 63).
inline uint64_t NonzeroMaskScalar(const int16_t* block) {
  uint64_t mask = 0;
  for (int i = 0; i < 16; ++i) {
    uint64_t lanes;
    memcpy(&lanes, block + 4 * i, sizeof lanes);
    const uint64_t low = lanes & 0x7FFF7FFF7FFF7FFFull;
    const uint64_t top = ((low + 0x7FFF7FFF7FFF7FFFull) | lanes) & 0x8000800080008000ull;
    const uint64_t four = ((top >> 15) * 0x0001000200040008ull) >> 48 & 0xF;
    mask |= four << (4 * i);
  }
  return mask;
}

// The same on SSE2: sixteen coefficients compared with zero, narrowed to
// bytes (0 or -1 stay so under signed saturation) and their top bits taken.
inline uint64_t NonzeroMask(const int16_t* block) {
#if defined(ZENTRAFOLD_HAVE_SSE2)
  const __m128i zero = _mm_setzero_si128();
  uint64_t zeros = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i + 8));
    const __m128i bytes = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(bytes))) << (16 * i);
  }
  return ~zeros;
#else
  return NonzeroMaskScalar(block);
#endif
}

// Coefficients start..end alone (none other is read: another thread may be
// writing them): bit k set where coefficient k is nonzero.
inline uint64_t NonzeroMaskBandScalar(const int16_t* block, int start, int end) {
  uint64_t mask = 0;
  for (int k = start; k <= end; ++k) mask |= static_cast<uint64_t>(block[k] != 0) << k;
  return mask;
}

// The same on SSE2, sixteen coefficients at a time from `start` (eight for
// bands of fewer than sixteen), the last ones ending at `end` (overlapping
// the ones before): every load lies inside the band. Bands of fewer than
// eight take the plain loop.
inline uint64_t NonzeroMaskBand(const int16_t* block, int start, int end) {
#if defined(ZENTRAFOLD_HAVE_SSE2)
  const __m128i zero = _mm_setzero_si128();
  if (end - start >= 15) {
    uint64_t mask = 0;
    for (int k = start;; k += 16) {
      if (k > end - 15) k = end - 15;
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + k));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + k + 8));
      const __m128i bytes = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
      mask |= static_cast<uint64_t>(~static_cast<uint32_t>(_mm_movemask_epi8(bytes)) & 0xFFFF) << k;
      if (k == end - 15) break;
    }
    return mask;
  }
  if (end - start >= 7) {
    uint64_t mask = 0;
    for (int k = start;; k += 8) {
      if (k > end - 7) k = end - 7;
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + k));
      const uint32_t zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(v, zero), zero)));
      mask |= static_cast<uint64_t>(~zeros & 0xFF) << k;
      if (k == end - 7) break;
    }
    return mask;
  }
#endif
  return NonzeroMaskBandScalar(block, start, end);
}
