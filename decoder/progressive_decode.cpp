// Entropy decoding of progressive Huffman scans (T.81 Annex G) into the
// whole-picture store: DC first and refinement scans (any components,
// interleaved), AC first and refinement scans of a spectral band (one
// component) with their end-of-band runs. The store holds quantised
// coefficients in zigzag order (a band is a run of them); successive
// approximation works on them, and the pixel stages dequantise them into
// natural order.
//
// The bit reader, restarts, markers met in the data and damage are the
// sequential decoder's (entropy_bits.h, FinishMcu); a restart also ends an
// end-of-band run.
#include <string.h>

#include "coefficient_mask.h"
#include "entropy_bits.h"

namespace {

// The value a stored coefficient takes from v at bit position al: wrapping
// in 16 bits as a stream whose values do not fit makes it.
inline int16_t Scaled(int32_t v, uint32_t al) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v) << al));
}

// The next n bits (1..16) as a number; missing bits read as zero.
inline uint32_t ReadBits(DecoderState& state, BitReader& reader, uint32_t n) {
  if (n > reader.count && reader.marker == 0) Refill(state, reader, RefillKind::kAcMagnitude, n);
  const uint32_t value = reader.buffer >> (32 - n);
  Consume(reader, n);
  return value;
}

inline int ReadAcSymbol(DecoderState& state, BitReader& reader, int t) {
  if (reader.count <= 16 && reader.marker == 0) Refill(state, reader, RefillKind::kCode, 0);
  bool shortRead = false;
  return DecodeSymbol(reader, state.fastAc[t], state.limitsAc[t], state.acSpec[t], shortRead);
}

// A DC first scan: each block's DC difference, as the sequential decode
// reads it, added to its component's prediction and stored at bit Al.
int DecodeDcFirst(DecoderState& state, BitReader& reader, int16_t* const* blocks) {
  const uint32_t al = state.approxLow;
  for (int b = 0; b < state.blockCount; ++b) {
    const int t = state.blockSet[b];
    int16_t difference;
    bool ended;
    if (!ReadDcDifference(state, reader, t, difference, ended)) return 0;
    int16_t& predictor = state.dcPredictor[state.blockPredictor[b]];
    predictor = static_cast<int16_t>(static_cast<uint16_t>(predictor + difference));
    blocks[b][0] = Scaled(predictor, al);
  }
  return 1;
}

// A DC refinement scan: one bit of each block's DC, at bit Al.
int DecodeDcRefine(DecoderState& state, BitReader& reader, int16_t* const* blocks) {
  const uint16_t bit = static_cast<uint16_t>(1u << state.approxLow);
  for (int b = 0; b < state.blockCount; ++b) {
    if (ReadBits(state, reader, 1) != 0) blocks[b][0] = static_cast<int16_t>(static_cast<uint16_t>(blocks[b][0]) | bit);
  }
  return 1;
}

// An AC first scan of band Ss..Se: runs of zeros and coefficients (stored at
// bit Al) up to an end of band, which may end the next EOBRUN blocks too.
// With kWhole, a code and magnitude that lie whole in the buffered bits and
// in the fast table (fastAcWhole) are read in one look-up: the same bits
// and value, and no refill the plain reading would make between them.
template <bool kWhole>
int DecodeAcFirst(DecoderState& state, BitReader& reader, int16_t* const* blocks) {
  if (state.eobRun > 0) {
    --state.eobRun;
    return 1;
  }
  int16_t* block = blocks[0];
  const uint32_t al = state.approxLow;
  const int end = state.spectralEnd;
  for (int k = state.spectralStart; k <= end;) {
    if (kWhole) {
      if (reader.count <= 16 && reader.marker == 0) Refill(state, reader, RefillKind::kCode, 0);
      const int32_t entry = state.fastAcWhole[0].entry[reader.buffer >> (32 - kFastAcBits)];
      const uint32_t length = static_cast<uint32_t>(entry & 0x1F);
      const int run = (entry >> 8) & 0xFF;
      if ((entry & kAcWhole) != 0 && length <= reader.count && k + run <= end) {
        Consume(reader, length);
        k += run;
        block[k] = Scaled(entry >> 16, al);
        ++k;
        continue;
      }
    }
    const int rs = ReadAcSymbol(state, reader, 0);
    const uint32_t size = static_cast<uint32_t>(rs & 15);
    const int run = rs >> 4;
    // No code, a size no 8-bit stream has, or a coefficient past the band.
    if (rs < 0 || size > kMaxAcSize || (size != 0 && k + run > end)) {
      if (!EndBlockAfterDataEnd(state)) return 0;
      break;
    }
    if (size != 0) {
      k += run;
      if (size > reader.count && reader.marker == 0) Refill(state, reader, RefillKind::kAcMagnitude, size);
      block[k] = Scaled(ReceiveExtend(reader, size), al);
      ++k;
    } else if (run == 15) {
      k += 16;  // ZRL
    } else {
      // EOBn: this block and 2^n - 1 + (n bits) more end here.
      uint32_t blocksEnded = 1u << run;
      if (run != 0) blocksEnded += ReadBits(state, reader, static_cast<uint32_t>(run));
      state.eobRun = blocksEnded - 1;
      break;
    }
  }
  return 1;
}

