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

// 0 to 2^32 - 1, all digits.
std::optional<uint32_t> ParseNumber(std::string_view text) {
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<CropRegion> ParseCrop(std::string_view text) {
  // WxH+X+Y: width and height at least 1.
  const size_t times = text.find('x');
  const size_t plus = text.find('+');
  if (times == std::string_view::npos || plus == std::string_view::npos || plus < times) return std::nullopt;
  const size_t plus2 = text.find('+', plus + 1);
  if (plus2 == std::string_view::npos) return std::nullopt;
  const auto w = ParseNumber(text.substr(0, times));
  const auto h = ParseNumber(text.substr(times + 1, plus - times - 1));
  const auto x = ParseNumber(text.substr(plus + 1, plus2 - plus - 1));
  const auto y = ParseNumber(text.substr(plus2 + 1));
  if (!w || !h || !x || !y || *w == 0 || *h == 0) return std::nullopt;
  return CropRegion{*x, *y, *w, *h};
}

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
    } else if (name == "--scale") {
      const auto text = value();
      if (!text) return std::nullopt;
      if (*text == "1/1" || *text == "1") options.view.scale = 1;
      else if (*text == "1/2") options.view.scale = 2;
      else if (*text == "1/4") options.view.scale = 4;
      else if (*text == "1/8") options.view.scale = 8;
      else {
        error = "--scale needs 1/1, 1/2, 1/4 or 1/8, not '" + std::string(*text) + "'";
        return std::nullopt;
      }
    } else if (name == "--crop") {
      const auto text = value();
      if (!text) return std::nullopt;
      const auto crop = ParseCrop(*text);
      if (!crop) {
        error = "--crop needs WxH+X+Y (a region of the output picture), not '" + std::string(*text) + "'";
        return std::nullopt;
      }
      options.view.x = crop->x;
      options.view.y = crop->y;
      options.view.width = crop->width;
      options.view.height = crop->height;
    } else if (name == "--orient") {
      if (!noValue()) return std::nullopt;
      options.orient = true;
    } else if (name == "--icc") {
      const auto text = value();
      if (!text) return std::nullopt;
      if (text->empty()) {
        error = "--icc needs a file";
        return std::nullopt;
      }
      options.icc = std::string(*text);
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

Decodes JPEG pictures: 8-bit, baseline, extended, progressive or
arithmetic-coded; grey, YCbCr, RGB, CMYK or YCCK (written as RGB); any
sampling in whole ratios; one scan or several. Lossless, hierarchical and
12-bit streams are refused with the decoder's reason. The
picture is written band by band as it is decoded, so memory does not grow
with its height.

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
      --scale 1/N      decode at 1/2, 1/4 or 1/8 of each dimension (rounded
                       up), reduced in the DCT domain: much faster than a
                       full decode for thumbnails
      --crop WxH+X+Y   write only this region of the (scaled, turned) picture;
                       decoding stops after the region's last rows
      --orient         turn the picture upright by its EXIF orientation
      --icc FILE       also write the stream's ICC profile to FILE (nothing
                       when it has none; one INPUT only)
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
  zentrafold-decode --scale 1/8 --orient --out-dir thumbs photos/*.jpg
  zentrafold-decode --crop 512x512+1024+768 --icc photo.icc photo.jpg part.png
)";
}

std::string VersionText() {
  return std::string("zentrafold-decode ") + ZfVersionText() + "\nfast paths: " + ZfFastPaths() + "\npng output: " +
         PngEncoderName() + "\n";
}

}  // namespace zentrafold::tool
