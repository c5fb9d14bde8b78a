// The entropy decoding of mcu_decode.cpp for the common case, with the same
// 32-bit bit reader refilled on the same schedule, so that at every step
// bitBuffer and bitCount are exactly what DecodeMcu would hold. What it does
// not handle it does not approximate: within two bytes of the stream's end,
// when the MCU uses bits past a marker, when DecodeMcu's refills would meet
// a marker without a restart interval, or on anything DecodeMcu would
// refuse, it drops what it did and runs DecodeMcu on the untouched state. MCUs of
// made-up zero bits, after the data has ended, come from a record of what
// DecodeMcu gave for the same bit-reader state (DecodeMadeUpMcu).
//
// Why the shortcuts are exact, given DecodeMcu meets no marker in the MCU:
//  - every refill before a code finds bitCount <= 16 and adds 16 bits, so a
//    code is always read with at least 16 bits buffered: the short read of
//    fewer than 8 bits never happens and bitCount never wraps;
//  - a code and its magnitude of up to kFastAcBits (10) bits together are
//    consumed at once: with 16 or more bits buffered the magnitude refill
//    could not have run between them;
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

// The bits themselves come from a 64-bit window over the data bytes, refilled
// without a branch before every code (8 bytes read, as many whole bytes
// taken as fit). A window holding a 0xFF is filled byte by byte, undoing the
// stuffing; a marker, or fewer than 8 bytes left in the stream, gives up.
//
// Where the next 0xFF lies is looked up once (memchr) and kept, so that the
// check before a fill is one comparison: 8 bytes from `pos` hold no 0xFF and
// lie inside the stream exactly when `limit - pos >= 8`.
struct Window {
  const uint8_t* pos;   // the first byte not yet in `bits`
  const uint8_t* end;   // the stream's end
  const uint8_t* limit; // the first 0xFF at or after the MCU's start (or a later fill's), or `end`
  uint64_t bits;        // the data from the decode position on, first bit at the top
  uint32_t count;       // how many of them are valid, at least 56 after a fill
  uint32_t stuffed;     // stuffed 0x00 bytes skipped
  // The window has reached a marker (`pos` at its first 0xFF): only zero
  // bits follow, as in DecodeMcu's reader once it meets one.
  bool atMarker;
  // The 0xFF at `limit` begins a marker (or a fill byte before one) and
  // lies at least 8 bytes before the stream's end.
  bool limitIsMarker;
};

bool MarkerAt(const uint8_t* limit, const uint8_t* end) { return end - limit >= 8 && limit[1] != 0x00; }

const uint8_t* FindByteFF(const uint8_t* pos, const uint8_t* end) {
  const void* found = memchr(pos, 0xFF, static_cast<size_t>(end - pos));
  return found != nullptr ? static_cast<const uint8_t*>(found) : end;
}

inline void FillFrom8Bytes(Window& w) {
  uint64_t x;
  memcpy(&x, w.pos, 8);
  x = __builtin_bswap64(x);
  // The bytes past the whole ones taken land below `count`: they are the
  // next data bytes, so the next fill writes the same bits over them.
  w.bits |= x >> w.count;
  w.pos += (63 - w.count) >> 3;
  w.count |= 56;
}

// Within 8 bytes of a marker at `limit` (pos + 8 <= end): the data bytes
// before it and zero bits after them go in as one fill of 8 bytes with those
// from the 0xFF on cleared; the window stops at the marker once all are
// taken. What lies below `count` came from the same bytes before the 0xFF
// (or is zero), so the bits past the marker stay zero. Once at the marker,
// with `count` perhaps wrapped, it adds nothing and moves nothing.
inline void FillBeforeMarker(Window& w) {
  const uint32_t before = static_cast<uint32_t>(w.limit - w.pos);
  uint64_t x;
  memcpy(&x, w.pos, 8);
  x = before == 0 ? 0 : __builtin_bswap64(x) & ~uint64_t{0} << (64 - 8 * before);
  w.bits |= x >> (w.count & 63);
  const uint32_t room = (63 - w.count) >> 3;
  const uint32_t take = before < room ? before : room;
  w.pos += take;
  w.count += 8 * take;
  w.atMarker = w.pos == w.limit;
}

bool FillStuffed(Window& w) {
  while (w.count < 56) {
    if (w.end - w.pos < 2) return false;
    const uint8_t b = w.pos[0];
    if (b == 0xFF) {
      if (w.pos[1] != 0x00) {  // a marker (or a fill byte before one)
        w.atMarker = true;
        w.bits &= w.count == 0 ? 0 : ~uint64_t{0} << (64 - w.count);
        return true;
      }
      w.pos += 2;
      ++w.stuffed;
    } else {
      w.pos += 1;
    }
    w.bits |= static_cast<uint64_t>(b) << (56 - w.count);
    w.count += 8;
  }
  return true;
}

// A 0xFF or the stream's end within 8 bytes, or `limit` left behind. The
// data bytes before the 0xFF are taken together; the 0xFF is then a stuffed
// data byte, or the marker the window stops at. Within 8 bytes of the
// stream's end, byte by byte.
__attribute__((noinline)) bool FillNearByteFF(Window& w) {
  while (!w.atMarker && w.count < 56) {
    if (w.pos > w.limit) {  // past the 0xFF: the next one
      w.limit = FindByteFF(w.pos, w.end);
      w.limitIsMarker = MarkerAt(w.limit, w.end);
    }
    if (w.limit - w.pos >= 8) {
      FillFrom8Bytes(w);
      return true;
    }
    if (w.end - w.pos < 8) return FillStuffed(w);
    const uint32_t before = static_cast<uint32_t>(w.limit - w.pos);
    if (w.end - w.limit >= 2 && w.limit[1] != 0x00) {  // a marker (or a fill byte before one)
      FillBeforeMarker(w);
      return true;
    }
    const uint32_t needed = (56 - w.count + 7) >> 3;
    const uint32_t take = before < needed ? before : needed;
    if (take != 0) {
      uint64_t x;
      memcpy(&x, w.pos, 8);
      x = __builtin_bswap64(x) & ~uint64_t{0} << (64 - 8 * take);
      w.bits |= x >> w.count;
      w.count += 8 * take;
      w.pos += take;
      continue;
    }
    // At the 0xFF, with its next byte inside the stream.
    if (w.pos[1] != 0x00) {  // a marker (or a fill byte before one)
      w.atMarker = true;
      w.bits &= w.count == 0 ? 0 : ~uint64_t{0} << (64 - w.count);
      return true;
    }
    w.bits |= uint64_t{0xFF} << (56 - w.count);
    w.count += 8;
    w.pos += 2;
    ++w.stuffed;
  }
  return true;
}

