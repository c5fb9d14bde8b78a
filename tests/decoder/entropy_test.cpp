// Entropy decoding of MCUs on hand-written bit streams: magnitudes, runs,
// the refusals, markers met by refills, the unsigned bitCount wrap, the two
// restart schemes.
#include <gtest/gtest.h>

#include <memory>

#include "decoder_state.h"
#include "test_support.h"

namespace {

using zentrafold::test::BitWriter;
using zentrafold::test::Bytes;

// A DecoderState set up as the scan set-up leaves it, over `data`.
class McuHarness {
 public:
  McuHarness(const Bytes& data, int components, uint32_t sampling = 0x11, uint32_t interval = 0,
             uint32_t mcuTotal = 1000)
      : data_(data), state_(std::make_unique<DecoderState>()) {
    dc_[0] = zentrafold::test::DcTable(0x00);
    dc_[1] = zentrafold::test::DcTable(0x01);
    ac_[0] = zentrafold::test::AcTable(0x10);
    ac_[1] = zentrafold::test::AcTable(0x11);
    for (auto& q : quant_) q.assign(64, 1);
    DecoderState& s = *state_;
    s.componentCount = static_cast<uint8_t>(components);
    s.samplingCode = sampling;
    for (int t = 0; t < 2; ++t) {
      s.dcSpec[t] = dc_[t].data();
      s.acSpec[t] = ac_[t].data();
      s.quant[t] = quant_[t].data();
      BuildFastTable(s.dcSpec[t], s.fastDc[t]);
      BuildFastTable(s.acSpec[t], s.fastAc[t]);
      BuildCodeLimits(s.dcSpec[t], s.limitsDc[t]);
      BuildCodeLimits(s.acSpec[t], s.limitsAc[t]);
    }
    SetKernelLayout(s);
    s.inputPos = data_.data();
    s.streamEnd = data_.data() + data_.size();
    s.restartInterval = interval;
    s.mcuTotal = mcuTotal;
    loaded_ = LoadBitBuffer(s) != 0;
  }

  bool loaded() const { return loaded_; }
  bool Next() { return DecodeMcu(*state_) != 0; }
  int16_t At(int block, int index) const { return state_->blockBuffer[block * 64 + index]; }
  DecoderState& state() { return *state_; }
  size_t Consumed() const { return static_cast<size_t>(state_->inputPos - data_.data()); }

 private:
  Bytes data_;
  Bytes dc_[2], ac_[2];
  std::vector<uint16_t> quant_[2];
  std::unique_ptr<DecoderState> state_;
  bool loaded_ = false;
};

// Bit-level writers for the test tables.
void Dc(BitWriter& w, int size, uint32_t bits = 0) {
  w.Put(static_cast<uint32_t>(size), 4);
  if (size > 0) w.Put(bits, size);
}
void Ac(BitWriter& w, int run, int size, uint32_t bits = 0) {
  w.Put(static_cast<uint32_t>(run << 4 | size), 8);
  if (size > 0) w.Put(bits, size);
}
void Eob(BitWriter& w) { w.Put(0, 8); }

Bytes Padded(BitWriter& w) {
  Bytes b = w.Take();
  b.insert(b.end(), 8, 0x00);  // room for the refills to read ahead
  return b;
}

TEST(EntropyDecoding, DcMagnitudesExtendAndPredict) {
  BitWriter w;
  Dc(w, 3, 5);    // +5
  Eob(w);
  Dc(w, 3, 2);    // 2 < 4: 2 + 1 - 8 = -5 -> predictor 0
  Eob(w);
  Dc(w, 0);       // unchanged
  Eob(w);
  Dc(w, 11, 0);   // -2047
  Eob(w);
  Dc(w, 11, 2047);  // +2047 -> 0
  Eob(w);
  McuHarness h(Padded(w), 1);
  ASSERT_TRUE(h.loaded());
  const int expected[] = {5, 0, 0, -2047, 0};
  for (int e : expected) {
    ASSERT_TRUE(h.Next());
    EXPECT_EQ(h.At(0, 0), e);
  }
}

TEST(EntropyDecoding, DcPredictorWrapsAtSixteenBits) {
  BitWriter w;
  for (int i = 0; i < 17; ++i) {
    Dc(w, 11, 2047);
    Eob(w);
  }
  McuHarness h(Padded(w), 1);
  for (int i = 0; i < 17; ++i) ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.state().dcPredictor[0], static_cast<int16_t>(static_cast<uint16_t>(17 * 2047)));
}

