// OutputMcu on SSE2: the MCU's blocks straight to BGRX pixels, with the
// clamps of AssembleMcu and the sums, rounding and clamps of WriteMcuPixels,
// but without the interleaved MCU pixel buffer in between. Partial MCUs at
// the right and bottom edges are converted whole into a tile, and their part
// inside the picture copied into place.
//
// The colour sums per channel are y * 65536 + w, w the chroma term from the
// tables (Cb * 116129 for blue, -(Cb * 22553 + Cr * 46800) for green,
// Cr * 91881 for red, exact integer products). Clamp gives 0 for a negative
// sum, else floor(sum / 65536) plus bit 15, at most 255; that is
// floor((sum + 32768) / 65536) limited to 0..255, and since y * 65536 is a
// whole multiple, it is y + floor((w + 32768) / 65536) limited to 0..255.
// So each chroma sample yields three small 16-bit terms, formed exactly with
// pmaddwd, and each pixel costs a 16-bit add and an unsigned saturating pack.
#include "decoder_state.h"

#if defined(ZENTRAFOLD_HAVE_SSE2)
#include <emmintrin.h>
#include <string.h>

namespace {

// Blue, green and red terms of 8 chroma samples (already clamped to -128..127).
struct Terms {
  __m128i blue, green, red;
};

inline __m128i Round16(__m128i lo, __m128i hi) {
  const __m128i half = _mm_set1_epi32(32768);
  return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, half), 16),
                         _mm_srai_epi32(_mm_add_epi32(hi, half), 16));
}

inline Terms ChromaTerms(__m128i cb, __m128i cr) {
  // blue: cb * 116129 = (4 cb) * 29032 + cb * 1
  const __m128i cb4 = _mm_slli_epi16(cb, 2);
  const __m128i kBlue = _mm_set1_epi32(29032 | 1 << 16);
  const __m128i blue = Round16(_mm_madd_epi16(_mm_unpacklo_epi16(cb4, cb), kBlue),
                               _mm_madd_epi16(_mm_unpackhi_epi16(cb4, cb), kBlue));
  // green: -(cb * 22553 + cr * 46800) = cb * -22553 + (2 cr) * -23400
  const __m128i cr2 = _mm_slli_epi16(cr, 1);
  const __m128i kGreen = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(-22553) | 
                                                             static_cast<uint32_t>(static_cast<uint16_t>(-23400)) << 16));
  const __m128i green = Round16(_mm_madd_epi16(_mm_unpacklo_epi16(cb, cr2), kGreen),
                                _mm_madd_epi16(_mm_unpackhi_epi16(cb, cr2), kGreen));
  // red: cr * 91881 = (3 cr) * 30627
  const __m128i cr3 = _mm_add_epi16(cr2, cr);
  const __m128i zero = _mm_setzero_si128();
  const __m128i kRed = _mm_set1_epi32(30627);
  const __m128i red = Round16(_mm_madd_epi16(_mm_unpacklo_epi16(cr3, zero), kRed),
                              _mm_madd_epi16(_mm_unpackhi_epi16(cr3, zero), kRed));
  return {blue, green, red};
}

inline __m128i ClampLuma(__m128i v) {
  return _mm_max_epi16(_mm_min_epi16(v, _mm_set1_epi16(255)), _mm_setzero_si128());
}
inline __m128i ClampChroma(__m128i v) {
  return _mm_max_epi16(_mm_min_epi16(v, _mm_set1_epi16(127)), _mm_set1_epi16(-128));
}

// Writes 8 pixels as B, G, R, 0 from 16-bit channel values (packed with
// unsigned saturation, which is the clamp to 0..255). Returns nothing; `out`
// gets 32 bytes.
inline void Store8(uint8_t* out, __m128i b, __m128i g, __m128i r) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bg = _mm_unpacklo_epi8(_mm_packus_epi16(b, b), _mm_packus_epi16(g, g));
  const __m128i r0 = _mm_unpacklo_epi8(_mm_packus_epi16(r, r), zero);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(bg, r0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi16(bg, r0));
}

