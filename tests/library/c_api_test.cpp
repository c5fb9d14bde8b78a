// The C API against DecodeImage: the same pixels in every byte order, whole
// or in bands, with padded strides left alone; the statuses of refused,
// damaged and intact streams, and ZfReadInfo agreeing with ZfDecode; fill
// bytes before markers in the entropy-coded data.
#include <gtest/gtest.h>
#include <zentrafold/decoder.h>
#include <zentrafold/zentrafold.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "decoder_state.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using zentrafold::test::Bytes;

constexpr ZfFormat kAllFormats[] = {kZfBgrx, kZfRgbx, kZfBgra, kZfRgba, kZfBgr, kZfRgb, kZfGrey};

struct Decoder {
  ZfDecoder* decoder;
  explicit Decoder(const ZfOptions* options = nullptr) : decoder(ZfCreateDecoder(options)) {}
  ~Decoder() { ZfDestroyDecoder(decoder); }
};

// What ZfDecode wrote, whole-picture mode, with `padding` canary bytes
// after each row.
struct Output {
  ZfStatus status = kZfBadArgument;
  uint32_t width = 0, height = 0;
  size_t stride = 0;
  Bytes rows;
};

constexpr uint8_t kCanary = 0xA5;

Output DecodeWhole(ZfDecoder* decoder, const Bytes& stream, ZfFormat format, size_t padding = 0) {
  Output out;
  ZfInfo info;
  if (ZfReadInfo(stream.data(), stream.size(), &info) != kZfOk) {
    out.status = ZfDecode(decoder, stream.data(), stream.size(), nullptr);
    return out;
  }
  out.width = info.width;
  out.height = info.height;
  out.stride = info.width * ZfBytesPerPixel(format) + padding;
  out.rows.assign(out.stride * info.height, kCanary);
  const ZfOutput target{format, out.rows.data(), out.stride, nullptr, nullptr};
  out.status = ZfDecode(decoder, stream.data(), stream.size(), &target);
  return out;
}

// The rows without their padding.
Bytes Packed(const Output& out, uint32_t bytesPerPixel) {
  Bytes packed;
  for (uint32_t y = 0; y < out.height; ++y) {
    const uint8_t* row = out.rows.data() + y * out.stride;
    packed.insert(packed.end(), row, row + out.width * bytesPerPixel);
  }
  return packed;
}

// BGRX in another byte order, written out plainly.
Bytes Reorder(const Bytes& bgrx, ZfFormat format) {
  Bytes out;
  for (size_t i = 0; i < bgrx.size(); i += 4) {
    const uint8_t b = bgrx[i], g = bgrx[i + 1], r = bgrx[i + 2];
    switch (format) {
      case kZfBgrx: out.insert(out.end(), {b, g, r, 0}); break;
      case kZfRgbx: out.insert(out.end(), {r, g, b, 0}); break;
      case kZfBgra: out.insert(out.end(), {b, g, r, 255}); break;
      case kZfRgba: out.insert(out.end(), {r, g, b, 255}); break;
      case kZfBgr: out.insert(out.end(), {b, g, r}); break;
      case kZfRgb: out.insert(out.end(), {r, g, b}); break;
      case kZfGrey: out.push_back(b); break;
      case kZfCmyk: break;  // not made from BGRX
    }
  }
  return out;
}

// The luma that assembly lays out (byte 0 of the MCU pixel buffer), through
// the scalar stages: the reference for kZfGrey of a colour stream.
void CaptureLuma(DecoderState& state, uint8_t* destination, int columns, int rows) {
  AssembleMcu(state);
  const int sourceStride = McuWidth(state.samplingCode) * 3;
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < columns; ++x)
      destination[y * state.outputStride + x * 4] = state.mcuPixelBuffer[y * sourceStride + x * 3];
}

