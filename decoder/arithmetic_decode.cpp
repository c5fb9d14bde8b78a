// Entropy decoding of arithmetic-coded scans (T.81 Annex D, F.1.4.4, F.2.4
// and G.1.3) into the whole-picture store: sequential scans (DC and AC of
// each block), and progressive DC first and refinement scans and AC first
// and refinement bands. Coefficients are stored quantised, in zigzag order,
// as the progressive Huffman decode stores them.
//
// The decoder is the adaptive binary arithmetic decoder of Annex D: each
// decision is decoded against a statistics bin holding an index into the
// probability estimates below and the more probable symbol (MPS). Bytes
// 0xFF 0x00 are the data byte 0xFF; at a marker, and past the stream's end,
// zero bytes are fed. A scan or restart interval starts with every bin of
// its tables at index 0, MPS 0.
#include <string.h>

#include "coefficient_mask.h"
#include "decoder_state.h"

namespace {

// The probability estimates (T.81 Table D.3): Qe, and the index after an
// MPS and after an LPS; kSwitch: an LPS there exchanges the MPS. Index 113
// is the fixed estimate of about one half used for signs and correction
// bits, never left.
constexpr int kFixedIndex = 113;
constexpr uint16_t kQe[114] = {
    0x5A1D, 0x2586, 0x1114, 0x080B, 0x03D8, 0x01DA, 0x00E5, 0x006F, 0x0036, 0x001A, 0x000D, 0x0006, 0x0003,
    0x0001, 0x5A7F, 0x3F25, 0x2CF2, 0x207C, 0x17B9, 0x1182, 0x0CEF, 0x09A1, 0x072F, 0x055C, 0x0406, 0x0303,
    0x0240, 0x01B1, 0x0144, 0x00F5, 0x00B7, 0x008A, 0x0068, 0x004E, 0x003B, 0x002C, 0x5AE1, 0x484C, 0x3A0D,
    0x2EF1, 0x261F, 0x1F33, 0x19A8, 0x1518, 0x1177, 0x0E74, 0x0BFB, 0x09F8, 0x0861, 0x0706, 0x05CD, 0x04DE,
    0x040F, 0x0363, 0x02D4, 0x025C, 0x01F8, 0x01A4, 0x0160, 0x0125, 0x00F6, 0x00CB, 0x00AB, 0x008F, 0x5B12,
    0x4D04, 0x412C, 0x37D8, 0x2FE8, 0x293C, 0x2379, 0x1EDF, 0x1AA9, 0x174E, 0x1424, 0x119C, 0x0F6B, 0x0D51,
    0x0BB6, 0x0A40, 0x5832, 0x4D1C, 0x438E, 0x3BDD, 0x34EE, 0x2EAE, 0x299A, 0x2516, 0x5570, 0x4CA9, 0x44D9,
    0x3E22, 0x3824, 0x32B4, 0x2E17, 0x56A8, 0x4F46, 0x47E5, 0x41CF, 0x3C3D, 0x375E, 0x5231, 0x4C0F, 0x4639,
    0x415E, 0x5627, 0x50E7, 0x4B85, 0x5597, 0x504F, 0x5A10, 0x5522, 0x59EB, 0x5A1D};
constexpr uint8_t kNextMps[114] = {
    1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 13, 15, 16, 17, 18, 19,  20,  21,  22,  23,
    24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 9,  37, 38, 39, 40, 41, 42,  43,  44,  45,  46,
    47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 32, 65,  66,  67,  68,  69,
    70, 71, 72, 73, 74, 75, 76, 77, 78, 79, 48, 81, 82, 83, 84, 85, 86, 87, 71,  89,  90,  91,  92,
    93, 94, 86, 96, 97, 98, 99, 100, 93, 102, 103, 104, 99, 106, 107, 103, 109, 107, 111, 109, 111, 113};
constexpr uint8_t kNextLps[114] = {
    1,  14, 16, 18, 20, 23, 25, 28, 30, 33, 35, 9,  10, 12, 15, 36, 38,  39,  40,  42,  43,  45,  46,
    48, 49, 51, 52, 54, 56, 57, 59, 60, 62, 63, 32, 33, 37, 64, 65, 67,  68,  69,  70,  72,  73,  74,
    75, 77, 78, 79, 48, 50, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 61,  61,  65,  80,  81,  82,  83,
    84, 86, 87, 87, 72, 72, 74, 74, 75, 77, 77, 80, 88, 89, 90, 91, 92,  93,  86,  88,  95,  96,  97,
    99, 99, 93, 95, 101, 102, 103, 104, 99, 105, 106, 107, 103, 105, 108, 109, 110, 111, 110, 112, 112, 113};
constexpr uint8_t kSwitch[114] = {
    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0,
    0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 0};

// Statistics bins of the tables (T.81 Table F.4 and F.5). DC, from the
// context's first bin S0 (0, 4, 8, 12 or 16): S0 itself (the difference is
// zero), S0 + 1 (its sign), S0 + 2 and S0 + 3 (the first magnitude
// decision of a positive and a negative one); then the magnitude decisions
// X1.. from 20 and their bit patterns 14 bins further on. AC, for
// coefficient k: 3 (k - 1) (end of block), + 1 (zero), + 2 (the first two
// magnitude decisions); X1.. from 189 (k <= Kx) or 217, bit patterns 14
// bins further on.
constexpr int kDcMagnitudes = 20;
constexpr int kAcLowMagnitudes = 189;
constexpr int kAcHighMagnitudes = 217;
constexpr int kMagnitudeBits = 14;

// Bytes fed from past the stream's end after which what is decoded holds
// nothing of the data: the code register holds the last four bytes read.
constexpr uint32_t kPastEndSlack = 4;

// The next byte for the code register (Byte_in, T.81 D.2.6).
uint32_t ByteIn(DecoderState& state) {
  if (state.arith.marker != 0) return 0;
  const uint8_t* pos = state.inputPos;
  if (pos >= state.streamEnd) {
    ++state.arith.pastEnd;
    return 0;
  }
  if (*pos != 0xFF) {
    state.inputPos = pos + 1;
    return *pos;
  }
  const uint8_t* next = pos + 1;
  while (next < state.streamEnd && *next == 0xFF) ++next;
  if (next >= state.streamEnd) {
    state.inputPos = state.streamEnd;
    ++state.arith.pastEnd;
    return 0;
  }
  if (*next == 0x00) {
    state.inputPos = next + 1;
    return 0xFF;
  }
  state.inputPos = pos;  // left for the restart boundary and the scan's end
  state.arith.marker = *next;
  return 0;
}

// INITDEC (T.81 D.2.7): two bytes into Cx, the interval 0x10000.
void StartDecoder(DecoderState& state) {
  state.arith.marker = 0;
  uint32_t c = ByteIn(state) << 8;
  c = (c << 8) | ByteIn(state) << 8;
  state.arith.c = c << 8;
  state.arith.a = 0x10000;
  state.arith.ct = 0;
}

// The registers of the decoder for one MCU, held apart from the state so
// that they stay in registers: the bins are bytes, and a store to a byte
// in the state could otherwise be a store to them.
struct Registers {
  uint32_t c, a;
  int32_t ct;
};

#define ZF_INLINE inline __attribute__((always_inline))

// Renormalisation (T.81 D.2.6): the interval doubled back above 0x8000, a
// byte taken into the low bits of c every eight doublings. The doublings
// a needs are its leading zeros below bit 15; c takes them in runs up to
// the next byte.
ZF_INLINE void Renormalise(DecoderState& state, Registers& r) {
  int32_t n = __builtin_clz(r.a) - 16;
  r.a <<= n;
  while (n > 0) {
    if (r.ct == 0) {
      r.c += ByteIn(state) << 8;
      r.ct = 8;
    }
    const int32_t run = n < r.ct ? n : r.ct;
    r.c <<= run;
    r.ct -= run;
    n -= run;
  }
}

// One decision against bin `bin` (DECODE, T.81 D.2.2 to D.2.5): 0 or 1.
ZF_INLINE int Decide(DecoderState& state, Registers& r, uint8_t& bin) {
  const int index = bin & 0x7F;
  const int mps = bin >> 7;
  const uint32_t qe = kQe[index];
  r.a -= qe;
  int decision;
  bool lps;
  if ((r.c >> 16) < r.a) {
    if (r.a >= 0x8000) return mps;
    // The MPS sub-interval, too small: exchanged with the LPS one when
    // smaller than it.
    lps = r.a < qe;
  } else {
    r.c -= r.a << 16;
    lps = !(r.a < qe);
    r.a = qe;
  }
  if (lps) {
    decision = 1 - mps;
    bin = static_cast<uint8_t>((kSwitch[index] ? 1 - mps : mps) << 7 | kNextLps[index]);
  } else {
    decision = mps;
    bin = static_cast<uint8_t>(mps << 7 | kNextMps[index]);
  }
  Renormalise(state, r);
  return decision;
}

ZF_INLINE int DecideFixed(DecoderState& state, Registers& r) {
  uint8_t bin = kFixedIndex;
  return Decide(state, r, bin);
}

// The rest of a magnitude category (T.81 F.23) from m, a power of two,
// with the decisions X1, X2, ... from bin `st` doubling it while they are 1;
// then its bits below the top one (F.24), 14 bins after the last X. Returns
// |v| - 1 (the category, m at its end, in `category`), or -1 when the
// category runs past 2^15.
ZF_INLINE int32_t DecodeMagnitude(DecoderState& state, Registers& r, uint8_t* bins, int st, int32_t m,
                                  int32_t& category) {
  while (Decide(state, r, bins[st])) {
    m <<= 1;
    if (m == 0x8000) return -1;
    ++st;
  }
  category = m;
  int32_t v = m;
  st += kMagnitudeBits;
  for (int32_t bit = m >> 1; bit != 0; bit >>= 1)
    if (Decide(state, r, bins[st])) v |= bit;
  return v;
}

// A DC difference (T.81 F.2.4.1, F.19 to F.24) of component slot j, whose
// context it updates for the next block.
ZF_INLINE bool DecodeDcDifference(DecoderState& state, Registers& r, int j, int32_t& difference) {
  const int table = state.scanDcTable[j];
  uint8_t* bins = state.dcStatistics[table];
  const int s0 = state.dcContext[j];
  if (!Decide(state, r, bins[s0])) {
    difference = 0;
    state.dcContext[j] = 0;
    return true;
  }
  const int sign = Decide(state, r, bins[s0 + 1]);
  // |v| - 1 and its category: 0 for |v| = 1, else the top bit of |v| - 1.
  int32_t category = 0;
  int32_t m = 0;
  if (Decide(state, r, bins[s0 + 2 + sign])) {
    m = DecodeMagnitude(state, r, bins, kDcMagnitudes, 1, category);
    if (m < 0) return false;
  }
  // The context of the next block (F.1.4.4.1.2): a category below 2^L / 2
  // is "zero", above 2^U / 2 "large", else "small"; positive or negative.
  if (category < ((1 << state.dcLower[table]) >> 1))
    state.dcContext[j] = 0;
  else if (category > ((1 << state.dcUpper[table]) >> 1))
    state.dcContext[j] = static_cast<uint8_t>(12 + 4 * sign);
  else
    state.dcContext[j] = static_cast<uint8_t>(4 + 4 * sign);
  difference = sign ? -(m + 1) : m + 1;
  return true;
}

// An AC band start..end of a block at bit al (T.81 F.2.4.2, G.1.3.2).
ZF_INLINE bool DecodeAcBand(DecoderState& state, Registers& r, int j, int16_t* block, int start, int end,
                            uint32_t al) {
  const int table = state.scanAcTable[j];
  uint8_t* bins = state.acStatistics[table];
  for (int k = start; k <= end; ++k) {
    int st = 3 * (k - 1);
    if (Decide(state, r, bins[st])) break;  // end of block
    while (!Decide(state, r, bins[st + 1])) {
      st += 3;
      if (++k > end) return false;
    }
    const int sign = DecideFixed(state, r);
    // |v| - 1: 0, 1, or from the category decisions of the band's half.
    int32_t m = 0;
    if (Decide(state, r, bins[st + 2])) {
      m = 1;
      if (Decide(state, r, bins[st + 2])) {
        int32_t category;
        m = DecodeMagnitude(state, r, bins, k <= state.acSplit[table] ? kAcLowMagnitudes : kAcHighMagnitudes,
                            2, category);
        if (m < 0) return false;
      }
    }
    const int32_t v = sign ? -(m + 1) : m + 1;
    block[k] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v) << al));
  }
  return true;
}

