// Limits: frame sizes up to 65535 x 65535 with almost no data, sections the
// memory layer cannot make, and the tool's --max-pixels against headers
// built to slip a frame past it.
#include <zentrafold/decoder.h>
#include <zentrafold/platform_debug.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "hostile_support.h"
#include "test_streams.h"

namespace zentrafold::hostile {
namespace {

// `name`'s headers with the frame size set, then only `dataBytes` bytes of
// its entropy-coded data and EOI.
Bytes Resized(const char* name, uint32_t width, uint32_t height, size_t dataBytes) {
  SplitStream split = Split(Stream(name));
  for (size_t i = 2; i + 8 < split.headers.size(); ++i) {
    if (split.headers[i] == 0xFF && split.headers[i + 1] == 0xC0) {
      split.headers[i + 5] = static_cast<uint8_t>(height >> 8);
      split.headers[i + 6] = static_cast<uint8_t>(height);
      split.headers[i + 7] = static_cast<uint8_t>(width >> 8);
      split.headers[i + 8] = static_cast<uint8_t>(width);
      break;
    }
  }
  split.data.resize(std::min(dataBytes, split.data.size()));
  return split.Join();
}

struct FrameCase {
  uint32_t width, height;
};

class HugeFrames : public testing::TestWithParam<FrameCase> {};

// Frames whose section the memory layer refuses (over 2^31 - 1 bytes): null
// at once, with nothing made.
TEST(HugeFrames, SectionTooLargeRefusedAtOnce) {
  for (const char* name : {"grey", "s22"}) {
    for (const FrameCase f : {FrameCase{65535, 65535}, FrameCase{65535, 8193}, FrameCase{8193, 65535}}) {
      const Outcome o = Decode(Resized(name, f.width, f.height, 8));
      EXPECT_FALSE(o.decoded);
      EXPECT_EQ(o.work.mcus, 0u) << f.width << "x" << f.height;
    }
  }
}

// Frames that fit a section, from a handful of data bytes: the rest of the
// scan decodes from the zeros past the end (or fails), with work that grows
// with the MCUs decoded and nothing more: each MCU is decoded once.
TEST_P(HugeFrames, AlmostNoDataTakesTimeInProportion) {
  const FrameCase f = GetParam();
  for (const char* name : {"grey", "s22"}) {
    const Outcome o = Decode(Resized(name, f.width, f.height, 6));
    if (o.decoded) {
      EXPECT_EQ(o.width, f.width);
      EXPECT_EQ(o.height, f.height);
    }
    // Each MCU once: grey 8 x 8 MCUs, s22 16 x 16 ones, each decoded whole.
    const uint64_t mcuSide = std::string(name) == "grey" ? 8 : 16;
    const uint64_t mcus = ((f.width + mcuSide - 1) / mcuSide) * ((f.height + mcuSide - 1) / mcuSide);
    if (o.decoded) {
      EXPECT_EQ(o.work.mcus, mcus) << name << " " << f.width << "x" << f.height;
    }
    EXPECT_LE(o.work.mcus, mcus) << name << " " << f.width << "x" << f.height;
    ExpectWorkInProportion(o);
  }
}

// The check itself: a decode that went over its frame twice is caught.
TEST(HugeFrames, WorkOutOfProportionIsCaught) {
  Outcome o = Decode(Resized("grey", 1500, 1500, 6));
  ExpectWorkInProportion(o);
  o.work.mcus = o.frameAreas + 1;
  EXPECT_NONFATAL_FAILURE(ExpectWorkInProportion(o), "more MCUs decoded than the frame holds");
  o.work.mcus = o.frameAreas;
  o.work.outputs = o.work.mcus + 1;
  EXPECT_NONFATAL_FAILURE(ExpectWorkInProportion(o), "more MCUs written than decoded");
}

INSTANTIATE_TEST_SUITE_P(Sizes, HugeFrames,
                         testing::Values(FrameCase{65535, 1}, FrameCase{1, 65535}, FrameCase{65535, 17},
                                         FrameCase{17, 65535}, FrameCase{1500, 1500}),
                         [](const testing::TestParamInfo<FrameCase>& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

// The grey stream's headers, with its SOF0 after a DHT segment whose length
// field is `dhtLength` when not 0 (the decoder reads DHT by its tables, not
// its length), and with `decoy` an SOF3 of 1 x 1 before everything (the
// decoder skips frames of a process it does not take, as lossless).
Bytes FrameBehindTables(uint32_t width, uint32_t height, uint16_t dhtLength, bool decoy) {
  const Bytes resized = Resized("grey", width, height, 100000);
  SplitStream split = Split(resized);
  std::vector<Segment> segments = Segments(split.headers);
  const auto frame = std::find_if(segments.begin(), segments.end(), [](const Segment& s) { return s.code == 0xC0; });
  const Segment sof = *frame;
  segments.erase(frame);
  const auto lastDht = std::find_if(segments.rbegin(), segments.rend(), [](const Segment& s) { return s.code == 0xC4; });
  if (dhtLength != 0) {
    lastDht->bytes[2] = static_cast<uint8_t>(dhtLength >> 8);
    lastDht->bytes[3] = static_cast<uint8_t>(dhtLength);
  }
  segments.insert(lastDht.base(), sof);
  if (decoy) {
    Segment sof3 = sof;
    sof3.code = 0xC3;
    sof3.bytes[1] = 0xC3;
    sof3.bytes[5] = 0, sof3.bytes[6] = 1, sof3.bytes[7] = 0, sof3.bytes[8] = 1;
    segments.insert(segments.begin(), sof3);
  }
  Bytes out = JoinSegments(segments);
  out.insert(out.end(), split.data.begin(), split.data.end());
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

// The tool's --max-pixels is the decoder's own limit (ZfOptions.maxPixels),
// applied to the frame the decoder reads. Headers that walk one way by their
// length fields and another by the decoder's reading must not let a frame
// past it.
TEST(MaxPixels, FrameHiddenFromTheLengthWalkIsStillRefused) {
  const std::filesystem::path dir = test::StreamDir();
  struct Case {
    const char* name;
    Bytes stream;
  };
  const Case cases[] = {
      {"lying-dht-length.jpg", FrameBehindTables(1200, 1000, 0xFFF0, false)},
      {"decoy-sof3.jpg", FrameBehindTables(1200, 1000, 0, true)},
  };
  for (const Case& c : cases) {
    const Bytes& stream = c.stream;
    // The decoder itself takes these streams: they are real pictures.
    const Outcome o = Decode(stream);
    ASSERT_TRUE(o.decoded) << c.name;
    ASSERT_EQ(o.width, 1200u);
    test::WriteFile(dir / c.name, stream);
    const test::ToolResult run =
        test::RunTool("--max-pixels 1000000 " + test::Quote(dir / c.name) + " " + test::Quote(dir / "out.ppm"));
    EXPECT_EQ(run.status, 1) << c.name << ": " << run.err;
    EXPECT_NE(run.err.find("1200x1000 (1200000 pixels), limit 1000000 (--max-pixels)"), std::string::npos)
        << c.name << ": " << run.err;
  }
}

// The decompression bomb: a 65535 x 65535 frame in a few hundred bytes is
// refused by the tool's default limit before any decoding.
TEST(MaxPixels, BombRefusedByDefault) {
  const std::filesystem::path path = test::StreamDir() / "bomb.jpg";
  test::WriteFile(path, Resized("s22", 65535, 65535, 16));
  const test::ToolResult run = test::RunTool(test::Quote(path) + " " + test::Quote(test::StreamDir() / "bomb.ppm"));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("65535x65535"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace zentrafold::hostile