// One correction bit of a coefficient already nonzero: it moves the
// magnitude up by 2^Al (away from zero) when set and that bit is not yet.
inline void RefineNonzero(DecoderState& state, BitReader& reader, int16_t& coefficient, int32_t bit) {
  if (ReadBits(state, reader, 1) == 0) return;
  if ((coefficient & bit) != 0) return;
  coefficient = static_cast<int16_t>(coefficient >= 0 ? coefficient + bit : coefficient - bit);
}

// An AC refinement scan of band Ss..Se: new coefficients of magnitude 2^Al
// after runs of zeros, with a correction bit for every nonzero coefficient
// passed on the way; an end of band refines the rest of the band's nonzero
// coefficients (in this block and the EOBRUN blocks after it).
//
// The band's nonzero coefficients from k on are kept as a mask (`ahead`),
// taken once from the block (from the band alone: scans of other bands may
// be decoding the same block on other threads): a symbol's run of zeros is counted in the
// stretches between them, and each one passed is refined as it is passed.
// Those the symbols make nonzero lie before where they leave k, so the
// mask stays true from k on.
int DecodeAcRefine(DecoderState& state, BitReader& reader, int16_t* const* blocks) {
  int16_t* block = blocks[0];
  const int32_t bit = 1 << state.approxLow;
  const int end = state.spectralEnd;
  int k = state.spectralStart;
  uint64_t ahead = NonzeroMaskBand(block, k, end);
  if (state.eobRun == 0) {
    while (k <= end) {
      const int rs = ReadAcSymbol(state, reader, 0);
      const uint32_t size = static_cast<uint32_t>(rs & 15);
      const int run = rs >> 4;
      // A new coefficient is +-1 at bit Al: size 1 and its sign bit.
      if (rs < 0 || size > 1) {
        if (!EndBlockAfterDataEnd(state)) return 0;
        return 1;
      }
      int32_t value = 0;
      if (size != 0) {
        value = ReadBits(state, reader, 1) != 0 ? bit : -bit;
      } else if (run != 15) {
        uint32_t blocksEnded = 1u << run;
        if (run != 0) blocksEnded += ReadBits(state, reader, static_cast<uint32_t>(run));
        state.eobRun = blocksEnded;
        break;
      }
      // Pass `run` zero coefficients (ZRL: 16), refining the nonzero ones;
      // the new coefficient takes the zero position after them.
      int place = k;
      int zeros = run;
      for (; ahead != 0; ahead &= ahead - 1) {
        const int next = __builtin_ctzll(ahead);
        if (next - place > zeros) break;
        zeros -= next - place;
        place = next + 1;
        RefineNonzero(state, reader, block[next], bit);
      }
      place += zeros;
      if (value != 0) {
        if (place > end) {  // no zero position left in the band for it
          if (!EndBlockAfterDataEnd(state)) return 0;
          return 1;
        }
        block[place] = static_cast<int16_t>(value);
      }
      k = place + 1;
    }
  }
  if (state.eobRun > 0) {
    // Only the nonzero coefficients of k..end read a bit.
    for (; ahead != 0; ahead &= ahead - 1) RefineNonzero(state, reader, block[__builtin_ctzll(ahead)], bit);
    --state.eobRun;
  }
  return 1;
}

using McuDecoder = int (*)(DecoderState& state, BitReader& reader, int16_t* const* blocks);

}  // namespace

// Whether a scan follows on from the earlier ones of its components: each
// coefficient's first scan once and at Ah = 0, each refinement one bit below
// the last, and no AC band before a DC scan. Records the scan's Al.
void TrackProgression(DecoderState& state) {
  for (int j = 0; j < state.scanComponents; ++j) {
    int8_t* bits = state.coefficientBits[state.scanComponent[j]];
    if (state.spectralStart != 0 && bits[0] < 0) state.oddProgression = true;
    for (int k = state.spectralStart; k <= state.spectralEnd; ++k) {
      // A coefficient's first scan comes once (Ah 0 after a scan of it: a
      // band coded again), each refinement at the last scan's Al.
      const int expected = bits[k] < 0 ? 0 : bits[k];
      if (state.approxHigh != expected || (bits[k] >= 0 && state.approxHigh == 0)) state.oddProgression = true;
      bits[k] = static_cast<int8_t>(state.approxLow);
    }
  }
}