Bytes ReferenceLuma(const Bytes& stream) {
  DecoderState* state = CreateDecoderState();
  DecoderPaths paths = ScalarPaths();
  paths.outputMcu = CaptureLuma;
  state->paths = &paths;
  ImageRecord* image = DecodeImageWithState(state, stream.data(), stream.size(), nullptr);
  Bytes luma;
  if (image != nullptr) {
    const auto* bits = static_cast<const uint8_t*>(image->bits);
    const size_t pixels = static_cast<size_t>(image->header.biWidth) * static_cast<size_t>(-image->header.biHeight);
    for (size_t i = 0; i < pixels; ++i) luma.push_back(bits[i * 4]);
    DeleteObject(image->bitmap);
  }
  DestroyDecoderState(state);
  return luma;
}

// DecodeImage's pixels, and the status its state recorded.
struct Reference {
  bool decoded = false;
  ZfStatus status = kZfOk;
  Bytes bgrx;
};

Reference DecodeReference(const Bytes& stream) {
  Reference ref;
  DecoderState* state = CreateDecoderState();
  ImageRecord* image = DecodeImageWithState(state, stream.data(), stream.size(), nullptr);
  ref.status = state->status;
  if (image != nullptr) {
    ref.decoded = true;
    const auto* bits = static_cast<const uint8_t*>(image->bits);
    ref.bgrx.assign(bits, bits + static_cast<size_t>(image->header.biWidth) * -image->header.biHeight * 4);
    DeleteObject(image->bitmap);
  }
  DestroyDecoderState(state);
  return ref;
}

// Every byte order, whole and with padded rows, against DecodeImage.
void ExpectAllFormats(ZfDecoder* decoder, const Bytes& stream, const std::string& name) {
  const Reference ref = DecodeReference(stream);
  ASSERT_TRUE(ref.decoded) << name;
  const Bytes luma = ReferenceLuma(stream);
  for (ZfFormat format : kAllFormats) {
    const uint32_t bytes = ZfBytesPerPixel(format);
    const Output out = DecodeWhole(decoder, stream, format, 7);
    ASSERT_EQ(out.status, ref.status) << name << " format " << format;
    const Bytes expected = format == kZfGrey ? luma : Reorder(ref.bgrx, format);
    ASSERT_TRUE(Packed(out, bytes) == expected) << name << " format " << format;
    for (uint32_t y = 0; y < out.height; ++y) {
      const uint8_t* pad = out.rows.data() + y * out.stride + out.width * bytes;
      ASSERT_TRUE(std::all_of(pad, pad + 7, [](uint8_t b) { return b == kCanary; }))
          << name << " format " << format << ": padding of row " << y << " written";
    }
  }
}

std::vector<std::string> InProfileData() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(zentrafold::test::DataDir())) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() == ".jpg" && name.rfind("refuse_", 0) != 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CApiFormats, EveryCommittedStreamInEveryOrderMatchesDecodeImage) {
  Decoder d;
  const auto names = InProfileData();
  ASSERT_GT(names.size(), 15u);
  for (const std::string& name : names) ExpectAllFormats(d.decoder, zentrafold::test::ReadData(name), name);
}

TEST(CApiFormats, PhotographsInBgrxAndRgbMatchDecodeImage) {
  const auto photos = zentrafold::test::Photographs(true, 12);
  if (photos.empty()) GTEST_SKIP() << "plasma-workspace-wallpapers is not installed";
  Decoder d;
  for (const fs::path& p : photos) {
    const Bytes stream = zentrafold::test::ReadFile(p);
    const Reference ref = DecodeReference(stream);
    ASSERT_TRUE(ref.decoded) << p;
    EXPECT_EQ(ref.status, kZfOk) << p;
    for (ZfFormat format : {kZfBgrx, kZfRgb}) {
      const Output out = DecodeWhole(d.decoder, stream, format);
      EXPECT_EQ(out.status, kZfOk) << p;
      EXPECT_TRUE(out.rows == Reorder(ref.bgrx, format)) << p << " format " << format;
    }
  }
}

// Band mode: what the band function saw, row by row.
struct BandLog {
  uint32_t bytesPerRow = 0;
  uint32_t stopAtBand = UINT32_MAX;
  std::vector<std::pair<uint32_t, uint32_t>> bands;  // firstRow, rowCount
  Bytes rows;                                       // packed
};

