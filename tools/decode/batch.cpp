#include "batch.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "decode_file.h"
#include "file_io.h"

namespace zentrafold::tool {
namespace fs = std::filesystem;
namespace {

// Counts, messages and the progress line, shared by the workers.
class Reporter {
 public:
  Reporter(size_t total, bool showProgress) : total_(total), showProgress_(showProgress) {}

  void Finished(const FileResult& result) {
    std::lock_guard lock(mutex_);
    ++done_;
    switch (result.outcome) {
      case FileOutcome::kDamaged: ++damaged_; [[fallthrough]];
      case FileOutcome::kDecoded:
        ++decoded_;
        pixels_ += result.pixels;
        break;
      case FileOutcome::kRefused: ++refused_; break;
      case FileOutcome::kFailed: ++failed_; break;
    }
    if (result.outcome != FileOutcome::kDecoded) {
      ClearProgress();
      std::fprintf(stderr, "zentrafold-decode: %s\n", result.message.c_str());
    }
    const auto now = Clock::now();
    if (showProgress_ && (done_ == total_ || now - lastDrawn_ > std::chrono::milliseconds(100))) {
      const double seconds = std::chrono::duration<double>(now - start_).count();
      const double rate = seconds > 0 ? static_cast<double>(pixels_) / 1e6 / seconds : 0.0;
      std::fprintf(stderr, "\r%zu/%zu files, %.1f MP/s", done_, total_, rate);
      std::fflush(stderr);
      progressShown_ = true;
      lastDrawn_ = now;
    }
  }

  int Summarise() {
    std::lock_guard lock(mutex_);
    ClearProgress();
    std::string line = std::to_string(decoded_) + " decoded";
    if (damaged_ != 0) line += " (" + std::to_string(damaged_) + " damaged)";
    line += ", " + std::to_string(refused_) + " refused";
    if (failed_ != 0) line += ", " + std::to_string(failed_) + " failed";
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return failed_ != 0 ? 2 : refused_ != 0 ? 1 : 0;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void ClearProgress() {
    if (!progressShown_) return;
    std::fputs("\r\033[K", stderr);
    progressShown_ = false;
  }

  std::mutex mutex_;
  const size_t total_;
  const bool showProgress_;
  size_t done_ = 0, decoded_ = 0, damaged_ = 0, refused_ = 0, failed_ = 0;
  uint64_t pixels_ = 0;
  bool progressShown_ = false;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point lastDrawn_{};
};

}  // namespace

std::vector<std::string> PlanOutputNames(const std::vector<std::string>& inputs, const std::string& outDir,
                                         OutputFormat format) {
  std::vector<std::string> names;
  std::set<std::string> taken;
  // Windows file names are case-insensitive: A.png and a.png are one file.
  auto key = [](std::string name) {
#if defined(_WIN32)
    for (char& c : name)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
#endif
    return name;
  };
  const std::string extension = std::string(".") + FormatName(format);
  for (const std::string& input : inputs) {
    std::string stem = NameOf(PathOf(input).stem());
    if (stem.empty()) stem = "picture";
    std::string name = stem + extension;
    for (int n = 2; taken.count(key(name)) != 0; ++n) name = stem + "-" + std::to_string(n) + extension;
    taken.insert(key(name));
    names.push_back(NameOf(PathOf(outDir) / PathOf(name)));
  }
  return names;
}

int RunBatch(const BatchRequest& request) {
  std::error_code ec;
  fs::create_directories(PathOf(request.outDir), ec);
  if (ec || !fs::is_directory(PathOf(request.outDir))) {
    std::fprintf(stderr, "zentrafold-decode: %s: cannot create the output directory: %s\n",
                 request.outDir.c_str(), ec ? ec.message().c_str() : "not a directory");
    return 2;
  }
  const std::vector<std::string> outputs = PlanOutputNames(request.inputs, request.outDir, request.format);
  const size_t total = request.inputs.size();
  const unsigned jobs = static_cast<unsigned>(std::min<size_t>(std::max(1u, request.jobs), total));

  Reporter reporter(total, request.showProgress);
  std::atomic<size_t> next{0};
  auto work = [&] {
    // Each worker decodes with its own decoder, made once; a null one is
    // reported per file.
    const DecoderPtr decoder = MakeDecoder(request.maxPixels, request.threads);
    for (size_t i; (i = next++) < total;) {
      DecodeRequest one;
      one.input = request.inputs[i];
      one.output = outputs[i];
      one.format = request.format;
      one.maxPixels = request.maxPixels;
      one.strict = request.strict;
      one.threads = request.threads;
      one.view = request.view;
      one.orient = request.orient;
      reporter.Finished(DecodeFile(decoder.get(), one));
    }
  };
  std::vector<std::thread> workers;
  for (unsigned j = 1; j < jobs; ++j) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  return reporter.Summarise();
}

}  // namespace zentrafold::tool
