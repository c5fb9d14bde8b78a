// Used by the platform stand-in's own sources and the platform tests only.
#pragma once

#include <zentrafold/win32.h>

#include <cstddef>
#include <cstdint>

#include "section_memory.h"

namespace zentrafold::platform {

// Every GDI object of the stand-in begins with this header, so a handle can
// be checked and its kind told before it is used. Live objects form one
// list; a handle is trusted only once it is found there, so a stale or
// foreign handle is refused instead of being read.
enum class GdiKind : uint32_t { kBitmap = 0x42495431u, kDc = 0x44435f31u };

struct GdiObject {
  GdiKind kind;
  GdiObject* previous;
  GdiObject* next;
};

struct BitmapObject {
  GdiObject base;
  int32_t width;
  int32_t height;     // absolute rows
  bool topDown;
  uint64_t mappedBytes;  // size of the whole allocation holding this object
  void* bits;
  int selectCount;    // device contexts this bitmap is selected into
};

// Where BitBlt sends pixels whose destination is a window DC: the USER layer
// puts the rectangle (sourceX, sourceY, width, height) of `source` at (x, y)
// of the window. The rectangle lies inside the source; the window clips.
using PresentToWindow = void (*)(void* window, int x, int y, int width, int height,
                                 const BitmapObject& source, int sourceX, int sourceY);

struct DcObject {
  GdiObject base;
  BitmapObject* selected;  // the bitmap in the DC; the stock bitmap when fresh
  void* window;            // a window DC: the window it paints; null for memory DCs
  PresentToWindow present;
};

// Checks a handle: the object when it is a live bitmap, else null.
BitmapObject* AsBitmap(HGDIOBJ object);
// Checks a handle: the object when it is a live DC, else null.
DcObject* AsDc(HDC dc);

// Byte order of a 32-bit section pixel.
constexpr int kSectionBlue = 0;
constexpr int kSectionGreen = 1;
constexpr int kSectionRed = 2;

// The first pixel (blue byte) of row y, counted from the top, whatever the
// bitmap's row order.
inline unsigned char* PixelRow(const BitmapObject& bitmap, int y) {
  const int stored = bitmap.topDown ? y : bitmap.height - 1 - y;
  return static_cast<unsigned char*>(bitmap.bits) +
         static_cast<size_t>(stored) * static_cast<size_t>(bitmap.width) * 4u;
}

// Window DCs, made and freed by the USER layer with its window. They are not
// counted among the live objects: the window owns them, not the caller.
HDC CreateWindowDc(void* window, PresentToWindow present);
void DestroyWindowDc(HDC dc);

}  // namespace zentrafold::platform
