// The entry over a caller-owned state: the same pixels as DecodeImage on the
// static record, from a fresh state and from one reused across streams of
// other layouts, and on several threads at once.
#include <gtest/gtest.h>
#include <zentrafold/platform_debug.h>
#include <zentrafold/decoder.h>

#include <thread>

#include "test_streams.h"

namespace zentrafold::test {
namespace {

Pixels DecodeWithState(DecoderState* state, const std::vector<uint8_t>& bytes) {
  Pixels pixels;
  const ImageRecord* image = DecodeImageWithState(state, bytes.data(), bytes.size(), nullptr);
  if (image == nullptr) return pixels;
  pixels.width = static_cast<uint32_t>(image->header.biWidth);
  pixels.height = static_cast<uint32_t>(-image->header.biHeight);
  const auto* bits = static_cast<const uint8_t*>(image->bits);
  pixels.channels = 4;
  pixels.bytes.assign(bits, bits + size_t{pixels.width} * pixels.height * 4);
  EXPECT_TRUE(DeleteObject(image->bitmap));
  return pixels;
}

TEST(DecoderStateTest, FreshAndReusedStatesDecodeAsTheStaticOne) {
  DecoderState* reused = CreateDecoderState();
  ASSERT_NE(reused, nullptr);
  const std::vector<uint8_t> refused = ReadFile(StreamDir() / "progressive.jpg");
  for (int round = 0; round < 2; ++round) {
    for (const std::string& name : BaselineNames()) {
      SCOPED_TRACE(name);
      const std::vector<uint8_t> bytes = ReadFile(BaselineStream(name));
      const Pixels expected = DecodeWithLibrary(BaselineStream(name));
      ASSERT_FALSE(expected.bytes.empty());
      DecoderState* fresh = CreateDecoderState();
      EXPECT_TRUE(DecodeWithState(fresh, bytes) == expected);
      DestroyDecoderState(fresh);
      EXPECT_TRUE(DecodeWithState(reused, bytes) == expected);
      // A refusal in between leaves nothing behind that the next decode sees.
      EXPECT_EQ(DecodeImageWithState(reused, refused.data(), refused.size(), nullptr), nullptr);
    }
  }
  DestroyDecoderState(reused);
  EXPECT_EQ(DecodeImageWithState(nullptr, refused.data(), refused.size(), nullptr), nullptr);
  DestroyDecoderState(nullptr);
}

TEST(DecoderStateTest, ThreadsWithTheirOwnStatesAgree) {
  std::vector<std::vector<uint8_t>> streams;
  std::vector<Pixels> expected;
  for (const std::string& name : BaselineNames()) {
    streams.push_back(ReadFile(BaselineStream(name)));
    expected.push_back(DecodeWithLibrary(BaselineStream(name)));
  }
  const int live = ZentrafoldLiveGdiObjects();
  constexpr int kThreads = 4;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      DecoderState* state = CreateDecoderState();
      for (int round = 0; round < 20; ++round) {
        const size_t i = static_cast<size_t>(t + round) % streams.size();
        Pixels got;
        const ImageRecord* image = DecodeImageWithState(state, streams[i].data(), streams[i].size(), nullptr);
        if (image != nullptr) {
          const auto* bits = static_cast<const uint8_t*>(image->bits);
          const auto width = static_cast<uint32_t>(image->header.biWidth);
          const auto height = static_cast<uint32_t>(-image->header.biHeight);
          got = Pixels{width, height, 4, {bits, bits + size_t{width} * height * 4}};
          if (!DeleteObject(image->bitmap)) ++mismatches[t];  // sections made and freed in parallel
        }
        if (!(got == expected[i])) ++mismatches[t];
      }
      DestroyDecoderState(state);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), live);
}

}  // namespace
}  // namespace zentrafold::test
