// What photographs carry beside their pixels: the EXIF orientation from an
// APP1 segment and the ICC profile split over APP2 segments. Neither ever
// fails a decode: a malformed Exif segment gives orientation 0, and the
// ICC chunks are only judged when the profile is asked for.
#include <string.h>

#include "decoder_state.h"

namespace {

// An APP1 segment: length (2 bytes), "Exif\0\0", then a TIFF structure
// whose offsets count from its own first byte:
//   "II" 42 (little-endian) or "MM" 42 (big-endian), the offset of IFD0 (4)
//   IFD: entry count (2), entries of 12 bytes, the offset of the next IFD (4)
//   entry: tag (2), type (2), count (4), value or its offset (4)
// Orientation is tag 0x0112, type SHORT (3), count 1, its value in the
// first two bytes of the value field. Only IFD0 is read: no chain of IFDs
// is followed, so a chain that loops cannot hold the reader.
constexpr size_t kExifHeader = 2 + 6;
constexpr uint32_t kOrientationTag = 0x0112;
constexpr uint32_t kTypeShort = 3;

struct TiffReader {
  const uint8_t* base;
  size_t size;
  bool bigEndian;
  // 0 for bytes past the end: every caller checks the range first.
  uint32_t U16(size_t at) const {
    if (at > size || size - at < 2) return 0;
    return bigEndian ? (uint32_t{base[at]} << 8 | base[at + 1]) : (uint32_t{base[at + 1]} << 8 | base[at]);
  }
  uint32_t U32(size_t at) const {
    if (at > size || size - at < 4) return 0;
    return bigEndian ? (U16(at) << 16 | U16(at + 2)) : (U16(at + 2) << 16 | U16(at));
  }
};

}  // namespace

uint32_t ExifOrientation(const uint8_t* segment, size_t length) {
  if (length < kExifHeader + 8) return 0;
  const size_t declared = static_cast<size_t>(segment[0]) << 8 | segment[1];
  if (declared < kExifHeader + 8 || declared > length) return 0;
  if (memcmp(segment + 2, "Exif\0\0", 6) != 0) return 0;
  TiffReader tiff{segment + kExifHeader, declared - kExifHeader, false};
  if (tiff.base[0] == 'I' && tiff.base[1] == 'I') {
    tiff.bigEndian = false;
  } else if (tiff.base[0] == 'M' && tiff.base[1] == 'M') {
    tiff.bigEndian = true;
  } else {
    return 0;
  }
  if (tiff.U16(2) != 42) return 0;
  const size_t ifd = tiff.U32(4);
  if (ifd < 8 || ifd > tiff.size || tiff.size - ifd < 2) return 0;
  const size_t entries = tiff.U16(ifd);
  // Entries wholly inside the segment only.
  const size_t room = (tiff.size - ifd - 2) / 12;
  const size_t count = entries < room ? entries : room;
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = ifd + 2 + i * 12;
    if (tiff.U16(entry) != kOrientationTag) continue;
    if (tiff.U16(entry + 2) != kTypeShort || tiff.U32(entry + 4) != 1) return 0;
    const uint32_t value = tiff.U16(entry + 8);
    return value >= 1 && value <= 8 ? value : 0;
  }
  return 0;
}

// An APP2 ICC chunk: length (2), "ICC_PROFILE\0" (12), its sequence number
// from 1 (1), the number of chunks (1), then its part of the profile.
void RecordIccChunk(DecoderState& state, const uint8_t* segment, size_t length) {
  constexpr size_t kChunkHeader = 2 + 12 + 2;
  if (length < kChunkHeader) return;
  const size_t declared = static_cast<size_t>(segment[0]) << 8 | segment[1];
  if (declared < kChunkHeader || declared > length) return;
  if (memcmp(segment + 2, "ICC_PROFILE\0", 12) != 0) return;
  const uint8_t number = segment[14];
  const uint8_t total = segment[15];
  if (state.iccDeclared == 0 && !state.iccBad) state.iccDeclared = total;
  if (number == 0 || total == 0 || number > total || total != state.iccDeclared || state.iccData[number] != nullptr) {
    state.iccBad = true;
    return;
  }
  state.iccData[number] = segment + kChunkHeader;
  state.iccSize[number] = static_cast<uint16_t>(declared - kChunkHeader);
}
