// PNG through libpng: 8-bit RGB, no interlacing, libpng's adaptive filters.
// zlib level 3 rather than the default 6: on photographs it writes about a
// third of the time for files some 6% larger, and encoding, not decoding, is
// what a batch spends its time on.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "picture_writers.h"

namespace zentrafold::tool {
namespace {

struct PngSink {
  std::FILE* out;
  int writeErrno;
};

void WriteToSink(png_structp png, png_bytep data, png_size_t length) {
  auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
  if (std::fwrite(data, 1, length, sink->out) != length) {
    sink->writeErrno = errno != 0 ? errno : EIO;
    png_error(png, "write failed");
  }
}

void FlushSink(png_structp png) { std::fflush(static_cast<PngSink*>(png_get_io_ptr(png))->out); }

// libpng reports errors by longjmp back to the setjmp below; the message is
// kept here on the way.
void OnPngError(png_structp png, png_const_charp message) {
  auto* text = static_cast<std::string*>(png_get_error_ptr(png));
  *text = message;
  png_longjmp(png, 1);
}
void OnPngWarning(png_structp, png_const_charp) {}

}  // namespace

bool PngAvailable() { return true; }
std::string PngVersion() { return PNG_LIBPNG_VER_STRING; }

bool WritePng(std::FILE* out, const Picture& picture, std::string& error) {
  std::string pngMessage;
  PngSink sink{out, 0};
  // Everything the error path needs exists before setjmp and is not changed
  // between setjmp and a longjmp except through pointers.
  std::vector<png_byte> row(static_cast<size_t>(picture.width) * 3);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &pngMessage, OnPngError, OnPngWarning);
  if (png == nullptr) {
    error = "cannot start the PNG encoder";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    error = sink.writeErrno != 0 ? std::strerror(sink.writeErrno)
                                 : "PNG encoder: " + (pngMessage.empty() ? std::string("out of memory") : pngMessage);
    return false;
  }
  png_set_write_fn(png, &sink, WriteToSink, FlushSink);
  png_set_IHDR(png, info, picture.width, picture.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 3);
  png_write_info(png, info);
  for (uint32_t y = 0; y < picture.height; ++y) {
    const uint8_t* source = picture.bgrx + static_cast<size_t>(y) * picture.width * 4;
    png_bytep target = row.data();
    for (uint32_t x = 0; x < picture.width; ++x) {
      target[x * 3 + 0] = source[x * 4 + 2];
      target[x * 3 + 1] = source[x * 4 + 1];
      target[x * 3 + 2] = source[x * 4 + 0];
    }
    png_write_row(png, target);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace zentrafold::tool
