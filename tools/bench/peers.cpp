#include "peers.h"

#include <zentrafold/decoder.h>
#include <zentrafold/zentrafold.h>

#include <cstring>

#include "section_memory.h"

namespace {

// Blocks from the section allocator with their size in a 64-byte header, so
// that malloc-style callers (stb_image) can free them. Our own sections keep
// their pixels 64 bytes into the allocation in the same way.
constexpr size_t kHeader = 64;

void* BenchAlloc(size_t bytes) {
  auto* block = static_cast<unsigned char*>(zentrafold::platform::AllocateSectionMemory(bytes + kHeader));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &bytes, sizeof bytes);
  return block + kHeader;
}

void BenchFree(void* memory) {
  if (memory == nullptr) return;
  auto* block = static_cast<unsigned char*>(memory) - kHeader;
  size_t bytes;
  std::memcpy(&bytes, block, sizeof bytes);
  zentrafold::platform::FreeSectionMemory(block, bytes + kHeader);
}

[[maybe_unused]] void* BenchRealloc(void* memory, size_t bytes) {
  if (memory == nullptr) return BenchAlloc(bytes);
  size_t old;
  std::memcpy(&old, static_cast<unsigned char*>(memory) - kHeader, sizeof old);
  void* fresh = BenchAlloc(bytes);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, memory, old < bytes ? old : bytes);
  BenchFree(memory);
  return fresh;
}

uint64_t Sample(const unsigned char* pixels, size_t bytes) {
  return pixels[0] + pixels[bytes / 2] + pixels[bytes - 1];
}

// The one output buffer of the reused decodes, shared by both decoders so
// that they write to the same, already mapped, memory.
unsigned char* ReusedBuffer(size_t bytes) {
  static unsigned char* buffer = nullptr;
  static size_t capacity = 0;
  if (bytes > capacity) {
    BenchFree(buffer);
    buffer = static_cast<unsigned char*>(BenchAlloc(bytes));
    capacity = buffer != nullptr ? bytes : 0;
  }
  return buffer;
}

}  // namespace

#if defined(ZENTRAFOLD_BENCH_STB)
#define STBI_MALLOC(n) BenchAlloc(n)
#define STBI_FREE(p) BenchFree(p)
#define STBI_REALLOC(p, n) BenchRealloc(p, n)
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image.h>
#pragma GCC diagnostic pop
#endif

#if defined(ZENTRAFOLD_BENCH_TURBO)
#include <turbojpeg.h>
#endif

namespace {

#if defined(ZENTRAFOLD_BENCH_TURBO)
// Made once, as our decoder's state exists once.
tjhandle TurboHandle() {
  static tjhandle handle = tjInitDecompress();
  return handle;
}
#endif

}  // namespace

