// OutputMcu on AVX2: color_convert_sse2.cpp with 16 pixels per operation,
// one row of a 16-wide MCU or two rows of an 8-wide one. The sums, rounding
// and clamps are the ones explained there. Partial MCUs are converted whole
// into a tile and their part copied. Chosen at run time on processors that
// have AVX2.
#include "decoder_state.h"

#if defined(ZENTRAFOLD_HAVE_AVX2)
#include <immintrin.h>

#include <utility>

namespace {

struct Terms {
  __m256i blue, green, red;
};

__attribute__((target("avx2"))) inline __m256i Round16(__m256i lo, __m256i hi) {
  const __m256i half = _mm256_set1_epi32(32768);
  return _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(lo, half), 16),
                            _mm256_srai_epi32(_mm256_add_epi32(hi, half), 16));
}

// The terms of 16 chroma samples, two chroma rows (clamped to -128..127).
__attribute__((target("avx2"))) inline Terms ChromaTerms(__m256i cb, __m256i cr) {
  // blue: cb * 116129 = (4 cb) * 29032 + cb * 1
  const __m256i cb4 = _mm256_slli_epi16(cb, 2);
  const __m256i kBlue = _mm256_set1_epi32(29032 | 1 << 16);
  const __m256i blue = Round16(_mm256_madd_epi16(_mm256_unpacklo_epi16(cb4, cb), kBlue),
                               _mm256_madd_epi16(_mm256_unpackhi_epi16(cb4, cb), kBlue));
  // green: -(cb * 22553 + cr * 46800) = cb * -22553 + (2 cr) * -23400
  const __m256i cr2 = _mm256_slli_epi16(cr, 1);
  const __m256i kGreen = _mm256_set1_epi32(static_cast<int32_t>(
      static_cast<uint16_t>(-22553) | static_cast<uint32_t>(static_cast<uint16_t>(-23400)) << 16));
  const __m256i green = Round16(_mm256_madd_epi16(_mm256_unpacklo_epi16(cb, cr2), kGreen),
                                _mm256_madd_epi16(_mm256_unpackhi_epi16(cb, cr2), kGreen));
  // red: cr * 91881 = (3 cr) * 30627
  const __m256i cr3 = _mm256_add_epi16(cr2, cr);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i kRed = _mm256_set1_epi32(30627);
  const __m256i red = Round16(_mm256_madd_epi16(_mm256_unpacklo_epi16(cr3, zero), kRed),
                              _mm256_madd_epi16(_mm256_unpackhi_epi16(cr3, zero), kRed));
  return {blue, green, red};
}

