// The C API: a decoder state made once, the header stage on its own, and the
// decode into the caller's buffer or band. The same pipeline as DecodeImage;
// nothing here touches the platform, so C programs link it without one.
#include <zentrafold/zentrafold.h>

#include <stddef.h>
#include <string.h>

#include "decoder_state.h"

struct ZfDecoder {
  DecoderState state;
  uint64_t maxPixels;
  uint32_t threads;
  // The state's skip tables, kept here rather than in every state (the
  // bitmap entry and ZfReadInfo never read blocks for their DC alone).
  FastSkipTable skipTables[kMaxComponents];
};

void HoldToPaths(ZfDecoder* decoder, const DecoderPaths* paths) { decoder->state.paths = paths; }

namespace {

constexpr uint64_t kDefaultMaxPixels = uint64_t{1} << 28;
constexpr uint64_t kDefaultMaxWorkBytes = uint64_t{1} << 31;
// The store's alignment within the memory given or taken.
constexpr uintptr_t kStoreAlignment = 32;
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

bool KnownFormat(const ZfFormat& format) { return StoredValue(format) <= kZfCmyk; }

// The store for a frame in several scans: `need` bytes of the caller's block
// or of the decoder's own (taken on first need, grown when a picture needs
// more, kept for later decodes). Sets state.store or refuses.
bool TakeWorkMemory(DecoderState& state, uint64_t need) {
  if (state.callerWork != nullptr) {
    const uintptr_t at = (reinterpret_cast<uintptr_t>(state.callerWork) + kStoreAlignment - 1) & ~(kStoreAlignment - 1);
    const uint64_t skipped = at - reinterpret_cast<uintptr_t>(state.callerWork);
    if (state.callerWorkBytes < skipped || need > state.callerWorkBytes - skipped) return Refuse(state, kZfWorkTooLarge);
    state.store = reinterpret_cast<int16_t*>(at);
    return true;
  }
  if (need > state.maxWorkBytes) return Refuse(state, kZfWorkTooLarge);
  if (need > SIZE_MAX - kStoreAlignment) return Refuse(state, kZfNoMemory);
  if (state.ownedWork == nullptr || state.ownedWorkBytes < need) {
    FreeAllocated(state.ownedWork);
    state.ownedWorkBytes = 0;
    // Not zeroed here: the decode writes every block it reads or clears it.
    state.ownedWork = AllocateZeroed(static_cast<size_t>(need));
    if (state.ownedWork == nullptr) return Refuse(state, kZfNoMemory);
    state.ownedWorkBytes = static_cast<size_t>(need);
  }
  state.store = static_cast<int16_t*>(state.ownedWork);
  return true;
}

}  // namespace

