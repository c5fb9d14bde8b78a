// Section memory for the fuzz targets: the platform's allocator with a
// ceiling of 256 KB (64 Ki pixels), standing in for the allocation failure a
// real machine gives somewhat higher up. A fuzzed header asks for frames of
// up to 65535 x 65535; without the ceiling every such input would spend
// seconds filling a 2 GB section, and the run would measure page faults
// instead of finding faults. Frames above it still pass the whole header
// path and must come back null with nothing alive.
//
// Linked into each target ahead of the platform library, these definitions
// take the place of the library's own.
#include "section_limit.h"

#include <cstdint>
#include <cstdlib>

namespace zentrafold::platform {

void* AllocateSectionMemory(uint64_t bytes) {
  if (bytes == 0 || bytes > kFuzzSectionCeiling) return nullptr;
  return std::calloc(1, static_cast<size_t>(bytes));
}

void FreeSectionMemory(void* memory, uint64_t /*bytes*/) { std::free(memory); }

}  // namespace zentrafold::platform