inline bool Fill(Window& w) {
  if (__builtin_expect(w.limit - w.pos < 8, 0)) {
    // A restart interval's marker: without a call or a branch on the bytes.
    if (w.limitIsMarker) {
      FillBeforeMarker(w);
      return true;
    }
    // Full, or at a marker (only zero bits follow).
    if (w.atMarker || w.count >= 56) return true;
    // Through a copy, so that the window itself can stay in registers.
    Window copy = w;
    const bool filled = FillNearByteFF(copy);
    w = copy;
    return filled;
  }
  FillFrom8Bytes(w);
  return true;
}

// DecodeMcu's bit reader, of which only bitCount is kept: its bitBuffer is
// always the first bitCount bits of the window, and the data bytes its
// refills took follow from the bits used (see the end of TryDecodeMcu).
struct Schedule {
  uint32_t count;  // DecodeMcu's bitCount
};

// bitCount after the refill before a code: 16 bits more when it is <= 16.
// Before a code bitCount is at most 32 here (a code finds at least 16 bits
// and takes at most 16; a magnitude refill leaves at most 26), so one byte
// of it indexes the table.
struct CodeRefillTable {
  uint8_t after[256];
  constexpr CodeRefillTable() : after() {
    for (uint32_t count = 0; count < 256; ++count) after[count] = static_cast<uint8_t>(count <= 16 ? count + 16 : count);
  }
};
constexpr CodeRefillTable kCodeRefill;

inline void RefillBeforeCode(Schedule& s) { s.count = kCodeRefill.after[static_cast<uint8_t>(s.count)]; }

// The refill before a magnitude of `size` bits (no branch).
inline void RefillBeforeMagnitude(Schedule& s, uint32_t size) { s.count += static_cast<uint32_t>(size > s.count) << 4; }

inline void Consume(Window& w, Schedule& s, uint32_t n) {
  w.bits <<= n;
  w.count -= n;
  s.count -= n;
}

inline uint32_t Peek(const Window& w, uint32_t n) { return static_cast<uint32_t>(w.bits >> (64 - n)); }

// A Huffman symbol as DecodeMcu reads it with 8 or more bits buffered: the
// 8-bit prefix table, then the limit read from length 9. -1: no code.
inline int DecodeSymbol(Window& w, Schedule& s, const FastLookupTable& fast, const CodeLimitTable& limits,
                        const HuffmanSpec* spec) {
  const uint32_t prefix = Peek(w, 8);
  if (fast.length[prefix] != 0) {
    Consume(w, s, fast.length[prefix]);
    return fast.symbol[prefix];
  }
  uint32_t length;
  const int symbol = LimitRead(Peek(w, 32), 9, limits, spec, length);
  if (symbol >= 0) Consume(w, s, length);
  return symbol;
}

// Where DecodeMcu's position stands after `dataBytes` data bytes from
// `pos` (the window has checked that they hold no marker); no 0xFF lies
// between `pos` and `byteFF`.
const uint8_t* AfterDataBytes(const uint8_t* pos, uint32_t dataBytes, const uint8_t* byteFF) {
  if (byteFF - pos >= static_cast<ptrdiff_t>(dataBytes)) return pos + dataBytes;
  for (uint32_t i = 0; i < dataBytes; ++i) pos += pos[0] == 0xFF ? 2 : 1;
  return pos;
}

// The AC symbols of one block, from k = 1; one step is one symbol.
struct AcBlock {
  int16_t* block;
  const FastAcTable* whole;
  const CodeLimitTable* limits;
  const HuffmanSpec* spec;
  int k;
};

enum Step { kMore, kBlockDone, kGiveUp };

// One AC symbol of the block. With kStore false, for a block whose AC
// coefficients nothing reads: the same symbols, magnitudes and reader
// steps, the same ends and give-ups, nothing stored.
template <bool kStore>
__attribute__((always_inline)) inline Step AcStepOf(Window& w, Schedule& sc, AcBlock& a) {
  RefillBeforeCode(sc);
  const int32_t e = a.whole->entry[Peek(w, kFastAcBits)];
  if (e & kAcWhole) {
    a.k += (e >> 8) & 15;
    Consume(w, sc, static_cast<uint32_t>(e & 31));
    if (kStore) {
      // Stored before the check that k is inside the block: place[k] keeps
      // the store there, and the MCU is given up.
      const uint32_t place = a.whole->place[a.k];
      a.block[place & 0xFFFF] =
          static_cast<int16_t>(static_cast<uint16_t>((e >> 16) * static_cast<int32_t>(place >> 16)));
    }
    if (++a.k < 64) return kMore;
    return a.k == 64 ? kBlockDone : kGiveUp;
  }
  int rs;
  if (e & kAcCode) {
    Consume(w, sc, static_cast<uint32_t>(e & 31));
    rs = (e >> 8) & 0xFF;
  } else {
    uint32_t length;
    rs = LimitRead(Peek(w, 32), 9, *a.limits, a.spec, length);
    if (rs < 0) return kGiveUp;
    Consume(w, sc, length);
  }
  if (rs == 0x00) return kBlockDone;  // EOB
  const uint32_t size = static_cast<uint32_t>(rs & 15);
  const int run = rs >> 4;
  if (size == 0) {
    if (run != 15) return kGiveUp;
    a.k += 16;  // ZRL; past the end it ends the block
    return a.k < 64 ? kMore : kBlockDone;
  }
  if (size > 10) return kGiveUp;
  a.k += run;
  if (a.k > 63) return kGiveUp;
  RefillBeforeMagnitude(sc, size);
  if (kStore) {
    const int16_t v = Extend(Peek(w, size), size);
    const uint32_t place = a.whole->place[a.k];
    a.block[place & 0xFFFF] = static_cast<int16_t>(static_cast<uint16_t>(v * static_cast<int32_t>(place >> 16)));
  }
  Consume(w, sc, size);
  return ++a.k == 64 ? kBlockDone : kMore;
}

