// The ceiling section_limit.cpp puts on section memory in the fuzz targets.
#pragma once

#include <cstdint>

namespace zentrafold::platform {

inline constexpr uint64_t kFuzzSectionCeiling = uint64_t{256} << 10;

}  // namespace zentrafold::platform
