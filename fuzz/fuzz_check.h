// Shared by the fuzz targets: the libFuzzer entry point they define, and a
// check that stops the run with a message (a crash, so that libFuzzer keeps
// the input and the replay in ctest fails).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <zentrafold/zentrafold.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
      std::abort();                                                                            \
    }                                                                                          \
  } while (0)

// A decoder of `threads` threads that refuses frames of more than
// `maxPixels` (the fuzzers keep their decoders for the whole run).
inline ZfDecoder* MakeCappedDecoder(uint64_t maxPixels, uint32_t threads = 1) {
  ZfOptions options{};
  options.maxPixels = maxPixels;
  options.threads = threads;
  ZfDecoder* decoder = ZfCreateDecoder(&options);
  FUZZ_CHECK(decoder != nullptr);
  return decoder;
}
