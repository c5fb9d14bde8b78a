// zentrafold-decode INPUT.jpg OUTPUT.ppm: decodes a baseline JPEG to a binary
// PPM (P6, RGB). Exit 0 on success, 1 when the decoder refuses the stream,
// 2 on usage or I/O errors.
#include <zentrafold/decoder.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "zentrafold-decode: %s\n", message.c_str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zentrafold-decode INPUT.jpg OUTPUT.ppm\n");
    return 2;
  }
  const std::string input = argv[1];
  const std::string output = argv[2];

  std::ifstream in(input, std::ios::binary);
  if (!in) return Fail(2, input + ": cannot open");
  const std::vector<uint8_t> stream{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return Fail(2, input + ": read error");

  const ImageRecord* image = DecodeImage(stream.data(), stream.size(), nullptr);
  if (image == nullptr) return Fail(1, input + ": not a supported baseline JPEG, or damaged");

  const uint32_t width = static_cast<uint32_t>(image->header.biWidth);
  const uint32_t height = static_cast<uint32_t>(-image->header.biHeight);
  const auto* pixels = static_cast<const uint8_t*>(image->bits);
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) {
    rgb[i * 3 + 0] = pixels[i * 4 + kPixelRed];
    rgb[i * 3 + 1] = pixels[i * 4 + kPixelGreen];
    rgb[i * 3 + 2] = pixels[i * 4 + kPixelBlue];
  }
  DeleteObject(image->bitmap);

  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (!out) return Fail(2, output + ": cannot create");
  out << "P6\n" << width << ' ' << height << "\n255\n";
  out.write(reinterpret_cast<const char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
  out.close();
  if (!out) {
    std::remove(output.c_str());
    return Fail(2, output + ": write error");
  }
  return 0;
}
