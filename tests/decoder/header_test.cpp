// The marker walk, the frame and scan header checks, and the table
// segments: what is accepted, what is refused, and that a refusal after the
// section was made leaves nothing behind.
#include <gtest/gtest.h>
#include <zentrafold/platform_debug.h>

#include <functional>
#include <string>

#include "decoder_state.h"
#include "test_support.h"

namespace {

using zentrafold::test::BitWriter;
using zentrafold::test::Bytes;
using zentrafold::test::BuildStream;
using zentrafold::test::Decode;
using zentrafold::test::FindMarker;
using zentrafold::test::StreamSpec;

// A 16x16 colour stream, sampling 2x2: one MCU of four luma blocks of DC
// difference +3 (then 0), chroma DC 0, all EOB.
Bytes ColourData() {
  BitWriter w;
  for (int b = 0; b < 6; ++b) {
    if (b == 0) {
      w.Put(2, 4);
      w.Put(3, 2);
    } else {
      w.Put(0, 4);
    }
    w.Put(0, 8);
  }
  return w.Take();
}
StreamSpec ColourSpec() { return {16, 16, 3, 0x22, 0}; }
Bytes Colour() { return BuildStream(ColourSpec(), ColourData()); }

Bytes Grey() {
  BitWriter w;
  w.Put(0, 4);
  w.Put(0, 8);
  return BuildStream({8, 8, 1, 0x11, 0}, w.Take());
}

size_t Marker(const Bytes& s, uint8_t code) {
  const size_t at = FindMarker(s, code);
  EXPECT_NE(at, std::string::npos) << "marker " << int{code};
  return at;
}

Bytes Segment(const Bytes& s, size_t at) {
  const size_t length = s[at + 2] << 8 | s[at + 3];
  return Bytes(s.begin() + static_cast<long>(at), s.begin() + static_cast<long>(at + 2 + length));
}

Bytes Insert(Bytes s, size_t at, const Bytes& what) {
  s.insert(s.begin() + static_cast<long>(at), what.begin(), what.end());
  return s;
}

Bytes Set(Bytes s, size_t at, uint8_t value) {
  s[at] = value;
  return s;
}

TEST(Headers, HandMadeStreamsDecode) {
  const auto grey = Decode(Grey());
  ASSERT_TRUE(grey);
  EXPECT_EQ(grey->width, 8);
  EXPECT_EQ(grey->height, 8);
  for (size_t i = 0; i < grey->bgrx.size(); ++i) ASSERT_EQ(grey->bgrx[i], i % 4 == 3 ? 0 : 127);

  const auto colour = Decode(Colour());
  ASSERT_TRUE(colour);
  // Luma DC 3 + 1024 = 1027 gives 128 in every block.
  EXPECT_EQ(colour->bgrx[0], 128);
  EXPECT_EQ(colour->bgrx[(15 * 16 + 15) * 4 + 2], 128);
}

TEST(Headers, RecordDescribesATopDownThirtyTwoBitSection) {
  const Bytes stream = BuildStream({17, 5, 1, 0x11, 0}, Bytes(8, 0x00));
  ImageRecord* image = DecodeImage(stream.data(), stream.size(), nullptr);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->header.biSize, 40u);
  EXPECT_EQ(image->header.biWidth, 17);
  EXPECT_EQ(image->header.biHeight, -5);
  EXPECT_EQ(image->header.biPlanes, 1);
  EXPECT_EQ(image->header.biBitCount, 32);
  EXPECT_EQ(image->header.biCompression, static_cast<DWORD>(BI_RGB));
  EXPECT_EQ(image->header.biSizeImage, 0u);
  EXPECT_EQ(image->header.biClrUsed, 0u);
  EXPECT_NE(image->bits, nullptr);
  EXPECT_TRUE(DeleteObject(image->bitmap));
}

TEST(Headers, WalkAcceptsFillBytesStandaloneMarkersAndOtherSegments) {
  const Bytes base = Colour();
  const auto expected = Decode(base);
  ASSERT_TRUE(expected);
  const size_t sof = Marker(base, 0xC0);
  const std::vector<Bytes> variants = {
      Insert(base, sof, {0xFF, 0xFF, 0xFF}),                    // fill before SOF0
      Insert(base, sof, {0xFF, 0x01, 0xFF, 0xD3, 0xFF, 0xD8}),  // codes with no length
      Insert(base, sof, {0xFF, 0xFE, 0x00, 0x05, 'a', 'b', 'c'}),  // COM
      Insert(base, sof, {0xFF, 0xE1, 0x00, 0x02}),              // empty APP1
      Insert(base, sof, {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x00}),  // DRI of 0: no interval
  };
  for (size_t i = 0; i < variants.size(); ++i) {
    const auto picture = Decode(variants[i]);
    ASSERT_TRUE(picture) << "variant " << i;
    EXPECT_EQ(picture->bgrx, expected->bgrx) << "variant " << i;
  }
  // Without APP0: only a second one is an error.
  const size_t app0 = Marker(base, 0xE0);
  Bytes noApp0 = base;
  noApp0.erase(noApp0.begin() + static_cast<long>(app0), noApp0.begin() + static_cast<long>(app0 + 18));
  EXPECT_TRUE(Decode(noApp0));
}