// The schedule after symbols read in one look-up of the pair or skip
// table, from the two numbers its entry keeps: a + 1 and 17 + a - their
// bits, where a is the bits of all but the last of them. A symbol of at
// most 16 bits never refills before its magnitude (the refill before its
// code leaves at least 16 bits), and the refill before a code takes n bits
// (1..32) to ((n - 1) & 15) + 17. So from n >= 1, one symbol of t bits
// leaves ((n - 1) & 15) + 17 - t, and two of t1 then t2 bits
// ((n - 1 - t1) & 15) + 17 - t2 (the second refill starts from at least
// 17 - 12), and so on: each refill starts from 5..32 and the 16s it adds
// vanish under the mask, for any count of symbols. n = 0 (the buffer ran
// dry) is left to the one-symbol step.
inline void ScheduleAfterLookUp(Schedule& s, uint32_t aPlusOne, uint32_t rest) {
  s.count = ((s.count - aPlusOne) & 15) + rest;
}

// One look-up of the pair table: the one or two symbols it holds, as that
// many one-symbol steps would read (and with kStore, store) them. Where it
// holds none, or they would run past the block's end, or the schedule holds
// no bits, one such step.
template <bool kStore>
__attribute__((always_inline)) inline Step PairStepOf(Window& w, Schedule& sc, AcBlock& a) {
  const uint64_t e = a.whole->pair[Peek(w, kFastAcBits)];
  const int advance = static_cast<int>(e >> 15 & 127);
  if (__builtin_expect(a.k + advance > 64 || sc.count == 0, 0)) return AcStepOf<kStore>(w, sc, a);
  const uint32_t bits = e & 15;
  w.bits <<= bits;
  w.count -= bits;
  ScheduleAfterLookUp(sc, e >> 22 & 31, e >> 27 & 31);
  if (kStore) {
    // The second store is the first one again where there is one symbol.
    const uint32_t first = a.whole->place[a.k + static_cast<int>(e >> 6 & 15)];
    a.block[first & 0xFFFF] =
        static_cast<int16_t>(static_cast<uint16_t>(static_cast<int16_t>(e >> 32) * static_cast<int32_t>(first >> 16)));
    const uint32_t second = a.whole->place[a.k + static_cast<int>(e >> 10 & 31)];
    a.block[second & 0xFFFF] = static_cast<int16_t>(
        static_cast<uint16_t>(static_cast<int16_t>(e >> 48) * static_cast<int32_t>(second >> 16)));
  }
  a.k += advance;
  if ((e & kPairEob) != 0) return kBlockDone;
  return a.k < 64 ? kMore : kBlockDone;
}

// A block's AC symbols through the pair table, the first look-up sharing
// the DC's fill (27 + 27 bits), then two a fill; the block's end or kGiveUp
// (where a fill fails too).
template <bool kStore>
__attribute__((always_inline)) inline Step PairSteps(Window& w, Schedule& sc, AcBlock& a) {
  Step step = PairStepOf<kStore>(w, sc, a);
  while (step == kMore) {
    if (!Fill(w)) return kGiveUp;
    step = PairStepOf<kStore>(w, sc, a);
    if (step == kMore) step = PairStepOf<kStore>(w, sc, a);
  }
  return step;
}

__attribute__((always_inline)) inline Step AcSkipStep(Window& w, Schedule& sc, AcBlock& a) {
  return AcStepOf<false>(w, sc, a);
}

// One look-up of the skip table for a block whose AC coefficients nothing
// reads: the symbols it holds, as that many AcSkipSteps would read them.
// Where it holds none, or they would reach the block's last position (where
// the block ends without EOB or is refused), or the schedule holds no bits,
// one AcSkipStep between two fills. Needs kSkipBits bits in the window;
// after it, at most kSkipBits fewer, or a full window.
__attribute__((always_inline)) inline Step SkipStep(Window& w, Schedule& sc, AcBlock& a, const FastSkipTable& skip) {
  const uint32_t e = skip.entry[Peek(w, kSkipBits)];
  const int advance = static_cast<int>(e >> 9 & 63);
  if (__builtin_expect(a.k + advance > 63 || sc.count == 0, 0)) {
    if (!Fill(w)) return kGiveUp;
    const Step step = AcSkipStep(w, sc, a);
    if (step == kMore && !Fill(w)) return kGiveUp;
    return step;
  }
  const uint32_t bits = e & 31;
  w.bits <<= bits;
  w.count -= bits;
  ScheduleAfterLookUp(sc, e >> 16 & 31, e >> 24);
  a.k += advance;
  return (e >> 8 & 1) != 0 ? kBlockDone : kMore;
}

// One AC symbol (rs, its code's length) as a skip-table entry of one
// symbol, or none for a symbol the table leaves to AcSkipStep.
uint32_t SkipEntryOfOne(uint32_t rs, uint32_t length) {
  const uint32_t size = rs & 15;
  uint32_t advance;
  if (size == 0) {
    if (rs != 0x00 && rs != 0xF0) return kSkipNone << 5;
    advance = rs == 0x00 ? 0 : 16;
  } else {
    if (size > 10) return kSkipNone << 5;
    advance = (rs >> 4) + 1;
  }
  const uint32_t bits = length + size;
  if (bits > kSkipBits) return kSkipNone << 5;
  return bits | advance << 5 | static_cast<uint32_t>(rs == 0x00) << 11;
}

