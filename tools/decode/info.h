// --info: what the frame header of each input says.
#pragma once

#include <string>
#include <vector>

#include "inspect.h"

namespace zentrafold::tool {

// One line without the file name: "2560x1600, baseline, 8-bit, 3 components
// (1: 2x2 q0, 2: 1x1 q1, 3: 1x1 q1), restart interval 0, in profile".
std::string DescribeStream(const StreamInfo& info);

// Prints "FILE: description" for each input on stdout. Returns the exit
// status: 0 all in profile, 1 some outside it, 2 some unreadable.
int PrintInfo(const std::vector<std::string>& inputs);

}  // namespace zentrafold::tool
