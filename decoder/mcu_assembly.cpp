// Lays the blocks of one MCU out as interleaved Y, Cb, Cr bytes in the MCU
// pixel buffer: luma clamped to 0..255, chroma as signed bytes replicated
// over the H x V pixels each sample covers (no filtering).
#include "decoder_state.h"

namespace {

uint8_t ClampLuma(int16_t v) { return v < 0 ? 0 : (v > 255 ? 255 : static_cast<uint8_t>(v)); }

// Chroma leaves the inverse DCT centred on 0. Saturated colours can give
// samples past -128..127; they are clamped, as a wrap would turn the hue.
uint8_t ClampChroma(int16_t v) {
  const int16_t clamped = v < -128 ? -128 : (v > 127 ? 127 : v);
  return static_cast<uint8_t>(clamped);
}

}  // namespace

void PlaceLumaBlock(const int16_t* block, uint8_t* pixel, int stride) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) pixel[r * stride + c * 3] = ClampLuma(block[r * 8 + c]);
}

void PlaceGrayBlock(const int16_t* block, uint8_t* pixel, int stride) {
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      const uint8_t v = ClampLuma(block[r * 8 + c]);
      uint8_t* p = pixel + r * stride + c * 3;
      p[0] = p[1] = p[2] = v;
    }
  }
}

void PlaceChromaBlock(const int16_t* block, uint8_t* channel, int stride, uint32_t samplingCode) {
  const int h = static_cast<int>(samplingCode >> 4);
  const int v = static_cast<int>(samplingCode & 0x0F);
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      const uint8_t value = ClampChroma(block[r * 8 + c]);
      for (int dy = 0; dy < v; ++dy)
        for (int dx = 0; dx < h; ++dx) channel[(r * v + dy) * stride + (c * h + dx) * 3] = value;
    }
  }
}

void AssembleMcu(DecoderState& state) {
  const int16_t* block = state.blockBuffer;
  uint8_t* out = state.mcuPixelBuffer;
  const uint32_t sampling = state.samplingCode;
  const int stride = McuWidth(sampling) * 3;
  if (state.componentCount != 3) {
    PlaceGrayBlock(block, out, stride);
    return;
  }
  // Luma blocks in MCU order: left to right, then top to bottom.
  const int h = static_cast<int>(sampling >> 4);
  const int v = static_cast<int>(sampling & 0x0F);
  for (int y = 0; y < v; ++y) {
    for (int x = 0; x < h; ++x) {
      PlaceLumaBlock(block, out + y * 8 * stride + x * 8 * 3, stride);
      block += 64;
    }
  }
  PlaceChromaBlock(block, out + 1, stride, sampling);
  PlaceChromaBlock(block + 64, out + 2, stride, sampling);
}
