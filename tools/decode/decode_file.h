// One file through the tool: read it, decode it through the C API in bands,
// write each band as it comes. Every reason a stream is refused is the
// decoder's own status.
#pragma once

#include <zentrafold/zentrafold.h>

#include <cstdint>
#include <memory>
#include <string>

#include "picture_writers.h"

namespace zentrafold::tool {

constexpr uint64_t kDefaultMaxPixels = uint64_t{1} << 28;

enum class FileOutcome {
  kDecoded,
  kDamaged,  // written, but the data broke off early (kZfDamaged)
  kRefused,  // the stream: outside the profile, damaged, over a limit
  kFailed,   // input or output: cannot read, cannot write
};

struct FileResult {
  FileOutcome outcome = FileOutcome::kFailed;
  std::string message;  // "FILE: reason" unless decoded; "FILE: damaged: ..." for kDamaged
  uint64_t pixels = 0;  // of the written picture
};

struct DecodeRequest {
  std::string input;   // a path, or "-" for standard input
  std::string output;  // a path, or "-" for standard output
  OutputFormat format = OutputFormat::kPng;
  uint64_t maxPixels = kDefaultMaxPixels;  // the decoder's limit, for the message that names it
  bool strict = false;                     // refuse damaged streams too, writing nothing
  unsigned threads = 1;                    // what the decoder was made with
  ZfView view{};                           // --scale and --crop (orientation unused)
  bool orient = false;                     // --orient: turn by the stream's EXIF orientation
  std::string icc;                         // --icc: where the ICC profile goes; empty: nowhere
};

struct DecoderDeleter {
  void operator()(ZfDecoder* decoder) const { ZfDestroyDecoder(decoder); }
};
using DecoderPtr = std::unique_ptr<ZfDecoder, DecoderDeleter>;

// A decoder refusing frames of more than `maxPixels` pixels, decoding each
// picture on `threads` threads; null when its memory cannot be had. One per
// thread of the tool, for any number of files.
DecoderPtr MakeDecoder(uint64_t maxPixels, unsigned threads = 1);

// The name the tool gives an input in its messages.
std::string DisplayName(const std::string& path);

// Why the decoder refused a stream: ZfStatusText, and for kZfBadData the
// MCU it failed at, for kZfTooLarge the frame's size and the limit.
std::string RefusalReason(ZfStatus status, const ZfInfo& info, uint32_t failedMcu, uint64_t maxPixels);

// Decodes one file with `decoder` (made by MakeDecoder with
// request.maxPixels). An output file is created at the first band, under a
// temporary name, and renamed when the picture is whole; standard output, a
// device or a pipe is written as the bands come (under --strict only after a
// first decode to nowhere has shown the stream whole and undamaged).
FileResult DecodeFile(ZfDecoder* decoder, const DecodeRequest& request);

}  // namespace zentrafold::tool