template <int kH, int kV>
void OutputColorMcu(const int16_t* blocks, uint8_t* destination, size_t rowBytes) {
  const int16_t* cbBlock = blocks + kH * kV * 64;
  const int16_t* crBlock = cbBlock + 64;
  for (int cy = 0; cy < 8; ++cy) {
    const __m128i cb = ClampChroma(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cbBlock + cy * 8)));
    const __m128i cr = ClampChroma(_mm_loadu_si128(reinterpret_cast<const __m128i*>(crBlock + cy * 8)));
    const Terms t = ChromaTerms(cb, cr);
    // Each chroma sample covers kH pixels of a row: terms for pixel columns
    // 0..7, and with kH = 2 or 4 for 8..15 (each term twice) and so on
    // (each term four times). quarter[i] holds the terms of columns 8i..8i+7.
    Terms quarter[4] = {t, t, t, t};
    if (kH >= 2) {
      quarter[0] = {_mm_unpacklo_epi16(t.blue, t.blue), _mm_unpacklo_epi16(t.green, t.green),
                    _mm_unpacklo_epi16(t.red, t.red)};
      quarter[1] = {_mm_unpackhi_epi16(t.blue, t.blue), _mm_unpackhi_epi16(t.green, t.green),
                    _mm_unpackhi_epi16(t.red, t.red)};
    }
    if (kH == 4) {
      const Terms lo = quarter[0], hi = quarter[1];
      quarter[0] = {_mm_unpacklo_epi16(lo.blue, lo.blue), _mm_unpacklo_epi16(lo.green, lo.green),
                    _mm_unpacklo_epi16(lo.red, lo.red)};
      quarter[1] = {_mm_unpackhi_epi16(lo.blue, lo.blue), _mm_unpackhi_epi16(lo.green, lo.green),
                    _mm_unpackhi_epi16(lo.red, lo.red)};
      quarter[2] = {_mm_unpacklo_epi16(hi.blue, hi.blue), _mm_unpacklo_epi16(hi.green, hi.green),
                    _mm_unpacklo_epi16(hi.red, hi.red)};
      quarter[3] = {_mm_unpackhi_epi16(hi.blue, hi.blue), _mm_unpackhi_epi16(hi.green, hi.green),
                    _mm_unpackhi_epi16(hi.red, hi.red)};
    }
    for (int dy = 0; dy < kV; ++dy) {
      const int y = cy * kV + dy;
      const int16_t* luma = blocks + (y / 8) * kH * 64 + (y % 8) * 8;
      uint8_t* out = destination + static_cast<size_t>(y) * rowBytes;
      for (int i = 0; i < kH; ++i) {
        const __m128i yi = ClampLuma(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + 64 * i)));
        Store8(out + 32 * i, _mm_add_epi16(yi, quarter[i].blue), _mm_add_epi16(yi, quarter[i].green),
               _mm_add_epi16(yi, quarter[i].red));
      }
    }
  }
}

void OutputGrayMcu(const int16_t* block, uint8_t* destination, size_t rowBytes) {
  for (int y = 0; y < 8; ++y) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + y * 8));
    Store8(destination + static_cast<size_t>(y) * rowBytes, v, v, v);
  }
}

}  // namespace

namespace {

inline __m128i Load8(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m128i Invert(__m128i v) { return _mm_sub_epi16(_mm_set1_epi16(255), v); }
// The bytes after the pack's clamp, back in 16-bit lanes.
inline __m128i Saturate(__m128i v) { return _mm_unpacklo_epi8(_mm_packus_epi16(v, v), _mm_setzero_si128()); }

// InkToLight on eight lanes: k - ((255 - c) * k >> 8), the product below 2^16.
inline __m128i InkToLight8(__m128i c, __m128i k) {
  return _mm_sub_epi16(k, _mm_srli_epi16(_mm_mullo_epi16(Invert(c), k), 8));
}

// Where a row's samples of a component lie: eight pixels from `at + step *
// group`, in a gathered line (step 8) or straight in the blocks (step 64).
struct Samples {
  const int16_t* at;
  int step;
  const int16_t* Group(int g) const { return at + step * g; }
};

// One row of `count` pixels (rounded up to a multiple of 8) as BGRX or CMYK
// bytes, 4 a pixel, into `out`.
void ConvertRow(const DecoderState& state, const Samples* line, int count, bool cmykOutput, uint8_t* out) {
  const ColorKind kind = state.colorKind;
  for (int g = 0, x = 0; x < count; ++g, x += 8) {
    __m128i blue, green, red;
    if (kind == kColorGrey) {
      blue = green = red = ClampLuma(Load8(line[0].Group(g)));
    } else if (kind == kColorRgb) {
      red = ClampLuma(Load8(line[0].Group(g)));
      green = ClampLuma(Load8(line[1].Group(g)));
      blue = ClampLuma(Load8(line[2].Group(g)));
    } else {
      __m128i c0, c1, c2;
      if (kind == kColorCmyk) {
        c0 = ClampLuma(Load8(line[0].Group(g)));
        c1 = ClampLuma(Load8(line[1].Group(g)));
        c2 = ClampLuma(Load8(line[2].Group(g)));
      } else {
        // y + term, clamped by the pack, as in OutputColorMcu.
        const __m128i y = ClampLuma(Load8(line[0].Group(g)));
        const Terms t = ChromaTerms(ClampChroma(Load8(line[1].Group(g))), ClampChroma(Load8(line[2].Group(g))));
        red = _mm_add_epi16(y, t.red);
        green = _mm_add_epi16(y, t.green);
        blue = _mm_add_epi16(y, t.blue);
        if (kind == kColorYcc) {
          Store8(out + 4 * x, blue, green, red);
          continue;
        }
        // YCCK: the complements of the clamped colours are C, M, Y.
        c0 = Invert(Saturate(red));
        c1 = Invert(Saturate(green));
        c2 = Invert(Saturate(blue));
      }
      const __m128i k = ClampLuma(Load8(line[3].Group(g)));
      if (cmykOutput) {
        // C, M, Y, K bytes: the BGRX store with the lanes renamed.
        const __m128i cm = _mm_unpacklo_epi8(_mm_packus_epi16(c0, c0), _mm_packus_epi16(c1, c1));
        const __m128i yk = _mm_unpacklo_epi8(_mm_packus_epi16(c2, c2), _mm_packus_epi16(k, k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), _mm_unpacklo_epi16(cm, yk));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x + 16), _mm_unpackhi_epi16(cm, yk));
        continue;
      }
      red = InkToLight8(c0, k);
      green = InkToLight8(c1, k);
      blue = InkToLight8(c2, k);
    }
    Store8(out + 4 * x, blue, green, red);
  }
}

