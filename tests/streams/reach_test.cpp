// What the C API opens beyond the bitmap entry's profile: golden hashes of
// every committed stream in RGB (and CMYK where the stream has it), pictures
// in several scans against their one-scan sources, and the whole-picture
// memory those take: counted, limited, kept or given by the caller.
#include <gtest/gtest.h>
#include <zentrafold/zentrafold.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "golden_hashes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using zentrafold::test::Bytes;
using zentrafold::test::ReadData;

struct Decoded {
  ZfStatus status = kZfOk;
  uint32_t width = 0, height = 0;
  Bytes pixels;
};

Decoded DecodeApi(ZfDecoder* decoder, const Bytes& stream, ZfFormat format) {
  Decoded d;
  ZfInfo info;
  d.status = ZfReadInfo(stream.data(), stream.size(), &info);
  if (d.status != kZfOk) return d;
  d.width = info.width;
  d.height = info.height;
  const size_t bytes = ZfBytesPerPixel(format);
  d.pixels.assign(size_t{info.width} * info.height * bytes, 0xEE);
  const ZfOutput out{format, d.pixels.data(), info.width * bytes, nullptr, nullptr};
  d.status = ZfDecode(decoder, stream.data(), stream.size(), &out);
  return d;
}

Decoded DecodeApi(const Bytes& stream, ZfFormat format, uint32_t threads = 1) {
  ZfOptions options{};
  options.threads = threads;
  ZfDecoder* decoder = ZfCreateDecoder(&options);
  Decoded d = DecodeApi(decoder, stream, format);
  ZfDestroyDecoder(decoder);
  return d;
}

std::string Hash(const Decoded& d) {
  std::ostringstream s;
  s << d.width << 'x' << d.height << ':' << std::hex << zentrafold::test::Fnv1a(d.pixels);
  return s.str();
}

// Golden hashes of the C API's decodes: FNV-1a 64 of the RGB bytes, and of
// the CMYK bytes of CMYK and YCCK streams. Refresh with
// ZENTRAFOLD_UPDATE_HASHES=1 after a deliberate change of output. The same
// test runs forced scalar (a second ctest entry), so the fast paths and the
// scalar ones are held to the same bytes.
TEST(ApiHashes, EveryCommittedStreamTheApiOpens) {
  const fs::path file = zentrafold::test::DataDir() / "api_hashes.txt";
  std::map<std::string, std::string> actual;
  for (const auto& entry : fs::recursive_directory_iterator(zentrafold::test::DataDir())) {
    if (entry.path().extension() != ".jpg") continue;
    const std::string name = fs::relative(entry.path(), zentrafold::test::DataDir()).generic_string();
    const Bytes stream = zentrafold::test::ReadFile(entry.path());
    ZfInfo info;
    if (ZfReadInfo(stream.data(), stream.size(), &info) != kZfOk) continue;
    for (uint32_t threads : {1u, 2u}) {
      const Decoded rgb = DecodeApi(stream, kZfRgb, threads);
      ASSERT_EQ(rgb.status, kZfOk) << name;
      actual[name + "/rgb"] = Hash(rgb);
      if (info.colorSpace == kZfColorCmyk || info.colorSpace == kZfColorYcck) {
        const Decoded cmyk = DecodeApi(stream, kZfCmyk, threads);
        ASSERT_EQ(cmyk.status, kZfOk) << name;
        actual[name + "/cmyk"] = Hash(cmyk);
      }
    }
  }
  if (zentrafold::test::CompareOrUpdateHashes(file, actual)) GTEST_SKIP() << "hashes rewritten to " << file;
}

