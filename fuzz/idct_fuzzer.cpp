// Each fast inverse DCT this processor has against the scalar one, on
// fuzzed blocks: 64 int16 coefficients, little-endian, from the input's first
// 128 bytes (a shorter input leaves the rest zero, so sparse blocks, the
// common case the fast path shortcuts, come up often).
#include <cstring>

#include "decoder_state.h"
#include "fuzz_check.h"
#include "kernels.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CosineTable table;
  static const bool built = (BuildCosineTable(table), true);
  (void)built;

  int16_t block[64] = {};
  for (size_t i = 0; i < 64 && 2 * i + 1 < size; ++i)
    block[i] = static_cast<int16_t>(static_cast<uint16_t>(data[2 * i] | data[2 * i + 1] << 8));
  int16_t scalar[64];
  std::memcpy(scalar, block, sizeof block);
  InverseDct(table, scalar);
  for (const FastKernels& kernels : AvailableFastKernels()) {
    int16_t fast[64];
    std::memcpy(fast, block, sizeof block);
    kernels.inverseDct(table, fast);
    FUZZ_CHECK(std::memcmp(scalar, fast, sizeof scalar) == 0);
  }
  return 0;
}
