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
  alignas(32) uint8_t tile[16 * 16 * 4];
  const size_t stride = state.outputStride;
  state.outputStride = 16 * 4;
  wholeMcu(state, tile, McuWidth(state.samplingCode), McuHeight(state.samplingCode));
  state.outputStride = stride;
  for (int y = 0; y < rows; ++y)
    memcpy(destination + static_cast<size_t>(y) * stride, tile + y * 16 * 4, static_cast<size_t>(columns) * 4);
}
