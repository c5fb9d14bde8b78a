// Lossless rewrites of a JPEG stream for the exactness tests: the same
// coefficients under other headers (frame marker, table and component
// identifiers, segment layouts, extra APPn segments), and jpegtran's scan,
// restart and table rewrites. Every rewrite must decode to exactly the bytes
// of its source; libjpeg-turbo is the check that the rewrites are right.
//
// The rewrites work on any sequential or progressive stream: segments
// between scans are rewritten as well as those before the first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zentrafold::test {

using Bytes = std::vector<uint8_t>;

// A stream cut into its parts: marker segments (code and body, without the
// length field), and the entropy-coded data after each SOS (restart markers
// included), stored with code 0. SOI and EOI are parts with an empty body;
// bytes after EOI are kept as a last data part.
struct StreamPart {
  uint8_t code = 0;
  Bytes body;
};
std::vector<StreamPart> SplitStream(const Bytes& stream);  // throws std::runtime_error on a malformed stream
Bytes JoinStream(const std::vector<StreamPart>& parts);

// What the headers say, for picking the rewrites that apply.
struct StreamFacts {
  int components = 0;
  int scans = 0;
  bool hasApp0 = false;    // a JFIF (or any) APP0 segment
  bool hasAdobe = false;   // an APP14 "Adobe" segment
  int adobeTransform = -1;
  uint8_t frameCode = 0;   // the SOFn code
};
StreamFacts ReadFacts(const Bytes& stream);

// SOF0 -> SOF1 (extended sequential, 8-bit, Huffman).
Bytes ToExtendedSequential(const Bytes& stream);
// Every table identifier t (DQT Tq, SOF Tqi, DHT Th, SOS Tdj/Taj) becomes
// t + offset; needs t + offset <= 3.
Bytes MoveTableIds(const Bytes& stream, int offset);
// One DQT or DHT segment per table.
Bytes SplitTableSegments(const Bytes& stream);
// One DQT and one DHT segment for all the tables before the first scan.
Bytes MergeTableSegments(const Bytes& stream);
// Before the first table segment, a dummy definition of each table the
// stream defines (quantisation values of 1, the hand-made Huffman codes of
// test_support.h); the stream's own definitions replace them before SOS.
Bytes AddDummyTablesFirst(const Bytes& stream);
// Component identifiers replaced, in frame order, in SOF and every SOS.
// With `adobeTransform` >= 0 and no Adobe segment in the stream, an Adobe
// APP14 segment with that transform is added after the APPn segments that
// open the stream.
Bytes SetComponentIds(const Bytes& stream, const std::vector<uint8_t>& ids, int adobeTransform = -1);
// An APP0 "JFXX" extension segment (code 0x13, no thumbnail) after the
// first APP0; nullopt when the stream has no APP0.
std::optional<Bytes> AddJfxxSegment(const Bytes& stream);
// An Adobe APP14 segment (version 100, flags 0) after the opening APPn
// segments; nullopt when the stream already has one.
std::optional<Bytes> AddAdobeSegment(const Bytes& stream, uint8_t transform);

struct Variant {
  std::string name;
  Bytes stream;
  bool severalScans = false;  // the picture is in more than one scan
};

// The header rewrites above that apply to the stream (component identifiers
// by count: 0.. for all; 'R','G','B' with an Adobe segment of transform 1
// for a YCbCr three-component stream; ...).
std::vector<Variant> SegmentVariants(const Bytes& source);

// jpegtran rewrites (sequential output only): one component per scan, two
// and one, restart intervals in rows and in MCUs, optimised tables (which
// redefines tables between scans when there are several), -copy all, and
// combinations. Needs jpegtran on PATH; `error` says what failed.
std::vector<Variant> JpegtranVariants(const Bytes& source, std::string* error);

// jpegtran's progressive rewrites: its own script, with restarts, and scan
// scripts of its -scans option (DC and AC of each component apart;
// successive approximation of two and of three bits; the script of
// size-optimising encoders). With `arithmetic`, all of them arithmetic-coded
// (-arithmetic), and sequential arithmetic-coded ones besides (one scan,
// restarts, one component a scan).
std::vector<Variant> ProgressiveVariants(const Bytes& source, std::string* error, bool arithmetic = false);

// Runs `jpegtran ARGS` on `source`; nullopt and `error` on failure.
std::optional<Bytes> RunJpegtran(const Bytes& source, const std::vector<std::string>& args, std::string* error);

}  // namespace zentrafold::test

namespace zentrafold::test {

// The sources of the rewrite tests: every decodable committed stream of
// tests/data (not refuse_*), every stream of tests/data/sequential, and the
// baseline photographs of plasma-workspace-wallpapers up to 150 kB (the
// 400x250 screenshots and the 720x1440 pictures, which are large enough for
// two threads). Names are usable as GoogleTest parameter names.
struct SourceStream {
  std::string name;
  std::filesystem::path path;
};
std::vector<SourceStream> RewriteSources();
// For GoogleTest's parameter listings.
inline void PrintTo(const SourceStream& s, std::ostream* os) { *os << s.path.string(); }
// Only the streams of tests/data/sequential.
std::vector<SourceStream> SequentialStreams();

}  // namespace zentrafold::test
