// The MCU loop: every MCU in raster order through entropy decoding, level
// shift, inverse DCT, assembly and colour conversion into the output rows,
// whole or one MCU row (a band) at a time. A frame in several scans first
// decodes every scan into the whole-picture store, then runs the pixel
// stages over the store's MCUs the same way.
#include <string.h>

#include "coefficient_mask.h"
#include "decoder_state.h"

void OutputMcu(DecoderState& state, uint8_t* destination, int columns, int rows) {
  AssembleMcu(state);
  WriteMcuPixelRows(state, state.mcuPixelBuffer, destination, columns, rows, state.outputStride);
}

uint32_t gMinSkipTableMcus = 2048;

namespace {

// The most scans a picture is decoded from.
constexpr uint32_t kMaxScans = 1000;

// The frame's MCU grid, worked out once for a run of MCUs.
struct McuGrid {
  uint32_t mcuWidth, mcuHeight;
  uint32_t mcuColumns, lastRow;
  size_t mcuBytes;  // output bytes across one MCU
  int blocks;       // blocks the pixel stages transform
  // The blocks whose samples are 0..255 (not centred chroma): the level
  // shift's, in order.
  uint8_t shifted[kMaxFrameBlocks];
  int shiftedCount = 0;
  explicit McuGrid(const DecoderState& state)
      : mcuWidth(static_cast<uint32_t>(McuWidth(state.samplingCode))),
        mcuHeight(static_cast<uint32_t>(McuHeight(state.samplingCode))),
        mcuColumns((state.width + mcuWidth - 1) / mcuWidth),
        lastRow((state.height + mcuHeight - 1) / mcuHeight - 1),
        mcuBytes(mcuWidth * FormatBytes(state.outputFormat)),
        // Grey output needs the first component's samples only.
        blocks(state.outputFormat == kZfGrey ? state.frame[0].h * state.frame[0].v : state.frameBlockCount) {
    for (int c = 0; c < state.componentCount; ++c) {
      const FrameComponent& component = state.frame[c];
      for (int b = 0; component.levelShift && b < component.h * component.v; ++b)
        shifted[shiftedCount++] = static_cast<uint8_t>(component.firstBlock + b);
    }
  }
};

// Whether a view leaves frame MCU (mx, my) out.
bool OutsideView(const DecoderState& state, uint32_t mx, uint32_t my) {
  return state.viewed && (mx < state.mcuX0 || mx >= state.mcuX1 || my < state.mcuY0 || my >= state.mcuY1);
}

// The pixel stages of the frame MCU (mx, my), whose blocks are in
// blockBuffer: the level shift of components whose samples are 0..255
// (carried by the DC: 128 * 8, 16-bit, wrapping), the inverse DCT (reduced
// for a scaled view), and the output at the MCU's place in the output rows
// (the band's in band mode). For MCUs inside the view only.
inline __attribute__((always_inline)) void PixelStages(DecoderState& state, const DecoderPaths& paths,
                                                       const McuGrid& grid, uint32_t mx, uint32_t my) {
  for (int i = 0; i < grid.shiftedCount; ++i) {
    int16_t& dc = state.blockBuffer[grid.shifted[i] * 64];
    dc = static_cast<int16_t>(static_cast<uint16_t>(dc + 1024));
  }
  if (state.stripped) {
    StripMcu(state, paths, grid.blocks, mx, my);
    return;
  }
  if (state.scaleShift != 0) {
    ScaledTransforms(state, paths, grid.blocks);
  } else {
    for (int b = 0; b < grid.blocks; ++b) paths.inverseDct(state.cosineTable, state.blockBuffer + b * 64);
  }
  if (state.viewed) {
    OutputViewMcu(state, paths, mx, my);
    return;
  }
  const uint32_t columns = mx == grid.mcuColumns - 1 ? state.width - mx * grid.mcuWidth : grid.mcuWidth;
  const uint32_t rows = my == grid.lastRow ? state.height - my * grid.mcuHeight : grid.mcuHeight;
  const size_t stride = state.outputStride;
  uint8_t* rowStart =
      state.outputRows + (state.band != nullptr ? 0 : static_cast<size_t>(my) * grid.mcuHeight * stride);
  OutputMcuFormatted(state, paths, rowStart + mx * grid.mcuBytes, static_cast<int>(columns), static_cast<int>(rows));
}

// The store's block (column, row) of frame component c.
int16_t* StoredBlock(const DecoderState& state, int c, uint32_t column, uint32_t row) {
  const FrameComponent& component = state.frame[c];
  return state.store + (state.storeBlock[c] + static_cast<uint64_t>(row) * component.paddedWide + column) * 64;
}

// MCUs first .. end - 1 of the frame from the store through the pixel stages.
int OutputStoreRange(DecoderState& state, const DecoderPaths& paths, uint32_t first, uint32_t end) {
  const McuGrid grid(state);
  const uint32_t mcuColumns = state.scanMcuColumns;
  for (uint32_t mcu = first; mcu < end; ++mcu) {
    const uint32_t mx = mcu % mcuColumns;
    const uint32_t my = mcu / mcuColumns;
    if (OutsideView(state, mx, my)) continue;
    for (int c = 0; c < state.componentCount; ++c) {
      const FrameComponent& component = state.frame[c];
      // Blocks no stage reads (chroma of grey output), and blocks reduced
      // to their DC (1/8), which is all the stages read of them.
      if (component.firstBlock >= grid.blocks) continue;
      const bool dcAlone = state.componentShift[c] == 3;
      int16_t* block = state.blockBuffer + component.firstBlock * 64;
      for (uint32_t by = 0; by < component.v; ++by) {
        for (uint32_t bx = 0; bx < component.h; ++bx, block += 64) {
          const int16_t* stored = StoredBlock(state, c, mx * component.h + bx, my * component.v + by);
          if (dcAlone) {
            block[0] = state.storeQuantised ? static_cast<int16_t>(static_cast<uint32_t>(static_cast<uint16_t>(
                                                  stored[0])) * state.latchedQuant[c][0])
                                            : stored[0];
            continue;
          }
          if (!state.storeQuantised) {
            memcpy(block, stored, 64 * sizeof *block);
            continue;
          }
          // Dequantised as the sequential decode does it (16-bit, wrapping)
          // into natural order: the nonzero coefficients alone (most of a
          // block is zero), the rest cleared.
          const uint16_t* q = state.latchedQuant[c];
          ZeroBlocks(block, 1);
          for (uint64_t nonzero = NonzeroMask(stored); nonzero != 0; nonzero &= nonzero - 1) {
            const int k = __builtin_ctzll(nonzero);
            block[kZigzagToNatural[k]] =
                static_cast<int16_t>(static_cast<uint32_t>(static_cast<uint16_t>(stored[k])) * q[k]);
          }
        }
      }
    }
    PixelStages(state, paths, grid, mx, my);
  }
  return 1;
}

// The whole picture, or band after band, through `range` (MCUs of the frame
// grid, first .. end - 1). A view stops after the last MCU row it touches,
// and hands on only bands that hold rows of its region.
int OutputPicture(DecoderState& state, const DecoderPaths& paths,
                  int (*range)(DecoderState&, const DecoderPaths&, uint32_t, uint32_t)) {
  const uint32_t mcuHeight = static_cast<uint32_t>(McuHeight(state.samplingCode)) >> state.scaleShift;
  const uint32_t mcuColumns = state.scanMcuColumns;
  const uint32_t mcuRows = state.viewed ? state.mcuY1 : state.scanMcuRows;
  if (state.band != nullptr) {
    // One MCU row at a time into the band, handed on before the next.
    const int64_t origin = state.viewOrigin;
    const uint32_t top = state.viewed ? state.regionY0 : 0;
    const uint32_t bottom = state.viewed ? state.regionY1 : state.height;
    for (uint32_t my = 0; my < mcuRows; ++my) {
      // The band's rows: those of the MCU row inside the region.
      const uint32_t first = my * mcuHeight > top ? my * mcuHeight : top;
      const uint32_t end = (my + 1) * mcuHeight < bottom ? (my + 1) * mcuHeight : bottom;
      state.viewOrigin = origin - static_cast<int64_t>(first - top) * static_cast<int64_t>(state.outputStride);
      const int decoded = range(state, paths, my * mcuColumns, (my + 1) * mcuColumns);
      state.viewOrigin = origin;
      if (!decoded) return 0;
      if (first >= end) continue;
      if (state.band(state.bandContext, state.outputRows, state.outputStride, first - top, end - first) != 0) {
        state.status = kZfStopped;
        return 0;
      }
    }
    return 1;
  }
  int result = 0;
  if (!state.viewed) {
    if (range == DecodeMcuRange && !state.arithmetic && DecodeInParallel(state, paths, result)) return result;
    if (range == OutputStoreRange && OutputStoreInParallel(state, paths, result)) return result;
  }
  return range(state, paths, 0, mcuColumns * mcuRows);
}

// Whether a block of the scan uses Huffman table set t (sets are numbered
// by the first scan component that uses them).
bool UsesTableSet(const DecoderState& state, int t) {
  if (t == 0 || state.blockSet[t] == t) return true;
  for (int b = 0; b < state.blockCount; ++b)
    if (state.blockSet[b] == t) return true;
  return false;
}

// The skip tables of a scan whose blocks a view keeps to their DC, where
// it reads `mcus` MCUs or more in all: made once for the scan (band mode
// reads it a range at a time).
void PrepareSkipTables(DecoderState& state, uint32_t mcus) {
  if (state.fastAcSkip != nullptr && !state.fastAcSkipBuilt && mcus >= gMinSkipTableMcus) BuildFastSkipTables(state);
}

void BuildFastAcTables(DecoderState& state, const DecoderPaths& paths) {
  state.fastAcSkipBuilt = false;
  if (!paths.usesFastAcTables) return;
  for (int t = 0; t < state.scanComponents; ++t) {
    if (!UsesTableSet(state, t)) continue;
    BuildFastAcTable(state.fastAc[t], state.limitsAc[t], state.acSpec[t], state.quant[t], state.fastAcWhole[t]);
    BuildFastDcTable(state.fastDc[t], state.fastDcWhole[t]);
  }
}

// One scan's MCUs into the store. 0 when one cannot be decoded.
int DecodeScanToStore(DecoderState& state, const DecoderPaths& paths) {
  BuildFastAcTables(state, paths);
  const bool interleaved = state.scanComponents > 1;
  const uint32_t mcuColumns = state.scanMcuColumns;
  // A scan of one component that a view reduces to its DCs: its blocks'
  // AC coefficients are read but not stored (the view reads the DC alone).
  int (*decodeMcu)(DecoderState&) = paths.decodeMcu;
  if (state.viewed && !interleaved && decodeMcu == DecodeMcuFast && state.componentShift[state.scanComponent[0]] == 3) {
    decodeMcu = DecodeMcuFastDcOnly;
    state.dcOnlyBlocks = 1;
    PrepareSkipTables(state, state.mcuTotal);
  }
  uint32_t synced = UINT32_MAX;
  for (uint32_t mcu = 0; mcu < state.mcuTotal; ++mcu) {
    ScanRowStarts(state, mcu / mcuColumns, synced);
    if (!decodeMcu(state)) {
      state.status = kZfBadData;
      state.failedMcu = mcu;
      return 0;
    }
    int16_t* stored[kMaxMcuBlocks];
    LocateScanBlocks(state, mcu % mcuColumns, mcu / mcuColumns, stored);
    for (int b = 0; b < (interleaved ? state.blockCount : 1); ++b)
      memcpy(stored[b], state.blockBuffer + b * 64, 64 * sizeof(int16_t));
  }
  return 1;
}

// The first byte after a scan's entropy-coded data: its first marker that
// is not a restart marker (0xFF 0x00 is data, 0xFF before 0xFF a fill
// byte), or the stream's end.
const uint8_t* ScanDataEnd(const DecoderState& state, const uint8_t* pos) {
  const uint8_t* end = state.streamEnd;
  for (;;) {
    const auto* ff = static_cast<const uint8_t*>(memchr(pos, 0xFF, static_cast<size_t>(end - pos)));
    if (ff == nullptr) return end;
    pos = ff + 1;
    while (pos < end && *pos == 0xFF) ++pos;
    if (pos >= end) return end;
    const uint8_t code = *pos;
    if (code != 0x00 && (code < 0xD0 || code > 0xD7)) return pos - 1;
    ++pos;
  }
}

// The picture of the scans so far to the output, and the scan function
// told; false (kZfStopped) when it asks to stop. The scan grid is the next
// scan's, set up already: the frame's grid stands in for the output.
bool ShowScan(DecoderState& state, const DecoderPaths& paths, uint32_t scan) {
  const uint32_t columns = state.scanMcuColumns, rows = state.scanMcuRows;
  state.scanMcuColumns = (state.width + 8u * state.hMax - 1) / (8u * state.hMax);
  state.scanMcuRows = (state.height + 8u * state.vMax - 1) / (8u * state.vMax);
  OutputPicture(state, paths, OutputStoreRange);
  state.scanMcuColumns = columns;
  state.scanMcuRows = rows;
  if (state.scanFunction(state.scanContext, scan) == 0) return true;
  state.status = kZfStopped;
  state.severalScans = false;
  return false;
}

}  // namespace

