// Used by the decoder's own sources and its tests only.
//
// The decoder's whole state is one DecoderState record: the result record,
// the bit reader, pointers to the tables as they lie in the stream, the
// lookup tables built from them, and the per-MCU buffers. Nothing is
// allocated: one static record serves DecodeImage.
#pragma once

#include <zentrafold/decoder.h>
#include <zentrafold/zentrafold.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <atomic>

// A DHT table exactly as it lies in the stream: the class/identifier byte
// (Tc high nibble, Th low nibble), BITS[1..16] at offsets 1..16, then the
// symbols from offset 17. A HuffmanSpec pointer points at the class byte.
using HuffmanSpec = uint8_t;
constexpr int kSpecSymbols = 17;

// Resolves every code of up to 8 bits with one read of the next 8 bits.
struct FastLookupTable {
  uint8_t length[256];  // length 1..8 of the code beginning prefix i, 0 when none
  uint8_t symbol[256];  // its symbol, meaningful where length[i] != 0
};
static_assert(sizeof(FastLookupTable) == 512);

// Canonical-code limits (T.81 Annex F) for codes of any length:
//   entry[l - 1]   first code of length l (entry 0 is 0)
//   entry[15 + l]  last code of length l, or -1 when there is none
//   entry[32 + l]  number of codes shorter than l + 1 (entry 32 is 0)
struct CodeLimitTable {
  int32_t entry[48];
};

// The AC codes of up to kFastAcBits bits, for the fast entropy path: for
// each prefix of that many bits, what the scalar decode of those bits gives.
//   0                      no code of up to kFastAcBits bits begins the prefix
//   kAcWhole | value << 16 | run << 8 | code length + magnitude size
//                          a coefficient whose code and magnitude both fit
//   kAcCode | rs << 8 | code length
//                          only the code fits (or it is EOB, ZRL or invalid)
// With it, where the coefficient at zigzag position k goes:
//   place[k] = quantiser << 16 | natural position
// for the quantisation table used with this Huffman table; k from 64 to 79
// (a run past the block's end, which the decode refuses) hold position 63
// so that the store before that check stays inside the block.
//
// And for each prefix, the one or two symbols at its start whose codes and
// magnitudes lie whole in it, read in one look-up (pair[prefix]):
//   bits 0-3    their bits together
//   bit 5       the last of them is EOB
//   bits 6-9    the first one's run: its coefficient goes to k + run
//   bits 10-14  where the second one's goes, from k (for one symbol the
//               first one's place again, its value again)
//   bits 15-21  positions they move the block on (run + 1 a coefficient;
//               EOB after a coefficient counts 1, so that the block must
//               not end before it); kPairNone: none are read here
//   bits 22-26  a + 1, and bits 27-31  17 + a - their bits, where a is the
//               first one's bits if there are two, else 0: the reader's
//               refill schedule, as for the skip table below
//   bits 32-47  the first value, bits 48-63 the second (extended, not yet
//               multiplied by the quantiser)
// A symbol is one of them only if it is a coefficient (magnitude size
// 1..10) or EOB; EOB alone is one.
constexpr uint32_t kFastAcBits = 10;
struct FastAcTable {
  int32_t entry[1u << kFastAcBits];
  uint64_t pair[1u << kFastAcBits];
  uint32_t place[80];
};
constexpr uint64_t kPairEob = 0x20;
constexpr uint32_t kPairNone = 127;
constexpr int32_t kAcWhole = 0x20;
constexpr int32_t kAcCode = 0x40;

// The DC codes whose code and magnitude lie whole in kFastDcBits bits (the
// code one of the 8-bit table's), for the fast entropy path: for each
// prefix of that many bits
//   difference << 5 | kDcWhole | code length + magnitude size
// with the difference extended, or 0 where they do not lie whole in it.
constexpr uint32_t kFastDcBits = 10;
constexpr int32_t kDcWhole = 16;
struct FastDcTable {
  int16_t entry[1u << kFastDcBits];
};

// The AC codes of a block whose AC coefficients nothing reads (a view that
// keeps its DC alone), for the fast entropy path: for each prefix of
// kSkipBits bits, the symbols at its start whose codes and magnitudes lie
// whole in it, as many as fit (up to six), read in one look-up:
//   bits 0-4    their bits together
//   bit 8       the last of them is EOB
//   bits 9-14   positions they move the block on (run + 1 for a
//               coefficient, 16 for ZRL, 0 for EOB), below 63; 63: none
//               are read here (no code, a code or magnitude past the
//               prefix, or a symbol the decode refuses)
//   bits 16-20  a + 1, and bits 24-31  17 + a - their bits, where a is
//               the bits of all but the last of them: the reader's
//               refill schedule (see ScheduleAfterLookUp)
// A symbol is one of them only if it is a coefficient of magnitude size
// 1..10, ZRL or EOB, and none follows EOB.
constexpr uint32_t kSkipBits = 12;
struct FastSkipTable {
  uint32_t entry[1u << kSkipBits];
};
constexpr uint32_t kSkipNone = 63;

// Chroma contributions in 16.16 fixed point, indexed by the chroma byte read
// as a signed number (i < 128 stands for i, i >= 128 for i - 256).
struct ColorTables {
  int32_t crToR[256];
  int32_t crToG[256];
  int32_t cbToG[256];
  int32_t cbToB[256];
};

// The frame model's limits (T.81 B.2.2, B.2.3): components of a frame and
// of a scan, table identifiers of each kind, blocks of an interleaved MCU,
// and sampling factors.
constexpr int kMaxComponents = 4;
constexpr int kMaxTables = 4;
constexpr int kMaxMcuBlocks = 10;
constexpr int kMaxSampling = 4;

