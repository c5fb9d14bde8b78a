#include "options.h"

#include <zentrafold/zentrafold.h>

#include <charconv>
#include <string_view>

namespace zentrafold::tool {
namespace {

std::optional<uint64_t> ParseCount(std::string_view text) {
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string& error) {
  Options options;
  bool operandsOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (operandsOnly || arg == "-" || arg.empty() || arg[0] != '-') {
      options.operands.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      operandsOnly = true;
      continue;
    }
    // --name=value or --name value
    std::string_view name = arg;
    std::optional<std::string_view> inlineValue;
    if (const size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inlineValue = arg.substr(eq + 1);
    }
    auto value = [&]() -> std::optional<std::string_view> {
      if (inlineValue) return inlineValue;
      if (i + 1 < argc) return std::string_view(argv[++i]);
      error = "option " + std::string(name) + " needs a value";
      return std::nullopt;
    };
    // A count from 1 to `most`, named in the error as `what`.
    auto count = [&](uint64_t most, const char* what) -> std::optional<uint64_t> {
      const auto text = value();
      if (!text) return std::nullopt;
      const auto parsed = ParseCount(*text);
      if (!parsed || *parsed > most) {
        error = std::string(name) + " needs " + what + ", not '" + std::string(*text) + "'";
        return std::nullopt;
      }
      return parsed;
    };
    auto noValue = [&]() {
      if (!inlineValue) return true;
      error = "option " + std::string(name) + " takes no value";
      return false;
    };

    if (name == "-h" || name == "--help") {
      if (!noValue()) return std::nullopt;
      options.help = true;
    } else if (name == "--version") {
      if (!noValue()) return std::nullopt;
      options.version = true;
    } else if (name == "--info") {
      if (!noValue()) return std::nullopt;
      options.info = true;
    } else if (name == "--strict") {
      if (!noValue()) return std::nullopt;
      options.strict = true;
    } else if (name == "-f" || name == "--format") {
      const auto text = value();
      if (!text) return std::nullopt;
      options.format = ParseFormatName(*text);
      if (!options.format) {
        error = "unknown format '" + std::string(*text) + "' (png, ppm, pgm, bmp or bgrx)";
        return std::nullopt;
      }
    } else if (name == "--out-dir") {
      const auto text = value();
      if (!text) return std::nullopt;
      if (text->empty()) {
        error = "--out-dir needs a directory";
        return std::nullopt;
      }
      options.outDir = std::string(*text);
    } else if (name == "-j" || name == "--jobs") {
      const auto jobs = count(1024, "a number from 1 to 1024");
      if (!jobs) return std::nullopt;
      options.jobs = static_cast<unsigned>(*jobs);
    } else if (name == "--threads") {
      const auto threads = count(64, "a number from 1 to 64");
      if (!threads) return std::nullopt;
      options.threads = static_cast<unsigned>(*threads);
    } else if (name == "--max-pixels") {
      const auto pixels = count(UINT64_MAX, "a positive number");
      if (!pixels) return std::nullopt;
      options.maxPixels = *pixels;
    } else {
      error = "unknown option " + std::string(arg);
      return std::nullopt;
    }
  }
  return options;
}

std::string HelpText() {
  return R"(usage: zentrafold-decode [OPTIONS] INPUT OUTPUT
       zentrafold-decode [OPTIONS] --out-dir DIR INPUT...
       zentrafold-decode --info INPUT...

Decodes baseline JPEG (JFIF) pictures: 8-bit, Huffman-coded, sequential, one
scan; grey (1 component) or colour (3 components, luma sampled 1x1, 1x2, 2x1
or 2x2). Progressive, arithmetic-coded, lossless, hierarchical, 12-bit and
CMYK streams are refused with the decoder's reason. The picture is written
band by band as it is decoded, so memory does not grow with its height.

Options:
  -f, --format FMT     output format: png, ppm, pgm, bmp or bgrx (default:
                       from OUTPUT's extension; png in batch mode)
      --out-dir DIR    batch mode: decode every INPUT to DIR/NAME.FMT and go on
                       past files that cannot be decoded; DIR is created when
                       missing. Inputs of the same name get NAME-2.FMT, ...
  -j, --jobs N         batch mode: decode N files at a time (default: one per
                       core)
      --threads N      decode each picture on N threads (default: all cores
                       for one INPUT; in batch mode the cores --jobs leaves)
      --max-pixels N   refuse frames of more than N pixels before decoding
                       (default: 268435456, 2^28)
      --strict         refuse damaged streams (data that breaks off early)
                       instead of writing them with a warning
      --info           print what each INPUT's headers say and the decoder's
                       verdict on them (--max-pixels included); write nothing
  -h, --help           show this help
      --version        show the version and the decoder's fast paths

INPUT - reads standard input; OUTPUT - writes standard output (--format is
then required). Inputs over 1 GiB are refused.

Formats: png (8-bit RGB; 8-bit grey for a grey stream), ppm (binary P6, RGB),
pgm (binary P5: grey, the luma of a colour stream), bmp (32-bit top-down
BI_RGB: the decoder's own pixel bytes), bgrx (the raw pixel memory: width *
height * 4 bytes, blue, green, red, 0, rows top to bottom).

A damaged stream (its data breaks off before the picture's end; the rest is
made up) is written with a warning "FILE: damaged: ..." and counts as
decoded, unless --strict.

Exit status: 0 all decoded, 1 a stream refused, 2 usage or I/O error.

Examples:
  zentrafold-decode photo.jpg photo.png
  zentrafold-decode --format ppm - - < photo.jpg | pnmtopng > photo.png
  zentrafold-decode --out-dir decoded --jobs 4 pictures/*.jpg
  zentrafold-decode --info photo.jpg
)";
}

std::string VersionText() {
  return std::string("zentrafold-decode ") + ZfVersionText() + "\nfast paths: " + ZfFastPaths() + "\npng output: " +
         PngEncoderName() + "\n";
}

}  // namespace zentrafold::tool
