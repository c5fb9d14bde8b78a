// ZfDecodeView on arbitrary streams and views, and ZfReadIccProfile. The
// last kParameterBytes of the input choose the view (so that a stream of the
// seed corpus, its last bytes taken, is still a stream to decode):
//
//   [0] scale: 1, 2, 4 or 8 (low two bits); orientation 0..8 (the rest, % 9)
//   [1] format (% 8, kZfCmyk included)
//   [2] [3] the region's origin, as fractions of the view (0 and 0 with
//       [4] 0: the whole view)
//   [4] [5] its size, as fractions of what is left
//
// The region's decode must write inside its buffer only and give the bytes
// of the whole view's decode there, whenever the whole view decodes to a
// picture (a region may decode whole where the whole view meets bad data
// below it). The ICC profile's size must be what its reading writes.
// Blocks kept to their DC are read through skip tables in scans of any size
// here (the decoder makes them for large scans only), so that a region's
// outside, read that way, is checked against the whole view's decode.
#include <zentrafold/zentrafold.h>

#include <cstring>
#include <vector>

#include "decoder_state.h"
#include "fuzz_check.h"

namespace {

constexpr size_t kParameterBytes = 6;
constexpr uint64_t kMaxPixels = uint64_t{1} << 20;
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kCanary = 0xA7;

ZfDecoder* Decoder() {
  static ZfDecoder* decoder = [] {
    gMinSkipTableMcus = 0;
    return MakeCappedDecoder(kMaxPixels);
  }();
  return decoder;
}

struct Decoded {
  ZfStatus status;
  std::vector<uint8_t> pixels;  // rows, then the guard
};

Decoded DecodeView(const uint8_t* stream, size_t size, ZfFormat format, const ZfView& view, uint32_t width,
                   uint32_t height) {
  const size_t stride = static_cast<size_t>(width) * ZfBytesPerPixel(format);
  Decoded out;
  out.pixels.assign(stride * height + kGuardBytes, kCanary);
  const ZfOutput output{format, out.pixels.data(), stride, nullptr, nullptr};
  out.status = ZfDecodeView(Decoder(), stream, size, &output, &view);
  for (size_t i = stride * height; i < out.pixels.size(); ++i) FUZZ_CHECK(out.pixels[i] == kCanary);
  return out;
}

bool Picture(ZfStatus status) { return status == kZfOk || status == kZfDamaged; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kParameterBytes) return 0;
  const uint8_t* p = data + size - kParameterBytes;
  const size_t streamSize = size - kParameterBytes;
  const uint8_t* stream = streamSize != 0 ? data : nullptr;

  size_t iccSize = 0;
  const ZfStatus icc = ZfReadIccProfile(stream, streamSize, nullptr, 0, &iccSize);
  if (icc == kZfOk && iccSize != 0) {
    std::vector<uint8_t> profile(iccSize + kGuardBytes, kCanary);
    size_t again = 0;
    FUZZ_CHECK(ZfReadIccProfile(stream, streamSize, profile.data(), iccSize, &again) == kZfOk);
    FUZZ_CHECK(again == iccSize);
    for (size_t i = iccSize; i < profile.size(); ++i) FUZZ_CHECK(profile[i] == kCanary);
  } else {
    FUZZ_CHECK(iccSize == 0);
  }

  ZfInfo info;
  if (ZfReadInfo(stream, streamSize, &info) != kZfOk) return 0;
  if (static_cast<uint64_t>(info.width) * info.height > kMaxPixels) return 0;
  const uint32_t scales[] = {1, 2, 4, 8};
  ZfView whole{scales[p[0] & 3], static_cast<uint32_t>((p[0] >> 2) % 9), 0, 0, 0, 0};
  const auto format = static_cast<ZfFormat>(p[1] % 8);
  uint32_t width = 0, height = 0;
  FUZZ_CHECK(ZfViewSize(&info, &whole, &width, &height) == kZfOk);
  FUZZ_CHECK(width >= 1 && height >= 1);
  const Decoded all = DecodeView(stream, streamSize, format, whole, width, height);
  if (format == kZfCmyk && !Picture(all.status)) return 0;

  ZfView part = whole;
  if (p[2] != 0 || p[3] != 0 || p[4] != 0) {
    part.x = static_cast<uint32_t>(uint64_t{width - 1} * p[2] / 255);
    part.y = static_cast<uint32_t>(uint64_t{height - 1} * p[3] / 255);
    part.width = 1 + static_cast<uint32_t>(uint64_t{width - part.x - 1} * p[4] / 255);
    part.height = 1 + static_cast<uint32_t>(uint64_t{height - part.y - 1} * p[5] / 255);
  }
  uint32_t partWidth = 0, partHeight = 0;
  FUZZ_CHECK(ZfViewSize(&info, &part, &partWidth, &partHeight) == kZfOk);
  const Decoded region = DecodeView(stream, streamSize, format, part, partWidth, partHeight);
  if (!Picture(all.status) || !Picture(region.status)) return 0;
  // Damage below the region does not reach it.
  FUZZ_CHECK(region.status == kZfOk || all.status == kZfDamaged);
  const size_t bytes = ZfBytesPerPixel(format);
  const size_t wholeStride = static_cast<size_t>(width) * bytes;
  const size_t partStride = static_cast<size_t>(partWidth) * bytes;
  const uint32_t x = part.width != 0 ? part.x : 0, y = part.width != 0 ? part.y : 0;
  for (uint32_t row = 0; row < partHeight; ++row)
    FUZZ_CHECK(std::memcmp(region.pixels.data() + row * partStride,
                           all.pixels.data() + (y + row) * wholeStride + x * bytes, partStride) == 0);
  return 0;
}
