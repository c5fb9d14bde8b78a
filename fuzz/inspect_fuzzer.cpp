// The tool's header inspection on arbitrary bytes, held against the decoder:
// whatever the decoder accepts, the inspection must have seen as the same
// SOF0 frame, since the tool's --max-pixels rests on it, and must not have
// found fault with that frame. (It may still call the stream damaged, for
// headers cut short that the decoder reads as zeros, or hierarchical or
// arithmetic-coded for a DHP or DAC segment the decoder steps over: the
// tool shows a refusal reason only when the decoder refuses.)
#include <zentrafold/decoder.h>
#include <zentrafold/platform_debug.h>

#include "fuzz_check.h"
#include "inspect.h"

using zentrafold::tool::Refusal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const zentrafold::tool::StreamInfo info = zentrafold::tool::InspectStream(data, size);
  const std::string reason = zentrafold::tool::DescribeRefusal(info);
  FUZZ_CHECK(info.refusal == Refusal::kNone || !reason.empty());
  FUZZ_CHECK(!zentrafold::tool::DescribeFrameKind(info.frameMarker).empty());
  if (info.refusal == Refusal::kNone) FUZZ_CHECK(info.frameFound && info.width != 0 && info.height != 0);

  const int liveBefore = ZentrafoldLiveGdiObjects();
  ImageRecord* image = DecodeImage(data, size, nullptr);
  if (image != nullptr) {
    FUZZ_CHECK(info.frameFound && info.frameMarker == 0xC0);
    FUZZ_CHECK(info.refusal == Refusal::kNone || info.refusal == Refusal::kDamaged ||
               (info.refusal == Refusal::kHierarchical && info.hierarchical) ||
               (info.refusal == Refusal::kArithmetic && info.arithmeticConditioning));
    FUZZ_CHECK(static_cast<int64_t>(info.width) == image->header.biWidth);
    FUZZ_CHECK(static_cast<int64_t>(info.height) == -static_cast<int64_t>(image->header.biHeight));
    DeleteObject(image->bitmap);
  }
  FUZZ_CHECK(ZentrafoldLiveGdiObjects() == liveBefore);
  return 0;
}
