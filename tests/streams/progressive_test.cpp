// Progressive and arithmetic-coded streams that break off, or whose scans
// do not fit together:
// a stream cut after any scan gives the picture of the scans before the
// cut, marked damaged; scan headers outside the rules are refused in the
// first scan and end the picture in a later one; a progression that skips
// a step still decodes, marked damaged. jpegtran writes the streams.
#include <gtest/gtest.h>
#include <zentrafold/zentrafold.h>

#include <memory>

#include "stream_rewrite.h"
#include "test_support.h"

namespace {

using zentrafold::test::Bytes;
using zentrafold::test::StreamPart;

struct Decoded {
  ZfStatus status = kZfBadArgument;
  Bytes pixels;
};

Decoded Decode(const Bytes& stream, uint32_t threads = 1) {
  ZfOptions options{};
  options.threads = threads;
  ZfDecoder* decoder = ZfCreateDecoder(&options);
  ZfInfo info{};
  Decoded d;
  d.status = ZfReadInfo(stream.data(), stream.size(), &info);
  if (d.status == kZfOk) {
    d.pixels.assign(size_t{info.width} * info.height * 3, 0xA5);
    const ZfOutput out{kZfRgb, d.pixels.data(), size_t{info.width} * 3, nullptr, nullptr};
    d.status = ZfDecode(decoder, stream.data(), stream.size(), &out);
  }
  ZfDestroyDecoder(decoder);
  return d;
}

// A progressive rewrite of `name` (tests/data) by the named variant.
std::vector<StreamPart> Progressive(const std::string& name, const std::string& variant) {
  std::string error;
  const bool arithmetic = variant.rfind("arithmetic_", 0) == 0;
  for (const auto& v : zentrafold::test::ProgressiveVariants(zentrafold::test::ReadData(name), &error, arithmetic))
    if (v.name == variant) return zentrafold::test::SplitStream(v.stream);
  ADD_FAILURE() << "no " << variant << " rewrite of " << name << ": " << error;
  return {};
}

// The parts up to (not including) the scan header number `scan` (0-based),
// with or without an EOI after them.
Bytes FirstScans(const std::vector<StreamPart>& parts, int scan, bool eoi) {
  std::vector<StreamPart> head;
  int seen = 0;
  for (const StreamPart& p : parts) {
    if (p.code == 0xDA && seen++ == scan) break;
    if (p.code == 0xD9) break;
    head.push_back(p);
  }
  if (eoi) head.push_back({0xD9, {}});
  return zentrafold::test::JoinStream(head);
}

int ScanCount(const std::vector<StreamPart>& parts) {
  int scans = 0;
  for (const StreamPart& p : parts) scans += p.code == 0xDA;
  return scans;
}

// The SOS body of scan `scan`: Ns, the components, then Ss, Se, Ah|Al.
StreamPart& ScanHeader(std::vector<StreamPart>& parts, int scan) {
  int seen = 0;
  for (StreamPart& p : parts)
    if (p.code == 0xDA && seen++ == scan) return p;
  throw std::runtime_error("no such scan");
}

TEST(ProgressiveCuts, EachScanBoundaryGivesThePictureOfTheScansBefore) {
  for (const char* variant : {"progressive", "progressive_approximation_3", "progressive_restart_2mcu",
                              "arithmetic_progressive", "arithmetic_progressive_approximation_3",
                              "arithmetic_progressive_restart_2mcu"}) {
    SCOPED_TRACE(variant);
    const std::vector<StreamPart> parts = Progressive("size_250x40.jpg", variant);
    const int scans = ScanCount(parts);
    ASSERT_GT(scans, 4);
    Bytes previous;
    std::vector<StreamPart> headers = parts;
    uint32_t seen = 0;  // bit i: a scan of component identifier i came
    for (int k = 1; k < scans; ++k) {
      const StreamPart& header = ScanHeader(headers, k - 1);
      for (int j = 0; j < header.body[0]; ++j) seen |= 1u << header.body[1 + 2 * j];
      const Decoded cut = Decode(FirstScans(parts, k, false));
      const Decoded ended = Decode(FirstScans(parts, k, true));
      EXPECT_EQ(cut.status, kZfDamaged) << "after scan " << k;
      // Whole when every component has come (identifiers 1, 2, 3).
      EXPECT_EQ(ended.status, seen == 0x0E ? kZfOk : kZfDamaged) << "after scan " << k;
      EXPECT_EQ(cut.pixels, ended.pixels) << "after scan " << k;
      EXPECT_EQ(Decode(FirstScans(parts, k, false), 2).pixels, cut.pixels) << "after scan " << k << ", 2 threads";
      // Every scan of these scripts changes the picture.
      EXPECT_NE(cut.pixels, previous) << "after scan " << k;
      previous = cut.pixels;
    }
    const Decoded whole = Decode(zentrafold::test::JoinStream(parts));
    EXPECT_EQ(whole.status, kZfOk);
    EXPECT_NE(whole.pixels, previous);
  }
}

// Cut anywhere from the first scan's data on (every 13th byte), Huffman-
// and arithmetic-coded: a damaged picture each time.
TEST(ProgressiveCuts, EveryCutInsideTheDataIsDamaged) {
  for (const char* variant : {"progressive_approximation_2", "arithmetic_progressive_approximation_2",
                              "arithmetic_sequential_restart_3mcu"}) {
    SCOPED_TRACE(variant);
    const std::vector<StreamPart> parts = Progressive("sample_2x2.jpg", variant);
    const Bytes whole = zentrafold::test::JoinStream(parts);
    const Bytes oneScan = FirstScans(parts, 1, false);
    size_t dataStart = 0;
    for (size_t i = 0; i + 1 < oneScan.size(); ++i)
      if (oneScan[i] == 0xFF && oneScan[i + 1] == 0xDA) dataStart = i + 2 + (oneScan[i + 2] << 8 | oneScan[i + 3]);
    ASSERT_GT(dataStart, 0u);
    for (size_t length = dataStart; length < whole.size() - 2; length += 13) {
      const Decoded cut = Decode(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
      EXPECT_EQ(cut.status, kZfDamaged) << "cut at " << length;
    }
  }
}

TEST(ProgressiveScanHeaders, FieldsOutsideTheRulesAreRefusedOrEndThePicture) {
  const std::vector<StreamPart> parts = Progressive("sample_2x2.jpg", "progressive_approximation_2");
  const int scans = ScanCount(parts);
  // The first scan is an interleaved DC scan; scan 1 an AC band of luma.
  std::vector<StreamPart> copy = parts;
  ASSERT_EQ(ScanHeader(copy, 0).body[0], 3);
  ASSERT_EQ(ScanHeader(copy, 1).body[0], 1);
  struct Case {
    const char* what;
    int scan;
    size_t offset;  // into the fields Ss, Se, Ah|Al
    uint8_t value;
  };
  const Case cases[] = {
      {"a DC scan with an AC band", 0, 1, 5},
      {"DC approximation stepping by two", 0, 2, 0x20},
      {"Al above 13", 0, 2, 0x0E},
      {"a band ending before it starts", 1, 1, 0},
      {"a band past 63", 1, 1, 64},
      {"AC approximation stepping by two", 1, 2, 0x40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<StreamPart> bad = parts;
    StreamPart& header = ScanHeader(bad, c.scan);
    header.body[1 + 2 * header.body[0] + c.offset] = c.value;
    const Bytes stream = zentrafold::test::JoinStream(bad);
    if (c.scan == 0) {
      ZfInfo info;
      EXPECT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfMalformed);
      EXPECT_EQ(Decode(stream).status, kZfMalformed);
    } else {
      // The scans before it make the picture.
      const Decoded got = Decode(stream);
      EXPECT_EQ(got.status, kZfDamaged);
      EXPECT_EQ(got.pixels, Decode(FirstScans(parts, c.scan, true)).pixels);
    }
  }
  // An AC scan of two components.
  std::vector<StreamPart> two = parts;
  for (int s = 0; s < scans; ++s) {
    StreamPart& header = ScanHeader(two, s);
    if (header.body[0] != 3) continue;
    header.body[1 + 2 * 3] = 1;  // Ss 1: an AC band of the interleaved scan
    header.body[1 + 2 * 3 + 1] = 63;
    header.body[1 + 2 * 3 + 2] = 0x00;
    const Bytes stream = zentrafold::test::JoinStream(two);
    ZfInfo info;
    EXPECT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfMalformed);
    break;
  }
}

// A refinement whose first scan never came, and a band coded twice: peers
// decode what the scans say; so does the decoder, and says the picture is
// damaged. The refinement changes the picture.
TEST(ProgressiveScanHeaders, ScansOutOfStepStillDecodeAsDamaged) {
  const std::vector<StreamPart> parts = Progressive("sample_2x2.jpg", "progressive_dc_ac_each");
  // dc_ac_each: three DC scans, then the AC band 1..63 of each component.
  ASSERT_EQ(ScanCount(parts), 6);
  std::vector<StreamPart> twice = parts;
  // The Cr AC scan renamed to Cb: Cb's band comes twice, Cr's never.
  StreamPart& crAc = ScanHeader(twice, 5);
  crAc.body[1] = ScanHeader(twice, 4).body[1];
  const Decoded got = Decode(zentrafold::test::JoinStream(twice));
  EXPECT_EQ(got.status, kZfDamaged);
  EXPECT_EQ(got.pixels.size(), Decode(zentrafold::test::JoinStream(parts)).pixels.size());

  // Luma's AC scan marked as a refinement (Ah 1, Al 0) of a first scan that
  // never came: its data read as refinement data.
  std::vector<StreamPart> refine = parts;
  StreamPart& lumaAc = ScanHeader(refine, 3);
  lumaAc.body[1 + 2 * 1 + 2] = 0x10;
  const Decoded refined = Decode(zentrafold::test::JoinStream(refine));
  EXPECT_TRUE(refined.status == kZfDamaged || refined.status == kZfBadData) << ZfStatusText(refined.status);
}

}  // namespace

