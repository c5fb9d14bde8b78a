// The decoders the benchmark times, each as one opaque call that obtains
// fresh output memory, decodes into it and frees it again, as a caller's
// decode would. Every output buffer comes from the section allocator.
#pragma once

#include <cstddef>
#include <cstdint>

// Plain C names, so that a profiler can collect exactly one of them
// (valgrind --tool=callgrind --toggle-collect=ZentrafoldBenchTurbo ...).
extern "C" {
// Zentrafold: DecodeImage, then DeleteObject. False when refused.
bool ZentrafoldBenchOurs(const uint8_t* data, size_t size, uint64_t* check);
// libjpeg-turbo: tjDecompress2 to BGRX, fast (nearest) upsampling, accurate integer DCT.
bool ZentrafoldBenchTurbo(const uint8_t* data, size_t size, uint64_t* check);
// stb_image: four channels.
bool ZentrafoldBenchStb(const uint8_t* data, size_t size, uint64_t* check);
// The memory-write limit: a fresh buffer of `bytes`, every byte written once.
void ZentrafoldBenchFill(size_t bytes, uint64_t* check);
// The same decoders into one output buffer kept from call to call (grown
// when a picture needs more; the first call at a size pays for it):
// ZfDecode on one decoder made once, and tjDecompress2, both to BGRX.
bool ZentrafoldBenchOursReused(const uint8_t* data, size_t size, uint64_t* check);
// ZfDecode on a decoder of `threads` threads (made on the first call) into
// the same kept buffer.
bool ZentrafoldBenchOursThreads(const uint8_t* data, size_t size, uint64_t* check, unsigned threads);
bool ZentrafoldBenchTurboReused(const uint8_t* data, size_t size, uint64_t* check);
// A view (ZfDecodeView: `scale` 1, 2, 4 or 8 and, with `region` non-null,
// the rectangle x, y, width, height of the scaled picture) into the kept
// buffer; and libjpeg-turbo's scaled decode, tjDecompress2 at the size of
// scaling factor 1/scale, into the same.
bool ZentrafoldBenchOursView(const uint8_t* data, size_t size, uint64_t* check, uint32_t scale,
                             const uint32_t* region);
bool ZentrafoldBenchTurboScaled(const uint8_t* data, size_t size, uint64_t* check, uint32_t scale);
}

namespace zentrafold::bench {

bool HaveTurbo();
bool HaveStb();
// The frame size, from libjpeg-turbo when present, else from our decoder.
bool PictureSize(const uint8_t* data, size_t size, int& width, int& height);

}  // namespace zentrafold::bench