// An AC refinement of band start..end at bit al (T.81 G.1.3.3): the end of
// block is decided only past the last coefficient earlier scans made
// nonzero; nonzero ones take a correction bit, zero ones may become +-2^Al.
ZF_INLINE bool DecodeAcRefinement(DecoderState& state, Registers& r, int j, int16_t* block, int start, int end,
                                  uint32_t al) {
  uint8_t* bins = state.acStatistics[state.scanAcTable[j]];
  const int32_t bit = 1 << al;
  // Within the band (only its coefficients are read: scans of other bands
  // may be decoding the block on other threads).
  int lastNonzero = end;
  while (lastNonzero >= start && block[lastNonzero] == 0) --lastNonzero;
  for (int k = start; k <= end; ++k) {
    int st = 3 * (k - 1);
    if (k > lastNonzero && Decide(state, r, bins[st])) break;
    for (;;) {
      int16_t& coefficient = block[k];
      if (coefficient != 0) {
        if (Decide(state, r, bins[st + 2]))
          coefficient = static_cast<int16_t>(coefficient < 0 ? coefficient - bit : coefficient + bit);
        break;
      }
      if (Decide(state, r, bins[st + 1])) {
        coefficient = static_cast<int16_t>(DecideFixed(state, r) ? -bit : bit);
        break;
      }
      st += 3;
      if (++k > end) return false;
    }
  }
  return true;
}

