// ZfDecode on arbitrary streams with arbitrary call parameters. The first
// kParameterBytes of the input choose how the stream (the rest) is decoded:
//
//   [0] format: below 0xE0, one of the eight (value % 8); from 0xE0, a value
//       outside the enumeration, as a C caller may pass one
//   [1] stride: low two bits 0 or 3 exact, 1 padded by 1 + (byte >> 2)
//       bytes, 2 short by 1 + (byte >> 2) bytes (never below 0)
//   [2] bit 0: band mode; the rest, k: the band function asks to stop at
//       band k - 1 (0: never)
//   [3] maxPixels: low two bits 0 the cap below, 1 exactly the frame's
//       pixels, 2 one fewer, 3 (byte >> 2) + 1 MCUs' worth of 64 pixels
//
// The buffer is exactly rows * stride bytes plus a guard, filled with a
// canary: the padding of every row and the guard must come back untouched,
// and all of it when the decode writes nothing. The statuses must agree with
// ZfReadInfo's and with the call's arguments, the bands must come top to
// bottom, and the pixels must be those of the same stream decoded in BGRX
// (a second decode in bands, stopped where the first one's rows end).
#include <zentrafold/zentrafold.h>

#include <cstring>
#include <memory>

#include "decoder_state.h"
#include "fuzz_check.h"

