// PPM, BMP and raw BGRX; PNG lives in png_writer.cpp.
#include "picture_writers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

namespace zentrafold::tool {
namespace {

bool WriteBytes(std::FILE* out, const void* bytes, size_t count, std::string& error) {
  if (std::fwrite(bytes, 1, count, out) == count) return true;
  error = std::strerror(errno != 0 ? errno : EIO);
  return false;
}

void PutLe16(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}
void PutLe32(uint8_t* p, uint32_t value) {
  PutLe16(p, value);
  PutLe16(p + 2, value >> 16);
}

size_t RowBytes(const Picture& picture) { return static_cast<size_t>(picture.width) * 4; }

bool WritePpm(std::FILE* out, const Picture& picture, std::string& error) {
  const std::string header =
      "P6\n" + std::to_string(picture.width) + " " + std::to_string(picture.height) + "\n255\n";
  if (!WriteBytes(out, header.data(), header.size(), error)) return false;
  std::vector<uint8_t> row(static_cast<size_t>(picture.width) * 3);
  for (uint32_t y = 0; y < picture.height; ++y) {
    const uint8_t* source = picture.bgrx + y * RowBytes(picture);
    for (uint32_t x = 0; x < picture.width; ++x) {
      row[x * 3 + 0] = source[x * 4 + 2];
      row[x * 3 + 1] = source[x * 4 + 1];
      row[x * 3 + 2] = source[x * 4 + 0];
    }
    if (!WriteBytes(out, row.data(), row.size(), error)) return false;
  }
  return true;
}

// BITMAPFILEHEADER (14 bytes) and BITMAPINFOHEADER (40 bytes), little-endian:
// 32 bits per pixel, BI_RGB, negative height for top-down rows. The pixel
// bytes then follow exactly as the decoder wrote them.
constexpr uint32_t kBmpHeaderBytes = 14 + 40;

bool WriteBmp(std::FILE* out, const Picture& picture, std::string& error) {
  const uint64_t pixelBytes = static_cast<uint64_t>(RowBytes(picture)) * picture.height;
  if (pixelBytes + kBmpHeaderBytes > 0xFFFFFFFFu || picture.height > 0x7FFFFFFFu) {
    error = "picture too large for BMP";
    return false;
  }
  uint8_t header[kBmpHeaderBytes] = {};
  header[0] = 'B';
  header[1] = 'M';
  PutLe32(header + 2, static_cast<uint32_t>(pixelBytes) + kBmpHeaderBytes);
  PutLe32(header + 10, kBmpHeaderBytes);
  uint8_t* info = header + 14;
  PutLe32(info + 0, 40);
  PutLe32(info + 4, picture.width);
  PutLe32(info + 8, static_cast<uint32_t>(-static_cast<int64_t>(picture.height)));
  PutLe16(info + 12, 1);   // planes
  PutLe16(info + 14, 32);  // bits per pixel
  PutLe32(info + 16, 0);   // BI_RGB
  PutLe32(info + 20, static_cast<uint32_t>(pixelBytes));
  if (!WriteBytes(out, header, sizeof header, error)) return false;
  return WriteBytes(out, picture.bgrx, static_cast<size_t>(pixelBytes), error);
}

bool WriteBgrx(std::FILE* out, const Picture& picture, std::string& error) {
  return WriteBytes(out, picture.bgrx, RowBytes(picture) * picture.height, error);
}

}  // namespace

std::optional<OutputFormat> ParseFormatName(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "png") return OutputFormat::kPng;
  if (lower == "ppm" || lower == "pnm") return OutputFormat::kPpm;
  if (lower == "bmp") return OutputFormat::kBmp;
  if (lower == "bgrx") return OutputFormat::kBgrx;
  return std::nullopt;
}

std::optional<OutputFormat> FormatFromFileName(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return ParseFormatName(name.substr(dot + 1));
}

const char* FormatName(OutputFormat format) {
  switch (format) {
    case OutputFormat::kPng: return "png";
    case OutputFormat::kPpm: return "ppm";
    case OutputFormat::kBmp: return "bmp";
    case OutputFormat::kBgrx: return "bgrx";
  }
  return "?";
}

bool FormatAvailable(OutputFormat format) { return format != OutputFormat::kPng || PngAvailable(); }

bool WritePicture(std::FILE* out, OutputFormat format, const Picture& picture, std::string& error) {
  errno = 0;
  switch (format) {
    case OutputFormat::kPng: return WritePng(out, picture, error);
    case OutputFormat::kPpm: return WritePpm(out, picture, error);
    case OutputFormat::kBmp: return WriteBmp(out, picture, error);
    case OutputFormat::kBgrx: return WriteBgrx(out, picture, error);
  }
  error = "unknown format";
  return false;
}

}  // namespace zentrafold::tool
