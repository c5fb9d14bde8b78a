// zentrafold-decode: sequential JPEG to png, ppm, pgm, bmp or raw BGRX, one file or
// a batch. The work is in the other files of this directory; this one picks
// the mode and maps the outcome to the exit status.
#include <cstdio>
#include <string>
#include <thread>

#include "batch.h"
#include "decode_file.h"
#include "file_io.h"
#include "info.h"
#include "options.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#include <io.h>
#include <vector>
#define ZENTRAFOLD_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define ZENTRAFOLD_ISATTY(fd) isatty(fd)
#endif

namespace {

using namespace zentrafold::tool;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "zentrafold-decode: %s\ntry 'zentrafold-decode --help'\n", message.c_str());
  return 2;
}

int ExitStatus(FileOutcome outcome) {
  switch (outcome) {
    case FileOutcome::kDecoded:
    case FileOutcome::kDamaged: return 0;
    case FileOutcome::kRefused: return 1;
    case FileOutcome::kFailed: return 2;
  }
  return 2;
}

int Run(int argc, char** argv) {
  std::string error;
  const std::optional<Options> parsed = ParseOptions(argc, argv, error);
  if (!parsed) return UsageError(error);
  const Options& options = *parsed;
  if (options.help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }
  if (options.info) {
    if (options.operands.empty()) return UsageError("--info needs at least one INPUT");
    return PrintInfo(options.operands, options.maxPixels);
  }

  if (options.outDir) {
    if (options.operands.empty()) return UsageError("--out-dir needs at least one INPUT");
    for (const std::string& input : options.operands)
      if (input == "-") return UsageError("batch mode reads files, not standard input");
    BatchRequest batch;
    batch.inputs = options.operands;
    batch.outDir = *options.outDir;
    batch.format = options.format.value_or(OutputFormat::kPng);
    if (!FormatAvailable(batch.format)) return UsageError("png output is unavailable: this build has no libpng");
    // The cores go to files first, the rest to each file's picture.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    batch.jobs = options.jobs != 0 ? options.jobs : cores;
    batch.threads = options.threads != 0 ? options.threads : std::max(1u, cores / batch.jobs);
    batch.maxPixels = options.maxPixels;
    batch.strict = options.strict;
    batch.view = options.view;
    batch.orient = options.orient;
    if (options.icc) return UsageError("--icc takes one INPUT, not batch mode");
    batch.showProgress = ZENTRAFOLD_ISATTY(2) != 0;
    return RunBatch(batch);
  }

  if (options.operands.size() != 2) return UsageError("expected INPUT and OUTPUT (or --out-dir DIR INPUT...)");
  DecodeRequest request;
  request.input = options.operands[0];
  request.output = options.operands[1];
  request.maxPixels = options.maxPixels;
  request.strict = options.strict;
  request.view = options.view;
  request.orient = options.orient;
  request.icc = options.icc.value_or("");
  request.threads = options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  if (options.format) {
    request.format = *options.format;
  } else if (request.output == "-") {
    return UsageError("writing to standard output needs --format");
  } else if (const auto format = FormatFromFileName(request.output)) {
    request.format = *format;
  } else {
    return UsageError("cannot tell the format from '" + request.output + "': use --format png, ppm, pgm, bmp or bgrx");
  }
  if (!FormatAvailable(request.format)) return UsageError("png output is unavailable: this build has no libpng");

  const DecoderPtr decoder = MakeDecoder(request.maxPixels, request.threads);
  const FileResult result = DecodeFile(decoder.get(), request);
  if (result.outcome != FileOutcome::kDecoded)
    std::fprintf(stderr, "zentrafold-decode: %s\n", result.message.c_str());
  return ExitStatus(result.outcome);
}

}  // namespace

int main(int argc, char** argv) {
  RemoveTemporaryFilesOnInterrupt();
#if defined(_WIN32)
  // The arguments as the user typed them, in UTF-8, rather than in the ANSI
  // code page, which cannot hold every file name.
  int count = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
      const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
      std::string argument(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
      if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, argument.data(), bytes, nullptr, nullptr);
      argument.pop_back();  // the terminating zero
      arguments.push_back(std::move(argument));
    }
    LocalFree(wide);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return Run(count, pointers.data());
  }
#endif
  return Run(argc, argv);
}