namespace {

constexpr size_t kParameterBytes = 4;
// Frames above this many pixels are refused through maxPixels: at 17 us or
// so per block under the sanitizers, a decode of a megapixel takes a good
// part of a second.
constexpr uint64_t kMaxPixels = uint64_t{1} << 20;
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kCanary = 0xA7;

// Values outside ZfFormat (0..7) that a C caller can pass.
constexpr int32_t kBadFormats[] = {8, 9, 100, 255, 0x7FFFFFFF, -1, -7, INT32_MIN};

// Decodes on three threads, for pictures of any size, so that the split
// decode of restart intervals as tasks and the runs ahead of streams without
// one (short runs, so that small pictures see many) meet every input, and
// their pixels are held to the reference decoder's, which runs on one.
ZfDecoder* CappedDecoder() {
  static ZfDecoder* decoder = [] {
    gMinParallelPixels = 0;
    gMinAheadMcus = 16;
    gAheadRunMcus = 24;
    return MakeCappedDecoder(kMaxPixels, 3);
  }();
  return decoder;
}

// The decoder the comparison decode runs on, so that each input also goes
// through two decoders one after the other.
ZfDecoder* ReferenceDecoder() {
  static ZfDecoder* decoder = MakeCappedDecoder(kMaxPixels);
  return decoder;
}

struct DecoderDeleter {
  void operator()(ZfDecoder* decoder) const { ZfDestroyDecoder(decoder); }
};

bool AllCanary(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (bytes[i] != kCanary) return false;
  return true;
}

// The padding of `rows` rows of `stride` bytes whose first `rowBytes` are pixels.
bool PaddingUntouched(const uint8_t* buffer, size_t stride, size_t rowBytes, size_t rows) {
  for (size_t y = 0; y < rows; ++y)
    if (!AllCanary(buffer + y * stride + rowBytes, stride - rowBytes)) return false;
  return true;
}

struct Geometry {
  uint32_t width, height, bandRows, mcusPerRow, bands;
};

Geometry FrameGeometry(const ZfInfo& info) {
  Geometry g{};
  g.width = info.width;
  g.height = info.height;
  g.bandRows = ZfBandRows(&info);
  FUZZ_CHECK(g.bandRows % 8 == 0 && g.bandRows >= 8 && g.bandRows <= 32);
  const uint32_t mcuWidth = 8 * (info.samplingCode >> 4);
  g.mcusPerRow = (g.width + mcuWidth - 1) / mcuWidth;
  g.bands = (g.height + g.bandRows - 1) / g.bandRows;
  return g;
}

// The band function of the decode under test: checks the order and size of
// the bands and the band buffer's padding, keeps the rows in `picture` (when
// set), and asks to stop at band `stopAt`.
struct BandRun {
  const uint8_t* buffer;
  size_t bufferBytes;
  size_t stride;
  size_t rowBytes;
  Geometry geometry;
  uint32_t stopAt;  // UINT32_MAX: never
  int stopValue;
  uint8_t* picture;  // rowBytes per row, or null
  uint32_t nextRow;
  uint32_t calls;
  bool stopped;
};

int TestedBand(void* context, const uint8_t* rows, size_t stride, uint32_t firstRow, uint32_t rowCount) {
  auto& run = *static_cast<BandRun*>(context);
  const Geometry& g = run.geometry;
  FUZZ_CHECK(!run.stopped);
  FUZZ_CHECK(rows == run.buffer && stride == run.stride);
  FUZZ_CHECK(firstRow == run.nextRow);
  FUZZ_CHECK(rowCount >= 1 && rowCount <= g.bandRows);
  FUZZ_CHECK(firstRow + rowCount <= g.height);
  // Every band but the last is a whole band.
  FUZZ_CHECK(rowCount == g.bandRows || firstRow + rowCount == g.height);
  FUZZ_CHECK(PaddingUntouched(rows, stride, run.rowBytes, g.bandRows));
  FUZZ_CHECK(AllCanary(run.buffer + g.bandRows * stride, run.bufferBytes - g.bandRows * stride));
  if (run.picture != nullptr) {
    for (uint32_t y = 0; y < rowCount; ++y)
      std::memcpy(run.picture + (firstRow + y) * run.rowBytes, rows + y * stride, run.rowBytes);
  }
  run.nextRow = firstRow + rowCount;
  if (run.calls++ == run.stopAt) {
    run.stopped = true;
    return run.stopValue;
  }
  return 0;
}

// Whether a pixel of `format` is the BGRX pixel `bgrx` in that order.
bool SamePixel(const uint8_t* pixel, const uint8_t* bgrx, ZfFormat format, bool greyStream) {
  if (bgrx[3] != 0) return false;
  switch (format) {
    case kZfBgrx: return std::memcmp(pixel, bgrx, 4) == 0;
    case kZfBgra: return std::memcmp(pixel, bgrx, 3) == 0 && pixel[3] == 255;
    case kZfRgbx: return pixel[0] == bgrx[2] && pixel[1] == bgrx[1] && pixel[2] == bgrx[0] && pixel[3] == 0;
    case kZfRgba: return pixel[0] == bgrx[2] && pixel[1] == bgrx[1] && pixel[2] == bgrx[0] && pixel[3] == 255;
    case kZfBgr: return std::memcmp(pixel, bgrx, 3) == 0;
    case kZfRgb: return pixel[0] == bgrx[2] && pixel[1] == bgrx[1] && pixel[2] == bgrx[0];
    case kZfGrey:
      // The luma of a colour stream has no BGRX counterpart.
      return !greyStream || pixel[0] == bgrx[0];
    case kZfCmyk:
      return true;  // no BGRX counterpart
  }
  return false;
}

// The band function of the comparison decode in BGRX: every band must match
// the rows the decode under test wrote; it stops once past them when that
// decode was stopped.
struct ReferenceRun {
  const uint8_t* picture;  // the tested decode's rows, pictureStride apart
  size_t pictureStride;
  ZfFormat format;
  bool greyStream;
  uint32_t width;
  uint32_t rows;  // how many rows the tested decode wrote
  bool stopAfter;
  uint32_t nextRow;
};

int ReferenceBand(void* context, const uint8_t* rows, size_t stride, uint32_t firstRow, uint32_t rowCount) {
  auto& run = *static_cast<ReferenceRun*>(context);
  FUZZ_CHECK(firstRow == run.nextRow);
  FUZZ_CHECK(firstRow + rowCount <= run.rows);
  const uint32_t bytes = ZfBytesPerPixel(run.format);
  for (uint32_t y = 0; y < rowCount; ++y) {
    const uint8_t* bgrx = rows + y * stride;
    const uint8_t* pixel = run.picture + (firstRow + y) * run.pictureStride;
    for (uint32_t x = 0; x < run.width; ++x, bgrx += 4, pixel += bytes) {
      // A grey stream comes out grey.
      if (run.greyStream) FUZZ_CHECK(bgrx[0] == bgrx[1] && bgrx[1] == bgrx[2]);
      FUZZ_CHECK(SamePixel(pixel, bgrx, run.format, run.greyStream));
    }
  }
  run.nextRow = firstRow + rowCount;
  return run.stopAfter && run.nextRow == run.rows ? 1 : 0;
}

bool KnownStatus(ZfStatus status) {
  const int value = static_cast<int>(status);
  return value >= kZfOk && value <= kZfBadFormat;
}

// A decode that writes nothing: small buffer, all of it must stay canary.
ZfStatus DecodeRefused(ZfDecoder* decoder, const uint8_t* stream, size_t size, ZfOutput output) {
  uint8_t buffer[kGuardBytes];
  std::memset(buffer, kCanary, sizeof buffer);
  uint32_t calls = 0;
  output.pixels = buffer;
  if (output.band != nullptr) {
    output.context = &calls;
    output.band = [](void* context, const uint8_t*, size_t, uint32_t, uint32_t) {
      ++*static_cast<uint32_t*>(context);
      return 0;
    };
  }
  const ZfStatus status = ZfDecode(decoder, stream, size, &output);
  FUZZ_CHECK(AllCanary(buffer, sizeof buffer));
  FUZZ_CHECK(calls == 0);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kParameterBytes) return 0;
  const uint8_t* stream = data + kParameterBytes;
  const size_t streamSize = size - kParameterBytes;