__attribute__((target("avx2"))) inline __m256i Load(const int16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
__attribute__((target("avx2"))) inline __m256i ClampLuma(__m256i v) {
  return _mm256_max_epi16(_mm256_min_epi16(v, _mm256_set1_epi16(255)), _mm256_setzero_si256());
}
__attribute__((target("avx2"))) inline __m256i ClampChroma(__m256i v) {
  return _mm256_max_epi16(_mm256_min_epi16(v, _mm256_set1_epi16(127)), _mm256_set1_epi16(-128));
}

// 16 pixels as B, G, R, 0 from 16-bit channels (the unsigned saturating
// pack is the clamp to 0..255): lanes 0..7 to `first`, 8..15 to `second`.
__attribute__((target("avx2"))) inline void Store16(uint8_t* first, uint8_t* second, __m256i b, __m256i g,
                                                    __m256i r) {
  const __m256i bg = _mm256_unpacklo_epi8(_mm256_packus_epi16(b, b), _mm256_packus_epi16(g, g));
  const __m256i r0 = _mm256_unpacklo_epi8(_mm256_packus_epi16(r, r), _mm256_setzero_si256());
  const __m256i lo = _mm256_unpacklo_epi16(bg, r0);  // pixels 0..3 | 8..11
  const __m256i hi = _mm256_unpackhi_epi16(bg, r0);  // pixels 4..7 | 12..15
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(first), _mm256_permute2x128_si256(lo, hi, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(second), _mm256_permute2x128_si256(lo, hi, 0x31));
}

__attribute__((target("avx2"))) inline void Put(uint8_t* first, uint8_t* second, __m256i y, const Terms& t) {
  Store16(first, second, _mm256_add_epi16(y, t.blue), _mm256_add_epi16(y, t.green), _mm256_add_epi16(y, t.red));
}

// The terms of one chroma row (qwords picked by kPick), each sample twice.
template <int kPick>
__attribute__((target("avx2"))) inline Terms Widen(const Terms& t) {
  const __m256i b = _mm256_permute4x64_epi64(t.blue, kPick);
  const __m256i g = _mm256_permute4x64_epi64(t.green, kPick);
  const __m256i r = _mm256_permute4x64_epi64(t.red, kPick);
  return {_mm256_unpacklo_epi16(b, b), _mm256_unpacklo_epi16(g, g), _mm256_unpacklo_epi16(r, r)};
}

// The terms of one chroma row (lane kPick) in both lanes.
template <int kPick>
__attribute__((target("avx2"))) inline Terms BothLanes(const Terms& t) {
  return {_mm256_permute2x128_si256(t.blue, t.blue, kPick), _mm256_permute2x128_si256(t.green, t.green, kPick),
          _mm256_permute2x128_si256(t.red, t.red, kPick)};
}

template <int kH, int kV>
__attribute__((target("avx2"))) void OutputColorMcu(const int16_t* blocks, uint8_t* destination, size_t rowBytes) {
  const int16_t* cbBlock = blocks + kH * kV * 64;
  const int16_t* crBlock = cbBlock + 64;
  for (int pair = 0; pair < 4; ++pair) {
    // Chroma rows 2 pair and 2 pair + 1 in the two lanes.
    const Terms t = ChromaTerms(ClampChroma(Load(cbBlock + pair * 16)), ClampChroma(Load(crBlock + pair * 16)));
    for (int half = 0; half < 2; ++half) {
      const int cy = pair * 2 + half;
      if (kH == 2) {
        // One chroma row over 16 pixels: samples 0..3 | 4..7 of it, each twice.
        const Terms row = half ? Widen<0x32>(t) : Widen<0x10>(t);
        for (int dy = 0; dy < kV; ++dy) {
          const int y = cy * kV + dy;
          const int16_t* luma = blocks + (y / 8) * 2 * 64 + (y % 8) * 8;
          const __m256i samples = _mm256_set_m128i(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + 64)),
                                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma)));
          uint8_t* out = destination + static_cast<size_t>(y) * rowBytes;
          Put(out, out + 32, ClampLuma(samples), row);
        }
      } else if (kV == 2) {
        // One chroma row over the two pixel rows 2 cy, 2 cy + 1.
        const Terms row = half ? BothLanes<0x11>(t) : BothLanes<0x00>(t);
        const int y = cy * 2;
        uint8_t* out = destination + static_cast<size_t>(y) * rowBytes;
        Put(out, out + rowBytes, ClampLuma(Load(blocks + (y / 8) * 64 + (y % 8) * 8)), row);
      } else if (half == 0) {
        // 1 x 1: pixel rows 2 pair, 2 pair + 1 take the two chroma rows as they are.
        const int y = pair * 2;
        uint8_t* out = destination + static_cast<size_t>(y) * rowBytes;
        Put(out, out + rowBytes, ClampLuma(Load(blocks + y * 8)), t);
      }
    }
  }
}

__attribute__((target("avx2"))) void OutputGrayMcu(const int16_t* block, uint8_t* destination, size_t rowBytes) {
  for (int y = 0; y < 8; y += 2) {
    const __m256i v = Load(block + y * 8);
    uint8_t* out = destination + static_cast<size_t>(y) * rowBytes;
    Store16(out, out + rowBytes, v, v, v);
  }
}

}  // namespace

