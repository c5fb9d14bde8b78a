// zentrafold-bench [--repeat N] [--threads N] [--only ours|turbo|stb|fill|ours-reused|turbo-reused] [--json]
//                  FILE_OR_DIR...
// zentrafold-bench --stages [--repeat N] FILE_OR_DIR...
//
// Decodes each JPEG repeatedly with Zentrafold and, in the same run and
// interleaved, with libjpeg-turbo and stb_image; reports each decoder's
// median speed in megapixels per second, ours over each peer, the geometric
// means over the set, and the memory-write limit: the speed of filling a
// fresh buffer of the picture's size from the same allocator. A picture a
// peer decodes with a warning (a cut or corrupt stream, which ours decodes
// as damaged) counts as decoded.
//
// Every timed decode obtains fresh output memory and frees it, and every
// decoder's output comes from the same allocator as our bitmap sections.
// The "reused" columns time ZfDecode and tjDecompress2 into one output
// buffer kept across calls: the decode without the cost of fresh memory.
// "kernel ms" is the system CPU time per fresh decode (mostly the page
// faults of the new output memory), a mean over the repetitions, with the
// minor page faults per decode beside it. With --threads N, a column times
// ZfDecode into the kept buffer on a decoder of N threads, with its ratio to
// the reused single-threaded decode.
//
// --scale N (2, 4 or 8) and --region WxH+X+Y (of the scaled picture) instead
// time views: ZfDecodeView of the view, ZfDecode of the whole picture and,
// with --scale, libjpeg-turbo's scaled decode (tjDecompress2 at the scaled
// size), all into the kept buffer, interleaved.
//
// --stages instead times each stage of our MCU loop, on the scalar paths
// (ZENTRAFOLD_FORCE_SCALAR=1) and on the fast ones, per file and summed.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "peers.h"
#include "stages.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

enum Kind { kOurs, kTurbo, kStb, kFill, kOursReused, kTurboReused, kOursThreads, kOursView, kTurboScaled, kKinds };
constexpr const char* kKindName[kKinds] = {"ours", "turbo", "stb", "fill", "ours-reused", "turbo-reused",
                                           "ours-threads", "ours-view", "turbo-scaled"};
// The JSON keys of the kinds.
constexpr const char* kKindKey[kKinds] = {"ours", "turbo", "stb", "fill", "ours_reused", "turbo_reused",
                                          "ours_threads", "ours_view", "turbo_scaled"};

struct File {
  std::string name;
  std::vector<uint8_t> bytes;
  int width = 0;
  int height = 0;
  double megapixels() const { return static_cast<double>(width) * height / 1e6; }
  std::vector<double> seconds[kKinds];
  double median[kKinds] = {};  // seconds
  double kernelSeconds[kKinds] = {};  // summed over the timed calls
  long minorFaults[kKinds] = {};      // summed over the timed calls
  bool failed[kKinds] = {};
  // Mean system time and page faults of one timed call.
  double KernelMs(Kind kind) const {
    return seconds[kind].empty() ? 0 : 1e3 * kernelSeconds[kind] / static_cast<double>(seconds[kind].size());
  }
  double Faults(Kind kind) const {
    return seconds[kind].empty() ? 0 : static_cast<double>(minorFaults[kind]) / static_cast<double>(seconds[kind].size());
  }
};

struct Options {
  int repeat = 9;
  unsigned threads = 1;  // > 1: the threads column
  bool json = false;
  bool stages = false;
  std::optional<Kind> only;
  std::vector<std::string> inputs;
  uint32_t scale = 1;  // --scale
  bool region = false;  // --region
  uint32_t box[4] = {};  // x, y, width, height
};

