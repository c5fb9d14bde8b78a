/* Zentrafold: a small, bit-exact JPEG decoder.
 *
 * The C API: decode an 8-bit DCT JPEG stream in memory (baseline, extended
 * or progressive, Huffman- or arithmetic-coded; grey, YCbCr, RGB, CMYK or
 * YCCK; any integral sampling; one scan or several) into a buffer of the
 * caller's, in one of several pixel orders, whole or in bands of rows, with
 * a status that says why a stream is refused. C99 and C++; no platform
 * header. ZfCreateDecoder makes the decoder's state once, and a decoder
 * decodes one stream at a time (one per thread). A sequential picture in
 * one scan is decoded without allocating; a picture in several scans, and
 * every progressive one, needs ZfInfo.workBytes of
 * whole-picture memory, which the decoder takes once and keeps, or the
 * caller gives (ZfSetWorkMemory). A progressive stream that breaks off gives
 * the picture of the scans that arrived, with kZfDamaged.
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
  kZfProgressive = 8,      /* a progressive frame (the bitmap entry only) */
  kZfArithmetic = 9,       /* an arithmetic-coded frame (the bitmap entry only) */
  kZfLossless = 10,        /* a lossless frame */
  kZfHierarchical = 11,    /* a hierarchical (differential) frame */
  kZfExtended = 12,        /* an extended sequential frame */
  kZfPrecision = 13,       /* a sample precision other than 8 bits */
  kZfComponentCount = 14,  /* a component count other than 1, 3 or 4 */
  kZfSampling = 15,        /* sampling factors outside 1..4, ratios that are not whole, an MCU of more than 10 blocks */
  kZfComponents = 16,      /* component identifiers repeated, or a scan naming one the frame lacks or out of order */
  kZfTables = 17,          /* a table identifier above 3 */
  kZfSecondApp0 = 18,      /* (DecodeImage only) a second APP0 segment */
  kZfSecondFrame = 19,     /* a second frame header */
  kZfTableRedefined = 20,  /* (DecodeImage only) a table defined twice */
  kZfBadHuffmanTable = 21, /* a Huffman table that is not a valid code */
  kZfZeroSize = 22,        /* a frame of width or height 0 */
  kZfNoFrame = 23,         /* a scan before any frame header */
  kZfMissingTables = 24,   /* a table the scan needs is not defined */
  kZfSeveralScans = 25,    /* (DecodeImage only) a scan that does not hold all components */
  kZfMalformed = 26,       /* a segment whose length or layout is wrong */
  kZfBadData = 27,         /* entropy-coded data that cannot be decoded (ZfFailedMcu says where) */
  kZfWorkTooLarge = 28,    /* the picture needs more whole-picture memory than ZfOptions.maxWorkBytes */
  kZfBadFormat = 29,       /* the output format cannot be made from the stream (kZfCmyk of a non-CMYK stream) */
  kZfIccChunks = 30        /* (ZfReadIccProfile) the ICC profile's chunks are missing, repeated or inconsistent */
} ZfStatus;

typedef struct ZfDecoder ZfDecoder;

/* Zero in any field means its default. */
typedef struct ZfOptions {
  uint32_t threads;   /* 0 or 1: the caller's thread; N > 1: N - 1 workers besides it (at most 64) */
  uint64_t maxPixels; /* frames with more pixels are refused (kZfTooLarge); default 2^28, UINT64_MAX: no limit */
  uint64_t maxWorkBytes; /* pictures that need more whole-picture memory are refused (kZfWorkTooLarge);
                            default 2^31 (2 GiB), UINT64_MAX: no limit */
} ZfOptions;

/* How the stream's components make colours (ZfInfo.colorSpace). */
typedef enum ZfColorSpace {
  kZfColorGrey = 0,  /* one component */
  kZfColorYCbCr = 1, /* JFIF's YCbCr */
  kZfColorRgb = 2,   /* R, G, B stored as they are (Adobe transform 0, or identifiers 'R', 'G', 'B') */
  kZfColorCmyk = 3,  /* C, M, Y, K stored as they are (four components, no Adobe transform) */
  kZfColorYcck = 4   /* Y, Cb, Cr, K (Adobe transform 2) */
} ZfColorSpace;

