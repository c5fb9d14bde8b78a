#include "hostile_support.h"

#include <zentrafold/decoder.h>
#include <zentrafold/platform_debug.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "decoder_state.h"
#include "test_streams.h"

namespace zentrafold::hostile {
namespace {

DecoderState& ScalarState() {
  static DecoderState* state = [] {
    DecoderState* s = CreateDecoderState();
    if (s == nullptr) throw std::runtime_error("no memory for a decoder state");
    s->paths = &ScalarPaths();
    return s;
  }();
  return *state;
}

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
  using Clock = std::chrono::steady_clock;

  Outcome outcome;
  const auto t0 = Clock::now();
  ImageRecord* fast = DecodeImage(copy.get(), stream.size(), nullptr);
  const auto t1 = Clock::now();
  ImageRecord* scalar = DecodeImageWithState(ScalarState(), copy.get(), stream.size(), nullptr);
  const auto t2 = Clock::now();
  outcome.seconds = std::max(std::chrono::duration<double>(t1 - t0).count(),
                             std::chrono::duration<double>(t2 - t1).count());

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

double TimeBound(uint64_t pixels) { return 0.25 + 2e-6 * static_cast<double>(pixels); }

}  // namespace zentrafold::hostile
