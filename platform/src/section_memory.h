// Used by the platform stand-in's own sources, its tests and the benchmark
// only: the allocator behind DIB sections, so that a benchmark can give the
// peer decoders' output the same kind of memory as ours.
#pragma once

#include <cstdint>

namespace zentrafold::platform {

// One zero-filled block of `bytes`, or null. Large blocks are mapped on
// their own, aligned to 2 MB and marked for transparent huge pages, so that
// a big picture's first touch faults in 2 MB at a time instead of 4 KB.
void* AllocateSectionMemory(uint64_t bytes);
// Frees a block from AllocateSectionMemory; `bytes` is the size asked for.
void FreeSectionMemory(void* memory, uint64_t bytes);

}  // namespace zentrafold::platform
