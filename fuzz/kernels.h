// The fast inverse DCT and MCU output kernels this build and processor
// have, each to be held equal to its scalar twin.
#pragma once

#include <vector>

#include "decoder_state.h"

struct FastKernels {
  const char* name;
  void (*inverseDct)(const CosineTable& table, int16_t* block);
  void (*outputMcu)(DecoderState& state, uint8_t* destination, int columns, int rows);
};

inline const std::vector<FastKernels>& AvailableFastKernels() {
  static const std::vector<FastKernels> kernels = [] {
    std::vector<FastKernels> list;
#if defined(ZENTRAFOLD_HAVE_SSE2)
    list.push_back({"sse2", InverseDctSse2, OutputMcuSse2});
#endif
#if defined(ZENTRAFOLD_HAVE_AVX2)
    if (CpuHasAvx2()) list.push_back({"avx2", InverseDctAvx2, OutputMcuAvx2});
#endif
    // Whatever the dispatch picks, too, in case it is none of the above.
    list.push_back({SelectedPaths().name, SelectedPaths().inverseDct, SelectedPaths().outputMcu});
    return list;
  }();
  return kernels;
}
