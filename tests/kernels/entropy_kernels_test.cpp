// DecodeMcuFast against DecodeMcu, and the fast paths as a whole against the
// scalar ones, on real photographs and on damaged streams.
//
// The lockstep check runs both entropy decoders on every MCU from the same
// state and compares everything they leave: the result, the bit reader, the
// pending marker, the DC predictors, the MCU count, what is known of the
// damage and the coefficients. So
// an MCU where the fast path departs from the scalar one is caught even when
// its pixels happen to come out the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "decoder_state.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The committed test streams and the baseline photographs of
// plasma-workspace-wallpapers up to about 5 megapixels (by file size).
std::vector<fs::path> Streams(bool photographs) {
  std::vector<fs::path> paths;
  const fs::path root = photographs ? fs::path("/usr/share/wallpapers") : fs::path(ZENTRAFOLD_TEST_DATA);
  std::error_code error;
  if (!fs::is_directory(root, error)) return paths;
  for (auto it = fs::recursive_directory_iterator(root, error); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& p = it->path();
    if (p.extension() != ".jpg" || fs::is_symlink(p) || !fs::is_regular_file(p)) continue;
    if (photographs && (p.string().find("/images") == std::string::npos || fs::file_size(p) > 1700000)) continue;
    paths.push_back(p);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

DecoderState gState;
DecoderState gTwin;
std::string gMismatch;

int LockstepDecodeMcu(DecoderState& state) {
  std::memcpy(static_cast<void*>(&gTwin), &state, sizeof state);
  const int expected = DecodeMcu(gTwin);
  const int actual = DecodeMcuFast(state);
  if (!gMismatch.empty()) return actual;
  auto report = [&](const char* what) {
    gMismatch = std::string(what) + " differs after MCU " + std::to_string(gTwin.mcuNumber);
  };
  if (expected != actual) {
    report("the result");
  } else if (expected != 0) {
    if (state.inputPos != gTwin.inputPos) report("inputPos");
    else if (state.bitBuffer != gTwin.bitBuffer) report("bitBuffer");
    else if (state.bitCount != gTwin.bitCount) report("bitCount");
    else if (state.marker != gTwin.marker) report("marker");
    else if (std::memcmp(state.dcPredictor, gTwin.dcPredictor, sizeof state.dcPredictor) != 0) report("a DC predictor");
    else if (state.mcuNumber != gTwin.mcuNumber) report("mcuNumber");
    else if (state.fakeBits != gTwin.fakeBits) report("fakeBits");
    else if (state.dataEnded != gTwin.dataEnded) report("dataEnded");
    else if (state.damaged != gTwin.damaged) report("damaged");
    else if (std::memcmp(state.blockBuffer, gTwin.blockBuffer, sizeof state.blockBuffer) != 0) report("blockBuffer");
  }
  return actual;
}

struct Outcome {
  bool ok = false;
  ZfStatus status = kZfOk;
  Bytes pixels;
};

Outcome Decode(const Bytes& stream, const DecoderPaths& paths) {
  gState.paths = &paths;
  ImageRecord* image = DecodeImageWithState(gState, stream.data(), stream.size(), nullptr);
  gState.paths = nullptr;
  Outcome outcome;
  outcome.status = gState.status;
  if (image == nullptr) return outcome;
  outcome.ok = true;
  const size_t bytes = static_cast<size_t>(image->header.biWidth) * static_cast<size_t>(-image->header.biHeight) * 4;
  const auto* bits = static_cast<const uint8_t*>(image->bits);
  outcome.pixels.assign(bits, bits + bytes);
  DeleteObject(image->bitmap);
  return outcome;
}

// Lockstep entropy decoding, with the scalar IDCT and output so that only
// the entropy stage is under test.
const DecoderPaths kLockstep = {LockstepDecodeMcu, true, InverseDct, OutputMcu, "lockstep", OutputMcuGeneral,
                                 ReducedInverseDct, ConvertLine};

::testing::AssertionResult DecodesAlike(const Bytes& stream) {
  gMismatch.clear();
  const Outcome scalar = Decode(stream, ScalarPaths());
  const Outcome lockstep = Decode(stream, kLockstep);
  if (!gMismatch.empty()) return ::testing::AssertionFailure() << "entropy decoding: " << gMismatch;
  const Outcome fast = Decode(stream, SelectedPaths());
  if (scalar.ok != lockstep.ok || scalar.ok != fast.ok)
    return ::testing::AssertionFailure() << "scalar " << (scalar.ok ? "decodes" : "refuses") << ", fast "
                                         << (fast.ok ? "decodes" : "refuses");
  if (scalar.status != lockstep.status || scalar.status != fast.status)
    return ::testing::AssertionFailure() << "status: scalar " << scalar.status << ", lockstep " << lockstep.status
                                         << ", fast " << fast.status;
  if (scalar.pixels != lockstep.pixels) return ::testing::AssertionFailure() << "entropy decoding changes pixels";
  if (scalar.pixels != fast.pixels) {
    size_t i = 0;
    while (scalar.pixels[i] == fast.pixels[i]) ++i;
    return ::testing::AssertionFailure() << "fast paths (" << SelectedPaths().name << ") differ at byte " << i;
  }
  return ::testing::AssertionSuccess();
}

size_t ScanStart(const Bytes& stream) {
  for (size_t i = 0; i + 3 < stream.size(); ++i) {
    if (stream[i] == 0xFF && stream[i + 1] == 0xDA) return i + 2 + (stream[i + 2] << 8 | stream[i + 3]);
  }
  return 0;
}

TEST(FastPaths, PhotographsDecodeExactlyAsScalar) {
  const auto paths = Streams(true);
  if (paths.empty()) GTEST_SKIP() << "plasma-workspace-wallpapers is not installed";
  int decoded = 0;
  for (const auto& path : paths) {
    const Bytes stream = ReadFile(path);
    EXPECT_TRUE(DecodesAlike(stream)) << path;
    decoded += Decode(stream, ScalarPaths()).ok;
  }
  EXPECT_GT(decoded, 5) << "too few photographs in the profile to say anything";
}

TEST(FastPaths, TestStreamsDecodeExactlyAsScalar) {
  const auto paths = Streams(false);
  if (paths.empty()) GTEST_SKIP() << "no committed test streams";
  for (const auto& path : paths) EXPECT_TRUE(DecodesAlike(ReadFile(path))) << path;
}

// Small real streams to damage: the smallest committed test stream of at
// least 4 KB that decodes, the smallest photograph, and a restart stream.
const std::vector<Bytes>& Victims() {
  static const std::vector<Bytes> victims = [] {
    std::vector<Bytes> found;
    for (bool photographs : {false, true}) {
      Bytes best;
      for (const auto& path : Streams(photographs)) {
        const Bytes stream = ReadFile(path);
        if (stream.size() < 4096 || !Decode(stream, ScalarPaths()).ok) continue;
        if (best.empty() || stream.size() < best.size()) best = stream;
      }
      if (!best.empty()) found.push_back(best);
    }
    // And the largest committed stream with restart intervals, so that the
    // damage also falls on the interval scheme and its markers.
    Bytes restarts;
    for (const auto& path : Streams(false)) {
      if (path.filename().string().find("restart") == std::string::npos) continue;
      const Bytes stream = ReadFile(path);
      if (stream.size() > restarts.size() && Decode(stream, ScalarPaths()).ok) restarts = stream;
    }
    if (!restarts.empty()) found.push_back(restarts);
    return found;
  }();
  return victims;
}

TEST(FastPaths, DamagedStreamsDecodeOrFailExactlyAsScalar) {
  if (Victims().empty()) GTEST_SKIP() << "no stream to damage";
  std::mt19937 random(5);
  // Markers, fill bytes, stuffed 0xFF and plain junk at random places in the
  // entropy-coded data, and truncations anywhere in it.
  const uint8_t replacements[] = {0xFF, 0x00, 0xD0, 0xD3, 0xD7, 0xD9, 0xC4, 0x12, 0x80};
  for (const Bytes& original : Victims()) {
    const size_t scan = ScanStart(original);
    ASSERT_GT(scan, 0u);
    // ZENTRAFOLD_DAMAGE_TRIALS=N runs N per stream, for longer runs by hand.
    const char* asked = std::getenv("ZENTRAFOLD_DAMAGE_TRIALS");
    const int trials = asked != nullptr ? std::atoi(asked) : original.size() < 100000 ? 300 : 40;
    for (int n = 0; n < trials; ++n) {
      Bytes stream = original;
      const size_t span = stream.size() - scan;
      if (n % 4 == 3) {
        stream.resize(scan + random() % span);
      } else {
        for (int edits = 1 + n % 3; edits > 0; --edits) {
          const size_t at = scan + random() % (span - 1);
          stream[at] = 0xFF;
          stream[at + 1] = replacements[random() % std::size(replacements)];
        }
      }
      ASSERT_TRUE(DecodesAlike(stream)) << "damage " << n << " of a " << original.size() << "-byte stream";
    }
  }
}

// Puts a DRI segment with the interval `mcus` before the SOS, so that the
// stream decodes by the interval scheme whether or not it has markers.
Bytes WithRestartInterval(const Bytes& stream, uint16_t mcus) {
  for (size_t i = 2; i + 1 < stream.size(); ++i) {
    if (stream[i] == 0xFF && stream[i + 1] == 0xDA) {
      Bytes out(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(i));
      const uint8_t dri[] = {0xFF, 0xDD, 0x00, 0x04, static_cast<uint8_t>(mcus >> 8), static_cast<uint8_t>(mcus)};
      out.insert(out.end(), std::begin(dri), std::end(dri));
      out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(i), stream.end());
      return out;
    }
  }
  return stream;
}

TEST(FastPaths, RestartIntervalsDecodeExactlyAsScalar) {
  if (Victims().empty()) GTEST_SKIP() << "no stream to work on";
  const Bytes& original = Victims().front();
  // Without restart markers in the data, each boundary searches to the end
  // and the rest decodes from zero bits: the pending-marker and EOI paths.
  for (uint16_t interval : {1, 2, 7, 40, 1000}) {
    EXPECT_TRUE(DecodesAlike(WithRestartInterval(original, interval))) << "interval " << interval;
  }
  // With markers where the interval puts them: every test stream that has them.
  for (const auto& path : Streams(false)) {
    const Bytes stream = ReadFile(path);
    if (path.filename().string().find("restart") != std::string::npos) {
      EXPECT_TRUE(DecodesAlike(stream)) << path;
    }
  }
}

// DecodeMcuFastDcOnly in lockstep with DecodeMcu: every MCU from the same
// state, a different set of blocks marked DC-only each time (all of them,
// none, every other one, ...). Everything DecodeMcu leaves must match but
// the AC coefficients of the marked blocks; the decode then goes on from
// DecodeMcu's blocks, so that the pixels hold the rest of the stages equal.
// With gSkipTables, the marked blocks are read through skip tables (made
// for every scan, whatever its size), else through the pair tables.
uint32_t gDcOnlyMcus = 0;
bool gSkipTables = false;
FastSkipTable gSkipTableRoom[kMaxComponents];

int LockstepDcOnlyDecodeMcu(DecoderState& state) {
  static const uint32_t kMasks[] = {~0u, 0u, 0x155u, 0x2AAu, 1u, 0x3FEu, 0x0Fu};
  state.dcOnlyBlocks = kMasks[state.mcuNumber % std::size(kMasks)] & ((1u << state.blockCount) - 1);
  if (gSkipTables && !state.fastAcSkipBuilt) {
    state.fastAcSkip = gSkipTableRoom;
    BuildFastSkipTables(state);
  }
  // Stale coefficients where the marked blocks are not written.
  for (int16_t& v : state.blockBuffer) v = 0x5A5A;
  std::memcpy(static_cast<void*>(&gTwin), &state, sizeof state);
  const int expected = DecodeMcu(gTwin);
  const int actual = DecodeMcuFastDcOnly(state);
  gDcOnlyMcus += state.dcOnlyBlocks != 0;
  if (gMismatch.empty()) {
    auto report = [&](const std::string& what) {
      gMismatch = what + " differs after MCU " + std::to_string(gTwin.mcuNumber);
    };
    if (expected != actual) {
      report("the result");
    } else if (expected != 0) {
      if (state.inputPos != gTwin.inputPos) report("inputPos");
      else if (state.bitBuffer != gTwin.bitBuffer) report("bitBuffer");
      else if (state.bitCount != gTwin.bitCount) report("bitCount");
      else if (state.marker != gTwin.marker) report("marker");
      else if (std::memcmp(state.dcPredictor, gTwin.dcPredictor, sizeof state.dcPredictor) != 0) report("a DC predictor");
      else if (state.mcuNumber != gTwin.mcuNumber) report("mcuNumber");
      else if (state.fakeBits != gTwin.fakeBits) report("fakeBits");
      else if (state.dataEnded != gTwin.dataEnded) report("dataEnded");
      else if (state.damaged != gTwin.damaged) report("damaged");
      for (int b = 0; gMismatch.empty() && b < state.blockCount; ++b) {
        const int16_t* ours = state.blockBuffer + b * 64;
        const int16_t* theirs = gTwin.blockBuffer + b * 64;
        const bool dcOnly = (state.dcOnlyBlocks >> b & 1) != 0;
        if (dcOnly ? ours[0] != theirs[0] : std::memcmp(ours, theirs, 64 * sizeof *ours) != 0)
          report((dcOnly ? "the DC of block " : "block ") + std::to_string(b));
      }
    }
  }
  std::memcpy(state.blockBuffer, gTwin.blockBuffer, sizeof state.blockBuffer);
  return actual;
}

const DecoderPaths kLockstepDcOnly = {LockstepDcOnlyDecodeMcu, true, InverseDct, OutputMcu, "lockstep-dc",
                                      OutputMcuGeneral, ReducedInverseDct, ConvertLine};

::testing::AssertionResult DcOnlyDecodesAlike(const Bytes& stream) {
  const Outcome scalar = Decode(stream, ScalarPaths());
  for (bool skipTables : {false, true}) {
    const char* how = skipTables ? " (skip tables)" : " (pair tables)";
    gMismatch.clear();
    gSkipTables = skipTables;
    const Outcome lockstep = Decode(stream, kLockstepDcOnly);
    gSkipTables = false;
    if (!gMismatch.empty()) return ::testing::AssertionFailure() << "DC-only entropy decoding" << how << ": " << gMismatch;
    if (scalar.ok != lockstep.ok || scalar.status != lockstep.status)
      return ::testing::AssertionFailure() << "status: scalar " << scalar.status << ", DC-only " << lockstep.status
                                           << how;
    if (scalar.pixels != lockstep.pixels) return ::testing::AssertionFailure() << "DC-only decoding changes pixels" << how;
  }
  return ::testing::AssertionSuccess();
}

TEST(FastPaths, DcOnlyDecodingLeavesTheReaderAndDcsAsTheFullDecode) {
  if (Victims().empty()) GTEST_SKIP() << "no stream to work on";
  gDcOnlyMcus = 0;
  for (const auto& path : Streams(false)) {
    const Bytes stream = ReadFile(path);
    EXPECT_TRUE(DcOnlyDecodesAlike(stream)) << path;
  }
  // Damage (markers, junk, cuts) at random places, as above, and restart
  // intervals without their markers.
  std::mt19937 random(19);
  const uint8_t replacements[] = {0xFF, 0x00, 0xD0, 0xD5, 0xD9, 0xC4, 0x37};
  for (const Bytes& original : Victims()) {
    const size_t scan = ScanStart(original);
    ASSERT_GT(scan, 0u);
    const int trials = original.size() < 100000 ? 120 : 20;
    for (int n = 0; n < trials; ++n) {
      Bytes stream = original;
      const size_t span = stream.size() - scan;
      if (n % 4 == 3) {
        stream.resize(scan + random() % span);
      } else {
        for (int edits = 1 + n % 3; edits > 0; --edits) {
          const size_t at = scan + random() % (span - 1);
          stream[at] = 0xFF;
          stream[at + 1] = replacements[random() % std::size(replacements)];
        }
      }
      ASSERT_TRUE(DcOnlyDecodesAlike(stream)) << "damage " << n << " of a " << original.size() << "-byte stream";
    }
    for (uint16_t interval : {1, 3, 40}) {
      EXPECT_TRUE(DcOnlyDecodesAlike(WithRestartInterval(original, interval))) << "interval " << interval;
    }
    // Random data without a marker over part of the scan: symbols of every
    // kind in every place (ZRL running past a block's end, runs past it,
    // magnitude sizes no AC coefficient has), which encoders do not write.
    for (int n = 0; n < 6; ++n) {
      Bytes stream = original;
      const size_t span = stream.size() - scan - 2;
      const size_t from = scan + random() % span;
      const size_t to = std::min(stream.size() - 2, from + 64 + random() % 4096);
      for (size_t at = from; at < to; ++at) stream[at] = static_cast<uint8_t>(random() % 255);
      ASSERT_TRUE(DcOnlyDecodesAlike(stream)) << "random data " << n << " of a " << original.size() << "-byte stream";
    }
  }
  EXPECT_GT(gDcOnlyMcus, 1000u);
}

// Cut streams: past the cut the decode reads made-up zero bits, which the
// fast path gives from its record of such MCUs. Cut at many points of the
// data, grey and each sampling, with and without restart intervals; the
// record must actually be used, or nothing here tests it.
TEST(FastPaths, CutStreamsDecodeExactlyAsScalar) {
  std::vector<std::pair<std::string, Bytes>> streams;
  for (const char* name : {"grey.jpg", "sample_2x2.jpg", "sample_2x1.jpg", "sample_1x2.jpg", "sample_1x1.jpg",
                           "restart_1mcu.jpg", "restart_5mcu_grey.jpg", "restart_jpegtran_3mcu.jpg", "restart_row.jpg"}) {
    const Bytes stream = ReadFile(fs::path(ZENTRAFOLD_TEST_DATA) / name);
    if (!stream.empty()) streams.emplace_back(name, stream);
  }
  if (Victims().size() > 1) {
    // A photograph, as it is and with an interval of 4 MCUs (whose
    // boundaries, without markers, end the data at the first one).
    streams.emplace_back("photograph", Victims()[1]);
    streams.emplace_back("photograph, interval 4", WithRestartInterval(Victims()[1], 4));
  }
  if (streams.empty()) GTEST_SKIP() << "no streams";
  uint32_t replayed = 0;
  for (const auto& [name, original] : streams) {
    const size_t scan = ScanStart(original);
    ASSERT_GT(scan, 0u) << name;
    const size_t span = original.size() - scan;
    const int cuts = original.size() > 100000 ? 12 : 48;
    for (int n = 0; n <= cuts; ++n) {
      // Evenly over the data, and the last bytes one by one.
      const size_t keep = n < cuts - 8 ? span * static_cast<size_t>(n) / static_cast<size_t>(cuts - 8)
                                       : span - static_cast<size_t>(cuts - n);
      Bytes stream(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(scan + keep));
      ASSERT_TRUE(DecodesAlike(stream)) << name << " cut to " << keep << " of " << span << " data bytes";
      replayed += gState.zeroBits.replayed;
      // The same cut closed with EOI, which ends the data where a load, a
      // refill or a boundary meets it.
      stream.insert(stream.end(), {0xFF, 0xD9});
      ASSERT_TRUE(DecodesAlike(stream)) << name << " cut to " << keep << " of " << span << " data bytes, and EOI";
    }
  }
  EXPECT_GT(replayed, 1000u) << "the record of zero-bit MCUs was hardly used";
}

}  // namespace

