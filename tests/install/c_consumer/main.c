/* A C99 program built against an installed zentrafold through the C API:
 * reads the header, decodes the picture in bands of rows into one small
 * buffer, and writes the raw BGRX pixels; with a second argument "whole",
 * decodes the whole picture into one buffer instead. */
#include <zentrafold/zentrafold.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int WriteBand(void* context, const uint8_t* rows, size_t stride, uint32_t firstRow, uint32_t rowCount) {
  FILE* out = (FILE*)context;
  uint32_t r;
  (void)firstRow;
  for (r = 0; r < rowCount; ++r) {
    /* The row's length is the stride minus nothing: this program asks for
     * rows exactly width * 4 bytes long. */
    if (fwrite(rows + r * stride, 1, stride, out) != stride) return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  FILE* in;
  FILE* out;
  uint8_t* stream = NULL;
  size_t size = 0, capacity = 0, n;
  uint8_t chunk[4096];
  ZfInfo info;
  ZfStatus status;
  ZfDecoder* decoder;
  ZfOutput output;
  uint8_t* pixels;
  int whole;

  if (argc < 3) {
    fprintf(stderr, "usage: c_consumer INPUT.jpg OUTPUT.bgrx [whole]\n");
    return 2;
  }
  whole = argc > 3 && strcmp(argv[3], "whole") == 0;
  in = fopen(argv[1], "rb");
  if (in == NULL) return 2;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) {
    if (size + n > capacity) {
      uint8_t* grown;
      capacity = (size + n) * 2;
      grown = (uint8_t*)realloc(stream, capacity);
      if (grown == NULL) return 2;
      stream = grown;
    }
    memcpy(stream + size, chunk, n);
    size += n;
  }
  fclose(in);

  status = ZfReadInfo(stream, size, &info);
  if (status != kZfOk) {
    fprintf(stderr, "c_consumer: %s: %s\n", argv[1], ZfStatusText(status));
    return 1;
  }
  decoder = ZfCreateDecoder(NULL);
  out = fopen(argv[2], "wb");
  if (decoder == NULL || out == NULL) return 2;
  output.format = kZfBgrx;
  output.stride = (size_t)info.width * ZfBytesPerPixel(kZfBgrx);
  output.band = whole ? NULL : WriteBand;
  output.context = out;
  pixels = (uint8_t*)malloc(output.stride * (whole ? info.height : ZfBandRows(&info)));
  if (pixels == NULL) return 2;
  output.pixels = pixels;
  status = ZfDecode(decoder, stream, size, &output);
  if (whole && (status == kZfOk || status == kZfDamaged)) {
    if (fwrite(pixels, 1, output.stride * info.height, out) != output.stride * info.height) return 2;
  }
  if (fclose(out) != 0) return 2;
  ZfDestroyDecoder(decoder);
  free(pixels);
  free(stream);
  if (status != kZfOk) {
    fprintf(stderr, "c_consumer: %s: %s\n", argv[1], ZfStatusText(status));
    return 1;
  }
  printf("%ux%u, %s, fast paths %s, version %s\n", (unsigned)info.width, (unsigned)info.height,
         ZfFrameKindText(info.frameMarker), ZfFastPaths(), ZfVersionText());
  return 0;
}
