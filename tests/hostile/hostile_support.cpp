#include "hostile_support.h"

#include <zentrafold/decoder.h>
#include <zentrafold/platform_debug.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "decoder_state.h"
#include "test_streams.h"

namespace zentrafold::hostile {
namespace {

// The stage procedures of a path, each counting its calls into gWork[I]
// before it runs: 0 the fast paths of this processor, 1 the scalar ones.
Work gWork[2];
const DecoderPaths* gUnder[2];

template <int I>
int CountedDecodeMcu(DecoderState& state) {
  ++gWork[I].mcus;
  return gUnder[I]->decodeMcu(state);
}
template <int I>
void CountedInverseDct(const CosineTable& table, int16_t* block) {
  ++gWork[I].blocks;
  gUnder[I]->inverseDct(table, block);
}
template <int I>
void CountedOutputMcu(DecoderState& state, uint8_t* destination, int columns, int rows) {
  ++gWork[I].outputs;
  gUnder[I]->outputMcu(state, destination, columns, rows);
}

template <int I>
DecoderState& CountingState(const DecoderPaths& under) {
  static DecoderPaths counted;
  static DecoderState* state = [&] {
    gUnder[I] = &under;
    counted = {CountedDecodeMcu<I>, under.usesFastAcTables, CountedInverseDct<I>, CountedOutputMcu<I>, under.name,
               under.outputGeneral, under.reducedInverseDct, under.convertLine};
    DecoderState* s = CreateDecoderState();
    if (s == nullptr) throw std::runtime_error("no memory for a decoder state");
    s->paths = &counted;
    return s;
  }();
  return *state;
}

DecoderState& FastState() { return CountingState<0>(SelectedPaths()); }
DecoderState& ScalarState() { return CountingState<1>(ScalarPaths()); }

// Position of the first SOS marker at or after `from`, walking segments.
size_t FindScan(const Bytes& s) {
  size_t pos = 2;
  while (pos + 4 <= s.size()) {
    if (s[pos] != 0xFF) throw std::runtime_error("test stream: no marker where one belongs");
    const uint8_t code = s[pos + 1];
    if (code == 0xDA) return pos;
    pos += 2 + (static_cast<size_t>(s[pos + 2]) << 8 | s[pos + 3]);
  }
  throw std::runtime_error("test stream: no SOS");
}

}  // namespace

Bytes Stream(const std::string& name) {
  static std::map<std::string, Bytes> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  std::filesystem::path path;
  if (name == "restart1") {
    path = test::StreamDir() / "restart1.jpg";
    const std::string source = test::Quote(test::StreamDir() / "source.ppm");
    if (test::RunShell("cjpeg -sample 1x1 -restart 1B " + source + " > " + test::Quote(path)) != 0)
      throw std::runtime_error("cjpeg failed");
  } else {
    path = test::BaselineStream(name);
  }
  Bytes bytes = test::ReadFile(path);
  if (bytes.size() < 4) throw std::runtime_error("test stream missing: " + path.string());
  return cache[name] = bytes;
}

SplitStream Split(const Bytes& stream) {
  const size_t sos = FindScan(stream);
  const size_t dataStart = sos + 2 + (static_cast<size_t>(stream[sos + 2]) << 8 | stream[sos + 3]);
  size_t dataEnd = stream.size();
  if (dataEnd >= 2 && stream[dataEnd - 2] == 0xFF && stream[dataEnd - 1] == 0xD9) dataEnd -= 2;
  SplitStream split;
  split.headers.assign(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(dataStart));
  split.data.assign(stream.begin() + static_cast<std::ptrdiff_t>(dataStart),
                    stream.begin() + static_cast<std::ptrdiff_t>(dataEnd));
  return split;
}

Bytes SplitStream::Join() const {
  Bytes out = headers;
  out.insert(out.end(), data.begin(), data.end());
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

std::vector<Segment> Segments(const Bytes& headers) {
  std::vector<Segment> segments;
  size_t pos = 2;
  while (pos + 4 <= headers.size()) {
    const size_t length = static_cast<size_t>(headers[pos + 2]) << 8 | headers[pos + 3];
    const size_t end = std::min(headers.size(), pos + 2 + length);
    segments.push_back({headers[pos + 1], Bytes(headers.begin() + static_cast<std::ptrdiff_t>(pos),
                                                headers.begin() + static_cast<std::ptrdiff_t>(end))});
    pos = end;
  }
  return segments;
}

Bytes JoinSegments(const std::vector<Segment>& segments) {
  Bytes out{0xFF, 0xD8};
  for (const Segment& s : segments) out.insert(out.end(), s.bytes.begin(), s.bytes.end());
  return out;
}

Bytes HuffmanSegment(uint8_t classAndId, const std::vector<int>& counts, const Bytes& symbols) {
  const size_t length = 2 + 1 + 16 + symbols.size();
  Bytes out{0xFF, 0xC4, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), classAndId};
  for (int i = 0; i < 16; ++i) out.push_back(static_cast<uint8_t>(i < static_cast<int>(counts.size()) ? counts[i] : 0));
  out.insert(out.end(), symbols.begin(), symbols.end());
  return out;
}

Outcome Decode(const Bytes& stream, bool keepPixels) {
  const int liveBefore = ZentrafoldLiveGdiObjects();
  const auto copy = std::make_unique<uint8_t[]>(stream.size());
  if (!stream.empty()) std::memcpy(copy.get(), stream.data(), stream.size());
  Outcome outcome;
  gWork[0] = gWork[1] = Work{};
  ImageRecord* fast = DecodeImageWithState(FastState(), copy.get(), stream.size(), nullptr);
  ImageRecord* scalar = DecodeImageWithState(ScalarState(), copy.get(), stream.size(), nullptr);
  for (const Work& w : gWork) {
    outcome.work.mcus = std::max(outcome.work.mcus, w.mcus);
    outcome.work.blocks = std::max(outcome.work.blocks, w.blocks);
    outcome.work.outputs = std::max(outcome.work.outputs, w.outputs);
  }
  // The frame the headers declared, as far as they were read.
  const DecoderState& read = ScalarState();
  outcome.frameAreas = ((uint64_t{read.width} + 7) / 8) * ((uint64_t{read.height} + 7) / 8);

  EXPECT_EQ(fast == nullptr, scalar == nullptr) << "fast and scalar paths disagree on refusing";
  if (fast != nullptr && scalar != nullptr) {
    outcome.decoded = true;
    outcome.width = static_cast<uint32_t>(fast->header.biWidth);
    outcome.height = static_cast<uint32_t>(-fast->header.biHeight);
    EXPECT_NE(fast->bits, nullptr);
    EXPECT_EQ(fast->header.biBitCount, 32);
    EXPECT_EQ(scalar->header.biWidth, fast->header.biWidth);
    EXPECT_EQ(scalar->header.biHeight, fast->header.biHeight);
    const size_t bytes = static_cast<size_t>(outcome.width) * outcome.height * 4;
    if (scalar->header.biWidth == fast->header.biWidth && scalar->header.biHeight == fast->header.biHeight) {
      EXPECT_EQ(std::memcmp(fast->bits, scalar->bits, bytes), 0) << "fast and scalar pixels differ";
    }
    if (keepPixels) {
      const auto* p = static_cast<const uint8_t*>(fast->bits);
      outcome.bgrx.assign(p, p + bytes);
    }
  }
  if (fast != nullptr) {
    EXPECT_TRUE(DeleteObject(fast->bitmap));
  }
  if (scalar != nullptr) {
    EXPECT_TRUE(DeleteObject(scalar->bitmap));
  }
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), liveBefore) << "a section was left alive";
  return outcome;
}

void ExpectWorkInProportion(const Outcome& o) {
  EXPECT_LE(o.work.mcus, o.frameAreas) << "more MCUs decoded than the frame holds";
  EXPECT_LE(o.work.blocks, 6 * o.work.mcus) << "more inverse DCTs than the MCUs decoded hold blocks";
  EXPECT_LE(o.work.outputs, o.work.mcus) << "more MCUs written than decoded";
}

}  // namespace zentrafold::hostile