  ZfInfo info;
  const ZfStatus infoStatus = ZfReadInfo(stream, streamSize, &info);
  FUZZ_CHECK(KnownStatus(infoStatus));
  FUZZ_CHECK(infoStatus != kZfDamaged && infoStatus != kZfStopped && infoStatus != kZfBadData);
  if (infoStatus == kZfOk) {
    const uint32_t f = info.frameMarker;
    FUZZ_CHECK((f == 0xC0 || f == 0xC1 || f == 0xC2 || f == 0xC9 || f == 0xCA) && info.precision == 8);
    FUZZ_CHECK(info.width >= 1 && info.height >= 1);
    FUZZ_CHECK(info.components == 1 || info.components == 3 || info.components == 4);
    FUZZ_CHECK(info.scanComponents >= 1 && info.scanComponents <= info.components);
    // The store: several scans, or any progressive frame.
    const bool stored = info.scanComponents < info.components || f == 0xC2 || f == 0xCA;
    FUZZ_CHECK((info.workBytes == 0) == !stored);
  }

  // The format, as a C caller would store it.
  const bool badFormat = data[0] >= 0xE0;
  const int32_t formatValue = badFormat ? kBadFormats[data[0] & 7] : data[0] % 8;
  ZfOutput output{};
  static_assert(sizeof(output.format) == sizeof(formatValue));
  std::memcpy(&output.format, &formatValue, sizeof formatValue);
  const ZfFormat format = badFormat ? kZfBgrx : static_cast<ZfFormat>(formatValue);

  const size_t rowBytes = size_t{info.width} * ZfBytesPerPixel(format);
  const size_t strideStep = 1 + (data[1] >> 2);
  size_t stride = rowBytes;
  if ((data[1] & 3) == 1) stride = rowBytes + strideStep;
  if ((data[1] & 3) == 2) stride = rowBytes > strideStep ? rowBytes - strideStep : 0;
  const bool shortStride = stride < rowBytes;

  const bool banded = (data[2] & 1) != 0;
  const uint32_t stopAt = (data[2] >> 1) == 0 ? UINT32_MAX : (data[2] >> 1) - 1u;
  output.stride = stride;
  output.band = banded ? TestedBand : nullptr;

  const uint64_t framePixels = uint64_t{info.width} * info.height;
  uint64_t maxPixels = kMaxPixels;
  switch (data[3] & 3) {
    case 1: maxPixels = framePixels; break;
    case 2: maxPixels = framePixels - 1; break;
    case 3: maxPixels = uint64_t{(data[3] >> 2) + 1u} * 64; break;
  }
  // Zero would mean the default (2^28); nothing here goes above the cap.
  if (maxPixels == 0 || maxPixels > kMaxPixels) maxPixels = kMaxPixels;
  std::unique_ptr<ZfDecoder, DecoderDeleter> ownDecoder;
  ZfDecoder* decoder = CappedDecoder();
  if (maxPixels != kMaxPixels) {
    ZfOptions options{};
    options.maxPixels = maxPixels;
    ownDecoder.reset(ZfCreateDecoder(&options));
    FUZZ_CHECK(ownDecoder != nullptr);
    decoder = ownDecoder.get();
  }
  const bool tooLarge = framePixels > maxPixels;