// The blocks of one MCU into `blocks` from the window, the schedule and
// the predictors; false to give the MCU up (what it changed is then to be
// dropped). kDcOnly: the blocks marked in state.dcOnlyBlocks get their DC
// alone (block[0], as the full decode leaves it) and the rest of them is
// left as it was; everything else, the reader and predictors included, is
// as without it.
//
// A symbol (a code of up to 16 bits and a magnitude of up to 11) takes at
// most 27 bits, so one fill to 56 bits serves two symbols.
template <bool kDcOnly>
__attribute__((always_inline)) inline bool DecodeBlocks(DecoderState& state, int16_t* blocks, Window& w, Schedule& sc,
                                                        int16_t* predictor) {
  const int blockCount = BlockCount(state);

  for (int b = 0; b < blockCount; ++b) {
    const int t = state.blockSet[b];
    const uint16_t* q = state.quant[t];
    int16_t* block = blocks + b * 64;
    const bool dcOnly = kDcOnly && (state.dcOnlyBlocks >> b & 1) != 0;
    if (!dcOnly) ZeroBlocks(block, 1);

    if (!Fill(w)) return false;
    RefillBeforeCode(sc);
    // A code and magnitude of at most 16 bits together: no refill between.
    const int32_t whole = state.fastDcWhole[t].entry[Peek(w, kFastDcBits)];
    int16_t difference;
    if (__builtin_expect((whole & kDcWhole) != 0, 1)) {
      Consume(w, sc, static_cast<uint32_t>(whole & 15));
      difference = static_cast<int16_t>(whole >> 5);
    } else {
      const int dcSize = DecodeSymbol(w, sc, state.fastDc[t], state.limitsDc[t], state.dcSpec[t]);
      if (dcSize < 0 || dcSize > 11) return false;
      const uint32_t s = static_cast<uint32_t>(dcSize);
      RefillBeforeMagnitude(sc, s);
      // Without a branch on s == 0: the top s bits, none for s == 0,
      // extended (0 stays 0).
      difference = Extend(static_cast<uint32_t>((w.bits >> 1) >> (63 - s)), s);
      Consume(w, sc, s);
    }
    int16_t& p = predictor[state.blockPredictor[b]];
    p = static_cast<int16_t>(static_cast<uint16_t>(p + difference));
    state.blockDc[b] = p;
    block[0] = static_cast<int16_t>(static_cast<uint16_t>(p * q[0]));

    AcBlock a{block, &state.fastAcWhole[t], &state.limitsAc[t], state.acSpec[t], 1};
    if (dcOnly) {
      Step step;
      if (state.fastAcSkipBuilt) {
        // Two look-ups share the DC's fill (27 + 2 * 12 bits), four a fill.
        const FastSkipTable& skip = state.fastAcSkip[t];
        step = SkipStep(w, sc, a, skip);
        if (step == kMore) step = SkipStep(w, sc, a, skip);
        while (step == kMore) {
          if (!Fill(w)) return false;
          step = SkipStep(w, sc, a, skip);
          if (step == kMore) step = SkipStep(w, sc, a, skip);
          if (step == kMore) step = SkipStep(w, sc, a, skip);
          if (step == kMore) step = SkipStep(w, sc, a, skip);
        }
      } else {
        step = PairSteps<false>(w, sc, a);
      }
      if (step == kGiveUp) return false;
      if (p == -32768) block[0] = 0;
      continue;
    }
    if (PairSteps<true>(w, sc, a) == kGiveUp) return false;
    if (p == -32768) memset(block, 0, 64 * sizeof *block);
  }
  return true;
}

// The window for the MCU that begins at state.inputPos, with DecodeMcu's
// bitBuffer and bitCount, and the first 0xFF at or after it (looked up
// again only when the position has left the range the last lookup covers).
// With an interval's marker pending (`pending`), DecodeMcu refills nothing
// until the boundary: the window holds bitBuffer and zero bits after it, as
// at a marker, and never fills.
inline Window OpenWindow(DecoderState& state, bool pending) {
  const uint8_t* pos = state.inputPos;
  const auto at = [](const uint8_t* p) { return reinterpret_cast<uintptr_t>(p); };
  if (state.byteFF == nullptr || at(pos) < at(state.byteFFFrom) || at(pos) > at(state.byteFF)) {
    state.byteFFFrom = pos;
    state.byteFF = FindByteFF(pos, state.streamEnd);
  }
  const uint8_t* byteFF = state.byteFF;
  return Window{pos, state.streamEnd, pending ? pos : byteFF, static_cast<uint64_t>(state.bitBuffer) << 32,
                state.bitCount, 0, pending, !pending && MarkerAt(byteFF, state.streamEnd)};
}

// DecodeMcu's reader after MCUs the window decoded from `pos` (where they
// began, state.bitCount bits buffered then) with no marker met: refilled
// and checked by a fill after the last MCU. The bits used are the bitCount
// they began with plus the data bytes the window took, less what the
// window holds; DecodeMcu's refills supplied them and its bitCount is
// left, 16 bits (2 bytes) a refill.
// DecodeMcu holds at most 32 bits where the window holds 56 or more, so its
// position lies a few data bytes before the window's: for a long run, found
// from there (backwards over the stuffed 0x00 after each data byte 0xFF, never
// before `pos`) rather than from the run's start.
template <bool kLongRun>
inline void HandBack(DecoderState& state, const Window& w, const Schedule& sc, const int16_t* predictor,
                     const uint8_t* pos, const uint8_t* byteFF) {
  const uint32_t windowBytes = static_cast<uint32_t>(w.pos - pos) - w.stuffed;
  const uint32_t used = state.bitCount + 8 * windowBytes - w.count;
  const uint32_t dataBytes = (used + sc.count - state.bitCount) / 8;
  if (kLongRun && dataBytes <= windowBytes) {
    const uint8_t* at = w.pos;
    for (uint32_t back = windowBytes - dataBytes; back != 0; --back)
      at -= at - pos >= 2 && at[-1] == 0x00 && at[-2] == 0xFF ? 2 : 1;
    state.inputPos = at;
  } else {
    state.inputPos = AfterDataBytes(pos, dataBytes, byteFF);
  }
  state.bitBuffer = sc.count == 0 ? 0 : static_cast<uint32_t>(w.bits >> 32) & (~0u << (32 - sc.count));
  state.bitCount = sc.count;
  state.marker = 0;
  memcpy(state.dcPredictor, predictor, kMaxComponents * sizeof *predictor);
}

