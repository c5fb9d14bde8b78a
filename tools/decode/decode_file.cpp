#include "decode_file.h"

#include <algorithm>
#include <new>
#include <vector>

#include "file_io.h"

namespace zentrafold::tool {
namespace {

FileResult Refused(const std::string& name, const std::string& reason) {
  return FileResult{FileOutcome::kRefused, name + ": " + reason, 0};
}
FileResult Failed(const std::string& name, const std::string& reason) {
  return FileResult{FileOutcome::kFailed, name + ": " + reason, 0};
}

// Where the decoder's bands go. Without a writer they are dropped (the
// checking pass of --strict); with one, the output is opened at the first
// band, its header written, then each band's rows.
struct BandSink {
  const DecodeRequest* request = nullptr;
  PictureWriter* writer = nullptr;
  OutputFile* file = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  ZfFormat pixels = kZfBgrx;
  uint32_t rowsWritten = 0;
  bool opened = false;
  std::string error;  // why the sink stopped the decode: "cannot create: ..." or "cannot write: ..."
};

bool StartOutput(BandSink& sink) {
  std::string error;
  if (!PictureFits(sink.request->format, sink.width, sink.height, error)) {
    sink.error = "cannot write: " + error;
    return false;
  }
  if (!sink.file->Open(sink.request->output, error)) {
    sink.error = "cannot create: " + error;
    return false;
  }
  if (!sink.writer->Begin(sink.file->stream(), sink.width, sink.height, sink.pixels, error)) {
    sink.error = "cannot write: " + error;
    return false;
  }
  return true;
}

// The band function: non-zero stops the decode (kZfStopped) with the
// reason in the sink. No exception leaves it, as it is called from the
// decoder.
int WriteBand(void* context, const uint8_t* rows, size_t stride, uint32_t /*firstRow*/, uint32_t rowCount) {
  auto& sink = *static_cast<BandSink*>(context);
  if (sink.writer == nullptr) return 0;
  try {
    if (!sink.opened) {
      sink.opened = true;
      if (!StartOutput(sink)) return 1;
    }
    std::string error;
    if (!sink.writer->WriteRows(rows, stride, rowCount, error)) {
      sink.error = "cannot write: " + error;
      return 1;
    }
    sink.rowsWritten += rowCount;
    return 0;
  } catch (const std::bad_alloc&) {
    sink.error = "cannot write: out of memory";
    return 1;
  }
}

// The decoder spreads a picture over its threads only when it has the whole
// picture to write to; bands stay on one. So with threads, pictures of up to
// 64 MiB of pixels are decoded whole and then written band by band; larger
// ones go in bands, so that memory stays bounded however tall a picture is.
constexpr size_t kMaxWholePicture = size_t{64} << 20;

ZfStatus DecodeInBands(ZfDecoder* decoder, const uint8_t* stream, size_t size, ZfFormat pixels,
                       std::vector<uint8_t>& band, size_t stride, BandSink& sink) {
  const ZfOutput output{pixels, band.data(), stride, WriteBand, &sink};
  return ZfDecode(decoder, stream, size, &output);
}

ZfStatus DecodeWholeThenWrite(ZfDecoder* decoder, const uint8_t* stream, size_t size, const ZfInfo& info,
                              ZfFormat pixels, size_t stride, BandSink& sink) {
  std::vector<uint8_t> whole(stride * info.height);
  const ZfOutput output{pixels, whole.data(), stride, nullptr, nullptr};
  const ZfStatus status = ZfDecode(decoder, stream, size, &output);
  // The rows the band decode would have handed on: all of them for a
  // picture, those above the failing MCU's row for data that breaks.
  const uint32_t bandRows = ZfBandRows(&info);
  uint32_t rows = 0;
  if (status == kZfOk || status == kZfDamaged) {
    rows = info.height;
  } else if (status == kZfBadData) {
    const uint32_t mcuWidth = (info.samplingCode >> 4) == 2 ? 16 : 8;
    rows = ZfFailedMcu(decoder) / ((info.width + mcuWidth - 1) / mcuWidth) * bandRows;
  }
  for (uint32_t first = 0; first < rows; first += bandRows) {
    const uint32_t count = std::min(bandRows, info.height - first);
    if (WriteBand(&sink, whole.data() + first * stride, stride, first, count) != 0) return kZfStopped;
  }
  return status;
}

uint32_t McuCount(const ZfInfo& info) {
  const uint32_t mcuWidth = (info.samplingCode >> 4) == 2 ? 16 : 8;
  const uint32_t mcuHeight = ZfBandRows(&info);
  if (mcuHeight == 0) return 0;
  return ((info.width + mcuWidth - 1) / mcuWidth) * ((info.height + mcuHeight - 1) / mcuHeight);
}

}  // namespace

DecoderPtr MakeDecoder(uint64_t maxPixels, unsigned threads) {
  ZfOptions options{};
  options.maxPixels = maxPixels;
  options.threads = threads;
  return DecoderPtr(ZfCreateDecoder(&options));
}

std::string DisplayName(const std::string& path) { return path == "-" ? "stdin" : path; }

std::string RefusalReason(ZfStatus status, const ZfInfo& info, uint32_t failedMcu, uint64_t maxPixels) {
  std::string text = ZfStatusText(status);
  if (status == kZfBadData) {
    text += ", at MCU " + std::to_string(failedMcu) + " of " + std::to_string(McuCount(info));
  } else if (status == kZfTooLarge) {
    text += ": " + std::to_string(info.width) + "x" + std::to_string(info.height) + " (" +
            std::to_string(uint64_t{info.width} * info.height) + " pixels), limit " + std::to_string(maxPixels) +
            " (--max-pixels)";
  }
  return text;
}

FileResult DecodeFile(ZfDecoder* decoder, const DecodeRequest& request) {
  const std::string name = DisplayName(request.input);
  InputBytes input;
  std::string error;
  switch (input.Load(request.input, kMaxInputBytes, error)) {
    case ReadStatus::kOk: break;
    case ReadStatus::kTooLarge: return Refused(name, "input is larger than 1 GiB");
    case ReadStatus::kError: return Failed(name, "cannot read: " + error);
  }
  // An empty input still goes to the decoder, over a valid pointer.
  static const uint8_t kNoBytes = 0;
  const uint8_t* stream = input.size() != 0 ? input.data() : &kNoBytes;

  ZfInfo info;
  const ZfStatus headers = ZfReadInfo(stream, input.size(), &info);
  if (headers != kZfOk) return Refused(name, RefusalReason(headers, info, 0, request.maxPixels));
  if (decoder == nullptr) return Failed(name, "out of memory for a decoder");

  const ZfFormat pixels = PixelFormatFor(request.format, info.components == 1);
  const size_t stride = size_t{info.width} * ZfBytesPerPixel(pixels);
  std::vector<uint8_t> band(stride * ZfBandRows(&info));
  const std::string outName = request.output == "-" ? "stdout" : request.output;
  const bool inPlace = WritesInPlace(request.output);

  // What is written in place cannot be taken back: under --strict, a decode
  // to nowhere first, so that a damaged or broken stream writes nothing.
  if (request.strict && inPlace) {
    BandSink nowhere;
    nowhere.height = info.height;
    const ZfOutput output{pixels, band.data(), stride, WriteBand, &nowhere};
    const ZfStatus status = ZfDecode(decoder, stream, input.size(), &output);
    if (status == kZfDamaged) return Refused(name, std::string(ZfStatusText(status)) + " (refused: --strict)");
    if (status != kZfOk) return Refused(name, RefusalReason(status, info, ZfFailedMcu(decoder), request.maxPixels));
  }

  OutputFile file;
  const std::unique_ptr<PictureWriter> writer = MakePictureWriter(request.format);
  BandSink sink;
  sink.request = &request;
  sink.writer = writer.get();
  sink.file = &file;
  sink.width = info.width;
  sink.height = info.height;
  sink.pixels = pixels;
  const ZfStatus status = request.threads > 1 && stride * info.height <= kMaxWholePicture
                              ? DecodeWholeThenWrite(decoder, stream, input.size(), info, pixels, stride, sink)
                              : DecodeInBands(decoder, stream, input.size(), pixels, band, stride, sink);

  if (status == kZfStopped) {
    file.Discard();
    return Failed(outName, sink.error);
  }
  if (status != kZfOk && status != kZfDamaged) {
    file.Discard();
    std::string reason = RefusalReason(status, info, ZfFailedMcu(decoder), request.maxPixels);
    if (inPlace && sink.rowsWritten != 0)
      reason += "; " + outName + " holds the first " + std::to_string(sink.rowsWritten) + " rows only";
    return Refused(name, reason);
  }
  if (status == kZfDamaged && request.strict) {
    file.Discard();
    return Refused(name, std::string(ZfStatusText(status)) + " (refused: --strict)");
  }
  if (!writer->Finish(error)) {
    file.Discard();
    return Failed(outName, "cannot write: " + error);
  }
  if (!file.Commit(error)) return Failed(outName, "cannot write: " + error);
  const uint64_t pixelCount = uint64_t{info.width} * info.height;
  if (status == kZfDamaged) return FileResult{FileOutcome::kDamaged, name + ": " + ZfStatusText(status), pixelCount};
  return FileResult{FileOutcome::kDecoded, {}, pixelCount};
}

}  // namespace zentrafold::tool