void BuildFastSkipTables(DecoderState& state) {
  for (int t = 0; t < state.scanComponents; ++t)
    if (UsesTableSet(state, t)) BuildFastSkipTable(state.fastAc[t], state.limitsAc[t], state.acSpec[t], state.fastAcSkip[t]);
  state.fastAcSkipBuilt = true;
}

namespace {

// The MCU blocks whose AC coefficients no later stage reads: blocks
// reduced to one sample (their DC alone gives it) and blocks that are not
// transformed at all (chroma of grey output). 0 when the scan's blocks are
// not the frame's.
uint32_t DcOnlyBlocks(const DecoderState& state, const McuGrid& grid) {
  if (state.scaleShift == 0 || state.scanComponents != state.componentCount ||
      state.blockCount != state.frameBlockCount)
    return 0;
  uint32_t mask = 0;
  for (int c = 0; c < state.componentCount; ++c) {
    const FrameComponent& component = state.frame[c];
    for (int b = component.firstBlock; b < component.firstBlock + component.h * component.v; ++b) {
      if (b >= grid.blocks || state.componentShift[c] == 3) mask |= 1u << b;
    }
  }
  return mask;
}

// Where a run of MCUs on the fast path stands: each MCU it gives goes
// through the pixel stages at (mx, my).
struct RunSink {
  DecoderState& state;
  const DecoderPaths& paths;
  const McuGrid& grid;
  uint32_t mx, my;
  // With a region: the blocks read for their DC alone in MCUs it shows and
  // in those it leaves out.
  bool region;
  uint32_t shownMask, outsideMask;
};

void PixelStagesOfRun(void* context) {
  RunSink& sink = *static_cast<RunSink*>(context);
  if (!sink.region || !OutsideView(sink.state, sink.mx, sink.my))
    PixelStages(sink.state, sink.paths, sink.grid, sink.mx, sink.my);
  if (++sink.mx == sink.grid.mcuColumns) {
    sink.mx = 0;
    ++sink.my;
  }
  // The next MCU's blocks read for their DC alone.
  if (sink.region)
    sink.state.dcOnlyBlocks = OutsideView(sink.state, sink.mx, sink.my) ? sink.outsideMask : sink.shownMask;
}

// Runs end at each restart boundary: short intervals would give short runs.
constexpr uint32_t kMinRunInterval = 16;

}  // namespace

