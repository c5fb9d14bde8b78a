// The entropy decoding of mcu_decode.cpp for the common case, with the same
// 32-bit bit reader refilled on the same schedule, so that at every step
// bitBuffer and bitCount are exactly what DecodeMcu would hold. What it does
// not handle it does not approximate: on a 0xFF byte that is not a stuffed
// data byte, within four bytes of the stream's end, with a marker pending,
// or on anything DecodeMcu would refuse, it drops what it did and runs
// DecodeMcu on the untouched state.
//
// Why the shortcuts are exact, given no marker is met in the MCU:
//  - every refill before a code finds bitCount <= 16 and adds 16 bits, so a
//    code is always read with at least 16 bits buffered: the short read of
//    fewer than 8 bits never happens and bitCount never wraps;
//  - a code and its magnitude of up to 9 bits together are consumed at once:
//    with 16 or more bits buffered the magnitude refill could not have run
//    between them;
//  - coefficients go straight to their natural position, dequantised: the
//    zigzag pass after the MCU would store the same values, since magnitudes
//    are never 0 and every position is written at most once. A DC value of
//    -32768 reads as the end-of-block mark there, leaving the block zero;
//    that is done here too.
#include <string.h>

#include "decoder_state.h"

namespace {

constexpr int32_t kExtendThreshold[12] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};
constexpr int32_t kExtendOffset[12] = {0, -1, -3, -7, -15, -31, -63, -127, -255, -511, -1023, -2047};

// EXTEND without a branch: the offset is added under a mask.
inline int16_t Extend(uint32_t bits, uint32_t size) {
  const int32_t value = static_cast<int32_t>(bits);
  const int32_t below = -static_cast<int32_t>(value < kExtendThreshold[size]);
  return static_cast<int16_t>(value + (kExtendOffset[size] & below));
}

struct Reader {
  const uint8_t* pos;
  // A refill reads up to four bytes, and the branch-free one two bytes even
  // when it is not due: every read stays two bytes short of the end.
  const uint8_t* safeEnd;
  uint32_t buffer;
  uint32_t count;
};

// The refill of DecodeMcu when it meets only data bytes (0xFF 0x00 is the
// data byte 0xFF). False when it would meet a marker or the stream's end.
inline bool RefillStuffed(Reader& r) {
  if (r.pos > r.safeEnd) return false;
  const uint8_t* p = r.pos;
  const uint32_t b1 = p[0];
  if (b1 == 0xFF) {
    if (p[1] != 0x00) return false;
    ++p;
  }
  const uint32_t b2 = p[1];
  if (b2 == 0xFF) {
    if (p[2] != 0x00) return false;
    ++p;
  }
  r.pos = p + 2;
  r.buffer += (b1 << 8 | b2) << (16 - r.count);
  r.count += 16;
  return true;
}

// The refill before a code: when bitCount <= 16, 16 more bits. Without a
// 0xFF in the next two bytes and away from the end, it is done without a
// branch on the bit count: the two bytes are read either way, and added
// (with bitCount and the position advanced) only when it is due.
inline bool RefillBeforeCode(Reader& r) {
  const uint32_t due = r.count <= 16;
  const uint32_t b1 = r.pos[0];
  const uint32_t b2 = r.pos[1];
  if (__builtin_expect(due & ((b1 == 0xFF) | (b2 == 0xFF) | (r.pos > r.safeEnd)), 0)) return RefillStuffed(r);
  // Shifting by 16 - bitCount is only meaningful when it is due; otherwise
  // the chunk is masked to 0 and the shift amount kept in range.
  const uint32_t chunk = (b1 << 8 | b2) & (0u - due);
  r.buffer += chunk << ((16 - r.count) & 31);
  r.count += due << 4;
  r.pos += due << 1;
  return true;
}

inline void Consume(Reader& r, uint32_t n) {
  r.buffer <<= n;
  r.count -= n;
}

// A Huffman symbol as DecodeMcu reads it with 8 or more bits buffered: the
// 8-bit prefix table, then the limit read from length 9. -1: no code.
inline int DecodeSymbol(Reader& r, const FastLookupTable& fast, const CodeLimitTable& limits,
                        const HuffmanSpec* spec) {
  const uint32_t prefix = r.buffer >> 24;
  if (fast.length[prefix] != 0) {
    Consume(r, fast.length[prefix]);
    return fast.symbol[prefix];
  }
  uint32_t length;
  const int symbol = LimitRead(r.buffer, 9, limits, spec, length);
  if (symbol >= 0) Consume(r, length);
  return symbol;
}