int CollectBand(void* context, const uint8_t* rows, size_t stride, uint32_t firstRow, uint32_t rowCount) {
  auto* log = static_cast<BandLog*>(context);
  log->bands.emplace_back(firstRow, rowCount);
  for (uint32_t r = 0; r < rowCount; ++r) log->rows.insert(log->rows.end(), rows + r * stride, rows + r * stride + log->bytesPerRow);
  return log->bands.size() - 1 == log->stopAtBand ? 1 : 0;
}

TEST(CApiBands, BandsMatchTheWholePictureTopToBottom) {
  Decoder d;
  for (const char* name : {"sample_2x2.jpg", "sample_1x2.jpg", "grey.jpg", "size_17x17.jpg", "restart_row.jpg"}) {
    const Bytes stream = zentrafold::test::ReadData(name);
    ZfInfo info;
    ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
    const uint32_t bandRows = ZfBandRows(&info);
    EXPECT_EQ(bandRows, (info.samplingCode & 0x0F) == 2 ? 16u : 8u);
    for (ZfFormat format : {kZfBgrx, kZfRgb, kZfGrey}) {
      BandLog log;
      log.bytesPerRow = info.width * ZfBytesPerPixel(format);
      const size_t stride = log.bytesPerRow + 3;
      Bytes band(stride * bandRows, kCanary);
      const ZfOutput out{format, band.data(), stride, CollectBand, &log};
      ASSERT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &out), kZfOk) << name;
      const Output whole = DecodeWhole(d.decoder, stream, format);
      EXPECT_TRUE(log.rows == whole.rows) << name << " format " << format;
      uint32_t next = 0;
      for (auto [first, count] : log.bands) {
        EXPECT_EQ(first, next);
        EXPECT_TRUE(count == bandRows || first + count == info.height) << name;
        next = first + count;
      }
      EXPECT_EQ(next, info.height) << name;
      for (uint32_t r = 0; r < bandRows; ++r) EXPECT_EQ(band[r * stride + log.bytesPerRow], kCanary) << name;
    }
  }
}

TEST(CApiBands, NonZeroFromTheBandFunctionStops) {
  Decoder d;
  const Bytes stream = zentrafold::test::ReadData("size_250x40.jpg");  // 16-row bands: 3 of them
  for (uint32_t stopAt : {0u, 1u, 2u}) {
    BandLog log;
    log.bytesPerRow = 250 * 4;
    log.stopAtBand = stopAt;
    Bytes band(250 * 4 * 16);
    const ZfOutput out{kZfBgrx, band.data(), 250 * 4, CollectBand, &log};
    EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &out), kZfStopped);
    EXPECT_EQ(log.bands.size(), stopAt + 1);
  }
  // The decoder is usable again after a stop.
  EXPECT_EQ(DecodeWhole(d.decoder, stream, kZfBgrx).status, kZfOk);
}

// Streams refused at their headers: ZfReadInfo, ZfDecode and the state of
// DecodeImage give the same status, and ZfDecode writes nothing.
void ExpectRefused(const Bytes& stream, ZfStatus expected, const std::string& what) {
  ZfInfo info;
  EXPECT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), expected) << what;
  Decoder d;
  Bytes buffer(64 * 64 * 4, kCanary);
  const ZfOutput out{kZfBgrx, buffer.data(), 64 * 4, nullptr, nullptr};
  EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &out), expected) << what;
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == kCanary; })) << what;
  const Reference ref = DecodeReference(stream);
  EXPECT_FALSE(ref.decoded) << what;
  EXPECT_EQ(ref.status, expected) << what;
}

// A copy of `stream` with `bytes` put in place of `count` bytes at `at`.
Bytes Splice(Bytes stream, size_t at, size_t count, const Bytes& bytes) {
  stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(at + count));
  stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
  return stream;
}

size_t SegmentLength(const Bytes& stream, size_t marker) { return 2u + (stream[marker + 2] << 8 | stream[marker + 3]); }

