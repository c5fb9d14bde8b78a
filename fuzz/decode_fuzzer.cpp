// DecodeImage on arbitrary bytes. Each input is decoded twice: through the
// public entry (the fast paths this processor has) and on a state held to
// the scalar paths. Both must agree, null or the same picture to the bit,
// and once both sections are deleted no GDI object may be left alive.
//
// Only small frames are decoded: the cost goes by blocks, some 13 us each
// under the sanitizers and the coverage counters (two decodes of a 64 x 64
// frame take a few milliseconds), and the run is to make 10,000 inputs a
// second. Frames the section memory refuses are decoded too (they come back
// null before the first MCU), and every stream passes the header stage.
#include <zentrafold/decoder.h>
#include <zentrafold/platform_debug.h>
#include <zentrafold/zentrafold.h>

#include <cstring>

#include "decoder_state.h"
#include "fuzz_check.h"
#include "section_limit.h"

namespace {

// Pixels of a frame decoded here, counted in whole MCUs: 16 luma blocks.
constexpr uint64_t kMaxDecodedPixels = 1024;

// Whether DecodeImage would run the MCU loop over more than kMaxDecodedPixels
// (the headers are read, and the section can be had).
bool SkipFrame(const ZfInfo& info) {
  const uint64_t mcuWidth = 8 * (info.samplingCode >> 4);
  const uint64_t mcuHeight = 8 * (info.samplingCode & 0x0F);
  const uint64_t mcuPixels = (info.width + mcuWidth - 1) / mcuWidth * mcuWidth *
                             ((info.height + mcuHeight - 1) / mcuHeight * mcuHeight);
  const uint64_t sectionBytes = uint64_t{info.width} * info.height * kBytesPerPixel;
  return mcuPixels > kMaxDecodedPixels && sectionBytes <= zentrafold::platform::kFuzzSectionCeiling;
}

DecoderState& ScalarState() {
  static DecoderState* state = [] {
    DecoderState* s = CreateDecoderState();
    FUZZ_CHECK(s != nullptr);
    s->paths = &ScalarPaths();
    return s;
  }();
  return *state;
}

// A successful result must describe the section it hands back.
void CheckRecord(const ImageRecord& image) {
  FUZZ_CHECK(image.bitmap != nullptr && image.bits != nullptr);
  FUZZ_CHECK(image.header.biSize == sizeof(BITMAPINFOHEADER));
  FUZZ_CHECK(image.header.biWidth >= 1 && image.header.biWidth <= 65535);
  FUZZ_CHECK(image.header.biHeight <= -1 && image.header.biHeight >= -65535);
  FUZZ_CHECK(image.header.biBitCount == 32 && image.header.biCompression == BI_RGB);
}

size_t PixelBytes(const ImageRecord& image) {
  return static_cast<size_t>(image.header.biWidth) * static_cast<size_t>(-image.header.biHeight) * 4;
}

// Whether the stream may hold a DAC segment: the profile skips it (it knows
// no arithmetic coding), where the C API checks its conditioning values as
// peers do, whatever the frame. Its marker's bytes anywhere (table segments
// are read by their contents, not their lengths, so neither a walk by
// lengths nor the first SOS bytes tell where the headers end).
bool MayHoldDac(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 1 < size; ++i)
    if (data[i] == 0xFF && data[i + 1] == 0xCC) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ZfInfo info;
  const ZfStatus headers = ZfReadInfo(data, size, &info);
  if (headers == kZfOk && SkipFrame(info)) return 0;
  DecoderState& scalarState = ScalarState();
  const int liveBefore = ZentrafoldLiveGdiObjects();

  ImageRecord* fast = DecodeImage(data, size, nullptr);
  ImageRecord* scalar = DecodeImageWithState(scalarState, data, size, nullptr);
  FUZZ_CHECK((fast == nullptr) == (scalar == nullptr));
  // Headers the C API's header stage refuses are refused by the decode,
  // but for what the bitmap entry's profile does not read: the scan's
  // selectors (its components and tables are fixed), the class nibble of a
  // Huffman table beyond its AC bit, the scan header's last fields (the C
  // API refuses a scan header the stream cuts short), and a frame header of
  // another process after the frame (which the profile skips), or before
  // it: a frame the C API decodes and the profile passes over (SOF1, SOF2,
  // SOF9, SOF10), refused by its own checks; and DAC segments, which the
  // profile skips (MayHoldDac).
  const bool profileFrame = info.frameMarker == 0 || info.frameMarker == 0xC0;
  if (headers != kZfOk && headers != kZfComponents && headers != kZfTables && headers != kZfMissingTables &&
      headers != kZfTruncated && headers != kZfSecondFrame && profileFrame && !MayHoldDac(data, size))
    FUZZ_CHECK(fast == nullptr);
  if (fast != nullptr) {
    CheckRecord(*fast);
    CheckRecord(*scalar);
    FUZZ_CHECK(fast->header.biWidth == scalar->header.biWidth);
    FUZZ_CHECK(fast->header.biHeight == scalar->header.biHeight);
    const size_t bytes = PixelBytes(*fast);
    FUZZ_CHECK(std::memcmp(fast->bits, scalar->bits, bytes) == 0);
    // The fourth byte of every pixel is zero.
    const auto* pixels = static_cast<const uint8_t*>(fast->bits);
    for (size_t i = kPixelZero; i < bytes; i += kBytesPerPixel) FUZZ_CHECK(pixels[i] == 0);
    FUZZ_CHECK(DeleteObject(fast->bitmap));
    FUZZ_CHECK(DeleteObject(scalar->bitmap));
  }
  FUZZ_CHECK(ZentrafoldLiveGdiObjects() == liveBefore);
  return 0;
}