namespace {

// One grey MCU from hand-made tables and bits, through both decoders.
// DC table: '0' -> size 0, '1' -> size 11. AC table: '0' -> EOB, '1' -> run 0
// size 1. The bits: DC '1' + 11 zero bits (difference -2047), AC '1' + '1'
// (coefficient +1), EOB '0'.
struct HandMadeMcu {
  uint8_t dcSpec[19] = {0x00, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 11};
  uint8_t acSpec[19] = {0x10, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01};
  uint16_t quant[64];
  uint8_t data[16] = {};

  void SetUp(DecoderState& state, int16_t predictor) {
    for (uint16_t& q : quant) q = 1;
    std::memset(static_cast<void*>(&state), 0, sizeof state);
    state.componentCount = 1;
    state.samplingCode = 0x11;
    state.dcSpec[0] = dcSpec;
    state.acSpec[0] = acSpec;
    state.quant[0] = quant;
    BuildFastTable(dcSpec, state.fastDc[0]);
    BuildFastTable(acSpec, state.fastAc[0]);
    BuildCodeLimits(dcSpec, state.limitsDc[0]);
    BuildCodeLimits(acSpec, state.limitsAc[0]);
    BuildFastAcTable(state.fastAc[0], state.limitsAc[0], acSpec, quant, state.fastAcWhole[0]);
    SetKernelLayout(state);
    state.bitBuffer = 0b1000'0000'0000'1100u << 16;
    state.bitCount = 32;
    state.inputPos = data;
    state.streamEnd = data + sizeof data;
    state.mcuTotal = 2;
    state.dcPredictor[0] = predictor;
  }
};

// The ways the fast path reads a block's AC symbols: whole through the pair
// table, or for its DC alone through the pair table or the skip table.
enum class Way { kWhole, kDcPairs, kDcSkip };
constexpr Way kWays[] = {Way::kWhole, Way::kDcPairs, Way::kDcSkip};
const char* Name(Way way) { return way == Way::kWhole ? "whole" : way == Way::kDcPairs ? "DC, pairs" : "DC, skip"; }

// A state set up for reading its one block that way.
void ReadWay(DecoderState& state, Way way) {
  static FastSkipTable room[kMaxComponents];
  state.dcOnlyBlocks = way == Way::kWhole ? 0 : 1;
  if (way == Way::kDcSkip) {
    state.fastAcSkip = room;
    BuildFastSkipTables(state);
  }
}

int DecodeMcuWay(DecoderState& state, Way way) {
  return way == Way::kWhole ? DecodeMcuFast(state) : DecodeMcuFastDcOnly(state);
}

// gState's reader and block (its DC alone for a DC-only way) as gTwin's.
void ExpectAsTwin(Way way, const std::string& where) {
  EXPECT_EQ(gState.bitCount, gTwin.bitCount) << Name(way) << where;
  EXPECT_EQ(gState.bitBuffer, gTwin.bitBuffer) << Name(way) << where;
  EXPECT_EQ(gState.inputPos, gTwin.inputPos) << Name(way) << where;
  EXPECT_EQ(gState.dcPredictor[0], gTwin.dcPredictor[0]) << Name(way) << where;
  if (way == Way::kWhole) {
    EXPECT_EQ(std::memcmp(gState.blockBuffer, gTwin.blockBuffer, 64 * sizeof(int16_t)), 0) << Name(way) << where;
  } else {
    EXPECT_EQ(gState.blockBuffer[0], gTwin.blockBuffer[0]) << Name(way) << where;
  }
}

// A DC of 17 bits (a 6-bit code for size 11) read from exactly 17 buffered
// bits leaves none: the refill before the next code then gives 16, not the
// 17..32 the skip and pair tables' schedule steps assume. The AC code is
// EOB; the block is read for its DC alone (through the pair table and
// the skip table) and whole (through the pair table).
TEST(FastPaths, ALookUpAfterTheBufferRanDryRefillsAsDecodeMcu) {
  HandMadeMcu mcu;
  // DC: '0' -> size 0, '100000' -> size 11. AC: '0' -> EOB, '10' -> run 0 size 1.
  const uint8_t dcSpec[19] = {0x00, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 11};
  const uint8_t acSpec[19] = {0x10, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01};
  std::memcpy(mcu.dcSpec, dcSpec, sizeof dcSpec);
  std::memcpy(mcu.acSpec, acSpec, sizeof acSpec);
  for (Way way : kWays) {
    for (DecoderState* state : {&gTwin, &gState}) {
      mcu.SetUp(*state, 0);
      state->bitBuffer = (0b100000u << 11 | 0b100'0000'0000u) << (32 - 17);  // +1024
      state->bitCount = 17;
      ReadWay(*state, way);
    }
    ASSERT_EQ(DecodeMcu(gTwin), 1);
    ASSERT_EQ(DecodeMcuWay(gState, way), 1) << Name(way);
    EXPECT_EQ(gTwin.dcPredictor[0], 1024);
    EXPECT_EQ(gTwin.bitCount, 15u);
    ExpectAsTwin(way, "");
  }
}

// Blocks of 2-bit symbols ('1' and a magnitude bit, run 0 size 1), so that
// a pair look-up holds two and a skip look-up six: one block filled to
// position 63 without EOB, where the look-ups near the end would run past
// it, then one of five coefficients and EOB, then one of EOB alone. Each
// way of reading them leaves the reader and the blocks as DecodeMcu does.
TEST(FastPaths, LookUpsOfSeveralSymbolsStopAtTheBlocksEnd) {
  std::vector<int> bits;
  auto block = [&](int coefficients, bool eob) {
    bits.push_back(0);  // DC: size 0
    for (int i = 0; i < coefficients; ++i) {
      bits.push_back(1);
      bits.push_back(i % 3 != 0);  // +1, -1 and +1 again
    }
    if (eob) bits.push_back(0);
  };
  block(63, false);
  block(5, true);
  block(0, true);
  uint8_t data[40] = {};
  for (size_t i = 0; i < bits.size(); ++i) data[i / 8] |= static_cast<uint8_t>(bits[i] << (7 - i % 8));
  HandMadeMcu mcu;
  for (Way way : kWays) {
    for (DecoderState* state : {&gTwin, &gState}) {
      mcu.SetUp(*state, 0);
      state->bitBuffer = 0;
      state->bitCount = 0;
      state->inputPos = data;
      state->streamEnd = data + sizeof data;
      state->mcuTotal = 4;
      ReadWay(*state, way);
    }
    for (int m = 0; m < 3; ++m) {
      ASSERT_EQ(DecodeMcu(gTwin), 1) << m;
      ASSERT_EQ(DecodeMcuWay(gState, way), 1) << Name(way) << " MCU " << m;
      ExpectAsTwin(way, " MCU " + std::to_string(m));
      // The first block's last coefficient, read without EOB.
      if (m == 0) {
        EXPECT_EQ(gTwin.blockBuffer[63], 1);
      }
      gTwin.mcuNumber = gState.mcuNumber = static_cast<uint32_t>(m + 1);
    }
  }
}

TEST(FastPaths, ADcOfMinus32768LeavesTheBlockZeroAsTheEndMarkDoes) {
  for (int16_t predictor : {int16_t{-30721}, int16_t{-30000}}) {
    HandMadeMcu mcu;
    mcu.SetUp(gTwin, predictor);
    ASSERT_EQ(DecodeMcu(gTwin), 1);
    mcu.SetUp(gState, predictor);
    ASSERT_EQ(DecodeMcuFast(gState), 1);
    const int16_t dc = static_cast<int16_t>(predictor - 2047);
    EXPECT_EQ(gTwin.dcPredictor[0], dc);
    EXPECT_EQ(gState.dcPredictor[0], dc);
    // The scalar pass reads the DC of -32768 as the end of the block.
    EXPECT_EQ(gTwin.blockBuffer[1], dc == -32768 ? 0 : 1);
    EXPECT_EQ(std::memcmp(gState.blockBuffer, gTwin.blockBuffer, sizeof gTwin.blockBuffer), 0) << predictor;
    EXPECT_EQ(gState.bitCount, gTwin.bitCount);
    EXPECT_EQ(gState.bitBuffer, gTwin.bitBuffer);
    EXPECT_EQ(gState.inputPos, gTwin.inputPos);
    // The DC-only decode leaves the same DC: 0 for the end mark.
    mcu.SetUp(gState, predictor);
    gState.dcOnlyBlocks = 1;
    gState.blockBuffer[0] = 0x5A5A;
    ASSERT_EQ(DecodeMcuFastDcOnly(gState), 1);
    EXPECT_EQ(gState.blockBuffer[0], gTwin.blockBuffer[0]) << predictor;
    EXPECT_EQ(gState.dcPredictor[0], dc);
    EXPECT_EQ(gState.bitCount, gTwin.bitCount);
    EXPECT_EQ(gState.inputPos, gTwin.inputPos);
  }
}

}  // namespace

