// The output orders other than BGRX: the same pixels with their bytes
// moved, and grey as the clamped luma samples.
#include "decoder_state.h"

namespace {

uint8_t ClampLuma(int16_t v) { return v < 0 ? 0 : (v > 255 ? 255 : static_cast<uint8_t>(v)); }

// The luma of the `columns` x `rows` part of the MCU: the same clamp as
// assembly's, read straight from the luma blocks (for a grey stream, its
// one block).
void OutputLuma(const DecoderState& state, uint8_t* destination, int columns, int rows) {
  const int h = static_cast<int>(state.samplingCode >> 4);
  for (int y = 0; y < rows; ++y) {
    uint8_t* out = destination + static_cast<size_t>(y) * state.outputStride;
    const int16_t* blockRow = state.blockBuffer + (y >> 3) * h * 64 + (y & 7) * 8;
    for (int x = 0; x < columns; ++x) out[x] = ClampLuma(blockRow[(x >> 3) * 64 + (x & 7)]);
  }
}

}  // namespace

void ConvertBgrx(const uint8_t* source, size_t sourceStride, uint8_t* destination, size_t stride, int columns,
                 int rows, ZfFormat format) {
  // Where blue, green and red go, and the fourth byte (none for 3-byte orders).
  const bool rgb = format == kZfRgbx || format == kZfRgba || format == kZfRgb;
  const int blue = rgb ? 2 : 0;
  const int red = rgb ? 0 : 2;
  const uint32_t bytes = FormatBytes(format);
  const uint8_t fourth = (format == kZfBgra || format == kZfRgba) ? 255 : 0;
  for (int y = 0; y < rows; ++y) {
    const uint8_t* in = source + static_cast<size_t>(y) * sourceStride;
    uint8_t* out = destination + static_cast<size_t>(y) * stride;
    for (int x = 0; x < columns; ++x, in += 4, out += bytes) {
      out[blue] = in[0];
      out[1] = in[1];
      out[red] = in[2];
      if (bytes == 4) out[3] = fourth;
    }
  }
}

void OutputMcuFormatted(DecoderState& state, const DecoderPaths& paths, uint8_t* destination, int columns,
                        int rows) {
  // The output kernels take whole 8x8 blocks: reduced ones go the general
  // way (scaled views of the kernel layouts go through the strip instead).
  if (!state.kernelLayout || state.scaleShift != 0) {
    paths.outputGeneral(state, destination, columns, rows);
    return;
  }
  switch (state.outputFormat) {
    case kZfBgrx:
      paths.outputMcu(state, destination, columns, rows);
      return;
    case kZfGrey:
      OutputLuma(state, destination, columns, rows);
      return;
    default: {
      // BGRX into a tile of one MCU, then moved into place.
      alignas(32) uint8_t tile[16 * 32 * 4];
      const size_t stride = state.outputStride;
      state.outputStride = 32 * 4;
      paths.outputMcu(state, tile, columns, rows);
      state.outputStride = stride;
      ConvertBgrx(tile, 32 * 4, destination, stride, columns, rows, state.outputFormat);
      return;
    }
  }
}
