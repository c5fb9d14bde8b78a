// Views of a picture (ZfDecodeView): the geometry of a reduced, upright
// region, and the output stage that writes one MCU of it. An MCU that the
// region does not clip, of a picture not turned, is written in place as in
// a plain decode; any other goes whole into a tile of one MCU and is copied
// from there pixel by pixel to where the turn puts it, so the picture is
// turned as it is written, with no second pass over it.
#include <string.h>

#include "decoder_state.h"

#if defined(ZENTRAFOLD_HAVE_SSE2)
#include <emmintrin.h>
#endif

bool MakeViewGeometry(uint32_t width, uint32_t height, const ZfView* view, ViewGeometry& g) {
  const uint32_t scale = view != nullptr ? view->scale : 0;
  const uint32_t orientation = view != nullptr ? view->orientation : 0;
  switch (scale) {
    case 0: case 1: g.shift = 0; break;
    case 2: g.shift = 1; break;
    case 4: g.shift = 2; break;
    case 8: g.shift = 3; break;
    default: return false;
  }
  if (orientation > 8) return false;
  g.orientation = orientation == 0 ? 1 : orientation;
  // Dimensions divided by 2^shift, rounded up (no overflow: both < 2^16).
  g.scaledWidth = (width + (1u << g.shift) - 1) >> g.shift;
  g.scaledHeight = (height + (1u << g.shift) - 1) >> g.shift;
  const bool swapped = g.orientation >= 5;
  g.uprightWidth = swapped ? g.scaledHeight : g.scaledWidth;
  g.uprightHeight = swapped ? g.scaledWidth : g.scaledHeight;
  if (view == nullptr || (view->width == 0 && view->height == 0)) {
    if (view != nullptr && (view->x != 0 || view->y != 0)) return false;
    g.x = g.y = 0;
    g.width = g.uprightWidth;
    g.height = g.uprightHeight;
  } else {
    if (view->width == 0 || view->height == 0) return false;
    if (view->x >= g.uprightWidth || view->width > g.uprightWidth - view->x) return false;
    if (view->y >= g.uprightHeight || view->height > g.uprightHeight - view->y) return false;
    g.x = view->x;
    g.y = view->y;
    g.width = view->width;
    g.height = view->height;
  }
  return true;
}