void LatchQuantTables(DecoderState& state) {
  for (int j = 0; j < state.scanComponents; ++j) {
    const int c = state.scanComponent[j];
    if (state.latched & (1u << c)) continue;
    state.latched = static_cast<uint8_t>(state.latched | 1u << c);
    const uint16_t* zigzag = state.quantTable[state.frame[c].quantTable];
    memcpy(state.latchedQuant[c], zigzag, sizeof state.latchedQuant[c]);
  }
}

namespace {

// The MCUs of one scan through `Decode`. The bit reader stays in `reader`
// from MCU to MCU; the state's copy is brought up to date where FinishMcu
// has work beyond counting (a restart interval, a marker met in the data).
template <McuDecoder Decode>
int DecodeScanMcus(DecoderState& state) {
  // An AC first scan's end-of-band run ends whole blocks without a bit.
  const bool skipRuns = Decode == DecodeAcFirst<false> || Decode == DecodeAcFirst<true>;
  int16_t* blocks[kMaxMcuBlocks];
  BitReader reader = TakeReader(state);
  uint32_t mx = 0, my = 0;
  uint32_t synced = UINT32_MAX;
  for (uint32_t mcu = 0; mcu < state.mcuTotal;) {
    if (skipRuns && state.eobRun > 1 && state.restartInterval == 0 && reader.marker == 0) {
      // Every MCU of the run but the last at once: each would only count.
      uint32_t n = state.eobRun - 1;
      if (n > state.mcuTotal - 1 - mcu) n = state.mcuTotal - 1 - mcu;
      state.eobRun -= n;
      state.mcuNumber += n;
      mcu += n;
      mx += n;
      if (mx >= state.scanMcuColumns) {
        my += mx / state.scanMcuColumns;
        mx %= state.scanMcuColumns;
      }
      if (n != 0) continue;
    }
    // Every block outside an end-of-band run reads at least one bit: once
    // none of the data's own bits are left, the rest of the scan did not
    // arrive, and its blocks keep what the earlier scans gave them.
    if (state.eobRun == 0 && state.dataEnded && static_cast<int32_t>(reader.count) <= static_cast<int32_t>(reader.fake)) {
      state.damaged = true;
      break;
    }
    ScanRowStarts(state, my, synced);
    LocateScanBlocks(state, mx, my, blocks);
    // The blocks eight on, ahead of their use: the scan streams through
    // the store, which is far larger than the caches.
    const uintptr_t ahead = reinterpret_cast<uintptr_t>(blocks[0]) + 8 * 64 * sizeof(int16_t);
    __builtin_prefetch(reinterpret_cast<const void*>(ahead), 1);
    __builtin_prefetch(reinterpret_cast<const void*>(ahead + 64), 1);
    if (!Decode(state, reader, blocks)) {
      PutReader(state, reader);
      state.status = kZfBadData;
      state.failedMcu = mcu;
      return 0;
    }
    if (state.restartInterval == 0 && reader.marker == 0) {
      // FinishMcu's count and damage check, on the working copy.
      if (static_cast<int32_t>(reader.count) < static_cast<int32_t>(reader.fake)) {
        state.damaged = true;
        reader.fake = 0;
      }
      ++state.mcuNumber;
    } else {
      PutReader(state, reader);
      if (!FinishMcu(state)) {
        state.status = kZfBadData;
        state.failedMcu = mcu;
        return 0;
      }
      reader = TakeReader(state);
    }
    ++mcu;
    if (++mx == state.scanMcuColumns) {
      mx = 0;
      ++my;
    }
  }
  PutReader(state, reader);
  return 1;
}

}  // namespace

int DecodeProgressiveScan(DecoderState& state, bool fastTables) {
  if (state.spectralStart == 0) {
    return state.approxHigh != 0 ? DecodeScanMcus<DecodeDcRefine>(state) : DecodeScanMcus<DecodeDcFirst>(state);
  }
  if (state.approxHigh != 0) return DecodeScanMcus<DecodeAcRefine>(state);
  if (!fastTables || state.quant[0] == nullptr) return DecodeScanMcus<DecodeAcFirst<false>>(state);
  BuildFastAcEntries(state.fastAc[0], state.limitsAc[0], state.acSpec[0], state.quant[0], state.fastAcWhole[0]);
  return DecodeScanMcus<DecodeAcFirst<true>>(state);
}
