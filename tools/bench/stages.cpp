// Times each stage of the MCU loop by running one decode with DecoderPaths
// whose procedures wrap the real ones between two time-stamp counter reads.
#include "stages.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "decoder_state.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define ZENTRAFOLD_BENCH_TSC 1
#endif

namespace zentrafold::bench {
namespace {

#if defined(ZENTRAFOLD_BENCH_TSC)
uint64_t Ticks() { return __rdtsc(); }
#else
uint64_t Ticks() {
  return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}
#endif

const DecoderPaths* gInner = nullptr;
uint64_t gEntropy, gIdct, gAssembly, gColor;

int TimedDecodeMcu(DecoderState& state) {
  const uint64_t t = Ticks();
  const int ok = gInner->decodeMcu(state);
  gEntropy += Ticks() - t;
  return ok;
}

void TimedInverseDct(const CosineTable& table, int16_t* block) {
  const uint64_t t = Ticks();
  gInner->inverseDct(table, block);
  gIdct += Ticks() - t;
}

void TimedOutputMcu(DecoderState& state, uint8_t* destination, int columns, int rows) {
  if (gInner->outputMcu != OutputMcu) {  // fused: counted as assembly
    const uint64_t t = Ticks();
    gInner->outputMcu(state, destination, columns, rows);
    gAssembly += Ticks() - t;
    return;
  }
  const uint64_t t0 = Ticks();
  AssembleMcu(state);
  const uint64_t t1 = Ticks();
  WriteMcuPixelRows(state, state.mcuPixelBuffer, destination, columns, rows, state.outputStride);
  gColor += Ticks() - t1;
  gAssembly += t1 - t0;
}

DecoderState gState;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

std::string FastPathName() { return SelectedPaths().name; }

StageTimes ProfileStages(const uint8_t* data, size_t size, bool scalar, int repeat) {
  const DecoderPaths& inner = scalar ? ScalarPaths() : SelectedPaths();
  gInner = &inner;
  const DecoderPaths timed = {TimedDecodeMcu, inner.usesFastAcTables, TimedInverseDct, TimedOutputMcu, "timed",
                             inner.outputGeneral, inner.reducedInverseDct, inner.convertLine};
  std::vector<double> entropy, idct, assembly, color, total;
  StageTimes result;
  for (int r = 0; r < repeat; ++r) {
    gEntropy = gIdct = gAssembly = gColor = 0;
    gState.paths = &timed;
    const auto start = std::chrono::steady_clock::now();
    const uint64_t t0 = Ticks();
    ImageRecord* image = DecodeImageWithState(gState, data, size, nullptr);
    const uint64_t ticks = Ticks() - t0;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    gState.paths = nullptr;
    if (image == nullptr) return result;
    DeleteObject(image->bitmap);
    const double perTick = seconds / static_cast<double>(ticks);
    entropy.push_back(static_cast<double>(gEntropy) * perTick);
    idct.push_back(static_cast<double>(gIdct) * perTick);
    assembly.push_back(static_cast<double>(gAssembly) * perTick);
    color.push_back(static_cast<double>(gColor) * perTick);
    total.push_back(seconds);
  }
  result = {Median(entropy), Median(idct), Median(assembly), Median(color), Median(total), true};
  return result;
}

}  // namespace zentrafold::bench
