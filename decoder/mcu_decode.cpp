// Entropy decoding of one MCU (T.81 Annex F, sequential Huffman, 8-bit):
// the bit reader, Huffman symbols, DC prediction, AC runs, markers met in the
// data, restarts, and dequantisation into natural order.
//
// Two restart schemes:
//  - Without a DRI interval, a marker met by a refill is remembered for the
//    rest of the MCU; after the MCU any marker but EOI is taken as a restart
//    and four fresh bytes are loaded.
//  - With an interval, restarts fall exactly on the interval's MCU
//    boundaries: the leftover bits are dropped, the next marker is searched
//    for and consumed, and the bit reader is loaded again. A marker met by a
//    refill stops all refills until the boundary.
// In both, bitCount is unsigned: once a marker has stopped the refills,
// reading more bits than are buffered wraps it to a huge value, after which
// no refill condition holds and every read sees zero bits.
// In both, the data ends (dataEnded) at the same events: a load or a refill
// takes a byte past the stream's end (a final 0xFF included), or a load, a
// refill or an interval's boundary meets EOI.
#include <string.h>

#include "entropy_bits.h"

const uint8_t kZigzagToNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

namespace {

// The end-of-block mark in the zigzag scratch blocks.
constexpr int16_t kEndOfBlock = -32768;

}  // namespace

int LimitRead(uint32_t buffer, int start, const CodeLimitTable& limits, const HuffmanSpec* spec,
              uint32_t& length) {
  for (int l = start; l <= 16; ++l) {
    const uint32_t code = buffer >> (32 - l);
    if (static_cast<int32_t>(code) <= limits.entry[15 + l]) {
      // Codes before this one, counted on the low 8 bits.
      const uint8_t index = static_cast<uint8_t>(
          code - static_cast<uint32_t>(limits.entry[l - 1]) + static_cast<uint8_t>(limits.entry[32 + l - 1]));
      length = static_cast<uint32_t>(l);
      return spec[kSpecSymbols + index];
    }
  }
  return -1;
}

namespace {

// What one read of the entropy-coded data yields: a data byte or a marker.
// `past`: the byte lies at or past the stream's end, or is a 0xFF whose
// stuffed 0x00 does (the stream broke off there).
struct Item {
  bool isMarker;
  uint8_t value;
  bool past;
};

const uint8_t* Step(const DecoderState& state, const uint8_t* pos) {
  return pos < state.streamEnd ? pos + 1 : pos;
}

// Without an interval: 0xFF 0x00 is the data byte 0xFF; 0xFF and any other
// byte is that byte as a marker code; both bytes are consumed. A 0xFF
// followed by another 0xFF is a fill byte (T.81 B.1.1.2): it is consumed and
// recognition starts again at the second 0xFF.
Item NextItemPlain(const DecoderState& state, const uint8_t*& pos) {
  const bool past = pos >= state.streamEnd;
  const uint8_t b = ByteAt(state, pos);
  pos = Step(state, pos);
  if (b != 0xFF) return {false, b, past};
  while (ByteAt(state, pos) == 0xFF) pos = Step(state, pos);
  const bool partnerPast = pos >= state.streamEnd;
  const uint8_t c = ByteAt(state, pos);
  pos = Step(state, pos);
  if (c == 0x00) return {false, 0xFF, partnerPast};
  return {true, c, false};
}

// With an interval: as above, and a 0xFF that ends the stream is data.
Item NextItemInterval(const DecoderState& state, const uint8_t*& pos) {
  for (;;) {
    const bool past = pos >= state.streamEnd;
    const uint8_t b = ByteAt(state, pos);
    pos = Step(state, pos);
    if (b != 0xFF || pos >= state.streamEnd) return {false, b, past || b == 0xFF};
    const uint8_t c = *pos;
    if (c == 0xFF) continue;
    ++pos;
    if (c == 0x00) return {false, 0xFF, false};
    return {true, c, false};
  }
}

}  // namespace

