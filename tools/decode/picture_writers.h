// The output formats: encoders from the decoder's pixel memory (blue, green,
// red, 0 per pixel, rows top to bottom) to a stdio stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace zentrafold::tool {

enum class OutputFormat { kPng, kPpm, kBmp, kBgrx };

struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  const uint8_t* bgrx = nullptr;  // width * height * 4 bytes
};

// "png", "ppm", "bmp", "bgrx" (and "pnm" for ppm); nullopt for anything else.
std::optional<OutputFormat> ParseFormatName(std::string_view name);
// The format a file name's extension asks for, case-insensitively.
std::optional<OutputFormat> FormatFromFileName(std::string_view path);
const char* FormatName(OutputFormat format);
// Whether this build can write the format (png needs libpng at build time).
bool FormatAvailable(OutputFormat format);

// Writes the whole picture. On failure returns false with `error` set; what
// was written so far is left for the caller to discard.
bool WritePicture(std::FILE* out, OutputFormat format, const Picture& picture, std::string& error);

// The PNG encoder (png_writer.cpp when libpng is there, a refusal otherwise).
bool WritePng(std::FILE* out, const Picture& picture, std::string& error);
bool PngAvailable();
// The libpng version the tool was built with, or "unavailable".
std::string PngVersion();

}  // namespace zentrafold::tool
