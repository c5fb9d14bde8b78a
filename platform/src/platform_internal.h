// Used by the platform stand-in's own sources and the platform tests only.
#pragma once

#include <zentrafold/win32.h>

#include <cstddef>
#include <cstdint>

#include "section_memory.h"

namespace zentrafold::platform {

// Every GDI object of the stand-in begins with this header, so a handle can
// be checked and its kind told before it is used.
enum class GdiKind : uint32_t { kBitmap = 0x42495431u, kDc = 0x44435f31u };

struct GdiObject {
  GdiKind kind;
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

// Checks a handle: the object when it is a live bitmap, else null.
BitmapObject* AsBitmap(HGDIOBJ object);

}  // namespace zentrafold::platform
