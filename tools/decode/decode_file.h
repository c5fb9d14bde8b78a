// One file through the tool: read, look at the header, decode, write.
#pragma once

#include <zentrafold/decoder.h>

#include <cstdint>
#include <string>

#include "picture_writers.h"

namespace zentrafold::tool {

constexpr uint64_t kDefaultMaxPixels = uint64_t{1} << 28;

enum class FileOutcome {
  kDecoded,
  kRefused,  // the stream: outside the profile, damaged, over a limit
  kFailed,   // input or output: cannot read, cannot write
};

struct FileResult {
  FileOutcome outcome = FileOutcome::kFailed;
  std::string message;  // "FILE: reason" unless decoded
  uint64_t pixels = 0;  // of the decoded picture
};

struct DecodeRequest {
  std::string input;   // a path, or "-" for standard input
  std::string output;  // a path, or "-" for standard output
  OutputFormat format = OutputFormat::kPng;
  uint64_t maxPixels = kDefaultMaxPixels;
};

// The name the tool gives an input in its messages.
std::string DisplayName(const std::string& path);

// The reason a stream the decoder refused is refused, from its headers.
std::string RefusalReason(const uint8_t* stream, size_t size);

// Decodes one file over `state` (one state per thread). Writes the output
// only after a successful decode, through a temporary file.
FileResult DecodeFile(DecoderState* state, const DecodeRequest& request);

}  // namespace zentrafold::tool
