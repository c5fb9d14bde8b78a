#include "decode_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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
                       std::vector<uint8_t>& band, size_t stride, const ZfView& view, BandSink& sink) {
  const ZfOutput output{pixels, band.data(), stride, WriteBand, &sink};
  return ZfDecodeView(decoder, stream, size, &output, &view);
}

// A view other than the whole picture as stored (sink.width x sink.height).
bool Viewed(const ZfView& view) {
  return view.scale > 1 || view.orientation > 1 || view.width != 0;
}

ZfStatus DecodeWholeThenWrite(ZfDecoder* decoder, const uint8_t* stream, size_t size, const ZfInfo& info,
                              ZfFormat pixels, size_t stride, const ZfView& view, BandSink& sink) {
  const uint32_t height = sink.height;
  std::vector<uint8_t> whole(stride * height);
  const ZfOutput output{pixels, whole.data(), stride, nullptr, nullptr};
  const ZfStatus status = ZfDecodeView(decoder, stream, size, &output, &view);
  // The rows the band decode would have handed on: all of them for a
  // picture, those above the failing MCU's row for data that breaks (none
  // of a view).
  const uint32_t bandRows = ZfBandRows(&info);
  uint32_t rows = 0;
  if (status == kZfOk || status == kZfDamaged) {
    rows = height;
  } else if (status == kZfBadData && !Viewed(view)) {
    const uint32_t mcuWidth = (info.samplingCode >> 4) == 2 ? 16 : 8;
    rows = ZfFailedMcu(decoder) / ((info.width + mcuWidth - 1) / mcuWidth) * bandRows;
  }
  for (uint32_t first = 0; first < rows; first += bandRows) {
    const uint32_t count = std::min(bandRows, height - first);
    if (WriteBand(&sink, whole.data() + first * stride, stride, first, count) != 0) return kZfStopped;
  }
  return status;
}

// The stream's ICC profile into the file at `path`: "" when written (or the
// stream has none, when nothing is written), else why not.
std::string WriteIccProfile(const uint8_t* stream, size_t size, const std::string& path) {
  size_t bytes = 0;
  ZfStatus status = ZfReadIccProfile(stream, size, nullptr, 0, &bytes);
  if (status != kZfOk) return std::string("ICC profile: ") + ZfStatusText(status);
  if (bytes == 0) return {};
  std::vector<uint8_t> profile(bytes);
  status = ZfReadIccProfile(stream, size, profile.data(), profile.size(), &bytes);
  if (status != kZfOk) return std::string("ICC profile: ") + ZfStatusText(status);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return "cannot create: " + std::string(std::strerror(errno));
  const bool written = std::fwrite(profile.data(), 1, profile.size(), file) == profile.size();
  if (std::fclose(file) != 0 || !written) return "cannot write: " + std::string(std::strerror(errno));
  return {};
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

  // The picture the view gives: scaled, turned upright, cropped.
  ZfView view = request.view;
  view.orientation = request.orient ? info.orientation : 0;
  uint32_t width = 0, height = 0;
  if (ZfViewSize(&info, &view, &width, &height) != kZfOk) {
    ZfView whole = view;
    whole.x = whole.y = whole.width = whole.height = 0;
    ZfViewSize(&info, &whole, &width, &height);
    return Refused(name, "the region " + std::to_string(view.width) + "x" + std::to_string(view.height) + "+" +
                             std::to_string(view.x) + "+" + std::to_string(view.y) + " (--crop) is not inside the " +
                             std::to_string(width) + "x" + std::to_string(height) + " picture");
  }
  // Bands run over stored rows: a turned picture is decoded whole.
  const bool turned = view.orientation > 1;
  if (!request.icc.empty()) {
    if (const std::string failure = WriteIccProfile(stream, input.size(), request.icc); !failure.empty())
      return failure.rfind("cannot", 0) == 0 ? Failed(request.icc, failure) : Refused(name, failure);
  }

  const ZfFormat pixels = PixelFormatFor(request.format, info.components == 1);
  const size_t stride = size_t{width} * ZfBytesPerPixel(pixels);
  std::vector<uint8_t> band(turned ? 0 : stride * ZfBandRows(&info));
  const std::string outName = request.output == "-" ? "stdout" : request.output;
  const bool inPlace = WritesInPlace(request.output);

  // What is written in place cannot be taken back: under --strict, a decode
  // to nowhere first, so that a damaged or broken stream writes nothing.
  if (request.strict && inPlace) {
    BandSink nowhere;
    nowhere.height = height;
    const ZfStatus status = turned ? DecodeWholeThenWrite(decoder, stream, input.size(), info, pixels, stride, view, nowhere)
                                   : DecodeInBands(decoder, stream, input.size(), pixels, band, stride, view, nowhere);
    if (status == kZfDamaged) return Refused(name, std::string(ZfStatusText(status)) + " (refused: --strict)");
    if (status != kZfOk) return Refused(name, RefusalReason(status, info, ZfFailedMcu(decoder), request.maxPixels));
  }

  OutputFile file;
  const std::unique_ptr<PictureWriter> writer = MakePictureWriter(request.format);
  BandSink sink;
  sink.request = &request;
  sink.writer = writer.get();
  sink.file = &file;
  sink.width = width;
  sink.height = height;
  sink.pixels = pixels;
  const ZfStatus status = turned || (request.threads > 1 && stride * height <= kMaxWholePicture)
                              ? DecodeWholeThenWrite(decoder, stream, input.size(), info, pixels, stride, view, sink)
                              : DecodeInBands(decoder, stream, input.size(), pixels, band, stride, view, sink);

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
  const uint64_t pixelCount = uint64_t{width} * height;
  if (status == kZfDamaged) return FileResult{FileOutcome::kDamaged, name + ": " + ZfStatusText(status), pixelCount};
  return FileResult{FileOutcome::kDecoded, {}, pixelCount};
}

}  // namespace zentrafold::tool
