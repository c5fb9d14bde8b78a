// The fixed tables: cosine matrix, colour steps, Huffman lookup tables.
#include <gtest/gtest.h>

#include <cstring>

#include "decoder_state.h"
#include "test_support.h"

namespace {

TEST(CosineTable, KnownRows) {
  CosineTable t;
  BuildCosineTable(t);
  const int16_t row0[8] = {23170, 32138, 30274, 27246, 23170, 18205, 12540, 6393};
  const int16_t row1[8] = {23170, 27246, 12540, -6393, -23170, -32138, -30274, -18205};
  const int16_t row7[8] = {23170, -32138, 30274, -27246, 23170, -18205, 12540, -6393};
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(t[0 * 8 + k], row0[k]) << k;
    EXPECT_EQ(t[1 * 8 + k], row1[k]) << k;
    EXPECT_EQ(t[7 * 8 + k], row7[k]) << k;
  }
  for (int x = 0; x < 8; ++x) EXPECT_EQ(t[x * 8], 23170);
  // Symmetry of the basis: T[7 - x][k] = (-1)^k T[x][k].
  for (int x = 0; x < 8; ++x)
    for (int k = 0; k < 8; ++k) EXPECT_EQ(t[(7 - x) * 8 + k], (k & 1) ? -t[x * 8 + k] : t[x * 8 + k]);
}

TEST(ColorTables, EntriesAreSignedIndexTimesStep) {
  ColorTables c;
  BuildColorTables(c);
  EXPECT_EQ(c.crToR[1], 91881);
  EXPECT_EQ(c.crToR[127], 11668887);
  EXPECT_EQ(c.crToR[255], -91881);
  EXPECT_EQ(c.crToR[128], -128 * 91881);
  EXPECT_EQ(c.crToG[1], 46800);  // not 46801: formed with 32768, then doubled
  EXPECT_EQ(c.cbToG[1], 22553);
  EXPECT_EQ(c.cbToB[1], 116129);
  EXPECT_EQ(c.cbToB[0], 0);
  EXPECT_EQ(c.cbToB[200], (200 - 256) * 116129);
}

// A HuffmanSpec in memory: class byte, BITS[1..16], symbols.
zentrafold::test::Bytes Spec(std::initializer_list<std::pair<int, int>> countsByLength, int symbols) {
  zentrafold::test::Bytes spec(17, 0);
  for (auto [length, count] : countsByLength) spec[length] = static_cast<uint8_t>(count);
  for (int s = 0; s < symbols; ++s) spec.push_back(static_cast<uint8_t>(0x40 + s));
  return spec;
}

TEST(FastLookupTable, TwoCodesOfLengthOneSplitTheTable) {
  const auto spec = Spec({{1, 2}}, 2);
  FastLookupTable t;
  BuildFastTable(spec.data(), t);
  for (int i = 0; i < 128; ++i) {
    EXPECT_EQ(t.length[i], 1);
    EXPECT_EQ(t.symbol[i], 0x40);
  }
  for (int i = 128; i < 256; ++i) {
    EXPECT_EQ(t.length[i], 1);
    EXPECT_EQ(t.symbol[i], 0x41);
  }
}

TEST(FastLookupTable, AllLongCodesLeaveItEmpty) {
  const auto spec = Spec({{9, 4}, {12, 10}, {16, 3}}, 17);
  FastLookupTable t;
  memset(&t, 0xAA, sizeof t);
  BuildFastTable(spec.data(), t);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(t.length[i], 0);
    EXPECT_EQ(t.symbol[i], 0);
  }
}

TEST(FastLookupTable, PrefixesPastTheShortCodesStayZero) {
  // Lengths 2, 3, 3 take prefixes 0..63, 64..95, 96..127; a 9-bit code follows.
  const auto spec = Spec({{2, 1}, {3, 2}, {9, 1}}, 4);
  FastLookupTable t;
  BuildFastTable(spec.data(), t);
  EXPECT_EQ(t.length[0], 2);
  EXPECT_EQ(t.length[63], 2);
  EXPECT_EQ(t.symbol[63], 0x40);
  EXPECT_EQ(t.length[64], 3);
  EXPECT_EQ(t.symbol[95], 0x41);
  EXPECT_EQ(t.symbol[96], 0x42);
  EXPECT_EQ(t.length[127], 3);
  EXPECT_EQ(t.length[128], 0);
  EXPECT_EQ(t.length[255], 0);
}

TEST(CodeLimitTable, AnnexKLuminanceDc) {
  // One code of length 2, five of length 3, one each of lengths 4 to 9.
  const auto spec = Spec({{2, 1}, {3, 5}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}}, 12);
  CodeLimitTable t;
  BuildCodeLimits(spec.data(), t);
  EXPECT_EQ(t.entry[16], -1);  // no code of length 1
  EXPECT_EQ(t.entry[17], 0);   // last code of length 2
  EXPECT_EQ(t.entry[18], 6);   // last code of length 3
  EXPECT_EQ(t.entry[1], 0);    // first code of length 2
  EXPECT_EQ(t.entry[2], 2);    // first code of length 3
  EXPECT_EQ(t.entry[3], 14);   // first code of length 4
  EXPECT_EQ(t.entry[8], 510);  // first code of length 9
  EXPECT_EQ(t.entry[24], 510); // last code of length 9
  EXPECT_EQ(t.entry[25], -1);
  EXPECT_EQ(t.entry[0], 0);
  EXPECT_EQ(t.entry[32], 0);
  EXPECT_EQ(t.entry[33], 0);   // codes shorter than 2
  EXPECT_EQ(t.entry[35], 6);   // codes shorter than 4
  EXPECT_EQ(t.entry[40], 11);  // codes shorter than 9
  EXPECT_EQ(t.entry[41], 12);  // codes shorter than 10
  EXPECT_EQ(t.entry[47], 12);
}

}  // namespace