// One MCU of interleaved Y, Cb, Cr bytes for the YCbCr layouts the output
// kernels take (luma 1, 2 or 4 wide and 1 or 2 high, chroma 1x1): up to 16
// rows of up to 32 pixels, McuWidth * 3 bytes apart.
using McuPixelBuffer = uint8_t[32 * 16 * 3];
// A frame whose components come in separate scans may have more blocks in
// its MCU than a scan may: up to 16 for each component.
constexpr int kMaxFrameBlocks = kMaxComponents * kMaxSampling * kMaxSampling;
// The blocks of one MCU, 64 int16 each in natural (row * 8 + column) order:
// a scan's MCU (at most kMaxMcuBlocks) as entropy decoding leaves it, or
// the frame's MCU for the pixel stages.
using BlockBuffer = int16_t[kMaxFrameBlocks * 64];
// A scaled view of a kernel layout gathers the reduced samples of a run of
// MCUs of one MCU row before it converts them, line by line: each MCU's
// part is a few pixels (one at 1/8 for 4:4:4), too few to convert alone.
// Rows of luma, Cb and Cr samples of up to kStripWidth pixels (each row
// readable 8 samples past that, for the vector converters), chroma
// replicated across to the luma columns as its blocks are reduced, and
// replicated down by reading row y / chromaDown.
constexpr int kStripWidth = 256;
constexpr int kStripPitch = kStripWidth + 8;
struct ScaledStrip {
  // Plane c (luma, Cb, Cr), row r from samples + (c * 8 + r) * kStripPitch.
  alignas(16) int16_t samples[3 * 8 * kStripPitch];
  uint32_t firstColumn;  // the frame MCU column of its first MCU
  uint32_t count;        // MCUs in it
  uint32_t capacity;     // MCUs it holds
  uint32_t mcuWidth, mcuHeight;  // a reduced MCU, in pixels
  uint32_t chromaDown;           // chroma rows replicated down
  // Where each block of an MCU goes: its samples' first position in the
  // planes (from the MCU's first column), the block, its reduction, and
  // how many times each sample is written across (1 for luma).
  struct Target {
    uint16_t offset;
    uint8_t block, shift, across;
  };
  Target target[kMaxMcuBlocks];
  uint32_t targets;
  bool dcOnly;  // every block gives its DC alone (1/8 but for 4:2:0 chroma)
  bool reducedOnly;  // every block reduced straight into place (1/2, 1/4), none whole or replicated
};
// The inverse DCT matrix: entry x * 8 + k for output position x, frequency k.
using CosineTable = int16_t[64];

// markerFlags bits: which segments have been seen.
enum MarkerFlag : uint8_t {
  kFlagApp0 = 0x01,
  kFlagFrame = 0x02,
  kFlagDc0 = 0x04,
  kFlagDc1 = 0x08,
  kFlagAc0 = 0x10,
  kFlagAc1 = 0x20,
  kFlagQuant0 = 0x40,
  kFlagQuant1 = 0x80,
  kFlagsTableOne = 0xA8,  // what a one-component frame sets: it uses tables 0 only
  kFlagsScanReady = 0xFE,  // everything but APP0
};

constexpr uint8_t kMarkerEoi = 0xD9;

// The fast entropy path's record of MCUs that read made-up zero bits only
// (the rest of a cut stream, the rest after EOI, an interval after its
// marker): such MCUs leave the same blocks but for the DCs, which step by
// a fixed difference. See mcu_decode_fast.cpp.
struct ZeroBitsMcu {
  // The bit reader before the MCU (bitBuffer is 0) and after it, before
  // FinishMcu. bitCount at or above kFarBitCount before: any such count,
  // with `after.bitCount` less by the same amount.
  struct Reader {
    const uint8_t* inputPos;
    uint32_t bitBuffer;
    uint32_t bitCount;
    uint32_t marker;
    uint32_t fakeBits;
    bool dataEnded;
    bool damaged;
  };
  struct Entry {
    Reader before;
    Reader after;
  };
  static constexpr uint32_t kEntries = 32;
  alignas(32) int16_t blocks[kMaxMcuBlocks * 64];  // dequantised, natural order, each DC 0
  int16_t dcStep[kMaxComponents];  // the DC difference a block of table set t reads from zero bits
  bool haveBlocks;
  uint32_t entryCount;
  uint32_t nextEntry;  // where the next lookup begins
  uint32_t replayed;   // MCUs given from the record (tests look at it)
  Entry entries[kEntries];
};

// A component of the frame header.
struct FrameComponent {
  uint8_t id;          // Ci
  uint8_t h, v;        // sampling factors, 1..4
  uint8_t quantTable;  // Tqi
  // Its blocks as a scan of it alone codes them (T.81 A.2.2), and the
  // blocks of the MCU grid that covers them (never fewer).
  uint32_t blocksWide, blocksHigh;
  uint32_t paddedWide, paddedHigh;
  uint8_t firstBlock;  // its first block in a frame MCU
  bool levelShift;     // its samples are 0..255 (not centred chroma)
};

// How the frame's components make colours.
enum ColorKind : uint8_t {
  kColorGrey,   // one component
  kColorYcc,    // Y, Cb, Cr
  kColorRgb,    // R, G, B stored as they are
  kColorCmyk,   // C, M, Y, K stored as they are
  kColorYcck,   // Y, Cb, Cr, K
};

