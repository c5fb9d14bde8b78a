// DecodeImage on arbitrary bytes. Each input is decoded twice: through the
// public entry (the fast paths this processor has) and on a state held to
// the scalar paths. Both must agree, null or the same picture to the bit,
// and once both sections are deleted no GDI object may be left alive.
#include <zentrafold/decoder.h>
#include <zentrafold/platform_debug.h>

#include <cstring>

#include "decoder_state.h"
#include "fuzz_check.h"

namespace {

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DecoderState& scalarState = ScalarState();
  const int liveBefore = ZentrafoldLiveGdiObjects();

  ImageRecord* fast = DecodeImage(data, size, nullptr);
  ImageRecord* scalar = DecodeImageWithState(scalarState, data, size, nullptr);
  FUZZ_CHECK((fast == nullptr) == (scalar == nullptr));
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
