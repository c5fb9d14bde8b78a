// The Win32 surface the decoder and the viewer are written against.
//
// On Windows this is <windows.h> itself: the real GDI, USER and kernel.
// Elsewhere it declares a small stand-in under the same names, types and
// signatures, implemented by the platform library over plain memory (GDI) and
// Xlib (USER). Types keep their Windows sizes: LONG and DWORD are 32-bit even
// where long is 64-bit, and BITMAPINFOHEADER is exactly 40 bytes.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else

#include <stddef.h>
#include <stdint.h>

typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef unsigned int UINT;
typedef void* HANDLE;
typedef void* LPVOID;
typedef void* HGDIOBJ;

// Distinct handle types, as <windows.h> declares them with STRICT.
#define ZENTRAFOLD_DECLARE_HANDLE(name) \
  struct name##__ {                     \
    int unused;                         \
  };                                    \
  typedef struct name##__* name
ZENTRAFOLD_DECLARE_HANDLE(HDC);
ZENTRAFOLD_DECLARE_HANDLE(HBITMAP);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define BI_RGB 0L
#define DIB_RGB_COLORS 0

#pragma pack(push, 2)
typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER;
#pragma pack(pop)

typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO;

static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER must be 40 bytes");

// A bottom-up or top-down DIB section of 32 bits per pixel (BI_RGB), pixel
// memory zero-filled. The stand-in computes the size in 64-bit arithmetic and
// returns null when it exceeds 2^31 - 1 bytes or the memory cannot be had;
// *bits is then null too. hdc may be null; hSection must be null.
HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* info, UINT usage, void** bits,
                         HANDLE hSection, DWORD offset);

// Frees a bitmap (or another GDI object). Returns FALSE for a null or unknown
// handle and for a bitmap that is still selected into a device context.
BOOL DeleteObject(HGDIOBJ object);

#endif
