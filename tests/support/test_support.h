// Helpers shared by the decoder's tests: reading test data, decoding to a
// pixel vector, hashing, and building small streams by hand.
#pragma once

#include <zentrafold/decoder.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zentrafold::test {

using Bytes = std::vector<uint8_t>;

std::filesystem::path DataDir();
Bytes ReadFile(const std::filesystem::path& path);
Bytes ReadData(const std::string& name);  // a stream of tests/data

struct Picture {
  int width = 0;
  int height = 0;
  Bytes bgrx;  // the section's bytes, copied
};

// One copy of each photograph of plasma-workspace-wallpapers (the package
// links many sizes to the same file), baseline ones or the others, at most
// `limit`; none when the package is not installed.
std::vector<std::filesystem::path> Photographs(bool baseline, size_t limit = SIZE_MAX);

// Decodes with DecodeImage, copies the pixels out and deletes the section.
std::optional<Picture> Decode(const Bytes& stream);

uint64_t Fnv1a(const uint8_t* data, size_t size);
inline uint64_t Fnv1a(const Bytes& bytes) { return Fnv1a(bytes.data(), bytes.size()); }

// Offset of the first 0xFF `code` marker before the scan data, or npos.
size_t FindMarker(const Bytes& stream, uint8_t code);
// Offset of the first byte of entropy-coded data (after the SOS header).
size_t ScanDataOffset(const Bytes& stream);

// Writes bits most significant first; Take() pads the last byte with ones,
// as encoders do, or with zeros. A 0xFF data byte is stuffed with 0x00.
class BitWriter {
 public:
  void Put(uint32_t value, int bits);
  Bytes Take(bool padWithOnes = true);

 private:
  Bytes bytes_;
  uint32_t accumulator_ = 0;
  int count_ = 0;
};

// Huffman tables whose codes are easy to write by hand:
//   DC: the 16 symbols 0..15 with 4-bit codes equal to the symbol;
//   AC: 8-bit codes equal to their symbol, except that the code 0xFA is
//       symbol 0xFF and symbol 0xFA (run 15, size 10) is the 9-bit code
//       111111110; 111111111 is no code.
// Both as DHT table bodies (class/identifier byte first).
Bytes DcTable(uint8_t classAndId);
Bytes AcTable(uint8_t classAndId);

// A hand-made baseline stream with quantisation tables of all ones and the
// tables above.
struct StreamSpec {
  int width = 8;
  int height = 8;
  int components = 3;
  uint8_t lumaSampling = 0x11;
  int restartInterval = 0;  // a DRI segment when not 0
};
Bytes BuildHeaders(const StreamSpec& spec);  // SOI .. SOS, without the data
Bytes BuildStream(const StreamSpec& spec, const Bytes& data);  // headers + data + EOI

}  // namespace zentrafold::test
