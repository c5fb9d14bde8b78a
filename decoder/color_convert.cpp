// YCbCr to blue, green, red, 0 by the JFIF equations in 16.16 fixed point,
// with one table per chroma term.
#include <string.h>

#include "decoder_state.h"

namespace {

// JFIF coefficients in 16.16, truncated. The Cr-to-green step is formed with
// 32768 and then doubled, so it is 46800 rather than 46801.
constexpr int32_t kCrToRStep = 1402u * 65536u / 1000u;              // 91881
constexpr int32_t kCrToGStep = (71414u * 32768u / 100000u) * 2u;    // 46800
constexpr int32_t kCbToGStep = 34414u * 65536u / 100000u;           // 22553
constexpr int32_t kCbToBStep = 1772u * 65536u / 1000u;              // 116129
static_assert(kCrToRStep == 91881 && kCrToGStep == 46800 && kCbToGStep == 22553 && kCbToBStep == 116129);

void FillTable(int32_t* table, int32_t step) {
  for (int i = 0; i < 256; ++i) table[i] = (i < 128 ? i : i - 256) * step;
}

// 16.16 to a byte: negative gives 0; otherwise the integer part, rounded up
// when bit 15 is set, and at most 255.
uint8_t Clamp(int32_t v) {
  if (v < 0) return 0;
  const int32_t rounded = (v >> 16) + ((v >> 15) & 1);
  return rounded > 255 ? 255 : static_cast<uint8_t>(rounded);
}

}  // namespace

void BuildColorTables(ColorTables& tables) {
  FillTable(tables.crToR, kCrToRStep);
  FillTable(tables.crToG, kCrToGStep);
  FillTable(tables.cbToG, kCbToGStep);
  FillTable(tables.cbToB, kCbToBStep);
}

void WriteMcuPixelRows(const DecoderState& state, const uint8_t* source, uint8_t* destination, int columns,
                       int rows, size_t stride) {
  const ColorTables& t = state.colorTables;
  const int sourceStride = McuWidth(state.samplingCode) * 3;
  const bool color = state.componentCount == 3;
  for (int r = 0; r < rows; ++r) {
    const uint8_t* in = source + r * sourceStride;
    uint8_t* out = destination + static_cast<size_t>(r) * stride;
    for (int c = 0; c < columns; ++c, in += 3, out += 4) {
      if (color) {
        const int32_t y = static_cast<int32_t>(in[0]) << 16;
        const uint8_t cb = in[1];
        const uint8_t cr = in[2];
        out[0] = Clamp(y + t.cbToB[cb]);
        out[1] = Clamp(y - t.cbToG[cb] - t.crToG[cr]);
        out[2] = Clamp(y + t.crToR[cr]);
      } else {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
      }
      out[3] = 0;
    }
  }
}

void WriteMcuPixels(const DecoderState& state, const uint8_t* source, uint8_t* destination,
                    int columns, int rows, uint32_t imageWidth) {
  WriteMcuPixelRows(state, source, destination, columns, rows, static_cast<size_t>(imageWidth) * 4);
}

void OutputPartialMcu(DecoderState& state, void (*wholeMcu)(DecoderState&, uint8_t*, int, int),
                      uint8_t* destination, int columns, int rows) {
  alignas(32) uint8_t tile[16 * 32 * 4];
  const size_t stride = state.outputStride;
  state.outputStride = 32 * 4;
  wholeMcu(state, tile, McuWidth(state.samplingCode), McuHeight(state.samplingCode));
  state.outputStride = stride;
  for (int y = 0; y < rows; ++y)
    memcpy(destination + static_cast<size_t>(y) * stride, tile + y * 32 * 4, static_cast<size_t>(columns) * 4);
}

namespace {

uint8_t ClampSample(int16_t v) { return v < 0 ? 0 : (v > 255 ? 255 : static_cast<uint8_t>(v)); }

// Centred chroma as the table index: clamped to -128..127, read as a byte.
uint8_t ChromaIndex(int16_t v) { return static_cast<uint8_t>(v < -128 ? -128 : (v > 127 ? 127 : v)); }

// Ink to light: a colour value from its ink c (as CMYK streams store it,
// 255 for none) and black k, also 255 for none.
uint8_t InkToLight(uint8_t c, uint8_t k) { return static_cast<uint8_t>(k - ((255 - c) * k >> 8)); }

}  // namespace