bool SetView(DecoderState& state, const ZfView* view, uint32_t bytesPerPixel, size_t stride, bool band) {
  ViewGeometry g;
  if (!MakeViewGeometry(state.width, state.height, view, g)) return Refuse(state, kZfBadArgument);
  if (stride / bytesPerPixel < g.width) return Refuse(state, kZfBadArgument);
  // Bands run top to bottom over stored rows: only an unturned picture.
  if (band && g.orientation != 1) return Refuse(state, kZfBadArgument);
  const uint32_t W = g.scaledWidth;
  const uint32_t H = g.scaledHeight;
  state.scaleShift = static_cast<uint8_t>(g.shift);
  state.orientation = static_cast<uint8_t>(g.orientation);
  state.scaledWidth = W;
  state.scaledHeight = H;
  state.viewed = g.shift != 0 || g.orientation != 1 || g.width != g.uprightWidth || g.height != g.uprightHeight;

  // Upright pixel (u, v) shows stored pixel s(u, v) of the reduced picture:
  //   1 (u, v)          2 (W-1-u, v)        3 (W-1-u, H-1-v)    4 (u, H-1-v)
  //   5 (v, u)          6 (v, H-1-u)        7 (W-1-v, H-1-u)    8 (W-1-v, u)
  // so stored (x, y) shows at upright u = a x + b y + c, v = d x + e y + f:
  int64_t a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
  switch (g.orientation) {
    case 1: a = 1; e = 1; break;
    case 2: a = -1; c = W - 1; e = 1; break;
    case 3: a = -1; c = W - 1; e = -1; f = H - 1; break;
    case 4: a = 1; e = -1; f = H - 1; break;
    case 5: b = 1; d = 1; break;
    case 6: b = -1; c = H - 1; d = 1; break;
    case 7: b = -1; c = H - 1; d = -1; f = W - 1; break;
    default: b = 1; d = -1; f = W - 1; break;
  }
  // The region's stored rectangle: the stored pixels of its corners.
  const int64_t u0 = g.x, u1 = static_cast<int64_t>(g.x) + g.width - 1;
  const int64_t v0 = g.y, v1 = static_cast<int64_t>(g.y) + g.height - 1;
  // Inverse: stored x from (u, v), y likewise, by the table above.
  auto storedX = [&](int64_t u, int64_t v) -> int64_t {
    switch (g.orientation) {
      case 1: case 4: return u;
      case 2: case 3: return W - 1 - u;
      case 5: case 6: return v;
      default: return W - 1 - v;
    }
  };
  auto storedY = [&](int64_t u, int64_t v) -> int64_t {
    switch (g.orientation) {
      case 1: case 2: return v;
      case 3: case 4: return H - 1 - v;
      case 5: case 8: return u;
      default: return H - 1 - u;
    }
  };
  const int64_t xa = storedX(u0, v0), xb = storedX(u1, v1);
  const int64_t ya = storedY(u0, v0), yb = storedY(u1, v1);
  state.regionX0 = static_cast<uint32_t>(xa < xb ? xa : xb);
  state.regionX1 = static_cast<uint32_t>((xa < xb ? xb : xa) + 1);
  state.regionY0 = static_cast<uint32_t>(ya < yb ? ya : yb);
  state.regionY1 = static_cast<uint32_t>((ya < yb ? yb : ya) + 1);
  const uint32_t mcuWidth = static_cast<uint32_t>(McuWidth(state.samplingCode)) >> g.shift;
  const uint32_t mcuHeight = static_cast<uint32_t>(McuHeight(state.samplingCode)) >> g.shift;
  state.mcuX0 = state.regionX0 / mcuWidth;
  state.mcuX1 = (state.regionX1 - 1) / mcuWidth + 1;
  state.mcuY0 = state.regionY0 / mcuHeight;
  state.mcuY1 = (state.regionY1 - 1) / mcuHeight + 1;
  // The output byte of stored (x, y): upright (u - g.x, v - g.y).
  const int64_t bytes = bytesPerPixel;
  const auto rowBytes = static_cast<int64_t>(stride);
  state.viewStepX = a * bytes + d * rowBytes;
  state.viewStepY = b * bytes + e * rowBytes;
  state.viewOrigin = (c - g.x) * bytes + (f - g.y) * rowBytes;

  for (int i = 0; i < kMaxComponents; ++i) state.componentShift[i] = static_cast<uint8_t>(g.shift);
  state.stripped = false;
  if (g.shift != 0) {
    // Replication at the reduced size: MCU column x (of n * Hmax) takes
    // sample floor(x * H * nc / (n * Hmax)) of the component's H * nc
    // reduced samples across, nc to a block; rows likewise.
    const int n = 8 >> g.shift;
    for (int i = 0; i < state.componentCount; ++i) {
      const FrameComponent& component = state.frame[i];
      const int ratioX = state.hMax / component.h;
      const int ratioY = state.vMax / component.v;
      int shift = static_cast<int>(g.shift);
      for (int k = 2; shift > 0 && ratioX % k == 0 && ratioY % k == 0; k *= 2) --shift;
      state.componentShift[i] = static_cast<uint8_t>(shift);
      const int nc = 8 >> shift;
      for (int x = 0; x < n * state.hMax; ++x) {
        const int sx = x * component.h * nc / (n * state.hMax);
        state.sampleColumn[i][x] = static_cast<uint16_t>((sx / nc) * 64 + sx % nc);
      }
      for (int y = 0; y < n * state.vMax; ++y) {
        const int sy = y * component.v * nc / (n * state.vMax);
        state.sampleRow[i][y] = static_cast<uint16_t>((sy / nc) * component.h * 64 + (sy % nc) * 8);
      }
    }
    // The kernel layouts (chroma 1x1, luma 1, 2 or 4 wide and 1 or 2 high)
    // go through the strip: a reduced MCU is at most 16 x 8 pixels, and
    // each chroma sample covers a whole number of them each way.
    if (state.kernelLayout) {
      ScaledStrip& strip = state.strip;
      state.stripped = true;
      strip.count = 0;
      strip.mcuWidth = static_cast<uint32_t>(McuWidth(state.samplingCode)) >> g.shift;
      strip.mcuHeight = static_cast<uint32_t>(McuHeight(state.samplingCode)) >> g.shift;
      strip.capacity = kStripWidth / strip.mcuWidth;
      strip.targets = 0;
      strip.dcOnly = g.shift == 3;
      const int h = state.frame[0].h, v = state.frame[0].v;
      for (int by = 0; by < v; ++by)
        for (int bx = 0; bx < h; ++bx)
          strip.target[strip.targets++] = {static_cast<uint16_t>(by * n * kStripPitch + bx * n),
                                           static_cast<uint8_t>(by * h + bx), static_cast<uint8_t>(g.shift), 1};
      strip.chromaDown = 1;
      for (int c = 1; c < state.componentCount; ++c) {
        strip.dcOnly = strip.dcOnly && state.componentShift[c] == 3;
        const uint32_t nc = 8u >> state.componentShift[c];
        strip.chromaDown = strip.mcuHeight / nc;
        strip.target[strip.targets++] = {static_cast<uint16_t>(c * 8 * kStripPitch), state.frame[c].firstBlock,
                                         state.componentShift[c], static_cast<uint8_t>(strip.mcuWidth / nc)};
      }
      strip.reducedOnly = g.shift != 3;
      for (uint32_t i = 0; i < strip.targets; ++i)
        strip.reducedOnly = strip.reducedOnly && strip.target[i].across == 1 && strip.target[i].shift != 0;
    }
  }
  return true;
}