struct DecoderState {
  uint8_t markerFlags;
  uint8_t componentCount;
  ImageRecord image;
  // The MCU of the frame's interleaved scans: Hmax in the high nibble, Vmax
  // in the low one. For the layouts the output kernels take it is the luma
  // sampling (0x11 for grey); McuWidth and McuHeight read it.
  uint32_t samplingCode;
  const uint8_t* inputPos;  // never beyond streamEnd: bytes there read as 0x00
  uint32_t bitBuffer;  // valid bits at the top, zeros below
  uint32_t bitCount;   // unsigned: wraps once reads pass a marker (see mcu_decode.cpp)
  // The tables of the scan, one set for each of its components (a set that
  // repeats an earlier one is not used: blockSet names the first).
  const HuffmanSpec* dcSpec[kMaxComponents];
  const HuffmanSpec* acSpec[kMaxComponents];
  const uint16_t* quant[kMaxComponents];  // 64 values each, zigzag order
  // The DC predictor of each component of the scan.
  int16_t dcPredictor[kMaxComponents];
  // The fast entropy path's predictor value after each block's DC.
  int16_t blockDc[kMaxMcuBlocks];
  FastLookupTable fastDc[kMaxComponents];
  FastLookupTable fastAc[kMaxComponents];
  CodeLimitTable limitsAc[kMaxComponents];
  CodeLimitTable limitsDc[kMaxComponents];
  ColorTables colorTables;
  alignas(16) McuPixelBuffer mcuPixelBuffer;
  alignas(32) BlockBuffer blockBuffer;
  alignas(16) CosineTable cosineTable;
  FastAcTable fastAcWhole[kMaxComponents];  // built when the fast entropy path runs
  FastDcTable fastDcWhole[kMaxComponents];  // and these with them
  // Room for a skip table of each Huffman table set (kMaxComponents), kept
  // by the C API's decoder; null: none. Built for a scan by
  // BuildFastSkipTables (fastAcSkipBuilt, cleared with the fast tables);
  // until then DC-only blocks are read a symbol at a time.
  FastSkipTable* fastAcSkip;
  bool fastAcSkipBuilt;

  // Stream bounds and frame geometry.
  const uint8_t* streamEnd;
  uint32_t width;
  uint32_t height;
  // Restarts: the DRI interval in MCUs (0: none), the marker met in the
  // data (0: none), and MCUs decoded so far out of the scan's total.
  uint32_t restartInterval;
  uint32_t marker;
  uint32_t mcuNumber;
  uint32_t mcuTotal;
  // The stage procedures of the MCU loop; null: SelectedPaths(). Tests and
  // the stage profile set it to run one decode on chosen paths.
  const struct DecoderPaths* paths;

  // Why the last decode ended: set by the check that refuses, kZfOk or
  // kZfDamaged after a whole picture. failedMcu: where kZfBadData arose.
  ZfStatus status;
  uint32_t failedMcu;
  // What the header stage read, also for frames it refuses; the first frame
  // header of another process (0: none), and whether a DHP segment came.
  ZfInfo info;
  uint8_t otherFrameMarker;
  bool hierarchicalSeen;

  // Damage: the bits the data did not hold. fakeBits of the bitCount valid
  // bits, at the bottom, are made up (read past the stream's end, or after
  // the data ended); dataEnded: everything the reader takes from now on is
  // made up; damaged: a made-up bit was used.
  uint32_t fakeBits;
  bool dataEnded;
  bool damaged;

  // For the fast entropy path: byteFF is the first 0xFF byte at or after
  // byteFFFrom in the scan's data (or streamEnd); null: not looked up yet.
  const uint8_t* byteFFFrom;
  const uint8_t* byteFF;
  // For DecodeMcuFastDcOnly: bit b, the scan's MCU block b, whose AC
  // coefficients no later stage reads (set by the MCU loop for a scaled view).
  uint32_t dcOnlyBlocks;

  // Where the MCU loop writes: rows of outputStride bytes from outputRows,
  // in outputFormat; with a band function, outputRows holds one MCU row.
  uint8_t* outputRows;
  size_t outputStride;
  ZfFormat outputFormat;
  ZfBandFunction band;
  void* bandContext;

  // Where the last restart boundary resumed (null: at zero bits after EOI).
  const uint8_t* boundaryPos;
  // Threads to decode with, made by ZfCreateDecoder; null: the caller's only.
  struct WorkerPool* pool;
  // A thread's part in decoding the scans of one picture on several threads
  // (parallel_decode.cpp); null otherwise.
  struct ScanSync* scanSync;
  // MCUs of zero bits, for the fast entropy path; cleared by StartScan.
  ZeroBitsMcu zeroBits;

  // The frame model. partsProfile: the header stage refuses what the
  // bitmap entry refuses (set by its caller before ReadHeaders).
  bool partsProfile;
  FrameComponent frame[kMaxComponents];
  uint8_t hMax, vMax;
  ColorKind colorKind;
  // The output kernels' layouts: grey, or YCbCr with chroma 1x1 and luma
  // 1, 2 or 4 wide and 1 or 2 high. Everything else takes OutputMcuGeneral.
  bool kernelLayout;
  // Blocks of a frame MCU, and for OutputMcuGeneral where the sample of
  // MCU column x (row y) of component c lies in its blocks: the offset of
  // its block and column (row) from the component's first block.
  uint8_t frameBlockCount;
  uint16_t sampleColumn[kMaxComponents][kMaxSampling * 8];
  uint16_t sampleRow[kMaxComponents][kMaxSampling * 8];
  // What segments said: JFIF APP0, Adobe APP14 and its transform.
  bool sawJfif;
  bool sawAdobe;
  uint8_t adobeTransform;
  bool sawExif;  // the first APP1 Exif segment gave info.orientation
  // The tables defined so far, by identifier: Huffman tables in place in
  // the stream, quantisation tables widened to 16 bits (zigzag order).
  const HuffmanSpec* dcTable[kMaxTables];
  const HuffmanSpec* acTable[kMaxTables];
  uint16_t quantTable[kMaxTables][64];
  uint8_t quantDefined;  // bit i: table i

