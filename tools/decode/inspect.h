// A quick look at a stream's headers, without decoding: the frame header,
// the tables' forms and the restart interval, and what in them puts the
// stream outside the decoder's profile. Safe on any bytes of any length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zentrafold::tool {

// Why a stream falls outside the profile, as far as its headers tell.
enum class Refusal {
  kNone,             // headers in profile (the entropy-coded data may still be damaged)
  kNotJpeg,          // no SOI marker at the start
  kProgressive,      // SOF2, SOF6, SOF10, SOF14
  kLossless,         // SOF3, SOF7, SOF11, SOF15
  kHierarchical,     // a DHP marker or a differential frame (SOF5-7, SOF13-15)
  kArithmetic,       // SOF9, SOF10, SOF11, SOF13-15 not covered above, or a DAC segment
  kExtended,         // SOF1: extended sequential
  kPrecision,        // sample precision other than 8
  kComponentCount,   // Nf other than 1 or 3
  kSampling,         // luma not 1x1, 1x2, 2x1, 2x2, or chroma not 1x1
  kComponentLayout,  // identifiers other than 1 (grey) or 1, 2, 3, or other quantisation tables
  kZeroSize,         // a frame of width or height 0
  kTables,           // 16-bit quantisation tables, or a table identifier above 1
  kDamaged,          // headers cut short or malformed, no frame, no scan
};

struct ComponentInfo {
  uint8_t id = 0;
  uint8_t sampling = 0;  // H in the high nibble, V in the low one
  uint8_t quantTable = 0;
};

struct StreamInfo {
  bool startsWithSoi = false;
  bool frameFound = false;
  bool scanFound = false;
  uint8_t frameMarker = 0;  // the second byte of the first SOFn marker
  uint8_t precision = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t componentCount = 0;  // Nf as the header gives it
  static constexpr int kMaxComponents = 4;
  ComponentInfo components[kMaxComponents];  // the first min(Nf, 4) entries
  uint32_t restartInterval = 0;               // from the last DRI before the scan, 0 when none
  bool hierarchical = false;                  // a DHP marker was seen
  bool arithmeticConditioning = false;        // a DAC segment was seen
  bool tablesAre16Bit = false;                // with kTables: 16-bit quantisation (else an id above 1)
  Refusal refusal = Refusal::kDamaged;

  uint64_t Pixels() const { return static_cast<uint64_t>(width) * height; }
};

// Walks the marker segments from SOI up to the first SOS (or the end).
StreamInfo InspectStream(const uint8_t* data, size_t size);

// One phrase for a refusal, naming what the header says ("progressive JPEG
// (only baseline is supported)", "12-bit samples (only 8-bit is supported)").
std::string DescribeRefusal(const StreamInfo& info);

// "baseline", "progressive", "lossless, arithmetic-coded", ...: the kind of
// frame its SOFn marker announces.
std::string DescribeFrameKind(uint8_t frameMarker);

}  // namespace zentrafold::tool
