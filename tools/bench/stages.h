// The stage profile: one decode with each stage of the MCU loop timed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zentrafold::bench {

struct StageTimes {
  double entropy = 0;   // entropy decoding and dequantisation (DecodeMcu)
  double idct = 0;      // InverseDct, every block
  double assembly = 0;  // AssembleMcu (fused with colour on the fast paths)
  double color = 0;     // WriteMcuPixels
  double total = 0;     // the whole DecodeImage, section included
  bool ok = false;
};

// Seconds per stage for one decode on the scalar paths (`scalar`) or on the
// fast paths this processor gets. Each figure is the median over `repeat` decodes.
StageTimes ProfileStages(const uint8_t* data, size_t size, bool scalar, int repeat);
// The name of the fast paths ("sse2", ...).
std::string FastPathName();

}  // namespace zentrafold::bench