// One MCU into `blocks` (blockBuffer, but for runs ahead); false to leave it
// to DecodeMcu. kDcOnly: as DecodeBlocks.
template <bool kDcOnly>
bool TryDecodeMcu(DecoderState& state, int16_t* blocks) {
  if (state.bitCount > 32) return false;  // wrapped after a marker: DecodeMcu's business
  // At the start of an MCU, bitBuffer is the first bitCount bits of the
  // data, and the rest follows from inputPos.
  const uint8_t* pos = state.inputPos;
  const bool pending = state.restartInterval != 0 && state.marker != 0;
  Window w = OpenWindow(state, pending);
  const uint8_t* byteFF = state.byteFF;
  Schedule sc{state.bitCount};
  int16_t predictor[kMaxComponents];
  memcpy(predictor, state.dcPredictor, sizeof predictor);
  if (!DecodeBlocks<kDcOnly>(state, blocks, w, sc, predictor)) return false;

  if (pending) {
    // Bits past the buffered ones were used: DecodeMcu's business (damage).
    if (static_cast<int32_t>(w.count) < 0) return false;
    state.bitBuffer = w.count == 0 ? 0 : static_cast<uint32_t>(w.bits >> 32) & (~0u << (32 - w.count));
    state.bitCount = w.count;
    memcpy(state.dcPredictor, predictor, sizeof predictor);
    return true;
  }

  // DecodeMcu's bitBuffer is the first bitCount (at most 32) bits, and the
  // bytes its refills took must be checked ones: one more fill gives both.
  if (!Fill(w)) return false;
  // A 0xFF looked up past the first one was found from a position beyond
  // the next MCU's start: the next MCU looks again.
  if (w.limit != byteFF) state.byteFF = nullptr;
  // Bits past a marker were used: DecodeMcu's business (damage).
  if (w.atMarker && static_cast<int32_t>(w.count) < 0) return false;
  // The bits used in the MCU are the bitCount it began with plus the data
  // bytes the window took, less what the window holds; DecodeMcu's refills
  // supplied them and its bitCount is left, 16 bits (2 bytes) a refill.
  const uint32_t windowBytes = static_cast<uint32_t>(w.pos - pos) - w.stuffed;
  const uint32_t used = state.bitCount + 8 * windowBytes - w.count;
  const uint32_t dataBytes = (used + sc.count - state.bitCount) / 8;
  // With the window at a marker, DecodeMcu's refills met it too when they
  // took more than the data bytes before it.
  if (w.atMarker && dataBytes > windowBytes) {
    if (state.restartInterval == 0) return false;
    const uint32_t next = state.mcuNumber + 1;
    if (next % state.restartInterval != 0 || next >= state.mcuTotal) {
      // Before an interval's last MCU: DecodeMcu's refills took every data
      // byte before the marker, then the marker, and stopped; it keeps the
      // marker for the MCUs up to the boundary. None of its refills met the
      // marker first where that fails or makes up bits: those would have
      // used bits past the marker. Its fill bytes are passed as it passes
      // them; a 0xFF 0x00 after them is data, which it is left to read.
      const uint8_t* r = w.pos;
      while (w.end - r >= 3 && r[1] == 0xFF) ++r;
      // A marker that ends the data (EOI; in one of several scans, any but
      // a restart marker): which bits are made up is DecodeMcu's to track.
      if (w.end - r < 2 || r[1] == 0xFF || r[1] == 0x00 || EndsData(state, r[1])) return false;
      state.inputPos = r + 2;
      state.bitBuffer = w.count == 0 ? 0 : static_cast<uint32_t>(w.bits >> 32) & (~0u << (32 - w.count));
      state.bitCount = w.count;
      state.marker = r[1];
      memcpy(state.dcPredictor, predictor, sizeof predictor);
      return true;
    }
    // At the interval's last MCU what DecodeMcu leaves is dropped at the
    // boundary that follows, all but where the marker lies, and its search
    // from any position before the marker finds the same one, as its
    // refills did.
    state.inputPos = w.pos;
    state.bitBuffer = 0;
    state.bitCount = 0;
    state.marker = 0;
    memcpy(state.dcPredictor, predictor, sizeof predictor);
    return true;
  }
  HandBack<false>(state, w, sc, predictor, pos, byteFF);
  return true;
}

// MCUs one after another in one window: the block loop of TryDecodeMcu,
// each MCU checked as its end is (a fill, no marker met) and then handed
// to `each`, the reader handed back to DecodeMcu's form only after the
// last. Between MCUs DecodeMcu's reader would stand where HandBack puts it
// and the next MCU's window would hold the same bits from there on, so the
// blocks, the schedule and the window's bits are those of MCU-by-MCU
// decoding. A run stops before an MCU whose end is a restart boundary, at
// a marker, or where an MCU is given up: that MCU is left to the caller,
// the state handed back as after the last MCU the run gave.
template <bool kDcOnly>
uint32_t RunMcus(DecoderState& state, uint32_t limit, void (*each)(void*), void* context) {
  if (state.bitCount > 32 || state.marker != 0 || state.fakeBits != 0 || state.dataEnded) return 0;
  const uint8_t* pos = state.inputPos;
  Window w = OpenWindow(state, false);
  const uint8_t* byteFF = state.byteFF;
  Schedule sc{state.bitCount};
  int16_t predictor[kMaxComponents];
  memcpy(predictor, state.dcPredictor, sizeof predictor);
  // What the run has given: the window, schedule and predictors after it.
  Window givenWindow = w;
  Schedule givenSchedule = sc;
  int16_t given[kMaxComponents];
  memcpy(given, predictor, sizeof given);
  const uint32_t interval = state.restartInterval;
  uint32_t done = 0;
  while (done < limit) {
    const uint32_t next = state.mcuNumber + 1;
    if (interval != 0 && next % interval == 0 && next < state.mcuTotal) break;  // a restart after it
    if (!DecodeBlocks<kDcOnly>(state, state.blockBuffer, w, sc, predictor)) break;
    if (!Fill(w) || w.atMarker) break;
    givenWindow = w;
    givenSchedule = sc;
    memcpy(given, predictor, sizeof given);
    ++done;
    state.mcuNumber = next;
    each(context);
    if (next >= state.mcuTotal) break;
  }
  if (done == 0) return 0;
  if (givenWindow.limit != byteFF) state.byteFF = nullptr;
  HandBack<true>(state, givenWindow, givenSchedule, given, pos, byteFF);
  return done;
}

}  // namespace