int DecodeMcuRange(DecoderState& state, const DecoderPaths& paths, uint32_t first, uint32_t end) {
  const McuGrid grid(state);
  const uint32_t mcuColumns = state.scanMcuColumns;
  uint32_t mx = first % mcuColumns;
  uint32_t my = first / mcuColumns;
  const uint32_t dcOnly = DcOnlyBlocks(state, grid);
  const bool fast = paths.decodeMcu == DecodeMcuFast;
  int (*const decodeMcu)(DecoderState&) = dcOnly != 0 && fast ? DecodeMcuFastDcOnly : paths.decodeMcu;
  // The MCUs a view leaves out are decoded for the reader and the DC
  // predictors alone: nothing reads their blocks, so no AC coefficient of
  // theirs is stored.
  const uint32_t outside = state.viewed && fast ? (1u << BlockCount(state)) - 1 : 0;
  state.dcOnlyBlocks = dcOnly;
  // Runs of MCUs on the fast path; with a region that leaves MCUs out
  // (what it leaves out below its last row is not in the range), each MCU
  // is read with the blocks its place asks for.
  const bool region = outside != 0 && !(state.mcuX0 == 0 && state.mcuX1 == mcuColumns && state.mcuY0 == 0);
  const bool runs = fast && (state.restartInterval == 0 || state.restartInterval >= kMinRunInterval);
  if (fast && (dcOnly != 0 || region)) PrepareSkipTables(state, state.mcuY1 * mcuColumns);
  uint32_t (*const run)(DecoderState&, uint32_t, void (*)(void*), void*) =
      dcOnly != 0 || region ? DecodeMcuRunDcOnly : DecodeMcuRun;
  // The MCU a run stopped before (a restart boundary after it, a marker
  // near, anything the run leaves to the caller) goes the one-MCU way
  // before the next run is tried, rather than being read by it again.
  bool tryRun = runs;
  for (uint32_t mcu = first; mcu < end; ++mcu) {
    if (tryRun && end - mcu > 1) {
      RunSink sink{state, paths, grid, mx, my, region, dcOnly, outside};
      if (region) state.dcOnlyBlocks = OutsideView(state, mx, my) ? outside : dcOnly;
      const uint32_t given = run(state, end - mcu, PixelStagesOfRun, &sink);
      state.dcOnlyBlocks = dcOnly;
      tryRun = false;
      if (given != 0) {
        mx = sink.mx;
        my = sink.my;
        mcu += given - 1;
        continue;
      }
    }
    tryRun = runs;
    bool decoded;
    const bool shown = !OutsideView(state, mx, my);
    if (outside != 0 && !shown) {
      state.dcOnlyBlocks = outside;
      decoded = DecodeMcuFastDcOnly(state);
      state.dcOnlyBlocks = dcOnly;
    } else {
      decoded = decodeMcu(state);
    }
    if (!decoded) {
      state.status = kZfBadData;
      state.failedMcu = mcu;
      return 0;
    }
    if (shown) PixelStages(state, paths, grid, mx, my);
    if (++mx == mcuColumns) {
      mx = 0;
      ++my;
    }
  }
  return 1;
}

