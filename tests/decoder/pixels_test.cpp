// MCU assembly (clamping, chroma saturation, replication) and colour
// conversion (fixed-point rounding and clamping, edge MCUs).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

#include "decoder_state.h"

namespace {

std::unique_ptr<DecoderState> NewState(uint32_t sampling, uint8_t components) {
  auto state = std::make_unique<DecoderState>();
  BuildColorTables(state->colorTables);
  state->samplingCode = sampling;
  state->componentCount = components;
  return state;
}

std::array<uint8_t, 3> Convert(int y, int cb, int cr) {
  auto state = NewState(0x11, 3);
  const uint8_t source[3] = {static_cast<uint8_t>(y), static_cast<uint8_t>(cb), static_cast<uint8_t>(cr)};
  uint8_t out[4] = {9, 9, 9, 9};
  WriteMcuPixels(*state, source, out, 1, 1, 1);
  EXPECT_EQ(out[3], 0);
  return {out[0], out[1], out[2]};
}

TEST(ColorConversion, WorkedTriples) {
  using Bgr = std::array<uint8_t, 3>;
  EXPECT_EQ(Convert(128, 0, 0), (Bgr{128, 128, 128}));
  EXPECT_EQ(Convert(255, 0, 0), (Bgr{255, 255, 255}));
  EXPECT_EQ(Convert(0, 0, 127), (Bgr{0, 0, 178}));
  EXPECT_EQ(Convert(100, -20, 30), (Bgr{65, 85, 142}));
  EXPECT_EQ(Convert(50, 127, -128), (Bgr{255, 98, 0}));
  EXPECT_EQ(Convert(0, -1, -1), (Bgr{0, 1, 0}));
}

TEST(ColorConversion, RoundsHalvesUpAndClamps) {
  // y + CrToR[1] = 65536 * 10 + 91881: 11.402 -> 11; with Cr = 2, 12.804 -> 13.
  EXPECT_EQ(Convert(10, 0, 1)[2], 11);
  EXPECT_EQ(Convert(10, 0, 2)[2], 13);
  EXPECT_EQ(Convert(250, 0, 100)[2], 255);
  EXPECT_EQ(Convert(5, 0, -100)[2], 0);
}

TEST(ColorConversion, EdgeMcuWritesOnlyItsColumnsAndSkipsTheRest) {
  // A 250-pixel wide image with 16-pixel MCUs: the last MCU has 10 columns,
  // and the source skips 6 pixels (18 bytes) at the end of each row.
  auto state = NewState(0x22, 1);
  uint8_t source[768];
  for (int i = 0; i < 768; ++i) source[i] = static_cast<uint8_t>(i / 3);
  std::vector<uint8_t> out(250 * 3 * 4, 0xEE);
  WriteMcuPixels(*state, source, out.data() + 240 * 4, 10, 3, 250);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 10; ++c) {
      const uint8_t* p = &out[(r * 250 + 240 + c) * 4];
      const uint8_t expected = static_cast<uint8_t>(r * 16 + c);  // grey copies bytes 0..2
      EXPECT_EQ(p[0], expected);
      EXPECT_EQ(p[3], 0);
    }
    EXPECT_EQ(out[(r * 250 + 239) * 4], 0xEE);  // left of the MCU untouched
  }
}

TEST(Assembly, LumaClampsAndChromaSaturates) {
  int16_t block[64] = {};
  block[0] = -5;
  block[1] = 300;
  block[2] = 77;
  uint8_t buffer[768] = {};
  PlaceLumaBlock(block, buffer, 24);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[3], 255);
  EXPECT_EQ(buffer[6], 77);

  block[0] = -5;
  block[1] = 130;   // saturates to 127 (a wrap would read as -126)
  block[2] = -200;  // saturates to -128
  block[3] = 127;
  block[4] = -128;
  PlaceChromaBlock(block, buffer + 1, 24, 0x11);
  EXPECT_EQ(buffer[1], 0xFB);
  EXPECT_EQ(buffer[4], 127);
  EXPECT_EQ(buffer[7], 0x80);
  EXPECT_EQ(buffer[10], 127);
  EXPECT_EQ(buffer[13], 0x80);
}

TEST(Assembly, ChromaReplicatesOverTheSampledPixels) {
  for (const uint32_t sampling : {0x11u, 0x21u, 0x12u, 0x22u}) {
    const int h = static_cast<int>(sampling >> 4), v = static_cast<int>(sampling & 15);
    const int stride = h * 8 * 3;
    int16_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(i - 32);
    uint8_t buffer[768];
    memset(buffer, 0xEE, sizeof buffer);
    PlaceChromaBlock(block, buffer + 2, stride, sampling);
    for (int y = 0; y < 8 * v; ++y)
      for (int x = 0; x < 8 * h; ++x)
        ASSERT_EQ(buffer[y * stride + x * 3 + 2], static_cast<uint8_t>((y / v) * 8 + (x / h) - 32))
            << sampling << " " << x << "," << y;
    EXPECT_EQ(buffer[0], 0xEE);  // other channels untouched
  }
  // Sampling 0x22: sample (3, 5) lands on pixels (6, 10), (7, 10), (6, 11), (7, 11).
  int16_t block[64] = {};
  block[5 * 8 + 3] = 42;
  uint8_t buffer[768] = {};
  PlaceChromaBlock(block, buffer + 1, 48, 0x22);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x)
      EXPECT_EQ(buffer[y * 48 + x * 3 + 1], (x / 2 == 3 && y / 2 == 5) ? 42 : 0);
}

TEST(Assembly, McuLayoutPlacesLumaBlocksInOrder) {
  for (const uint32_t sampling : {0x11u, 0x21u, 0x12u, 0x22u}) {
    auto state = NewState(sampling, 3);
    const int luma = LumaBlockCount(*state);
    for (int b = 0; b < luma + 2; ++b)
      for (int i = 0; i < 64; ++i) state->blockBuffer[b * 64 + i] = static_cast<int16_t>(b * 10 + 1);
    AssembleMcu(*state);
    const int h = static_cast<int>(sampling >> 4), stride = McuWidth(sampling) * 3;
    for (int y = 0; y < McuHeight(sampling); ++y) {
      for (int x = 0; x < McuWidth(sampling); ++x) {
        const uint8_t* p = &state->mcuPixelBuffer[y * stride + x * 3];
        ASSERT_EQ(p[0], (y / 8 * h + x / 8) * 10 + 1) << sampling;
        ASSERT_EQ(p[1], luma * 10 + 1);
        ASSERT_EQ(p[2], (luma + 1) * 10 + 1);
      }
    }
  }
  auto grey = NewState(0x11, 1);
  grey->blockBuffer[9] = 300;
  AssembleMcu(*grey);
  EXPECT_EQ(grey->mcuPixelBuffer[27], 255);
  EXPECT_EQ(grey->mcuPixelBuffer[28], 255);
  EXPECT_EQ(grey->mcuPixelBuffer[29], 255);
}

}  // namespace
