// libjpeg-turbo (TurboJPEG) on the streams of the sequential widening.
//
// RewriteMachinery: the rewrites of stream_rewrite.h are lossless. The peer
// decodes every rewrite of every source to exactly the bytes it decodes the
// source to (BGRX, or the stored CMYK bytes of a four-component stream; with
// nearest and with smooth upsampling). This proves the exactness tests'
// inputs, and does not depend on Zentrafold.
//
// SequentialPeer: Zentrafold (through the C API) against the peer on
// tests/data/sequential: the new samplings and RGB-stored streams close to
// `djpeg -nosmooth -dct int` (TJFLAG_FASTUPSAMPLE | TJFLAG_ACCURATEDCT; not
// equal: the inverse DCT rounds differently, and the upsampling may), the
// four stored bytes of CMYK and YCCK close to TJPF_CMYK, grey output the
// first component's samples.
#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <zentrafold/zentrafold.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "stream_rewrite.h"
#include "test_support.h"

namespace {

using zentrafold::test::Bytes;
using zentrafold::test::ReadFacts;
using zentrafold::test::ReadFile;
using zentrafold::test::SourceStream;
using zentrafold::test::Variant;

struct Size {
  int width = 0, height = 0;
};

// From the frame header: tjDecompressHeader3 refuses samplings it has no
// TJSAMP for (4:1:0, luma below chroma, ...), which tjDecompress2 decodes.
Size FrameSize(const Bytes& stream) {
  for (const auto& part : zentrafold::test::SplitStream(stream)) {
    if (part.code >= 0xC0 && part.code <= 0xCF && part.code != 0xC4 && part.code != 0xC8 && part.code != 0xCC)
      return {part.body[3] << 8 | part.body[4], part.body[1] << 8 | part.body[2]};
  }
  return {};
}

// The peer's pixels, or nullopt with its error text in `error`.
std::optional<Bytes> PeerDecode(const Bytes& stream, int pixelFormat, int flags, std::string* error = nullptr) {
  const Size size = FrameSize(stream);
  tjhandle handle = tjInitDecompress();
  if (handle == nullptr) return std::nullopt;
  Bytes pixels(static_cast<size_t>(size.width) * size.height * tjPixelSize[pixelFormat]);
  const int status = tjDecompress2(handle, stream.data(), static_cast<unsigned long>(stream.size()), pixels.data(),
                                   size.width, 0, size.height, pixelFormat, flags);
  std::optional<Bytes> result;
  // A warning (status -1 with TJERR_WARNING) still leaves a picture.
  if (status == 0 || tjGetErrorCode(handle) == TJERR_WARNING) result = std::move(pixels);
  else if (error) *error = tjGetErrorStr2(handle);
  tjDestroy(handle);
  return result;
}

constexpr int kNearest = TJFLAG_FASTUPSAMPLE | TJFLAG_ACCURATEDCT;

std::string NameOf(const ::testing::TestParamInfo<SourceStream>& info) { return info.param.name; }

class RewriteMachinery : public ::testing::TestWithParam<SourceStream> {};

TEST_P(RewriteMachinery, ThePeerDecodesEveryRewriteToTheSourceBytes) {
  const Bytes source = ReadFile(GetParam().path);
  std::string error;
  std::vector<Variant> variants = zentrafold::test::SegmentVariants(source);
  const std::vector<Variant> jpegtran = zentrafold::test::JpegtranVariants(source, &error);
  ASSERT_TRUE(error.empty()) << error;
  variants.insert(variants.end(), jpegtran.begin(), jpegtran.end());
  // Each rewrite changed the stream, and into what it says.
  for (const Variant& v : variants) {
    // (jpegtran may have nothing to do: -optimize on an optimised stream.)
    if (v.name.rfind("jpegtran_", 0) != 0) {
      EXPECT_TRUE(v.stream != source) << v.name << " left the stream unchanged";
    }
    const auto facts = ReadFacts(v.stream);
    EXPECT_EQ(facts.scans > 1, v.severalScans) << v.name;
    if (v.name == "sof1") {
      EXPECT_EQ(facts.frameCode, 0xC1) << v.name;
    }
  }
  const int format = ReadFacts(source).components == 4 ? TJPF_CMYK : TJPF_BGRX;
  for (const int flags : {kNearest, 0}) {
    const auto expected = PeerDecode(source, format, flags, &error);
    ASSERT_TRUE(expected) << "the peer refuses the source: " << error;
    for (const Variant& v : variants) {
      const auto got = PeerDecode(v.stream, format, flags, &error);
      ASSERT_TRUE(got) << v.name << ": the peer refuses it: " << error;
      EXPECT_TRUE(*got == *expected) << v.name << (flags ? " (nearest upsampling)" : " (smooth upsampling)");
    }
  }
  std::printf("  %-40s %zu rewrites\n", GetParam().name.c_str(), variants.size());
}

INSTANTIATE_TEST_SUITE_P(Streams, RewriteMachinery, ::testing::ValuesIn(zentrafold::test::RewriteSources()), NameOf);

// ---- Zentrafold against the peer ----

struct Decoded {
  ZfStatus status = kZfBadArgument;
  Bytes pixels;
};

Decoded Ours(const Bytes& stream, ZfFormat format) {
  Decoded d;
  ZfInfo info{};
  d.status = ZfReadInfo(stream.data(), stream.size(), &info);
  const size_t stride = size_t{info.width} * ZfBytesPerPixel(format);
  if (d.status != kZfOk || stride == 0) {
    if (d.status == kZfOk) d.status = kZfBadArgument;
    return d;
  }
  std::unique_ptr<ZfDecoder, void (*)(ZfDecoder*)> decoder(ZfCreateDecoder(nullptr), ZfDestroyDecoder);
  d.pixels.resize(stride * info.height);
  const ZfOutput output{format, d.pixels.data(), stride, nullptr, nullptr};
  d.status = ZfDecode(decoder.get(), stream.data(), stream.size(), &output);
  return d;
}

struct Distance {
  int max = 0;
  double mean = 0;
};

// Over the channels `channels` of pixels of `stride` bytes in both (for a
// channel c, ours[i * oursStride + c] against peer[i * peerStride + peerChannel[c]]).
Distance Measure(const Bytes& ours, int oursStride, const Bytes& peer, int peerStride,
                 const std::vector<std::pair<int, int>>& channels) {
  Distance d;
  uint64_t sum = 0, count = 0;
  const size_t pixels = ours.size() / static_cast<size_t>(oursStride);
  for (size_t i = 0; i < pixels; ++i) {
    for (const auto& [o, p] : channels) {
      const int delta = std::abs(int{ours[i * oursStride + o]} - int{peer[i * peerStride + p]});
      d.max = std::max(d.max, delta);
      sum += static_cast<uint64_t>(delta);
      ++count;
    }
  }
  d.mean = count ? static_cast<double>(sum) / static_cast<double>(count) : 0;
  return d;
}

void Print(const char* what, const std::string& name, const Distance& d) {
  std::printf("  %-8s %-40s max %2d  mean %.3f\n", what, name.c_str(), d.max, d.mean);
}

// The bounds of the baseline peer test: inverse-DCT rounding and colour arithmetic.
constexpr int kMaxDifference = 12;
constexpr double kMeanColour = 1.8, kMeanGrey = 1.0;  // grey: at most (a flat picture is off by one everywhere)

TEST(SequentialPeer, ColourStreamsAreCloseToThePeer) {
  for (const SourceStream& s : zentrafold::test::SequentialStreams()) {
    const Bytes stream = ReadFile(s.path);
    if (ReadFacts(stream).components != 3) continue;
    const Decoded ours = Ours(stream, kZfBgrx);
    if (ours.status != kZfOk) {
      ADD_FAILURE() << s.name << ": " << ZfStatusText(ours.status);
      continue;
    }
    const auto peer = PeerDecode(stream, TJPF_BGRX, kNearest);
    ASSERT_TRUE(peer) << s.name;
    const Distance d = Measure(ours.pixels, 4, *peer, 4, {{0, 0}, {1, 1}, {2, 2}});
    Print("BGRX", s.name, d);
    EXPECT_LT(d.max, kMaxDifference) << s.name;
    EXPECT_LT(d.mean, kMeanColour) << s.name;
  }
}

// kZfCmyk: the four bytes as stored (Adobe's inverted convention, as
// TJPF_CMYK gives them); for YCCK after the YCC -> RGB step.
TEST(SequentialPeer, CmykIsTheStoredBytes) {
  for (const SourceStream& s : zentrafold::test::SequentialStreams()) {
    const Bytes stream = ReadFile(s.path);
    if (ReadFacts(stream).components != 4) continue;
    const Decoded ours = Ours(stream, kZfCmyk);
    if (ours.status != kZfOk) {
      ADD_FAILURE() << s.name << ": " << ZfStatusText(ours.status);
      continue;
    }
    const auto peer = PeerDecode(stream, TJPF_CMYK, kNearest);
    ASSERT_TRUE(peer) << s.name;
    const Distance d = Measure(ours.pixels, 4, *peer, 4, {{0, 0}, {1, 1}, {2, 2}, {3, 3}});
    Print("CMYK", s.name, d);
    EXPECT_LT(d.max, kMaxDifference) << s.name;
    EXPECT_LT(d.mean, ReadFacts(stream).adobeTransform == 2 ? kMeanColour : kMeanGrey) << s.name;
  }
}

// Grey output is the first component's samples: the peer's grey for YCbCr,
// its R for RGB-stored streams, its first CMYK byte for CMYK (for YCCK the
// first component is Y, which the peer does not give: not compared).
TEST(SequentialPeer, GreyIsTheFirstComponent) {
  for (const SourceStream& s : zentrafold::test::SequentialStreams()) {
    const Bytes stream = ReadFile(s.path);
    const auto facts = ReadFacts(stream);
    const Decoded ours = Ours(stream, kZfGrey);
    if (ours.status != kZfOk) {
      ADD_FAILURE() << s.name << ": " << ZfStatusText(ours.status);
      continue;
    }
    int format = TJPF_GRAY;
    if (facts.components == 4) {
      if (facts.adobeTransform == 2) continue;
      format = TJPF_CMYK;
    } else if (facts.components == 3) {
      // The peer's colour space: RGB when it would not convert to YCbCr.
      tjhandle h = tjInitDecompress();
      int w, hh, sub, colorspace = -1;
      tjDecompressHeader3(h, stream.data(), static_cast<unsigned long>(stream.size()), &w, &hh, &sub, &colorspace);
      tjDestroy(h);
      if (colorspace == TJCS_RGB) format = TJPF_RGB;
    }
    const auto peer = PeerDecode(stream, format, kNearest);
    ASSERT_TRUE(peer) << s.name;
    const Distance d = Measure(ours.pixels, 1, *peer, tjPixelSize[format], {{0, 0}});
    Print("GREY", s.name, d);
    EXPECT_LT(d.max, kMaxDifference) << s.name;
    EXPECT_LE(d.mean, kMeanGrey) << s.name;
  }
}

// Exact, within Zentrafold: an RGB-stored stream skips the colour
// conversion, so its grey output is its RGB output's R; a CMYK (Adobe
// transform 0) stream's grey is the C of its kZfCmyk output.
TEST(SequentialPeer, GreyEqualsTheFirstStoredChannel) {
  for (const SourceStream& s : zentrafold::test::SequentialStreams()) {
    const Bytes stream = ReadFile(s.path);
    const auto facts = ReadFacts(stream);
    ZfFormat whole;
    if (facts.components == 4 && facts.adobeTransform == 0) whole = kZfCmyk;
    else if (s.name.find("rgb") != std::string::npos) whole = kZfRgb;
    else continue;
    const Decoded grey = Ours(stream, kZfGrey), all = Ours(stream, whole);
    ASSERT_EQ(grey.status, kZfOk) << s.name << ": " << ZfStatusText(grey.status);
    ASSERT_EQ(all.status, kZfOk) << s.name << ": " << ZfStatusText(all.status);
    const size_t step = ZfBytesPerPixel(whole);
    ASSERT_EQ(grey.pixels.size() * step, all.pixels.size());
    size_t differing = 0;
    for (size_t i = 0; i < grey.pixels.size(); ++i) differing += grey.pixels[i] != all.pixels[i * step];
    EXPECT_EQ(differing, 0u) << s.name;
  }
}

}  // namespace