void BuildFastSkipTable(const FastLookupTable& fast, const CodeLimitTable& limits, const HuffmanSpec* spec,
                        FastSkipTable& table) {
  constexpr uint32_t kPrefixes = 1u << kSkipBits;
  constexpr uint32_t kBelow = kSkipBits - 8;  // prefixes under one of the 8-bit table's
  // Each prefix's first symbol alone: the same for all the prefixes under
  // a code of up to 8 bits (the magnitude's bits do not matter here).
  uint16_t one[kPrefixes];
  for (uint32_t top = 0; top < 256; ++top) {
    uint16_t* at = one + (top << kBelow);
    if (fast.length[top] != 0) {
      const auto entry = static_cast<uint16_t>(SkipEntryOfOne(fast.symbol[top], fast.length[top]));
      for (uint32_t i = 0; i < (1u << kBelow); ++i) at[i] = entry;
      continue;
    }
    for (uint32_t i = 0; i < (1u << kBelow); ++i) {
      uint32_t length;
      const int rs = LimitRead((top << kBelow | i) << (32 - kSkipBits), 9, limits, spec, length);
      at[i] = static_cast<uint16_t>(rs < 0 ? kSkipNone << 5 : SkipEntryOfOne(static_cast<uint32_t>(rs), length));
    }
  }
  // Then the symbols after it, while they lie whole in the prefix (and
  // move the block on by less than kSkipNone together).
  for (uint32_t prefix = 0; prefix < kPrefixes; ++prefix) {
    const uint32_t first = one[prefix];
    uint32_t bits = first & 31;
    uint32_t advance = first >> 5 & 63;
    uint32_t end = first >> 11 & 1;
    uint32_t a = 0;
    while (advance != kSkipNone && end == 0) {
      const uint32_t next = one[(prefix << bits) & (kPrefixes - 1)];
      const uint32_t nextAdvance = next >> 5 & 63;
      if (nextAdvance == kSkipNone || bits + (next & 31) > kSkipBits || advance + nextAdvance >= kSkipNone) break;
      a = bits;
      bits += next & 31;
      advance += nextAdvance;
      end = next >> 11 & 1;
    }
    table.entry[prefix] = bits | end << 8 | advance << 9 | (a + 1) << 16 | (17 + a - bits) << 24;
  }
}

void BuildFastDcTable(const FastLookupTable& fast, FastDcTable& table) {
  constexpr uint32_t kBelow = kFastDcBits - 8;  // prefixes under one of the 8-bit table's
  for (uint32_t prefix = 0; prefix < (1u << kFastDcBits); ++prefix) {
    const uint32_t length = fast.length[prefix >> kBelow];
    const uint32_t size = fast.symbol[prefix >> kBelow];
    int32_t entry = 0;
    if (length != 0 && length + size <= kFastDcBits) {
      const uint32_t bits = prefix >> (kFastDcBits - length - size) & ((1u << size) - 1);
      entry = Extend(bits, size) * 32 | kDcWhole | static_cast<int32_t>(length + size);
    }
    table.entry[prefix] = static_cast<int16_t>(entry);
  }
}

void BuildFastAcEntries(const FastLookupTable& fast, const CodeLimitTable& limits, const HuffmanSpec* spec,
                        const uint16_t* quant, FastAcTable& table) {
  for (uint32_t k = 0; k < 80; ++k)
    table.place[k] = k < 64 ? static_cast<uint32_t>(quant[k]) << 16 | kZigzagToNatural[k] : 63;
  constexpr uint32_t kDrop = kFastAcBits - 8;  // from the prefix to the 8-bit table's
  for (uint32_t prefix = 0; prefix < (1u << kFastAcBits); ++prefix) {
    // What DecodeMcu reads from a buffer that begins with these bits.
    const uint32_t buffer = prefix << (32 - kFastAcBits);
    int rs;
    uint32_t length;
    if (fast.length[prefix >> kDrop] != 0) {
      rs = fast.symbol[prefix >> kDrop];
      length = fast.length[prefix >> kDrop];
    } else {
      rs = LimitRead(buffer, 9, limits, spec, length);
      if (rs < 0 || length > kFastAcBits) {
        table.entry[prefix] = 0;
        continue;
      }
    }
    const uint32_t size = static_cast<uint32_t>(rs & 15);
    if (size != 0 && size <= 10 && length + size <= kFastAcBits) {
      const uint32_t bits = (buffer << length) >> (32 - size);
      table.entry[prefix] = static_cast<int32_t>(static_cast<uint32_t>(Extend(bits, size)) << 16) |
                            (rs >> 4) << 8 | kAcWhole | static_cast<int32_t>(length + size);
    } else {
      table.entry[prefix] = rs << 8 | kAcCode | static_cast<int32_t>(length);
    }
  }
}

