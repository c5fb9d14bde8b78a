// Views through the C API: reduced sizes, regions and turned pictures
// against the plain decode, exact where the same pixels must come (a region
// is a crop of its whole view, a turned view a rotation of the unturned
// one, bands the whole picture's rows), close where a reduction stands for
// an average; the refusals of views a picture cannot give; EXIF
// orientation and ICC chunks, well-formed and not.
#include <gtest/gtest.h>
#include <zentrafold/zentrafold.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using zentrafold::test::Bytes;
using zentrafold::test::ReadData;

struct Decoder {
  ZfDecoder* decoder = ZfCreateDecoder(nullptr);
  ~Decoder() { ZfDestroyDecoder(decoder); }
};

struct Image {
  ZfStatus status = kZfBadArgument;
  uint32_t width = 0, height = 0, bytes = 0;
  Bytes pixels;  // packed rows
  uint8_t* At(uint32_t x, uint32_t y) { return &pixels[(static_cast<size_t>(y) * width + x) * bytes]; }
  const uint8_t* At(uint32_t x, uint32_t y) const { return &pixels[(static_cast<size_t>(y) * width + x) * bytes]; }
};

Image DecodeView(const Bytes& stream, const ZfView& view, ZfFormat format = kZfRgb) {
  Image image;
  ZfInfo info;
  EXPECT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
  EXPECT_EQ(ZfViewSize(&info, &view, &image.width, &image.height), kZfOk);
  image.bytes = ZfBytesPerPixel(format);
  // A canary row after the picture catches writes past it.
  image.pixels.assign((static_cast<size_t>(image.height) + 1) * image.width * image.bytes, 0xA5);
  const ZfOutput out{format, image.pixels.data(), static_cast<size_t>(image.width) * image.bytes, nullptr, nullptr};
  Decoder d;
  image.status = ZfDecodeView(d.decoder, stream.data(), stream.size(), &out, &view);
  for (size_t i = image.pixels.size() - static_cast<size_t>(image.width) * image.bytes; i < image.pixels.size(); ++i)
    EXPECT_EQ(image.pixels[i], 0xA5) << "written past the picture";
  image.pixels.resize(image.pixels.size() - static_cast<size_t>(image.width) * image.bytes);
  return image;
}

// The picture stored with EXIF orientation `o`, turned upright by hand.
Image TurnUpright(Image stored, uint32_t o) {
  Image up;
  up.status = stored.status;
  up.bytes = stored.bytes;
  const uint32_t W = stored.width, H = stored.height;
  up.width = o >= 5 ? H : W;
  up.height = o >= 5 ? W : H;
  up.pixels.resize(stored.pixels.size());
  for (uint32_t v = 0; v < up.height; ++v) {
    for (uint32_t u = 0; u < up.width; ++u) {
      uint32_t x = u, y = v;
      switch (o) {
        case 2: x = W - 1 - u; break;
        case 3: x = W - 1 - u; y = H - 1 - v; break;
        case 4: y = H - 1 - v; break;
        case 5: x = v; y = u; break;
        case 6: x = v; y = H - 1 - u; break;
        case 7: x = W - 1 - v; y = H - 1 - u; break;
        case 8: x = W - 1 - v; y = u; break;
        default: break;
      }
      memcpy(up.At(u, v), stored.At(x, y), stored.bytes);
    }
  }
  return up;
}

Image Crop(Image whole, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  Image part;
  part.status = whole.status;
  part.bytes = whole.bytes;
  part.width = w;
  part.height = h;
  for (uint32_t row = y; row < y + h; ++row)
    part.pixels.insert(part.pixels.end(), whole.At(x, row), whole.At(x, row) + static_cast<size_t>(w) * whole.bytes);
  return part;
}