int Usage() {
  std::fprintf(stderr,
               "usage: zentrafold-bench [--repeat N] [--threads N] [--only ours|turbo|stb|fill|ours-reused|turbo-reused"
               "|ours-threads] [--json] FILE_OR_DIR...\n"
               "       zentrafold-bench [--scale 2|4|8] [--region WxH+X+Y] [--repeat N] FILE_OR_DIR...\n"
               "       zentrafold-bench --stages [--repeat N] FILE_OR_DIR...\n");
  return 2;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--stages") {
      options.stages = true;
    } else if (arg == "--repeat" && i + 1 < argc) {
      options.repeat = std::atoi(argv[++i]);
      if (options.repeat < 1) return false;
    } else if (arg == "--threads" && i + 1 < argc) {
      const int threads = std::atoi(argv[++i]);
      if (threads < 1 || threads > 64) return false;
      options.threads = static_cast<unsigned>(threads);
    } else if (arg == "--scale" && i + 1 < argc) {
      const int scale = std::atoi(argv[++i]);
      if (scale != 2 && scale != 4 && scale != 8) return false;
      options.scale = static_cast<uint32_t>(scale);
    } else if (arg == "--region" && i + 1 < argc) {
      unsigned w, h, x, y;
      char end;
      if (std::sscanf(argv[++i], "%ux%u+%u+%u%c", &w, &h, &x, &y, &end) != 4 || w == 0 || h == 0) return false;
      options.region = true;
      options.box[0] = x;
      options.box[1] = y;
      options.box[2] = w;
      options.box[3] = h;
    } else if (arg == "--only" && i + 1 < argc) {
      const std::string kind = argv[++i];
      const auto* found = std::find_if(std::begin(kKindName), std::end(kKindName),
                                       [&](const char* name) { return kind == name; });
      if (found == std::end(kKindName)) return false;
      options.only = static_cast<Kind>(found - std::begin(kKindName));
    } else if (!arg.empty() && arg[0] == '-') {
      return false;
    } else {
      options.inputs.push_back(arg);
    }
  }
  return !options.inputs.empty();
}

bool ReadFile(const fs::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::vector<fs::path> ListInputs(const std::vector<std::string>& inputs) {
  std::vector<fs::path> paths;
  for (const auto& input : inputs) {
    if (fs::is_directory(input)) {
      std::vector<fs::path> found;
      for (const auto& entry : fs::directory_iterator(input)) {
        const auto ext = entry.path().extension().string();
        if (entry.is_regular_file() && (ext == ".jpg" || ext == ".jpeg" || ext == ".JPG")) found.push_back(entry.path());
      }
      std::sort(found.begin(), found.end());
      paths.insert(paths.end(), found.begin(), found.end());
    } else {
      paths.emplace_back(input);
    }
  }
  return paths;
}

struct KernelUse {
  double seconds;
  long minorFaults;
};

KernelUse ThreadKernelUse() {
  rusage usage{};
#if defined(RUSAGE_THREAD)
  getrusage(RUSAGE_THREAD, &usage);
#else
  getrusage(RUSAGE_SELF, &usage);
#endif
  return {static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) * 1e-6,
          usage.ru_minflt};
}

// One timed call; false when the decoder refused the stream. The kernel's
// share is added to the file's sums when `record` is set.
unsigned gThreads = 1;
uint32_t gScale = 1;
const uint32_t* gRegion = nullptr;