TEST(EntropyDecoding, AcRunsLandInNaturalOrder) {
  BitWriter w;
  Dc(w, 0);
  Ac(w, 1, 2, 3);   // zigzag 2 -> natural 8, value 3
  Ac(w, 0, 1, 0);   // zigzag 3 -> natural 16, value -1
  Ac(w, 15, 0);     // ZRL: zigzag 4..19 zero
  Ac(w, 0, 4, 9);   // zigzag 20 -> natural 40, value 9
  Eob(w);
  McuHarness h(Padded(w), 1);
  ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.At(0, 8), 3);
  EXPECT_EQ(h.At(0, 16), -1);
  EXPECT_EQ(h.At(0, 40), 9);
  int nonZero = 0;
  for (int i = 0; i < 64; ++i) nonZero += h.At(0, i) != 0;
  EXPECT_EQ(nonZero, 3);
}

TEST(EntropyDecoding, FullBlockNeedsNoEob) {
  BitWriter w;
  Dc(w, 1, 1);
  for (int k = 1; k < 64; ++k) Ac(w, 0, 1, 1);  // 63 coefficients of +1, no EOB
  Dc(w, 2, 3);  // the next MCU starts right away
  Eob(w);
  McuHarness h(Padded(w), 1);
  ASSERT_TRUE(h.Next());
  for (int i = 1; i < 64; ++i) ASSERT_EQ(h.At(0, i), 1) << i;
  ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.At(0, 0), 1 + 3);
  EXPECT_EQ(h.At(0, 1), 0);
}

TEST(EntropyDecoding, ZrlToExactlyTheEndEndsTheBlock) {
  BitWriter w;
  Dc(w, 0);
  Ac(w, 14, 1, 1);  // zigzag 15, leaving 48 positions
  Ac(w, 15, 0);
  Ac(w, 15, 0);
  Ac(w, 15, 0);     // remaining 0: done, no EOB
  Dc(w, 1, 1);
  Eob(w);
  McuHarness h(Padded(w), 1);
  ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.At(0, kZigzagToNatural[15]), 1);
  ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.At(0, 0), 1);
}

TEST(EntropyDecoding, ZrlPastTheEndEndsTheBlock) {
  BitWriter w;
  Dc(w, 0);
  Ac(w, 15, 1, 1);
  Ac(w, 15, 1, 1);
  Ac(w, 15, 1, 1);  // zigzag 48, 15 positions left
  Ac(w, 15, 0);     // remaining -1: done
  Dc(w, 1, 1);
  Eob(w);
  McuHarness h(Padded(w), 1);
  ASSERT_TRUE(h.Next());
  ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.At(0, 0), 1);
}

TEST(EntropyDecoding, RefusesWhatEightBitDataCannotHold) {
  auto fails = [](auto write) {
    BitWriter w;
    write(w);
    McuHarness h(Padded(w), 1);
    return !h.Next();
  };
  EXPECT_TRUE(fails([](BitWriter& w) { Dc(w, 12, 0); Eob(w); }));  // DC size above 11
  EXPECT_FALSE(fails([](BitWriter& w) { Dc(w, 11, 0); Eob(w); }));
  EXPECT_TRUE(fails([](BitWriter& w) { Dc(w, 0); Ac(w, 0, 11, 0); Eob(w); }));  // AC size above 10
  EXPECT_FALSE(fails([](BitWriter& w) { Dc(w, 0); Ac(w, 0, 10, 0); Eob(w); }));
  for (int run = 1; run <= 14; ++run)  // size 0 with a run that is neither EOB nor ZRL
    EXPECT_TRUE(fails([run](BitWriter& w) { Dc(w, 0); Ac(w, run, 0); }));
  EXPECT_TRUE(fails([](BitWriter& w) {  // a run that would place a coefficient at 64
    Dc(w, 0);
    for (int i = 0; i < 4; ++i) Ac(w, 15, 1, 1);
  }));
  EXPECT_TRUE(fails([](BitWriter& w) { Dc(w, 0); w.Put(0x1FF, 9); }));  // no code of any length
  EXPECT_FALSE(fails([](BitWriter& w) { Dc(w, 0); w.Put(0x1FE, 9); w.Put(0, 10); Eob(w); }));
}