// Streams with partial MCUs at both edges, every sampling the kernels take
// and several they do not, grey, CMYK-family and a picture in several scans.
const char* const kStreams[] = {
    "size_17x17.jpg",
    "size_250x40.jpg",
    "size_1x1.jpg",
    "grey.jpg",
    "sample_2x2.jpg",
    "sequential/sample_3x2_35x19.jpg",
    "sequential/luma_1x1_cb_1x2_cr_2x1.jpg",
    "sequential/sample_4x1_320x200.jpg",
    "sequential/scans_one_each_320x200.jpg",
    "sequential/ycck_imagemagick_320x200.jpg",
};
const uint32_t kScales[] = {1, 2, 4, 8};

TEST(ViewTest, TurnedViewsAreRotationsOfTheUnturnedOneAtEveryScale) {
  for (const char* name : kStreams) {
    const Bytes stream = ReadData(name);
    for (uint32_t scale : kScales) {
      for (ZfFormat format : {kZfRgb, kZfGrey, kZfBgrx}) {
        const Image stored = DecodeView(stream, ZfView{scale, 1, 0, 0, 0, 0}, format);
        ASSERT_EQ(stored.status, kZfOk) << name;
        for (uint32_t o = 2; o <= 8; ++o) {
          const Image turned = DecodeView(stream, ZfView{scale, o, 0, 0, 0, 0}, format);
          const Image expected = TurnUpright(stored, o);
          ASSERT_EQ(turned.status, kZfOk);
          ASSERT_EQ(turned.width, expected.width);
          ASSERT_EQ(turned.height, expected.height);
          EXPECT_TRUE(turned.pixels == expected.pixels) << name << " scale 1/" << scale << " orientation " << o
                                                        << " format " << format;
        }
      }
    }
  }
}

TEST(ViewTest, RegionsAreCropsOfTheirWholeView) {
  for (const char* name : kStreams) {
    const Bytes stream = ReadData(name);
    for (uint32_t scale : kScales) {
      for (uint32_t o : {1u, 3u, 6u, 7u}) {
        const Image whole = DecodeView(stream, ZfView{scale, o, 0, 0, 0, 0});
        ASSERT_EQ(whole.status, kZfOk);
        const uint32_t W = whole.width, H = whole.height;
        // On MCU boundaries (16 and 8 in full pixels, reduced), a pixel off
        // them, single pixels at each corner, and the whole picture.
        struct Rect { uint32_t x, y, w, h; };
        std::vector<Rect> rects = {{0, 0, 1, 1}, {W - 1, H - 1, 1, 1}, {W - 1, 0, 1, H}, {0, H - 1, W, 1}, {0, 0, W, H}};
        for (uint32_t m : {8u, 16u}) {
          const uint32_t step = m / scale == 0 ? 1 : m / scale;
          for (int off = -1; off <= 1; ++off) {
            const int64_t x = static_cast<int64_t>(step) + off, y = static_cast<int64_t>(step) + off;
            if (x < 0 || y < 0 || x >= W || y >= H) continue;
            rects.push_back({static_cast<uint32_t>(x), static_cast<uint32_t>(y), W - static_cast<uint32_t>(x),
                             (H - static_cast<uint32_t>(y) + 1) / 2});
            rects.push_back({static_cast<uint32_t>(x) / 2, static_cast<uint32_t>(y), (W - static_cast<uint32_t>(x)) / 2 + 1,
                             H - static_cast<uint32_t>(y)});
          }
        }
        for (const Rect& r : rects) {
          if (r.w == 0 || r.h == 0 || r.x + r.w > W || r.y + r.h > H) continue;
          const Image part = DecodeView(stream, ZfView{scale, o, r.x, r.y, r.w, r.h});
          ASSERT_EQ(part.status, kZfOk);
          EXPECT_TRUE(part.pixels == Crop(whole, r.x, r.y, r.w, r.h).pixels)
              << name << " scale 1/" << scale << " orientation " << o << " region " << r.x << "," << r.y << " "
              << r.w << "x" << r.h;
        }
      }
    }
  }
}

// What band mode hands on, joined, with the first rows it named.
struct Bands {
  Bytes rows;
  uint32_t rowBytes = 0;
  uint32_t nextRow = 0;
  bool ordered = true;
};