  // The scan: its components (frame indices, in frame order), the blocks of
  // its MCU with the table set and predictor each uses, and its MCU grid.
  uint8_t scanComponents;
  uint8_t scanComponent[kMaxComponents];
  uint8_t blockCount;
  uint8_t blockSet[kMaxMcuBlocks];
  uint8_t blockPredictor[kMaxMcuBlocks];
  uint32_t scanMcuColumns;
  uint32_t scanMcuRows;
  // The scan is one of several: the marker after its data is the next
  // segment's, so any marker but a restart ends its data as EOI does.
  bool severalScans;

  // The frame's process: progressive (SOF2, SOF10) frames, and arithmetic-
  // coded (SOF9) ones in several scans, go through the store, which then
  // holds quantised
  // coefficients in zigzag order (storeQuantised), dequantised by the pixel
  // stages with the table each component had at its first scan (latchedQuant,
  // zigzag order; bit c of latched: set).
  bool progressive;
  bool arithmetic;
  bool storeQuantised;
  uint8_t latched;
  uint16_t latchedQuant[kMaxComponents][64];
  // The scan's spectral selection (Ss..Se, zigzag) and successive
  // approximation (Ah, Al); and the run of blocks left to end (EOBRUN).
  uint8_t spectralStart, spectralEnd;
  uint8_t approxHigh, approxLow;
  uint32_t eobRun;
  // For each component and coefficient, the Al of its last scan (-1: none
  // yet); oddProgression: a scan did not follow on from the earlier ones.
  int8_t coefficientBits[kMaxComponents][64];
  bool oddProgression;
  // Arithmetic coding: the scan components' table identifiers (Td, Ta), the
  // conditioning of each table (DAC: DC L and U, AC Kx), the statistics
  // bins of each table (bit 7 the more probable symbol, the rest the index
  // into the probability estimates), each component's DC context, and the
  // decoder's registers (see arithmetic_decode.cpp).
  uint8_t scanDcTable[kMaxComponents];
  uint8_t scanAcTable[kMaxComponents];
  uint8_t dcLower[kMaxTables], dcUpper[kMaxTables], acSplit[kMaxTables];
  uint8_t dcStatistics[kMaxTables][64];
  uint8_t acStatistics[kMaxTables][256];
  uint8_t dcContext[kMaxComponents];
  struct {
    uint32_t c;         // the code register: Cx in bits 16..31
    uint32_t a;         // the interval, 0x8000..0x10000 between decisions
    int32_t ct;         // bits of c not yet shifted in
    uint32_t pastEnd;   // zero bytes fed for bytes past the stream's end
    uint8_t marker;     // the marker that stopped the reads (0: none)
  } arith;

  // Whole-picture memory for a frame in several scans: every component's
  // coefficients (dequantised in natural order, or as storeQuantised
  // says), blocks of its padded grid in raster order
  // from storeBlock[c] (in blocks of 64). Either the caller's block or one
  // the decoder took (ownedWork, freed with the decoder).
  int16_t* store;
  uint64_t storeBlock[kMaxComponents];
  void* ownedWork;
  size_t ownedWorkBytes;
  void* callerWork;
  size_t callerWorkBytes;
  uint64_t maxWorkBytes;

  // The view the pixel stages write (ZfDecodeView). viewed: anything but
  // the whole picture as stored. Blocks give 8 >> scaleShift samples a
  // side; the reduced picture as stored is scaledWidth x scaledHeight, and
  // the region lies at regionX.. in it (columns x0..x1 - 1, rows y0..y1 - 1),
  // touching frame MCU columns mcuX0..mcuX1 - 1 and rows mcuY0..mcuY1 - 1.
  // Stored pixel (x, y) of the reduced picture goes to byte
  //   viewOrigin + x * viewStepX + y * viewStepY
  // of outputRows (orientation and region folded in; in band mode from the
  // band's first row).
  // A component sampled below the frame's maximum by a factor of 2 or 4
  // both ways is reduced less (componentShift[c] <= scaleShift), so that
  // it is replicated less: 4:2:0 chroma at 1/2 takes the whole 8x8 inverse
  // DCT and is not replicated at all.
  bool viewed;
  uint8_t scaleShift;
  uint8_t componentShift[kMaxComponents];
  // A scaled view of a kernel layout goes through the strip; any other
  // reduced MCU takes the general output (OutputMcuGeneral) alone.
  bool stripped;
  ScaledStrip strip;
  uint8_t orientation;
  uint32_t scaledWidth, scaledHeight;
  uint32_t regionX0, regionX1, regionY0, regionY1;
  uint32_t mcuX0, mcuX1, mcuY0, mcuY1;
  int64_t viewOrigin, viewStepX, viewStepY;

  // APP2 ICC_PROFILE chunks met before the first scan, by sequence number
  // (1..255): where each chunk's profile bytes begin and how many there
  // are (null: none seen). iccDeclared: the chunk count the first chunk
  // gave; iccBad: a chunk numbered 0 or past its count, a count that
  // changed, or a number met twice.
  const uint8_t* iccData[256];
  uint16_t iccSize[256];
  uint8_t iccDeclared;
  bool iccBad;
  // Called with the picture after each scan of a progressive or
  // arithmetic-coded frame decoded whole (ZfSetScanFunction).
  ZfScanFunction scanFunction;
  void* scanContext;
};

