/* Zentrafold: a small, heap-free, bit-exact baseline JPEG decoder.
 *
 * The C API: decode a baseline JFIF stream in memory into a buffer of the
 * caller's, in one of several pixel orders, whole or in bands of rows, with
 * a status that says why a stream is refused. C99 and C++; no platform
 * header. Nothing is allocated during a decode: ZfCreateDecoder makes the
 * decoder's state once, and a decoder decodes one stream at a time (one per
 * thread).
 *
 *   ZfDecoder* decoder = ZfCreateDecoder(NULL);
 *   ZfInfo info;
 *   if (ZfReadInfo(data, size, &info) == kZfOk) {
 *     ZfOutput out = {kZfRgb, pixels, info.width * 3, NULL, NULL};
 *     ZfStatus status = ZfDecode(decoder, data, size, &out);  // kZfOk or kZfDamaged: a picture
 *   }
 *   ZfDestroyDecoder(decoder);
 */
#ifndef ZENTRAFOLD_ZENTRAFOLD_H
#define ZENTRAFOLD_ZENTRAFOLD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Why a decode ended as it did. ZfStatusText gives one short phrase for each. */
typedef enum ZfStatus {
  kZfOk = 0,               /* the whole picture was decoded from its data */
  kZfDamaged = 1,          /* a whole picture, but the data broke off early: the rest came from zero bits */
  kZfStopped = 2,          /* the band function asked to stop */
  kZfTooLarge = 3,         /* the frame has more pixels than ZfOptions.maxPixels (or a section can hold) */
  kZfBadArgument = 4,      /* a null pointer, a stride too small, an unknown format */
  kZfNoMemory = 5,         /* memory for the decoder or the picture could not be had */
  kZfNotJpeg = 6,          /* no SOI marker at the start */
  kZfTruncated = 7,        /* the stream ends before its scan */
  kZfProgressive = 8,      /* a progressive frame */
  kZfArithmetic = 9,       /* an arithmetic-coded frame */
  kZfLossless = 10,        /* a lossless frame */
  kZfHierarchical = 11,    /* a hierarchical (differential) frame */
  kZfExtended = 12,        /* an extended sequential frame */
  kZfPrecision = 13,       /* a sample precision other than 8 bits */
  kZfComponentCount = 14,  /* a component count other than 1 or 3 */
  kZfSampling = 15,        /* a sampling outside 1x1, 1x2, 2x1, 2x2 luma with 1x1 chroma */
  kZfComponents = 16,      /* component identifiers other than 1 or 1, 2, 3, or their quantisation tables */
  kZfTables = 17,          /* a table identifier above 1, or 16-bit quantisation tables */
  kZfSecondApp0 = 18,      /* a second APP0 segment */
  kZfSecondFrame = 19,     /* a second frame header */
  kZfTableRedefined = 20,  /* a table defined twice */
  kZfBadHuffmanTable = 21, /* a Huffman table that is not a valid code */
  kZfZeroSize = 22,        /* a frame of width or height 0 */
  kZfNoFrame = 23,         /* a scan before any frame header */
  kZfMissingTables = 24,   /* a table the scan needs is not defined */
  kZfSeveralScans = 25,    /* a scan that does not hold all components */
  kZfMalformed = 26,       /* a segment whose length or layout is wrong */
  kZfBadData = 27          /* entropy-coded data that cannot be decoded (ZfFailedMcu says where) */
} ZfStatus;

typedef struct ZfDecoder ZfDecoder;

/* Zero in any field means its default. */
typedef struct ZfOptions {
  uint32_t threads;   /* 0 or 1: the caller's thread; N > 1: N - 1 workers besides it (at most 64) */
  uint64_t maxPixels; /* frames with more pixels are refused (kZfTooLarge); default 2^28, UINT64_MAX: no limit */
} ZfOptions;

typedef struct ZfComponentInfo {
  uint8_t id;         /* Ci */
  uint8_t sampling;   /* Hi in the high nibble, Vi in the low one */
  uint8_t quantTable; /* Tqi */
} ZfComponentInfo;