// One MCU into blockBuffer; false to leave it to DecodeMcu.
bool TryDecodeMcu(DecoderState& state) {
  if (state.streamEnd - state.inputPos < 6) return false;
  Reader r{state.inputPos, state.streamEnd - 6, state.bitBuffer, state.bitCount};
  if (r.count > 32) return false;  // wrapped after a marker: DecodeMcu's business
  int16_t predictor[3] = {state.dcPredictor[0], state.dcPredictor[1], state.dcPredictor[2]};
  const int lumaBlocks = LumaBlockCount(state);
  const int blocks = BlockCount(state);
  memset(state.blockBuffer, 0, sizeof state.blockBuffer);

  for (int b = 0; b < blocks; ++b) {
    const int t = b < lumaBlocks ? 0 : 1;
    const uint8_t* q = state.quant[t];
    int16_t* block = state.blockBuffer + b * 64;

    if (!RefillBeforeCode(r)) return false;
    if (r.count < 8) return false;  // the short read: only after a marker, never here
    const int dcSize = DecodeSymbol(r, state.fastDc[t], state.limitsDc[t], state.dcSpec[t]);
    if (dcSize < 0 || dcSize > 11) return false;
    const uint32_t s = static_cast<uint32_t>(dcSize);
    if (s > r.count && !RefillStuffed(r)) return false;
    int16_t difference = 0;
    if (s != 0) {
      difference = Extend(r.buffer >> (32 - s), s);
      Consume(r, s);
    }
    int16_t& p = predictor[b < lumaBlocks ? 0 : (b == lumaBlocks ? 1 : 2)];
    p = static_cast<int16_t>(static_cast<uint16_t>(p + difference));
    block[0] = static_cast<int16_t>(static_cast<uint16_t>(p * q[0]));

    const FastAcTable& whole = state.fastAcWhole[t];
    int k = 1;
    for (;;) {
      if (!RefillBeforeCode(r)) return false;
      const int32_t e = whole.entry[r.buffer >> 23];
      if (e & kAcWhole) {
        k += (e >> 8) & 15;
        if (k > 63) return false;
        Consume(r, static_cast<uint32_t>(e & 31));
        block[kZigzagToNatural[k]] = static_cast<int16_t>(static_cast<uint16_t>((e >> 16) * q[k]));
        if (++k == 64) break;
        continue;
      }
      int rs;
      if (e & kAcCode) {
        Consume(r, static_cast<uint32_t>(e & 31));
        rs = (e >> 8) & 0xFF;
      } else {
        uint32_t length;
        rs = LimitRead(r.buffer, 9, state.limitsAc[t], state.acSpec[t], length);
        if (rs < 0) return false;
        Consume(r, length);
      }
      if (rs == 0x00) break;  // EOB
      const uint32_t size = static_cast<uint32_t>(rs & 15);
      const int run = rs >> 4;
      if (size == 0) {
        if (run != 15) return false;
        k += 16;  // ZRL; past the end it ends the block
        if (k < 64) continue;
        break;
      }
      if (size > 10) return false;
      k += run;
      if (k > 63) return false;
      if (size > r.count && !RefillStuffed(r)) return false;
      const int16_t v = Extend(r.buffer >> (32 - size), size);
      Consume(r, size);
      block[kZigzagToNatural[k]] = static_cast<int16_t>(static_cast<uint16_t>(v * q[k]));
      if (++k == 64) break;
    }
    if (p == -32768) memset(block, 0, 64 * sizeof *block);
  }

  state.inputPos = r.pos;
  state.bitBuffer = r.buffer;
  state.bitCount = r.count;
  state.marker = 0;
  state.dcPredictor[0] = predictor[0];
  state.dcPredictor[1] = predictor[1];
  state.dcPredictor[2] = predictor[2];
  return true;
}

}  // namespace

void BuildFastAcTable(const FastLookupTable& fast, const CodeLimitTable& limits, const HuffmanSpec* spec,
                      FastAcTable& table) {
  for (uint32_t prefix = 0; prefix < 512; ++prefix) {
    // What DecodeMcu reads from a buffer that begins with these 9 bits.
    const uint32_t buffer = prefix << 23;
    int rs;
    uint32_t length;
    if (fast.length[prefix >> 1] != 0) {
      rs = fast.symbol[prefix >> 1];
      length = fast.length[prefix >> 1];
    } else {
      rs = LimitRead(buffer, 9, limits, spec, length);
      if (rs < 0 || length > 9) {
        table.entry[prefix] = 0;
        continue;
      }
    }
    const uint32_t size = static_cast<uint32_t>(rs & 15);
    if (size != 0 && size <= 10 && length + size <= 9) {
      const uint32_t bits = (buffer << length) >> (32 - size);
      table.entry[prefix] = static_cast<int32_t>(static_cast<uint32_t>(Extend(bits, size)) << 16) |
                            (rs >> 4) << 8 | kAcWhole | static_cast<int32_t>(length + size);
    } else {
      table.entry[prefix] = rs << 8 | kAcCode | static_cast<int32_t>(length);
    }
  }
}

int DecodeMcuFast(DecoderState& state) {
  const bool markerPending = state.restartInterval != 0 && state.marker != 0;
  if (markerPending || !TryDecodeMcu(state)) return DecodeMcu(state);
  return FinishMcu(state);
}
