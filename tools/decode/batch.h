// Batch mode: many inputs into one directory, on several threads.
#pragma once

#include <string>
#include <vector>

#include "picture_writers.h"

namespace zentrafold::tool {

struct BatchRequest {
  std::vector<std::string> inputs;
  std::string outDir;
  OutputFormat format = OutputFormat::kPng;
  unsigned jobs = 1;
  unsigned threads = 1;  // per picture
  uint64_t maxPixels = 0;
  bool strict = false;        // damaged streams are refused
  bool showProgress = false;  // a progress line on stderr (a terminal)
  ZfView view{};              // --scale and --crop
  bool orient = false;        // --orient
};

// DIR/NAME.EXT for each input in order, NAME being the input's file name
// without its extension. A name already given to an earlier input becomes
// NAME-2.EXT, NAME-3.EXT, ...: no output overwrites another of the same run.
std::vector<std::string> PlanOutputNames(const std::vector<std::string>& inputs, const std::string& outDir,
                                         OutputFormat format);

// Decodes every input, reports each failure and damaged stream as it
// happens, ends with the summary line "N decoded, M refused" on stdout
// ("N decoded (D damaged), ..." when some were damaged, ", K failed" when
// some could not be read or written). Returns the exit status: 2 when some
// failed, else 1 when some were refused, else 0.
int RunBatch(const BatchRequest& request);

}  // namespace zentrafold::tool