TEST(EntropyDecoding, LongCodesTakeTheLimitSearch) {
  BitWriter w;
  Dc(w, 0);
  w.Put(0x1FE, 9);  // symbol 0xFA: run 15, size 10, past the fast table
  w.Put(0, 10);
  Eob(w);
  McuHarness h(Padded(w), 1);
  ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.At(0, kZigzagToNatural[16]), -1023);

  BitWriter v;
  Dc(v, 0);
  v.Put(0xFA, 8);  // the 8-bit code 0xFA is symbol 0xFF: size 15, refused
  McuHarness refused(Padded(v), 1);
  EXPECT_FALSE(refused.Next());
}

TEST(BitReaderLoad, ByteStuffingAndEoiInTheFirstFourBytes) {
  {
    McuHarness h({0xFF, 0x00, 0x12, 0x34, 0x56, 0x78}, 1);
    ASSERT_TRUE(h.loaded());
    EXPECT_EQ(h.state().bitBuffer, 0xFF123456u);
    EXPECT_EQ(h.state().bitCount, 32u);
    EXPECT_EQ(h.Consumed(), 5u);
  }
  {
    // 0xFF 0xD9 stands as 0xFF, and the 0xD9 is read as the next byte.
    McuHarness h({0x12, 0xFF, 0xD9, 0x34, 0x56}, 1);
    ASSERT_TRUE(h.loaded());
    EXPECT_EQ(h.state().bitBuffer, 0x12FFD934u);
  }
  {
    McuHarness h({0x12, 0xFF, 0xD0, 0x34, 0x56}, 1);  // any other marker fails
    EXPECT_FALSE(h.loaded());
  }
  {
    // With an interval a marker ends the load; the rest are zero bits.
    McuHarness h({0x12, 0xFF, 0xD0, 0x34, 0x56}, 1, 0x11, 1);
    ASSERT_TRUE(h.loaded());
    EXPECT_EQ(h.state().bitBuffer, 0x12000000u);
    EXPECT_EQ(h.state().bitCount, 32u);
    EXPECT_EQ(h.state().marker, 0xD0u);
  }
  {
    // Past the end of the stream every byte reads as 0x00.
    McuHarness h({0xAB}, 1);
    ASSERT_TRUE(h.loaded());
    EXPECT_EQ(h.state().bitBuffer, 0xAB000000u);
  }
}

// Three blocks (colour 1x1). After the first four bytes, the refill before
// block 1's AC code meets a marker; block 2 then starts with `before` bits
// left and a DC code of size 5 that needs more bits than remain.
Bytes MarkerBeforeShortDc(bool oneBitMore) {
  BitWriter w;
  Dc(w, 0);
  Eob(w);                                    // 12 bits
  if (oneBitMore) Dc(w, 1, 1); else Dc(w, 0);  // 4 or 5 bits
  Eob(w);                                    // 8 bits
  Dc(w, 5, 0);                               // 4 of its 9 bits fit the 32 loaded
  Bytes b = w.Take();
  b.resize(4);
  b.insert(b.end(), {0xFF, 0xD0, 0xFF, 0xD1, 0x00, 0x00});
  return b;
}

TEST(MarkersInData, DcMagnitudeRefillFollowsTheReadPath) {
  // 8 bits left at block 2: the fast read decodes the DC code, the magnitude
  // needs a refill, and that refill meets a marker first: the MCU fails.
  McuHarness fastPath(MarkerBeforeShortDc(false), 3, 0x11, 0, 1);
  ASSERT_TRUE(fastPath.loaded());
  EXPECT_FALSE(fastPath.Next());

  // 7 bits left: the code comes from the search from length 1, no magnitude
  // refill is made, the missing bits read as zero and bitCount wraps.
  McuHarness shortPath(MarkerBeforeShortDc(true), 3, 0x11, 0, 1);
  ASSERT_TRUE(shortPath.Next());
  EXPECT_EQ(shortPath.state().marker, 0xD0u);
  EXPECT_GT(shortPath.state().bitCount, 32u);  // wrapped
  EXPECT_EQ(shortPath.At(2, 0), 0 + 1 - 32);   // size 5, bits 00000 -> -31

  // With an interval the DC magnitude refill also waits for the marker to be
  // cleared, so the first stream decodes too.
  McuHarness interval(MarkerBeforeShortDc(false), 3, 0x11, 100, 1);
  ASSERT_TRUE(interval.Next());
}

