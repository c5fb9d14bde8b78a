// Lookup tables derived from a DHT table in the stream: a 256-entry prefix
// table for codes of up to 8 bits, and the canonical-code limits for the rest.
// The symbols themselves stay in the stream.
#include <string.h>

#include "decoder_state.h"

void BuildFastTable(const HuffmanSpec* spec, FastLookupTable& table) {
  memset(&table, 0, sizeof table);
  // Canonical codes of one length are consecutive and follow the shorter
  // ones, so the code of length l and value c covers the prefixes
  // c << (8 - l) .. ((c + 1) << (8 - l)) - 1: sequential filling puts every
  // entry in its place. The stream's table was checked not to overfill them.
  int p = 0;
  int s = kSpecSymbols;
  for (int length = 1; length <= 8; ++length) {
    const int span = 1 << (8 - length);
    for (int i = 0; i < spec[length]; ++i) {
      memset(&table.length[p], length, static_cast<size_t>(span));
      memset(&table.symbol[p], spec[s], static_cast<size_t>(span));
      p += span;
      ++s;
    }
  }
}

void BuildCodeLimits(const HuffmanSpec* spec, CodeLimitTable& table) {
  memset(&table, 0, sizeof table);
  int32_t code = 0;
  int32_t count = 0;
  for (int length = 1; length <= 15; ++length) {
    count += spec[length];
    table.entry[32 + length] = count;
    code = (code + spec[length]) * 2;
    table.entry[length] = code;
  }
  for (int length = 1; length <= 16; ++length)
    table.entry[15 + length] = spec[length] == 0 ? -1 : table.entry[length - 1] + spec[length] - 1;
}