bool TimeOne(Kind kind, File& file, uint64_t& check, double& seconds, bool record = true) {
  const KernelUse kernelBefore = ThreadKernelUse();
  const auto start = Clock::now();
  bool ok = true;
  const uint8_t* data = file.bytes.data();
  const size_t size = file.bytes.size();
  switch (kind) {
    case kOurs: ok = ZentrafoldBenchOurs(data, size, &check); break;
    case kTurbo: ok = ZentrafoldBenchTurbo(data, size, &check); break;
    case kStb: ok = ZentrafoldBenchStb(data, size, &check); break;
    case kFill: ZentrafoldBenchFill(static_cast<size_t>(file.width) * file.height * 4, &check); break;
    case kOursReused: ok = ZentrafoldBenchOursReused(data, size, &check); break;
    case kTurboReused: ok = ZentrafoldBenchTurboReused(data, size, &check); break;
    case kOursThreads: ok = ZentrafoldBenchOursThreads(data, size, &check, gThreads); break;
    case kOursView: ok = ZentrafoldBenchOursView(data, size, &check, gScale, gRegion); break;
    case kTurboScaled: ok = ZentrafoldBenchTurboScaled(data, size, &check, gScale); break;
    case kKinds: break;
  }
  seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const KernelUse kernelAfter = ThreadKernelUse();
  if (record) {
    file.kernelSeconds[kind] += kernelAfter.seconds - kernelBefore.seconds;
    file.minorFaults[kind] += kernelAfter.minorFaults - kernelBefore.minorFaults;
  }
  return ok;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Megapixels per second of a file's median; 0 when not measured.
double Rate(const File& file, Kind kind) {
  return file.median[kind] > 0 && !file.failed[kind] ? file.megapixels() / file.median[kind] : 0;
}

int PrintStages(const std::vector<File>& files, int repeat) {
  using zentrafold::bench::StageTimes;
  std::printf("stage times in ms (median of %d), scalar paths -> %s paths\n", repeat,
              zentrafold::bench::FastPathName().c_str());
  std::printf("%-36s %15s %15s %15s %15s %15s\n", "file", "entropy+dequant", "inverse DCT", "assembly",
              "colour", "whole decode");
  StageTimes sum[2];
  for (const File& f : files) {
    StageTimes t[2];
    for (int fast = 0; fast < 2; ++fast) {
      t[fast] = zentrafold::bench::ProfileStages(f.bytes.data(), f.bytes.size(), fast == 0, repeat);
      sum[fast].entropy += t[fast].entropy;
      sum[fast].idct += t[fast].idct;
      sum[fast].assembly += t[fast].assembly;
      sum[fast].color += t[fast].color;
      sum[fast].total += t[fast].total;
    }
    auto cell = [](double a, double b) {
      static char text[8][32];
      static int next = 0;
      char* c = text[next++ % 8];
      std::snprintf(c, 32, "%6.1f -> %5.1f", a * 1e3, b * 1e3);
      return c;
    };
    std::printf("%-36.36s %15s %15s %15s %15s %15s\n", f.name.c_str(), cell(t[0].entropy, t[1].entropy),
                cell(t[0].idct, t[1].idct), cell(t[0].assembly, t[1].assembly), cell(t[0].color, t[1].color),
                cell(t[0].total, t[1].total));
  }
  auto share = [](double part, double whole) { return whole > 0 ? 100 * part / whole : 0; };
  for (int fast = 0; fast < 2; ++fast) {
    const StageTimes& s = sum[fast];
    std::printf("%s, all files: entropy+dequant %.1f ms (%.0f%%), inverse DCT %.1f ms (%.0f%%), assembly %.1f ms "
                "(%.0f%%), colour %.1f ms (%.0f%%), rest %.1f ms (%.0f%%), whole %.1f ms\n",
                fast ? "fast" : "scalar", s.entropy * 1e3, share(s.entropy, s.total), s.idct * 1e3,
                share(s.idct, s.total), s.assembly * 1e3, share(s.assembly, s.total), s.color * 1e3,
                share(s.color, s.total), (s.total - s.entropy - s.idct - s.assembly - s.color) * 1e3,
                share(s.total - s.entropy - s.idct - s.assembly - s.color, s.total), s.total * 1e3);
  }
  std::printf("(on the fast paths assembly and colour conversion are one stage, shown as assembly)\n");
  return 0;
}

double GeometricMean(const std::vector<double>& values) {
  if (values.empty()) return 0;
  double logSum = 0;
  for (double v : values) logSum += std::log(v);
  return std::exp(logSum / static_cast<double>(values.size()));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return Usage();

  std::vector<Kind> kinds;
  gThreads = options.threads;
  gScale = options.scale;
  gRegion = options.region ? options.box : nullptr;
  const bool views = options.scale > 1 || options.region;
  for (Kind kind : {kOurs, kTurbo, kStb, kFill, kOursReused, kTurboReused, kOursThreads, kOursView, kTurboScaled}) {
    // Views run beside the reused whole decode; the other columns without views.
    const bool viewKind = kind == kOursView || kind == kTurboScaled;
    if (views ? !(viewKind || kind == kOursReused) : viewKind) continue;
    if (kind == kTurboScaled && (options.scale < 2 || options.region)) continue;
    // The threads column is a ratio to the reused single-threaded decode: both run.
    const bool paired = options.only == kOursThreads && kind == kOursReused;
    if (options.only && *options.only != kind && !paired) continue;
    if (kind == kOursThreads && options.threads < 2) continue;
    if ((kind == kTurbo || kind == kTurboReused || kind == kTurboScaled) && !zentrafold::bench::HaveTurbo()) continue;
    if (kind == kStb && !zentrafold::bench::HaveStb()) continue;
    kinds.push_back(kind);
  }

  std::vector<File> files;
  for (const auto& path : ListInputs(options.inputs)) {
    File file;
    file.name = path.filename().string();
    if (!ReadFile(path, file.bytes)) {
      std::fprintf(stderr, "zentrafold-bench: %s: cannot read\n", path.string().c_str());
      return 2;
    }
    if (!zentrafold::bench::PictureSize(file.bytes.data(), file.bytes.size(), file.width, file.height)) {
      std::fprintf(stderr, "zentrafold-bench: %s: refused by Zentrafold, left out\n", path.string().c_str());
      continue;
    }
    files.push_back(std::move(file));
  }
  if (files.empty()) {
    std::fprintf(stderr, "zentrafold-bench: no decodable files\n");
    return 2;
  }

  if (options.stages) return PrintStages(files, options.repeat);

  // Interleaved: each repetition runs every decoder once, in an order that
  // rotates, so slow drifts of the machine fall on all of them alike.
  uint64_t check = 0;
  for (File& file : files) {
    if (!options.only || *options.only == kOursThreads)
      for (Kind kind : kinds) {
        double ignored;
        TimeOne(kind, file, check, ignored, false);  // warm-up: code, tables, allocator, reused buffer
      }
    for (int r = 0; r < options.repeat; ++r) {
      for (size_t i = 0; i < kinds.size(); ++i) {
        const Kind kind = kinds[(i + static_cast<size_t>(r)) % kinds.size()];
        double seconds;
        if (!TimeOne(kind, file, check, seconds)) file.failed[kind] = true;
        file.seconds[kind].push_back(seconds);
      }
    }
    for (Kind kind : kinds) file.median[kind] = Median(file.seconds[kind]);
  }

  if (views) {
    // Times in ms (medians); the view's speed-up over the whole decode and
    // over libjpeg-turbo's scaled decode.
    std::vector<double> overWhole, overScaled;
    std::printf("%-32s %6s %9s %9s %9s %8s %8s\n", "file", "MP", "whole ms", "view ms", "turbo ms", "/whole",
                "/turbo");
    for (const File& f : files) {
      const double whole = f.median[kOursReused] * 1e3, view = f.median[kOursView] * 1e3;
      const double turbo = f.failed[kTurboScaled] ? 0 : f.median[kTurboScaled] * 1e3;
      const bool viewOk = !f.failed[kOursView] && view > 0;
      if (viewOk) overWhole.push_back(whole / view);
      if (viewOk && turbo > 0) overScaled.push_back(turbo / view);
      std::printf("%-32.32s %6.2f %9.2f %9.2f %9.2f %8.2f %8.2f\n", f.name.c_str(), f.megapixels(), whole,
                  viewOk ? view : 0, turbo, viewOk ? whole / view : 0, viewOk && turbo > 0 ? turbo / view : 0);
    }
    std::printf("(medians of %d, one thread, into one kept BGRX buffer; view: scale 1/%u", options.repeat,
                options.scale);
    if (options.region)
      std::printf(", region %ux%u+%u+%u", options.box[2], options.box[3], options.box[0], options.box[1]);
    std::printf("; turbo: tjDecompress2 at 1/%u)\n", options.scale);
    std::printf("geometric mean over %zu files: view speed-up over the whole decode %.3f, over turbo's scaled "
                "decode %.3f\n",
                files.size(), GeometricMean(overWhole), GeometricMean(overScaled));
    std::fprintf(stderr, "(check %llu)\n", static_cast<unsigned long long>(check));
    return 0;
  }

  std::vector<double> overTurbo, overStb, ofFill, reusedOverTurbo, threadsOverOne;
  const File* lowest = nullptr;  // the file of the lowest ours/turbo
  const File* lowestReused = nullptr;
  auto ratio = [](const File& f, Kind a, Kind b) { return Rate(f, b) > 0 ? Rate(f, a) / Rate(f, b) : 0; };
  for (const File& file : files) {
    const double ours = Rate(file, kOurs);
    if (ours > 0 && Rate(file, kTurbo) > 0) {
      overTurbo.push_back(ours / Rate(file, kTurbo));
      if (lowest == nullptr || ratio(file, kOurs, kTurbo) < ratio(*lowest, kOurs, kTurbo)) lowest = &file;
    }
    if (ours > 0 && Rate(file, kStb) > 0) overStb.push_back(ours / Rate(file, kStb));
    if (ours > 0 && Rate(file, kFill) > 0) ofFill.push_back(ours / Rate(file, kFill));
    if (Rate(file, kOursThreads) > 0 && Rate(file, kOursReused) > 0)
      threadsOverOne.push_back(ratio(file, kOursThreads, kOursReused));
    if (Rate(file, kOursReused) > 0 && Rate(file, kTurboReused) > 0) {
      reusedOverTurbo.push_back(ratio(file, kOursReused, kTurboReused));
      if (lowestReused == nullptr ||
          ratio(file, kOursReused, kTurboReused) < ratio(*lowestReused, kOursReused, kTurboReused))
        lowestReused = &file;
    }
  }

  if (options.json) {
    std::printf("{\n  \"repeat\": %d,\n  \"files\": [\n", options.repeat);
    for (size_t i = 0; i < files.size(); ++i) {
      const File& f = files[i];
      std::printf("    {\"name\": \"%s\", \"width\": %d, \"height\": %d, \"megapixels\": %.3f", f.name.c_str(),
                  f.width, f.height, f.megapixels());
      for (Kind kind : kinds)
        std::printf(", \"%s_mps\": %.2f, \"%s_median_s\": %.6f, \"%s_kernel_ms\": %.3f, \"%s_minor_faults\": %.1f",
                    kKindKey[kind], Rate(f, kind), kKindKey[kind], f.failed[kind] ? 0.0 : f.median[kind],
                    kKindKey[kind], f.KernelMs(kind), kKindKey[kind], f.Faults(kind));
      std::printf("}%s\n", i + 1 < files.size() ? "," : "");
    }
    std::printf("  ],\n  \"geomean_ours_over_turbo\": %.4f,\n  \"geomean_ours_over_stb\": %.4f,\n"
                "  \"geomean_ours_of_fill\": %.4f,\n  \"geomean_reused_ours_over_turbo\": %.4f,\n"
                "  \"threads\": %u,\n  \"geomean_threads_over_one\": %.4f\n}\n",
                GeometricMean(overTurbo), GeometricMean(overStb), GeometricMean(ofFill),
                GeometricMean(reusedOverTurbo), options.threads, GeometricMean(threadsOverOne));
  } else {
    std::printf("%-32s %6s %7s %7s %7s %6s %6s | %7s %7s %6s | %6s %6s %6s | %6s\n", "", "", "fresh", "", "", "",
                "", "reused", "", "", "kernel", "ms", "faults", "");
    std::printf("%-32s %6s %7s %7s %7s %6s %6s | %7s %7s %6s | %6s %6s %6s | %6s\n", "file", "MP", "ours", "turbo",
                "stb", "/turbo", "/stb", "ours", "turbo", "/turbo", "ours", "turbo", "ours", "%fill");
    for (const File& f : files) {
      const double ours = Rate(f, kOurs), turbo = Rate(f, kTurbo), stb = Rate(f, kStb), fill = Rate(f, kFill);
      const double oursReused = Rate(f, kOursReused), turboReused = Rate(f, kTurboReused);
      std::printf("%-32.32s %6.2f %7.1f %7.1f %7.1f %6.3f %6.3f | %7.1f %7.1f %6.3f | %6.2f %6.2f %6.0f | %5.1f%%\n",
                  f.name.c_str(), f.megapixels(), ours, turbo, stb, turbo > 0 ? ours / turbo : 0,
                  stb > 0 ? ours / stb : 0, oursReused, turboReused,
                  turboReused > 0 ? oursReused / turboReused : 0, f.KernelMs(kOurs), f.KernelMs(kTurbo),
                  f.Faults(kOurs), fill > 0 ? 100 * ours / fill : 0);
    }
    if (options.threads > 1) {
      std::printf("\n%-32s %6s %9s %9s %8s\n", "file", "MP", "1 thread", "threads", "ratio");
      for (const File& f : files) {
        const double one = Rate(f, kOursReused), many = Rate(f, kOursThreads);
        std::printf("%-32.32s %6.2f %9.1f %9.1f %8.3f\n", f.name.c_str(), f.megapixels(), one, many,
                    one > 0 ? many / one : 0);
      }
      std::printf("(ZfDecode into one kept buffer, MP/s, on 1 and on %u threads; geometric mean of the ratio %.3f)\n",
                  options.threads, GeometricMean(threadsOverOne));
    }
    std::printf("(MP/s: megapixels per second, median of %d; fresh: new output memory per decode; reused: one "
                "buffer;\n kernel ms and faults: system time and minor page faults per fresh decode, means)\n",
                options.repeat);
    std::printf("geometric mean over %zu files: ours/turbo %.3f, ours/stb %.3f, ours/fill %.3f, reused ours/turbo "
                "%.3f\n",
                files.size(), GeometricMean(overTurbo), GeometricMean(overStb), GeometricMean(ofFill),
                GeometricMean(reusedOverTurbo));
    // A peer that refuses a file (stb_image gives no picture for a cut
    // stream; 0.0 in its column) leaves it out of that peer's mean.
    if (overTurbo.size() != files.size() || overStb.size() != files.size())
      std::printf("(ours/turbo over the %zu files libjpeg-turbo decodes, ours/stb over the %zu stb_image decodes)\n",
                  overTurbo.size(), overStb.size());
    if (lowest != nullptr)
      std::printf("lowest ours/turbo: %s %.3f\n", lowest->name.c_str(), ratio(*lowest, kOurs, kTurbo));
    if (lowestReused != nullptr)
      std::printf("lowest reused ours/turbo: %s %.3f\n", lowestReused->name.c_str(),
                  ratio(*lowestReused, kOursReused, kTurboReused));
  }
  std::fprintf(stderr, "(check %llu)\n", static_cast<unsigned long long>(check));
  return 0;
}
