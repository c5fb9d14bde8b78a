#include "info.h"

#include <cstdio>

#include "decode_file.h"
#include "file_io.h"

namespace zentrafold::tool {

std::string DescribeStream(const ZfInfo& info, ZfStatus status) {
  const std::string verdict = std::string("; decoder: ") + ZfStatusText(status);
  if (info.frameMarker == 0) return "no frame header" + verdict;
  std::string text = std::to_string(info.width) + "x" + std::to_string(info.height) + ", " +
                     ZfFrameKindText(info.frameMarker) + ", " + std::to_string(info.precision) + "-bit, " +
                     std::to_string(info.components) + (info.components == 1 ? " component" : " components");
  if (info.components > 0) {
    text += " (";
    for (uint32_t i = 0; i < info.components && i < 4; ++i) {
      const ZfComponentInfo& c = info.component[i];
      if (i) text += ", ";
      text += std::to_string(c.id) + ": " + std::to_string(c.sampling >> 4) + "x" +
              std::to_string(c.sampling & 0x0F) + " q" + std::to_string(c.quantTable);
    }
    if (info.components > 4) text += ", ...";
    text += ")";
  }
  text += ", restart interval " + std::to_string(info.restartInterval);
  // What the first scan told: the colours, and for a picture in several
  // scans the whole-picture memory its decode takes.
  if (status == kZfOk) {
    static const char* const kColors[] = {"grey", "YCbCr", "RGB", "CMYK", "YCCK"};
    if (info.colorSpace < 5) text += std::string(", ") + kColors[info.colorSpace];
    if (info.scanComponents < info.components) {
      text += ", several scans (the first of " + std::to_string(info.scanComponents) + " of " +
              std::to_string(info.components) + " components), whole-picture memory " +
              std::to_string(info.workBytes) + " bytes";
    }
  }
  return text + verdict;
}

int PrintInfo(const std::vector<std::string>& inputs, uint64_t maxPixels) {
  int status = 0;
  for (const std::string& input : inputs) {
    InputBytes bytes;
    std::string error;
    const std::string name = DisplayName(input);
    switch (bytes.Load(input, kMaxInputBytes, error)) {
      case ReadStatus::kOk: {
        static const uint8_t kNoBytes = 0;
        ZfInfo info;
        ZfStatus headers = ZfReadInfo(bytes.size() != 0 ? bytes.data() : &kNoBytes, bytes.size(), &info);
        // The decode refuses a frame over the limit right after its headers.
        if (headers == kZfOk && uint64_t{info.width} * info.height > maxPixels) headers = kZfTooLarge;
        std::string text = DescribeStream(info, headers);
        if (headers == kZfTooLarge) text += " (limit " + std::to_string(maxPixels) + ", --max-pixels)";
        std::printf("%s: %s\n", name.c_str(), text.c_str());
        if (headers != kZfOk && status == 0) status = 1;
        break;
      }
      case ReadStatus::kTooLarge:
        std::fprintf(stderr, "zentrafold-decode: %s: input is larger than 1 GiB\n", name.c_str());
        if (status == 0) status = 1;
        break;
      case ReadStatus::kError:
        std::fprintf(stderr, "zentrafold-decode: %s: cannot read: %s\n", name.c_str(), error.c_str());
        status = 2;
        break;
    }
  }
  std::fflush(stdout);
  return status;
}

}  // namespace zentrafold::tool
