// Pixel memory for DIB sections.
//
// A fresh 4 KB page costs about 10 microseconds on its first touch, so a
// 60 MB section filled page by page would spend more time faulting than
// decoding. Blocks from 2 MB up are therefore mapped by themselves, aligned
// to 2 MB and advised for transparent huge pages; smaller ones come from the
// C heap. Either way the block is zero-filled, as a new section is.
#include "section_memory.h"

#include <cstdint>
#include <cstdlib>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define ZENTRAFOLD_SECTION_MMAP 1
#endif

namespace zentrafold::platform {
namespace {

constexpr uint64_t kHugePage = uint64_t{2} << 20;
constexpr uint64_t kMappedThreshold = kHugePage;

uint64_t RoundUpToHugePage(uint64_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

#if defined(ZENTRAFOLD_SECTION_MMAP)
// Maps one huge page more than needed and trims the ends, so that the block
// starts on a 2 MB boundary and every huge page of it can be backed whole.
void* MapAligned(uint64_t bytes) {
  const size_t length = static_cast<size_t>(RoundUpToHugePage(bytes));
  const size_t padded = length + static_cast<size_t>(kHugePage);
  void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<uintptr_t>(kHugePage - 1);
  const size_t head = aligned - start;
  const size_t tail = padded - head - length;
  if (head != 0) munmap(raw, head);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  void* block = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  madvise(block, length, MADV_HUGEPAGE);  // advice only: without it the block still works
#endif
  return block;
}
#endif

}  // namespace

void* AllocateSectionMemory(uint64_t bytes) {
  if (bytes == 0 || bytes > SIZE_MAX - kHugePage) return nullptr;
#if defined(ZENTRAFOLD_SECTION_MMAP)
  if (bytes >= kMappedThreshold) return MapAligned(bytes);
#endif
  return std::calloc(1, static_cast<size_t>(bytes));
}

void FreeSectionMemory(void* memory, uint64_t bytes) {
  if (memory == nullptr) return;
#if defined(ZENTRAFOLD_SECTION_MMAP)
  if (bytes >= kMappedThreshold) {
    munmap(memory, static_cast<size_t>(RoundUpToHugePage(bytes)));
    return;
  }
#endif
  (void)bytes;
  std::free(memory);
}

}  // namespace zentrafold::platform
