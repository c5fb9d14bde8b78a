// The header walk behind the tool's refusal reasons and --info. It follows
// the segment lengths (the decoder itself reads DHT and DQT by their
// contents) and never reads outside [data, data + size).
#include "inspect.h"

namespace zentrafold::tool {
namespace {

bool IsFrameMarker(uint8_t code) {
  return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}
// Bits of an SOFn code (T.81 table B.1): bit 3 arithmetic coding, bit 2
// differential (hierarchical), bits 1-0 the process.
bool IsArithmetic(uint8_t code) { return (code & 0x08) != 0; }
bool IsDifferential(uint8_t code) { return (code & 0x04) != 0; }
enum Process { kBaseline = 0, kExtendedSequential = 1, kProgressiveProcess = 2, kLosslessProcess = 3 };
Process ProcessOf(uint8_t code) { return static_cast<Process>(code & 0x03); }

uint32_t Read16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

bool IsSupportedLumaSampling(uint8_t sampling) {
  return sampling == 0x11 || sampling == 0x12 || sampling == 0x21 || sampling == 0x22;
}

struct WalkState {
  bool malformedFrame = false;
  bool quant16 = false;
  bool tableIdAbove1 = false;
};

void ReadFrame(StreamInfo& info, WalkState& walk, uint8_t code, const uint8_t* seg, size_t length) {
  info.frameFound = true;
  info.frameMarker = code;
  if (length < 6) {
    walk.malformedFrame = true;
    return;
  }
  info.precision = seg[0];
  info.height = Read16(seg + 1);
  info.width = Read16(seg + 3);
  info.componentCount = seg[5];
  if (length != 6 + 3 * static_cast<size_t>(info.componentCount)) walk.malformedFrame = true;
  for (uint32_t i = 0; i < info.componentCount && i < StreamInfo::kMaxComponents; ++i) {
    const size_t entry = 6 + 3 * static_cast<size_t>(i);
    if (entry + 3 > length) break;
    info.components[i] = ComponentInfo{seg[entry], seg[entry + 1], seg[entry + 2]};
  }
}

void ReadQuantTables(WalkState& walk, const uint8_t* seg, size_t length) {
  for (size_t pos = 0; pos < length;) {
    const uint8_t precision = seg[pos] >> 4;
    const uint8_t id = seg[pos] & 0x0F;
    if (precision != 0) walk.quant16 = true;
    if (id > 1) walk.tableIdAbove1 = true;
    pos += 1 + (precision != 0 ? 128 : 64);
  }
}

void ReadHuffmanTables(WalkState& walk, const uint8_t* seg, size_t length) {
  for (size_t pos = 0; pos + 17 <= length;) {
    if ((seg[pos] & 0x0F) > 1) walk.tableIdAbove1 = true;
    size_t symbols = 0;
    for (int i = 1; i <= 16; ++i) symbols += seg[pos + i];
    pos += 17 + symbols;
  }
}

// The checks of the decoder's frame header, in terms of what they refuse.
Refusal JudgeFrame(const StreamInfo& info, const WalkState& walk) {
  const uint8_t code = info.frameMarker;
  if (info.hierarchical || IsDifferential(code)) return Refusal::kHierarchical;
  if (ProcessOf(code) == kLosslessProcess) return Refusal::kLossless;
  if (ProcessOf(code) == kProgressiveProcess) return Refusal::kProgressive;
  if (IsArithmetic(code) || info.arithmeticConditioning) return Refusal::kArithmetic;
  if (walk.malformedFrame && info.componentCount == 0) return Refusal::kDamaged;
  if (info.precision != 8) return Refusal::kPrecision;
  if (info.componentCount != 1 && info.componentCount != 3) return Refusal::kComponentCount;
  if (walk.malformedFrame) return Refusal::kDamaged;
  if (info.width == 0 || info.height == 0) return Refusal::kZeroSize;

  unsigned seen = 0;
  for (uint32_t i = 0; i < info.componentCount; ++i) {
    const uint8_t id = info.components[i].id;
    const bool valid = info.componentCount == 1 ? id == 1 : id >= 1 && id <= 3;
    if (!valid || (seen & (1u << id))) return Refusal::kComponentLayout;
    seen |= 1u << id;
  }
  for (uint32_t i = 0; i < info.componentCount; ++i) {
    const ComponentInfo& c = info.components[i];
    if (c.id == 1 ? !IsSupportedLumaSampling(c.sampling) : c.sampling != 0x11) return Refusal::kSampling;
  }
  for (uint32_t i = 0; i < info.componentCount; ++i) {
    const ComponentInfo& c = info.components[i];
    if (c.quantTable != (c.id == 1 ? 0 : 1)) return Refusal::kComponentLayout;
  }
  if (ProcessOf(code) == kExtendedSequential) return Refusal::kExtended;
  if (walk.quant16 || walk.tableIdAbove1) return Refusal::kTables;
  if (!info.scanFound) return Refusal::kDamaged;
  return Refusal::kNone;
}

// Where a DHT or DQT segment whose tables begin at `pos` ends as the
// decoder reads it: by the tables' contents, not the length field. Tables
// follow one another until the byte after one is 0xFF; `size` when they run
// to the end of the data. 0 when a table is one the decoder refuses there
// (an identifier above 1, 16-bit precision): it reads no further, so the
// length field may be followed instead, for the refusal's description.
size_t TablesEnd(const uint8_t* data, size_t size, size_t pos, bool huffman) {
  while (pos < size) {
    if (huffman) {
      if ((data[pos] & 0x0F) > 1) return 0;
      if (size - pos < 17) return size;
      size_t symbols = 0;
      for (int i = 1; i <= 16; ++i) symbols += data[pos + i];
      pos += 17 + symbols;
    } else {
      if (data[pos] > 1) return 0;
      pos += 65;
    }
    if (pos < size && data[pos] == 0xFF) return pos;
  }
  return size;
}

std::string SamplingText(uint8_t sampling) {
  return std::to_string(sampling >> 4) + "x" + std::to_string(sampling & 0x0F);
}

}  // namespace

StreamInfo InspectStream(const uint8_t* data, size_t size) {
  StreamInfo info;
  WalkState walk;
  if (data == nullptr || size < 2 || data[0] != 0xFF || data[1] != 0xD8) {
    info.refusal = Refusal::kNotJpeg;
    return info;
  }
  info.startsWithSoi = true;

  size_t pos = 2;
  while (pos < size && data[pos] == 0xFF) {
    while (pos < size && data[pos] == 0xFF) ++pos;  // the marker and any fill bytes
    if (pos >= size) break;
    const uint8_t code = data[pos++];
    if (code == 0x01 || (code >= 0xD0 && code <= 0xD8)) continue;  // no length field
    if (code == 0xD9 || size - pos < 2) break;
    size_t length = Read16(data + pos);
    if (code == 0xC4 || code == 0xDB) {
      // Walked the decoder's way, so that a length field that lies cannot
      // hide from the inspection a frame the decoder then reads.
      const size_t end = TablesEnd(data, size, pos + 2, code == 0xC4);
      if (end != 0) length = end - pos;
    }
    if (length < 2 || length > size - pos) break;
    const uint8_t* seg = data + pos + 2;
    const size_t segLength = length - 2;
    if (IsFrameMarker(code)) {
      // The decoder reads only an SOF0 frame: it wins over any other SOFn.
      if (!info.frameFound || (code == 0xC0 && info.frameMarker != 0xC0)) {
        walk.malformedFrame = false;
        info.components[0] = info.components[1] = info.components[2] = info.components[3] = ComponentInfo{};
        ReadFrame(info, walk, code, seg, segLength);
      }
    } else if (code == 0xDE) {
      info.hierarchical = true;
    } else if (code == 0xCC) {
      info.arithmeticConditioning = true;
    } else if (code == 0xDD && segLength >= 2) {
      info.restartInterval = Read16(seg);
    } else if (code == 0xDB) {
      ReadQuantTables(walk, seg, segLength);
    } else if (code == 0xC4) {
      ReadHuffmanTables(walk, seg, segLength);
    } else if (code == 0xDA) {
      info.scanFound = true;
      break;
    }
    pos += length;
  }

  if (info.frameFound) {
    info.refusal = JudgeFrame(info, walk);
  } else {
    info.refusal = info.hierarchical ? Refusal::kHierarchical : Refusal::kDamaged;
  }
  // What made the tables refused, kept for the description.
  if (info.refusal == Refusal::kTables) info.tablesAre16Bit = walk.quant16;
  return info;
}

std::string DescribeFrameKind(uint8_t frameMarker) {
  static const char* const kProcessNames[] = {"baseline", "extended sequential", "progressive", "lossless"};
  std::string kind = IsDifferential(frameMarker) ? "hierarchical " : "";
  kind += kProcessNames[ProcessOf(frameMarker)];
  if (IsArithmetic(frameMarker)) kind += ", arithmetic-coded";
  return kind;
}

std::string DescribeRefusal(const StreamInfo& info) {
  std::string kind = info.frameFound ? DescribeFrameKind(info.frameMarker) : "";
  if (info.hierarchical && info.frameFound && !IsDifferential(info.frameMarker)) kind = "hierarchical " + kind;
  if (info.arithmeticConditioning && info.frameFound && !IsArithmetic(info.frameMarker))
    kind += ", arithmetic-coded";
  switch (info.refusal) {
    case Refusal::kNone:
      return "in profile";
    case Refusal::kNotJpeg:
      return "not a JPEG";
    case Refusal::kProgressive:
    case Refusal::kLossless:
    case Refusal::kArithmetic:
    case Refusal::kExtended:
      return kind + " JPEG (only baseline is supported)";
    case Refusal::kHierarchical:
      return info.frameFound ? kind + " JPEG (only baseline is supported)"
                             : "hierarchical JPEG (only baseline is supported)";
    case Refusal::kPrecision:
      return std::to_string(info.precision) + "-bit precision (only 8-bit is supported)";
    case Refusal::kComponentCount:
      return std::to_string(info.componentCount) + " components (only 1 or 3 are supported)";
    case Refusal::kSampling: {
      std::string text = "sampling";
      for (uint32_t i = 0; i < info.componentCount && i < StreamInfo::kMaxComponents; ++i)
        text += (i ? ", " : " ") + SamplingText(info.components[i].sampling);
      return text + " (supported: luma 1x1, 1x2, 2x1 or 2x2, chroma 1x1)";
    }
    case Refusal::kComponentLayout: {
      std::string text = "component identifiers";
      for (uint32_t i = 0; i < info.componentCount && i < StreamInfo::kMaxComponents; ++i)
        text += (i ? ", " : " ") + std::to_string(info.components[i].id);
      text += " with quantisation tables";
      for (uint32_t i = 0; i < info.componentCount && i < StreamInfo::kMaxComponents; ++i)
        text += (i ? ", " : " ") + std::to_string(info.components[i].quantTable);
      return text + " (supported: 1 with table 0, 2 and 3 with table 1)";
    }
    case Refusal::kZeroSize:
      return "frame of width or height 0";
    case Refusal::kTables:
      return info.tablesAre16Bit ? "16-bit quantisation tables (only 8-bit are supported)"
                                 : "more than two tables of a kind (only identifiers 0 and 1 are supported)";
    case Refusal::kDamaged:
      break;
  }
  return "damaged or unsupported stream";
}

}  // namespace zentrafold::tool