// Streams the bitmap entry refuses and the C API opens (or refuses for its
// own reason): DecodeImage keeps the narrow profile's statuses exactly.
void ExpectProfileRefused(const Bytes& stream, ZfStatus profile, ZfStatus api, const std::string& what) {
  const Reference ref = DecodeReference(stream);
  EXPECT_FALSE(ref.decoded) << what;
  EXPECT_EQ(ref.status, profile) << what;
  ZfInfo info;
  const ZfStatus headers = ZfReadInfo(stream.data(), stream.size(), &info);
  EXPECT_EQ(headers, api == kZfDamaged ? kZfOk : api) << what;
  if (headers != kZfOk) return;
  Decoder d;
  const uint32_t bytes = info.colorSpace == kZfColorCmyk || info.colorSpace == kZfColorYcck ? 4 : 3;
  Bytes buffer(static_cast<size_t>(info.width) * info.height * bytes);
  const ZfOutput out{bytes == 4 ? kZfCmyk : kZfRgb, buffer.data(), info.width * bytes, nullptr, nullptr};
  EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &out), api) << what;
}

TEST(CApiStatus, EachRefusalHasItsOwnReason) {
  using zentrafold::test::FindMarker;
  using zentrafold::test::ReadData;
  // The library decodes progressive and arithmetic-coded frames; the bitmap
  // entry refuses them.
  for (const auto& [name, refusal] : {std::pair{"refuse_progressive.jpg", kZfProgressive},
                                      std::pair{"refuse_arithmetic.jpg", kZfArithmetic}}) {
    const Bytes stream = ReadData(name);
    EXPECT_EQ(DecodeReference(stream).status, refusal) << name;
    Decoder d;
    ZfInfo info;
    ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk) << name;
    Bytes buffer(static_cast<size_t>(info.width) * info.height * 3);
    const ZfOutput out{kZfRgb, buffer.data(), info.width * 3, nullptr, nullptr};
    EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &out), kZfOk) << name;
  }
  ExpectRefused(ReadData("refuse_precision12.jpg"), kZfPrecision, "12-bit");

  const Bytes base = ReadData("sample_2x2.jpg");
  const size_t sof = FindMarker(base, 0xC0);
  const size_t dht = FindMarker(base, 0xC4);
  const size_t sos = FindMarker(base, 0xDA);
  ASSERT_NE(sof, std::string::npos);
  auto withByte = [&](size_t at, uint8_t value) { return Splice(base, at, 1, {value}); };

  ExpectRefused(Bytes{}, kZfNotJpeg, "empty");
  ExpectRefused(withByte(1, 0xD9), kZfNotJpeg, "no SOI");
  // Every cut from after SOI up to the scan header's component count.
  for (size_t length = 2; length <= sos + 4; ++length) {
    const Bytes cut(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(length));
    ZfInfo info;
    ASSERT_EQ(ZfReadInfo(cut.data(), cut.size(), &info), kZfTruncated) << "cut at " << length;
  }
  ExpectRefused(Bytes(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(sos)), kZfTruncated, "cut before SOS");
  ExpectRefused(withByte(sof + 1, 0xC3), kZfLossless, "lossless");
  ExpectRefused(withByte(sof + 1, 0xC5), kZfHierarchical, "hierarchical");
  ExpectRefused(withByte(sof + 1, 0xCB), kZfLossless, "lossless arithmetic");
  ExpectRefused(Splice(base, sof + 5, 2, {0, 0}), kZfZeroSize, "height 0");
  ExpectRefused(withByte(sof + 3, 0x20), kZfMalformed, "frame length");
  const Bytes frame(base.begin() + static_cast<std::ptrdiff_t>(sof),
                    base.begin() + static_cast<std::ptrdiff_t>(sof + SegmentLength(base, sof)));
  ExpectRefused(Splice(base, sof, 0, frame), kZfSecondFrame, "two frames");
  ExpectRefused(Splice(base, sof, SegmentLength(base, sof), {}), kZfNoFrame, "no frame");
  ExpectRefused(withByte(dht + 5, 3), kZfBadHuffmanTable, "three codes of length 1");
  bool anyTableOne = false;
  for (size_t at = dht; at < sos; ++at) anyTableOne |= base[at] == 0xFF && base[at + 1] == 0xC4 && (base[at + 4] & 0x0F) == 1;
  ASSERT_TRUE(anyTableOne);
  // Drop each DHT that defines a table 1 (one table per segment here).
  Bytes noChromaTables = base;
  for (size_t at = 0; at + 4 < noChromaTables.size();) {
    if (noChromaTables[at] == 0xFF && noChromaTables[at + 1] == 0xC4 && (noChromaTables[at + 4] & 0x0F) == 1) {
      noChromaTables = Splice(noChromaTables, at, SegmentLength(noChromaTables, at), {});
    } else {
      ++at;
    }
  }
  ExpectRefused(noChromaTables, kZfMissingTables, "chroma tables missing");

  // The C API's own refusals, which the bitmap entry shares or refuses
  // sooner by its profile.
  auto apiRefused = [&](const Bytes& stream, ZfStatus profile, ZfStatus api, const std::string& what) {
    ExpectProfileRefused(stream, profile, api, what);
    Decoder d;
    Bytes buffer(64 * 64 * 4, kCanary);
    const ZfOutput out{kZfBgrx, buffer.data(), 64 * 4, nullptr, nullptr};
    EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &out), api) << what;
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == kCanary; })) << what;
  };
  apiRefused(withByte(sof + 9, 2), kZfComponentCount, kZfComponentCount, "two components");
  apiRefused(withByte(sof + 14, 0x51), kZfSampling, kZfSampling, "factor 5");
  apiRefused(withByte(sof + 14, 0x31), kZfSampling, kZfSampling, "ratio 2 to 3");
  apiRefused(withByte(sof + 11, 0x44), kZfSampling, kZfSampling, "18 blocks an MCU");
  apiRefused(withByte(sof + 13, 1), kZfComponents, kZfComponents, "identifier twice");
  // The profile does not read the scan's selectors; the C API does.
  const Bytes strangeSelector = withByte(sos + 5, 9);
  EXPECT_TRUE(DecodeReference(strangeSelector).decoded);
  ZfInfo selectorInfo;
  EXPECT_EQ(ZfReadInfo(strangeSelector.data(), strangeSelector.size(), &selectorInfo), kZfComponents);
  apiRefused(withByte(sof + 12, 4), kZfComponents, kZfTables, "quantisation table 4");
  apiRefused(withByte(dht + 4, static_cast<uint8_t>(base[dht + 4] | 0x02)), kZfTables, kZfMissingTables,
             "Huffman table 2 in place of the one the scan names");

  // The profile's refusals of what the C API opens.
  ExpectProfileRefused(ReadData("sequential/wide_ycck.jpg"), kZfComponentCount, kZfOk, "CMYK");
  ExpectProfileRefused(ReadData("sequential/wide_sampling_4x1.jpg"), kZfSampling, kZfOk, "4x1");
  ExpectProfileRefused(ReadData("sequential/wide_chroma_2x2.jpg"), kZfSampling, kZfOk, "chroma 2x2");
  ExpectProfileRefused(withByte(sof + 1, 0xC1), kZfExtended, kZfOk, "extended");
  ExpectProfileRefused(Splice(withByte(sof + 10, 4), sos + 5, 1, {4}), kZfComponents, kZfOk, "identifier 4");
  ExpectProfileRefused(withByte(sof + 12, 1), kZfComponents, kZfOk, "luma quantisation table 1");
  ExpectProfileRefused(Splice(base, sof, 0, {0xFF, 0xE0, 0x00, 0x02, 0xFF, 0xE0, 0x00, 0x02}), kZfSecondApp0, kZfOk,
                       "two APP0");
  const Bytes huffman(base.begin() + static_cast<std::ptrdiff_t>(dht),
                      base.begin() + static_cast<std::ptrdiff_t>(dht + SegmentLength(base, dht)));
  ExpectProfileRefused(Splice(base, dht, 0, huffman), kZfTableRedefined, kZfOk, "DHT twice");
  // One component in the scan of a three-component frame: the C API takes
  // it as the first of several scans; the data, coded for all three, then
  // decodes as something else, and the other scans never come.
  const Bytes oneComponent = Splice(base, sos + 2, 3, {0x00, 0x08, 0x01});
  EXPECT_EQ(DecodeReference(oneComponent).status, kZfSeveralScans);
}