typedef struct ZfComponentInfo {
  uint8_t id;         /* Ci */
  uint8_t sampling;   /* Hi in the high nibble, Vi in the low one */
  uint8_t quantTable; /* Tqi */
} ZfComponentInfo;

/* What the headers say, as far as the decoder read them. */
typedef struct ZfInfo {
  uint32_t width, height;    /* of the frame */
  uint32_t components;       /* Nf */
  uint32_t samplingCode;     /* the MCU of the frame: Hmax in the high nibble, Vmax in the low (0x11 for grey) */
  uint32_t restartInterval;  /* from DRI, in MCUs; 0: none */
  uint32_t frameMarker;      /* the SOFn code of the frame: 0xC0 baseline, 0xC2 progressive, ...; 0: none */
  uint32_t precision;        /* sample precision in bits */
  ZfComponentInfo component[4]; /* the first min(components, 4) entries of the frame header */
  uint32_t colorSpace;       /* a ZfColorSpace */
  uint32_t scanComponents;   /* components of the first scan */
  uint64_t workBytes;        /* whole-picture memory the decode needs: 0 for a sequential
                                frame whose first scan holds every component */
  uint32_t orientation;      /* the EXIF orientation (1..8) in IFD0 of the first APP1 Exif segment; 0: none,
                                or a segment that could not be read (which never fails the decode) */
} ZfInfo;

/* Byte orders of the output: four bytes (X is 0, A is 255), three, or one.
 * kZfGrey is the first component's samples: the grey of a grey stream, the
 * luma of a YCbCr or YCCK one, R of an RGB one, C of a CMYK one. kZfCmyk
 * (CMYK and YCCK streams only) is C, M, Y, K as the stream stores them,
 * YCCK converted; the RGB orders of a CMYK stream are
 * R = K - ((255 - C) * K >> 8), likewise G from M and B from Y. */
typedef enum ZfFormat { kZfBgrx, kZfRgbx, kZfBgra, kZfRgba, kZfBgr, kZfRgb, kZfGrey, kZfCmyk } ZfFormat;

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
/* Stops and joins the workers and frees the whole-picture memory the
 * decoder took; null is ignored. */
void ZfDestroyDecoder(ZfDecoder* decoder);

/* Gives the decoder `size` bytes at `memory` (any alignment) for the
 * whole-picture memory of pictures in several scans, used in place of memory
 * of its own for every later decode; the caller keeps it unchanged and alive
 * until the decoder is destroyed or given another block. A picture that
 * needs more than `size` is refused with kZfWorkTooLarge. Null (size 0)
 * goes back to memory of the decoder's own. Returns kZfBadArgument for a
 * null decoder or a null block of non-zero size. */
ZfStatus ZfSetWorkMemory(ZfDecoder* decoder, void* memory, size_t size);

/* Progressive pictures, and arithmetic-coded ones in several scans, decoded
 * whole (not in band mode): called after each scan with the picture of the scans so far
 * written to the output, `scan` counting from 1 (the last call holds the
 * finished picture), for viewers that refine as data comes. Non-zero stops
 * the decode (kZfStopped; the output holds the picture of the scans so far).
 * Kept for every later decode; a null function turns it off. Returns
 * kZfBadArgument for a null decoder. */
typedef int (*ZfScanFunction)(void* context, uint32_t scan);
ZfStatus ZfSetScanFunction(ZfDecoder* decoder, ZfScanFunction function, void* context);

/* The decoder's own header stage, up to the scan header: fills `info` with
 * what it read (also when it refuses the stream) and gives the status the
 * decode would give at the headers. Keeps no state. */
ZfStatus ZfReadInfo(const uint8_t* stream, size_t size, ZfInfo* info);

