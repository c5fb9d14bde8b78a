// EXIF orientation and ICC profiles: segments put into a small stream after
// its SOI, well-formed and broken in the ways files break them. A broken
// Exif segment never fails the decode; broken ICC chunks fail only the
// profile's reading.
#include <gtest/gtest.h>
#include <zentrafold/zentrafold.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using zentrafold::test::Bytes;
using zentrafold::test::ReadData;

// The stream with segments (marker, body) inserted after its SOI.
Bytes WithSegments(const std::vector<std::pair<uint8_t, Bytes>>& segments) {
  const Bytes base = ReadData("size_17x17.jpg");
  Bytes out(base.begin(), base.begin() + 2);
  for (const auto& [marker, body] : segments) {
    const size_t length = body.size() + 2;
    out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    out.insert(out.end(), body.begin(), body.end());
  }
  out.insert(out.end(), base.begin() + 2, base.end());
  return out;
}

// An Exif body: "Exif\0\0" and a TIFF structure of either byte order with
// IFD0 at `ifdOffset` holding `entries` (tag, type, count, value).
struct Entry {
  uint16_t tag, type;
  uint32_t count, value;
};
Bytes ExifBody(bool bigEndian, uint32_t ifdOffset, const std::vector<Entry>& entries, uint32_t nextIfd = 0,
               int declaredEntries = -1) {
  Bytes tiff;
  auto put16 = [&](uint32_t v) {
    if (bigEndian) tiff.insert(tiff.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    else tiff.insert(tiff.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
  };
  auto put32 = [&](uint32_t v) {
    if (bigEndian) { put16(v >> 16); put16(v & 0xFFFF); }
    else { put16(v & 0xFFFF); put16(v >> 16); }
  };
  tiff.insert(tiff.end(), bigEndian ? std::initializer_list<uint8_t>{'M', 'M'} : std::initializer_list<uint8_t>{'I', 'I'});
  put16(42);
  put32(ifdOffset);
  while (tiff.size() < ifdOffset && ifdOffset < 64) tiff.push_back(0);
  put16(declaredEntries < 0 ? static_cast<uint32_t>(entries.size()) : static_cast<uint32_t>(declaredEntries));
  for (const Entry& e : entries) {
    put16(e.tag);
    put16(e.type);
    put32(e.count);
    // A SHORT value sits in the field's first two bytes.
    if (e.type == 3) { put16(e.value); put16(0); } else { put32(e.value); }
  }
  put32(nextIfd);
  Bytes body = {'E', 'x', 'i', 'f', 0, 0};
  for (uint8_t b : tiff) body.push_back(b);
  return body;
}

uint32_t Orientation(const Bytes& stream) {
  ZfInfo info;
  EXPECT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
  // Whatever the segment holds, the picture decodes.
  std::vector<uint8_t> pixels(17 * 17 * 3);
  const ZfOutput out{kZfRgb, pixels.data(), 17 * 3, nullptr, nullptr};
  ZfDecoder* decoder = ZfCreateDecoder(nullptr);
  EXPECT_EQ(ZfDecode(decoder, stream.data(), stream.size(), &out), kZfOk);
  ZfDestroyDecoder(decoder);
  return info.orientation;
}

TEST(ExifTest, OrientationFromIfd0InEitherByteOrder) {
  for (bool big : {false, true}) {
    for (uint32_t o = 1; o <= 8; ++o) {
      const Entry entries[] = {{0x010F, 2, 4, 0}, {0x0112, 3, 1, o}, {0x0131, 2, 4, 0}};
      EXPECT_EQ(Orientation(WithSegments({{0xE1, ExifBody(big, 8, {entries, entries + 3})}})), o);
    }
  }
  EXPECT_EQ(Orientation(ReadData("size_17x17.jpg")), 0u);
  // The first Exif segment counts; an APP1 of another kind is passed over.
  const Bytes xmp = {'h', 't', 't', 'p', ':', '/', '/', 0};
  EXPECT_EQ(Orientation(WithSegments({{0xE1, xmp},
                                      {0xE1, ExifBody(false, 8, {{0x0112, 3, 1, 6}})},
                                      {0xE1, ExifBody(false, 8, {{0x0112, 3, 1, 3}})}})),
            6u);
}

TEST(ExifTest, MalformedSegmentsGiveNoOrientation) {
  const std::vector<Entry> six = {{0x0112, 3, 1, 6}};
  std::vector<Bytes> bodies;
  // IFD0 past the segment, or its entries running past it (entries wholly
  // inside a segment whose count runs past it are still read).
  bodies.push_back(ExifBody(false, 4000, six));
  bodies.push_back(ExifBody(false, 0xFFFFFFF0u, six));
  bodies.push_back(ExifBody(true, 8, six, 0, 0));  // the entry lies beyond the count
  {
    Bytes cut = ExifBody(false, 8, six);
    cut.resize(cut.size() - 10);  // the entry's value lies past the end
    bodies.push_back(cut);
  }
  // IFD0 inside the header, a wrong or mixed byte order, a wrong magic.
  bodies.push_back(ExifBody(false, 2, six));
  {
    Bytes mixed = ExifBody(false, 8, six);
    mixed[6] = 'I';
    mixed[7] = 'M';
    bodies.push_back(mixed);
    Bytes swapped = ExifBody(false, 8, six);
    swapped[6] = swapped[7] = 'M';  // read big-endian, the little-endian fields are nonsense
    bodies.push_back(swapped);
    Bytes magic = ExifBody(true, 8, six);
    magic[9] = 43;
    bodies.push_back(magic);
  }
  // Values out of range, a wrong type, a count other than 1.
  bodies.push_back(ExifBody(false, 8, {{0x0112, 3, 1, 0}}));
  bodies.push_back(ExifBody(false, 8, {{0x0112, 3, 1, 9}}));
  bodies.push_back(ExifBody(false, 8, {{0x0112, 4, 1, 6}}));
  bodies.push_back(ExifBody(false, 8, {{0x0112, 3, 2, 6}}));
  // IFD chains that loop (to IFD0 itself, to the header): only IFD0 is read.
  bodies.push_back(ExifBody(false, 8, {{0x0100, 3, 1, 6}}, 8));
  bodies.push_back(ExifBody(true, 8, {{0x0100, 3, 1, 6}}, 0));
  // Nothing but the identifier, or less.
  bodies.push_back({'E', 'x', 'i', 'f', 0, 0});
  bodies.push_back({'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42});
  for (size_t i = 0; i < bodies.size(); ++i)
    EXPECT_EQ(Orientation(WithSegments({{0xE1, bodies[i]}})), 0u) << "body " << i;
  // A segment whose length runs past the stream's end.
  Bytes stream = ReadData("size_17x17.jpg");
  const Bytes body = ExifBody(false, 8, six);
  Bytes cut(stream.begin(), stream.begin() + 2);
  cut.insert(cut.end(), {0xFF, 0xE1, 0x01, 0x00});
  cut.insert(cut.end(), body.begin(), body.end());
  ZfInfo info;
  EXPECT_EQ(ZfReadInfo(cut.data(), cut.size(), &info), kZfTruncated);
  EXPECT_EQ(info.orientation, 0u);
}

Bytes IccChunk(uint8_t number, uint8_t count, const Bytes& part) {
  Bytes body = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, number, count};
  body.reserve(body.size() + part.size());
  for (uint8_t b : part) body.push_back(b);
  return body;
}

ZfStatus ReadProfile(const Bytes& stream, Bytes& profile) {
  size_t size = 12345;
  const ZfStatus sized = ZfReadIccProfile(stream.data(), stream.size(), nullptr, 0, &size);
  profile.assign(size, 0);
  if (sized != kZfOk) {
    EXPECT_EQ(size, 0u);
    return sized;
  }
  if (size > 0) {
    // One byte short is refused and writes nothing.
    Bytes small(size - 1, 0xEE);
    EXPECT_EQ(ZfReadIccProfile(stream.data(), stream.size(), small.data(), small.size(), &size), kZfBadArgument);
    EXPECT_EQ(small, Bytes(size - 1, 0xEE));
  }
  return ZfReadIccProfile(stream.data(), stream.size(), profile.data(), profile.size(), &size);
}

TEST(IccTest, ChunksAreJoinedInSequenceOrder) {
  Bytes profile;
  // Stored out of order, between other segments.
  const Bytes stream = WithSegments({{0xE2, IccChunk(2, 3, {4, 5})},
                                     {0xE1, ExifBody(false, 8, {{0x0112, 3, 1, 6}})},
                                     {0xE2, IccChunk(1, 3, {1, 2, 3})},
                                     {0xE2, IccChunk(3, 3, {6})}});
  EXPECT_EQ(ReadProfile(stream, profile), kZfOk);
  EXPECT_EQ(profile, (Bytes{1, 2, 3, 4, 5, 6}));
  // A large profile in full 64 KB segments.
  Bytes big;
  std::vector<std::pair<uint8_t, Bytes>> segments;
  for (uint8_t i = 1; i <= 3; ++i) {
    Bytes part(65519, 0);
    for (size_t k = 0; k < part.size(); ++k) part[k] = static_cast<uint8_t>(k * 7 + i);
    big.insert(big.end(), part.begin(), part.end());
    segments.push_back({0xE2, IccChunk(i, 3, part)});
  }
  EXPECT_EQ(ReadProfile(WithSegments(segments), profile), kZfOk);
  EXPECT_EQ(profile, big);
  // None: size 0. An APP2 of another kind is no chunk.
  EXPECT_EQ(ReadProfile(ReadData("size_17x17.jpg"), profile), kZfOk);
  EXPECT_TRUE(profile.empty());
  EXPECT_EQ(ReadProfile(WithSegments({{0xE2, Bytes{'M', 'P', 'F', 0, 1, 2}}}), profile), kZfOk);
  EXPECT_TRUE(profile.empty());
}

TEST(IccTest, MissingRepeatedAndInconsistentChunksAreRefused) {
  Bytes profile;
  const std::vector<std::vector<std::pair<uint8_t, Bytes>>> broken = {
      {{0xE2, IccChunk(1, 2, {1})}},                                  // chunk 2 missing
      {{0xE2, IccChunk(2, 2, {1})}},                                  // chunk 1 missing
      {{0xE2, IccChunk(1, 2, {1})}, {0xE2, IccChunk(1, 2, {2})}},     // chunk 1 twice
      {{0xE2, IccChunk(1, 2, {1})}, {0xE2, IccChunk(2, 3, {2})}},     // counts disagree
      {{0xE2, IccChunk(0, 1, {1})}},                                  // numbered 0
      {{0xE2, IccChunk(2, 1, {1})}},                                  // past its count
      {{0xE2, IccChunk(1, 0, {1})}},                                  // count 0
  };
  for (size_t i = 0; i < broken.size(); ++i)
    EXPECT_EQ(ReadProfile(WithSegments(broken[i]), profile), kZfIccChunks) << "case " << i;
  // The picture still decodes.
  const Bytes stream = WithSegments(broken[2]);
  ZfInfo info;
  EXPECT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
  size_t size = 0;
  EXPECT_EQ(ZfReadIccProfile(nullptr, 0, nullptr, 0, &size), kZfNotJpeg);
  EXPECT_EQ(ZfReadIccProfile(stream.data(), stream.size(), nullptr, 0, nullptr), kZfBadArgument);
  EXPECT_STRNE(ZfStatusText(kZfIccChunks), "unknown status");
}

}  // namespace