TEST(CApiStatus, ReadInfoDescribesRefusedFramesToo) {
  ZfInfo info;
  Bytes lossless = zentrafold::test::ReadData("sample_2x2.jpg");
  lossless[zentrafold::test::FindMarker(lossless, 0xC0) + 1] = 0xC3;
  ASSERT_EQ(ZfReadInfo(lossless.data(), lossless.size(), &info), kZfLossless);
  EXPECT_EQ(info.frameMarker, 0xC3u);
  EXPECT_STREQ(ZfFrameKindText(info.frameMarker), "lossless");
  EXPECT_NE(std::string(ZfStatusText(kZfLossless)).find("lossless"), std::string::npos);
  EXPECT_GT(info.width, 0u);
  EXPECT_EQ(info.precision, 8u);

  const Bytes restart = zentrafold::test::ReadData("restart_1mcu.jpg");
  ASSERT_EQ(ZfReadInfo(restart.data(), restart.size(), &info), kZfOk);
  EXPECT_EQ(info.restartInterval, 1u);
  EXPECT_EQ(info.frameMarker, 0xC0u);
  const Bytes grey = zentrafold::test::ReadData("grey_sampled_2x2.jpg");
  ASSERT_EQ(ZfReadInfo(grey.data(), grey.size(), &info), kZfOk);
  EXPECT_EQ(info.components, 1u);
  EXPECT_EQ(info.samplingCode, 0x11u);  // one block per MCU whatever the component says
  EXPECT_EQ(info.component[0].sampling, 0x22u);
  EXPECT_EQ(ZfBandRows(&info), 8u);

  std::set<std::string> texts;
  for (int s = kZfOk; s <= kZfBadData; ++s) texts.insert(ZfStatusText(static_cast<ZfStatus>(s)));
  EXPECT_EQ(texts.size(), static_cast<size_t>(kZfBadData) + 1) << "two statuses share a text";
  EXPECT_STREQ(ZfStatusText(static_cast<ZfStatus>(999)), "unknown status");
}