// Lossless rewrites in several scans decode to their sources' bytes, whole
// and in bands, in every format, on one thread and two.
TEST(SeveralScans, DecodeToTheirSourcesBytes) {
  const std::pair<const char*, const char*> pairs[] = {{"sequential/scans_one_each_320x200.jpg", "sample_2x2.jpg"},
                                                       {"sequential/scans_two_one_restart_320x200.jpg", "sample_2x1.jpg"}};
  for (const auto& [scans, source] : pairs) {
    const Bytes stream = ReadData(scans);
    ZfInfo info;
    ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk) << scans;
    EXPECT_LT(info.scanComponents, info.components);
    EXPECT_GT(info.workBytes, 0u);
    for (ZfFormat format : {kZfBgrx, kZfRgbx, kZfBgra, kZfRgba, kZfBgr, kZfRgb, kZfGrey}) {
      for (uint32_t threads : {1u, 2u}) {
        const Decoded expected = DecodeApi(ReadData(source), format, threads);
        const Decoded actual = DecodeApi(stream, format, threads);
        ASSERT_EQ(actual.status, kZfOk) << scans;
        EXPECT_TRUE(actual.pixels == expected.pixels) << scans << " format " << format << " threads " << threads;
      }
    }
  }
}

// The store's size: every component's blocks over the MCU grid, 128 bytes
// a block. 320x200 at 2x1: 20 x 13 MCUs of 2 + 1 + 1 blocks.
TEST(SeveralScans, WorkBytesCountTheBlocksOfTheMcuGrid) {
  const Bytes stream = ReadData("sequential/scans_two_one_restart_320x200.jpg");
  ZfInfo info;
  ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
  EXPECT_EQ(info.samplingCode, 0x21u);
  EXPECT_EQ(info.workBytes, uint64_t{20} * 25 * 4 * 128);
  const Bytes one = ReadData("sample_2x1.jpg");
  ASSERT_EQ(ZfReadInfo(one.data(), one.size(), &info), kZfOk);
  EXPECT_EQ(info.workBytes, 0u);
}

TEST(SeveralScans, LimitRefusesBeforeWritingAndCallerMemoryIsUsed) {
  const Bytes stream = ReadData("sequential/scans_one_each_320x200.jpg");
  ZfInfo info;
  ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
  Bytes pixels(size_t{info.width} * info.height * 3, 0x5A);
  const ZfOutput out{kZfRgb, pixels.data(), info.width * 3, nullptr, nullptr};

  ZfOptions options{};
  options.maxWorkBytes = info.workBytes - 1;
  ZfDecoder* limited = ZfCreateDecoder(&options);
  EXPECT_EQ(ZfDecode(limited, stream.data(), stream.size(), &out), kZfWorkTooLarge);
  EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 0x5A; }));
  // A one-scan stream needs none and still decodes.
  const Bytes single = ReadData("sample_2x2.jpg");
  EXPECT_EQ(ZfDecode(limited, single.data(), single.size(), &out), kZfOk);
  // The caller's block replaces the limit: too small refuses, enough works
  // at any alignment.
  std::vector<uint8_t> block(info.workBytes + 64);
  ASSERT_EQ(ZfSetWorkMemory(limited, block.data() + 1, info.workBytes - 1), kZfOk);
  EXPECT_EQ(ZfDecode(limited, stream.data(), stream.size(), &out), kZfWorkTooLarge);
  ASSERT_EQ(ZfSetWorkMemory(limited, block.data() + 3, info.workBytes + 40), kZfOk);
  EXPECT_EQ(ZfDecode(limited, stream.data(), stream.size(), &out), kZfOk);
  const Decoded source = DecodeApi(ReadData("sample_2x2.jpg"), kZfRgb);
  EXPECT_TRUE(pixels == source.pixels);
  // Back to the decoder's own memory: the limit holds again.
  ASSERT_EQ(ZfSetWorkMemory(limited, nullptr, 0), kZfOk);
  EXPECT_EQ(ZfDecode(limited, stream.data(), stream.size(), &out), kZfWorkTooLarge);
  ZfDestroyDecoder(limited);
}

