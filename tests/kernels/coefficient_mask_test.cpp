// The nonzero-coefficient mask of the refinement scans and the store's
// pixel stages: the SSE2 version against the plain one and against the
// definition, over random blocks of every density, every single position
// and the values whose bits the plain version's carries must not lose.
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

::testing::AssertionResult Agree(const Block& block) {
  const uint64_t expected = Defined(block);
  const uint64_t scalar = NonzeroMaskScalar(block.data());
  const uint64_t fast = NonzeroMask(block.data());
  if (scalar == expected && fast == expected) return ::testing::AssertionSuccess();
  std::string values;
  for (int16_t v : block) values += std::to_string(v) + " ";
  return ::testing::AssertionFailure() << std::hex << "expected " << expected << ", plain " << scalar << ", fast "
                                       << fast << "; block " << values;
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
    for (int round = 0; round < 2000; ++round) {
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
