// The fast kernels under test, with what the processor needs to run them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "decoder_state.h"

struct IdctKernel {
  std::string name;
  void (*run)(const CosineTable& table, int16_t* block);
  bool (*supported)();
};

struct OutputKernel {
  std::string name;
  void (*run)(DecoderState& state, uint8_t* destination, int columns, int rows);
  bool (*supported)();
};

struct ReducedIdctKernel {
  std::string name;
  void (*run)(const int16_t* block, int scaleShift, int16_t* out, int outStride);
  bool (*supported)();
};

inline bool Always() { return true; }

inline std::vector<ReducedIdctKernel> ReducedIdctKernels() {
  std::vector<ReducedIdctKernel> kernels;
#if defined(ZENTRAFOLD_HAVE_SSE2)
  kernels.push_back({"sse2", ReducedInverseDctSse2, Always});
#endif
#if defined(ZENTRAFOLD_HAVE_AVX2)
  kernels.push_back({"avx2", ReducedInverseDctAvx2, CpuHasAvx2});
#endif
  return kernels;
}

inline std::vector<IdctKernel> IdctKernels() {
  std::vector<IdctKernel> kernels;
#if defined(ZENTRAFOLD_HAVE_SSE2)
  kernels.push_back({"sse2", InverseDctSse2, Always});
#endif
#if defined(ZENTRAFOLD_HAVE_AVX2)
  kernels.push_back({"avx2", InverseDctAvx2, CpuHasAvx2});
#endif
  return kernels;
}

inline std::vector<OutputKernel> OutputKernels() {
  std::vector<OutputKernel> kernels;
#if defined(ZENTRAFOLD_HAVE_SSE2)
  kernels.push_back({"sse2", OutputMcuSse2, Always});
#endif
#if defined(ZENTRAFOLD_HAVE_AVX2)
  kernels.push_back({"avx2", OutputMcuAvx2, CpuHasAvx2});
#endif
  return kernels;
}

// The general output stage's fast twins (every other layout and colour).
inline std::vector<OutputKernel> GeneralOutputKernels() {
  std::vector<OutputKernel> kernels;
#if defined(ZENTRAFOLD_HAVE_SSE2)
  kernels.push_back({"sse2", OutputMcuGeneralSse2, Always});
#endif
  return kernels;
}

struct LineConverter {
  std::string name;
  void (*run)(const DecoderState& state, const int16_t* const* line, int columns, uint8_t* out);
  bool (*supported)();
};

// ConvertLine's fast twins (the strip of scaled views).
inline std::vector<LineConverter> LineConverters() {
  std::vector<LineConverter> kernels;
#if defined(ZENTRAFOLD_HAVE_SSE2)
  kernels.push_back({"sse2", ConvertLineSse2, Always});
#endif
#if defined(ZENTRAFOLD_HAVE_AVX2)
  kernels.push_back({"avx2", ConvertLineAvx2, CpuHasAvx2});
#endif
  return kernels;
}

// Test names and messages show the kernel's name rather than its bytes.
inline void PrintTo(const IdctKernel& kernel, std::ostream* os) { *os << kernel.name; }
inline void PrintTo(const OutputKernel& kernel, std::ostream* os) { *os << kernel.name; }
inline void PrintTo(const LineConverter& kernel, std::ostream* os) { *os << kernel.name; }

template <typename Kernel>
std::string KernelName(const testing::TestParamInfo<Kernel>& info) {
  return info.param.name;
}