void BuildFastAcTable(const FastLookupTable& fast, const CodeLimitTable& limits, const HuffmanSpec* spec,
                      const uint16_t* quant, FastAcTable& table) {
  BuildFastAcEntries(fast, limits, spec, quant, table);
  // Then the pairs: each prefix's first symbol, and the symbol after it
  // where that lies whole in the bits left.
  constexpr uint32_t kMask = (1u << kFastAcBits) - 1;
  const auto isEob = [](int32_t entry) { return (entry & kAcCode) != 0 && (entry >> 8 & 0xFF) == 0; };
  for (uint32_t prefix = 0; prefix < (1u << kFastAcBits); ++prefix) {
    const int32_t first = table.entry[prefix];
    const bool firstEob = isEob(first);
    if ((first & kAcWhole) == 0 && !firstEob) {
      table.pair[prefix] = uint64_t{kPairNone} << 15;
      continue;
    }
    uint32_t bits = static_cast<uint32_t>(first & 31);
    const uint32_t run = firstEob ? 0 : static_cast<uint32_t>(first >> 8 & 15);
    const uint16_t value = firstEob ? 0 : static_cast<uint16_t>(static_cast<uint32_t>(first) >> 16);
    uint32_t second = run, advance = firstEob ? 0 : run + 1, a = 0;
    uint16_t secondValue = value;
    uint64_t eob = firstEob ? kPairEob : 0;
    if (!firstEob) {
      const int32_t next = table.entry[(prefix << bits) & kMask];
      const uint32_t nextBits = static_cast<uint32_t>(next & 31);
      const bool nextEob = isEob(next);
      if (((next & kAcWhole) != 0 || nextEob) && bits + nextBits <= kFastAcBits) {
        a = bits;
        bits += nextBits;
        if (nextEob) {
          eob = kPairEob;
          advance += 1;
        } else {
          second = run + 1 + static_cast<uint32_t>(next >> 8 & 15);
          advance = second + 1;
          secondValue = static_cast<uint16_t>(static_cast<uint32_t>(next) >> 16);
        }
      }
    }
    table.pair[prefix] = bits | eob | run << 6 | second << 10 | advance << 15 | (a + 1) << 22 |
                         (17 + a - bits) << 27 | uint64_t{value} << 32 | uint64_t{secondValue} << 48;
  }
}

namespace {

// MCUs of made-up zero bits. Once the data has ended, DecodeMcu reads the
// rest of the scan from zero bits, and every MCU reads the same symbols:
// the all-zero code of each table and zero magnitude bits (a code read with
// fewer than 8 bits buffered finds the same all-zero code as the fast read:
// it is the first code of the shortest length). Its blocks are then the same
// in every MCU but for the DCs, which advance by the difference the all-zero
// DC code gives, and a DC of -32768 leaves its block zero (the end mark of
// the scalar pass). Only its bit reader's bookkeeping (bitCount, fakeBits)
// moves, on a short cycle.
//
// So DecodeMcu decodes such MCUs until each state of the bit reader has been
// seen once; its blocks, checked against the DC rule, and the reader before
// and after are recorded, and an MCU that begins in a recorded state is
// given from the record. DecodeMcu is deterministic in the reader's state,
// so that is exact. bitCount at or above kFarBitCount (wrapped after a
// marker) stays above 2^31 through any MCU (one takes fewer than 2^16
// bits): no refill runs, no read is short and FinishMcu's damage check
// holds, so any two such counts decode alike and drop by the same amount.
constexpr uint32_t kFarBitCount = 0x80010000u;

// Whether every bit the MCU reads is a made-up zero: none are buffered,
// and no refill can add any but zero bits.
bool ReadsZeroBitsOnly(const DecoderState& state) {
  if (state.bitBuffer != 0) return false;
  if (state.bitCount >= kFarBitCount) return true;         // no refill runs
  if (state.inputPos >= state.streamEnd) return true;      // refills add zeros
  return state.restartInterval != 0 && state.marker != 0;  // refills stopped until the boundary
}

ZeroBitsMcu::Reader ReaderOf(const DecoderState& state) {
  return {state.inputPos, state.bitBuffer, state.bitCount, state.marker, state.fakeBits, state.dataEnded,
          state.damaged};
}

bool SameBefore(const ZeroBitsMcu::Reader& a, const ZeroBitsMcu::Reader& b) {
  const bool counts = a.bitCount >= kFarBitCount ? b.bitCount >= kFarBitCount : a.bitCount == b.bitCount;
  return counts && a.inputPos == b.inputPos && a.marker == b.marker && a.fakeBits == b.fakeBits &&
         a.dataEnded == b.dataEnded && a.damaged == b.damaged;
}

// The DC difference DecodeMcu reads from zero bits with tables t: the
// all-zero code's size, extended from zero bits (0 when it has none or a
// size no 8-bit stream has: then the block ends at its DC).
int16_t ZeroBitsDcStep(const DecoderState& state, int t) {
  uint32_t length;
  const int size = LimitRead(0, 1, state.limitsDc[t], state.dcSpec[t], length);
  return size > 0 && size <= 11 ? static_cast<int16_t>(kExtendOffset[size]) : int16_t{0};
}

// The MCU's blocks from the recorded ones and the DCs stepped on from
// `predictor`, which is left as after the MCU.
void ZeroBitsBlocks(const DecoderState& state, int16_t predictor[kMaxComponents], int16_t* blocks) {
  const ZeroBitsMcu& zero = state.zeroBits;
  const int count = BlockCount(state);
  for (int b = 0; b < count; ++b) {
    const int t = state.blockSet[b];
    int16_t& p = predictor[state.blockPredictor[b]];
    p = static_cast<int16_t>(static_cast<uint16_t>(p + zero.dcStep[t]));
    int16_t* block = blocks + b * 64;
    if (p == -32768) {
      memset(block, 0, 64 * sizeof *block);
      continue;
    }
    memcpy(block, zero.blocks + b * 64, 64 * sizeof *block);
    block[0] = static_cast<int16_t>(static_cast<uint16_t>(p * state.quant[t][0]));
  }
}

// After DecodeMcu has decoded an MCU that read zero bits only from
// `before`: records it, when FinishMcu did not restart after it and its
// blocks are what the DC rule gives.
void RecordZeroBitsMcu(DecoderState& state, const ZeroBitsMcu::Reader& before,
                       const int16_t predictorBefore[kMaxComponents]) {
  ZeroBitsMcu& zero = state.zeroBits;
  if (zero.entryCount == ZeroBitsMcu::kEntries) return;
  const bool last = state.mcuNumber >= state.mcuTotal;
  const bool restarted = !last && (state.restartInterval != 0
                                       ? state.mcuNumber % state.restartInterval == 0
                                       : state.marker != 0 && !EndsData(state, state.marker));
  if (restarted) return;
  const int count = BlockCount(state);
  const size_t bytes = static_cast<size_t>(count) * 64 * sizeof(int16_t);
  if (!zero.haveBlocks) {
    for (int j = 0; j < kMaxComponents; ++j) zero.dcStep[j] = j < state.scanComponents ? ZeroBitsDcStep(state, j) : 0;
    // The blocks with their DCs cleared, unless a DC of -32768 cleared a
    // whole block: then a later MCU gives them.
    int16_t p[kMaxComponents];
    memcpy(p, predictorBefore, sizeof p);
    for (int b = 0; b < count; ++b) {
      int16_t& q = p[state.blockPredictor[b]];
      q = static_cast<int16_t>(static_cast<uint16_t>(q + zero.dcStep[state.blockSet[b]]));
      if (q == -32768) return;
    }
    memcpy(zero.blocks, state.blockBuffer, bytes);
    for (int b = 0; b < count; ++b) zero.blocks[b * 64] = 0;
    zero.haveBlocks = true;
  }
  int16_t predictor[kMaxComponents];
  memcpy(predictor, predictorBefore, sizeof predictor);
  alignas(32) int16_t expected[kMaxMcuBlocks * 64];
  ZeroBitsBlocks(state, predictor, expected);
  if (memcmp(predictor, state.dcPredictor, sizeof predictor) != 0 || memcmp(expected, state.blockBuffer, bytes) != 0)
    return;
  ZeroBitsMcu::Reader after = ReaderOf(state);
  zero.entries[zero.entryCount++] = {before, after};
}

// DecodeMcu for an MCU of the damaged part of a stream: from the record
// where it can, else through DecodeMcu, recording what that gives.
__attribute__((noinline)) int DecodeMadeUpMcu(DecoderState& state) {
  if (!ReadsZeroBitsOnly(state)) return DecodeMcu(state);
  ZeroBitsMcu& zero = state.zeroBits;
  const ZeroBitsMcu::Reader before = ReaderOf(state);
  for (uint32_t i = 0; i < zero.entryCount; ++i) {
    uint32_t n = zero.nextEntry + i;
    if (n >= zero.entryCount) n -= zero.entryCount;
    const ZeroBitsMcu::Entry& entry = zero.entries[n];
    if (!SameBefore(entry.before, before)) continue;
    zero.nextEntry = n + 1 < zero.entryCount ? n + 1 : 0;
    ++zero.replayed;
    const uint32_t bitCount = state.bitCount - (entry.before.bitCount - entry.after.bitCount);
    state.inputPos = entry.after.inputPos;
    state.bitBuffer = entry.after.bitBuffer;
    state.bitCount = bitCount;
    state.marker = entry.after.marker;
    state.fakeBits = entry.after.fakeBits;
    state.dataEnded = entry.after.dataEnded;
    state.damaged = entry.after.damaged;
    ZeroBitsBlocks(state, state.dcPredictor, state.blockBuffer);
    // The recorded reader is after FinishMcu's damage check, which holds
    // again alike; it counts the MCU and restarts where one is due.
    return FinishMcu(state);
  }
  int16_t predictor[kMaxComponents];
  memcpy(predictor, state.dcPredictor, sizeof predictor);
  if (!DecodeMcu(state)) return 0;
  RecordZeroBitsMcu(state, before, predictor);
  return 1;
}

}  // namespace