namespace {

// DAC segments: one restating the default conditioning changes nothing;
// values outside their ranges are refused at the headers.
TEST(ArithmeticConditioning, DefaultsRestatedDecodeAlikeAndBadValuesAreRefused) {
  const std::vector<StreamPart> parts = Progressive("sample_2x2.jpg", "arithmetic_sequential");
  // In place of the encoder's own DAC segment (which states its defaults).
  auto withDac = [&](const Bytes& body) {
    std::vector<StreamPart> out;
    for (const StreamPart& p : parts) {
      if (p.code == 0xCC) continue;
      if (p.code == 0xDA) out.push_back({0xCC, body});
      out.push_back(p);
    }
    return zentrafold::test::JoinStream(out);
  };
  const Decoded plain = Decode(zentrafold::test::JoinStream(parts));
  ASSERT_EQ(plain.status, kZfOk);
  // DC tables 0 and 1: L 0, U 1; AC tables 0 and 1: Kx 5.
  const Decoded restated = Decode(withDac({0x00, 0x10, 0x01, 0x10, 0x10, 5, 0x11, 5}));
  EXPECT_EQ(restated.status, kZfOk);
  EXPECT_EQ(restated.pixels, plain.pixels);
  // No conditioning stated: the defaults.
  EXPECT_EQ(Decode(withDac({})).pixels, plain.pixels);
  // Other conditioning reads the same data as something else.
  EXPECT_NE(Decode(withDac({0x10, 2})).pixels, plain.pixels);
  const struct {
    const char* what;
    Bytes body;
    ZfStatus status;
  } refused[] = {
      {"L above U", {0x00, 0x23}, kZfMalformed},  {"Kx 0", {0x10, 0}, kZfMalformed},
      {"Kx 64", {0x10, 64}, kZfMalformed},        {"table 4", {0x04, 0x10}, kZfTables},
      {"class 2", {0x20, 0x10}, kZfTables},       {"half an entry", {0x00}, kZfMalformed},
  };
  for (const auto& c : refused) {
    const Bytes stream = withDac(c.body);
    ZfInfo info;
    EXPECT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), c.status) << c.what;
  }
}

}  // namespace

