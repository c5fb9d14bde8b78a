// A program built against an installed (or added) zentrafold: decodes a file
// to pixels on the static state and on a state of its own, checks that the
// two agree, writes the raw pixels, and frees everything.
#include <zentrafold/decoder.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: consumer INPUT.jpg OUTPUT.bgrx\n");
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) return 2;
  std::vector<uint8_t> stream;
  uint8_t chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) stream.insert(stream.end(), chunk, chunk + n);
  std::fclose(in);

  ImageRecord* image = DecodeImage(stream.data(), stream.size(), nullptr);
  if (image == nullptr) {
    std::fprintf(stderr, "consumer: %s: not decoded\n", argv[1]);
    return 1;
  }
  const size_t width = static_cast<size_t>(image->header.biWidth);
  const size_t height = static_cast<size_t>(-image->header.biHeight);
  const size_t bytes = width * height * kBytesPerPixel;
  std::vector<uint8_t> pixels(static_cast<uint8_t*>(image->bits), static_cast<uint8_t*>(image->bits) + bytes);
  DeleteObject(image->bitmap);

  DecoderState* state = CreateDecoderState();
  ImageRecord* again = DecodeImageWithState(state, stream.data(), stream.size(), nullptr);
  const bool same = again != nullptr && std::memcmp(again->bits, pixels.data(), bytes) == 0;
  if (again != nullptr) DeleteObject(again->bitmap);
  DestroyDecoderState(state);
  if (!same) {
    std::fprintf(stderr, "consumer: the two entries disagree\n");
    return 1;
  }

  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr || std::fwrite(pixels.data(), 1, bytes, out) != bytes || std::fclose(out) != 0) return 2;
  std::printf("%zux%zu\n", width, height);
  return 0;
}