extern "C" {

ZfDecoder* ZfCreateDecoder(const ZfOptions* options) {
  static_assert(alignof(ZfDecoder) <= 64, "AllocateZeroed aligns to 64 bytes");
  auto* decoder = static_cast<ZfDecoder*>(AllocateZeroed(sizeof(ZfDecoder)));
  if (decoder == nullptr) return nullptr;
  const uint64_t maxPixels = options != nullptr ? options->maxPixels : 0;
  decoder->maxPixels = maxPixels == 0 ? kDefaultMaxPixels : maxPixels;
  const uint64_t maxWorkBytes = options != nullptr ? options->maxWorkBytes : 0;
  decoder->state.maxWorkBytes = maxWorkBytes == 0 ? kDefaultMaxWorkBytes : maxWorkBytes;
  const uint32_t threads = options != nullptr ? options->threads : 0;
  decoder->threads = threads < 2 ? 1 : (threads > kMaxThreads ? kMaxThreads : threads);
  BuildConstantTables(decoder->state);
  decoder->state.fastAcSkip = decoder->skipTables;
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
  FreeAllocated(decoder->state.ownedWork);
  FreeAllocated(decoder);
}

ZfStatus ZfSetWorkMemory(ZfDecoder* decoder, void* memory, size_t size) {
  if (decoder == nullptr || (memory == nullptr && size != 0)) return kZfBadArgument;
  decoder->state.callerWork = memory;
  decoder->state.callerWorkBytes = memory != nullptr ? size : 0;
  return kZfOk;
}

ZfStatus ZfSetScanFunction(ZfDecoder* decoder, ZfScanFunction function, void* context) {
  if (decoder == nullptr) return kZfBadArgument;
  decoder->state.scanFunction = function;
  decoder->state.scanContext = context;
  return kZfOk;
}

namespace {

// A state for the header stage alone: zeroed but for the entropy tables,
// which only a scan's decode makes and reads (more than half its bytes).
void ClearForHeaders(DecoderState& state) {
  constexpr size_t kTablesStart = offsetof(DecoderState, fastAcWhole);
  constexpr size_t kTablesEnd = offsetof(DecoderState, fastDcWhole) + sizeof state.fastDcWhole;
  static_assert(offsetof(DecoderState, fastDcWhole) == kTablesStart + sizeof state.fastAcWhole,
                "the entropy tables lie together");
  memset(static_cast<void*>(&state), 0, kTablesStart);
  memset(reinterpret_cast<char*>(&state) + kTablesEnd, 0, sizeof state - kTablesEnd);
}

}  // namespace

ZfStatus ZfReadInfo(const uint8_t* stream, size_t size, ZfInfo* info) {
  if (info == nullptr) return kZfBadArgument;
  DecoderState state;
  ClearForHeaders(state);
  ReadHeaders(state, stream, size);
  *info = state.info;
  return state.status;
}

ZfStatus ZfDecode(ZfDecoder* decoder, const uint8_t* stream, size_t size, const ZfOutput* output) {
  return ZfDecodeView(decoder, stream, size, output, nullptr);
}

ZfStatus ZfDecodeView(ZfDecoder* decoder, const uint8_t* stream, size_t size, const ZfOutput* output,
                      const ZfView* view) {
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
  if (!SetView(state, view, FormatBytes(output->format), output->stride, output->band != nullptr))
    return state.status;
  if (output->format == kZfCmyk && state.colorKind != kColorCmyk && state.colorKind != kColorYcck)
    return state.status = kZfBadFormat;
  const bool severalScans = state.progressive || state.scanComponents < state.componentCount;
  if (severalScans && !TakeWorkMemory(state, FrameWorkBytes(state))) return state.status;
  state.outputRows = output->pixels;
  state.outputStride = output->stride;
  state.outputFormat = output->format;
  state.band = output->band;
  state.bandContext = output->context;
  if (severalScans) {
    RunStoredScans(state, scanHeader);
    return state.status;
  }
  if (!StartScan(state, scanHeader)) return state.status;
  RunMcuLoop(state);
  return state.status;
}

ZfStatus ZfViewSize(const ZfInfo* info, const ZfView* view, uint32_t* width, uint32_t* height) {
  if (info == nullptr || width == nullptr || height == nullptr) return kZfBadArgument;
  ViewGeometry g;
  if (!MakeViewGeometry(info->width, info->height, view, g)) return kZfBadArgument;
  *width = g.width;
  *height = g.height;
  return kZfOk;
}

ZfStatus ZfReadIccProfile(const uint8_t* stream, size_t size, uint8_t* buffer, size_t capacity,
                          size_t* profileSize) {
  if (profileSize == nullptr) return kZfBadArgument;
  *profileSize = 0;
  DecoderState state;
  ClearForHeaders(state);
  ReadHeaders(state, stream, size);
  // The chunks the walk passed count even when the frame or scan is
  // refused; a stream that is no JPEG has none.
  if (state.status == kZfNotJpeg || state.status == kZfBadArgument) return state.status;
  if (state.iccBad) return kZfIccChunks;
  const int count = state.iccDeclared;
  size_t total = 0;
  for (int i = 1; i <= count; ++i) {
    if (state.iccData[i] == nullptr) return kZfIccChunks;
    total += state.iccSize[i];
  }
  *profileSize = total;
  if (buffer == nullptr) return kZfOk;
  if (capacity < total) return kZfBadArgument;
  for (int i = 1; i <= count; ++i) {
    __builtin_memcpy(buffer, state.iccData[i], state.iccSize[i]);
    buffer += state.iccSize[i];
  }
  return kZfOk;
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
    case kZfProgressive: return "progressive JPEG (the bitmap entry takes baseline only)";
    case kZfArithmetic: return "arithmetic-coded JPEG (the bitmap entry takes baseline only)";
    case kZfLossless: return "lossless JPEG (only DCT-based JPEG is supported)";
    case kZfHierarchical: return "hierarchical JPEG (only single-frame JPEG is supported)";
    case kZfExtended: return "extended sequential JPEG (the bitmap entry takes baseline only)";
    case kZfPrecision: return "sample precision other than 8 bits (only 8-bit is supported)";
    case kZfComponentCount: return "component count other than 1, 3 or 4 (grey, YCbCr, RGB, CMYK and YCCK are supported)";
    case kZfSampling:
      return "sampling not supported (factors must be 1 to 4, each dividing the largest, "
             "at most 10 blocks an MCU)";
    case kZfComponents:
      return "component identifiers repeated, or a scan naming a component the frame lacks or out of order";
    case kZfTables: return "table identifier above 3, or a quantisation table precision other than 8 or 16 bits";
    case kZfSecondApp0: return "a second APP0 segment (the bitmap entry takes one)";
    case kZfSecondFrame: return "a second frame header";
    case kZfTableRedefined: return "a table defined twice (the bitmap entry takes each once)";
    case kZfBadHuffmanTable: return "invalid Huffman table";
    case kZfZeroSize: return "frame of width or height 0";
    case kZfNoFrame: return "scan before any frame header";
    case kZfMissingTables: return "a table the scan needs is not defined";
    case kZfSeveralScans: return "picture in several scans (the bitmap entry takes one scan of all components)";
    case kZfMalformed: return "malformed segment";
    case kZfBadData: return "entropy-coded data that cannot be decoded";
    case kZfWorkTooLarge: return "the picture needs more whole-picture memory than the limit";
    case kZfBadFormat: return "output format not available for this stream (CMYK output needs a CMYK or YCCK stream)";
    case kZfIccChunks: return "ICC profile chunks missing, repeated or inconsistent";
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
