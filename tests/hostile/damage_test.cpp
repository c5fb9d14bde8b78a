// Damaged streams: cut at every length, each header byte replaced, random
// bit flips in the entropy-coded data. None may crash, read or write out of
// bounds (the sanitizer build), leave a section alive, make the fast and
// scalar paths disagree, or do work out of proportion to its picture.
#include <gtest/gtest.h>

#include <random>

#include "hostile_support.h"

namespace zentrafold::hostile {
namespace {

class Truncation : public testing::TestWithParam<const char*> {};

// Every length from 0 to the whole stream: through SOI, each header
// segment, the SOS header and into the data. A stream cut inside its
// headers is refused; one cut inside its data gives a picture of the
// frame's size (the missing bytes read as zeros) or null.
TEST_P(Truncation, EveryLength) {
  const Bytes stream = Stream(GetParam());
  const Bytes headers = Split(stream).headers;
  // The SOS marker: the scan header's length field is the two bytes after it.
  size_t sos = headers.size();
  while (sos >= 2 && !(headers[sos - 2] == 0xFF && headers[sos - 1] == 0xDA)) --sos;
  sos -= 2;
  const Outcome whole = Decode(stream);
  ASSERT_TRUE(whole.decoded);
  size_t pictures = 0;
  for (size_t length = 0; length < stream.size(); ++length) {
    const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
    const Outcome o = Decode(cut);
    // Up to the scan's component count the headers are incomplete; after it
    // the missing bytes read as zeros and a picture may come out.
    if (length <= sos + 4) {
      EXPECT_FALSE(o.decoded) << "cut at " << length;
    }
    if (o.decoded) {
      ++pictures;
      EXPECT_EQ(o.width, whole.width);
      EXPECT_EQ(o.height, whole.height);
    }
    ExpectWorkInProportion(o);
  }
  EXPECT_GT(pictures, 0u);
  RecordProperty("cuts", static_cast<int>(stream.size()));
  RecordProperty("pictures", static_cast<int>(pictures));
}

INSTANTIATE_TEST_SUITE_P(Streams, Truncation, testing::Values("s22", "grey", "restart"));

class HeaderBytes : public testing::TestWithParam<const char*> {};

// Each byte from SOI to the end of the SOS header replaced by 0x00, 0xFF and
// its value plus and minus one.
TEST_P(HeaderBytes, EachReplacedByZeroFfAndNeighbours) {
  const Bytes stream = Stream(GetParam());
  const size_t headerEnd = Split(stream).headers.size();
  size_t trials = 0;
  for (size_t i = 0; i < headerEnd; ++i) {
    const uint8_t original = stream[i];
    for (const uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(original + 1),
                                static_cast<uint8_t>(original - 1)}) {
      if (value == original) continue;
      Bytes mutated = stream;
      mutated[i] = value;
      const Outcome o = Decode(mutated);
      ++trials;
      ExpectWorkInProportion(o);
    }
  }
  EXPECT_GT(trials, 3 * headerEnd);
  RecordProperty("replacements", static_cast<int>(trials));
}

INSTANTIATE_TEST_SUITE_P(Streams, HeaderBytes, testing::Values("s21", "grey"));

// 10,000 single-bit flips over the entropy-coded data of five streams. The
// frame is untouched, so a picture keeps its size.
TEST(BitFlips, TenThousandInEntropyCodedData) {
  std::mt19937 random(20240611);
  const char* const names[] = {"s11", "s12", "s22", "grey", "restart"};
  int decoded = 0, refused = 0;
  for (const char* name : names) {
    const SplitStream split = Split(Stream(name));
    for (int trial = 0; trial < 2000; ++trial) {
      SplitStream flipped = split;
      const size_t bit = random() % (flipped.data.size() * 8);
      flipped.data[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
      const Outcome o = Decode(flipped.Join());
      (o.decoded ? decoded : refused)++;
      if (o.decoded) {
        EXPECT_EQ(o.width, 67u);
        EXPECT_EQ(o.height, 45u);
      }
      ExpectWorkInProportion(o);
    }
  }
  EXPECT_EQ(decoded + refused, 10000);
  RecordProperty("decoded", decoded);
  RecordProperty("refused", refused);
}

}  // namespace
}  // namespace zentrafold::hostile
