// The header stage: the marker walk from SOI up to SOS, the frame header
// check, the table segments (read in place), the scan header check, and the
// scan set-up. Every check that refuses records its reason in state.status.
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

// SOF0, with `pos` at the length field. Fills componentCount, samplingCode
// and the frame size.
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
  } else if (count != 3) {
    return Refuse(state, kZfComponentCount);
  }
  if (Read16(state, pos) != 3u * count + 8u) return Refuse(state, kZfMalformed);

  // Component 1 is luma (any of the four samplings, table 0); 2 and 3 are
  // chroma (1x1, table 1). A colour frame names each of 1, 2, 3 exactly once;
  // a grey frame names component 1.
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
      state.samplingCode = sampling;
    } else if ((id == 2 || id == 3) && count == 3) {
      if (sampling != 0x11) return Refuse(state, kZfSampling);
      if (table != 1) return Refuse(state, kZfComponents);
    } else {
      return Refuse(state, kZfComponents);
    }
    if (seen & (1u << id)) return Refuse(state, kZfComponents);
    seen |= 1u << id;
  }
  // A one-component scan is non-interleaved: one block per MCU whatever the
  // sampling byte says (T.81 A.2.2).
  if (count == 1) state.samplingCode = 0x11;
  return true;
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
// the segment's tables, or null on a bad table.
const uint8_t* ReadHuffmanTables(DecoderState& state, const uint8_t* pos) {
  for (;;) {
    if (!InsideStream(state, pos, 1)) return Refuse(state, kZfTruncated), nullptr;
    const uint8_t classAndId = ByteAt(state, pos);
    const bool isAc = (classAndId & 0x10) != 0;
    const int id = classAndId & 0x0F;
    if (id > 1) return Refuse(state, kZfTables), nullptr;
    const HuffmanSpec** slot = isAc ? &state.acSpec[id] : &state.dcSpec[id];
    if (*slot != nullptr) return Refuse(state, kZfTableRedefined), nullptr;
    if (!CheckHuffmanSpec(state, pos)) return nullptr;
    *slot = pos;
    state.markerFlags |= static_cast<uint8_t>((isAc ? kFlagAc0 : kFlagDc0) << id);
    pos += kSpecSymbols + SymbolCount(pos);
    if (ByteAt(state, pos) == 0xFF) return pos;
  }
}

// DQT, with `pos` just past the length field. 8-bit tables only.
const uint8_t* ReadQuantTables(DecoderState& state, const uint8_t* pos) {
  for (;;) {
    if (!InsideStream(state, pos, 1)) return Refuse(state, kZfTruncated), nullptr;
    const uint8_t precisionAndId = ByteAt(state, pos);
    if (precisionAndId > 1) return Refuse(state, kZfTables), nullptr;
    if (state.quant[precisionAndId] != nullptr) return Refuse(state, kZfTableRedefined), nullptr;
    if (!InsideStream(state, pos, 65)) return Refuse(state, kZfTruncated), nullptr;
    state.quant[precisionAndId] = pos + 1;
    state.markerFlags |= static_cast<uint8_t>(kFlagQuant0 << precisionAndId);
    pos += 65;
    if (ByteAt(state, pos) == 0xFF) return pos;
  }
}

// SOS, with `pos` at the length field: the scan header against the frame.
bool CheckScanHeader(DecoderState& state, const uint8_t* pos) {
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
  return true;
}

