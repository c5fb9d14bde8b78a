// GDI over plain memory: DIB sections, memory DCs, SelectObject, BitBlt and
// object bookkeeping, no display. A window DC is the one thing that reaches
// a screen: BitBlt hands its pixels to the USER layer that made it.
#include <zentrafold/platform_debug.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform_internal.h"

namespace zentrafold::platform {
namespace {

// Bitmaps and memory DCs made by the caller and not yet freed.
std::atomic<int> liveObjects{0};

// Every live object, window DCs included; the stock bitmap is not in it.
GdiObject liveList{GdiKind{0}, &liveList, &liveList};

// Pixels start this far into the allocation, after the object header,
// keeping them aligned for vector stores.
constexpr uint64_t kPixelOffset = 64;
static_assert(sizeof(BitmapObject) <= kPixelOffset);

constexpr uint64_t kMaxSectionBytes = 0x7FFFFFFFu;

// The 1x1 black bitmap a fresh memory DC holds. It can be selected into any
// number of DCs and is never freed.
uint32_t stockPixel = 0;
BitmapObject stockBitmap{{GdiKind::kBitmap, nullptr, nullptr}, 1, 1, true, 0, &stockPixel, 0};

void Link(GdiObject* object, GdiKind kind) {
  object->kind = kind;
  object->previous = liveList.previous;
  object->next = &liveList;
  liveList.previous->next = object;
  liveList.previous = object;
}

void Unlink(GdiObject* object) {
  object->previous->next = object->next;
  object->next->previous = object->previous;
  object->kind = GdiKind{0};
  object->previous = object->next = nullptr;
}

GdiObject* FindLive(const void* handle, GdiKind kind) {
  if (handle == nullptr) return nullptr;
  for (GdiObject* object = liveList.next; object != &liveList; object = object->next) {
    if (object == handle) return object->kind == kind ? object : nullptr;
  }
  return nullptr;
}

void Deselect(DcObject& dc) {
  if (dc.selected != &stockBitmap && dc.selected != nullptr) --dc.selected->selectCount;
  dc.selected = &stockBitmap;
}

}  // namespace

BitmapObject* AsBitmap(HGDIOBJ object) {
  if (object == &stockBitmap) return &stockBitmap;
  return reinterpret_cast<BitmapObject*>(FindLive(object, GdiKind::kBitmap));
}

DcObject* AsDc(HDC dc) { return reinterpret_cast<DcObject*>(FindLive(dc, GdiKind::kDc)); }

HDC CreateWindowDc(void* window, PresentToWindow present) {
  auto* dc = new DcObject{};
  Link(&dc->base, GdiKind::kDc);
  dc->selected = &stockBitmap;
  dc->window = window;
  dc->present = present;
  return reinterpret_cast<HDC>(dc);
}

void DestroyWindowDc(HDC handle) {
  DcObject* dc = AsDc(handle);
  if (dc == nullptr || dc->window == nullptr) return;
  Deselect(*dc);
  Unlink(&dc->base);
  delete dc;
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
  Link(&bitmap->base, GdiKind::kBitmap);
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
  if (object == &stockBitmap) return TRUE;
  BitmapObject* bitmap = AsBitmap(object);
  if (bitmap == nullptr || bitmap->selectCount != 0) return FALSE;
  Unlink(&bitmap->base);
  FreeSectionMemory(bitmap, bitmap->mappedBytes);
  --liveObjects;
  return TRUE;
}

HDC CreateCompatibleDC(HDC /*hdc*/) {
  auto* dc = new DcObject{};
  Link(&dc->base, GdiKind::kDc);
  dc->selected = &stockBitmap;
  ++liveObjects;
  return reinterpret_cast<HDC>(dc);
}

HGDIOBJ SelectObject(HDC handle, HGDIOBJ object) {
  DcObject* dc = AsDc(handle);
  BitmapObject* bitmap = AsBitmap(object);
  if (dc == nullptr || dc->window != nullptr || bitmap == nullptr) return nullptr;
  BitmapObject* previous = dc->selected;
  if (bitmap == previous) return previous;
  // As on Windows, a bitmap lives in one DC at a time (the stock one excepted).
  if (bitmap != &stockBitmap && bitmap->selectCount != 0) return nullptr;
  Deselect(*dc);
  dc->selected = bitmap;
  if (bitmap != &stockBitmap) ++bitmap->selectCount;
  return previous;
}

BOOL BitBlt(HDC destination, int x, int y, int width, int height, HDC source, int sourceX,
            int sourceY, DWORD rop) {
  DcObject* to = AsDc(destination);
  DcObject* from = AsDc(source);
  if (to == nullptr || from == nullptr || rop != SRCCOPY || from->window != nullptr) return FALSE;
  const BitmapObject& pixels = *from->selected;

  // Clip to the source bitmap, moving the destination along with it.
  int64_t left = sourceX, top = sourceY;
  int64_t right = int64_t{sourceX} + width, bottom = int64_t{sourceY} + height;
  int64_t toX = x, toY = y;
  if (left < 0) { toX -= left; left = 0; }
  if (top < 0) { toY -= top; top = 0; }
  right = std::min<int64_t>(right, pixels.width);
  bottom = std::min<int64_t>(bottom, pixels.height);
  if (to->window == nullptr) {
    // ...and to the destination bitmap.
    const BitmapObject& target = *to->selected;
    if (toX < 0) { left -= toX; toX = 0; }
    if (toY < 0) { top -= toY; toY = 0; }
    right = std::min<int64_t>(right, left + (target.width - toX));
    bottom = std::min<int64_t>(bottom, top + (target.height - toY));
  }
  if (right <= left || bottom <= top) return TRUE;
  const int w = static_cast<int>(right - left), h = static_cast<int>(bottom - top);

  if (to->window != nullptr) {
    to->present(to->window, static_cast<int>(toX), static_cast<int>(toY), w, h, pixels,
                static_cast<int>(left), static_cast<int>(top));
    return TRUE;
  }
  const BitmapObject& target = *to->selected;
  // Source and destination may be the same bitmap: copy rows in the order
  // that reads each row before it is overwritten, and memmove within a row.
  const bool upward = &target == &pixels && toY > top;
  for (int i = 0; i < h; ++i) {
    const int row = upward ? h - 1 - i : i;
    std::memmove(PixelRow(target, static_cast<int>(toY) + row) + toX * 4,
                 PixelRow(pixels, static_cast<int>(top) + row) + left * 4,
                 static_cast<size_t>(w) * 4u);
  }
  return TRUE;
}

BOOL DeleteDC(HDC handle) {
  DcObject* dc = AsDc(handle);
  if (dc == nullptr || dc->window != nullptr) return FALSE;
  Deselect(*dc);
  Unlink(&dc->base);
  delete dc;
  --liveObjects;
  return TRUE;
}

int ZentrafoldLiveGdiObjects() { return liveObjects.load(); }
