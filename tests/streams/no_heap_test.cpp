// A decode allocates nothing beyond its bitmap section, and ZfDecode nothing
// at all: malloc and operator new are replaced in this test binary and
// counted around the decodes.
#include <gtest/gtest.h>
#include <zentrafold/zentrafold.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "test_support.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
void Count() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  Count();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  Count();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  Count();
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
}

void* operator new(size_t n) {
  Count();
  if (void* p = __libc_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }

namespace {

// Allocations made by creating (and deleting) one section of this size.
int SectionAllocations(int width, int height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  allocations = 0;
  counting = true;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  counting = false;
  EXPECT_NE(bitmap, nullptr);
  DeleteObject(bitmap);
  return allocations;
}

TEST(NoHeap, DecodeAllocatesOnlyItsSection) {
  for (const char* name : {"sample_2x2.jpg", "grey.jpg", "restart_1mcu.jpg", "size_250x40.jpg"}) {
    const auto stream = zentrafold::test::ReadData(name);
    // A first decode builds the lazy tables; they live in the static state.
    for (int round = 0; round < 2; ++round) {
      allocations = 0;
      counting = true;
      ImageRecord* image = DecodeImage(stream.data(), stream.size(), nullptr);
      counting = false;
      ASSERT_NE(image, nullptr) << name;
      const int made = allocations;
      const int width = image->header.biWidth, height = -image->header.biHeight;
      DeleteObject(image->bitmap);
      EXPECT_EQ(made, SectionAllocations(width, height)) << name;
    }
  }
  const auto refused = zentrafold::test::ReadData("refuse_progressive.jpg");
  allocations = 0;
  counting = true;
  EXPECT_EQ(DecodeImage(refused.data(), refused.size(), nullptr), nullptr);
  counting = false;
  EXPECT_EQ(allocations, 0);
}

int NoBand(void*, const uint8_t*, size_t, uint32_t, uint32_t) { return 0; }

TEST(NoHeap, ZfDecodeAllocatesNothing) {
  ZfDecoder* decoder = ZfCreateDecoder(nullptr);
  ASSERT_NE(decoder, nullptr);
  // Beyond the bitmap entry's profile too: arithmetic-coded, CMYK, 4:1:1, chroma 2x2.
  for (const char* name : {"sample_2x2.jpg", "grey.jpg", "restart_1mcu.jpg", "refuse_precision12.jpg",
                           "refuse_arithmetic.jpg", "sequential/wide_ycck.jpg", "sequential/wide_sampling_4x1.jpg",
                           "sequential/wide_chroma_2x2.jpg"}) {
    const auto stream = zentrafold::test::ReadData(name);
    std::vector<uint8_t> pixels(1 << 22);
    for (ZfFormat format : {kZfBgrx, kZfRgb, kZfGrey}) {
      for (bool banded : {false, true}) {
        ZfInfo info;
        const ZfOutput out{format, pixels.data(), 4096 * 4, banded ? NoBand : nullptr, nullptr};
        allocations = 0;
        counting = true;
        const ZfStatus headers = ZfReadInfo(stream.data(), stream.size(), &info);
        const ZfStatus status = ZfDecode(decoder, stream.data(), stream.size(), &out);
        counting = false;
        EXPECT_EQ(allocations, 0) << name;
        EXPECT_EQ(status, headers == kZfOk ? kZfOk : headers) << name;
      }
      // Views: reduced (the first call of each reduced transform sets up its
      // tables), a region, turned; and the ICC profile's reading.
      for (const ZfView& view : {ZfView{2, 0, 0, 0, 0, 0}, ZfView{4, 6, 0, 0, 0, 0}, ZfView{8, 3, 1, 1, 2, 2}}) {
        const ZfOutput out{format, pixels.data(), 4096 * 4, nullptr, nullptr};
        allocations = 0;
        counting = true;
        const ZfStatus status = ZfDecodeView(decoder, stream.data(), stream.size(), &out, &view);
        size_t iccSize = 0;
        ZfReadIccProfile(stream.data(), stream.size(), nullptr, 0, &iccSize);
        counting = false;
        EXPECT_EQ(allocations, 0) << name << " scale " << view.scale;
        EXPECT_NE(status, kZfBadArgument) << name;
      }
    }
  }
  ZfDestroyDecoder(decoder);
}

// A picture in several scans: the decoder takes its whole-picture memory
// once, on the first such decode, and keeps it; with the caller's block it
// takes none at all. A progressive picture is one in several scans.
TEST(NoHeap, SeveralScansTakeTheirMemoryOnceOrNever) {
  for (const char* name : {"sequential/scans_one_each_320x200.jpg", "refuse_progressive.jpg"}) {
    SCOPED_TRACE(name);
    const auto stream = zentrafold::test::ReadData(name);
    std::vector<uint8_t> pixels(1 << 20);
    const ZfOutput out{kZfBgrx, pixels.data(), 320 * 4, nullptr, nullptr};
    ZfDecoder* decoder = ZfCreateDecoder(nullptr);
    ASSERT_NE(decoder, nullptr);
    for (int round = 0; round < 3; ++round) {
      allocations = 0;
      counting = true;
      EXPECT_EQ(ZfDecode(decoder, stream.data(), stream.size(), &out), kZfOk);
      counting = false;
      EXPECT_EQ(allocations, round == 0 ? 1 : 0) << "round " << round;
    }
    ZfDestroyDecoder(decoder);

    ZfInfo info;
    ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk);
    std::vector<uint8_t> work(info.workBytes + 32);
    decoder = ZfCreateDecoder(nullptr);
    ASSERT_EQ(ZfSetWorkMemory(decoder, work.data(), work.size()), kZfOk);
    allocations = 0;
    counting = true;
    EXPECT_EQ(ZfDecode(decoder, stream.data(), stream.size(), &out), kZfOk);
    counting = false;
    EXPECT_EQ(allocations, 0);
    ZfDestroyDecoder(decoder);
  }
}

}  // namespace