namespace {

struct Shown {
  const Bytes* output = nullptr;
  std::vector<Bytes> pictures;
  std::vector<uint32_t> scans;
  uint32_t stopAt = 0;
};

int KeepScan(void* context, uint32_t scan) {
  auto& shown = *static_cast<Shown*>(context);
  shown.pictures.push_back(*shown.output);
  shown.scans.push_back(scan);
  return scan == shown.stopAt ? 1 : 0;
}

// A stream of many scans is decoded from its first 1000 only, damaged: its
// last refinement scan repeated 1500 times shows 1000 pictures.
TEST(ScanFunction, AThousandScansAtMost) {
  std::vector<StreamPart> parts = Progressive("size_17x17.jpg", "progressive_approximation_3");
  ASSERT_FALSE(parts.empty());
  std::vector<StreamPart> many;
  StreamPart last;
  for (const StreamPart& p : parts) {
    if (p.code == 0xDA) last = p;
    if (p.code != 0xD9) many.push_back(p);
  }
  for (int i = 0; i < 1500; ++i) many.push_back(last);
  many.push_back({0xD9, {}});
  const Bytes stream = zentrafold::test::JoinStream(many);
  ZfInfo info{};
  ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
  ZfDecoder* decoder = ZfCreateDecoder(nullptr);
  Bytes pixels(size_t{info.width} * info.height * 3);
  Shown shown;
  shown.output = &pixels;
  ASSERT_EQ(ZfSetScanFunction(decoder, KeepScan, &shown), kZfOk);
  const ZfOutput out{kZfRgb, pixels.data(), size_t{info.width} * 3, nullptr, nullptr};
  EXPECT_EQ(ZfDecode(decoder, stream.data(), stream.size(), &out), kZfDamaged);
  EXPECT_EQ(shown.scans.size(), 1000u);
  ZfDestroyDecoder(decoder);
}

// The picture after each scan is that of a stream ending after that scan;
// the last is the finished picture; the function can stop the decode; band
// mode shows nothing.
TEST(ScanFunction, EachScanShowsThePictureOfTheScansSoFar) {
  for (const char* variant : {"progressive_approximation_3", "arithmetic_progressive_restart_2mcu"}) {
    SCOPED_TRACE(variant);
    const std::vector<StreamPart> parts = Progressive("size_250x40.jpg", variant);
    const Bytes stream = zentrafold::test::JoinStream(parts);
    const int scans = ScanCount(parts);
    ZfInfo info{};
    ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
    for (uint32_t threads : {1u, 2u}) {
      ZfOptions options{};
      options.threads = threads;
      ZfDecoder* decoder = ZfCreateDecoder(&options);
      Bytes pixels(size_t{info.width} * info.height * 3);
      Shown shown;
      shown.output = &pixels;
      ASSERT_EQ(ZfSetScanFunction(decoder, KeepScan, &shown), kZfOk);
      const ZfOutput out{kZfRgb, pixels.data(), size_t{info.width} * 3, nullptr, nullptr};
      EXPECT_EQ(ZfDecode(decoder, stream.data(), stream.size(), &out), kZfOk);
      ASSERT_EQ(shown.pictures.size(), static_cast<size_t>(scans));
      for (int k = 1; k < scans; ++k) {
        EXPECT_EQ(shown.scans[k - 1], static_cast<uint32_t>(k));
        EXPECT_EQ(shown.pictures[k - 1], Decode(FirstScans(parts, k, true)).pixels) << "after scan " << k;
      }
      EXPECT_EQ(shown.pictures.back(), pixels);

      shown = Shown{&pixels, {}, {}, 2};
      EXPECT_EQ(ZfDecode(decoder, stream.data(), stream.size(), &out), kZfStopped);
      EXPECT_EQ(shown.scans, (std::vector<uint32_t>{1, 2}));

      shown = Shown{&pixels, {}, {}, 0};
      Bytes band(size_t{info.width} * 3 * ZfBandRows(&info));
      const ZfOutput banded{kZfRgb, band.data(), size_t{info.width} * 3,
                            [](void*, const uint8_t*, size_t, uint32_t, uint32_t) { return 0; }, nullptr};
      EXPECT_EQ(ZfDecode(decoder, stream.data(), stream.size(), &banded), kZfOk);
      EXPECT_TRUE(shown.scans.empty());
      ZfDestroyDecoder(decoder);
    }
  }
}

}  // namespace
