// The nonzero-coefficient masks of the refinement scans and the store's
// pixel stages, of whole blocks and of every band: the SSE2 versions
// against the plain ones and against the definition, over random blocks of
// every density, every single position and the values whose bits the plain
// version's carries must not lose.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "coefficient_mask.h"

namespace {

using Block = std::array<int16_t, 64>;

uint64_t Defined(const Block& block) {
  uint64_t mask = 0;
  for (int k = 0; k < 64; ++k)
    if (block[k] != 0) mask |= uint64_t{1} << k;
  return mask;
}

uint64_t Band(int start, int end) {
  const uint64_t upTo = end >= 63 ? ~uint64_t{0} : (uint64_t{1} << (end + 1)) - 1;
  return upTo & ~((uint64_t{1} << start) - 1);
}

// The whole-block masks, and the band masks of every band (start..end).
::testing::AssertionResult Agree(const Block& block) {
  const uint64_t expected = Defined(block);
  const uint64_t scalar = NonzeroMaskScalar(block.data());
  const uint64_t fast = NonzeroMask(block.data());
  std::string values;
  for (int16_t v : block) values += std::to_string(v) + " ";
  if (scalar != expected || fast != expected)
    return ::testing::AssertionFailure() << std::hex << "expected " << expected << ", plain " << scalar << ", fast "
                                         << fast << "; block " << values;
  for (int start = 0; start < 64; ++start) {
    for (int end = start; end < 64; ++end) {
      const uint64_t band = expected & Band(start, end);
      const uint64_t plain = NonzeroMaskBandScalar(block.data(), start, end);
      const uint64_t sse = NonzeroMaskBand(block.data(), start, end);
      if (plain != band || sse != band)
        return ::testing::AssertionFailure() << std::hex << "band " << std::dec << start << ".." << end << std::hex
                                             << ": expected " << band << ", plain " << plain << ", fast " << sse
                                             << "; block " << values;
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(CoefficientMask, EverySinglePositionAndValueClass) {
  for (int16_t value : {1, -1, 2, 0x7FFF, -0x7FFF, -0x8000, 0x4000, 0x0100, -0x0100, 0x00FF}) {
    for (int k = 0; k < 64; ++k) {
      Block block{};
      block[k] = value;
      ASSERT_TRUE(Agree(block));
      // All but this one set.
      block.fill(value);
      block[k] = 0;
      ASSERT_TRUE(Agree(block));
    }
  }
}

TEST(CoefficientMask, RandomBlocksOfEveryDensity) {
  std::mt19937 random(20261209);
  for (int density = 0; density <= 64; density += 4) {
    for (int round = 0; round < 200; ++round) {
      Block block{};
      for (int k = 0; k < 64; ++k) {
        if (static_cast<int>(random() % 64) >= density) continue;
        // Small values mostly, the extremes now and then.
        const uint32_t pick = random() % 8;
        block[k] = pick == 0 ? static_cast<int16_t>(random()) : static_cast<int16_t>(static_cast<int>(random() % 15) - 7);
      }
      ASSERT_TRUE(Agree(block));
    }
  }
}

}  // namespace