// MCU layout helpers. The blocks of the first component in a frame MCU
// (for the kernel layouts, from samplingCode); the blocks of a scan's MCU.
inline int LumaBlockCount(const DecoderState& state) {
  return static_cast<int>((state.samplingCode >> 4) * (state.samplingCode & 0x0F));
}
inline int BlockCount(const DecoderState& state) { return state.blockCount; }
// Blocks of coefficients set to 0 by plain stores, which the compiler
// widens (a memset of a block's size becomes a string instruction, slow to
// start for so few bytes).
inline void ZeroBlocks(int16_t* blocks, int count) {
  constexpr int16_t kZeros[8] = {};
  for (int i = 0; i < count * 64; i += 8) memcpy(blocks + i, kZeros, sizeof kZeros);
}
inline int McuWidth(uint32_t samplingCode) { return 8 * static_cast<int>(samplingCode >> 4); }
inline int McuHeight(uint32_t samplingCode) { return 8 * static_cast<int>(samplingCode & 0x0F); }
// The scan layout of a one-scan kernel layout from componentCount and
// samplingCode: luma blocks with table set 0, then Cb and Cr with set 1.
// Also fills the frame fields the pixel stages read. For tests that set a
// state up by hand.
void SetKernelLayout(DecoderState& state);
// A frame of `count` components with these identifiers and sampling bytes,
// its colours read from them and from sawJfif, sawAdobe and adobeTransform
// as the state holds them: the fields the pixel stages read. For tests.
void SetFrameForTests(DecoderState& state, int count, const uint8_t* ids, const uint8_t* samplings);

// Bytes per pixel of an output format; 0 for an unknown one.
inline uint32_t FormatBytes(ZfFormat format) {
  switch (format) {
    case kZfBgrx: case kZfRgbx: case kZfBgra: case kZfRgba: return 4;
    case kZfBgr: case kZfRgb: return 3;
    case kZfGrey: return 1;
    case kZfCmyk: return 4;
  }
  return 0;
}

// Whether a marker met in the data ends it (as EOI does): without several
// scans EOI alone; in one of several scans any marker but a restart.
inline bool EndsData(const DecoderState& state, uint32_t marker) {
  return marker == kMarkerEoi || (state.severalScans && (marker < 0xD0 || marker > 0xD7));
}

// The reading of bytes at and past the end of the stream: 0x00.
inline uint8_t ByteAt(const DecoderState& state, const uint8_t* pos, size_t offset = 0) {
  return offset < static_cast<size_t>(state.streamEnd - pos) ? pos[offset] : 0;
}

// The whole decode over a given state; DecodeImage runs it on the static one.
ImageRecord* DecodeImageWithState(DecoderState& state, const uint8_t* stream, size_t size, HDC dc);

// A zeroed block of `size` bytes aligned for a DecoderState, and its release.
void* AllocateZeroed(size_t size);
void FreeAllocated(void* block);

// Records why the decode stops; for `return Refuse(state, kZf...)` at a check.
inline bool Refuse(DecoderState& state, ZfStatus status) {
  state.status = status;
  return false;
}

// The header stage: clears the tables of the last stream, walks the marker
// segments from SOI, checks the frame, records the tables and checks the
// scan header against the frame. Returns the position of the scan header's
// length field, or null with the reason in state.status. Fills state.info.
const uint8_t* ReadHeaders(DecoderState& state, const uint8_t* stream, size_t size);
// The marker walk from `pos` (a marker) to the next scan header: its
// length field's position; null at EOI (endOfImage set, status untouched)
// or with the reason in state.status. Between scans it takes the tables and
// restart intervals that may change there.
const uint8_t* WalkToScan(DecoderState& state, const uint8_t* pos, bool& endOfImage);
// The whole-picture memory a frame in several scans needs, in bytes.
uint64_t FrameWorkBytes(const DecoderState& state);
// The scan set-up after ReadHeaders: loads the first data bytes, builds the
// lookup tables, and readies the MCU count and damage tracking. 0 (with
// kZfBadData) when the first data bytes hold a marker it cannot accept.
int StartScan(DecoderState& state, const uint8_t* scanHeader);
// The colour and cosine tables, when the state does not have them yet.
void BuildConstantTables(DecoderState& state);

// Photograph metadata (photo_metadata.cpp). The EXIF orientation (1..8) of
// an APP1 segment at `segment` (its length field; `length` bytes from
// there lie in the stream), 0 when it is no Exif segment, is malformed, or
// gives no orientation in IFD0.
uint32_t ExifOrientation(const uint8_t* segment, size_t length);
// An APP2 segment at `segment` (`length` bytes): recorded in iccData when
// it is an ICC_PROFILE chunk.
void RecordIccChunk(DecoderState& state, const uint8_t* segment, size_t length);

// Stages, in pipeline order.
void BuildFastTable(const HuffmanSpec* spec, FastLookupTable& table);
void BuildCodeLimits(const HuffmanSpec* spec, CodeLimitTable& table);

// Loads the first data bytes after SOS (and after each restart). Returns 0
// when the plain scheme (no DRI interval) meets a marker it cannot accept.
int LoadBitBuffer(DecoderState& state);
// The state after the restart boundary of an interval: `next` is the byte
// after the marker taken there, null when it was EOI (or the stream ended),
// after which the rest of the scan decodes from zero bits. Records `next`
// in boundaryPos.
void ResumeAfterBoundary(DecoderState& state, const uint8_t* next);
// Reads one MCU into blockBuffer, dequantised, natural order. 0 on failure.
int DecodeMcu(DecoderState& state);
// The end of an MCU, once its bits are read and the bit reader written back:
// counts it and handles a restart. 0 when a plain-scheme reload fails.
int FinishMcu(DecoderState& state);
// The Huffman limit read: the symbol whose code of length start..16 begins
// `buffer`, and its length; -1 when none matches.
int LimitRead(uint32_t buffer, int start, const CodeLimitTable& limits, const HuffmanSpec* spec,
              uint32_t& length);

