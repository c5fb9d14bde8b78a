#include "decode_file.h"

#include <vector>

#include "file_io.h"
#include "inspect.h"

namespace zentrafold::tool {
namespace {

// The stand-in GDI's largest section, and Windows': 2^31 - 1 bytes.
constexpr uint64_t kMaxSectionBytes = 0x7FFFFFFFu;

FileResult Refused(const std::string& name, const std::string& reason) {
  return FileResult{FileOutcome::kRefused, name + ": " + reason, 0};
}
FileResult Failed(const std::string& name, const std::string& reason) {
  return FileResult{FileOutcome::kFailed, name + ": " + reason, 0};
}

std::string SizeText(const StreamInfo& info) {
  return std::to_string(info.width) + "x" + std::to_string(info.height) + " (" +
         std::to_string(info.Pixels()) + " pixels)";
}

// Frees the section on every path out of DecodeFile.
struct SectionGuard {
  HBITMAP bitmap;
  ~SectionGuard() {
    if (bitmap != nullptr) DeleteObject(bitmap);
  }
};

}  // namespace

std::string DisplayName(const std::string& path) { return path == "-" ? "stdin" : path; }

std::string RefusalReason(const uint8_t* stream, size_t size) {
  const StreamInfo info = InspectStream(stream, size);
  if (info.refusal != Refusal::kNone) return DescribeRefusal(info);
  // Headers in profile: the trouble is in the data, or the section.
  if (info.Pixels() * 4 > kMaxSectionBytes) return "frame of " + SizeText(info) + " is too large for a bitmap section";
  return "damaged or unsupported stream";
}

FileResult DecodeFile(DecoderState* state, const DecodeRequest& request) {
  const std::string name = DisplayName(request.input);
  std::vector<uint8_t> stream;
  std::string error;
  switch (ReadWholeInput(request.input, kMaxInputBytes, stream, error)) {
    case ReadStatus::kOk: break;
    case ReadStatus::kTooLarge: return Refused(name, "input is larger than 1 GiB");
    case ReadStatus::kError: return Failed(name, "cannot read: " + error);
  }
  if (stream.empty()) return Refused(name, "not a JPEG (empty file)");

  const StreamInfo info = InspectStream(stream.data(), stream.size());
  if (info.frameFound && info.Pixels() > request.maxPixels) {
    return Refused(name, "frame of " + SizeText(info) + " is larger than --max-pixels " +
                             std::to_string(request.maxPixels));
  }
  if (state == nullptr) return Failed(name, "out of memory for a decoder state");

  const ImageRecord* image = DecodeImageWithState(state, stream.data(), stream.size(), nullptr);
  if (image == nullptr) return Refused(name, RefusalReason(stream.data(), stream.size()));
  SectionGuard guard{image->bitmap};
  const Picture picture{static_cast<uint32_t>(image->header.biWidth),
                        static_cast<uint32_t>(-static_cast<int64_t>(image->header.biHeight)),
                        static_cast<const uint8_t*>(image->bits)};

  const std::string outName = request.output == "-" ? "stdout" : request.output;
  OutputFile out;
  if (!out.Open(request.output, error)) return Failed(outName, "cannot create: " + error);
  if (!WritePicture(out.stream(), request.format, picture, error)) {
    out.Discard();
    return Failed(outName, "cannot write: " + error);
  }
  if (!out.Commit(error)) return Failed(outName, "cannot write: " + error);
  return FileResult{FileOutcome::kDecoded, {}, static_cast<uint64_t>(picture.width) * picture.height};
}

}  // namespace zentrafold::tool