namespace {

// MCUs of made-up zero bits with tables whose all-zero codes carry data:
// the DC code '0' is a difference of size 1 (-1 from zero bits), the AC code
// '0' a coefficient of size 1 (-1), so every block is full and its DC steps
// down by one per block, through -32768 (which leaves its block zero) and
// past it (a wrap to 32767).
TEST(FastPaths, ZeroBitMcusStepTheirDcsThroughMinus32768) {
  uint8_t dcSpec[19] = {0x00, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 11};
  uint8_t acSpec[19] = {0x10, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00};
  uint16_t quant[64];
  for (int k = 0; k < 64; ++k) quant[k] = static_cast<uint16_t>(1 + k % 7);
  uint8_t data[4] = {};
  // Grey with one block, grey read 2x2 (four blocks stepping within the
  // MCU), colour 2x1 (the chroma predictors too).
  for (auto [components, sampling] : {std::pair{1, 0x11u}, std::pair{1, 0x22u}, std::pair{3, 0x21u}}) {
    DecoderState& state = gState;
    std::memset(static_cast<void*>(&state), 0, sizeof state);
    state.componentCount = static_cast<uint8_t>(components);
    state.samplingCode = sampling;
    for (int t = 0; t < 2; ++t) {
      state.dcSpec[t] = dcSpec;
      state.acSpec[t] = acSpec;
      state.quant[t] = quant;
      BuildFastTable(dcSpec, state.fastDc[t]);
      BuildFastTable(acSpec, state.fastAc[t]);
      BuildCodeLimits(dcSpec, state.limitsDc[t]);
      BuildCodeLimits(acSpec, state.limitsAc[t]);
      BuildFastAcTable(state.fastAc[t], state.limitsAc[t], acSpec, quant, state.fastAcWhole[t]);
    }
    SetKernelLayout(state);
    // The data has ended: nothing buffered, the position at the end.
    state.inputPos = data + sizeof data;
    state.streamEnd = data + sizeof data;
    state.bitCount = 32;
    state.fakeBits = 32;
    state.dataEnded = true;
    state.mcuTotal = 300;
    state.dcPredictor[0] = state.dcPredictor[1] = state.dcPredictor[2] = -32700;
    bool crossed = false;
    for (uint32_t mcu = 0; mcu < state.mcuTotal; ++mcu) {
      std::memcpy(static_cast<void*>(&gTwin), &state, sizeof state);
      ASSERT_EQ(DecodeMcu(gTwin), 1);
      ASSERT_EQ(DecodeMcuFast(state), 1);
      ASSERT_EQ(std::memcmp(state.blockBuffer, gTwin.blockBuffer, sizeof state.blockBuffer), 0) << "MCU " << mcu;
      ASSERT_EQ(std::memcmp(state.dcPredictor, gTwin.dcPredictor, sizeof state.dcPredictor), 0) << "MCU " << mcu;
      ASSERT_EQ(state.bitCount, gTwin.bitCount) << "MCU " << mcu;
      ASSERT_EQ(state.fakeBits, gTwin.fakeBits) << "MCU " << mcu;
      ASSERT_EQ(state.damaged, gTwin.damaged) << "MCU " << mcu;
      ASSERT_EQ(state.inputPos, gTwin.inputPos) << "MCU " << mcu;
      crossed = crossed || state.dcPredictor[0] > 0;
    }
    EXPECT_TRUE(crossed) << "the luma predictor never wrapped";
    EXPECT_GT(state.zeroBits.replayed, 200u) << "the record of zero-bit MCUs was hardly used";
  }
}

}  // namespace