namespace {

// The one sample of a block reduced to 1/8: its DC's, as every path has it.
inline int16_t DcSample(int16_t dc) { return static_cast<int16_t>((int32_t{dc} + 4) >> 3); }

// The reduced transform of one block, rows outStride apart; at 1/8 the DC
// alone, without the call.
inline void ReduceBlock(const DecoderPaths& paths, const int16_t* block, int shift, int16_t* out, int outStride) {
  if (shift == 3) {
    out[0] = DcSample(block[0]);
    return;
  }
  paths.reducedInverseDct(block, shift, out, outStride);
}

// The strip's MCUs (of MCU row my) to the output: the lines of each row
// inside the region, converted straight into place where the view is not
// turned, else through a row whose pixels go where the turn puts them.
void FlushStrip(DecoderState& state, const DecoderPaths& paths, uint32_t my) {
  ScaledStrip& strip = state.strip;
  const uint32_t x0 = strip.firstColumn * strip.mcuWidth;
  const uint32_t y0 = my * strip.mcuHeight;
  const uint32_t x1 = x0 + strip.count * strip.mcuWidth;
  const uint32_t y1 = y0 + strip.mcuHeight;
  strip.count = 0;
  // The part inside the region (which lies inside the reduced picture).
  const uint32_t ix0 = x0 > state.regionX0 ? x0 : state.regionX0;
  const uint32_t ix1 = x1 < state.regionX1 ? x1 : state.regionX1;
  const uint32_t iy0 = y0 > state.regionY0 ? y0 : state.regionY0;
  const uint32_t iy1 = y1 < state.regionY1 ? y1 : state.regionY1;
  if (ix0 >= ix1 || iy0 >= iy1) return;
  const auto columns = static_cast<int>(ix1 - ix0);
  const uint32_t bytes = FormatBytes(state.outputFormat);
  for (uint32_t y = iy0; y < iy1; ++y) {
    const uint32_t row = y - y0;
    const int16_t* first = strip.samples + row * kStripPitch + (ix0 - x0);
    const int16_t* chroma = strip.samples + (8 + row / strip.chromaDown) * kStripPitch + (ix0 - x0);
    const int16_t* line[kMaxComponents] = {first, chroma, chroma + 8 * kStripPitch, nullptr};
    uint8_t* to = state.outputRows + (state.viewOrigin + ix0 * state.viewStepX + y * state.viewStepY);
    if (state.viewStepX == bytes) {
      paths.convertLine(state, line, columns, to);
      continue;
    }
    alignas(16) uint8_t pixels[kStripWidth * 4];
    paths.convertLine(state, line, columns, pixels);
    const uint8_t* from = pixels;
    for (int x = 0; x < columns; ++x, from += bytes, to += state.viewStepX) memcpy(to, from, bytes);
  }
}

// The nc x nc samples of a block (rows 8 apart) into strip rows, each
// sample `across` times; the layouts there are as constants, so that the
// compiler unrolls them. Each row is read in one piece of its own size:
// the transform has just written it so, and a wider read would wait for
// the stores to drain.
template <int kAcross, int kN>
void ReplicateAcross(const int16_t* __restrict block, int16_t* __restrict out) {
  for (int r = 0; r < kN; ++r, block += 8, out += kStripPitch) {
    int16_t row[kN];
    memcpy(row, block, sizeof row);
    if (kAcross == 1) {
      memcpy(out, row, sizeof row);
      continue;
    }
#if defined(ZENTRAFOLD_HAVE_SSE2)
    // The same on SSE2 (GCC makes the loop below a sample at a time): the
    // row interleaved with itself doubles each sample, and that with itself
    // doubles them again.
    static_assert(kAcross != 4 || kN <= 4, "four across comes with four samples or fewer");
    __m128i v = _mm_setzero_si128();
    memcpy(&v, row, sizeof row);
    const __m128i low = _mm_unpacklo_epi16(v, v);
    if (kAcross == 2) {
      memcpy(out, &low, kN == 2 ? 8 : 16);
      if (kN == 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi16(v, v));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi32(low, low));
      if (kN == 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi32(low, low));
    }
    continue;
#endif
    for (int x = 0; x < kN; ++x)
      for (int k = 0; k < kAcross; ++k) out[x * kAcross + k] = row[x];
  }
}

