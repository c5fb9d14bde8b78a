// Crafted Huffman and quantisation tables: over-subscribed, all codes long,
// empty, more than 256 symbols, symbols the data may not carry, zero
// quantisation, tables cut off by the end of the stream.
//
// The streams are the grey test stream's headers with their Huffman tables
// swapped for crafted ones, over data of zero bytes. Every table here that
// is valid gives the all-zero bit string one meaning: DC difference 0, then
// end of block. So each valid table must reproduce the flat picture of the
// simplest such tables exactly, and its over-subscribed twin must be refused.
#include <gtest/gtest.h>

#include <algorithm>

#include "hostile_support.h"

namespace zentrafold::hostile {
namespace {

struct Table {
  std::vector<int> counts;  // BITS[1..16]
  Bytes symbols;
};

// `count` symbols, the first `first`, the rest cycling through `others`.
Bytes Symbols(size_t count, uint8_t first, const Bytes& others) {
  Bytes out{first};
  for (size_t i = 1; i < count; ++i) out.push_back(others[i % others.size()]);
  return out;
}

std::vector<int> Counts(std::initializer_list<std::pair<int, int>> lengthAndCount) {
  std::vector<int> counts(16, 0);
  for (auto [length, count] : lengthAndCount) counts[length - 1] = count;
  return counts;
}

const Table kDcOneCode{Counts({{1, 1}}), {0x00}};  // "0": difference 0
const Table kAcEobOnly{Counts({{1, 1}}), {0x00}};  // "0": end of block
const Bytes kDcSizes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0};
const Bytes kAcSymbols{0x01, 0x11, 0x23, 0xF0, 0x05, 0x3A, 0x62, 0x00};

// The grey stream's headers with the given DC and AC tables, then `data`.
Bytes GreyStream(const Table& dc, const Table& ac, const Bytes& data) {
  std::vector<Segment> segments = Segments(Split(Stream("grey")).headers);
  std::erase_if(segments, [](const Segment& s) { return s.code == 0xC4; });
  const auto sos = std::find_if(segments.begin(), segments.end(), [](const Segment& s) { return s.code == 0xDA; });
  const Segment dht{0xC4, HuffmanSegment(0x00, dc.counts, dc.symbols)};
  const Segment dhtAc{0xC4, HuffmanSegment(0x10, ac.counts, ac.symbols)};
  segments.insert(segments.insert(sos, dhtAc), dht);
  Bytes out = JoinSegments(segments);
  out.insert(out.end(), data.begin(), data.end());
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

const Bytes kZeroData(64, 0x00);

Outcome Flat() {
  static const Outcome flat = Decode(GreyStream(kDcOneCode, kAcEobOnly, kZeroData), true);
  return flat;
}

TEST(HuffmanTables, FlatReferenceDecodes) {
  const Outcome flat = Flat();
  ASSERT_TRUE(flat.decoded);
  EXPECT_TRUE(std::all_of(flat.bgrx.begin(), flat.bgrx.end(), [&](uint8_t v) { return v == flat.bgrx[0] || v == 0; }));
}

// Pairs of tables alike but for one code: the complete one decodes, the
// over-subscribed one is refused at its DHT segment.
TEST(HuffmanTables, OverSubscribedRefusedCompleteAccepted) {
  std::vector<int> complete16(16, 1);  // one code of each length 1..15, two of length 16: exactly full
  complete16[15] = 2;
  std::vector<int> over16 = complete16;
  over16[15] = 3;
  const Table dcComplete{complete16, Symbols(17, 0, kDcSizes)};
  const Table dcOver{over16, Symbols(18, 0, kDcSizes)};
  EXPECT_EQ(Decode(GreyStream(dcComplete, kAcEobOnly, kZeroData), true).bgrx, Flat().bgrx);
  EXPECT_FALSE(Decode(GreyStream(dcOver, kAcEobOnly, kZeroData)).decoded);
  EXPECT_FALSE(Decode(GreyStream(kDcOneCode, dcOver, kZeroData)).decoded);

  // Short lengths: two codes of length 1 fill the space, three overfill it.
  EXPECT_EQ(Decode(GreyStream({Counts({{1, 2}}), {0, 1}}, kAcEobOnly, kZeroData), true).bgrx, Flat().bgrx);
  EXPECT_FALSE(Decode(GreyStream({Counts({{1, 3}}), {0, 1, 2}}, kAcEobOnly, kZeroData)).decoded);
  EXPECT_FALSE(Decode(GreyStream({Counts({{1, 1}, {2, 3}}), {0, 1, 2, 3}}, kAcEobOnly, kZeroData)).decoded);
  // More than 2^8 codes of length 8 in the prefix table's 256 entries.
  EXPECT_FALSE(Decode(GreyStream({Counts({{7, 100}, {8, 60}}), Symbols(160, 0, kDcSizes)}, kAcEobOnly,
                                 kZeroData)).decoded);
}

// No code of 8 bits or fewer: the prefix table stays empty and every code
// takes the search over lengths from 9.
TEST(HuffmanTables, AllCodesLongerThanEightBits) {
  const Table dc{Counts({{9, 1}, {10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 1}, {15, 1}, {16, 5}}),
                 Symbols(12, 0, kDcSizes)};
  const Table ac{Counts({{9, 1}, {12, 7}, {16, 100}}), Symbols(108, 0x00, kAcSymbols)};
  EXPECT_EQ(Decode(GreyStream(dc, ac, kZeroData), true).bgrx, Flat().bgrx);
  // And over random data, where the long codes meet every kind of symbol.
  Bytes noise(400);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>((i * 97 + 13) ^ (i >> 3));
  Decode(GreyStream(dc, ac, noise));
}

// A table without codes is a valid segment, but no code resolves with it.
TEST(HuffmanTables, EmptyTableRefusesTheData) {
  const Table empty{Counts({}), {}};
  EXPECT_FALSE(Decode(GreyStream(empty, kAcEobOnly, kZeroData)).decoded);
  EXPECT_FALSE(Decode(GreyStream(kDcOneCode, empty, kZeroData)).decoded);
}

// 256 symbols is the most a table holds; 257, and 273 (17 in an 8-bit sum),
// are refused.
TEST(HuffmanTables, SymbolCountLimit) {
  const Table full{Counts({{8, 255}, {9, 1}}), Symbols(256, 0, kDcSizes)};
  EXPECT_EQ(Decode(GreyStream(full, kAcEobOnly, kZeroData), true).bgrx, Flat().bgrx);
  // The last symbol, index 255, is code 111111110: read it from the data.
  Decode(GreyStream(full, kAcEobOnly, Bytes(64, 0xFF)));
  Decode(GreyStream(kDcOneCode, {Counts({{8, 255}, {9, 1}}), Symbols(256, 0, kAcSymbols)}, Bytes(64, 0xFF)));

  EXPECT_FALSE(Decode(GreyStream({Counts({{9, 255}, {10, 2}}), Symbols(257, 0, kDcSizes)}, kAcEobOnly,
                                 kZeroData)).decoded);
  EXPECT_FALSE(Decode(GreyStream({Counts({{9, 255}, {10, 18}}), Symbols(273, 0, kDcSizes)}, kAcEobOnly,
                                 kZeroData)).decoded);
}

// Symbols 8-bit data never carries: DC sizes above 11, AC sizes above 10,
// AC runs past coefficient 63, and runs of zeros other than ZRL.
TEST(HuffmanTables, SymbolsOutsideBaselineRefuseTheData) {
  EXPECT_FALSE(Decode(GreyStream({Counts({{1, 1}}), {12}}, kAcEobOnly, kZeroData)).decoded);
  EXPECT_FALSE(Decode(GreyStream({Counts({{1, 1}}), {0xFF}}, kAcEobOnly, kZeroData)).decoded);
  EXPECT_FALSE(Decode(GreyStream(kDcOneCode, {Counts({{1, 1}}), {0x0B}}, kZeroData)).decoded);
  EXPECT_FALSE(Decode(GreyStream(kDcOneCode, {Counts({{1, 1}}), {0xF1}}, kZeroData)).decoded);  // 16, 33, 50, 67
  EXPECT_FALSE(Decode(GreyStream(kDcOneCode, {Counts({{1, 1}}), {0x50}}, kZeroData)).decoded);
  // ZRL past the end ends the block: four ZRLs from coefficient 1 reach 65.
  // Zero bits always give ZRL here, so every block is just its DC: flat.
  EXPECT_EQ(Decode(GreyStream(kDcOneCode, {Counts({{1, 1}}), {0xF0}}, kZeroData), true).bgrx, Flat().bgrx);
}

// A table whose bytes would run past the end of the stream.
TEST(Tables, RunningPastTheEndOfTheStreamRefused) {
  const Bytes stream = GreyStream({Counts({{9, 200}}), Symbols(200, 0, kDcSizes)}, kAcEobOnly, kZeroData);
  size_t dht = 0;
  for (size_t i = 2; i + 1 < stream.size(); ++i)
    if (stream[i] == 0xFF && stream[i + 1] == 0xC4) { dht = i; break; }
  ASSERT_NE(dht, 0u);
  for (const size_t keep : {size_t{5}, size_t{21}, size_t{22}, size_t{100}, size_t{220}})
    EXPECT_FALSE(Decode(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(dht + keep))).decoded);

  const Bytes grey = Stream("grey");
  for (size_t i = 2; i + 1 < grey.size(); ++i) {
    if (grey[i] == 0xFF && grey[i + 1] == 0xDB) {
      for (const size_t keep : {size_t{4}, size_t{5}, size_t{40}, size_t{68}})
        EXPECT_FALSE(Decode(Bytes(grey.begin(), grey.begin() + static_cast<std::ptrdiff_t>(i + keep))).decoded);
      break;
    }
  }
}

// Quantisation tables of zeros: every coefficient dequantises to 0, so the
// picture is one flat grey, with chroma at its centre.
TEST(Tables, ZeroQuantisationGivesFlatGrey) {
  for (const char* name : {"s22", "s11", "grey"}) {
    std::vector<Segment> segments = Segments(Split(Stream(name)).headers);
    for (Segment& s : segments) {
      if (s.code != 0xDB) continue;
      // Each table: one Pq/Tq byte, then 64 entries.
      for (size_t table = 4; table + 65 <= s.bytes.size(); table += 65)
        std::fill(s.bytes.begin() + static_cast<std::ptrdiff_t>(table + 1),
                  s.bytes.begin() + static_cast<std::ptrdiff_t>(table + 65), 0);
    }
    Bytes stream = JoinSegments(segments);
    const Bytes data = Split(Stream(name)).data;
    stream.insert(stream.end(), data.begin(), data.end());
    stream.insert(stream.end(), {0xFF, 0xD9});
    const Outcome o = Decode(stream, true);
    ASSERT_TRUE(o.decoded) << name;
    for (size_t i = 0; i < o.bgrx.size(); i += 4) {
      ASSERT_EQ(o.bgrx[i], o.bgrx[0]) << name;
      ASSERT_EQ(o.bgrx[i + 1], o.bgrx[0]) << name;
      ASSERT_EQ(o.bgrx[i + 2], o.bgrx[0]) << name;
    }
    EXPECT_NEAR(o.bgrx[0], 128, 1) << name;
  }
}

}  // namespace
}  // namespace zentrafold::hostile