/* Decodes `size` bytes of a JPEG stream (from its SOI) into `output`. kZfOk
 * and kZfDamaged leave a whole picture (a picture in several scans whose
 * later scans are missing is damaged: what they would hold is zero; so is a
 * progressive one without its EOI, or whose scans do not follow on from one
 * another, as a band coded twice or a refinement before its first scan,
 * which decodes as its scans say). After kZfBadData exactly the MCUs before
 * the failing one (ZfFailedMcu, raster order) are written: the rows before
 * the failing band whole, that band left of the failing MCU, and nothing
 * else, on any number of threads; for a picture in several scans nothing is
 * written after kZfBadData. After kZfStopped the bands before are written.
 * Nothing is written when the headers are refused. The stream must stay
 * unchanged during the call. */
ZfStatus ZfDecode(ZfDecoder* decoder, const uint8_t* stream, size_t size, const ZfOutput* output);

/* A part of the picture, reduced, turned upright. All zero: the whole
 * picture as stored, as ZfDecode writes it.
 *
 * scale: 1, 2, 4 or 8 (0 means 1): each dimension divided by it, rounded
 *   up. The reduction is made in the DCT domain: each 8x8 block gives 4x4,
 *   2x2 or 1x1 samples (the inverse DCT of its lowest frequencies; 1/8 is
 *   the DC alone), then chroma is replicated and colours converted at the
 *   reduced size.
 * orientation: 0 or 1: as stored; 2..8: the picture is stored with this
 *   EXIF orientation (pass ZfInfo.orientation) and is written turned
 *   upright; 5..8 swap width and height.
 * x, y, width, height: the region to write, in pixels of the reduced,
 *   upright picture; width and height 0 (with x and y 0): all of it. Row 0
 *   of the output is the region's first row. Decoding stops after the last
 *   MCU row the region touches.
 *
 * A separate record (rather than fields of ZfOutput) keeps ZfOutput's size
 * and meaning for callers built against earlier versions. */
typedef struct ZfView {
  uint32_t scale;
  uint32_t orientation;
  uint32_t x, y, width, height;
} ZfView;

/* The size of the picture `view` gives of a stream with these headers:
 * the region, or the whole reduced, upright picture. kZfBadArgument for a
 * null argument, a scale other than 0, 1, 2, 4 or 8, an orientation past
 * 8, or a region not wholly inside the picture (or with one side 0). */
ZfStatus ZfViewSize(const ZfInfo* info, const ZfView* view, uint32_t* width, uint32_t* height);

/* ZfDecode of the part of the picture `view` says (null: all of it, as
 * ZfDecode), into `output` at the size ZfViewSize gives. Band mode takes
 * views with orientation 0 or 1: each band is the region's rows of one MCU
 * row, `firstRow` counted from the region's first row. Views other than
 * the whole picture as stored decode on the caller's thread (but for the
 * scans of a picture in several scans). */
ZfStatus ZfDecodeView(ZfDecoder* decoder, const uint8_t* stream, size_t size, const ZfOutput* output,
                      const ZfView* view);

/* The ICC profile of a stream: its APP2 "ICC_PROFILE" chunks before the
 * first scan, joined in the order of their sequence numbers. The size
 * always goes to *profileSize (0: no profile); the bytes go to `buffer`
 * when it is not null and `capacity` holds them (else kZfBadArgument,
 * nothing written). kZfIccChunks when a chunk number is missing, repeated,
 * 0 or past the chunk count, or the chunks disagree on the count. Other
 * statuses: the stream is not JPEG (kZfNotJpeg) or a null argument. */
ZfStatus ZfReadIccProfile(const uint8_t* stream, size_t size, uint8_t* buffer, size_t capacity,
                          size_t* profileSize);

/* After kZfBadData from ZfDecode: the index (from 0, raster order) of the
 * MCU that could not be decoded. */
uint32_t ZfFailedMcu(const ZfDecoder* decoder);

/* The rows of one band: the MCU height, 8 to 32. */
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
