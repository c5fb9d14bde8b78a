// ZfDecode on streams of several scans (progressive and arithmetic-coded
// frames above all, which the seeds hold) of small frames, so that the scan
// decoders meet many inputs a second. The last two bytes of the input (still
// part of the stream: past the EOI they are not read) choose:
//
//   [0] the scan whose scan function call asks to stop (0: none)
//   [1] where a second decode cuts the stream, in 256ths of its size
//
// Every decode writes inside its buffer only. The scalar paths give the fast
// paths' status and pixels, and so do two threads (the whole buffer); a decode told of each scan calls its function
// once a scan, counting from 1, and gives the same picture (or stops where
// asked, with the picture the function was shown); a cut stream writes
// inside its buffer too.
#include <zentrafold/zentrafold.h>

#include <cstring>
#include <vector>

#include "decoder_state.h"
#include "fuzz_check.h"

namespace {

// A few MCUs of the largest sampling: the scan decoders' work per input is
// what matters here, not the pixel stages'.
constexpr uint64_t kMaxPixels = 1024;
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kCanary = 0xA7;
constexpr ZfFormat kFormat = kZfBgrx;

ZfDecoder* FastDecoder() {
  static ZfDecoder* decoder = MakeCappedDecoder(kMaxPixels);
  return decoder;
}

// Two threads, for pictures of any size: the scans decode at once, each
// trailing the earlier ones whose coefficients it shares.
ZfDecoder* ThreadedDecoder() {
  static ZfDecoder* decoder = [] {
    gMinParallelPixels = 0;
    return MakeCappedDecoder(kMaxPixels, 2);
  }();
  return decoder;
}

ZfDecoder* ScalarDecoder() {
  static ZfDecoder* decoder = [] {
    ZfDecoder* d = MakeCappedDecoder(kMaxPixels);
    HoldToPaths(d, &ScalarPaths());
    return d;
  }();
  return decoder;
}

struct Decoded {
  ZfStatus status;
  std::vector<uint8_t> pixels;  // rows, then the guard
};

bool Picture(ZfStatus status) { return status == kZfOk || status == kZfDamaged; }

Decoded Decode(ZfDecoder* decoder, const uint8_t* stream, size_t size, const ZfInfo& info) {
  const size_t stride = static_cast<size_t>(info.width) * ZfBytesPerPixel(kFormat);
  const size_t bytes = stride * info.height;
  Decoded out;
  out.pixels.assign(bytes + kGuardBytes, kCanary);
  const ZfOutput output{kFormat, out.pixels.data(), stride, nullptr, nullptr};
  out.status = ZfDecode(decoder, stream, size, &output);
  for (size_t i = bytes; i < out.pixels.size(); ++i) FUZZ_CHECK(out.pixels[i] == kCanary);
  return out;
}

// The scan function's record: the calls, the scan to stop at, and the
// output as the call that stopped saw it.
struct ScanRun {
  const std::vector<uint8_t>* pixels;
  uint32_t calls;
  uint32_t stopAt;
  std::vector<uint8_t> seen;
};

int OnScan(void* context, uint32_t scan) {
  auto& run = *static_cast<ScanRun*>(context);
  FUZZ_CHECK(scan == run.calls + 1);
  run.calls = scan;
  if (scan != run.stopAt) return 0;
  run.seen = *run.pixels;
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  ZfInfo info;
  if (ZfReadInfo(data, size, &info) != kZfOk) return 0;
  if (info.width == 0 || info.height == 0 || static_cast<uint64_t>(info.width) * info.height > kMaxPixels) return 0;
  const uint32_t stopAt = data[size - 2];
  const size_t cut = size * data[size - 1] / 256;

  const Decoded fast = Decode(FastDecoder(), data, size, info);
  const Decoded scalar = Decode(ScalarDecoder(), data, size, info);
  FUZZ_CHECK(fast.status == scalar.status);
  if (Picture(fast.status)) FUZZ_CHECK(fast.pixels == scalar.pixels);
  // Two threads write what one does, after a failure too (nothing): for
  // pictures in several scans, which decode their scans at once (the other
  // kinds meet threads in the API target).
  const bool severalScans = info.frameMarker == 0xC2 || info.frameMarker == 0xCA ||
                            info.scanComponents < info.components;
  if (severalScans) {
    const Decoded threaded = Decode(ThreadedDecoder(), data, size, info);
    FUZZ_CHECK(threaded.status == fast.status);
    FUZZ_CHECK(threaded.pixels == fast.pixels);
  }

  // The same decode told of each scan.
  const size_t stride = static_cast<size_t>(info.width) * ZfBytesPerPixel(kFormat);
  std::vector<uint8_t> pixels(stride * info.height + kGuardBytes, kCanary);
  ScanRun run{&pixels, 0, stopAt, {}};
  FUZZ_CHECK(ZfSetScanFunction(FastDecoder(), OnScan, &run) == kZfOk);
  const ZfOutput output{kFormat, pixels.data(), stride, nullptr, nullptr};
  const ZfStatus told = ZfDecode(FastDecoder(), data, size, &output);
  FUZZ_CHECK(ZfSetScanFunction(FastDecoder(), nullptr, nullptr) == kZfOk);
  for (size_t i = stride * info.height; i < pixels.size(); ++i) FUZZ_CHECK(pixels[i] == kCanary);
  if (stopAt != 0 && run.calls == stopAt) {
    FUZZ_CHECK(told == kZfStopped);
    FUZZ_CHECK(pixels == run.seen);
  } else {
    FUZZ_CHECK(told == fast.status);
    if (Picture(told)) FUZZ_CHECK(pixels == fast.pixels);
  }
  // Only progressive and arithmetic-coded pictures are shown scan by scan.
  if (run.calls != 0) FUZZ_CHECK(info.frameMarker != 0xC0 && info.frameMarker != 0xC1);

  // The stream cut short: whatever it gives, inside its buffer (Decode
  // checks the guard).
  Decode(FastDecoder(), data, cut, info);
  return 0;
}