void OutputDecodedMcus(DecoderState& state, const DecoderPaths& paths, const int16_t* blocks, uint32_t first,
                       uint32_t end) {
  const McuGrid grid(state);
  const size_t values = static_cast<size_t>(BlockCount(state)) * 64;
  const uint32_t mcuColumns = state.scanMcuColumns;
  uint32_t mx = first % mcuColumns;
  uint32_t my = first / mcuColumns;
  for (uint32_t mcu = first; mcu < end; ++mcu) {
    memcpy(state.blockBuffer, blocks + (mcu - first) * values, values * sizeof(int16_t));
    PixelStages(state, paths, grid, mx, my);
    if (++mx == mcuColumns) {
      mx = 0;
      ++my;
    }
  }
}

int OutputStoredMcus(DecoderState& state, const DecoderPaths& paths, uint32_t first, uint32_t end) {
  return OutputStoreRange(state, paths, first, end);
}

int RunMcuLoop(DecoderState& state) {
  DecoderPaths paths = state.paths != nullptr ? *state.paths : SelectedPaths();
  if (state.arithmetic) {
    paths.decodeMcu = DecodeMcuArithmetic;
    paths.usesFastAcTables = false;
  }
  BuildFastAcTables(state, paths);
  if (!OutputPicture(state, paths, DecodeMcuRange)) return 0;
  state.status = state.damaged ? kZfDamaged : kZfOk;
  return 1;
}

