// PPM, PGM, BMP and raw BGRX: a header, then the decoder's rows as they are;
// PNG lives in png_writer.cpp.
#include "picture_writers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

namespace zentrafold::tool {
namespace {

bool WriteBytes(std::FILE* out, const void* bytes, size_t count, std::string& error) {
  errno = 0;
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

// BITMAPFILEHEADER (14 bytes) and BITMAPINFOHEADER (40 bytes), little-endian:
// 32 bits per pixel, BI_RGB, negative height for top-down rows. The pixel
// bytes then follow exactly as the decoder writes them in kZfBgrx.
constexpr uint32_t kBmpHeaderBytes = 14 + 40;

uint64_t BmpPixelBytes(uint32_t width, uint32_t height) { return uint64_t{width} * 4 * height; }

std::vector<uint8_t> BmpHeader(uint32_t width, uint32_t height) {
  const auto pixelBytes = static_cast<uint32_t>(BmpPixelBytes(width, height));
  std::vector<uint8_t> header(kBmpHeaderBytes, 0);
  header[0] = 'B';
  header[1] = 'M';
  PutLe32(&header[2], pixelBytes + kBmpHeaderBytes);
  PutLe32(&header[10], kBmpHeaderBytes);
  uint8_t* info = &header[14];
  PutLe32(info + 0, 40);
  PutLe32(info + 4, width);
  PutLe32(info + 8, static_cast<uint32_t>(-static_cast<int64_t>(height)));
  PutLe16(info + 12, 1);   // planes
  PutLe16(info + 14, 32);  // bits per pixel
  PutLe32(info + 16, 0);   // BI_RGB
  PutLe32(info + 20, pixelBytes);
  return header;
}

std::vector<uint8_t> TextHeader(const char* magic, uint32_t width, uint32_t height) {
  const std::string text = std::string(magic) + "\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  return {text.begin(), text.end()};
}

// Every format but png: a fixed header, then each row's bytes unchanged.
class RawWriter final : public PictureWriter {
 public:
  explicit RawWriter(OutputFormat format) : format_(format) {}

  bool Begin(std::FILE* out, uint32_t width, uint32_t height, ZfFormat pixels, std::string& error) override {
    out_ = out;
    rowBytes_ = size_t{width} * ZfBytesPerPixel(pixels);
    std::vector<uint8_t> header;
    switch (format_) {
      case OutputFormat::kPpm: header = TextHeader("P6", width, height); break;
      case OutputFormat::kPgm: header = TextHeader("P5", width, height); break;
      case OutputFormat::kBmp: header = BmpHeader(width, height); break;
      default: break;
    }
    return header.empty() || WriteBytes(out_, header.data(), header.size(), error);
  }

  bool WriteRows(const uint8_t* rows, size_t stride, uint32_t count, std::string& error) override {
    if (stride == rowBytes_) return WriteBytes(out_, rows, rowBytes_ * count, error);
    for (uint32_t y = 0; y < count; ++y)
      if (!WriteBytes(out_, rows + y * stride, rowBytes_, error)) return false;
    return true;
  }

  bool Finish(std::string&) override { return true; }

 private:
  const OutputFormat format_;
  std::FILE* out_ = nullptr;
  size_t rowBytes_ = 0;
};

}  // namespace

std::optional<OutputFormat> ParseFormatName(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "png") return OutputFormat::kPng;
  if (lower == "ppm" || lower == "pnm") return OutputFormat::kPpm;
  if (lower == "pgm") return OutputFormat::kPgm;
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
    case OutputFormat::kPgm: return "pgm";
    case OutputFormat::kBmp: return "bmp";
    case OutputFormat::kBgrx: return "bgrx";
  }
  return "?";
}

bool FormatAvailable(OutputFormat format) { return format != OutputFormat::kPng || PngAvailable(); }

ZfFormat PixelFormatFor(OutputFormat format, bool greyStream) {
  switch (format) {
    case OutputFormat::kPng: return greyStream ? kZfGrey : kZfRgb;
    case OutputFormat::kPpm: return kZfRgb;
    case OutputFormat::kPgm: return kZfGrey;
    case OutputFormat::kBmp:
    case OutputFormat::kBgrx: break;
  }
  return kZfBgrx;
}

bool PictureFits(OutputFormat format, uint32_t width, uint32_t height, std::string& error) {
  if (format == OutputFormat::kBmp &&
      (BmpPixelBytes(width, height) + kBmpHeaderBytes > 0xFFFFFFFFu || height > 0x7FFFFFFFu)) {
    error = "picture too large for BMP (over 4 GiB)";
    return false;
  }
  return true;
}

std::unique_ptr<PictureWriter> MakePictureWriter(OutputFormat format) {
  if (format == OutputFormat::kPng) return MakePngWriter();
  return std::make_unique<RawWriter>(format);
}

}  // namespace zentrafold::tool
