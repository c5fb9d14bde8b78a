// The C API: a decoder state made once, the header stage on its own, and the
// decode into the caller's buffer or band. The same pipeline as DecodeImage;
// nothing here touches the platform, so C programs link it without one.
#include <zentrafold/zentrafold.h>

#include "decoder_state.h"

struct ZfDecoder {
  DecoderState state;
  uint64_t maxPixels;
  uint32_t threads;
};

namespace {

constexpr uint64_t kDefaultMaxPixels = uint64_t{1} << 28;
// More threads than this gain nothing on one picture and cost a state each.
constexpr uint32_t kMaxThreads = 64;

// The integer a C caller stored in one of the API's enumerations: C++ cannot
// load a value past the enumerators' range (0..7 for ZfFormat, 0..31 for
// ZfStatus), and a C caller may pass any.
template <typename Enum>
uint32_t StoredValue(const Enum& value) {
  static_assert(sizeof(Enum) == sizeof(uint32_t));
  uint32_t stored;
  __builtin_memcpy(&stored, &value, sizeof stored);
  return stored;
}

bool KnownFormat(const ZfFormat& format) { return StoredValue(format) <= kZfGrey; }

}  // namespace

extern "C" {

ZfDecoder* ZfCreateDecoder(const ZfOptions* options) {
  static_assert(alignof(ZfDecoder) <= 64, "AllocateZeroed aligns to 64 bytes");
  auto* decoder = static_cast<ZfDecoder*>(AllocateZeroed(sizeof(ZfDecoder)));
  if (decoder == nullptr) return nullptr;
  const uint64_t maxPixels = options != nullptr ? options->maxPixels : 0;
  decoder->maxPixels = maxPixels == 0 ? kDefaultMaxPixels : maxPixels;
  const uint32_t threads = options != nullptr ? options->threads : 0;
  decoder->threads = threads < 2 ? 1 : (threads > kMaxThreads ? kMaxThreads : threads);
  BuildConstantTables(decoder->state);
  if (decoder->threads > 1) {
    // Without its workers the decoder still decodes, on the caller's thread.
    decoder->state.pool = CreateWorkerPool(decoder->threads);
    if (decoder->state.pool == nullptr) decoder->threads = 1;
  }
  return decoder;
}

void ZfDestroyDecoder(ZfDecoder* decoder) {
  if (decoder == nullptr) return;
  DestroyWorkerPool(decoder->state.pool, decoder->threads);
  FreeAllocated(decoder);
}

ZfStatus ZfReadInfo(const uint8_t* stream, size_t size, ZfInfo* info) {
  if (info == nullptr) return kZfBadArgument;
  DecoderState state{};
  ReadHeaders(state, stream, size);
  *info = state.info;
  return state.status;
}

ZfStatus ZfDecode(ZfDecoder* decoder, const uint8_t* stream, size_t size, const ZfOutput* output) {
  if (decoder == nullptr) return kZfBadArgument;
  DecoderState& state = decoder->state;
  state.failedMcu = 0;
  if ((stream == nullptr && size != 0) || output == nullptr || output->pixels == nullptr ||
      !KnownFormat(output->format)) {
    return state.status = kZfBadArgument;
  }
  const uint8_t* scanHeader = ReadHeaders(state, stream, size);
  if (scanHeader == nullptr) return state.status;
  if (static_cast<uint64_t>(state.width) * state.height > decoder->maxPixels) return state.status = kZfTooLarge;
  if (output->stride < static_cast<size_t>(state.width) * FormatBytes(output->format)) {
    return state.status = kZfBadArgument;
  }
  if (!StartScan(state, scanHeader)) return state.status;
  state.outputRows = output->pixels;
  state.outputStride = output->stride;
  state.outputFormat = output->format;
  state.band = output->band;
  state.bandContext = output->context;
  RunMcuLoop(state);
  return state.status;
}

uint32_t ZfFailedMcu(const ZfDecoder* decoder) { return decoder != nullptr ? decoder->state.failedMcu : 0; }

uint32_t ZfBandRows(const ZfInfo* info) {
  if (info == nullptr) return 0;
  return static_cast<uint32_t>(McuHeight(info->samplingCode));
}

uint32_t ZfBytesPerPixel(ZfFormat format) { return KnownFormat(format) ? FormatBytes(format) : 0; }

const char* ZfStatusText(ZfStatus status) {
  switch (StoredValue(status)) {
    case kZfOk: return "ok";
    case kZfDamaged: return "damaged: the data ends early, the rest of the picture is made up";
    case kZfStopped: return "stopped by the caller";
    case kZfTooLarge: return "frame too large (more pixels than the limit)";
    case kZfBadArgument: return "bad argument (a null pointer, a stride too small or an unknown format)";
    case kZfNoMemory: return "out of memory";
    case kZfNotJpeg: return "not a JPEG (no SOI marker)";
    case kZfTruncated: return "truncated: the stream ends before its scan";
    case kZfProgressive: return "progressive JPEG (only baseline is supported)";
    case kZfArithmetic: return "arithmetic-coded JPEG (only baseline is supported)";
    case kZfLossless: return "lossless JPEG (only baseline is supported)";
    case kZfHierarchical: return "hierarchical JPEG (only baseline is supported)";
    case kZfExtended: return "extended sequential JPEG (only baseline is supported)";
    case kZfPrecision: return "sample precision other than 8 bits (only 8-bit is supported)";
    case kZfComponentCount: return "component count other than 1 or 3 (only grey and YCbCr are supported)";
    case kZfSampling: return "sampling outside the profile (supported: luma 1x1, 1x2, 2x1 or 2x2, chroma 1x1)";
    case kZfComponents:
      return "component identifiers or quantisation tables outside the profile "
             "(supported: 1 with table 0, 2 and 3 with table 1)";
    case kZfTables: return "table identifier above 1, or 16-bit quantisation table (only 8-bit tables 0 and 1)";
    case kZfSecondApp0: return "a second APP0 segment";
    case kZfSecondFrame: return "a second frame header";
    case kZfTableRedefined: return "a table defined twice";
    case kZfBadHuffmanTable: return "invalid Huffman table";
    case kZfZeroSize: return "frame of width or height 0";
    case kZfNoFrame: return "scan before any frame header";
    case kZfMissingTables: return "tables missing at the scan (the chroma components must use tables 1)";
    case kZfSeveralScans: return "picture in several scans (only one scan of all components is supported)";
    case kZfMalformed: return "malformed segment";
    case kZfBadData: return "entropy-coded data that cannot be decoded";
  }
  return "unknown status";
}

const char* ZfFrameKindText(uint32_t frameMarker) {
  switch (frameMarker) {
    case 0: return "none";
    case 0xC0: return "baseline";
    case 0xC1: return "extended sequential";
    case 0xC2: return "progressive";
    case 0xC3: return "lossless";
    case 0xC5: return "hierarchical sequential";
    case 0xC6: return "hierarchical progressive";
    case 0xC7: return "hierarchical lossless";
    case 0xC9: return "extended sequential, arithmetic-coded";
    case 0xCA: return "progressive, arithmetic-coded";
    case 0xCB: return "lossless, arithmetic-coded";
    case 0xCD: return "hierarchical sequential, arithmetic-coded";
    case 0xCE: return "hierarchical progressive, arithmetic-coded";
    case 0xCF: return "hierarchical lossless, arithmetic-coded";
    default: return "unknown";
  }
}

const char* ZfVersionText(void) { return ZENTRAFOLD_VERSION; }

const char* ZfFastPaths(void) { return SelectedPaths().name; }

}  // extern "C"
