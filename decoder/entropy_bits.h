// Used by the Huffman entropy decoders (mcu_decode.cpp, progressive_decode.cpp) only.
//
// The working copy of the bit reader for one MCU and the reads on it. The
// rules (restart schemes, markers met in the data, made-up bits once the
// data ends) are those described at the top of mcu_decode.cpp.
#pragma once

#include "decoder_state.h"

// EXTEND (T.81 F.2.2.1): a magnitude v of s bits below 2^(s-1) stands for
// v + 1 - 2^s. Sizes above 11 never occur in 8-bit data and are refused.
constexpr int kMaxDcSize = 11;
constexpr int kMaxAcSize = 10;
constexpr int32_t kExtendThreshold[12] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};
constexpr int32_t kExtendOffset[12] = {0, -1, -3, -7, -15, -31, -63, -127, -255, -511, -1023, -2047};

struct BitReader {
  const uint8_t* pos;
  uint32_t buffer;
  uint32_t count;
  uint32_t marker;
  uint32_t fake;  // made-up bits at the bottom of the valid ones
};

// The reader of the state for one MCU: without an interval a marker met in
// the last MCU was handled by FinishMcu and the reader starts without one.
inline BitReader TakeReader(const DecoderState& state) {
  return BitReader{state.inputPos, state.bitBuffer, state.bitCount,
                   state.restartInterval != 0 ? state.marker : 0, state.fakeBits};
}
inline void PutReader(DecoderState& state, const BitReader& reader) {
  state.inputPos = reader.pos;
  state.bitBuffer = reader.buffer;
  state.bitCount = reader.count;
  state.marker = reader.marker;
  state.fakeBits = reader.fake;
}

enum class RefillKind { kCode, kDcMagnitude, kAcMagnitude };

// Appends up to 16 bits below the valid ones (at most 16 may be valid).
// `size` is the magnitude size an AC refill is for. Returns false only when
// a DC magnitude refill meets a marker in place of its first byte.
bool RefillFromItems(DecoderState& state, BitReader& reader, RefillKind kind, uint32_t size);
inline bool Refill(DecoderState& state, BitReader& reader, RefillKind kind, uint32_t size) {
  // Two data bytes, neither 0xFF, inside the stream and before the data
  // ended: what the general reading makes of them, directly.
  const uint8_t* pos = reader.pos;
  if (!state.dataEnded && state.streamEnd - pos >= 2 && pos[0] != 0xFF && pos[1] != 0xFF) {
    reader.buffer += (static_cast<uint32_t>(pos[0]) << 8 | pos[1]) << (16 - reader.count);
    reader.count += 16;
    reader.pos = pos + 2;
    return true;
  }
  return RefillFromItems(state, reader, kind, size);
}

inline void Consume(BitReader& reader, uint32_t n) {
  reader.buffer <<= n;
  reader.count -= n;
}

// Decodes one Huffman symbol; -1 when no code of up to 16 bits matches.
// `shortRead` tells whether fewer than 8 bits were buffered, so that the
// search ran over all lengths from 1.
inline int DecodeSymbol(BitReader& reader, const FastLookupTable& fast, const CodeLimitTable& limits,
                        const HuffmanSpec* spec, bool& shortRead) {
  int start = 9;
  shortRead = reader.count < 8;
  if (shortRead) {
    start = 1;
  } else {
    const uint32_t prefix = reader.buffer >> 24;
    if (fast.length[prefix] != 0) {
      Consume(reader, fast.length[prefix]);
      return fast.symbol[prefix];
    }
  }
  uint32_t length;
  const int symbol = LimitRead(reader.buffer, start, limits, spec, length);
  if (symbol >= 0) Consume(reader, length);
  return symbol;
}

inline int16_t ReceiveExtend(BitReader& reader, uint32_t size) {
  if (size == 0) return 0;
  int32_t value = static_cast<int32_t>(reader.buffer >> (32 - size));
  Consume(reader, size);
  if (value < kExtendThreshold[size]) value += kExtendOffset[size];
  return static_cast<int16_t>(value);
}

// Once the data has ended, the bits being read are partly or wholly made up,
// and a symbol they spell that no stream may hold says nothing about the
// stream: the block ends there (a DC that cannot be read is a difference of
// 0) and the picture is marked damaged. Before that, such a symbol fails the
// decode. Returns whether the block ends rather than the decode.
inline bool EndBlockAfterDataEnd(DecoderState& state) {
  if (!state.dataEnded) return false;
  state.damaged = true;
  return true;
}

// A block's DC difference with table set t (symbol, magnitude, EXTEND), the
// reads of the sequential decode: 0 when it fails the decode; `ended` set
// when no size could be read after the data ended (the difference is then
// 0 and the block ends there).
inline bool ReadDcDifference(DecoderState& state, BitReader& reader, int t, int16_t& difference, bool& ended) {
  const bool interval = state.restartInterval != 0;
  if (reader.count <= 16 && reader.marker == 0) Refill(state, reader, RefillKind::kCode, 0);
  bool shortRead = false;
  int dcSize = DecodeSymbol(reader, state.fastDc[t], state.limitsDc[t], state.dcSpec[t], shortRead);
  ended = false;
  if (dcSize < 0 || dcSize > kMaxDcSize) {
    if (!EndBlockAfterDataEnd(state)) return false;
    dcSize = 0;
    ended = true;
  }
  const uint32_t s = static_cast<uint32_t>(dcSize);
  if (!shortRead && s > reader.count && (!interval || reader.marker == 0)) {
    if (!Refill(state, reader, RefillKind::kDcMagnitude, s)) {
      if (!EndBlockAfterDataEnd(state)) return false;
      reader.count = s;  // the missing bits read as zero
    }
  }
  difference = ReceiveExtend(reader, s);
  return true;
}
