// Helpers for the hostile-input tests: streams split into their segments and
// entropy-coded data, and one checked decode that every test goes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zentrafold::hostile {

using Bytes = std::vector<uint8_t>;

// The committed-style test streams (made with cjpeg on first use) by name:
// "s11", "s12", "s21", "s22", "grey", "restart" (2x2, a restart every 10
// MCUs), and "restart1" (1x1, a restart after every MCU).
Bytes Stream(const std::string& name);

// A stream cut at its SOS: `headers` runs from SOI to the end of the SOS
// header, `data` is the entropy-coded data up to (not including) the final
// EOI marker.
struct SplitStream {
  Bytes headers;
  Bytes data;
  Bytes Join() const;  // headers + data + EOI
};
SplitStream Split(const Bytes& stream);

// The segments before SOS, each from its 0xFF marker byte up to the next
// marker (for DHT and DQT that is all of its tables).
struct Segment {
  uint8_t code;
  Bytes bytes;
};
std::vector<Segment> Segments(const Bytes& headers);
Bytes JoinSegments(const std::vector<Segment>& segments);  // SOI + segments

// A DHT segment holding one table: class/identifier byte, 16 counts (as
// given, each taken modulo 256 into its byte) and the symbols.
Bytes HuffmanSegment(uint8_t classAndId, const std::vector<int>& counts, const Bytes& symbols);

// The work of a decode, counted as calls of the MCU loop's stages.
struct Work {
  uint64_t mcus = 0;     // entropy-decoded
  uint64_t blocks = 0;   // inverse DCTs
  uint64_t outputs = 0;  // MCUs assembled and written
};

// What a decode gave.
struct Outcome {
  bool decoded = false;
  uint32_t width = 0;
  uint32_t height = 0;
  Bytes bgrx;
  Work work;                // the larger counts of the two decodes
  uint64_t frameAreas = 0;  // 8 x 8 areas of the frame its headers declare (0: none read)
};

// Decodes `stream` (copied into an allocation of exactly its size) twice,
// through DecodeImageWithState, on a state with this processor's fast paths
// and on one held to the scalar paths, counting the stages' calls. Records a test failure when the two disagree, when a
// picture's record is inconsistent, or when a GDI object is left alive
// after the sections are deleted. `keepPixels` keeps the pixels.
Outcome Decode(const Bytes& stream, bool keepPixels = false);

// Records a failure when a decode did more than its frame asks: more MCUs
// than the frame's 8 x 8 areas (an MCU covers at least one), more inverse
// DCTs than those MCUs hold blocks, more MCUs written than decoded. What
// else a decode does (walking headers, searching for markers) moves through
// the stream, so work out of proportion to the picture shows in these
// counts, whatever the machine's load.
void ExpectWorkInProportion(const Outcome& o);

}  // namespace zentrafold::hostile