TEST(CApiStatus, EveryIntactStreamIsOk) {
  Decoder d;
  for (const std::string& name : InProfileData()) {
    EXPECT_EQ(DecodeWhole(d.decoder, zentrafold::test::ReadData(name), kZfBgrx).status, kZfOk) << name;
  }
  for (const fs::path& p : zentrafold::test::Photographs(true, 40)) {
    EXPECT_EQ(DecodeWhole(d.decoder, zentrafold::test::ReadFile(p), kZfBgrx).status, kZfOk) << p;
  }
}

// Every cut inside the entropy-coded data gives a whole picture marked
// damaged, with DecodeImage's pixels; a cut that leaves all the data (only
// EOI missing) is intact.
TEST(CApiStatus, EveryCutInsideTheDataIsDamaged) {
  Decoder d;
  for (const std::string name :
       {"size_96x64_2x1.jpg", "noise_optimized.jpg", "restart_flat_1mcu.jpg", "restart_flatgrey_1mcu.jpg"}) {
    const Bytes stream = zentrafold::test::ReadData(name);
    const size_t data = zentrafold::test::ScanDataOffset(stream);
    ASSERT_EQ(stream[stream.size() - 2], 0xFF);
    const size_t dataEnd = stream.size() - 2;  // the EOI marker
    for (size_t length = data; length <= stream.size(); ++length) {
      const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
      const Output out = DecodeWhole(d.decoder, cut, kZfBgrx);
      const ZfStatus expected = length < dataEnd ? kZfDamaged : kZfOk;
      ASSERT_EQ(out.status, expected) << name << " cut at " << length << " of " << stream.size();
      const Reference ref = DecodeReference(cut);
      ASSERT_TRUE(ref.decoded) << name << " cut at " << length;
      ASSERT_TRUE(out.rows == ref.bgrx) << name << " cut at " << length;
    }
  }
}

