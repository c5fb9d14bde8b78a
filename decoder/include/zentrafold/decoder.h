// Zentrafold: a small, heap-free, bit-exact baseline JPEG decoder.
//
// DecodeImage turns a baseline JFIF stream in memory into a 32-bit top-down
// DIB section. Including this header gives a caller everything needed to
// decode and to free the result: DecodeImage, ImageRecord, the pixel format,
// CreateDIBSection, DeleteObject and the Win32 types they use (the real ones
// on Windows, the platform stand-in elsewhere).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <zentrafold/win32.h>

// Output pixel format: four bytes per pixel in this order, rows top to
// bottom, each row exactly width * 4 bytes with nothing between rows.
enum ZentrafoldPixelByte : int {
  kPixelBlue = 0,
  kPixelGreen = 1,
  kPixelRed = 2,
  kPixelZero = 3,  // always 0
  kBytesPerPixel = 4,
};

// What a successful decode hands back.
struct ImageRecord {
  HBITMAP bitmap;  // the DIB section holding the pixels; the caller deletes it
  void* bits;      // its pixel memory: width * height * 4 bytes, top row first
  BITMAPINFOHEADER header;  // biWidth = width, biHeight = -height (top-down), 32 bpp, BI_RGB
};

// Decodes `size` bytes of a baseline JFIF stream (starting at its SOI) and
// creates the bitmap section with CreateDIBSection(dc, ...); dc may be null.
// Returns a pointer to a record inside the decoder's own static state, valid
// until the next decode, or null when the stream is outside the supported
// profile or damaged. On null nothing is left allocated. The stream must stay
// unchanged during the call (tables are read from it in place). Not
// re-entrant: one DecodeImage at a time per process (DecodeImageWithState,
// below, decodes on several threads).
ImageRecord* DecodeImage(const uint8_t* stream, size_t size, HDC dc);

// The same decode over a state the caller owns, for decoding on several
// threads at once: one state per thread, each used by one decode at a time.
// The returned record lives inside `state` and is valid until the next decode
// with it or until it is destroyed; the bitmap section is the caller's, as
// with DecodeImage, and outlives the state. The decode allocates nothing;
// only CreateDecoderState does.
struct DecoderState;

// A zeroed state (its lookup tables are built on its first decode), or null
// when the memory cannot be had.
DecoderState* CreateDecoderState();
// Frees a state made by CreateDecoderState; null is ignored.
void DestroyDecoderState(DecoderState* state);
// DecodeImage over `state`; null when `state` is null.
ImageRecord* DecodeImageWithState(DecoderState* state, const uint8_t* stream, size_t size, HDC dc);