int TakeBand(void* context, const uint8_t* rows, size_t stride, uint32_t firstRow, uint32_t rowCount) {
  auto& bands = *static_cast<Bands*>(context);
  bands.ordered = bands.ordered && firstRow == bands.nextRow && rowCount > 0;
  bands.nextRow = firstRow + rowCount;
  for (uint32_t r = 0; r < rowCount; ++r) bands.rows.insert(bands.rows.end(), rows + r * stride, rows + r * stride + bands.rowBytes);
  return 0;
}

TEST(ViewTest, BandsOfAViewJoinToTheWholeView) {
  for (const char* name : kStreams) {
    const Bytes stream = ReadData(name);
    ZfInfo info;
    ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
    for (uint32_t scale : kScales) {
      const Image whole = DecodeView(stream, ZfView{scale, 1, 0, 0, 0, 0});
      for (const ZfView& view : {ZfView{scale, 1, 0, 0, 0, 0}, ZfView{scale, 0, whole.width / 3, whole.height / 3,
                                                                       whole.width - whole.width / 3, (whole.height + 2) / 3}}) {
        uint32_t w = 0, h = 0;
        ASSERT_EQ(ZfViewSize(&info, &view, &w, &h), kZfOk);
        Bands bands;
        bands.rowBytes = w * 3;
        Bytes band(static_cast<size_t>(ZfBandRows(&info)) * w * 3);
        const ZfOutput out{kZfRgb, band.data(), static_cast<size_t>(w) * 3, TakeBand, &bands};
        Decoder d;
        ASSERT_EQ(ZfDecodeView(d.decoder, stream.data(), stream.size(), &out, &view), kZfOk);
        EXPECT_TRUE(bands.ordered);
        EXPECT_EQ(bands.nextRow, h);
        EXPECT_TRUE(bands.rows == Crop(whole, view.x, view.y, w, h).pixels) << name << " scale 1/" << scale;
      }
    }
  }
}

// A reduced picture is the mean of each scale x scale square of the full
// one, but for rounding and for chroma replicated before it is averaged.
TEST(ViewTest, ReducedPicturesFollowTheMeansOfTheFullOne) {
  for (const char* name : kStreams) {
    const Bytes stream = ReadData(name);
    const Image full = DecodeView(stream, ZfView{1, 1, 0, 0, 0, 0}, kZfGrey);
    for (uint32_t scale : {2u, 4u, 8u}) {
      Image reduced = DecodeView(stream, ZfView{scale, 1, 0, 0, 0, 0}, kZfGrey);
      ASSERT_EQ(reduced.width, (full.width + scale - 1) / scale);
      ASSERT_EQ(reduced.height, (full.height + scale - 1) / scale);
      double total = 0;
      uint32_t squares = 0;
      // Whole squares only: a partial block's mean also counts the samples
      // an encoder put past the picture's edge.
      for (uint32_t y = 0; (y + 1) * scale <= full.height; ++y) {
        for (uint32_t x = 0; (x + 1) * scale <= full.width; ++x) {
          double sum = 0;
          for (uint32_t fy = y * scale; fy < (y + 1) * scale; ++fy)
            for (uint32_t fx = x * scale; fx < (x + 1) * scale; ++fx) sum += *full.At(fx, fy);
          total += std::abs(sum / (scale * scale) - *reduced.At(x, y));
          ++squares;
        }
      }
      if (squares == 0) continue;
      const double average = total / squares;
      // Layout faults (a misplaced block, a wrong replication) give 15 and more.
      EXPECT_LT(average, 1.5) << name << " scale 1/" << scale;
    }
  }
}

