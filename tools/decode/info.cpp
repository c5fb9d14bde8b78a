#include "info.h"

#include <cstdio>

#include "decode_file.h"
#include "file_io.h"

namespace zentrafold::tool {

std::string DescribeStream(const StreamInfo& info) {
  if (!info.frameFound) return "no frame header, not in profile: " + DescribeRefusal(info);
  std::string text = std::to_string(info.width) + "x" + std::to_string(info.height) + ", " +
                     DescribeFrameKind(info.frameMarker) + ", " + std::to_string(info.precision) + "-bit, " +
                     std::to_string(info.componentCount) + (info.componentCount == 1 ? " component" : " components");
  if (info.componentCount > 0) {
    text += " (";
    for (uint32_t i = 0; i < info.componentCount && i < StreamInfo::kMaxComponents; ++i) {
      const ComponentInfo& c = info.components[i];
      if (i) text += ", ";
      text += std::to_string(c.id) + ": " + std::to_string(c.sampling >> 4) + "x" +
              std::to_string(c.sampling & 0x0F) + " q" + std::to_string(c.quantTable);
    }
    if (info.componentCount > StreamInfo::kMaxComponents) text += ", ...";
    text += ")";
  }
  text += ", restart interval " + std::to_string(info.restartInterval);
  text += info.refusal == Refusal::kNone ? ", in profile" : ", not in profile: " + DescribeRefusal(info);
  return text;
}

int PrintInfo(const std::vector<std::string>& inputs) {
  int status = 0;
  for (const std::string& input : inputs) {
    std::vector<uint8_t> bytes;
    std::string error;
    const std::string name = DisplayName(input);
    switch (ReadWholeInput(input, kMaxInputBytes, bytes, error)) {
      case ReadStatus::kOk: {
        const StreamInfo info = InspectStream(bytes.data(), bytes.size());
        std::printf("%s: %s\n", name.c_str(), DescribeStream(info).c_str());
        if (info.refusal != Refusal::kNone && status == 0) status = 1;
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