TEST(MarkersInData, AfterAMarkerTheRestReadsZeroBits) {
  // Grey: a marker in the first refill; the next blocks decode from the bits
  // at hand and then zero bits (DC size 0, EOB) until the restart.
  BitWriter w;
  Dc(w, 2, 3);
  Ac(w, 0, 3, 7);
  Eob(w);  // 25 bits
  Bytes b = w.Take(false);
  b.resize(4, 0x00);
  b.insert(b.end(), {0xFF, 0xD3});
  // After the restart: four fresh bytes.
  BitWriter r;
  Dc(r, 1, 0);  // -1
  Eob(r);
  Bytes after = r.Take(false);
  after.resize(4, 0x00);
  b.insert(b.end(), after.begin(), after.end());
  McuHarness h(b, 1);
  ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.At(0, 0), 3);
  EXPECT_EQ(h.At(0, 1), 7);
  // The marker was met in MCU 1, so the restart follows it: predictors are
  // cleared and the next MCU reads the bytes after the marker.
  EXPECT_EQ(h.state().bitCount, 32u);
  EXPECT_EQ(h.state().dcPredictor[0], 0);
  ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.At(0, 0), -1);
}

TEST(MarkersInData, EoiStopsRefillsWithoutRestart) {
  BitWriter w;
  Dc(w, 2, 3);
  Eob(w);
  Bytes b = w.Take(false);
  b.resize(4, 0x00);
  b.insert(b.end(), {0xFF, 0xD9});
  McuHarness h(b, 1, 0x11, 0, 5);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(h.Next()) << i;
  // Predictor kept (no restart at EOI); the later MCUs are DC 0 differences.
  EXPECT_EQ(h.At(0, 0), 3);
}

TEST(MarkersInData, NoRestartAfterTheLastMcu) {
  // A stray marker then junk right after the last MCU: nothing after the
  // last MCU's bits is examined.
  BitWriter w;
  Dc(w, 2, 3);
  Ac(w, 0, 3, 7);
  Eob(w);  // the refill for the EOB code meets the marker
  Bytes b = w.Take(false);
  b.resize(4, 0x00);
  b.insert(b.end(), {0xFF, 0xD0, 0xFF, 0x12});
  McuHarness last(b, 1, 0x11, 0, 1);
  EXPECT_TRUE(last.Next());
  McuHarness notLast(b, 1, 0x11, 0, 2);
  EXPECT_FALSE(notLast.Next());  // the restart's reload meets 0xFF 0x12
}

// One grey MCU per interval, each a DC difference and EOB: 12 bits, so the
// interval is two bytes, shorter than one load of four.
Bytes ShortIntervals(const std::vector<int>& sizes, const std::vector<uint8_t>& markers) {
  Bytes out;
  for (size_t i = 0; i < sizes.size(); ++i) {
    BitWriter w;
    Dc(w, sizes[i], (1u << sizes[i]) - 1);
    Eob(w);
    Bytes mcu = w.Take();
    out.insert(out.end(), mcu.begin(), mcu.end());
    if (i < markers.size()) out.insert(out.end(), {0xFF, markers[i]});
  }
  return out;
}

TEST(Restarts, IntervalBoundariesFollowTheDriCount) {
  // Markers out of order, a fill byte before one of them.
  Bytes data = ShortIntervals({3, 4, 5, 2}, {0xD5, 0xD0, 0xD7});
  data.insert(data.begin() + 6, 0xFF);  // 0xFF 0xFF 0xD0: fill, then RST0
  McuHarness h(data, 1, 0x11, 1, 4);
  ASSERT_TRUE(h.loaded());
  const int expected[] = {7, 15, 31, 3};  // each restarts its predictor
  for (int e : expected) {
    ASSERT_TRUE(h.Next());
    EXPECT_EQ(h.At(0, 0), e);
  }
  // Without the interval the first load runs into the first marker and fails.
  McuHarness plain(data, 1, 0x11, 0, 4);
  EXPECT_FALSE(plain.loaded());
}

TEST(Restarts, SearchSkipsLeftoverDataAndEndCountsAsEoi) {
  // Interval 2; MCU 1 and 2 are followed by junk data bytes before the marker.
  BitWriter w;
  Dc(w, 3, 7);
  Eob(w);
  Dc(w, 1, 1);
  Eob(w);
  Bytes data = w.Take();
  data.insert(data.end(), {0x11, 0x22, 0xFF, 0x00, 0x33, 0xFF, 0xD1});
  BitWriter second;
  Dc(second, 2, 3);
  Eob(second);
  Dc(second, 2, 3);
  Eob(second);
  Bytes more = second.Take();
  data.insert(data.end(), more.begin(), more.end());
  // ... and then the stream ends: the next boundary finds no marker.
  McuHarness h(data, 1, 0x11, 2, 6);
  const int expected[] = {7, 8, 3, 6, 0, 0};
  for (int e : expected) {
    ASSERT_TRUE(h.Next());
    EXPECT_EQ(h.At(0, 0), e);
  }
  EXPECT_EQ(h.state().marker, kMarkerEoi);
}