// The chroma of the kernel layouts that is replicated across, or whole:
// these are all the pairs of `across` and nc they give (1x1, 1x2 and 4:2:0
// chroma below 1/2 is reduced straight into the strip, and a strip whose
// blocks all give one sample takes the DC's way).
void ReplicateAcross(const int16_t* block, int nc, int across, int16_t* out) {
  switch (across << 4 | nc) {
    case 0x18: ReplicateAcross<1, 8>(block, out); return;  // 4:2:0 at 1/2
    case 0x28: ReplicateAcross<2, 8>(block, out); return;  // 4:1:0 at 1/2
    case 0x24: ReplicateAcross<2, 4>(block, out); return;  // 4:2:2 at 1/2, 4:1:0 at 1/4
    case 0x22: ReplicateAcross<2, 2>(block, out); return;  // 4:2:2 at 1/4, 4:1:0 at 1/8
    case 0x44: ReplicateAcross<4, 4>(block, out); return;  // 4:1:1 at 1/2
    default: ReplicateAcross<4, 2>(block, out); return;    // 4:1:1 at 1/4
  }
}

}  // namespace

namespace {

// The blocks of an MCU into the strip from `at`, each transformed as its
// target says.
__attribute__((noinline)) void TransformIntoStrip(DecoderState& state, const DecoderPaths& paths, int blocks,
                                                  int16_t* at) {
  const ScaledStrip& strip = state.strip;
  int16_t* const blockBuffer = state.blockBuffer;
  const uint32_t targets = strip.targets;
  for (uint32_t i = 0; i < targets; ++i) {
    const ScaledStrip::Target t = strip.target[i];
    if (t.block >= blocks) continue;  // chroma of grey output
    int16_t* block = blockBuffer + t.block * 64;
    int16_t* out = at + t.offset;
    if (t.across == 1 && t.shift != 0) {
      ReduceBlock(paths, block, t.shift, out, kStripPitch);
      continue;
    }
    // Whole (4:2:0 at 1/2) or replicated across: through the block itself.
    if (t.shift == 0) {
      paths.inverseDct(state.cosineTable, block);
    } else {
      ReduceBlock(paths, block, t.shift, block, 8);
    }
    ReplicateAcross(block, 8 >> t.shift, t.across, out);
  }
}

}  // namespace

