// Pixel memory for DIB sections.
#include "platform_internal.h"

#include <cstdlib>

namespace zentrafold::platform {

void* AllocateSectionMemory(uint64_t bytes) {
  if (bytes == 0 || bytes > SIZE_MAX) return nullptr;
  return std::calloc(1, static_cast<size_t>(bytes));
}

void FreeSectionMemory(void* memory, uint64_t /*bytes*/) { std::free(memory); }

}  // namespace zentrafold::platform
