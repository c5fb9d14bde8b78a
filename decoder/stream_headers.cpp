// The header stage: the marker walk from SOI up to SOS, the frame header
// check, the table segments (read in place), the scan header check, and the
// scan set-up. Every check that refuses records its reason in state.status.
#include <string.h>

#include "decoder_state.h"

namespace {

uint32_t Read16(const DecoderState& state, const uint8_t* pos, size_t offset = 0) {
  return static_cast<uint32_t>(ByteAt(state, pos, offset)) << 8 | ByteAt(state, pos, offset + 1);
}

// Moves forward by n bytes, stopping at the end of the stream: every
// position from there on reads as 0x00, so nothing is lost by the stop.
const uint8_t* Advance(const DecoderState& state, const uint8_t* pos, size_t n) {
  const size_t left = static_cast<size_t>(state.streamEnd - pos);
  return n < left ? pos + n : state.streamEnd;
}

bool InsideStream(const DecoderState& state, const uint8_t* pos, size_t n) {
  return static_cast<size_t>(state.streamEnd - pos) >= n;
}

// A SOFn code: C0..CF but DHT (C4), JPG (C8) and DAC (CC).
bool IsFrameMarker(uint8_t code) {
  return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// What the frame header at `pos` (its length field) says, for ZfInfo.
void RecordFrameInfo(DecoderState& state, uint8_t code, const uint8_t* pos) {
  ZfInfo& info = state.info;
  info.frameMarker = code;
  info.precision = ByteAt(state, pos, 2);
  info.height = Read16(state, pos, 3);
  info.width = Read16(state, pos, 5);
  info.components = ByteAt(state, pos, 7);
  for (uint32_t i = 0; i < 4; ++i) {
    const size_t entry = 8 + 3 * static_cast<size_t>(i);
    const bool present = i < info.components;
    info.component[i].id = present ? ByteAt(state, pos, entry) : 0;
    info.component[i].sampling = present ? ByteAt(state, pos, entry + 1) : 0;
    info.component[i].quantTable = present ? ByteAt(state, pos, entry + 2) : 0;
  }
  info.samplingCode = info.components == 1 ? 0x11 : info.component[0].sampling;
}

// The reason a frame of another process is refused.
ZfStatus FrameKindStatus(uint8_t code) {
  if (code & 0x04) return kZfHierarchical;  // differential: C5-C7, CD-CF
  switch (code & 0x03) {
    case 2: return kZfProgressive;
    case 3: return kZfLossless;
    default: break;
  }
  return (code & 0x08) ? kZfArithmetic : kZfExtended;
}

// The frame headers the decoder takes: SOF0, and for the C API SOF1 too
// (8-bit extended sequential, Huffman-coded, differs from SOF0 only in
// allowing four tables of each kind, which the frame model has anyway),
// SOF2 (progressive, Huffman-coded), SOF9 and SOF10 (extended sequential
// and progressive, arithmetic-coded).
bool IsDecodedFrame(const DecoderState& state, uint8_t code) {
  return code == 0xC0 || (!state.partsProfile && (code == 0xC1 || code == 0xC2 || code == 0xC9 || code == 0xCA));
}

// The profile's checks of the components: component 1 is luma (any of the
// four samplings, table 0); 2 and 3 are chroma (1x1, table 1). A colour
// frame names each of 1, 2, 3 exactly once; a grey frame names component 1.
bool CheckProfileComponents(DecoderState& state, const uint8_t* pos, uint8_t count) {
  unsigned seen = 0;
  for (int i = 0; i < count; ++i) {
    const size_t entry = 8 + 3 * static_cast<size_t>(i);
    const uint8_t id = ByteAt(state, pos, entry);
    const uint8_t sampling = ByteAt(state, pos, entry + 1);
    const uint8_t table = ByteAt(state, pos, entry + 2);
    if (id == 1) {
      if (sampling != 0x22 && sampling != 0x21 && sampling != 0x11 && sampling != 0x12)
        return Refuse(state, kZfSampling);
      if (table != 0) return Refuse(state, kZfComponents);
    } else if ((id == 2 || id == 3) && count == 3) {
      if (sampling != 0x11) return Refuse(state, kZfSampling);
      if (table != 1) return Refuse(state, kZfComponents);
    } else {
      return Refuse(state, kZfComponents);
    }
    if (seen & (1u << id)) return Refuse(state, kZfComponents);
    seen |= 1u << id;
  }
  return true;
}

// The C API's checks: distinct identifiers, factors 1..4 in whole ratios to
// the largest (fractional ratios are refused, as peers refuse them), and
// quantisation table identifiers 0..3.
bool CheckComponents(DecoderState& state, const uint8_t* pos, uint8_t count) {
  uint8_t hMax = 1, vMax = 1;
  for (int i = 0; i < count; ++i) {
    const size_t entry = 8 + 3 * static_cast<size_t>(i);
    const uint8_t id = ByteAt(state, pos, entry);
    const uint8_t sampling = ByteAt(state, pos, entry + 1);
    const uint8_t h = sampling >> 4, v = sampling & 0x0F;
    for (int j = 0; j < i; ++j)
      if (ByteAt(state, pos, 8 + 3 * static_cast<size_t>(j)) == id) return Refuse(state, kZfComponents);
    if (h < 1 || h > kMaxSampling || v < 1 || v > kMaxSampling) return Refuse(state, kZfSampling);
    if (ByteAt(state, pos, entry + 2) >= kMaxTables) return Refuse(state, kZfTables);
    if (h > hMax) hMax = h;
    if (v > vMax) vMax = v;
  }
  for (int i = 0; i < count && count > 1; ++i) {
    const uint8_t sampling = ByteAt(state, pos, 8 + 3 * static_cast<size_t>(i) + 1);
    if (hMax % (sampling >> 4) != 0 || vMax % (sampling & 0x0F) != 0) return Refuse(state, kZfSampling);
  }
  return true;
}

// SOF0 (or SOF1), with `pos` at the length field: the checks, then the
// frame model (components, their sampling and block grids).
bool CheckFrameHeader(DecoderState& state, const uint8_t* pos) {
  // A frame header the stream cuts short says nothing about its fields.
  if (!InsideStream(state, pos, 8) || !InsideStream(state, pos, 8 + 3u * ByteAt(state, pos, 7)))
    return Refuse(state, kZfTruncated);
  if (ByteAt(state, pos, 2) != 8) return Refuse(state, kZfPrecision);
  const uint32_t lines = Read16(state, pos, 3);
  const uint32_t samplesPerLine = Read16(state, pos, 5);
  if (lines == 0 || samplesPerLine == 0) return Refuse(state, kZfZeroSize);
  state.height = lines;
  state.width = samplesPerLine;
  const uint8_t count = ByteAt(state, pos, 7);
  state.componentCount = count;
  if (count == 1) {
    state.markerFlags |= kFlagsTableOne;
  } else if (count != 3 && (state.partsProfile || count != 4)) {
    return Refuse(state, kZfComponentCount);
  }
  if (Read16(state, pos) != 3u * count + 8u) return Refuse(state, kZfMalformed);
  if (state.partsProfile ? !CheckProfileComponents(state, pos, count) : !CheckComponents(state, pos, count))
    return false;

  // A one-component scan is non-interleaved: one block per MCU whatever the
  // sampling byte says (T.81 A.2.2).
  state.hMax = state.vMax = 1;
  for (int i = 0; i < count; ++i) {
    FrameComponent& c = state.frame[i];
    const size_t entry = 8 + 3 * static_cast<size_t>(i);
    c.id = ByteAt(state, pos, entry);
    c.h = count == 1 ? 1 : ByteAt(state, pos, entry + 1) >> 4;
    c.v = count == 1 ? 1 : ByteAt(state, pos, entry + 1) & 0x0F;
    c.quantTable = ByteAt(state, pos, entry + 2);
    if (c.h > state.hMax) state.hMax = c.h;
    if (c.v > state.vMax) state.vMax = c.v;
  }
  state.samplingCode = static_cast<uint32_t>(state.hMax) << 4 | state.vMax;
  const uint32_t mcuColumns = (state.width + 8u * state.hMax - 1) / (8u * state.hMax);
  const uint32_t mcuRows = (state.height + 8u * state.vMax - 1) / (8u * state.vMax);
  uint8_t firstBlock = 0;
  uint64_t storeBlock = 0;
  for (int i = 0; i < count; ++i) {
    FrameComponent& c = state.frame[i];
    const uint32_t samplesWide = (state.width * c.h + state.hMax - 1) / state.hMax;
    const uint32_t samplesHigh = (state.height * c.v + state.vMax - 1) / state.vMax;
    c.blocksWide = (samplesWide + 7) / 8;
    c.blocksHigh = (samplesHigh + 7) / 8;
    c.paddedWide = mcuColumns * c.h;
    c.paddedHigh = mcuRows * c.v;
    c.firstBlock = firstBlock;
    firstBlock = static_cast<uint8_t>(firstBlock + c.h * c.v);
    state.storeBlock[i] = storeBlock;
    storeBlock += static_cast<uint64_t>(c.paddedWide) * c.paddedHigh;
  }
  state.frameBlockCount = firstBlock;
  return true;
}

// How the components make colours, as peers read the segments: JFIF means
// YCbCr; else an Adobe segment's transform (3 components: 0 RGB, else
// YCbCr; 4: 0 CMYK, else YCCK); else identifiers 'R', 'G', 'B' mean RGB.
// The profile takes every three-component frame as YCbCr.
ColorKind FrameColorKind(const DecoderState& state) {
  const int count = state.componentCount;
  if (count == 1) return kColorGrey;
  if (count == 4) return state.sawAdobe && state.adobeTransform != 0 ? kColorYcck : kColorCmyk;
  if (state.partsProfile || state.sawJfif) return kColorYcc;
  if (state.sawAdobe) return state.adobeTransform == 0 ? kColorRgb : kColorYcc;
  const FrameComponent* c = state.frame;
  return c[0].id == 'R' && c[1].id == 'G' && c[2].id == 'B' ? kColorRgb : kColorYcc;
}

// Once the first scan comes: the colours, whether the output kernels take
// the layout, and what the general output stage reads.
void FinishFrame(DecoderState& state) {
  state.colorKind = FrameColorKind(state);
  const FrameComponent* c = state.frame;
  const bool chroma11 = state.componentCount == 3 && c[1].h == 1 && c[1].v == 1 && c[2].h == 1 && c[2].v == 1;
  state.kernelLayout = state.colorKind == kColorGrey ||
                       (state.colorKind == kColorYcc && chroma11 && (c[0].h == 1 || c[0].h == 2 || c[0].h == 4) &&
                        c[0].v <= 2);
  const bool centredChroma = state.colorKind == kColorYcc || state.colorKind == kColorYcck;
  for (int i = 0; i < state.componentCount; ++i) {
    FrameComponent& component = state.frame[i];
    component.levelShift = !(centredChroma && (i == 1 || i == 2));
    for (int x = 0; x < 8 * state.hMax; ++x) {
      const int sx = x * component.h / state.hMax;
      state.sampleColumn[i][x] = static_cast<uint16_t>((sx >> 3) * 64 + (sx & 7));
    }
    for (int y = 0; y < 8 * state.vMax; ++y) {
      const int sy = y * component.v / state.vMax;
      state.sampleRow[i][y] = static_cast<uint16_t>((sy >> 3) * component.h * 64 + (sy & 7) * 8);
    }
  }
  state.info.colorSpace = static_cast<uint32_t>(state.colorKind == kColorGrey ? kZfColorGrey
                                                : state.colorKind == kColorYcc ? kZfColorYCbCr
                                                : state.colorKind == kColorRgb ? kZfColorRgb
                                                : state.colorKind == kColorCmyk ? kZfColorCmyk
                                                                                : kZfColorYcck);
}

// A Huffman table in the stream must be whole and a valid canonical code:
// its symbols inside the stream, at most 256 of them, and no code length
// holding more codes than its code space leaves.
bool CheckHuffmanSpec(DecoderState& state, const HuffmanSpec* spec) {
  if (!InsideStream(state, spec, kSpecSymbols)) return Refuse(state, kZfTruncated);
  uint32_t total = 0;
  uint32_t firstCode = 0;
  for (int length = 1; length <= 16; ++length) {
    const uint32_t count = spec[length];
    if (firstCode + count > (1u << length)) return Refuse(state, kZfBadHuffmanTable);
    firstCode = (firstCode + count) * 2;
    total += count;
  }
  if (total > 256) return Refuse(state, kZfBadHuffmanTable);
  if (!InsideStream(state, spec, kSpecSymbols + total)) return Refuse(state, kZfTruncated);
  return true;
}

int SymbolCount(const HuffmanSpec* spec) {
  int total = 0;
  for (int length = 1; length <= 16; ++length) total += spec[length];
  return total;
}

// DHT, with `pos` just past the length field. Returns the position after
// the segment's tables, or null on a bad table. The profile takes
// identifiers 0 and 1 and no redefinition; the C API identifiers 0 to 3, a
// later definition replacing an earlier one (as between scans).
const uint8_t* ReadHuffmanTables(DecoderState& state, const uint8_t* pos) {
  for (;;) {
    if (!InsideStream(state, pos, 1)) return Refuse(state, kZfTruncated), nullptr;
    const uint8_t classAndId = ByteAt(state, pos);
    const bool isAc = (classAndId & 0x10) != 0;
    const int id = classAndId & 0x0F;
    if (id > (state.partsProfile ? 1 : kMaxTables - 1) || (!state.partsProfile && (classAndId & 0xE0) != 0))
      return Refuse(state, kZfTables), nullptr;
    const HuffmanSpec** slot = isAc ? &state.acTable[id] : &state.dcTable[id];
    if (*slot != nullptr && state.partsProfile) return Refuse(state, kZfTableRedefined), nullptr;
    if (!CheckHuffmanSpec(state, pos)) return nullptr;
    *slot = pos;
    if (id < 2) state.markerFlags |= static_cast<uint8_t>((isAc ? kFlagAc0 : kFlagDc0) << id);
    pos += kSpecSymbols + SymbolCount(pos);
    if (ByteAt(state, pos) == 0xFF) return pos;
  }
}

// DQT, with `pos` just past the length field. The profile takes 8-bit
// tables 0 and 1, defined once; the C API 8- or 16-bit tables 0 to 3.
const uint8_t* ReadQuantTables(DecoderState& state, const uint8_t* pos) {
  for (;;) {
    if (!InsideStream(state, pos, 1)) return Refuse(state, kZfTruncated), nullptr;
    const uint8_t precisionAndId = ByteAt(state, pos);
    const int id = precisionAndId & 0x0F;
    const int wide = precisionAndId >> 4;
    if (state.partsProfile ? precisionAndId > 1 : (wide > 1 || id >= kMaxTables))
      return Refuse(state, kZfTables), nullptr;
    if ((state.quantDefined & (1u << id)) && state.partsProfile) return Refuse(state, kZfTableRedefined), nullptr;
    const size_t bytes = wide ? 128 : 64;
    if (!InsideStream(state, pos, 1 + bytes)) return Refuse(state, kZfTruncated), nullptr;
    for (int k = 0; k < 64; ++k)
      state.quantTable[id][k] = wide ? static_cast<uint16_t>(Read16(state, pos, 1 + 2 * static_cast<size_t>(k)))
                                     : ByteAt(state, pos, 1 + static_cast<size_t>(k));
    state.quantDefined = static_cast<uint8_t>(state.quantDefined | 1u << id);
    if (id < 2) state.markerFlags |= static_cast<uint8_t>(kFlagQuant0 << id);
    pos += 1 + bytes;
    if (ByteAt(state, pos) == 0xFF) return pos;
  }
}

// The table set of scan component `slot`: its tables, or the set of an
// earlier component with the same ones.
void SetScanTables(DecoderState& state, int slot, const HuffmanSpec* dc, const HuffmanSpec* ac,
                   const uint16_t* quant) {
  state.dcSpec[slot] = dc;
  state.acSpec[slot] = ac;
  state.quant[slot] = quant;
}

uint8_t TableSet(const DecoderState& state, int slot) {
  for (int j = 0; j < slot; ++j) {
    if (state.dcSpec[j] == state.dcSpec[slot] && state.acSpec[j] == state.acSpec[slot] &&
        state.quant[j] == state.quant[slot])
      return static_cast<uint8_t>(j);
  }
  return static_cast<uint8_t>(slot);
}

// The scan's MCU: its components' blocks in order, each with its table set
// and predictor, and the MCU grid (a one-component scan codes the
// component's own blocks, T.81 A.2.2).
void LayOutScan(DecoderState& state) {
  int b = 0;
  for (int j = 0; j < state.scanComponents; ++j) {
    const FrameComponent& c = state.frame[state.scanComponent[j]];
    const int blocks = state.scanComponents == 1 && state.componentCount != 1 ? 1 : c.h * c.v;
    const uint8_t set = TableSet(state, j);
    for (int i = 0; i < blocks; ++i, ++b) {
      state.blockSet[b] = set;
      state.blockPredictor[b] = static_cast<uint8_t>(j);
    }
  }
  state.blockCount = static_cast<uint8_t>(b);
  if (state.scanComponents == 1) {
    const FrameComponent& c = state.frame[state.scanComponent[0]];
    state.scanMcuColumns = c.blocksWide;
    state.scanMcuRows = c.blocksHigh;
  } else {
    state.scanMcuColumns = (state.width + 8u * state.hMax - 1) / (8u * state.hMax);
    state.scanMcuRows = (state.height + 8u * state.vMax - 1) / (8u * state.vMax);
  }
}

// SOS in the profile, with `pos` at the length field: the scan header
// against the frame. Selectors are not read: component 1 uses the tables
// 0, the chroma components the tables 1.
bool CheckProfileScan(DecoderState& state, const uint8_t* pos) {
  if (state.markerFlags < kFlagsScanReady) {
    if (state.markerFlags & kFlagFrame) return Refuse(state, kZfMissingTables);
    if (state.otherFrameMarker != 0) return Refuse(state, FrameKindStatus(state.otherFrameMarker));
    return Refuse(state, state.hierarchicalSeen ? kZfHierarchical : kZfNoFrame);
  }
  const uint32_t length = Read16(state, pos);
  const uint32_t scanComponents = ByteAt(state, pos, 2);
  if (length != (state.componentCount == 3 ? 12u : 8u) || scanComponents != state.componentCount) {
    if (!InsideStream(state, pos, 3)) return Refuse(state, kZfTruncated);
    return Refuse(state, scanComponents < state.componentCount ? kZfSeveralScans : kZfMalformed);
  }
  state.scanComponents = state.componentCount;
  for (int j = 0; j < state.componentCount; ++j) {
    state.scanComponent[j] = static_cast<uint8_t>(j);
    const int t = j == 0 ? 0 : 1;
    SetScanTables(state, j, state.dcTable[t], state.acTable[t], state.quantTable[t]);
  }
  LayOutScan(state);
  return true;
}

// The spectral selection and successive approximation of a progressive
// scan (T.81 G.1.1.1.1): a DC scan (Ss = Se = 0) of any components, or an AC
// band Ss..Se within 1..63 of one component; a refinement (Ah > 0) one bit
// below the last (Al = Ah - 1); Al at most 13. A sequential scan codes
// 0..63 at full precision whatever the fields say (peers ignore them too).
bool CheckSpectralFields(DecoderState& state, const uint8_t* pos, uint32_t count) {
  state.spectralStart = 0;
  state.spectralEnd = 63;
  state.approxHigh = state.approxLow = 0;
  if (!state.progressive) return true;
  const uint8_t ss = ByteAt(state, pos, 3 + 2 * count);
  const uint8_t se = ByteAt(state, pos, 4 + 2 * count);
  const uint8_t ah = ByteAt(state, pos, 5 + 2 * count) >> 4;
  const uint8_t al = ByteAt(state, pos, 5 + 2 * count) & 0x0F;
  const bool band = ss == 0 ? se != 0 : (se < ss || se > 63 || count != 1);
  if (band || (ah != 0 && al + 1 != ah) || al > 13) return Refuse(state, kZfMalformed);
  state.spectralStart = ss;
  state.spectralEnd = se;
  state.approxHigh = ah;
  state.approxLow = al;
  return true;
}

// SOS in the C API: one to four components of the frame, in frame order,
// each with the tables its scan reads; an interleaved MCU of at most 10
// blocks.
bool CheckScan(DecoderState& state, const uint8_t* pos) {
  if (!(state.markerFlags & kFlagFrame)) {
    if (state.otherFrameMarker != 0) return Refuse(state, FrameKindStatus(state.otherFrameMarker));
    return Refuse(state, state.hierarchicalSeen ? kZfHierarchical : kZfNoFrame);
  }
  if (!InsideStream(state, pos, 3)) return Refuse(state, kZfTruncated);
  const uint32_t length = Read16(state, pos);
  const uint32_t count = ByteAt(state, pos, 2);
  if (count < 1 || count > state.componentCount || length != 6 + 2 * count) return Refuse(state, kZfMalformed);
  if (!InsideStream(state, pos, length)) return Refuse(state, kZfTruncated);
  if (!CheckSpectralFields(state, pos, count)) return false;
  // The Huffman tables a scan reads: both in a sequential scan; in a
  // progressive one the DC table in a first DC scan, the AC table in an AC
  // scan, none in a DC refinement.
  // An arithmetic-coded scan reads none (its table identifiers choose
  // conditioning and statistics, which always exist).
  const bool needDc = !state.arithmetic && (!state.progressive || (state.spectralStart == 0 && state.approxHigh == 0));
  const bool needAc = !state.arithmetic && (!state.progressive || state.spectralStart != 0);
  int previous = -1;
  int blocks = 0;
  for (uint32_t j = 0; j < count; ++j) {
    const uint8_t id = ByteAt(state, pos, 3 + 2 * j);
    const uint8_t tables = ByteAt(state, pos, 4 + 2 * j);
    int index = 0;
    while (index < state.componentCount && state.frame[index].id != id) ++index;
    if (index == state.componentCount || index <= previous) return Refuse(state, kZfComponents);
    previous = index;
    const int dc = tables >> 4, ac = tables & 0x0F;
    if (dc >= kMaxTables || ac >= kMaxTables) return Refuse(state, kZfTables);
    const FrameComponent& c = state.frame[index];
    if ((needDc && state.dcTable[dc] == nullptr) || (needAc && state.acTable[ac] == nullptr) ||
        !(state.quantDefined & (1u << c.quantTable)))
      return Refuse(state, kZfMissingTables);
    blocks += c.h * c.v;
    state.scanComponent[j] = static_cast<uint8_t>(index);
    state.scanDcTable[j] = static_cast<uint8_t>(dc);
    state.scanAcTable[j] = static_cast<uint8_t>(ac);
    SetScanTables(state, static_cast<int>(j), needDc ? state.dcTable[dc] : nullptr,
                  needAc ? state.acTable[ac] : nullptr, state.quantTable[c.quantTable]);
  }
  if (count > 1 && blocks > kMaxMcuBlocks) return Refuse(state, kZfSampling);
  state.scanComponents = static_cast<uint8_t>(count);
  LayOutScan(state);
  return true;
}

// The whole-picture memory of a frame in several scans, in bytes.
uint64_t WorkBytes(const DecoderState& state) {
  uint64_t blocks = 0;
  for (int i = 0; i < state.componentCount; ++i)
    blocks += static_cast<uint64_t>(state.frame[i].paddedWide) * state.frame[i].paddedHigh;
  return blocks * 64 * sizeof(int16_t);
}

// DAC, with `pos` at the length field: for each table, Tc Tb and its
// conditioning: DC tables L (low nibble) and U, L <= U <= 15; AC tables
// Kx, 1..63 (T.81 B.2.4.3). Tables not named keep theirs (0, 1 and 5 by
// default).
bool ReadConditioning(DecoderState& state, const uint8_t* pos) {
  const uint32_t length = Read16(state, pos);
  if (length < 2 || (length - 2) % 2 != 0) return Refuse(state, kZfMalformed);
  if (!InsideStream(state, pos, length)) return Refuse(state, kZfTruncated);
  for (uint32_t i = 2; i < length; i += 2) {
    const uint8_t classAndId = ByteAt(state, pos, i);
    const uint8_t value = ByteAt(state, pos, i + 1);
    const int id = classAndId & 0x0F;
    if (id >= kMaxTables || (classAndId >> 4) > 1) return Refuse(state, kZfTables);
    if (classAndId >> 4) {
      if (value < 1 || value > 63) return Refuse(state, kZfMalformed);
      state.acSplit[id] = value;
    } else {
      if ((value & 0x0F) > (value >> 4)) return Refuse(state, kZfMalformed);
      state.dcLower[id] = value & 0x0F;
      state.dcUpper[id] = value >> 4;
    }
  }
  return true;
}

// Codes that stand alone, with no length field after them.
bool IsStandaloneMarker(uint8_t code) {
  return code == 0x01 || (code >= 0xD0 && code <= 0xD8);
}

bool HasIdentifier(const DecoderState& state, const uint8_t* pos, const char* id, size_t idLength,
                   uint32_t minLength) {
  if (Read16(state, pos) < minLength || !InsideStream(state, pos, 2 + idLength)) return false;
  for (size_t i = 0; i < idLength; ++i)
    if (pos[2 + i] != static_cast<uint8_t>(id[i])) return false;
  return true;
}

}  // namespace

void BuildConstantTables(DecoderState& state) {
  if (state.colorTables.crToR[1] != 91881) BuildColorTables(state.colorTables);
  if (state.cosineTable[0] != 23170) BuildCosineTable(state.cosineTable);
}

const uint8_t* ReadHeaders(DecoderState& state, const uint8_t* stream, size_t size) {
  state.status = kZfOk;
  state.failedMcu = 0;
  state.info = ZfInfo{};
  state.otherFrameMarker = 0;
  state.hierarchicalSeen = false;
  // An empty stream may come as a null pointer: it is no JPEG.
  if (stream == nullptr) return Refuse(state, size == 0 ? kZfNotJpeg : kZfBadArgument), nullptr;
  state.inputPos = stream;
  state.streamEnd = stream + size;
  for (int t = 0; t < kMaxTables; ++t) state.dcTable[t] = state.acTable[t] = nullptr;
  state.quantDefined = 0;
  for (int16_t& p : state.dcPredictor) p = 0;
  state.restartInterval = 0;
  state.sawJfif = false;
  state.sawAdobe = false;
  state.adobeTransform = 0;
  state.sawExif = false;
  memset(state.iccData, 0, sizeof state.iccData);
  state.iccDeclared = 0;
  state.iccBad = false;
  state.componentCount = 0;
  state.progressive = state.arithmetic = state.storeQuantised = false;
  for (int t = 0; t < kMaxTables; ++t) {
    state.dcLower[t] = 0;
    state.dcUpper[t] = 1;
    state.acSplit[t] = 5;
  }

  const uint8_t* pos = stream;
  if (ByteAt(state, pos) != 0xFF || ByteAt(state, pos, 1) != 0xD8) return Refuse(state, kZfNotJpeg), nullptr;
  state.markerFlags = 0;
  bool endOfImage = false;
  const uint8_t* scan = WalkToScan(state, Advance(state, pos, 2), endOfImage);
  if (scan == nullptr && endOfImage) Refuse(state, kZfTruncated);
  return scan;
}

const uint8_t* WalkToScan(DecoderState& state, const uint8_t* pos, bool& endOfImage) {
  const bool firstScan = !(state.markerFlags & kFlagFrame) || state.scanComponents == 0;
  endOfImage = false;
  for (;;) {
    if (ByteAt(state, pos) != 0xFF) {
      return Refuse(state, InsideStream(state, pos, 1) ? kZfMalformed : kZfTruncated), nullptr;
    }
    pos = Advance(state, pos, 1);
    while (ByteAt(state, pos) == 0xFF) pos = Advance(state, pos, 1);  // fill bytes
    const uint8_t code = ByteAt(state, pos);
    pos = Advance(state, pos, 1);  // now at the length field, if any
    if (IsStandaloneMarker(code)) continue;
    if (code == kMarkerEoi) {
      endOfImage = true;
      return nullptr;
    }
    if (!InsideStream(state, pos, 2)) return Refuse(state, kZfTruncated), nullptr;  // no whole length field

    if (IsDecodedFrame(state, code)) {
      if (state.markerFlags & kFlagFrame) return Refuse(state, kZfSecondFrame), nullptr;
      RecordFrameInfo(state, code, pos);
      state.progressive = code == 0xC2 || code == 0xCA;
      state.arithmetic = code == 0xC9 || code == 0xCA;
      state.storeQuantised = state.progressive || state.arithmetic;
      if (!CheckFrameHeader(state, pos)) return nullptr;
      state.markerFlags |= kFlagFrame;
      state.scanComponents = 0;
      state.info.samplingCode = state.samplingCode;
      pos = Advance(state, pos, Read16(state, pos));
      continue;
    }
    switch (code) {
      case 0xE0:  // APP0: JFIF says the components are YCbCr
        if ((state.markerFlags & kFlagApp0) && state.partsProfile) return Refuse(state, kZfSecondApp0), nullptr;
        state.markerFlags |= kFlagApp0;
        if (HasIdentifier(state, pos, "JFIF", 5, 16)) state.sawJfif = true;
        break;
      case 0xEE:  // APP14: an Adobe segment's colour transform
        if (HasIdentifier(state, pos, "Adobe", 5, 14)) {
          state.sawAdobe = true;
          state.adobeTransform = ByteAt(state, pos, 13);
        }
        break;
      case 0xE1:  // APP1: the first Exif segment's orientation
        if (firstScan && !state.sawExif && HasIdentifier(state, pos, "Exif\0", 6, 8)) {
          state.sawExif = true;
          state.info.orientation = ExifOrientation(pos, static_cast<size_t>(state.streamEnd - pos));
        }
        break;
      case 0xE2:  // APP2: a chunk of an ICC profile, gathered when it is asked for
        if (firstScan) RecordIccChunk(state, pos, static_cast<size_t>(state.streamEnd - pos));
        break;
      case 0xC4:  // DHT: the length is not used; tables run until a 0xFF
        pos = ReadHuffmanTables(state, Advance(state, pos, 2));
        if (pos == nullptr) return nullptr;
        continue;
      case 0xDB:  // DQT: likewise
        pos = ReadQuantTables(state, Advance(state, pos, 2));
        if (pos == nullptr) return nullptr;
        continue;
      case 0xCC:  // DAC: arithmetic conditioning
        if (!state.partsProfile && !ReadConditioning(state, pos)) return nullptr;
        break;
      case 0xDD:  // DRI: the restart interval, in MCUs
        state.restartInterval = Read16(state, pos, 2);
        if (firstScan) state.info.restartInterval = state.restartInterval;
        break;
      case 0xDE:  // DHP: a hierarchical stream; skipped like any other segment
        state.hierarchicalSeen = true;
        break;
      case 0xDA:  // SOS
        if (state.partsProfile ? !CheckProfileScan(state, pos) : !CheckScan(state, pos)) return nullptr;
        if (firstScan) {
          FinishFrame(state);
          state.info.scanComponents = state.scanComponents;
          const bool store = state.progressive || state.scanComponents < state.componentCount;
          state.info.workBytes = store ? WorkBytes(state) : 0;
        }
        return pos;
      default:  // other APPn, COM, and the SOFn codes the decoder does not take
        if (IsFrameMarker(code) && (state.markerFlags & kFlagFrame)) {
          if (!state.partsProfile) return Refuse(state, kZfSecondFrame), nullptr;
        }
        if (IsFrameMarker(code) && state.otherFrameMarker == 0) {
          state.otherFrameMarker = code;
          if (state.info.frameMarker == 0) RecordFrameInfo(state, code, pos);
        }
        break;
    }
    pos = Advance(state, pos, Read16(state, pos));
  }
}

uint64_t FrameWorkBytes(const DecoderState& state) { return WorkBytes(state); }

void SetFrameForTests(DecoderState& state, int count, const uint8_t* ids, const uint8_t* samplings) {
  state.componentCount = static_cast<uint8_t>(count);
  state.hMax = state.vMax = 1;
  uint8_t first = 0;
  for (int i = 0; i < count; ++i) {
    FrameComponent& c = state.frame[i];
    c.id = ids[i];
    c.h = static_cast<uint8_t>(samplings[i] >> 4);
    c.v = static_cast<uint8_t>(samplings[i] & 0x0F);
    c.firstBlock = first;
    first = static_cast<uint8_t>(first + c.h * c.v);
    if (c.h > state.hMax) state.hMax = c.h;
    if (c.v > state.vMax) state.vMax = c.v;
  }
  state.frameBlockCount = first;
  state.samplingCode = static_cast<uint32_t>(state.hMax) << 4 | state.vMax;
  FinishFrame(state);
}

void SetKernelLayout(DecoderState& state) {
  const int count = state.componentCount == 3 ? 3 : 1;
  state.hMax = static_cast<uint8_t>(state.samplingCode >> 4);
  state.vMax = static_cast<uint8_t>(state.samplingCode & 0x0F);
  uint8_t first = 0;
  for (int i = 0; i < count; ++i) {
    FrameComponent& c = state.frame[i];
    c.h = i == 0 ? state.hMax : 1;
    c.v = i == 0 ? state.vMax : 1;
    c.firstBlock = first;
    first = static_cast<uint8_t>(first + c.h * c.v);
    state.scanComponent[i] = static_cast<uint8_t>(i);
  }
  state.frameBlockCount = first;
  state.scanComponents = static_cast<uint8_t>(count);
  for (int j = 0; j < count; ++j) {
    const int t = j == 0 ? 0 : 1;
    state.dcSpec[j] = state.dcSpec[t];
    state.acSpec[j] = state.acSpec[t];
    state.quant[j] = state.quant[t];
  }
  LayOutScan(state);
  FinishFrame(state);
}

int StartScan(DecoderState& state, const uint8_t* pos) {
  state.inputPos = Advance(state, pos, Read16(state, pos));
  state.marker = 0;
  state.fakeBits = 0;
  state.dataEnded = false;
  state.damaged = false;
  state.mcuNumber = 0;
  state.eobRun = 0;
  state.byteFFFrom = nullptr;
  state.byteFF = nullptr;
  state.zeroBits.haveBlocks = false;
  state.zeroBits.entryCount = 0;
  state.zeroBits.nextEntry = 0;
  state.zeroBits.replayed = 0;
  for (int16_t& p : state.dcPredictor) p = 0;
  // The arithmetic decoder loads its own bytes.
  if (!state.arithmetic && !LoadBitBuffer(state)) return Refuse(state, kZfBadData), 0;

  for (int j = 0; j < state.scanComponents; ++j) {
    if (TableSet(state, j) != j) continue;
    // A progressive scan reads one kind of table or none.
    if (state.dcSpec[j] != nullptr) {
      BuildFastTable(state.dcSpec[j], state.fastDc[j]);
      BuildCodeLimits(state.dcSpec[j], state.limitsDc[j]);
    }
    if (state.acSpec[j] != nullptr) {
      BuildFastTable(state.acSpec[j], state.fastAc[j]);
      BuildCodeLimits(state.acSpec[j], state.limitsAc[j]);
    }
  }
  state.mcuTotal = state.scanMcuColumns * state.scanMcuRows;
  return 1;
}