// Every bin of the tables the scan decides with back to index 0, MPS 0;
// the DC contexts and predictions to 0.
void ResetStatistics(DecoderState& state) {
  const bool dc = state.spectralStart == 0 && state.approxHigh == 0;
  const bool ac = !state.progressive || state.spectralStart != 0;
  for (int j = 0; j < state.scanComponents; ++j) {
    if (dc) memset(state.dcStatistics[state.scanDcTable[j]], 0, sizeof state.dcStatistics[0]);
    if (ac) memset(state.acStatistics[state.scanAcTable[j]], 0, sizeof state.acStatistics[0]);
    state.dcContext[j] = 0;
    state.dcPredictor[j] = 0;
  }
}

// The restart boundary: the next marker in the data, a restart marker to
// go on after, or anything else (the data ended): false.
bool Restart(DecoderState& state) {
  const uint8_t* pos = state.inputPos;
  const uint8_t* end = state.streamEnd;
  for (;;) {
    while (pos < end && *pos != 0xFF) ++pos;
    while (pos < end && *pos == 0xFF) ++pos;
    if (pos >= end) return false;
    const uint8_t code = *pos++;
    if (code == 0x00) continue;
    if (code < 0xD0 || code > 0xD7) return false;
    break;
  }
  state.inputPos = pos;
  ResetStatistics(state);
  StartDecoder(state);
  return true;
}