namespace {

// The positions of the restart markers (0xFF 0xD0..0xD7) in a stream's data.
std::vector<size_t> RestartMarkers(const Bytes& stream) {
  std::vector<size_t> at;
  for (size_t i = ScanStart(stream); i + 1 < stream.size(); ++i)
    if (stream[i] == 0xFF && stream[i + 1] >= 0xD0 && stream[i + 1] <= 0xD7) at.push_back(i);
  return at;
}

// Restart boundaries, which the fast path takes itself where the marker
// lies right at the position and plain data follows: every way a stream can
// differ from that layout must give what the scalar decode gives. Each edit
// falls on markers drawn at random, in streams with intervals of 1 to 5 MCUs
// and of a row, photographic and flat.
TEST(FastPaths, RestartMarkersMissingExtraOrDamagedDecodeExactlyAsScalar) {
  using Edit = Bytes (*)(const Bytes&, size_t);
  const std::pair<const char*, Edit> edits[] = {
      {"as it is", [](const Bytes& s, size_t) { return s; }},
      {"marker missing",
       [](const Bytes& s, size_t at) {
         Bytes out = s;
         out.erase(out.begin() + static_cast<std::ptrdiff_t>(at), out.begin() + static_cast<std::ptrdiff_t>(at + 2));
         return out;
       }},
      {"marker twice",
       [](const Bytes& s, size_t at) {
         Bytes out = s;
         out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), s.begin() + static_cast<std::ptrdiff_t>(at),
                    s.begin() + static_cast<std::ptrdiff_t>(at + 2));
         return out;
       }},
      {"extra marker inside the interval",
       [](const Bytes& s, size_t at) {
         Bytes out = s;
         const uint8_t marker[] = {0xFF, 0xD5};
         const size_t inside = at > 5 ? at - 5 : at;
         out.insert(out.begin() + static_cast<std::ptrdiff_t>(inside), std::begin(marker), std::end(marker));
         return out;
       }},
      {"another restart number", [](const Bytes& s, size_t at) {
         Bytes out = s;
         out[at + 1] = static_cast<uint8_t>(0xD0 + (out[at + 1] + 3) % 8);
         return out;
       }},
      {"EOI in its place", [](const Bytes& s, size_t at) {
         Bytes out = s;
         out[at + 1] = 0xD9;
         return out;
       }},
      {"another marker code", [](const Bytes& s, size_t at) {
         Bytes out = s;
         out[at + 1] = 0xC4;
         return out;
       }},
      {"fill bytes before it",
       [](const Bytes& s, size_t at) {
         Bytes out = s;
         out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), 2, 0xFF);
         return out;
       }},
      {"a stuffed 0xFF in the four bytes after it",
       [](const Bytes& s, size_t at) {
         Bytes out = s;
         const uint8_t stuffed[] = {0xFF, 0x00};
         out.insert(out.begin() + static_cast<std::ptrdiff_t>(at + 3), std::begin(stuffed), std::end(stuffed));
         return out;
       }},
      {"a marker in the four bytes after it",
       [](const Bytes& s, size_t at) {
         Bytes out = s;
         const uint8_t marker[] = {0xFF, 0xD1};
         out.insert(out.begin() + static_cast<std::ptrdiff_t>(at + 4), std::begin(marker), std::end(marker));
         return out;
       }},
      {"a fill byte before a stuffed 0xFF in the interval",
       [](const Bytes& s, size_t at) {
         Bytes out = s;
         const uint8_t fillStuffed[] = {0xFF, 0xFF, 0x00};
         const size_t inside = at > 12 ? at - 12 : at;
         out.insert(out.begin() + static_cast<std::ptrdiff_t>(inside), std::begin(fillStuffed), std::end(fillStuffed));
         return out;
       }},
      {"data bytes before it",
       [](const Bytes& s, size_t at) {
         Bytes out = s;
         const uint8_t junk[] = {0x5A, 0xA5, 0x3C};
         out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), std::begin(junk), std::end(junk));
         return out;
       }},
      {"cut in the bytes after it", [](const Bytes& s, size_t at) { return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(at + 4)); }},
  };
  int streams = 0;
  std::mt19937 random(11);
  for (const char* name : {"restart_1mcu.jpg", "restart_5mcu_grey.jpg", "restart_jpegtran_3mcu.jpg", "restart_row.jpg",
                           "restart_flat_1mcu.jpg", "restart_flatgrey_1mcu.jpg"}) {
    const Bytes original = ReadFile(fs::path(ZENTRAFOLD_TEST_DATA) / name);
    const std::vector<size_t> markers = RestartMarkers(original);
    if (markers.size() < 4) continue;
    ++streams;
    for (const auto& [what, edit] : edits) {
      for (int n = 0; n < 6; ++n) {
        // The first and the last marker, and others at random.
        const size_t at = n == 0 ? markers.front() : n == 1 ? markers.back() : markers[random() % markers.size()];
        EXPECT_TRUE(DecodesAlike(edit(original, at))) << name << ": " << what << " at byte " << at;
      }
    }
  }
  if (streams == 0) GTEST_SKIP() << "no committed restart streams";
}

}  // namespace
