// The command line of zentrafold-decode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decode_file.h"
#include "picture_writers.h"

namespace zentrafold::tool {

struct Options {
  bool help = false;
  bool version = false;
  bool info = false;
  bool strict = false;
  std::optional<OutputFormat> format;
  std::optional<std::string> outDir;
  unsigned jobs = 0;     // 0: one per core
  unsigned threads = 0;  // per picture; 0: the cores left over (all of them for one input)
  uint64_t maxPixels = kDefaultMaxPixels;
  ZfView view{};  // --scale, --crop
  bool orient = false;
  std::optional<std::string> icc;
  std::vector<std::string> operands;
};

struct CropRegion {
  uint32_t x, y, width, height;
};
// WxH+X+Y (width and height at least 1); nullopt when malformed.
std::optional<CropRegion> ParseCrop(std::string_view text);

// Parses argv[1..]. On a usage error returns nullopt with `error` set.
std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string& error);

// --help and --version texts.
std::string HelpText();
std::string VersionText();

}  // namespace zentrafold::tool
