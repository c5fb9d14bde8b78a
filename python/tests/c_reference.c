/* The C API's own output, for the Python tests to compare with: decodes the
 * JPEG on standard input in the format numbered by argv[1] (a ZfFormat) into
 * packed rows, writes them to standard output and the status, width and
 * height to standard error. Nothing is written on stdout when the headers are
 * refused. */
#include <stdio.h>
#include <stdlib.h>

#include <zentrafold/zentrafold.h>

static unsigned char stream[1 << 26];

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: c_reference FORMAT < JPEG > PIXELS\n");
    return 2;
  }
  const ZfFormat format = (ZfFormat)atoi(argv[1]);
  const size_t size = fread(stream, 1, sizeof stream, stdin);
  ZfInfo info;
  ZfStatus status = ZfReadInfo(stream, size, &info);
  if (status != kZfOk) {
    fprintf(stderr, "%d %u %u\n", (int)status, info.width, info.height);
    return 0;
  }
  const size_t stride = (size_t)info.width * ZfBytesPerPixel(format);
  unsigned char* pixels = calloc(stride * info.height + 1, 1);
  ZfDecoder* decoder = ZfCreateDecoder(NULL);
  if (pixels == NULL || decoder == NULL) return 3;
  const ZfOutput output = {format, pixels, stride, NULL, NULL};
  status = ZfDecode(decoder, stream, size, &output);
  fprintf(stderr, "%d %u %u\n", (int)status, info.width, info.height);
  fwrite(pixels, 1, stride * info.height, stdout);
  ZfDestroyDecoder(decoder);
  free(pixels);
  return 0;
}