void BuildCosineTable(CosineTable& table);
// The reduced inverse DCT of a dequantised block (natural order) for
// scaleShift 1, 2 or 3: its 4x4, 2x2 or 1x1 samples (each the mean of a
// square of the full inverse DCT), level shift carried
// by the DC as for InverseDct, row r at out + r * outStride; `out` may be
// the block itself (inverse_dct_reduced.cpp).
void ReducedInverseDct(const int16_t* block, int scaleShift, int16_t* out, int outStride);
// Its table for n = 4 or 2: B[x][k] at x * 8 + k.
const int32_t* ReducedDctTable(int n);
// Sets the view fields and the replication tables for it, after
// ReadHeaders; false (status kZfBadArgument) for a view the picture cannot
// give. Null: the whole picture as stored.
struct ViewGeometry {
  uint32_t shift, orientation;          // 0..3; 1..8
  uint32_t scaledWidth, scaledHeight;   // the reduced picture as stored
  uint32_t uprightWidth, uprightHeight; // and turned upright
  uint32_t x, y, width, height;         // the region, upright
};
// The geometry of `view` (null: the whole picture) over a frame of this
// size; false when the view is not one the picture can give.
bool MakeViewGeometry(uint32_t width, uint32_t height, const ZfView* view, ViewGeometry& geometry);
// The inverse DCTs of a reduced MCU's first `blocks` blocks in place, each
// component at its componentShift (general layouts).
void ScaledTransforms(DecoderState& state, const struct DecoderPaths& paths, int blocks);
// A reduced MCU of a kernel layout (level shift done) into the strip, its
// first `blocks` blocks transformed; the strip goes to the output when it
// is full or the MCU is the last of its row in the view.
void StripMcu(DecoderState& state, const struct DecoderPaths& paths, int blocks, uint32_t mx, uint32_t my);
// The output of frame MCU (mx, my) of a view, after its inverse DCT.
void OutputViewMcu(DecoderState& state, const struct DecoderPaths& paths, uint32_t mx, uint32_t my);
bool SetView(DecoderState& state, const ZfView* view, uint32_t bytesPerPixel, size_t stride, bool band);
void InverseDct(const CosineTable& table, int16_t* block);

void AssembleMcu(DecoderState& state);
void PlaceLumaBlock(const int16_t* block, uint8_t* pixel, int stride);
void PlaceGrayBlock(const int16_t* block, uint8_t* pixel, int stride);
void PlaceChromaBlock(const int16_t* block, uint8_t* channel, int stride, uint32_t samplingCode);

void BuildColorTables(ColorTables& tables);
// Pixel rows imageWidth * 4 bytes apart.
void WriteMcuPixels(const DecoderState& state, const uint8_t* source, uint8_t* destination,
                    int columns, int rows, uint32_t imageWidth);
// The same with rows `stride` bytes apart.
void WriteMcuPixelRows(const DecoderState& state, const uint8_t* source, uint8_t* destination, int columns,
                       int rows, size_t stride);

// Both output stages of one MCU: AssembleMcu, then WriteMcuPixels of the
// `columns` x `rows` part inside the image to `destination`, BGRX, rows
// state.outputStride bytes apart.
void OutputMcu(DecoderState& state, uint8_t* destination, int columns, int rows);
// For kernels that convert whole MCUs only: a partial MCU at the right or
// bottom edge goes whole into a tile through `wholeMcu`, and its part inside
// the picture is copied into place.
void OutputPartialMcu(DecoderState& state, void (*wholeMcu)(DecoderState&, uint8_t*, int, int),
                      uint8_t* destination, int columns, int rows);
// One MCU in state.outputFormat: BGRX through the paths' outputMcu, the
// other orders from a BGRX tile, grey from the luma blocks.
void OutputMcuFormatted(DecoderState& state, const struct DecoderPaths& paths, uint8_t* destination,
                        int columns, int rows);
// One line of `columns` pixels in state.outputFormat from each component's
// samples for it (replicated already, as the inverse DCT leaves them:
// unclamped, chroma centred); for grey output line[0] alone is read.
void ConvertLine(const DecoderState& state, const int16_t* const* line, int columns, uint8_t* out);
// Converts `rows` rows of `columns` BGRX pixels (rows `sourceStride` apart)
// to `format`.
void ConvertBgrx(const uint8_t* source, size_t sourceStride, uint8_t* destination, size_t stride, int columns,
                 int rows, ZfFormat format);

// Fast paths. Each has the signature of its scalar twin and gives the same
// result bit for bit; cpu_dispatch.cpp picks them once per process.
void BuildFastAcTable(const FastLookupTable& fast, const CodeLimitTable& limits, const HuffmanSpec* spec,
                      const uint16_t* quant, FastAcTable& table);
// The same but for the pairs (for the progressive AC first scans, which
// read none).
void BuildFastAcEntries(const FastLookupTable& fast, const CodeLimitTable& limits, const HuffmanSpec* spec,
                        const uint16_t* quant, FastAcTable& table);
void BuildFastDcTable(const FastLookupTable& fast, FastDcTable& table);
void BuildFastSkipTable(const FastLookupTable& fast, const CodeLimitTable& limits, const HuffmanSpec* spec,
                        FastSkipTable& table);
