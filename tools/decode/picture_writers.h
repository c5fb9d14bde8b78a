// The output formats, written as the decoder hands over its bands: a header
// first, then rows top to bottom, each in the byte order the format takes
// from the decoder (RGB for png and ppm, grey for pgm and a grey stream's
// png, BGRX for bmp and bgrx), so no writer holds more than one row.
#pragma once

#include <zentrafold/zentrafold.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zentrafold::tool {

enum class OutputFormat { kPng, kPpm, kPgm, kBmp, kBgrx };

// "png", "ppm", "pgm", "bmp", "bgrx" (and "pnm" for ppm); nullopt for anything else.
std::optional<OutputFormat> ParseFormatName(std::string_view name);
// The format a file name's extension asks for, case-insensitively.
std::optional<OutputFormat> FormatFromFileName(std::string_view path);
const char* FormatName(OutputFormat format);
// Whether this build can write the format (png needs libpng at build time).
bool FormatAvailable(OutputFormat format);

// The decoder's byte order the format is written from: kZfGrey for pgm and
// for png of a grey stream (one component), kZfRgb for png and ppm,
// kZfBgrx for bmp and bgrx.
ZfFormat PixelFormatFor(OutputFormat format, bool greyStream);

// Whether a picture of this size fits the format (a BMP file's size field
// is 32 bits); false with `error` set when not. Known before decoding.
bool PictureFits(OutputFormat format, uint32_t width, uint32_t height, std::string& error);

// One picture into one stdio stream. Begin writes the header, WriteRows the
// next `count` rows (`stride` bytes apart, in PixelFormatFor's order),
// Finish whatever the format puts after the last row. Each returns false
// with `error` set on failure; what was written so far is left for the
// caller to discard.
class PictureWriter {
 public:
  virtual ~PictureWriter() = default;
  virtual bool Begin(std::FILE* out, uint32_t width, uint32_t height, ZfFormat pixels, std::string& error) = 0;
  virtual bool WriteRows(const uint8_t* rows, size_t stride, uint32_t count, std::string& error) = 0;
  virtual bool Finish(std::string& error) = 0;
};

std::unique_ptr<PictureWriter> MakePictureWriter(OutputFormat format);

// The PNG writer (png_writer_wic.cpp on Windows, png_writer.cpp when libpng
// is there, one that refuses otherwise): 8-bit RGB, or 8-bit grey from
// kZfGrey rows.
std::unique_ptr<PictureWriter> MakePngWriter();
bool PngAvailable();
// What writes PNG, for --version: "libpng 1.6.39", "Windows Imaging
// Component", or "unavailable (built without libpng)".
std::string PngEncoderName();

}  // namespace zentrafold::tool