__attribute__((target("avx2"))) void OutputMcuAvx2(DecoderState& state, uint8_t* destination, int columns,
                                                   int rows) {
  const uint32_t sampling = state.samplingCode;
  if (columns != McuWidth(sampling) || rows != McuHeight(sampling)) {
    OutputPartialMcu(state, OutputMcuAvx2, destination, columns, rows);
    return;
  }
  const size_t rowBytes = state.outputStride;
  const int16_t* blocks = state.blockBuffer;
  if (state.componentCount != 3) {
    OutputGrayMcu(blocks, destination, rowBytes);
    return;
  }
  switch (sampling) {
    case 0x11: OutputColorMcu<1, 1>(blocks, destination, rowBytes); break;
    case 0x12: OutputColorMcu<1, 2>(blocks, destination, rowBytes); break;
    case 0x21: OutputColorMcu<2, 1>(blocks, destination, rowBytes); break;
    case 0x22: OutputColorMcu<2, 2>(blocks, destination, rowBytes); break;
    default: OutputMcuSse2(state, destination, columns, rows); break;  // luma 4 wide
  }
}

// ConvertLineSse2 with 16 pixels per step for the common cases, YCbCr or
// grey to any order of blue, green and red (with 0 or 255 as the fourth
// byte, or none); the rest of the line, and every other case, through it.
__attribute__((target("avx2"))) void ConvertLineAvx2(const DecoderState& state, const int16_t* const* line,
                                                     int columns, uint8_t* out) {
  const ColorKind kind = state.colorKind;
  const ZfFormat format = state.outputFormat;
  const bool color = kind == kColorYcc && state.componentCount == 3;
  if (format == kZfGrey || format == kZfCmyk || !(color || kind == kColorGrey)) {
    ConvertLineSse2(state, line, columns, out);
    return;
  }
  const bool rgbOrder = format == kZfRgbx || format == kZfRgba || format == kZfRgb;
  const uint32_t bytes = FormatBytes(format);
  const __m256i fourth = format == kZfBgra || format == kZfRgba ? _mm256_set1_epi32(static_cast<int32_t>(0xFF000000u))
                                                                : _mm256_setzero_si256();
  // Three bytes a pixel: each four pixels' twelve bytes from their sixteen,
  // stored sixteen at a time (the last four written over by the next
  // store), so a step needs two pixels past its sixteen.
  const __m128i pack3 = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const int step = bytes == 3 ? 18 : 16;
  int x = 0;
  for (; x + step <= columns; x += 16) {
    const __m256i y = ClampLuma(Load(line[0] + x));
    __m256i blue = y, green = y, red = y;
    if (color) {
      const Terms t = ChromaTerms(ClampChroma(Load(line[1] + x)), ClampChroma(Load(line[2] + x)));
      blue = _mm256_add_epi16(y, t.blue);
      green = _mm256_add_epi16(y, t.green);
      red = _mm256_add_epi16(y, t.red);
    }
    if (rgbOrder) std::swap(blue, red);
    alignas(32) uint8_t pixels[64];
    Store16(pixels, pixels + 32, blue, green, red);
    if (bytes == 4) {
      for (int half = 0; half < 2; ++half) {
        const __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i*>(pixels + 32 * half));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x + 32 * half), _mm256_or_si256(v, fourth));
      }
      continue;
    }
    for (int quarter = 0; quarter < 4; ++quarter) {
      const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(pixels + 16 * quarter));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x + 12 * quarter), _mm_shuffle_epi8(v, pack3));
    }
  }
  if (x == columns) return;
  const int16_t* rest[kMaxComponents] = {line[0] + x, color ? line[1] + x : nullptr, color ? line[2] + x : nullptr,
                                         nullptr};
  ConvertLineSse2(state, rest, columns - x, out + static_cast<size_t>(x) * bytes);
}

#endif