// DecodeMcu for the common case, restart intervals (a marker met by the
// reader, the MCUs after it up to the boundary, the boundary where the
// marker lies right at the position), and MCUs of made-up zero bits once
// the data has ended (from a record of DecodeMcu's own); runs DecodeMcu
// itself for an MCU it does not handle: one that uses bits past a marker,
// the stream's last bytes, anything the decode would refuse. Needs
// fastAcWhole built.
int DecodeMcuFast(DecoderState& state);
// DecodeMcuFast for the MCUs of a scaled view: the blocks marked in
// state.dcOnlyBlocks are left with their DC coefficient alone set (the rest
// of them unchanged); the reader, predictors, blockDc and damage state are
// as after DecodeMcuFast, and so is every other block.
int DecodeMcuFastDcOnly(DecoderState& state);
// The skip tables of the scan's Huffman table sets that its blocks use,
// into state.fastAcSkip (not null), for DecodeMcuFastDcOnly and
// DecodeMcuRunDcOnly; fastAcSkipBuilt set.
void BuildFastSkipTables(DecoderState& state);
// Runs of MCUs on the fast entropy path from state.mcuNumber on, at most
// `limit`: each MCU's blocks are left in blockBuffer (as DecodeMcuFast, or
// DecodeMcuFastDcOnly, leaves them) and `each(context)` is called before
// the next is decoded; the bit reader is handed back after the last. The
// state after the run is as after as many calls of DecodeMcuFast(DcOnly).
// Returns how many MCUs it gave: 0 where the next MCU is to go through
// DecodeMcuFast (a restart boundary after it, a marker, damage, anything
// it would hand to DecodeMcu).
uint32_t DecodeMcuRun(DecoderState& state, uint32_t limit, void (*each)(void*), void* context);
uint32_t DecodeMcuRunDcOnly(DecoderState& state, uint32_t limit, void (*each)(void*), void* context);
// The fast entropy path alone, for a decode running ahead of the sequential
// one in data that holds no marker, into `blocks` (BlockCount(state) blocks):
// 0 where DecodeMcuFast would fall back to DecodeMcu (the state is then as
// before). Leaves each block's predictor value in blockDc.
int DecodeMcuAhead(DecoderState& state, int16_t* blocks);
#if defined(__SSE2__) || defined(_M_X64)
#define ZENTRAFOLD_HAVE_SSE2 1
void InverseDctSse2(const CosineTable& table, int16_t* block);
void ReducedInverseDctSse2(const int16_t* block, int scaleShift, int16_t* out, int outStride);
void OutputMcuSse2(DecoderState& state, uint8_t* destination, int columns, int rows);
void OutputMcuGeneralSse2(DecoderState& state, uint8_t* destination, int columns, int rows);
void ConvertLineSse2(const DecoderState& state, const int16_t* const* line, int columns, uint8_t* out);
#endif
// On 64-bit Windows GCC does not realign the stack for 32-byte vector spills
// (GCC bug 54412): the AVX2 files are assembled there with every aligned
// vector move encoded as an unaligned one (decoder/CMakeLists.txt), and no
// other AVX2 instruction needs an aligned operand.
#if defined(ZENTRAFOLD_HAVE_SSE2) && (defined(__GNUC__) || defined(__clang__)) && \
    (!defined(_WIN32) || defined(ZENTRAFOLD_AVX2_UNALIGNED_MOVES))
#define ZENTRAFOLD_HAVE_AVX2 1
// Only where CpuHasAvx2():
void InverseDctAvx2(const CosineTable& table, int16_t* block);
void OutputMcuAvx2(DecoderState& state, uint8_t* destination, int columns, int rows);
void ConvertLineAvx2(const DecoderState& state, const int16_t* const* line, int columns, uint8_t* out);
void ReducedInverseDctAvx2(const int16_t* block, int scaleShift, int16_t* out, int outStride);
bool CpuHasAvx2();
#endif

struct DecoderPaths {
  int (*decodeMcu)(DecoderState& state);
  bool usesFastAcTables;  // decodeMcu needs fastAcWhole
  void (*inverseDct)(const CosineTable& table, int16_t* block);
  void (*outputMcu)(DecoderState& state, uint8_t* destination, int columns, int rows);
  const char* name;  // for tools and tests: "scalar", "sse2", ...
  // The output of every other layout and colour kind (OutputMcuGeneral).
  void (*outputGeneral)(DecoderState& state, uint8_t* destination, int columns, int rows);
  // The reduced inverse DCT of scaled views (ReducedInverseDct).
  void (*reducedInverseDct)(const int16_t* block, int scaleShift, int16_t* out, int outStride);
  // The pixels of a line of samples (ConvertLine), for scaled views.
  void (*convertLine)(const DecoderState& state, const int16_t* const* line, int columns, uint8_t* out);
};
// The paths for this processor, or the scalar ones when the environment
// sets ZENTRAFOLD_FORCE_SCALAR=1.
const DecoderPaths& SelectedPaths();
const DecoderPaths& ScalarPaths();
// Holds a C API decoder to `paths` (null: the selected ones), for tests.
void HoldToPaths(struct ZfDecoder* decoder, const DecoderPaths* paths);

