// Decoder states owned by the caller: the only allocation in the library,
// made before a decode and never during one.
#include "decoder_state.h"

#include <new>

// Value-initialised: every field zero, as the static record is at process
// start, so the colour and cosine tables are found missing and built on the
// first decode.
DecoderState* CreateDecoderState() { return new (std::nothrow) DecoderState(); }

void DestroyDecoderState(DecoderState* state) { delete state; }

ImageRecord* DecodeImageWithState(DecoderState* state, const uint8_t* stream, size_t size, HDC dc) {
  if (state == nullptr) return nullptr;
  return DecodeImageWithState(*state, stream, size, dc);
}