TEST(Headers, ScanSelectorsAndComponentOrderAreNotRead) {
  const Bytes base = Colour();
  const auto expected = Decode(base);
  ASSERT_TRUE(expected);
  const size_t sos = Marker(base, 0xDA);
  // Components listed 3, 1, 2 and all selecting tables 1/1.
  Bytes scan = base;
  const uint8_t entries[6] = {3, 0x11, 1, 0x11, 2, 0x11};
  for (int i = 0; i < 6; ++i) scan[sos + 5 + i] = entries[i];
  auto picture = Decode(scan);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->bgrx, expected->bgrx);
  // Frame components in the order 1, 3, 2.
  const size_t sof = Marker(base, 0xC0);
  Bytes frame = Set(base, sof + 13, 3);
  frame[sof + 16] = 2;
  picture = Decode(frame);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->bgrx, expected->bgrx);
}

TEST(Headers, GreyFrameUsesOneBlockPerMcuWhateverItsSampling) {
  // A 16x16 grey frame whose component says 2x2 is four MCUs of one block.
  BitWriter w;
  const int sizes[4] = {3, 0, 0, 0};
  for (int b = 0; b < 4; ++b) {
    w.Put(static_cast<uint32_t>(sizes[b]), 4);
    if (b == 0) w.Put(7, 3);
    w.Put(0, 8);
  }
  const Bytes data = w.Take();
  const auto one = Decode(BuildStream({16, 16, 1, 0x11, 0}, data));
  const auto two = Decode(BuildStream({16, 16, 1, 0x22, 0}, data));
  ASSERT_TRUE(one);
  ASSERT_TRUE(two);
  EXPECT_EQ(one->bgrx, two->bgrx);
  // Predicted DC 7 in every block: 1031 -> 128.
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(one->bgrx[(y * 16 + x) * 4], 128);
}

struct Refusal {
  const char* what;
  std::function<Bytes()> make;
};