/* What the headers say, as far as the decoder read them. */
typedef struct ZfInfo {
  uint32_t width, height;    /* of the frame */
  uint32_t components;       /* Nf */
  uint32_t samplingCode;     /* the MCU the decoder uses: 0x11, 0x12, 0x21, 0x22 (0x11 for grey) */
  uint32_t restartInterval;  /* from DRI, in MCUs; 0: none */
  uint32_t frameMarker;      /* the SOFn code of the frame: 0xC0 baseline, 0xC2 progressive, ...; 0: none */
  uint32_t precision;        /* sample precision in bits */
  ZfComponentInfo component[4]; /* the first min(components, 4) entries of the frame header */
} ZfInfo;

/* Byte orders of the output: four bytes (X is 0, A is 255), three, or one.
 * kZfGrey is the grey value of a grey stream and the luma of a colour one. */
typedef enum ZfFormat { kZfBgrx, kZfRgbx, kZfBgra, kZfRgba, kZfBgr, kZfRgb, kZfGrey } ZfFormat;

/* Band mode: called with each band of finished rows, top to bottom; rowCount
 * rows at `stride` bytes from `rows`, the first of them picture row
 * firstRow. Non-zero stops the decode (kZfStopped). */
typedef int (*ZfBandFunction)(void* context, const uint8_t* rows, size_t stride, uint32_t firstRow,
                              uint32_t rowCount);

/* Where the pixels go. With `band` null, row y of the picture is written to
 * pixels + y * stride. With `band` set, `pixels` holds ZfBandRows rows at
 * `stride` and is handed to `band` after each band. Bytes of a row past
 * width * ZfBytesPerPixel(format) are never touched. */
typedef struct ZfOutput {
  ZfFormat format;
  uint8_t* pixels;
  size_t stride;
  ZfBandFunction band;
  void* context;
} ZfOutput;

/* A decoder, or null when its memory cannot be had. Null options: defaults.
 * With threads > 1 its worker threads start here and wait; ZfDecode uses
 * them for pictures of 0.25 megapixels and more in whole-picture mode, with
 * exactly the bytes and status of a decode on one thread, also after
 * kZfBadData (a picture with a restart interval, or without one of sparse
 * data, on all of them; one without an interval of dense data on two);
 * smaller pictures, and band mode, stay on the caller's thread. Should the
 * threads not start, it decodes on one. */
ZfDecoder* ZfCreateDecoder(const ZfOptions* options);
/* Stops and joins the workers; null is ignored. */
void ZfDestroyDecoder(ZfDecoder* decoder);

/* The decoder's own header stage, up to the scan header: fills `info` with
 * what it read (also when it refuses the stream) and gives the status the
 * decode would give at the headers. Keeps no state. */
ZfStatus ZfReadInfo(const uint8_t* stream, size_t size, ZfInfo* info);

/* Decodes `size` bytes of a baseline JFIF stream (from its SOI) into
 * `output`. kZfOk and kZfDamaged leave a whole picture. After kZfBadData
 * exactly the MCUs before the failing one (ZfFailedMcu, raster order) are
 * written: the rows before the failing band whole, that band left of the
 * failing MCU, and nothing else, on any number of threads. After kZfStopped
 * the bands before are written. Nothing is written when the headers are
 * refused. The stream must stay unchanged during the call. */
ZfStatus ZfDecode(ZfDecoder* decoder, const uint8_t* stream, size_t size, const ZfOutput* output);

/* After kZfBadData from ZfDecode: the index (from 0, raster order) of the
 * MCU that could not be decoded. */
uint32_t ZfFailedMcu(const ZfDecoder* decoder);

/* The rows of one band: the MCU height, 8 or 16. */
uint32_t ZfBandRows(const ZfInfo* info);
/* 4, 3 or 1; 0 for an unknown format. */
uint32_t ZfBytesPerPixel(ZfFormat format);
/* One short phrase for a status; never null. */
const char* ZfStatusText(ZfStatus status);
/* The kind of frame a SOFn code announces: "baseline", "progressive",
 * "lossless, arithmetic-coded", ...; "none" for 0. Never null. */
const char* ZfFrameKindText(uint32_t frameMarker);
/* The library's version, "MAJOR.MINOR.PATCH". */
const char* ZfVersionText(void);
/* The fast paths this processor gets: "avx2", "sse2", "portable", or
 * "scalar" when ZENTRAFOLD_FORCE_SCALAR=1 is set in the environment. */
const char* ZfFastPaths(void);

#ifdef __cplusplus
}
#endif

#endif