namespace {

// Whether none of the four bytes of `v` is 0xFF.
inline bool NoByteFF(uint32_t v) {
  const uint32_t inverted = ~v;  // a 0xFF byte is a zero byte here
  return ((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0;
}

// FinishMcu after an MCU the fast path decoded (no made-up bits). With no
// marker pending, at the boundary of an interval whose marker lies right at
// inputPos and is followed by four data bytes, it takes the restart itself,
// as RestartAtBoundary would: what is buffered is dropped, the search meets
// the marker at once, and the four bytes load as they are.
inline int FinishFastMcu(DecoderState& state) {
  const uint32_t interval = state.restartInterval;
  const uint32_t next = state.mcuNumber + 1;
  const uint8_t* p = state.inputPos;
  if (interval == 0 || state.marker != 0 || next % interval != 0 || next >= state.mcuTotal ||
      state.streamEnd - p < 6 || p[0] != 0xFF)
    return FinishMcu(state);
  const uint8_t code = p[1];
  uint32_t bytes;
  memcpy(&bytes, p + 2, 4);
  bytes = __builtin_bswap32(bytes);
  if (code == 0x00 || code == 0xFF || EndsData(state, code) || !NoByteFF(bytes)) return FinishMcu(state);
  // The damage check of FinishMcu holds: fakeBits is 0 here.
  state.mcuNumber = next;
  state.boundaryPos = p + 2;
  for (int16_t& predictor : state.dcPredictor) predictor = 0;
  state.inputPos = p + 6;
  state.bitBuffer = bytes;
  state.bitCount = 32;
  state.fakeBits = 0;
  state.marker = 0;
  return 1;
}

}  // namespace

int DecodeMcuFast(DecoderState& state) {
  const bool markerPending = state.restartInterval != 0 && state.marker != 0;
  // Once the data has ended, which bits are made up is DecodeMcu's to track.
  const bool madeUpBits = state.fakeBits != 0 || state.dataEnded;
  // With a marker pending and bits still buffered the fast path reads them.
  if (madeUpBits || (markerPending && state.bitBuffer == 0)) return DecodeMadeUpMcu(state);
  if (!TryDecodeMcu<false>(state, state.blockBuffer)) return DecodeMcu(state);
  return FinishFastMcu(state);
}

int DecodeMcuFastDcOnly(DecoderState& state) {
  const bool markerPending = state.restartInterval != 0 && state.marker != 0;
  const bool madeUpBits = state.fakeBits != 0 || state.dataEnded;
  if (madeUpBits || (markerPending && state.bitBuffer == 0)) return DecodeMadeUpMcu(state);
  if (!TryDecodeMcu<true>(state, state.blockBuffer)) return DecodeMcu(state);
  return FinishFastMcu(state);
}

uint32_t DecodeMcuRun(DecoderState& state, uint32_t limit, void (*each)(void*), void* context) {
  return RunMcus<false>(state, limit, each, context);
}

uint32_t DecodeMcuRunDcOnly(DecoderState& state, uint32_t limit, void (*each)(void*), void* context) {
  return RunMcus<true>(state, limit, each, context);
}

int DecodeMcuAhead(DecoderState& state, int16_t* blocks) {
  if (!TryDecodeMcu<false>(state, blocks)) return 0;
  ++state.mcuNumber;
  return 1;
}