TEST(Headers, RefusesStreamsOutsideTheProfile) {
  const Bytes colour = Colour();
  const Bytes grey = Grey();
  const size_t sof = Marker(colour, 0xC0);
  const size_t sos = Marker(colour, 0xDA);
  const size_t dht = Marker(colour, 0xC4);
  const size_t dqt = Marker(colour, 0xDB);
  const size_t app0 = Marker(colour, 0xE0);
  const size_t data = zentrafold::test::ScanDataOffset(colour);
  const Bytes dhtSegment = Segment(colour, dht);

  // A DHT table replacing the first one: `counts` at lengths 1.., `symbols` symbols.
  auto withDcTable = [&](std::vector<uint8_t> counts, int symbols) {
    Bytes table{0xFF, 0xC4, 0, 0, 0x00};
    for (int l = 0; l < 16; ++l) table.push_back(l < static_cast<int>(counts.size()) ? counts[l] : 0);
    for (int i = 0; i < symbols; ++i) table.push_back(static_cast<uint8_t>(i));
    table[2] = static_cast<uint8_t>((table.size() - 2) >> 8);
    table[3] = static_cast<uint8_t>(table.size() - 2);
    Bytes s = colour;
    s.erase(s.begin() + static_cast<long>(dht), s.begin() + static_cast<long>(dht + dhtSegment.size()));
    return Insert(s, dht, table);
  };

  const std::vector<Refusal> refusals = {
      {"no SOI", [&] { return Set(colour, 1, 0xD9); }},
      {"empty stream", [&] { return Bytes{}; }},
      {"marker without 0xFF", [&] { return Set(colour, sof, 0x00); }},
      {"second APP0", [&] { return Insert(colour, sof, Segment(colour, app0)); }},
      {"second SOF0", [&] { return Insert(colour, dht, Segment(colour, sof)); }},
      {"12-bit precision", [&] { return Set(colour, sof + 4, 12); }},
      {"zero height", [&] { return Set(Set(colour, sof + 5, 0), sof + 6, 0); }},
      {"zero width", [&] { return Set(Set(colour, sof + 7, 0), sof + 8, 0); }},
      {"two components", [&] { return Set(colour, sof + 9, 2); }},
      {"four components", [&] { return Set(colour, sof + 9, 4); }},
      {"frame length mismatch", [&] { return Set(colour, sof + 3, 18); }},
      {"luma sampling 1x3", [&] { return Set(colour, sof + 11, 0x13); }},
      {"luma sampling 4x4", [&] { return Set(colour, sof + 11, 0x44); }},
      {"luma quantisation table 1", [&] { return Set(colour, sof + 12, 1); }},
      {"chroma sampling 2x1", [&] { return Set(colour, sof + 14, 0x21); }},
      {"chroma quantisation table 0", [&] { return Set(colour, sof + 15, 0); }},
      {"component identifier 4", [&] { return Set(colour, sof + 16, 4); }},
      {"components 1, 2, 2", [&] { return Set(colour, sof + 16, 2); }},
      {"components 2, 3, 2 (no luma)", [&] {
         Bytes s = Set(colour, sof + 10, 2);
         return Set(Set(Set(s, sof + 11, 0x11), sof + 12, 1), sof + 13, 3);
       }},
      {"grey component 2", [&] { return Set(grey, Marker(grey, 0xC0) + 10, 2); }},
      {"Huffman identifier 2", [&] { return Set(colour, dht + 4, 0x02); }},
      {"Huffman table defined twice", [&] { return Insert(colour, dht, dhtSegment); }},
      {"Huffman counts over 256", [&] { return withDcTable({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 255}, 257); }},
      {"Huffman lengths over-subscribed", [&] { return withDcTable({3}, 3); }},
      {"Huffman 8-bit prefixes over-subscribed", [&] { return withDcTable({1, 0, 0, 0, 0, 0, 0, 255}, 256); }},
      {"Huffman table past the end", [&] { return Bytes(colour.begin(), colour.begin() + static_cast<long>(dht + 20)); }},
      {"16-bit quantisation table", [&] { return Set(colour, dqt + 4, 0x10); }},
      {"quantisation identifier 2", [&] { return Set(colour, dqt + 4, 0x02); }},
      {"quantisation table defined twice", [&] { return Insert(colour, dqt, Segment(colour, dqt)); }},
      {"quantisation table past the end", [&] { return Bytes(colour.begin(), colour.begin() + static_cast<long>(dqt + 40)); }},
      {"SOS before the frame", [&] {
         Bytes s = colour;
         const Bytes frame = Segment(s, sof);
         s.erase(s.begin() + static_cast<long>(sof), s.begin() + static_cast<long>(sof + frame.size()));
         return Insert(s, Marker(s, 0xDA) + 14 + 4 + 0, frame);  // after the SOS header
       }},
      {"SOS without chroma AC table", [&] {
         Bytes s = colour;
         size_t at = dht;
         for (int i = 0; i < 3; ++i) at += Segment(s, at).size();  // the fourth DHT: AC 1
         const size_t n = Segment(s, at).size();
         s.erase(s.begin() + static_cast<long>(at), s.begin() + static_cast<long>(at + n));
         return s;
       }},
      {"SOS length mismatch", [&] { return Set(colour, sos + 3, 10); }},
      {"SOS component count mismatch", [&] { return Set(colour, sos + 4, 1); }},
      {"marker in the first four data bytes", [&] { return Insert(colour, data + 1, {0xFF, 0xD0}); }},
      {"EOI before SOS", [&] { return Insert(colour, sof, {0xFF, 0xD9}); }},
      {"progressive frame", [&] { return Set(colour, sof + 1, 0xC2); }},
      {"stream ends before SOS", [&] { return Bytes(colour.begin(), colour.begin() + static_cast<long>(sos)); }},
  };
  const int live = ZentrafoldLiveGdiObjects();
  for (const Refusal& r : refusals) {
    const Bytes stream = r.make();
    EXPECT_EQ(DecodeImage(stream.data(), stream.size(), nullptr), nullptr) << r.what;
    EXPECT_EQ(ZentrafoldLiveGdiObjects(), live) << r.what;
  }
  // The untouched streams pass, with their AC tables of 256 symbols.
  EXPECT_TRUE(Decode(colour));
  EXPECT_TRUE(Decode(grey));
}

TEST(Headers, FailureAfterTheSectionLeavesNothing) {
  // Damage the data: a marker that no reload accepts follows MCU 1 of 4.
  BitWriter w;
  w.Put(0, 4);
  w.Put(0, 8);
  w.Put(0, 4);
  w.Put(0, 8);
  Bytes data = w.Take(false);
  data.resize(4, 0);
  data.insert(data.end(), {0xFF, 0xD0, 0xFF, 0x42, 0, 0, 0, 0});
  const Bytes stream = BuildStream({32, 8, 1, 0x11, 0}, data);
  const int live = ZentrafoldLiveGdiObjects();
  EXPECT_EQ(DecodeImage(stream.data(), stream.size(), nullptr), nullptr);
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), live);
  // The next decode starts afresh.
  EXPECT_TRUE(Decode(Grey()));
}

TEST(Headers, FrameTooLargeForASectionIsRefused) {
  // 65535 x 65535 x 4 bytes is past what a section may hold.
  const Bytes stream = BuildStream({65535, 65535, 1, 0x11, 0}, Bytes(8, 0));
  const int live = ZentrafoldLiveGdiObjects();
  EXPECT_EQ(DecodeImage(stream.data(), stream.size(), nullptr), nullptr);
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), live);
}

}  // namespace