void GatherComponentRow(const DecoderState& state, int c, int y, int columns, int16_t* line) {
  const FrameComponent& component = state.frame[c];
  const int16_t* row = state.blockBuffer + component.firstBlock * 64 + state.sampleRow[c][y];
  if (component.h == state.hMax && state.scaleShift == 0) {
    // No replication across: eight samples of each block in turn.
    for (int x = 0; x < columns; x += 8)
      memcpy(line + x, row + (x >> 3) * 64, static_cast<size_t>(columns - x < 8 ? columns - x : 8) * sizeof *line);
    return;
  }
  for (int x = 0; x < columns; ++x) line[x] = row[state.sampleColumn[c][x]];
}

void ConvertLine(const DecoderState& state, const int16_t* const* line, int columns, uint8_t* out) {
  const ColorTables& t = state.colorTables;
  const ZfFormat format = state.outputFormat;
  const uint32_t bytes = FormatBytes(format);
  const bool rgbOrder = format == kZfRgbx || format == kZfRgba || format == kZfRgb;
  const int red = rgbOrder ? 0 : 2;
  const int blue = rgbOrder ? 2 : 0;
  const uint8_t fourth = (format == kZfBgra || format == kZfRgba) ? 255 : 0;
  const ColorKind kind = state.colorKind;
  for (int x = 0; x < columns; ++x, out += bytes) {
    const int16_t s0 = line[0][x];
    if (format == kZfGrey) {
      // The first component's samples; for YCbCr this is the clamped luma.
      out[0] = ClampSample(s0);
      continue;
    }
    uint8_t r, g, b;
    if (kind == kColorGrey) {
      r = g = b = ClampSample(s0);
    } else if (kind == kColorRgb) {
      r = ClampSample(s0);
      g = ClampSample(line[1][x]);
      b = ClampSample(line[2][x]);
    } else {
      uint8_t c0, c1, c2;
      if (kind == kColorCmyk) {
        c0 = ClampSample(s0);
        c1 = ClampSample(line[1][x]);
        c2 = ClampSample(line[2][x]);
      } else {
        // YCbCr (of YCbCr or YCCK) by the same sums and rounding as
        // WriteMcuPixelRows.
        const int32_t luma = static_cast<int32_t>(ClampSample(s0)) << 16;
        const uint8_t cb = ChromaIndex(line[1][x]);
        const uint8_t cr = ChromaIndex(line[2][x]);
        c0 = Clamp(luma + t.crToR[cr]);
        c1 = Clamp(luma - t.cbToG[cb] - t.crToG[cr]);
        c2 = Clamp(luma + t.cbToB[cb]);
        if (kind == kColorYcc) {
          out[red] = c0;
          out[1] = c1;
          out[blue] = c2;
          if (bytes == 4) out[3] = fourth;
          continue;
        }
        // YCCK: the YCbCr part gives the complements of C, M and Y.
        c0 = static_cast<uint8_t>(255 - c0);
        c1 = static_cast<uint8_t>(255 - c1);
        c2 = static_cast<uint8_t>(255 - c2);
      }
      const uint8_t k = ClampSample(line[3][x]);
      if (format == kZfCmyk) {
        out[0] = c0;
        out[1] = c1;
        out[2] = c2;
        out[3] = k;
        continue;
      }
      r = InkToLight(c0, k);
      g = InkToLight(c1, k);
      b = InkToLight(c2, k);
    }
    out[red] = r;
    out[1] = g;
    out[blue] = b;
    if (bytes == 4) out[3] = fourth;
  }
}

void OutputMcuGeneral(DecoderState& state, uint8_t* destination, int columns, int rows) {
  // Each component's samples for a row, replicated: column x of the MCU
  // takes sample floor(x * H / Hmax) of row floor(y * V / Vmax).
  int16_t gathered[kMaxComponents][kMaxSampling * 8];
  const int16_t* line[kMaxComponents];
  for (int c = 0; c < kMaxComponents; ++c) line[c] = gathered[c];
  const int count = state.outputFormat == kZfGrey ? 1 : state.componentCount;
  for (int y = 0; y < rows; ++y) {
    for (int c = 0; c < count; ++c) GatherComponentRow(state, c, y, columns, gathered[c]);
    ConvertLine(state, line, columns, destination + static_cast<size_t>(y) * state.outputStride);
  }
}
