// Fast MCU output (assembly and colour conversion) against OutputMcu, the
// scalar AssembleMcu followed by WriteMcuPixels: every sampling code, grey,
// partial MCUs at the edges, samples past every clamp, and every Y, Cb, Cr.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "kernels.h"

namespace {

struct Layout {
  int components;
  uint32_t sampling;
};

DecoderState gScalar;
DecoderState gFast;

class OutputKernel : public testing::TestWithParam<::OutputKernel> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported by this processor";
    BuildColorTables(gScalar.colorTables);
    BuildColorTables(gFast.colorTables);
  }

  // One MCU of `layout` from the blocks in gScalar.blockBuffer, written at
  // (1, 1) of a surface `width` pixels wide whose rows are padded by 12
  // bytes; the surfaces, canary bytes around the MCU and in the padding
  // included, must come out the same.
  ::testing::AssertionResult Same(Layout layout, int columns, int rows, uint32_t width) {
    for (DecoderState* s : {&gScalar, &gFast}) {
      s->componentCount = static_cast<uint8_t>(layout.components);
      s->samplingCode = layout.sampling;
      s->width = width;
      s->outputStride = static_cast<size_t>(width) * 4 + 12;
    }
    std::memcpy(gFast.blockBuffer, gScalar.blockBuffer, sizeof gScalar.blockBuffer);
    const size_t rowBytes = static_cast<size_t>(width) * 4 + 12;
    std::vector<uint8_t> expected(rowBytes * 18, 0xA5), actual(rowBytes * 18, 0xA5);
    OutputMcu(gScalar, expected.data() + rowBytes + 4, columns, rows);
    GetParam().run(gFast, actual.data() + rowBytes + 4, columns, rows);
    for (size_t i = 0; i < expected.size(); ++i) {
      if (expected[i] != actual[i]) {
        return ::testing::AssertionFailure()
               << "byte " << i % 4 << " of pixel (" << (i % rowBytes) / 4 << ", " << i / rowBytes << "): scalar "
               << int{expected[i]} << ", fast " << int{actual[i]} << " (sampling " << std::hex << layout.sampling
               << std::dec << ", " << layout.components << " components, " << columns << " x " << rows << ")";
      }
    }
    return ::testing::AssertionSuccess();
  }
};

constexpr Layout kLayouts[] = {{1, 0x11}, {3, 0x11}, {3, 0x12}, {3, 0x21}, {3, 0x22}, {3, 0x41}, {3, 0x42}};

TEST_P(OutputKernel, EverySamplingCodeWithSamplesPastTheClamps) {
  std::mt19937 random(99);
  // Luma in -300..600 passes both ends of 0..255; chroma in -300..300 both
  // ends of -128..127.
  std::uniform_int_distribution<int> wide(-300, 600), chroma(-300, 300), normal(-20, 275);
  for (const Layout layout : kLayouts) {
    const int mcuWidth = McuWidth(layout.sampling), mcuHeight = McuHeight(layout.sampling);
    const int luma = static_cast<int>((layout.sampling >> 4) * (layout.sampling & 15));
    for (int n = 0; n < 3000; ++n) {
      for (int i = 0; i < (luma + 2) * 64; ++i) {
        const bool isChroma = layout.components == 3 && i >= luma * 64;
        gScalar.blockBuffer[i] = static_cast<int16_t>(isChroma ? chroma(random) : (n % 2 ? wide(random) : normal(random)));
      }
      ASSERT_TRUE(Same(layout, mcuWidth, mcuHeight, static_cast<uint32_t>(mcuWidth + 2 + n % 7)));
      // A partial MCU at the right or bottom edge of the picture.
      const int columns = 1 + static_cast<int>(random() % static_cast<unsigned>(mcuWidth));
      const int rows = 1 + static_cast<int>(random() % static_cast<unsigned>(mcuHeight));
      ASSERT_TRUE(Same(layout, columns, rows, static_cast<uint32_t>(columns + 2)));
    }
  }
}

