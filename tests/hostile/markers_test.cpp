// Markers in the entropy-coded data: restart markers out of order or
// replaced by other codes, 0xFF fill runs, EOI early, DNL, unknown codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "hostile_support.h"

namespace zentrafold::hostile {
namespace {

// Offsets of the restart markers (their 0xFF byte) in entropy-coded data.
std::vector<size_t> RestartMarkers(const Bytes& data) {
  std::vector<size_t> found;
  for (size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == 0xFF && data[i + 1] >= 0xD0 && data[i + 1] <= 0xD7) found.push_back(i);
  return found;
}

Bytes Inserted(const Bytes& data, size_t at, const Bytes& what) {
  Bytes out = data;
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), what.begin(), what.end());
  return out;
}

// A stream with a restart interval, and its MCU geometry.
struct RestartCase {
  const char* name;
  size_t interval;  // MCUs
  size_t mcuWidth, mcuHeight;
};

class RestartStreams : public testing::TestWithParam<RestartCase> {
 protected:
  void SetUp() override {
    split = Split(Stream(GetParam().name));
    markers = RestartMarkers(split.data);
    ASSERT_GE(markers.size(), 1u);
    original = Decode(split.Join(), true);
    ASSERT_TRUE(original.decoded);
  }
  SplitStream split;
  std::vector<size_t> markers;
  Outcome original;
};

// With a DRI interval, restarts fall on the interval's boundaries whatever
// code the marker there carries: renumbered RSTn, or codes outside RST0-7,
// decode to the same picture.
TEST_P(RestartStreams, MarkerCodesOutOfOrderOrUnknownDecodeTheSame) {
  std::mt19937 random(7);
  for (const uint8_t fixed : {uint8_t{0}, uint8_t{0x4F}, uint8_t{0xC8}, uint8_t{0xFE}, uint8_t{0x01}}) {
    SplitStream changed = split;
    for (size_t i = 0; i < markers.size(); ++i)
      changed.data[markers[i] + 1] = fixed != 0 ? fixed : static_cast<uint8_t>(0xD0 + random() % 8);
    const Outcome o = Decode(changed.Join(), true);
    ASSERT_TRUE(o.decoded) << "marker code " << int{fixed};
    EXPECT_EQ(o.bgrx, original.bgrx) << "marker code " << int{fixed};
  }
}

// 0xFF fill bytes before a marker are skipped.
TEST_P(RestartStreams, FillRunsBeforeMarkersDecodeTheSame) {
  for (const size_t run : {size_t{1}, size_t{2}, size_t{7}, size_t{40}}) {
    SplitStream filled = split;
    for (size_t i = markers.size(); i-- > 0;) filled.data = Inserted(filled.data, markers[i], Bytes(run, 0xFF));
    const Outcome o = Decode(filled.Join(), true);
    ASSERT_TRUE(o.decoded) << "run " << run;
    EXPECT_EQ(o.bgrx, original.bgrx) << "run " << run;
  }
}

// EOI in place of a restart marker: the intervals before it are decoded as
// before, the rest of the picture from zero bits.
TEST_P(RestartStreams, EarlyEoiKeepsTheIntervalsBeforeIt) {
  const RestartCase& c = GetParam();
  const size_t rowBytes = size_t{original.width} * 4;
  const size_t mcusPerRow = (original.width + c.mcuWidth - 1) / c.mcuWidth;
  for (size_t j = 0; j < markers.size(); ++j) {
    SplitStream cut = split;
    cut.data.resize(markers[j]);
    const Outcome o = Decode(cut.Join(), true);
    ASSERT_TRUE(o.decoded) << "EOI at marker " << j;
    ASSERT_EQ(o.bgrx.size(), original.bgrx.size());
    // The MCU rows that the complete intervals cover.
    const size_t rows = std::min<size_t>((j + 1) * c.interval / mcusPerRow * c.mcuHeight, original.height);
    EXPECT_TRUE(std::equal(o.bgrx.begin(), o.bgrx.begin() + static_cast<std::ptrdiff_t>(rows * rowBytes),
                           original.bgrx.begin()))
        << "EOI at marker " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, RestartStreams,
                         testing::Values(RestartCase{"restart", 10, 16, 16}, RestartCase{"restart1", 1, 8, 8}),
                         [](const testing::TestParamInfo<RestartCase>& info) { return std::string(info.param.name); });

// Markers injected at 150 places in the data of streams with and without a
// restart interval: RSTn, EOI, DNL with its length and line count, unknown
// and reserved codes, and runs of 0xFF. Null or a picture of the frame's
// size, on both paths alike.
TEST(InjectedMarkers, AnywhereInTheData) {
  const std::vector<Bytes> injections = {
      {0xFF, 0xD3},                          // RST3
      {0xFF, 0xD0, 0xFF, 0xD0},              // two restarts at once
      {0xFF, 0xD9},                          // EOI
      {0xFF, 0xDC, 0x00, 0x04, 0x00, 0x2D},  // DNL
      {0xFF, 0x01},                          // TEM
      {0xFF, 0x4F},                          // unknown
      {0xFF, 0xC8},                          // reserved JPG
      {0xFF, 0xE1, 0x00, 0x02},              // APP1, empty
      Bytes(9, 0xFF),                        // fill run
      Bytes(300, 0xFF),                      // long fill run
      {0xFF, 0xFF, 0x00},                    // fill, then a stuffed byte
  };
  std::mt19937 random(99);
  size_t trials = 0, decoded = 0;
  for (const char* name : {"s22", "grey", "restart", "restart1"}) {
    const SplitStream split = Split(Stream(name));
    for (int place = 0; place < 150; ++place) {
      const size_t at = random() % (split.data.size() + 1);
      for (const Bytes& what : injections) {
        SplitStream injected = split;
        injected.data = Inserted(split.data, at, what);
        const Outcome o = Decode(injected.Join());
        ++trials;
        if (o.decoded) {
          ++decoded;
          EXPECT_EQ(o.width, 67u);
          EXPECT_EQ(o.height, 45u);
        }
        ExpectWorkInProportion(o);
      }
    }
  }
  EXPECT_EQ(trials, 4u * 150u * injections.size());
  EXPECT_GT(decoded, 0u);
  RecordProperty("injections", static_cast<int>(trials));
  RecordProperty("decoded", static_cast<int>(decoded));
}

}  // namespace
}  // namespace zentrafold::hostile