bool RefillFromItems(DecoderState& state, BitReader& reader, RefillKind kind, uint32_t size) {
  const bool interval = state.restartInterval != 0;
  const Item first = interval ? NextItemInterval(state, reader.pos) : NextItemPlain(state, reader.pos);
  if (first.isMarker) {
    reader.marker = first.value;
    if (EndsData(state, first.value)) state.dataEnded = true;
    if (kind == RefillKind::kDcMagnitude) return false;
    if (kind == RefillKind::kAcMagnitude) {
      reader.count = size;  // the missing bits read as zero
      state.damaged = true;
    }
    return true;
  }
  const Item second = interval ? NextItemInterval(state, reader.pos) : NextItemPlain(state, reader.pos);
  uint32_t chunk;
  uint32_t added;
  if (second.isMarker) {
    reader.marker = second.value;
    chunk = static_cast<uint32_t>(first.value) << 8;
    added = 8;
  } else {
    chunk = static_cast<uint32_t>(first.value) << 8 | second.value;
    added = 16;
  }
  reader.buffer += chunk << (16 - reader.count);
  reader.count += added;
  // Bits the data does not hold: everything once it has ended, else from
  // the first byte past the end on.
  if (state.dataEnded || first.past) {
    reader.fake += added;
    state.dataEnded = true;
  } else if (added == 16 && second.past) {
    reader.fake += 8;
    state.dataEnded = true;
  }
  if (second.isMarker && EndsData(state, second.value)) state.dataEnded = true;
  return true;
}

namespace {

// Loads four bytes without an interval: 0xFF 0x00 is 0xFF; 0xFF 0xD9 is
// 0xFF with the 0xD9 read as the next byte; 0xFF before anything else fails.
// Fill bytes: 0xFF 0xFF 0xD9 acts as 0xFF 0xD9, 0xFF 0xFF 0x00 as 0xFF 0x00.
// The 0xFF of an EOI, and what follows it or lies past the stream's end,
// are made-up bits.
bool LoadPlain(DecoderState& state) {
  const uint8_t* pos = state.inputPos;
  uint32_t buffer = 0;
  int firstFake = state.dataEnded ? 0 : 4;
  for (int i = 0; i < 4; ++i) {
    bool past = pos >= state.streamEnd;
    const uint8_t b = ByteAt(state, pos);
    pos = Step(state, pos);
    if (b == 0xFF) {
      while (ByteAt(state, pos) == 0xFF) pos = Step(state, pos);
      const uint8_t next = ByteAt(state, pos);
      if (next == 0x00) {
        past = past || pos >= state.streamEnd;
        pos = Step(state, pos);
      } else if (EndsData(state, next)) {
        past = true;
      } else {
        return false;
      }
    }
    if (past && firstFake == 4) firstFake = i;
    buffer |= static_cast<uint32_t>(b) << (24 - 8 * i);
  }
  state.inputPos = pos;
  state.bitBuffer = buffer;
  state.bitCount = 32;
  state.fakeBits = static_cast<uint32_t>(4 - firstFake) * 8;
  if (firstFake != 4) state.dataEnded = true;
  return true;
}

// Loads up to four bytes with an interval; a marker ends the load early, is
// remembered for the next boundary, and the bytes not loaded are zero bits.
// A byte past the end, or a marker that ends the data (EOI; in one of
// several scans, any but a restart marker), ends it as in LoadPlain.
void LoadInterval(DecoderState& state) {
  uint32_t buffer = 0;
  int firstFake = 4;
  bool ended = false;
  for (int i = 0; i < 4; ++i) {
    const Item item = NextItemInterval(state, state.inputPos);
    if (item.isMarker) {
      state.marker = item.value;
      ended = ended || EndsData(state, item.value);
      if (firstFake == 4) firstFake = i;
      break;
    }
    ended = ended || item.past;
    if (item.past && firstFake == 4) firstFake = i;
    buffer |= static_cast<uint32_t>(item.value) << (24 - 8 * i);
  }
  state.bitBuffer = buffer;
  state.bitCount = 32;
  state.fakeBits = static_cast<uint32_t>(4 - firstFake) * 8;
  if (ended) state.dataEnded = true;
}

// The boundary after the last MCU of a restart interval.
void RestartAtBoundary(DecoderState& state) {
  state.bitBuffer = 0;
  state.bitCount = 0;
  while (state.marker == 0) {
    if (state.inputPos >= state.streamEnd) {
      state.marker = kMarkerEoi;
      break;
    }
    const Item item = NextItemInterval(state, state.inputPos);
    if (item.isMarker) state.marker = item.value;
  }
  ResumeAfterBoundary(state, EndsData(state, state.marker) ? nullptr : state.inputPos);
}

}  // namespace

void ResumeAfterBoundary(DecoderState& state, const uint8_t* next) {
  state.boundaryPos = next;
  for (int16_t& p : state.dcPredictor) p = 0;
  state.eobRun = 0;
  if (next == nullptr) {
    state.marker = kMarkerEoi;
    state.bitBuffer = 0;
    state.bitCount = 32;  // the rest of the scan decodes from zero bits
    state.fakeBits = 32;
    state.dataEnded = true;
    return;
  }
  state.inputPos = next;
  state.marker = 0;
  LoadInterval(state);
}

