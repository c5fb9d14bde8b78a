// zentrafold_make_variants OUTDIR INPUT...: writes every lossless rewrite of
// each INPUT (stream_rewrite.h: header rewrites and jpegtran's) to
// OUTDIR/STEM.VARIANT.jpg, for counting (scripts/count_opens) and for looking
// at. Exit status 1 when a rewrite cannot be made.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "stream_rewrite.h"
#include "test_support.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc < 3) {
    std::fprintf(stderr, "usage: zentrafold_make_variants OUTDIR INPUT...\n");
    return 2;
  }
  const fs::path out = argv[1];
  fs::create_directories(out);
  int status = 0, written = 0;
  for (int i = 2; i < argc; ++i) {
    const fs::path input = argv[i];
    try {
      const zentrafold::test::Bytes source = zentrafold::test::ReadFile(input);
      std::string error;
      auto variants = zentrafold::test::SegmentVariants(source);
      const auto jpegtran = zentrafold::test::JpegtranVariants(source, &error);
      if (!error.empty()) {
        std::fprintf(stderr, "%s: %s\n", input.c_str(), error.c_str());
        status = 1;
      }
      variants.insert(variants.end(), jpegtran.begin(), jpegtran.end());
      for (const auto& v : variants) {
        std::ofstream file(out / (input.stem().string() + "." + v.name + ".jpg"), std::ios::binary);
        file.write(reinterpret_cast<const char*>(v.stream.data()), static_cast<std::streamsize>(v.stream.size()));
        ++written;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", input.c_str(), e.what());
      status = 1;
    }
  }
  std::printf("%d rewrites written to %s\n", written, out.c_str());
  return status;
}