extern "C" {

namespace {

// The format both decoders give a stream: BGRX, or the four stored bytes of
// a CMYK or YCCK one (which libjpeg-turbo gives in no RGB order).
ZfFormat BenchFormat(const ZfInfo& info) {
  return info.colorSpace == kZfColorCmyk || info.colorSpace == kZfColorYcck ? kZfCmyk : kZfBgrx;
}

// ZfDecode into fresh memory from the bench's allocator: "ours" for the
// streams the bitmap entry's profile leaves out.
bool DecodeFresh(ZfDecoder* decoder, const uint8_t* data, size_t size, uint64_t* check) {
  ZfInfo info;
  if (decoder == nullptr || ZfReadInfo(data, size, &info) != kZfOk) return false;
  const size_t bytes = static_cast<size_t>(info.width) * info.height * 4;
  auto* pixels = static_cast<unsigned char*>(BenchAlloc(bytes));
  if (pixels == nullptr) return false;
  const ZfOutput output = {BenchFormat(info), pixels, static_cast<size_t>(info.width) * 4, nullptr, nullptr};
  const ZfStatus status = ZfDecode(decoder, data, size, &output);
  const bool ok = status == kZfOk || status == kZfDamaged;
  if (ok) *check += Sample(pixels, bytes);
  BenchFree(pixels);
  return ok;
}

ZfDecoder* CreateBenchDecoder(unsigned threads);

}  // namespace

// DecodeImage into a fresh section; for a stream outside its profile,
// ZfDecode into fresh memory.
__attribute__((noinline)) bool ZentrafoldBenchOurs(const uint8_t* data, size_t size, uint64_t* check) {
  const ImageRecord* image = DecodeImage(data, size, nullptr);
  if (image == nullptr) {
    static ZfDecoder* decoder = CreateBenchDecoder(1);
    return DecodeFresh(decoder, data, size, check);
  }
  const size_t bytes = static_cast<size_t>(image->header.biWidth) * static_cast<size_t>(-image->header.biHeight) * 4;
  *check += Sample(static_cast<const unsigned char*>(image->bits), bytes);
  DeleteObject(image->bitmap);
  return true;
}

namespace {

#if defined(ZENTRAFOLD_BENCH_TURBO)
// tjDecompress2 into fresh memory, or into the one kept buffer.
bool TurboDecode(const uint8_t* data, size_t size, uint64_t* check, bool reuse) {
  tjhandle handle = TurboHandle();
  int width, height, subsampling, colorspace;
  if (tjDecompressHeader3(handle, data, static_cast<unsigned long>(size), &width, &height, &subsampling,
                          &colorspace) != 0)
    return false;
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  unsigned char* pixels = reuse ? ReusedBuffer(bytes) : static_cast<unsigned char*>(BenchAlloc(bytes));
  if (pixels == nullptr) return false;
  // A picture decoded with a warning (data cut short or corrupt, as our
  // kZfDamaged) is decoded: tjDecompress2 says -1 and TJERR_WARNING.
  const int format = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK ? TJPF_CMYK : TJPF_BGRX;
  const bool ok = tjDecompress2(handle, data, static_cast<unsigned long>(size), pixels, width, 0, height,
                                format, TJFLAG_FASTUPSAMPLE) == 0 ||
                  tjGetErrorCode(handle) == TJERR_WARNING;
  if (ok) *check += Sample(pixels, bytes);
  if (!reuse) BenchFree(pixels);
  return ok;
}
#endif

}  // namespace

__attribute__((noinline)) bool ZentrafoldBenchTurbo(const uint8_t* data, size_t size, uint64_t* check) {
#if defined(ZENTRAFOLD_BENCH_TURBO)
  return TurboDecode(data, size, check, false);
#else
  (void)data, (void)size, (void)check;
  return false;
#endif
}

__attribute__((noinline)) bool ZentrafoldBenchStb(const uint8_t* data, size_t size, uint64_t* check) {
#if defined(ZENTRAFOLD_BENCH_STB)
  int width, height, channels;
  unsigned char* pixels = stbi_load_from_memory(data, static_cast<int>(size), &width, &height, &channels, 4);
  if (pixels == nullptr) return false;
  *check += Sample(pixels, static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  stbi_image_free(pixels);
  return true;
#else
  (void)data, (void)size, (void)check;
  return false;
#endif
}

__attribute__((noinline)) void ZentrafoldBenchFill(size_t bytes, uint64_t* check) {
  auto* pixels = static_cast<unsigned char*>(BenchAlloc(bytes));
  if (pixels == nullptr) return;
  std::memset(pixels, 0x80, bytes);
  *check += Sample(pixels, bytes);
  BenchFree(pixels);
}

namespace {

bool DecodeReused(ZfDecoder* decoder, const uint8_t* data, size_t size, uint64_t* check) {
  ZfInfo info;
  if (decoder == nullptr || ZfReadInfo(data, size, &info) != kZfOk) return false;
  const size_t bytes = static_cast<size_t>(info.width) * info.height * 4;
  unsigned char* pixels = ReusedBuffer(bytes);
  if (pixels == nullptr) return false;
  const ZfOutput output = {BenchFormat(info), pixels, static_cast<size_t>(info.width) * 4, nullptr, nullptr};
  const ZfStatus status = ZfDecode(decoder, data, size, &output);
  if (status != kZfOk && status != kZfDamaged) return false;
  *check += Sample(pixels, bytes);
  return true;
}

// The bench's decoders take pictures of any size, as DecodeImage and the
// peers do (the default limit is 2^28 pixels).
ZfDecoder* CreateBenchDecoder(unsigned threads) {
  ZfOptions options{};
  options.threads = threads;
  options.maxPixels = UINT64_MAX;
  return ZfCreateDecoder(&options);
}

}  // namespace

__attribute__((noinline)) bool ZentrafoldBenchOursReused(const uint8_t* data, size_t size, uint64_t* check) {
  static ZfDecoder* decoder = CreateBenchDecoder(1);
  return DecodeReused(decoder, data, size, check);
}

__attribute__((noinline)) bool ZentrafoldBenchOursThreads(const uint8_t* data, size_t size, uint64_t* check,
                                                          unsigned threads) {
  static ZfDecoder* decoder = CreateBenchDecoder(threads);
  return DecodeReused(decoder, data, size, check);
}

__attribute__((noinline)) bool ZentrafoldBenchOursView(const uint8_t* data, size_t size, uint64_t* check,
                                                       uint32_t scale, const uint32_t* region) {
  static ZfDecoder* decoder = CreateBenchDecoder(1);
  ZfInfo info;
  if (decoder == nullptr || ZfReadInfo(data, size, &info) != kZfOk) return false;
  ZfView view{scale, 0, 0, 0, 0, 0};
  if (region != nullptr) view = ZfView{scale, 0, region[0], region[1], region[2], region[3]};
  uint32_t width = 0, height = 0;
  if (ZfViewSize(&info, &view, &width, &height) != kZfOk) return false;
  const size_t bytes = static_cast<size_t>(width) * height * 4;
  unsigned char* pixels = ReusedBuffer(bytes);
  if (pixels == nullptr) return false;
  const ZfOutput output = {BenchFormat(info), pixels, static_cast<size_t>(width) * 4, nullptr, nullptr};
  const ZfStatus status = ZfDecodeView(decoder, data, size, &output, &view);
  if (status != kZfOk && status != kZfDamaged) return false;
  *check += Sample(pixels, bytes);
  return true;
}

__attribute__((noinline)) bool ZentrafoldBenchTurboScaled(const uint8_t* data, size_t size, uint64_t* check,
                                                          uint32_t scale) {
#if defined(ZENTRAFOLD_BENCH_TURBO)
  tjhandle handle = TurboHandle();
  int width, height, subsampling, colorspace;
  if (tjDecompressHeader3(handle, data, static_cast<unsigned long>(size), &width, &height, &subsampling,
                          &colorspace) != 0)
    return false;
  const tjscalingfactor factor{1, static_cast<int>(scale)};
  const int scaledWidth = TJSCALED(width, factor);
  const int scaledHeight = TJSCALED(height, factor);
  const size_t bytes = static_cast<size_t>(scaledWidth) * static_cast<size_t>(scaledHeight) * 4;
  unsigned char* pixels = ReusedBuffer(bytes);
  if (pixels == nullptr) return false;
  const int format = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK ? TJPF_CMYK : TJPF_BGRX;
  const bool ok = tjDecompress2(handle, data, static_cast<unsigned long>(size), pixels, scaledWidth, 0,
                                scaledHeight, format, TJFLAG_FASTUPSAMPLE) == 0 ||
                  tjGetErrorCode(handle) == TJERR_WARNING;
  if (ok) *check += Sample(pixels, bytes);
  return ok;
#else
  (void)data, (void)size, (void)check, (void)scale;
  return false;
#endif
}

__attribute__((noinline)) bool ZentrafoldBenchTurboReused(const uint8_t* data, size_t size, uint64_t* check) {
#if defined(ZENTRAFOLD_BENCH_TURBO)
  return TurboDecode(data, size, check, true);
#else
  (void)data, (void)size, (void)check;
  return false;
#endif
}

}  // extern "C"

namespace zentrafold::bench {

bool HaveTurbo() {
#if defined(ZENTRAFOLD_BENCH_TURBO)
  return TurboHandle() != nullptr;
#else
  return false;
#endif
}

bool HaveStb() {
#if defined(ZENTRAFOLD_BENCH_STB)
  return true;
#else
  return false;
#endif
}

bool PictureSize(const uint8_t* data, size_t size, int& width, int& height) {
  ZfInfo info;
  if (ZfReadInfo(data, size, &info) != kZfOk) return false;
  width = static_cast<int>(info.width);
  height = static_cast<int>(info.height);
  return true;
}

}  // namespace zentrafold::bench