TEST(Restarts, MarkerMetEarlyWaitsForTheBoundary) {
  // Interval 3 of tiny MCUs: the refill in MCU 1 already meets the marker.
  // The remaining MCUs of the interval read the buffered bits, then zeros,
  // and the restart still comes after MCU 3.
  BitWriter w;
  for (int i = 0; i < 3; ++i) {
    Dc(w, 1, 1);
    Eob(w);
  }
  Bytes data = w.Take();
  data.insert(data.end(), {0xFF, 0xD0});
  Bytes next = ShortIntervals({4}, {});
  data.insert(data.end(), next.begin(), next.end());
  McuHarness h(data, 1, 0x11, 3, 4);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(h.Next());
  ASSERT_TRUE(h.Next());
  EXPECT_EQ(h.At(0, 0), 15);
}

// The data ends at the same events with and without an interval: a byte
// taken past the end, or EOI met, by a load or a refill. Then a symbol that
// no stream may hold, read from made-up bits, ends its block (the picture is
// damaged) whether or not an interval is declared and EOI closes the stream.
// The AC table's all-zero code is such a symbol (run 1, size 0).
zentrafold::test::Bytes CutGreyStream(int intervalMcus, int mcusWithData, bool closed) {
  BitWriter w;
  for (int i = 0; i < mcusWithData; ++i) {
    Dc(w, 2, 3);
    w.Put(0x10, 8);  // EOB: the symbols 0x00 and 0x10 trade codes below
  }
  zentrafold::test::StreamSpec spec;
  spec.width = 32;
  spec.components = 1;
  spec.restartInterval = intervalMcus;
  Bytes stream = zentrafold::test::BuildHeaders(spec);
  for (size_t i = 0; i + 4 < stream.size(); ++i) {
    if (stream[i] == 0xFF && stream[i + 1] == 0xC4 && stream[i + 4] == 0x10) {
      std::swap(stream[i + 4 + 17 + 0x00], stream[i + 4 + 17 + 0x10]);
      break;
    }
  }
  const Bytes data = w.Take(false);
  stream.insert(stream.end(), data.begin(), data.end());
  if (closed) stream.insert(stream.end(), {0xFF, 0xD9});
  return stream;
}

struct CutOutcome {
  ZfStatus status;
  Bytes pixels;
};

CutOutcome DecodeWith(const Bytes& stream, const DecoderPaths& paths) {
  auto state = std::make_unique<DecoderState>();
  state->paths = &paths;
  ImageRecord* image = DecodeImageWithState(*state, stream.data(), stream.size(), nullptr);
  CutOutcome outcome{state->status, {}};
  if (image != nullptr) {
    const auto* bits = static_cast<const uint8_t*>(image->bits);
    outcome.pixels.assign(bits, bits + 32 * 8 * 4);
    DeleteObject(image->bitmap);
  }
  return outcome;
}

TEST(MadeUpBits, TheDataEndsAlikeWithAndWithoutAnInterval) {
  // Data for 1 MCU: the scan's first load takes bytes past the end (or
  // meets EOI); data for 3: a refill does. Which bits are made up differs
  // (the load without an interval reads the EOI's bytes), the outcome does
  // not; and the fast paths give the scalar bytes.
  for (int withData : {1, 3}) {
    for (int interval : {0, 4}) {
      for (bool closed : {false, true}) {
        const Bytes stream = CutGreyStream(interval, withData, closed);
        const std::string what = "data for " + std::to_string(withData) + " MCUs, interval " +
                                 std::to_string(interval) + (closed ? ", EOI" : ", no EOI");
        const CutOutcome scalar = DecodeWith(stream, ScalarPaths());
        EXPECT_EQ(scalar.status, kZfDamaged) << what;
        const CutOutcome fast = DecodeWith(stream, SelectedPaths());
        EXPECT_EQ(fast.status, scalar.status) << what;
        EXPECT_EQ(fast.pixels, scalar.pixels) << what;
      }
    }
  }
}

}  // namespace
