// Decoder states owned by the caller: the only allocations in the library,
// made before a decode and never during one. Plain C allocation, so that C
// programs link the library without a C++ runtime.
#include "decoder_state.h"

#include <stdint.h>
#include <stdlib.h>

namespace {

// Every field of the state may ask for up to this alignment.
constexpr size_t kStateAlignment = 64;

}  // namespace

// Zero bytes: every field zero, as the static record is at process start, so
// the colour and cosine tables are found missing and built on the first
// decode. The block from calloc is kept just before the aligned one.
void* AllocateZeroed(size_t size) {
  void* raw = calloc(1, size + kStateAlignment);
  if (raw == nullptr) return nullptr;
  const uintptr_t aligned = (reinterpret_cast<uintptr_t>(raw) + kStateAlignment) & ~(kStateAlignment - 1);
  reinterpret_cast<void**>(aligned)[-1] = raw;
  return reinterpret_cast<void*>(aligned);
}

void FreeAllocated(void* block) {
  if (block != nullptr) free(static_cast<void**>(block)[-1]);
}

DecoderState* CreateDecoderState() {
  static_assert(alignof(DecoderState) <= kStateAlignment, "the state needs a larger alignment");
  return static_cast<DecoderState*>(AllocateZeroed(sizeof(DecoderState)));
}

void DestroyDecoderState(DecoderState* state) { FreeAllocated(state); }
