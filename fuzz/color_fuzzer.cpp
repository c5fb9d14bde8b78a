// MCU output (assembly, clamps and colour conversion into the section) on
// each fast path this processor has against the scalar one. Input layout:
//   byte 0  the MCU kind: low 2 bits pick the luma sampling 1x1, 1x2, 2x1,
//           2x2; bit 2 makes it a grey frame
//   byte 1  the columns of the MCU inside the image (1..MCU width; values
//           past it wrap), byte 2 the rows likewise
//   byte 3  extra image width to the right of the MCU (0..15)
//   then up to 6 x 64 int16 inverse DCT outputs, little-endian (the rest 0)
#include <cstring>
#include <vector>

#include "decoder_state.h"
#include "fuzz_check.h"
#include "kernels.h"

namespace {

constexpr uint32_t kSamplings[4] = {0x11, 0x12, 0x21, 0x22};

DecoderState& State() {
  static DecoderState* state = [] {
    DecoderState* s = CreateDecoderState();
    FUZZ_CHECK(s != nullptr);
    BuildColorTables(s->colorTables);
    return s;
  }();
  return *state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  DecoderState& state = State();
  const uint32_t sampling = kSamplings[data[0] & 3];
  const bool grey = (data[0] & 4) != 0;
  state.samplingCode = grey ? 0x11 : sampling;
  state.componentCount = grey ? 1 : 3;
  const int mcuWidth = McuWidth(state.samplingCode);
  const int mcuHeight = McuHeight(state.samplingCode);
  const int columns = data[1] % mcuWidth + 1;
  const int rows = data[2] % mcuHeight + 1;
  state.width = static_cast<uint32_t>(columns + (data[3] & 15));
  state.outputStride = static_cast<size_t>(state.width) * 4;

  int16_t blocks[6 * 64] = {};
  const size_t count = (size - 4) / 2 < 6 * 64 ? (size - 4) / 2 : 6 * 64;
  for (size_t i = 0; i < count; ++i)
    blocks[i] = static_cast<int16_t>(static_cast<uint16_t>(data[4 + 2 * i] | data[5 + 2 * i] << 8));

  // Exactly the rows the MCU writes, so a write outside them is caught.
  const size_t bytes = static_cast<size_t>(rows) * state.width * 4;
  std::vector<uint8_t> scalar(bytes, 0xA5);
  std::memcpy(state.blockBuffer, blocks, sizeof blocks);
  OutputMcu(state, scalar.data(), columns, rows);
  for (const FastKernels& kernels : AvailableFastKernels()) {
    std::vector<uint8_t> fast(bytes, 0xA5);
    std::memcpy(state.blockBuffer, blocks, sizeof blocks);
    kernels.outputMcu(state, fast.data(), columns, rows);
    FUZZ_CHECK(scalar == fast);
  }
  return 0;
}