// Cut short, a picture in several scans is the picture of the scans that
// came: damaged, never refused, and the components that never came are
// zero (mid grey luma, neutral chroma).
TEST(SeveralScans, CutStreamsGiveTheScansThatCame) {
  const Bytes stream = ReadData("sequential/scans_one_each_320x200.jpg");
  std::vector<size_t> sos;
  for (size_t i = 0; i + 1 < stream.size(); ++i)
    if (stream[i] == 0xFF && stream[i + 1] == 0xDA) sos.push_back(i);
  ASSERT_EQ(sos.size(), 3u);
  const Decoded whole = DecodeApi(stream, kZfGrey);
  // Cut just before the second scan: the luma is whole, the chroma neutral.
  const Bytes lumaOnly(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(sos[1]));
  const Decoded grey = DecodeApi(lumaOnly, kZfGrey);
  EXPECT_EQ(grey.status, kZfDamaged);
  EXPECT_TRUE(grey.pixels == whole.pixels);
  const Decoded rgb = DecodeApi(lumaOnly, kZfRgb);
  ASSERT_EQ(rgb.status, kZfDamaged);
  for (size_t i = 0; i < rgb.pixels.size(); i += 3) {
    ASSERT_EQ(rgb.pixels[i], grey.pixels[i / 3]) << i;
    ASSERT_EQ(rgb.pixels[i + 1], grey.pixels[i / 3]) << i;
    ASSERT_EQ(rgb.pixels[i + 2], grey.pixels[i / 3]) << i;
  }
  // Every cut inside the data: damaged, never anything else.
  for (size_t cut = sos[0] + 20; cut < stream.size(); cut += 997) {
    const Bytes part(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_EQ(DecodeApi(part, kZfRgb).status, kZfDamaged) << "cut at " << cut;
  }
}

// A scan that codes a component again ends the picture: the picture of the
// scans before it, damaged (a stream cannot make the decode redo the
// picture's work scan after scan).
TEST(SeveralScans, ARepeatedComponentEndsThePicture) {
  const Bytes stream = ReadData("sequential/scans_one_each_320x200.jpg");
  std::vector<size_t> sos;
  for (size_t i = 0; i + 1 < stream.size(); ++i)
    if (stream[i] == 0xFF && stream[i + 1] == 0xDA) sos.push_back(i);
  ASSERT_EQ(sos.size(), 3u);
  // The luma scan twice, then the chroma scans.
  Bytes repeated(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(sos[1]));
  repeated.insert(repeated.end(), stream.begin() + static_cast<std::ptrdiff_t>(sos[0]),
                  stream.begin() + static_cast<std::ptrdiff_t>(sos[1]));
  repeated.insert(repeated.end(), stream.begin() + static_cast<std::ptrdiff_t>(sos[1]), stream.end());
  const Bytes lumaOnly(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(sos[1]));
  const Decoded expected = DecodeApi(lumaOnly, kZfRgb);
  const Decoded actual = DecodeApi(repeated, kZfRgb);
  EXPECT_EQ(actual.status, kZfDamaged);
  EXPECT_TRUE(actual.pixels == expected.pixels);
}

// Fast paths against the scalar twins on the new layouts: the forced
// scalar run of this binary pins the same hashes; here the layouts the
// output kernels take beyond the four (4:1:1, 4:1:0) are compared with the
// general stage through a decode in band mode and whole.
TEST(NewLayouts, BandsMatchTheWholePicture) {
  for (const char* name : {"sequential/wide_sampling_4x1.jpg", "sequential/wide_chroma_2x2.jpg", "sequential/wide_ycck.jpg",
                           "sequential/scans_one_each_320x200.jpg"}) {
    const Bytes stream = ReadData(name);
    ZfInfo info;
    ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk) << name;
    const Decoded whole = DecodeApi(stream, kZfBgrx);
    ASSERT_EQ(whole.status, kZfOk) << name;
    const uint32_t bandRows = ZfBandRows(&info);
    Bytes band(size_t{bandRows} * info.width * 4);
    struct Collect {
      Bytes rows;
      uint32_t width;
    } collect{{}, info.width};
    const ZfOutput out{kZfBgrx, band.data(), info.width * 4,
                       [](void* context, const uint8_t* rows, size_t stride, uint32_t, uint32_t count) {
                         auto& c = *static_cast<Collect*>(context);
                         for (uint32_t y = 0; y < count; ++y)
                           c.rows.insert(c.rows.end(), rows + y * stride, rows + y * stride + c.width * 4);
                         return 0;
                       },
                       &collect};
    ZfDecoder* decoder = ZfCreateDecoder(nullptr);
    EXPECT_EQ(ZfDecode(decoder, stream.data(), stream.size(), &out), kZfOk) << name;
    ZfDestroyDecoder(decoder);
    EXPECT_TRUE(collect.rows == whole.pixels) << name;
  }
}

}  // namespace