void StripMcu(DecoderState& state, const DecoderPaths& paths, int blocks, uint32_t mx, uint32_t my) {
  ScaledStrip& strip = state.strip;
  if (strip.count == 0) strip.firstColumn = mx;
  int16_t* const at = strip.samples + strip.count * strip.mcuWidth;
  if (strip.dcOnly) {
    // One sample a block, from its DC, written four times whatever
    // `across` is (what lands past it is written over by the blocks that
    // follow, or by the next MCU, or lies in the padding past the row).
    const int16_t* const blockBuffer = state.blockBuffer;
    const uint32_t targets = strip.targets;
    for (uint32_t i = 0; i < targets; ++i) {
      const ScaledStrip::Target t = strip.target[i];
      if (t.block >= blocks) continue;  // chroma of grey output
      const auto value = static_cast<uint16_t>(DcSample(blockBuffer[t.block * 64]));
      const uint64_t four = value * uint64_t{0x0001000100010001};
      memcpy(at + t.offset, &four, sizeof four);
    }
  } else if (strip.reducedOnly) {
    // Every block reduced straight into its place (4:4:4 and grey at 1/2
    // and 1/4).
    int16_t* const blockBuffer = state.blockBuffer;
    void (*const reduce)(const int16_t*, int, int16_t*, int) = paths.reducedInverseDct;
    const uint32_t targets = strip.targets;
    for (uint32_t i = 0; i < targets; ++i) {
      const ScaledStrip::Target t = strip.target[i];
      if (t.block < blocks) reduce(blockBuffer + t.block * 64, t.shift, at + t.offset, kStripPitch);
    }
  } else {
    TransformIntoStrip(state, paths, blocks, at);
  }
  if (++strip.count == strip.capacity || mx + 1 == state.mcuX1) FlushStrip(state, paths, my);
}

void ScaledTransforms(DecoderState& state, const DecoderPaths& paths, int blocks) {
  for (int c = 0; c < state.componentCount; ++c) {
    const FrameComponent& component = state.frame[c];
    const int shift = state.componentShift[c];
    const int end = component.firstBlock + component.h * component.v;
    for (int b = component.firstBlock; b < end && b < blocks; ++b) {
      int16_t* block = state.blockBuffer + b * 64;
      if (shift != 0) {
        ReduceBlock(paths, block, shift, block, 8);
      } else {
        paths.inverseDct(state.cosineTable, block);
      }
    }
  }
}

void OutputViewMcu(DecoderState& state, const DecoderPaths& paths, uint32_t mx, uint32_t my) {
  const uint32_t mcuWidth = static_cast<uint32_t>(McuWidth(state.samplingCode)) >> state.scaleShift;
  const uint32_t mcuHeight = static_cast<uint32_t>(McuHeight(state.samplingCode)) >> state.scaleShift;
  const uint32_t x0 = mx * mcuWidth;
  const uint32_t y0 = my * mcuHeight;
  const uint32_t x1 = x0 + mcuWidth < state.scaledWidth ? x0 + mcuWidth : state.scaledWidth;
  const uint32_t y1 = y0 + mcuHeight < state.scaledHeight ? y0 + mcuHeight : state.scaledHeight;
  // The part of the MCU inside the region.
  const uint32_t ix0 = x0 > state.regionX0 ? x0 : state.regionX0;
  const uint32_t ix1 = x1 < state.regionX1 ? x1 : state.regionX1;
  const uint32_t iy0 = y0 > state.regionY0 ? y0 : state.regionY0;
  const uint32_t iy1 = y1 < state.regionY1 ? y1 : state.regionY1;
  if (ix0 >= ix1 || iy0 >= iy1) return;
  const uint32_t bytes = FormatBytes(state.outputFormat);
  const size_t stride = state.outputStride;
  const auto columns = static_cast<int>(ix1 - x0);
  const auto rows = static_cast<int>(iy1 - y0);
  if (ix0 == x0 && iy0 == y0 && state.viewStepX == bytes && state.viewStepY == static_cast<int64_t>(stride)) {
    uint8_t* at = state.outputRows + (state.viewOrigin + x0 * state.viewStepX + y0 * state.viewStepY);
    OutputMcuFormatted(state, paths, at, columns, rows);
    return;
  }
  constexpr size_t kTileStride = 32 * 4;
  alignas(32) uint8_t tile[32 * kTileStride];
  state.outputStride = kTileStride;
  OutputMcuFormatted(state, paths, tile, columns, rows);
  state.outputStride = stride;
  const size_t runBytes = static_cast<size_t>(ix1 - ix0) * bytes;
  for (uint32_t y = iy0; y < iy1; ++y) {
    const uint8_t* from = tile + (y - y0) * kTileStride + (ix0 - x0) * bytes;
    uint8_t* to = state.outputRows + (state.viewOrigin + ix0 * state.viewStepX + y * state.viewStepY);
    if (state.viewStepX == bytes) {
      memcpy(to, from, runBytes);
      continue;
    }
    for (uint32_t x = ix0; x < ix1; ++x, from += bytes, to += state.viewStepX) memcpy(to, from, bytes);
  }
}
