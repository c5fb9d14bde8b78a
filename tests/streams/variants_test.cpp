// Exactness without a reference decoder. The pixels are defined by the
// decoder's own arithmetic, so the tests make streams whose pixels must be
// identical: every lossless rewrite of a stream (tests/support/stream_rewrite.h:
// SOF1, table identifiers 2 and 3, tables split and redefined, component
// identifiers, a second APP0, an Adobe segment; jpegtran's scans, restarts,
// optimised tables, -copy all) decodes through ZfDecode to exactly the bytes
// of its source, in every format, on one thread and on two. ctest runs this
// binary twice, the second time forced scalar (ZENTRAFOLD_FORCE_SCALAR=1).
//
// The sources: the decodable committed streams, tests/data/sequential and the
// small baseline photographs of plasma-workspace-wallpapers. That the
// rewrites themselves are lossless is checked against libjpeg-turbo in
// variants_peer_test.cpp.
#include <gtest/gtest.h>
#include <zentrafold/zentrafold.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

#include <unistd.h>

#include "stream_rewrite.h"
#include "test_support.h"

namespace {

using zentrafold::test::Bytes;
using zentrafold::test::ReadFile;
using zentrafold::test::ReadFacts;
using zentrafold::test::SourceStream;
using zentrafold::test::Variant;

struct DecoderDeleter {
  void operator()(ZfDecoder* d) const { ZfDestroyDecoder(d); }
};
using DecoderPtr = std::unique_ptr<ZfDecoder, DecoderDeleter>;

DecoderPtr MakeDecoder(uint32_t threads) {
  ZfOptions options{};
  options.threads = threads;
  return DecoderPtr(ZfCreateDecoder(&options));
}

struct Decoded {
  ZfStatus status = kZfBadArgument;
  uint32_t width = 0, height = 0;
  Bytes pixels;
};

// The whole picture, or the view (null: none).
Decoded DecodeWith(ZfDecoder* decoder, const Bytes& stream, ZfFormat format, const ZfView* view = nullptr) {
  Decoded d;
  ZfInfo info{};
  d.status = ZfReadInfo(stream.data(), stream.size(), &info);
  if (d.status != kZfOk) return d;
  d.width = info.width;
  d.height = info.height;
  if (view != nullptr && (d.status = ZfViewSize(&info, view, &d.width, &d.height)) != kZfOk) return d;
  const size_t stride = size_t{d.width} * ZfBytesPerPixel(format);
  if (stride == 0) {
    d.status = kZfBadArgument;
    return d;
  }
  d.pixels.assign(stride * d.height, 0xA5);
  const ZfOutput output{format, d.pixels.data(), stride, nullptr, nullptr};
  d.status = ZfDecodeView(decoder, stream.data(), stream.size(), &output, view);
  if (d.status != kZfOk && d.status != kZfDamaged) d.pixels.clear();
  return d;
}

const char* FormatName(ZfFormat format) {
  static const char* const kNames[] = {"BGRX", "RGBX", "BGRA", "RGBA", "BGR", "RGB", "GREY", "CMYK"};
  return static_cast<int>(format) < 8 ? kNames[format] : "?";
}

// Every format; the stored CMYK bytes for four-component streams.
std::vector<ZfFormat> FormatsFor(const Bytes& stream) {
  std::vector<ZfFormat> formats{kZfBgrx, kZfRgbx, kZfBgra, kZfRgba, kZfBgr, kZfRgb, kZfGrey};
  if (ReadFacts(stream).components == 4) formats.push_back(kZfCmyk);
  return formats;
}

std::string Difference(const Decoded& expected, const Decoded& got) {
  if (got.status != expected.status) return std::string("status \"") + ZfStatusText(got.status) + "\"";
  if (got.width != expected.width || got.height != expected.height) return "size differs";
  size_t i = 0;
  while (i < got.pixels.size() && got.pixels[i] == expected.pixels[i]) ++i;
  return "bytes differ from byte " + std::to_string(i) + " (row " +
         std::to_string(i / (expected.pixels.size() / std::max<uint32_t>(expected.height, 1))) + ")";
}

::testing::AssertionResult Report(const std::vector<std::string>& failures, size_t checks) {
  if (failures.empty()) return ::testing::AssertionSuccess() << checks << " decodes alike";
  auto result = ::testing::AssertionFailure();
  result << failures.size() << " of " << checks << " decodes differ from the source's:";
  for (size_t i = 0; i < failures.size() && i < 16; ++i) result << "\n  " << failures[i];
  if (failures.size() > 16) result << "\n  ...";
  return result;
}

::testing::AssertionResult VariantsDecodeAlike(const Bytes& source, const std::vector<Variant>& variants) {
  const DecoderPtr one = MakeDecoder(1), two = MakeDecoder(2);
  if (!one || !two) return ::testing::AssertionFailure() << "no decoder";
  std::vector<std::string> failures;
  size_t checks = 0;
  for (const ZfFormat format : FormatsFor(source)) {
    const Decoded expected = DecodeWith(one.get(), source, format);
    if (expected.status != kZfOk) {
      failures.push_back(std::string("the source in ") + FormatName(format) + ": \"" +
                         ZfStatusText(expected.status) + "\"");
      continue;
    }
    for (const Variant& v : variants) {
      for (ZfDecoder* decoder : {one.get(), two.get()}) {
        ++checks;
        const Decoded got = DecodeWith(decoder, v.stream, format);
        if (got.status != expected.status || got.width != expected.width || got.pixels != expected.pixels)
          failures.push_back(v.name + " in " + FormatName(format) + " on " + (decoder == one.get() ? "1" : "2") +
                             " thread(s): " + Difference(expected, got));
      }
    }
  }
  return Report(failures, checks);
}

// The same coefficients give the same reduced pictures: each variant's
// views at every scale (whole, turned, and a region) are the source's.
::testing::AssertionResult VariantViewsAlike(const Bytes& source, const std::vector<Variant>& variants) {
  const DecoderPtr decoder = MakeDecoder(1);
  if (!decoder) return ::testing::AssertionFailure() << "no decoder";
  ZfInfo info{};
  if (ZfReadInfo(source.data(), source.size(), &info) != kZfOk) return ::testing::AssertionFailure() << "source";
  const ZfFormat format = info.colorSpace == kZfColorCmyk || info.colorSpace == kZfColorYcck ? kZfCmyk : kZfRgb;
  std::vector<std::string> failures;
  size_t checks = 0;
  for (uint32_t scale : {2u, 4u, 8u}) {
    std::vector<ZfView> views = {ZfView{scale, 0, 0, 0, 0, 0}, ZfView{scale, 6, 0, 0, 0, 0}};
    uint32_t width = 0, height = 0;
    if (ZfViewSize(&info, &views[0], &width, &height) == kZfOk && width >= 3 && height >= 3)
      views.push_back(ZfView{scale, 0, width / 3, height / 3, width / 3 + 1, height / 3 + 1});
    for (const ZfView& view : views) {
      const Decoded expected = DecodeWith(decoder.get(), source, format, &view);
      for (const Variant& v : variants) {
        ++checks;
        const Decoded got = DecodeWith(decoder.get(), v.stream, format, &view);
        if (got.status != expected.status || got.width != expected.width || got.pixels != expected.pixels)
          failures.push_back(v.name + " at 1/" + std::to_string(scale) + (view.orientation ? " turned" : "") +
                             (view.width ? " region" : "") + ": " + Difference(expected, got));
      }
    }
  }
  return Report(failures, checks);
}

std::string NameOf(const ::testing::TestParamInfo<SourceStream>& info) { return info.param.name; }

class SegmentRewrites : public ::testing::TestWithParam<SourceStream> {};
class JpegtranRewrites : public ::testing::TestWithParam<SourceStream> {};
class WorkBytes : public ::testing::TestWithParam<SourceStream> {};

// SOF1, table identifiers 2 and 3, one table a segment, tables defined twice,
// component identifiers 0.. and 'R','G','B' (+ Adobe transform 1), a second
// APP0 (JFXX), an Adobe segment of transform 1.
TEST_P(SegmentRewrites, DecodeToTheSourceBytes) {
  const Bytes source = ReadFile(GetParam().path);
  const std::vector<Variant> variants = zentrafold::test::SegmentVariants(source);
  ASSERT_FALSE(variants.empty());
  EXPECT_TRUE(VariantsDecodeAlike(source, variants));
}

// jpegtran: one component a scan, two and one, restarts, -optimize, -copy all;
// the views too (a scan of one component at 1/8 is stored by its DCs).
TEST_P(JpegtranRewrites, DecodeToTheSourceBytes) {
  const Bytes source = ReadFile(GetParam().path);
  std::string error;
  const std::vector<Variant> variants = zentrafold::test::JpegtranVariants(source, &error);
  ASSERT_TRUE(error.empty()) << error;
  EXPECT_TRUE(VariantsDecodeAlike(source, variants));
  EXPECT_TRUE(VariantViewsAlike(source, variants));
}

// ZfInfo.workBytes: 0 for a picture in one scan, the whole-picture memory
// (more than 0) for one in several.
TEST_P(WorkBytes, CountedForSeveralScansOnly) {
  const Bytes source = ReadFile(GetParam().path);
  std::string error;
  std::vector<Variant> variants = zentrafold::test::JpegtranVariants(source, &error);
  ASSERT_TRUE(error.empty()) << error;
  variants.push_back({"the source", source, false});
  for (const Variant& v : variants) {
    ZfInfo info{};
    info.workBytes = 12345;
    EXPECT_EQ(ZfReadInfo(v.stream.data(), v.stream.size(), &info), kZfOk) << v.name;
    if (ReadFacts(v.stream).scans > 1)
      EXPECT_GT(info.workBytes, 0u) << v.name;
    else
      EXPECT_EQ(info.workBytes, 0u) << v.name;
  }
}

class ProgressiveRewrites : public ::testing::TestWithParam<SourceStream> {};

// jpegtran's progressive rewrites and scan scripts (spectral selection,
// successive approximation of 2 and 3 bits, restarts): the whole-picture
// memory is counted, and the pixels are the source's.
TEST_P(ProgressiveRewrites, DecodeToTheSourceBytes) {
  const Bytes source = ReadFile(GetParam().path);
  std::string error;
  const std::vector<Variant> variants = zentrafold::test::ProgressiveVariants(source, &error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_FALSE(variants.empty());
  for (const Variant& v : variants) {
    ZfInfo info{};
    EXPECT_EQ(ZfReadInfo(v.stream.data(), v.stream.size(), &info), kZfOk) << v.name;
    EXPECT_EQ(info.frameMarker, 0xC2u) << v.name;
    EXPECT_GT(info.workBytes, 0u) << v.name;
  }
  EXPECT_TRUE(VariantsDecodeAlike(source, variants));
  EXPECT_TRUE(VariantViewsAlike(source, variants));
}

class ArithmeticRewrites : public ::testing::TestWithParam<SourceStream> {};

// The same rewrites arithmetic-coded (SOF10), and sequential arithmetic-coded
// ones (SOF9): whole-picture memory for those in several scans only.
TEST_P(ArithmeticRewrites, DecodeToTheSourceBytes) {
  const Bytes source = ReadFile(GetParam().path);
  std::string error;
  const std::vector<Variant> variants = zentrafold::test::ProgressiveVariants(source, &error, true);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_FALSE(variants.empty());
  for (const Variant& v : variants) {
    ZfInfo info{};
    EXPECT_EQ(ZfReadInfo(v.stream.data(), v.stream.size(), &info), kZfOk) << v.name;
    const bool sequential = v.name.find("sequential") != std::string::npos;
    EXPECT_EQ(info.frameMarker, sequential ? 0xC9u : 0xCAu) << v.name;
    // A sequential picture in one scan is decoded MCU by MCU, with no store.
    if (sequential && ReadFacts(v.stream).scans == 1)
      EXPECT_EQ(info.workBytes, 0u) << v.name;
    else
      EXPECT_GT(info.workBytes, 0u) << v.name;
  }
  EXPECT_TRUE(VariantsDecodeAlike(source, variants));
  EXPECT_TRUE(VariantViewsAlike(source, variants));
}

INSTANTIATE_TEST_SUITE_P(Streams, ArithmeticRewrites, ::testing::ValuesIn(zentrafold::test::RewriteSources()), NameOf);
INSTANTIATE_TEST_SUITE_P(Streams, ProgressiveRewrites, ::testing::ValuesIn(zentrafold::test::RewriteSources()), NameOf);
INSTANTIATE_TEST_SUITE_P(Streams, SegmentRewrites, ::testing::ValuesIn(zentrafold::test::RewriteSources()), NameOf);
INSTANTIATE_TEST_SUITE_P(Streams, JpegtranRewrites, ::testing::ValuesIn(zentrafold::test::RewriteSources()), NameOf);
INSTANTIATE_TEST_SUITE_P(Streams, WorkBytes, ::testing::ValuesIn(zentrafold::test::RewriteSources()), NameOf);

// The new samplings, RGB and YCCK on a picture large enough for two threads
// (0.25 MP and more; the committed streams are smaller): a 720x1440
// photograph re-encoded at run time with cjpeg and ImageMagick.
TEST(NewStreams, TwoThreadsEqualOneOnALargePicture) {
  std::filesystem::path photo;
  for (const auto& p : zentrafold::test::Photographs(true))
    if (p.filename() == "720x1440.jpg") photo = p;
  if (photo.empty()) GTEST_SKIP() << "no 720x1440 photograph of plasma-workspace-wallpapers";
  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("zentrafold-variants-" + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  const std::string ppm = (work / "photo.ppm").string();
  ASSERT_EQ(std::system(("djpeg -pnm -outfile '" + ppm + "' '" + photo.string() + "'").c_str()), 0);
  const std::vector<std::pair<std::string, std::string>> encodings = {
      {"4x1", "cjpeg -quality 85 -sample 4x1"},          {"4x2", "cjpeg -quality 85 -sample 4x2"},
      {"1x4", "cjpeg -quality 85 -sample 1x4"},          {"3x1", "cjpeg -quality 85 -sample 3x1"},
      {"1x1,2x2,2x2", "cjpeg -quality 85 -sample 1x1,2x2,2x2"},
      {"2x1,1x2,1x2", "cjpeg -quality 85 -sample 2x1,1x2,1x2"},
      {"rgb", "cjpeg -quality 85 -rgb"},                 {"4x1 restart", "cjpeg -quality 85 -sample 4x1 -restart 3B"},
      {"ycck", "convert - -colorspace CMYK -quality 85 jpeg:-"}};
  const DecoderPtr one = MakeDecoder(1), two = MakeDecoder(2);
  for (const auto& [name, command] : encodings) {
    const std::string out = (work / "out.jpg").string();
    ASSERT_EQ(std::system((command + " < '" + ppm + "' > '" + out + "'").c_str()), 0) << command;
    const Bytes stream = ReadFile(out);
    for (const ZfFormat format : FormatsFor(stream)) {
      const Decoded a = DecodeWith(one.get(), stream, format), b = DecodeWith(two.get(), stream, format);
      EXPECT_EQ(a.status, kZfOk) << name << " in " << FormatName(format) << ": " << ZfStatusText(a.status);
      EXPECT_TRUE(a.status == b.status && a.pixels == b.pixels) << name << " in " << FormatName(format);
    }
  }
  std::filesystem::remove_all(work);
}

// The new streams decoded in every format on one and two threads, one line
// each: name, format, threads, status, width x height, FNV-1a of the bytes.
std::string HashLines() {
  const DecoderPtr one = MakeDecoder(1), two = MakeDecoder(2);
  std::ostringstream lines;
  for (const SourceStream& s : zentrafold::test::SequentialStreams()) {
    const Bytes stream = ReadFile(s.path);
    for (const ZfFormat format : FormatsFor(stream)) {
      for (ZfDecoder* decoder : {one.get(), two.get()}) {
        const Decoded d = DecodeWith(decoder, stream, format);
        lines << s.name << ' ' << FormatName(format) << ' ' << (decoder == one.get() ? 1 : 2) << ' ' << d.status
              << ' ' << d.width << 'x' << d.height << ' ' << std::hex << zentrafold::test::Fnv1a(d.pixels)
              << std::dec << '\n';
      }
    }
  }
  return lines.str();
}

// The fast paths equal their scalar twins on the new samplings, colour
// spaces and scan layouts: this process's decodes against those of a copy of
// it started with ZENTRAFOLD_FORCE_SCALAR=1.
TEST(NewStreams, FastPathsEqualScalar) {
  if (std::strcmp(ZfFastPaths(), "scalar") == 0) GTEST_SKIP() << "this run is forced scalar";
  const std::string fast = HashLines();
  std::string scalar;
  // The shell's /proc/self/exe would be the shell: name this binary first.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  FILE* child = popen(("ZENTRAFOLD_FORCE_SCALAR=1 '" + self + "' --print-new-stream-hashes").c_str(), "r");
  ASSERT_NE(child, nullptr);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, child)) > 0) scalar.append(buffer, n);
  ASSERT_EQ(pclose(child), 0);
  std::istringstream a(fast), b(scalar);
  std::string la, lb;
  while (std::getline(a, la) && std::getline(b, lb)) EXPECT_EQ(la, lb) << "fast (left) and scalar (right) differ";
  EXPECT_EQ(fast.size(), scalar.size());
  // A refusal on both sides is equal but proves nothing: every stream must decode.
  std::istringstream c(fast);
  while (std::getline(c, la)) {
    std::istringstream fields(la);
    std::string name, format, threads, status;
    fields >> name >> format >> threads >> status;
    EXPECT_TRUE(status == "0") << name << " in " << format << ": status " << status;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--print-new-stream-hashes") == 0) {
    std::fputs(HashLines().c_str(), stdout);
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