int LoadBitBuffer(DecoderState& state) {
  if (state.restartInterval == 0) return LoadPlain(state) ? 1 : 0;
  LoadInterval(state);
  return 1;
}

int FinishMcu(DecoderState& state) {
  // Fewer valid bits left than made-up ones: the MCU used bits the data
  // did not hold (bitCount may have wrapped; read as signed it is below).
  if (static_cast<int32_t>(state.bitCount) < static_cast<int32_t>(state.fakeBits)) {
    state.damaged = true;
    state.fakeBits = 0;
  }
  ++state.mcuNumber;
  // Whatever follows the last MCU's bits is never examined.
  const bool lastMcu = state.mcuNumber >= state.mcuTotal;
  if (state.restartInterval != 0) {
    if (!lastMcu && state.mcuNumber % state.restartInterval == 0) RestartAtBoundary(state);
  } else if (!lastMcu && state.marker != 0 && !EndsData(state, state.marker)) {
    if (!LoadPlain(state)) return 0;
    for (int16_t& p : state.dcPredictor) p = 0;
    state.eobRun = 0;
  }
  return 1;
}

int DecodeMcu(DecoderState& state) {
  int16_t scratch[kMaxMcuBlocks * 64];
  memset(scratch, 0, sizeof scratch);
  const bool interval = state.restartInterval != 0;
  BitReader reader{state.inputPos, state.bitBuffer, state.bitCount, interval ? state.marker : 0,
                   state.fakeBits};
  const int blocks = BlockCount(state);

  for (int b = 0; b < blocks; ++b) {
    const int t = state.blockSet[b];
    int16_t* coefficients = scratch + b * 64;

    // DC difference.
    int16_t difference;
    bool endBlock;
    if (!ReadDcDifference(state, reader, t, difference, endBlock)) return 0;
    int16_t& predictor = state.dcPredictor[state.blockPredictor[b]];
    predictor = static_cast<int16_t>(static_cast<uint16_t>(predictor + difference));
    coefficients[0] = predictor;

    // AC coefficients, k + remaining == 64 throughout.
    int k = 1;
    int remaining = endBlock ? 0 : 63;
    if (endBlock) coefficients[k] = kEndOfBlock;
    while (remaining > 0) {
      if (reader.count <= 16 && reader.marker == 0) Refill(state, reader, RefillKind::kCode, 0);
      bool shortRead;
      const int rs = DecodeSymbol(reader, state.fastAc[t], state.limitsAc[t], state.acSpec[t], shortRead);
      const uint32_t size = static_cast<uint32_t>(rs & 15);
      const int run = rs >> 4;
      // No code, a run of 1 to 14 without a coefficient, a size no 8-bit
      // stream has, or a coefficient past position 63.
      const bool invalid = rs < 0 || (size == 0 && run != 0 && run != 15) || size > kMaxAcSize ||
                           (size != 0 && run >= remaining);
      if (invalid) {
        if (!EndBlockAfterDataEnd(state)) return 0;
        coefficients[k] = kEndOfBlock;
        break;
      }
      if (rs == 0x00) {  // EOB
        coefficients[k] = kEndOfBlock;
        break;
      }
      if (size == 0) {
        k += 16;  // ZRL
        remaining -= 16;
        if (remaining > 0) continue;
        break;
      }
      k += run;
      remaining -= run;
      if (size > reader.count && reader.marker == 0)
        Refill(state, reader, RefillKind::kAcMagnitude, size);
      coefficients[k] = ReceiveExtend(reader, size);
      ++k;
      if (--remaining == 0) break;
    }
  }

  state.inputPos = reader.pos;
  state.bitBuffer = reader.buffer;
  state.bitCount = reader.count;
  state.marker = reader.marker;
  state.fakeBits = reader.fake;
  if (!FinishMcu(state)) return 0;

  // Dequantise into natural order (the blocks of the MCU; the others are
  // never read).
  memset(state.blockBuffer, 0, static_cast<size_t>(blocks) * 64 * sizeof state.blockBuffer[0]);
  for (int b = 0; b < blocks; ++b) {
    const uint16_t* q = state.quant[state.blockSet[b]];
    const int16_t* coefficients = scratch + b * 64;
    int16_t* block = state.blockBuffer + b * 64;
    for (int k = 0; k < 64; ++k) {
      const int32_t v = coefficients[k];
      if (v == kEndOfBlock) break;
      if (v != 0) block[kZigzagToNatural[k]] = static_cast<int16_t>(static_cast<uint16_t>(v * q[k]));
    }
  }
  return 1;
}