// One MCU: each block by the kind of scan, with the registers `r`.
ZF_INLINE bool DecodeBlocksWith(DecoderState& state, Registers& r, int16_t* const* blocks) {
  const uint32_t al = state.approxLow;
  for (int b = 0; b < state.blockCount; ++b) {
    const int j = state.blockPredictor[b];
    int16_t* block = blocks[b];
    if (!state.progressive) {
      int32_t difference;
      if (!DecodeDcDifference(state, r, j, difference)) return false;
      state.dcPredictor[j] = static_cast<int16_t>(static_cast<uint16_t>(state.dcPredictor[j] + difference));
      block[0] = state.dcPredictor[j];
      if (!DecodeAcBand(state, r, j, block, 1, 63, 0)) return false;
    } else if (state.spectralStart == 0 && state.approxHigh == 0) {
      int32_t difference;
      if (!DecodeDcDifference(state, r, j, difference)) return false;
      state.dcPredictor[j] = static_cast<int16_t>(static_cast<uint16_t>(state.dcPredictor[j] + difference));
      block[0] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(state.dcPredictor[j]) << al));
    } else if (state.spectralStart == 0) {
      if (DecideFixed(state, r)) block[0] = static_cast<int16_t>(static_cast<uint16_t>(block[0]) | 1u << al);
    } else if (state.approxHigh == 0) {
      if (!DecodeAcBand(state, r, j, block, state.spectralStart, state.spectralEnd, al)) return false;
    } else {
      if (!DecodeAcRefinement(state, r, j, block, state.spectralStart, state.spectralEnd, al)) return false;
    }
  }
  return true;
}