TEST(CApiStatus, DataThatCannotBeDecodedNamesItsMcu) {
  using zentrafold::test::BitWriter;
  using zentrafold::test::BuildStream;
  using zentrafold::test::StreamSpec;
  // Six grey 8x8 MCUs: the first whole (DC size 0, EOB), the second an AC
  // symbol of run 1 and size 0, which no stream may hold; then bits enough
  // for the rest, so that the data has not ended where the decode fails.
  BitWriter bits;
  bits.Put(0x0, 4);
  bits.Put(0x00, 8);
  bits.Put(0x0, 4);
  bits.Put(0x10, 8);
  for (int i = 0; i < 4; ++i) bits.Put(0x000, 12);
  const Bytes stream = BuildStream(StreamSpec{48, 8, 1}, bits.Take());
  Decoder d;
  EXPECT_EQ(DecodeWhole(d.decoder, stream, kZfBgrx).status, kZfBadData);
  EXPECT_EQ(ZfFailedMcu(d.decoder), 1u);
  EXPECT_EQ(DecodeReference(stream).status, kZfBadData);
}

TEST(CApiOptions, MaxPixelsRefusesBeforeWriting) {
  const Bytes stream = zentrafold::test::ReadData("size_250x40.jpg");
  Bytes buffer(250 * 40 * 4, kCanary);
  const ZfOutput out{kZfBgrx, buffer.data(), 250 * 4, nullptr, nullptr};
  const ZfOptions small{0, 250 * 40 - 1, 0};
  Decoder limited(&small);
  EXPECT_EQ(ZfDecode(limited.decoder, stream.data(), stream.size(), &out), kZfTooLarge);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == kCanary; }));
  const ZfOptions exact{1, 250 * 40, 0};
  Decoder enough(&exact);
  EXPECT_EQ(ZfDecode(enough.decoder, stream.data(), stream.size(), &out), kZfOk);

  // The default limit is 2^28 pixels: a frame header of 16384 x 16385 is over it.
  Bytes huge = stream;
  const size_t sof = zentrafold::test::FindMarker(huge, 0xC0);
  huge[sof + 5] = 0x40, huge[sof + 6] = 0x01, huge[sof + 7] = 0x40, huge[sof + 8] = 0x00;
  Decoder defaults;
  EXPECT_EQ(ZfDecode(defaults.decoder, huge.data(), huge.size(), &out), kZfTooLarge);
}

TEST(CApiOptions, BadArguments) {
  const Bytes stream = zentrafold::test::ReadData("size_17x17.jpg");
  Decoder d;
  Bytes buffer(17 * 17 * 4);
  const ZfOutput good{kZfBgrx, buffer.data(), 17 * 4, nullptr, nullptr};
  EXPECT_EQ(ZfDecode(nullptr, stream.data(), stream.size(), &good), kZfBadArgument);
  EXPECT_EQ(ZfDecode(d.decoder, nullptr, stream.size(), &good), kZfBadArgument);
  EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), nullptr), kZfBadArgument);
  const ZfOutput narrow{kZfBgrx, buffer.data(), 17 * 4 - 1, nullptr, nullptr};
  EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &narrow), kZfBadArgument);
  const ZfOutput unknown{static_cast<ZfFormat>(8), buffer.data(), 17 * 4, nullptr, nullptr};
  EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &unknown), kZfBadArgument);
  // CMYK is made of CMYK and YCCK streams only.
  const ZfOutput cmyk{kZfCmyk, buffer.data(), 17 * 4, nullptr, nullptr};
  EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &cmyk), kZfBadFormat);
  EXPECT_EQ(ZfSetWorkMemory(nullptr, nullptr, 0), kZfBadArgument);
  EXPECT_EQ(ZfSetWorkMemory(d.decoder, nullptr, 16), kZfBadArgument);
  const ZfOutput noPixels{kZfBgrx, nullptr, 17 * 4, nullptr, nullptr};
  EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &noPixels), kZfBadArgument);
  EXPECT_EQ(ZfReadInfo(stream.data(), stream.size(), nullptr), kZfBadArgument);
  EXPECT_EQ(ZfBytesPerPixel(static_cast<ZfFormat>(-1)), 0u);
  EXPECT_EQ(ZfDecode(d.decoder, stream.data(), stream.size(), &good), kZfOk);
}

// Fill bytes (0xFF before a marker or a stuffed 0xFF 0x00) change nothing.
void ExpectSamePicture(const Bytes& plain, const Bytes& filled, const std::string& what) {
  Decoder d;
  const Output a = DecodeWhole(d.decoder, plain, kZfBgrx);
  const Output b = DecodeWhole(d.decoder, filled, kZfBgrx);
  EXPECT_EQ(a.status, kZfOk) << what;
  EXPECT_EQ(b.status, kZfOk) << what;
  EXPECT_TRUE(a.rows == b.rows) << what;
  const Reference ref = DecodeReference(filled);
  EXPECT_TRUE(ref.decoded && ref.bgrx == a.rows) << what;
}

