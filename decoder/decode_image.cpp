// The decode entry that draws into a bitmap section: the header stage, the
// scan set-up, the section, and the MCU loop into it.
#include "decoder_state.h"

namespace {

DecoderState gDecoderState;

// Sections of Windows and of the stand-in hold at most 2^31 - 1 bytes.
constexpr uint64_t kMaxSectionBytes = 0x7FFFFFFFu;

}  // namespace

ImageRecord* DecodeImageWithState(DecoderState& state, const uint8_t* stream, size_t size, HDC dc) {
  state.image.bitmap = nullptr;
  state.image.bits = nullptr;
  state.partsProfile = true;
  BuildConstantTables(state);
  const uint8_t* scanHeader = ReadHeaders(state, stream, size);
  if (scanHeader == nullptr) return nullptr;
  if (!StartScan(state, scanHeader)) return nullptr;

  BITMAPINFOHEADER& header = state.image.header;
  header = BITMAPINFOHEADER{};
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = static_cast<LONG>(state.width);
  header.biHeight = -static_cast<LONG>(state.height);
  header.biPlanes = 1;
  header.biBitCount = 32;
  header.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(dc, reinterpret_cast<const BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  if (bitmap == nullptr) {
    const uint64_t bytes = static_cast<uint64_t>(state.width) * state.height * 4;
    Refuse(state, bytes > kMaxSectionBytes ? kZfTooLarge : kZfNoMemory);
    return nullptr;
  }
  state.image.bitmap = bitmap;
  state.image.bits = bits;

  state.outputRows = static_cast<uint8_t*>(bits);
  state.outputStride = static_cast<size_t>(state.width) * 4;
  state.outputFormat = kZfBgrx;
  state.band = nullptr;
  state.bandContext = nullptr;
  // The whole picture as stored, whatever view a C API decode on this state
  // last took (a null view is always one the picture can give).
  SetView(state, nullptr, 4, state.outputStride, false);
  if (!RunMcuLoop(state)) {
    DeleteObject(state.image.bitmap);
    state.image.bitmap = nullptr;
    state.image.bits = nullptr;
    return nullptr;
  }
  return &state.image;
}

ImageRecord* DecodeImage(const uint8_t* stream, size_t size, HDC dc) {
  return DecodeImageWithState(gDecoderState, stream, size, dc);
}

ImageRecord* DecodeImageWithState(DecoderState* state, const uint8_t* stream, size_t size, HDC dc) {
  if (state == nullptr) return nullptr;
  return DecodeImageWithState(*state, stream, size, dc);
}