const uint8_t* ScanDataStart(const DecoderState& state, const uint8_t* scanHeader) {
  const size_t headerLength = static_cast<size_t>(ByteAt(state, scanHeader)) << 8 | ByteAt(state, scanHeader, 1);
  return headerLength < static_cast<size_t>(state.streamEnd - scanHeader) ? scanHeader + headerLength
                                                                          : state.streamEnd;
}

int SetUpScan(DecoderState& state, ScanWalk& walk) {
  walk.dataStart = ScanDataStart(state, walk.header);
  if (!StartScan(state, walk.header)) return 0;
  ++walk.scans;
  for (int j = 0; j < state.scanComponents; ++j)
    walk.coded[state.scanComponent[j]] |= state.scanComponents > 1 ? 2 : 1;
  if (state.progressive) TrackProgression(state);
  if (state.storeQuantised) LatchQuantTables(state);
  return 1;
}

int DecodeScan(DecoderState& state, const DecoderPaths& paths) {
  return state.arithmetic    ? DecodeArithmeticScan(state)
         : state.progressive ? DecodeProgressiveScan(state, paths.usesFastAcTables)
                             : DecodeScanToStore(state, paths);
}

int FindNextScan(DecoderState& state, ScanWalk& walk) {
  bool complete = true;
  for (int c = 0; c < state.componentCount; ++c) complete = complete && walk.coded[c] != 0;
  // In a sequential frame each component comes in one scan only: once
  // all have come, what follows is not examined, and a scan that would
  // code a component again ends the picture (so a stream of repeated
  // scans cannot make the decode do the picture's work over and over).
  // The next scan, if any: the data ends at its first marker other than
  // a restart. A stream that ends, or whose headers fail, before every
  // component has come is a damaged picture of what came; a progressive
  // picture is whole only at its EOI: any scan may be the last, and a
  // stream that stops without one was cut.
  if (complete && !state.progressive) return 0;
  // A progressive picture's scans each take a pass over the picture: past
  // kMaxScans (far more than any encoder writes) the picture ends there,
  // damaged, so that a small stream of many scans cannot make the decode
  // do the picture's work thousands of times.
  if (walk.scans >= kMaxScans) {
    walk.damaged = true;
    return 0;
  }
  bool endOfImage = false;
  const uint8_t* next = ScanDataEnd(state, walk.dataStart);
  const uint8_t* scanHeader = next < state.streamEnd ? WalkToScan(state, next, endOfImage) : nullptr;
  bool repeats = false;
  for (int j = 0; scanHeader != nullptr && !state.progressive && j < state.scanComponents; ++j)
    repeats = repeats || walk.coded[state.scanComponent[j]] != 0;
  if (scanHeader == nullptr || repeats) {
    if (!complete || repeats || (state.progressive && !endOfImage)) walk.damaged = true;
    return 0;
  }
  walk.header = scanHeader;
  return 1;
}