Bytes WithoutRestartInterval(const Bytes& stream) {
  const size_t dri = zentrafold::test::FindMarker(stream, 0xDD);
  return dri == std::string::npos ? stream : Splice(stream, dri, 6, {});
}

TEST(CApiFillBytes, BeforeEoiRestartsAndStuffedBytes) {
  for (const std::string name : {"sample_2x2.jpg", "grey.jpg", "noise_q100.jpg"}) {
    const Bytes stream = zentrafold::test::ReadData(name);
    const size_t eoi = stream.size() - 2;
    ExpectSamePicture(stream, Splice(stream, eoi, 0, {0xFF}), name + ": one fill byte before EOI");
    ExpectSamePicture(stream, Splice(stream, eoi, 0, {0xFF, 0xFF, 0xFF}), name + ": three before EOI");
    // The first stuffed 0xFF 0x00 of the data becomes 0xFF 0xFF 0x00.
    const size_t data = zentrafold::test::ScanDataOffset(stream);
    for (size_t at = data; at + 1 < eoi; ++at) {
      if (stream[at] == 0xFF && stream[at + 1] == 0x00) {
        ExpectSamePicture(stream, Splice(stream, at, 0, {0xFF}), name + ": a fill byte in a stuffed 0xFF");
        break;
      }
    }
  }
  // Restart markers without a DRI interval: fill bytes before each.
  const Bytes restart = WithoutRestartInterval(zentrafold::test::ReadData("restart_jpegtran_3mcu.jpg"));
  Bytes filled = restart;
  int markers = 0;
  for (size_t at = zentrafold::test::ScanDataOffset(filled); at + 1 < filled.size(); ++at) {
    if (filled[at] == 0xFF && filled[at + 1] >= 0xD0 && filled[at + 1] <= 0xD7) {
      filled = Splice(filled, at, 0, {0xFF});
      at += 2;
      ++markers;
    }
  }
  ASSERT_GT(markers, 0);
  ExpectSamePicture(restart, filled, "fill bytes before restart markers");
}

TEST(CApiFillBytes, AmongTheFirstFourDataBytes) {
  using zentrafold::test::BitWriter;
  using zentrafold::test::BuildStream;
  using zentrafold::test::StreamSpec;
  // One grey block in two data bytes: the load at the scan reads the EOI
  // marker as its third and fourth bytes; with fill bytes before it too.
  BitWriter shortData;
  shortData.Put(0x0, 4);   // DC size 0
  shortData.Put(0x00, 8);  // EOB
  const Bytes tiny = BuildStream(StreamSpec{8, 8, 1}, shortData.Take());
  ExpectSamePicture(tiny, Splice(tiny, tiny.size() - 2, 0, {0xFF}), "fill byte in the first four");
  ExpectSamePicture(tiny, Splice(tiny, tiny.size() - 2, 0, {0xFF, 0xFF, 0xFF}), "three fill bytes in the first four");

  // A stuffed 0xFF as the second data byte: DC size 4, magnitude 1111, then
  // the 9-bit code of run 15 size 10 (eight ones and a zero).
  BitWriter stuffed;
  stuffed.Put(0x4, 4);
  stuffed.Put(0xF, 4);
  stuffed.Put(0x1FE, 9);
  stuffed.Put(0x200, 10);
  stuffed.Put(0x00, 8);
  const Bytes withStuffing = BuildStream(StreamSpec{8, 8, 1}, stuffed.Take());
  const size_t data = zentrafold::test::ScanDataOffset(withStuffing);
  ASSERT_EQ(withStuffing[data + 1], 0xFF);
  ASSERT_EQ(withStuffing[data + 2], 0x00);
  ExpectSamePicture(withStuffing, Splice(withStuffing, data + 1, 0, {0xFF}), "0xFF 0xFF 0x00 in the first four");
}

}  // namespace
