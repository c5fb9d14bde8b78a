// Picks the fast paths once per process. ZENTRAFOLD_FORCE_SCALAR=1 in the
// environment keeps every stage on its scalar procedure.
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "decoder_state.h"

namespace {

const DecoderPaths kScalar = {DecodeMcu, false, InverseDct, OutputMcu, "scalar", OutputMcuGeneral, ReducedInverseDct,
                             ConvertLine};
#if defined(ZENTRAFOLD_HAVE_SSE2)
const DecoderPaths kSse2 = {DecodeMcuFast, true, InverseDctSse2, OutputMcuSse2, "sse2", OutputMcuGeneralSse2,
                           ReducedInverseDctSse2, ConvertLineSse2};
#endif
#if defined(ZENTRAFOLD_HAVE_AVX2)
const DecoderPaths kAvx2 = {DecodeMcuFast, true, InverseDctAvx2, OutputMcuAvx2, "avx2", OutputMcuGeneralSse2,
                           ReducedInverseDctAvx2, ConvertLineAvx2};
#endif
#if !defined(ZENTRAFOLD_HAVE_SSE2)
const DecoderPaths kPortable = {DecodeMcuFast, true, InverseDct, OutputMcu, "portable", OutputMcuGeneral,
                               ReducedInverseDct, ConvertLine};
#endif

const DecoderPaths& Pick() {
  const char* force = getenv("ZENTRAFOLD_FORCE_SCALAR");
  if (force != nullptr && strcmp(force, "1") == 0) return kScalar;
#if defined(ZENTRAFOLD_HAVE_AVX2)
  if (CpuHasAvx2()) return kAvx2;
#endif
#if defined(ZENTRAFOLD_HAVE_SSE2)
  return kSse2;  // SSE2 is part of every x86-64 processor
#else
  return kPortable;
#endif
}

}  // namespace

#if defined(ZENTRAFOLD_HAVE_AVX2)
bool CpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

const DecoderPaths& ScalarPaths() { return kScalar; }

// Picked on first use; two threads that race there pick the same paths.
static std::atomic<const DecoderPaths*> gSelected{nullptr};

const DecoderPaths& SelectedPaths() {
  const DecoderPaths* selected = gSelected.load(std::memory_order_acquire);
  if (selected == nullptr) {
    selected = &Pick();
    gSelected.store(selected, std::memory_order_release);
  }
  return *selected;
}