TEST_P(OutputKernel, EveryLumaAndChromaTriple) {
  // Four 8 x 8 MCUs per (Cb, Cr) pair carry Y = 0..255.
  for (int cr = -128; cr <= 127; ++cr) {
    for (int cb = -128; cb <= 127; ++cb) {
      for (int quarter = 0; quarter < 4; ++quarter) {
        for (int i = 0; i < 64; ++i) {
          gScalar.blockBuffer[i] = static_cast<int16_t>(quarter * 64 + i);
          gScalar.blockBuffer[64 + i] = static_cast<int16_t>(cb);
          gScalar.blockBuffer[128 + i] = static_cast<int16_t>(cr);
        }
        ASSERT_TRUE(Same({3, 0x11}, 8, 8, 10)) << "Cb " << cb << " Cr " << cr;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, OutputKernel, testing::ValuesIn(OutputKernels()), KernelName<::OutputKernel>);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(OutputKernel);

// The general output stage: every colour kind, samplings with replication
// by 1 to 4 either way (and chroma above luma), every format, whole and
// partial MCUs, samples past every clamp.
struct Frame {
  const char* name;
  int count;
  uint8_t ids[4];
  uint8_t samplings[4];
  bool adobe;
  uint8_t transform;
};

constexpr Frame kFrames[] = {
    {"grey", 1, {1}, {0x11}, false, 0},
    {"ycc 4x2 with chroma 2x1", 3, {1, 2, 3}, {0x42, 0x21, 0x21}, false, 0},
    {"ycc 1x1 with chroma 2x2", 3, {1, 2, 3}, {0x11, 0x22, 0x22}, false, 0},
    {"ycc 3x2 with chroma 1x2", 3, {1, 2, 3}, {0x32, 0x12, 0x12}, false, 0},
    {"ycc 1x4", 3, {1, 2, 3}, {0x14, 0x11, 0x11}, false, 0},
    {"rgb", 3, {'R', 'G', 'B'}, {0x11, 0x11, 0x11}, false, 0},
    {"rgb 2x1", 3, {1, 2, 3}, {0x21, 0x11, 0x11}, true, 0},
    {"cmyk", 4, {'C', 'M', 'Y', 'K'}, {0x11, 0x11, 0x11, 0x11}, true, 0},
    {"cmyk 2x2", 4, {1, 2, 3, 4}, {0x22, 0x11, 0x11, 0x22}, false, 0},
    {"ycck", 4, {1, 2, 3, 4}, {0x11, 0x11, 0x11, 0x11}, true, 2},
    {"ycck 2x2 with K 2x2", 4, {1, 2, 3, 4}, {0x22, 0x11, 0x11, 0x22}, true, 2},
};

class GeneralOutputKernel : public testing::TestWithParam<::OutputKernel> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported by this processor";
    BuildColorTables(gScalar.colorTables);
    BuildColorTables(gFast.colorTables);
  }
};

TEST_P(GeneralOutputKernel, EveryKindSamplingAndFormat) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> wide(-300, 600), chroma(-300, 300);
  for (const Frame& frame : kFrames) {
    for (DecoderState* s : {&gScalar, &gFast}) {
      s->sawJfif = false;
      s->sawAdobe = frame.adobe;
      s->adobeTransform = frame.transform;
      SetFrameForTests(*s, frame.count, frame.ids, frame.samplings);
    }
    // Grey is both: the output kernels take it in the one-scan decode.
    ASSERT_FALSE(gScalar.kernelLayout && frame.count > 1) << frame.name;
    const int mcuWidth = McuWidth(gScalar.samplingCode), mcuHeight = McuHeight(gScalar.samplingCode);
    const bool cmyk = gScalar.colorKind == kColorCmyk || gScalar.colorKind == kColorYcck;
    for (int n = 0; n < 200; ++n) {
      for (int i = 0; i < gScalar.frameBlockCount * 64; ++i)
        gScalar.blockBuffer[i] = static_cast<int16_t>(n % 3 == 0 ? chroma(random) : wide(random));
      std::memcpy(gFast.blockBuffer, gScalar.blockBuffer, sizeof gScalar.blockBuffer);
      for (int f = 0; f <= (cmyk ? kZfCmyk : kZfGrey); ++f) {
        const auto format = static_cast<ZfFormat>(f);
        // Whole, and a partial MCU at the right or bottom edge.
        const int columns = n % 2 ? mcuWidth : 1 + static_cast<int>(random() % static_cast<unsigned>(mcuWidth));
        const int rows = n % 2 ? mcuHeight : 1 + static_cast<int>(random() % static_cast<unsigned>(mcuHeight));
        const size_t stride = static_cast<size_t>(columns) * FormatBytes(format) + 5;
        std::vector<uint8_t> expected(stride * 33, 0xA5), actual(stride * 33, 0xA5);
        for (DecoderState* s : {&gScalar, &gFast}) {
          s->outputFormat = format;
          s->outputStride = stride;
        }
        OutputMcuGeneral(gScalar, expected.data(), columns, rows);
        GetParam().run(gFast, actual.data(), columns, rows);
        size_t at = 0;
        while (at < expected.size() && expected[at] == actual[at]) ++at;
        ASSERT_EQ(at, expected.size()) << frame.name << ", format " << f << ", " << columns << " x " << rows
                                       << ": byte " << at % stride << " of row " << at / stride;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, GeneralOutputKernel, testing::ValuesIn(GeneralOutputKernels()),
                         KernelName<::OutputKernel>);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(GeneralOutputKernel);

class LineKernel : public testing::TestWithParam<LineConverter> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported by this processor";
    BuildColorTables(gScalar.colorTables);
  }
};

// Lines of every length up to 80 (whole groups of 8 and 16 and every tail),
// every colour kind and format, random samples past every clamp and the
// 16-bit extremes: the same bytes as ConvertLine, and nothing written past
// the line.
TEST_P(LineKernel, EveryKindFormatAndLength) {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> wide(-300, 600);
  constexpr int kLength = 80;
  // Lines readable 8 samples past their end, as the strip's are.
  int16_t samples[kMaxComponents][kLength + 8];
  const int16_t* line[kMaxComponents] = {samples[0], samples[1], samples[2], samples[3]};
  for (const Frame& frame : kFrames) {
    gScalar.sawJfif = false;
    gScalar.sawAdobe = frame.adobe;
    gScalar.adobeTransform = frame.transform;
    SetFrameForTests(gScalar, frame.count, frame.ids, frame.samplings);
    const bool cmyk = gScalar.colorKind == kColorCmyk || gScalar.colorKind == kColorYcck;
    for (int n = 0; n < 20; ++n) {
      for (auto& component : samples)
        for (int16_t& v : component) {
          const int pick = static_cast<int>(random() % 16);
          v = static_cast<int16_t>(pick == 0 ? -32768 : (pick == 1 ? 32767 : wide(random)));
        }
      for (int f = 0; f <= (cmyk ? kZfCmyk : kZfGrey); ++f) {
        gScalar.outputFormat = static_cast<ZfFormat>(f);
        const size_t bytes = FormatBytes(gScalar.outputFormat);
        for (int columns = 0; columns <= kLength; ++columns) {
          std::vector<uint8_t> expected(bytes * kLength + 64, 0xA5), actual(expected);
          ConvertLine(gScalar, line, columns, expected.data());
          GetParam().run(gScalar, line, columns, actual.data());
          size_t at = 0;
          while (at < expected.size() && expected[at] == actual[at]) ++at;
          ASSERT_EQ(at, expected.size()) << frame.name << ", format " << f << ", " << columns << " pixels: byte "
                                         << at;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, LineKernel, testing::ValuesIn(LineConverters()), KernelName<LineConverter>);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LineKernel);

}  // namespace