  // The decodes that write nothing.
  const bool noCmyk = format == kZfCmyk && info.colorSpace != kZfColorCmyk && info.colorSpace != kZfColorYcck;
  if (badFormat || infoStatus != kZfOk || tooLarge || shortStride || noCmyk) {
    const ZfStatus status = DecodeRefused(decoder, stream, streamSize, output);
    if (badFormat) {
      FUZZ_CHECK(status == kZfBadArgument);
    } else if (infoStatus != kZfOk) {
      FUZZ_CHECK(status == infoStatus);
    } else if (tooLarge) {
      FUZZ_CHECK(status == kZfTooLarge);
    } else if (shortStride) {
      FUZZ_CHECK(status == kZfBadArgument);
    } else {
      FUZZ_CHECK(status == kZfBadFormat);
    }
    return 0;
  }
  // A picture in several scans is written after its last scan: nothing is
  // written when a scan's data cannot be decoded.
  const bool severalScans = info.workBytes != 0;

  const Geometry g = FrameGeometry(info);
  const bool greyStream = info.components == 1;
  // The comparison decode is skipped where it would repeat this one.
  const bool compare = !(banded && format == kZfBgrx);
  const size_t outputRows = banded ? g.bandRows : g.height;
  const size_t bufferBytes = outputRows * stride + kGuardBytes;
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferBytes]);
  std::memset(buffer.get(), kCanary, bufferBytes);
  std::unique_ptr<uint8_t[]> picture;
  if (banded && compare) picture.reset(new uint8_t[size_t{g.height} * rowBytes]);
  output.pixels = buffer.get();

  BandRun run{};
  run.buffer = buffer.get();
  run.bufferBytes = bufferBytes;
  run.stride = stride;
  run.rowBytes = rowBytes;
  run.geometry = g;
  run.stopAt = stopAt;
  run.stopValue = (data[2] & 2) != 0 ? -1 : 1;
  run.picture = picture.get();
  output.context = &run;

  const ZfStatus status = ZfDecode(decoder, stream, streamSize, &output);
  FUZZ_CHECK(status == kZfOk || status == kZfDamaged || status == kZfBadData || status == kZfStopped);
  FUZZ_CHECK(PaddingUntouched(buffer.get(), stride, rowBytes, outputRows));
  FUZZ_CHECK(AllCanary(buffer.get() + outputRows * stride, kGuardBytes));

  // The rows this decode wrote.
  uint32_t rowsWritten = 0;
  const uint32_t failedMcu = status == kZfBadData ? ZfFailedMcu(decoder) : 0;
  if (status == kZfBadData && !severalScans) FUZZ_CHECK(failedMcu < g.mcusPerRow * g.bands);
  if (banded) {
    FUZZ_CHECK(run.stopped == (status == kZfStopped));
    FUZZ_CHECK(run.calls <= g.bands);
    if (status == kZfOk || status == kZfDamaged) FUZZ_CHECK(run.nextRow == g.height);
    if (status == kZfBadData) FUZZ_CHECK(run.calls == (severalScans ? 0 : failedMcu / g.mcusPerRow));
    rowsWritten = run.nextRow;
  } else {
    FUZZ_CHECK(status != kZfStopped);
    rowsWritten = status != kZfBadData ? g.height : severalScans ? 0 : failedMcu / g.mcusPerRow * g.bandRows;
  }
  if (!compare) return 0;

  // The same stream in BGRX, in bands of the reference decoder's own buffer.
  ReferenceRun reference{};
  reference.picture = banded ? picture.get() : buffer.get();
  reference.pictureStride = banded ? rowBytes : stride;
  reference.format = format;
  reference.greyStream = greyStream;
  reference.width = g.width;
  reference.rows = rowsWritten;
  reference.stopAfter = status == kZfStopped;
  if (reference.stopAfter && rowsWritten == 0) return 0;
  const std::unique_ptr<uint8_t[]> bgrx(new uint8_t[size_t{g.bandRows} * g.width * 4]);
  const ZfOutput referenceOutput{kZfBgrx, bgrx.get(), size_t{g.width} * 4, ReferenceBand, &reference};
  const ZfStatus referenceStatus = ZfDecode(ReferenceDecoder(), stream, streamSize, &referenceOutput);
  FUZZ_CHECK(referenceStatus == status);
  FUZZ_CHECK(reference.nextRow == rowsWritten);
  if (status == kZfBadData) FUZZ_CHECK(ZfFailedMcu(ReferenceDecoder()) == failedMcu);
  return 0;
}