// The same with the registers taken from the state and put back.
bool DecodeBlocks(DecoderState& state, int16_t* const* blocks) {
  Registers r{state.arith.c, state.arith.a, state.arith.ct};
  const bool decoded = DecodeBlocksWith(state, r, blocks);
  state.arith.c = r.c;
  state.arith.a = r.a;
  state.arith.ct = r.ct;
  return decoded;
}

}  // namespace

int DecodeMcuArithmetic(DecoderState& state) {
  if (state.mcuNumber == 0) {
    state.arith.pastEnd = 0;
    ResetStatistics(state);
    StartDecoder(state);
  }
  // Once the data has broken off (or a restart boundary finds no restart
  // marker), the rest of the picture holds no data: zero blocks.
  const bool boundary = state.restartInterval != 0 && state.mcuNumber != 0 &&
                        state.mcuNumber % state.restartInterval == 0;
  if (boundary && state.arith.pastEnd <= kPastEndSlack && !Restart(state)) state.arith.pastEnd = kPastEndSlack + 1;
  const int blocks = BlockCount(state);
  ZeroBlocks(state.blockBuffer, blocks);
  ++state.mcuNumber;
  if (state.arith.pastEnd > kPastEndSlack) {
    state.damaged = true;
    return 1;
  }
  int16_t coefficients[kMaxMcuBlocks * 64];
  ZeroBlocks(coefficients, blocks);
  int16_t* zigzag[kMaxMcuBlocks];
  for (int b = 0; b < blocks; ++b) zigzag[b] = coefficients + 64 * b;
  if (!DecodeBlocks(state, zigzag) && state.arith.pastEnd == 0) return 0;
  if (state.arith.pastEnd != 0) state.damaged = true;
  // Dequantised into natural order, as the Huffman decode leaves its blocks
  // (the nonzero coefficients alone: the rest stay cleared).
  for (int b = 0; b < blocks; ++b) {
    const uint16_t* q = state.quant[state.blockSet[b]];
    int16_t* block = state.blockBuffer + b * 64;
    for (uint64_t nonzero = NonzeroMask(zigzag[b]); nonzero != 0; nonzero &= nonzero - 1) {
      const int k = __builtin_ctzll(nonzero);
      block[kZigzagToNatural[k]] = static_cast<int16_t>(static_cast<uint16_t>(zigzag[b][k] * q[k]));
    }
  }
  return 1;
}

int DecodeArithmeticScan(DecoderState& state) {
  state.arith.pastEnd = 0;
  ResetStatistics(state);
  StartDecoder(state);
  int16_t* blocks[kMaxMcuBlocks];
  uint32_t synced = UINT32_MAX;
  for (uint32_t mcu = 0; mcu < state.mcuTotal; ++mcu) {
    if (state.restartInterval != 0 && mcu != 0 && mcu % state.restartInterval == 0 && !Restart(state)) {
      state.damaged = true;  // the intervals after this one did not arrive
      break;
    }
    // The data broke off: the rest of the scan did not arrive, and its
    // blocks keep what earlier scans gave them.
    if (state.arith.pastEnd > kPastEndSlack) break;
    ScanRowStarts(state, mcu / state.scanMcuColumns, synced);
    LocateScanBlocks(state, mcu % state.scanMcuColumns, mcu / state.scanMcuColumns, blocks);
    if (!DecodeBlocks(state, blocks)) {
      if (state.arith.pastEnd != 0) break;  // made-up bytes spell nothing
      state.status = kZfBadData;
      state.failedMcu = mcu;
      return 0;
    }
  }
  if (state.arith.pastEnd != 0) state.damaged = true;
  return 1;
}