// MCUs first .. end - 1 (raster order) to the output target; 0 when one
// cannot be decoded (status and failedMcu set).
int DecodeMcuRange(DecoderState& state, const DecoderPaths& paths, uint32_t first, uint32_t end);
// The smallest picture, in pixels, that DecodeInParallel splits.
extern uint64_t gMinParallelPixels;
extern uint32_t gMinAheadMcus;
extern uint32_t gAheadRunMcus;
extern std::atomic<uint64_t> gAheadMcusTaken;
extern double gAheadMinBytesPerBlock;
extern std::atomic<uint64_t> gSplitMcusOutput;
extern uint32_t gSplitChunkMcus;
// The fewest MCUs of a scan that a view reads through skip tables (making
// them takes longer than they save in smaller scans); tests lower it.
extern uint32_t gMinSkipTableMcus;
// `threads` - 1 workers started and waiting, with their states; null when
// threads < 2 or they cannot all be had. Destroy with the same count.
struct WorkerPool* CreateWorkerPool(uint32_t threads);
void DestroyWorkerPool(struct WorkerPool* pool, uint32_t threads);
// The MCU loop on several threads, when the pool and the picture allow it;
// false when the decode is left to the caller's thread. Returns through
// `result` what DecodeMcuRange over the whole scan would.
bool DecodeInParallel(DecoderState& state, const DecoderPaths& paths, int& result);
// The MCU loop: decodes the scan to the output target (outputRows...).
// 0 on failure, with state.status set; on success status is kZfOk or
// kZfDamaged.
int RunMcuLoop(DecoderState& state);
// A frame in several scans: every scan from the one at `scanHeader` (its
// length field) into the store (state.store, FrameWorkBytes of it), then the
// pixel stages over the store to the output target. As RunMcuLoop.
int RunStoredScans(DecoderState& state, const uint8_t* scanHeader);
// The store's blocks of the scan's MCU (mx, my), in scan order: a scan of
// one component has one block an MCU, over the component's own grid.
inline void LocateScanBlocks(const DecoderState& state, uint32_t mx, uint32_t my, int16_t** blocks) {
  int b = 0;
  for (int j = 0; j < state.scanComponents; ++j) {
    const int c = state.scanComponent[j];
    const FrameComponent& component = state.frame[c];
    int16_t* base = state.store + state.storeBlock[c] * 64;
    if (state.scanComponents == 1) {
      blocks[b++] = base + (static_cast<uint64_t>(my) * component.paddedWide + mx) * 64;
      return;
    }
    for (uint32_t by = 0; by < component.v; ++by) {
      for (uint32_t bx = 0; bx < component.h; ++bx) {
        const uint64_t row = static_cast<uint64_t>(my) * component.v + by;
        blocks[b++] = base + (row * component.paddedWide + mx * component.h + bx) * 64;
      }
    }
  }
}
// The walk over the scans of a picture in several scans, in stream order.
struct ScanWalk {
  const uint8_t* header;     // the next scan's header (its length field)
  const uint8_t* dataStart;  // the entropy-coded data of the scan set up last
  uint32_t scans;            // scans set up so far
  uint8_t coded[kMaxComponents];  // by component: bit 0 coded alone, bit 1 interleaved
  bool damaged;              // the picture ends damaged
};
// Sets the state up for the scan at walk.header (StartScan, and the
// progression's records); 0 with the status when that fails.
int SetUpScan(DecoderState& state, ScanWalk& walk);
// The entropy decoding of the scan set up into the store; 0 on failure.
int DecodeScan(DecoderState& state, const DecoderPaths& paths);
// After the scan set up last, the walk's next scan (walk.header): the
// tables and intervals between are taken; 0 when the picture ends before
// one (walk.damaged set when that end leaves it damaged).
int FindNextScan(DecoderState& state, ScanWalk& walk);
// The scans of the walk from walk.header decoded into the store on several
// threads, when the pool and the picture allow it (false otherwise, the
// walk untouched). `result`: 1, or 0 with the status and failedMcu of the
// first scan in stream order that failed, as the decode on one thread.
bool DecodeScansInParallel(DecoderState& state, const DecoderPaths& paths, ScanWalk& walk, int& result);
// Before a scan decoding on one of several threads touches the blocks of its
// MCU row `row`: publishes the rows it has decoded, and waits until the scans
// before it that share a component have decoded the frame MCU rows that row
// lies in. Nothing on one thread (state.scanSync null).
void SyncScanRow(DecoderState& state, uint32_t row);
inline void ScanRowStarts(DecoderState& state, uint32_t row, uint32_t& synced) {
  if (state.scanSync == nullptr || row == synced) return;
  synced = row;
  SyncScanRow(state, row);
}
// The pixel stages of frame MCUs first .. end - 1 of a scan of every
// component, whose blocks lie one MCU after another (BlockCount(state)
// each) in `blocks`, as DecodeMcuRange runs them after each MCU's decode.
void OutputDecodedMcus(DecoderState& state, const DecoderPaths& paths, const int16_t* blocks, uint32_t first,
                       uint32_t end);
// The entropy decoding of one progressive Huffman scan (set up by StartScan)
// into the store of quantised coefficients; 0 on failure (status and
// failedMcu set). fastTables: AC first scans read through fastAcWhole
// (the fast paths); the bytes are the same either way.
int DecodeProgressiveScan(DecoderState& state, bool fastTables);
// The same for an arithmetic-coded scan, sequential or progressive.
int DecodeArithmeticScan(DecoderState& state);
// DecodeMcu for a sequential arithmetic-coded frame in one scan, decoded
// MCU by MCU as a Huffman-coded one (the MCU loop's decodeMcu).
int DecodeMcuArithmetic(DecoderState& state);
// Records the progression of a progressive scan's coefficients (Al by
// component and coefficient); flags oddProgression.
void TrackProgression(DecoderState& state);
// The table of each component of the scan, at its first scan.
void LatchQuantTables(DecoderState& state);
// The pixel stages of frame MCUs first .. end - 1 from the store.
int OutputStoredMcus(DecoderState& state, const DecoderPaths& paths, uint32_t first, uint32_t end);
// OutputStoredMcus over the whole frame on several threads, split by MCU
// rows; false when the pool or the picture does not allow it.
bool OutputStoreInParallel(DecoderState& state, const DecoderPaths& paths, int& result);
// Upsampling by replication and colour conversion of any layout and colour
// kind, from the frame MCU's blocks after the inverse DCT, into any format
// (the scalar procedure for what the output kernels do not take).
void OutputMcuGeneral(DecoderState& state, uint8_t* destination, int columns, int rows);
// Row y of the MCU's component c, replicated: `columns` samples into `line`.
void GatherComponentRow(const DecoderState& state, int c, int y, int columns, int16_t* line);

extern const uint8_t kZigzagToNatural[64];
