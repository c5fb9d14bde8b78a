// --info: what each input's headers say, as the decoder's own header stage
// (ZfReadInfo) reads them, and its verdict on them.
#pragma once

#include <zentrafold/zentrafold.h>

#include <string>
#include <vector>

namespace zentrafold::tool {

// One line without the file name: "2560x1600, baseline, 8-bit, 3 components
// (1: 2x2 q0, 2: 1x1 q1, 3: 1x1 q1), restart interval 0; decoder: ok", the
// part after "decoder: " being ZfStatusText(status). "no frame header; decoder:
// ..." when the header stage stopped before a frame header.
std::string DescribeStream(const ZfInfo& info, ZfStatus status);

// Prints "FILE: description" for each input on stdout, with the status the
// decode would give at the headers: a frame of more than `maxPixels` pixels
// is too large, as for the decode. Returns the exit status: 0 all taken at
// the headers, 1 some refused there, 2 some unreadable.
int PrintInfo(const std::vector<std::string>& inputs, uint64_t maxPixels);

}  // namespace zentrafold::tool