int RunStoredScans(DecoderState& state, const uint8_t* scanHeader) {
  DecoderPaths paths = state.paths != nullptr ? *state.paths : SelectedPaths();
  if (state.arithmetic) {
    paths.decodeMcu = DecodeMcuArithmetic;
    paths.usesFastAcTables = false;
  }
  ScanWalk walk{};
  walk.header = scanHeader;
  // The picture after each scan (progressive and arithmetic-coded frames):
  // from a store whose blocks no scan has reached yet are zero, in
  // whole-picture mode.
  const bool showScans = state.scanFunction != nullptr && state.storeQuantised && state.band == nullptr;
  state.severalScans = true;
  if (state.storeQuantised) {
    // Refinements add to what earlier scans left: every block starts at 0.
    memset(state.store, 0, static_cast<size_t>(FrameWorkBytes(state)));
    memset(state.coefficientBits, -1, sizeof state.coefficientBits);
    state.latched = 0;
    state.oddProgression = false;
  }
  int parallel = 0;
  if (!showScans && DecodeScansInParallel(state, paths, walk, parallel)) {
    if (!parallel) {
      state.severalScans = false;
      return 0;
    }
  } else {
    for (;;) {
      if (!SetUpScan(state, walk) || !DecodeScan(state, paths)) {
        state.severalScans = false;
        return 0;
      }
      walk.damaged = walk.damaged || state.damaged;
      if (!FindNextScan(state, walk)) break;
      if (showScans && !ShowScan(state, paths, walk.scans)) return 0;
    }
  }
  const uint8_t* coded = walk.coded;
  const bool damaged = walk.damaged;
  // Blocks no scan wrote: components that never came, and the grid's
  // padding beyond what a scan of one component codes (never visible, but
  // transformed with its MCU).
  for (int c = 0; c < state.componentCount && !state.storeQuantised; ++c) {
    const FrameComponent& component = state.frame[c];
    if (coded[c] & 2) continue;
    for (uint32_t row = 0; row < component.paddedHigh; ++row) {
      const uint32_t from = coded[c] != 0 && row < component.blocksHigh ? component.blocksWide : 0;
      if (from < component.paddedWide)
        memset(StoredBlock(state, c, from, row), 0, (component.paddedWide - from) * 64 * sizeof(int16_t));
    }
  }
  // The pixel stages run over the frame's MCU grid.
  state.scanMcuColumns = (state.width + 8u * state.hMax - 1) / (8u * state.hMax);
  state.scanMcuRows = (state.height + 8u * state.vMax - 1) / (8u * state.vMax);
  state.severalScans = false;
  // A component no scan coded holds zeros, whatever table it is given.
  if (!OutputPicture(state, paths, OutputStoreRange)) return 0;
  state.status = damaged || (state.storeQuantised && state.oddProgression) ? kZfDamaged : kZfOk;
  if (showScans && state.scanFunction(state.scanContext, walk.scans) != 0) {
    state.status = kZfStopped;
    return 0;
  }
  return 1;
}