TEST(ViewTest, RefusesViewsThePictureCannotGive) {
  const Bytes stream = ReadData("size_250x40.jpg");
  ZfInfo info;
  ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
  uint32_t w = 0, h = 0;
  EXPECT_EQ(ZfViewSize(&info, nullptr, &w, &h), kZfOk);
  EXPECT_EQ(w, 250u);
  ZfView turned{8, 6, 0, 0, 0, 0};
  EXPECT_EQ(ZfViewSize(&info, &turned, &w, &h), kZfOk);
  EXPECT_EQ(w, 5u);  // 40 / 8
  EXPECT_EQ(h, 32u);  // 250 / 8 rounded up
  const ZfView bad[] = {
      {3, 0, 0, 0, 0, 0},     // no such scale
      {16, 0, 0, 0, 0, 0},
      {1, 9, 0, 0, 0, 0},     // no such orientation
      {1, 0, 250, 0, 1, 1},   // starts past the right edge
      {1, 0, 0, 0, 251, 1},   // wider than the picture
      {1, 0, 0, 39, 1, 2},    // past the bottom
      {2, 0, 0, 0, 126, 1},   // wider than the reduced picture (125)
      {1, 6, 0, 0, 41, 1},    // wider than the turned picture (40)
      {1, 0, 0, 0, 5, 0},     // one side 0
      {1, 0, 3, 0, 0, 0},     // an origin without a size
      {1, 0, 0xFFFFFFFFu, 0, 2, 1},  // sums that wrap
  };
  Bytes pixels(250 * 40 * 4);
  Decoder d;
  for (const ZfView& view : bad) {
    EXPECT_EQ(ZfViewSize(&info, &view, &w, &h), kZfBadArgument) << view.scale << " " << view.x << " " << view.width;
    const ZfOutput out{kZfBgrx, pixels.data(), 250 * 4, nullptr, nullptr};
    EXPECT_EQ(ZfDecodeView(d.decoder, stream.data(), stream.size(), &out, &view), kZfBadArgument);
  }
  // A stride too small for the region, and bands of a turned picture.
  const ZfView region{1, 0, 10, 0, 100, 10};
  const ZfOutput narrow{kZfRgb, pixels.data(), 299, nullptr, nullptr};
  EXPECT_EQ(ZfDecodeView(d.decoder, stream.data(), stream.size(), &narrow, &region), kZfBadArgument);
  const ZfOutput enough{kZfRgb, pixels.data(), 300, nullptr, nullptr};
  EXPECT_EQ(ZfDecodeView(d.decoder, stream.data(), stream.size(), &enough, &region), kZfOk);
  Bands bands;
  const ZfOutput banded{kZfRgb, pixels.data(), 250 * 3, TakeBand, &bands};
  EXPECT_EQ(ZfDecodeView(d.decoder, stream.data(), stream.size(), &banded, &turned), kZfBadArgument);
  // A plain decode after a view is a plain decode again.
  Bytes plain(250 * 40 * 3), viewed(250 * 40 * 3);
  const ZfOutput whole{kZfRgb, plain.data(), 250 * 3, nullptr, nullptr};
  ASSERT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &whole), kZfOk);
  Decoder fresh;
  const ZfOutput other{kZfRgb, viewed.data(), 250 * 3, nullptr, nullptr};
  ASSERT_EQ(ZfDecode(fresh.decoder, stream.data(), stream.size(), &other), kZfOk);
  EXPECT_EQ(plain, viewed);
}

// A region's decode stops after its last MCU row: a stream cut below the
// region decodes whole and undamaged.
TEST(ViewTest, ARegionNeedsOnlyTheDataUpToItsLastMcuRow) {
  const Bytes stream = ReadData("sequential/sample_4x1_320x200.jpg");
  const ZfView top{1, 0, 0, 0, 320, 8};
  const Image whole = DecodeView(stream, top);
  ASSERT_EQ(whole.status, kZfOk);
  // Cut the data in half: rows 0..7 lie well before it.
  const size_t data = zentrafold::test::ScanDataOffset(stream);
  const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(data + (stream.size() - data) / 2));
  const Image part = DecodeView(cut, top);
  EXPECT_EQ(part.status, kZfOk);
  EXPECT_EQ(part.pixels, whole.pixels);
  const Image bottom = DecodeView(cut, ZfView{1, 0, 0, 192, 320, 8});
  EXPECT_EQ(bottom.status, kZfDamaged);
}

}  // namespace
