// GDI over plain memory: DIB sections and object bookkeeping, no display.
#include <zentrafold/platform_debug.h>

#include <atomic>
#include <cstring>

#include "platform_internal.h"

namespace zentrafold::platform {
namespace {

std::atomic<int> liveObjects{0};

// Pixels start this far into the allocation, after the object header,
// keeping them aligned for vector stores.
constexpr uint64_t kPixelOffset = 64;
static_assert(sizeof(BitmapObject) <= kPixelOffset);

constexpr uint64_t kMaxSectionBytes = 0x7FFFFFFFu;

}  // namespace

BitmapObject* AsBitmap(HGDIOBJ object) {
  if (object == nullptr) return nullptr;
  auto* bitmap = static_cast<BitmapObject*>(object);
  return bitmap->base.kind == GdiKind::kBitmap ? bitmap : nullptr;
}

}  // namespace zentrafold::platform

using namespace zentrafold::platform;

HBITMAP CreateDIBSection(HDC /*hdc*/, const BITMAPINFO* info, UINT usage, void** bits,
                         HANDLE hSection, DWORD offset) {
  if (bits != nullptr) *bits = nullptr;
  if (info == nullptr || usage != DIB_RGB_COLORS || hSection != nullptr || offset != 0)
    return nullptr;
  const BITMAPINFOHEADER& header = info->bmiHeader;
  if (header.biSize < sizeof(BITMAPINFOHEADER) || header.biPlanes != 1 ||
      header.biBitCount != 32 || header.biCompression != BI_RGB)
    return nullptr;
  const int64_t width = header.biWidth;
  const int64_t height = header.biHeight < 0 ? -int64_t{header.biHeight} : header.biHeight;
  if (width <= 0 || height <= 0) return nullptr;
  const uint64_t pixelBytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4u;
  if (pixelBytes > kMaxSectionBytes) return nullptr;

  const uint64_t total = kPixelOffset + pixelBytes;
  void* memory = AllocateSectionMemory(total);
  if (memory == nullptr) return nullptr;
  auto* bitmap = static_cast<BitmapObject*>(memory);
  bitmap->base.kind = GdiKind::kBitmap;
  bitmap->width = static_cast<int32_t>(width);
  bitmap->height = static_cast<int32_t>(height);
  bitmap->topDown = header.biHeight < 0;
  bitmap->mappedBytes = total;
  bitmap->bits = static_cast<unsigned char*>(memory) + kPixelOffset;
  bitmap->selectCount = 0;
  ++liveObjects;
  if (bits != nullptr) *bits = bitmap->bits;
  return reinterpret_cast<HBITMAP>(bitmap);
}

BOOL DeleteObject(HGDIOBJ object) {
  BitmapObject* bitmap = AsBitmap(object);
  if (bitmap == nullptr || bitmap->selectCount != 0) return FALSE;
  bitmap->base.kind = GdiKind{0};
  FreeSectionMemory(bitmap, bitmap->mappedBytes);
  --liveObjects;
  return TRUE;
}

int ZentrafoldLiveGdiObjects() { return liveObjects.load(); }