// `columns` pixels in state.outputFormat from the samples: whole groups of
// eight straight to the output (grey as the clamped first component, BGRX
// and CMYK as ConvertRow gives them), the rest through a row, the other
// orders moved from BGRX 32 pixels at a time. Within a group of eight the
// samples lie side by side.
void ConvertSamples(const DecoderState& state, Samples* line, int columns, uint8_t* out) {
  const ZfFormat format = state.outputFormat;
  const int count = format == kZfGrey ? 1 : state.componentCount;
  const int whole = columns & ~7;
  if (format == kZfGrey) {
    // The pack's saturation is the clamp.
    for (int g = 0, x = 0; x < whole; ++g, x += 8) {
      const __m128i v = Load8(line[0].Group(g));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(v, v));
    }
    const int16_t* rest[kMaxComponents] = {line[0].Group(whole / 8)};
    ConvertLine(state, rest, columns - whole, out + whole);
    return;
  }
  const bool cmykOutput = format == kZfCmyk;
  if (format == kZfBgrx || cmykOutput) {
    ConvertRow(state, line, whole, cmykOutput, out);
    if (whole == columns) return;
    for (int c = 0; c < count; ++c) line[c].at = line[c].Group(whole / 8);
    alignas(16) uint8_t row[8 * 4];
    ConvertRow(state, line, columns - whole, cmykOutput, row);
    memcpy(out + 4 * whole, row, static_cast<size_t>(columns - whole) * 4);
    return;
  }
  const uint32_t bytes = FormatBytes(format);
  alignas(16) uint8_t row[32 * 4];
  for (int x = 0; x < columns; x += 32) {
    const int part = columns - x < 32 ? columns - x : 32;
    ConvertRow(state, line, part, false, row);
    ConvertBgrx(row, 0, out + static_cast<size_t>(x) * bytes, 0, part, 1, format);
    for (int c = 0; c < count; ++c) line[c].at = line[c].Group(4);
  }
}

}  // namespace

// OutputMcuGeneral on SSE2: each row's component samples (straight from the
// blocks where they need no replication, else replicated into lines by
// GatherComponentRow), converted eight pixels at a time with the same sums,
// clamps and rounding (see the file's opening comment; for CMYK the product
// (255 - c) * k stays below 2^16).
void OutputMcuGeneralSse2(DecoderState& state, uint8_t* destination, int columns, int rows) {
  alignas(16) int16_t gathered[kMaxComponents][40] = {};
  const int count = state.outputFormat == kZfGrey ? 1 : state.componentCount;
  Samples line[kMaxComponents];
  for (int y = 0; y < rows; ++y) {
    for (int c = 0; c < count; ++c) {
      const FrameComponent& component = state.frame[c];
      if (component.h == state.hMax && state.scaleShift == 0) {
        line[c] = {state.blockBuffer + component.firstBlock * 64 + state.sampleRow[c][y], 64};
      } else {
        GatherComponentRow(state, c, y, columns, gathered[c]);
        line[c] = {gathered[c], 8};
      }
    }
    ConvertSamples(state, line, columns, destination + static_cast<size_t>(y) * state.outputStride);
  }
}

void ConvertLineSse2(const DecoderState& state, const int16_t* const* line, int columns, uint8_t* out) {
  Samples samples[kMaxComponents];
  for (int c = 0; c < state.componentCount; ++c) samples[c] = {line[c], 8};
  ConvertSamples(state, samples, columns, out);
}

void OutputMcuSse2(DecoderState& state, uint8_t* destination, int columns, int rows) {
  const uint32_t sampling = state.samplingCode;
  if (columns != McuWidth(sampling) || rows != McuHeight(sampling)) {
    OutputPartialMcu(state, OutputMcuSse2, destination, columns, rows);
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
    case 0x41: OutputColorMcu<4, 1>(blocks, destination, rowBytes); break;
    case 0x42: OutputColorMcu<4, 2>(blocks, destination, rowBytes); break;
    default: OutputColorMcu<2, 2>(blocks, destination, rowBytes); break;
  }
}

#endif