// Codes that stand alone, with no length field after them.
bool IsStandaloneMarker(uint8_t code) {
  return code == 0x01 || (code >= 0xD0 && code <= 0xD8);
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
  state.dcSpec[0] = state.dcSpec[1] = nullptr;
  state.acSpec[0] = state.acSpec[1] = nullptr;
  state.quant[0] = state.quant[1] = nullptr;
  state.dcPredictor[0] = state.dcPredictor[1] = state.dcPredictor[2] = 0;
  state.restartInterval = 0;

  const uint8_t* pos = stream;
  if (ByteAt(state, pos) != 0xFF || ByteAt(state, pos, 1) != 0xD8) return Refuse(state, kZfNotJpeg), nullptr;
  state.markerFlags = 0;
  pos = Advance(state, pos, 2);

  for (;;) {
    if (ByteAt(state, pos) != 0xFF) {
      return Refuse(state, InsideStream(state, pos, 1) ? kZfMalformed : kZfTruncated), nullptr;
    }
    pos = Advance(state, pos, 1);
    while (ByteAt(state, pos) == 0xFF) pos = Advance(state, pos, 1);  // fill bytes
    const uint8_t code = ByteAt(state, pos);
    pos = Advance(state, pos, 1);  // now at the length field, if any
    if (IsStandaloneMarker(code)) continue;
    if (code == kMarkerEoi) return Refuse(state, kZfTruncated), nullptr;
    if (!InsideStream(state, pos, 2)) return Refuse(state, kZfTruncated), nullptr;  // no whole length field

    switch (code) {
      case 0xE0:  // APP0: its contents are not examined
        if (state.markerFlags & kFlagApp0) return Refuse(state, kZfSecondApp0), nullptr;
        state.markerFlags |= kFlagApp0;
        break;
      case 0xC0:  // SOF0
        if (state.markerFlags & kFlagFrame) return Refuse(state, kZfSecondFrame), nullptr;
        RecordFrameInfo(state, code, pos);
        if (!CheckFrameHeader(state, pos)) return nullptr;
        state.markerFlags |= kFlagFrame;
        state.info.samplingCode = state.samplingCode;
        break;
      case 0xC4:  // DHT: the length is not used; tables run until a 0xFF
        pos = ReadHuffmanTables(state, Advance(state, pos, 2));
        if (pos == nullptr) return nullptr;
        continue;
      case 0xDB:  // DQT: likewise
        pos = ReadQuantTables(state, Advance(state, pos, 2));
        if (pos == nullptr) return nullptr;
        continue;
      case 0xDD:  // DRI: the restart interval, in MCUs
        state.restartInterval = Read16(state, pos, 2);
        state.info.restartInterval = state.restartInterval;
        break;
      case 0xDE:  // DHP: a hierarchical stream; skipped like any other segment
        state.hierarchicalSeen = true;
        break;
      case 0xDA:  // SOS
        if (!CheckScanHeader(state, pos)) return nullptr;
        return pos;
      default:  // other APPn, COM, and the SOFn codes outside the profile
        if (IsFrameMarker(code) && state.otherFrameMarker == 0) {
          state.otherFrameMarker = code;
          if (state.info.frameMarker == 0) RecordFrameInfo(state, code, pos);
        }
        break;
    }
    pos = Advance(state, pos, Read16(state, pos));
  }
}

int StartScan(DecoderState& state, const uint8_t* pos) {
  // Component and table selectors are not read: component 1 always uses the
  // tables 0, the chroma components the tables 1.
  state.inputPos = Advance(state, pos, Read16(state, pos));
  state.marker = 0;
  state.fakeBits = 0;
  state.dataEnded = false;
  state.damaged = false;
  state.mcuNumber = 0;
  state.byteFFFrom = nullptr;
  state.byteFF = nullptr;
  state.zeroBits.haveBlocks = false;
  state.zeroBits.entryCount = 0;
  state.zeroBits.nextEntry = 0;
  state.zeroBits.replayed = 0;
  if (!LoadBitBuffer(state)) return Refuse(state, kZfBadData), 0;

  BuildFastTable(state.dcSpec[0], state.fastDc[0]);
  BuildFastTable(state.acSpec[0], state.fastAc[0]);
  BuildCodeLimits(state.dcSpec[0], state.limitsDc[0]);
  BuildCodeLimits(state.acSpec[0], state.limitsAc[0]);
  if (state.componentCount == 3) {
    BuildFastTable(state.dcSpec[1], state.fastDc[1]);
    BuildFastTable(state.acSpec[1], state.fastAc[1]);
    BuildCodeLimits(state.dcSpec[1], state.limitsDc[1]);
    BuildCodeLimits(state.acSpec[1], state.limitsAc[1]);
  }

  const uint32_t mcuWidth = static_cast<uint32_t>(McuWidth(state.samplingCode));
  const uint32_t mcuHeight = static_cast<uint32_t>(McuHeight(state.samplingCode));
  state.mcuTotal = ((state.width + mcuWidth - 1) / mcuWidth) * ((state.height + mcuHeight - 1) / mcuHeight);
  return 1;
}
