// ZfReadInfo, the header stage behind zentrafold-decode --info and its
// refusal reasons, on arbitrary bytes, held against ZfDecode on the same
// bytes: it must keep no state, give a status the header stage can give,
// fill ZfInfo consistently with that status, and give the very status
// ZfDecode stops at when the headers are refused; when it takes the headers,
// ZfDecode must get past them. The decode writes grey bands to a buffer of
// its own, under a limit of 64 Ki pixels, so that a fuzzed 65535 x 65535
// header costs no time; the bands must come in order and, for a picture,
// cover it exactly.
#include <zentrafold/zentrafold.h>

#include <cstring>

#include "fuzz_check.h"

namespace {

constexpr uint64_t kMaxPixels = uint64_t{1} << 16;

// The statuses ZfDecode gives after the header stage has taken the stream.
bool IsPastHeaders(ZfStatus status) {
  return status == kZfOk || status == kZfDamaged || status == kZfBadData || status == kZfTooLarge;
}

bool IsFrameCode(uint32_t code) {
  return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

bool SameInfo(const ZfInfo& a, const ZfInfo& b) {
  if (a.width != b.width || a.height != b.height || a.components != b.components ||
      a.samplingCode != b.samplingCode || a.restartInterval != b.restartInterval ||
      a.frameMarker != b.frameMarker || a.precision != b.precision)
    return false;
  for (int i = 0; i < 4; ++i) {
    if (a.component[i].id != b.component[i].id || a.component[i].sampling != b.component[i].sampling ||
        a.component[i].quantTable != b.component[i].quantTable)
      return false;
  }
  return true;
}

void CheckInfo(const ZfInfo& info, ZfStatus status) {
  FUZZ_CHECK(info.components <= 255);
  FUZZ_CHECK(info.width <= 65535 && info.height <= 65535 && info.precision <= 255);
  FUZZ_CHECK(info.restartInterval <= 65535);
  FUZZ_CHECK(info.frameMarker == 0 || IsFrameCode(info.frameMarker));
  FUZZ_CHECK(std::strcmp(ZfFrameKindText(info.frameMarker), "unknown") != 0);
  for (uint32_t i = info.components; i < 4; ++i) {
    FUZZ_CHECK(info.component[i].id == 0 && info.component[i].sampling == 0 && info.component[i].quantTable == 0);
  }
  if (info.frameMarker == 0) FUZZ_CHECK(info.width == 0 && info.height == 0 && info.components == 0);
  if (status != kZfOk) return;
  const uint32_t f = info.frameMarker;
  FUZZ_CHECK((f == 0xC0 || f == 0xC1 || f == 0xC2 || f == 0xC9 || f == 0xCA) && info.precision == 8);
  FUZZ_CHECK(info.width != 0 && info.height != 0);
  FUZZ_CHECK(info.components == 1 || info.components == 3 || info.components == 4);
  const uint32_t h = info.samplingCode >> 4, v = info.samplingCode & 0x0F;
  FUZZ_CHECK(h >= 1 && h <= 4 && v >= 1 && v <= 4);
  for (uint32_t i = 0; i < info.components && info.components > 1; ++i)
    FUZZ_CHECK(h % (info.component[i].sampling >> 4) == 0 && v % (info.component[i].sampling & 0x0F) == 0);
  if (info.components == 1) FUZZ_CHECK(info.samplingCode == 0x11);
  FUZZ_CHECK(ZfBandRows(&info) == 8 * v);
  FUZZ_CHECK(info.colorSpace <= kZfColorYcck);
  FUZZ_CHECK(info.scanComponents >= 1 && info.scanComponents <= info.components);
}

// What the band function saw.
struct Bands {
  uint32_t calls = 0;
  uint32_t rows = 0;
  uint32_t bandRows = 0;
};

int CountBand(void* context, const uint8_t* rows, size_t, uint32_t firstRow, uint32_t rowCount) {
  auto& bands = *static_cast<Bands*>(context);
  FUZZ_CHECK(rows != nullptr);
  FUZZ_CHECK(firstRow == bands.rows);
  FUZZ_CHECK(rowCount >= 1 && rowCount <= bands.bandRows);
  ++bands.calls;
  bands.rows += rowCount;
  return 0;
}

ZfDecoder* Decoder() {
  static ZfDecoder* const decoder = [] {
    ZfOptions options{};
    options.maxPixels = kMaxPixels;
    ZfDecoder* made = ZfCreateDecoder(&options);
    FUZZ_CHECK(made != nullptr);
    return made;
  }();
  return decoder;
}

// Room for one band of the widest frame in grey: an MCU row is up to 32
// rows high (vertical sampling 4), each of 65535 bytes.
uint8_t bandBuffer[32 * 65535];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kNoBytes = 0;
  if (data == nullptr) data = &kNoBytes;  // an empty input: still a valid pointer

  ZfInfo info;
  std::memset(&info, 0xA5, sizeof info);  // every field must be written
  const ZfStatus status = ZfReadInfo(data, size, &info);
  FUZZ_CHECK(status >= kZfOk && status <= kZfBadData);
  FUZZ_CHECK(std::strcmp(ZfStatusText(status), "unknown status") != 0);
  // Statuses only a decode or the caller's arguments give.
  FUZZ_CHECK(status != kZfDamaged && status != kZfStopped && status != kZfTooLarge && status != kZfBadArgument &&
             status != kZfNoMemory && status != kZfBadData);
  CheckInfo(info, status);

  // No state kept: the same bytes, the same answer.
  ZfInfo again;
  FUZZ_CHECK(ZfReadInfo(data, size, &again) == status);
  FUZZ_CHECK(SameInfo(info, again));

  Bands bands;
  bands.bandRows = status == kZfOk ? ZfBandRows(&info) : 16;
  const ZfOutput output{kZfGrey, bandBuffer, 65535, CountBand, &bands};
  const ZfStatus decoded = ZfDecode(Decoder(), data, size, &output);
  if (status != kZfOk) {
    FUZZ_CHECK(decoded == status);
    FUZZ_CHECK(bands.calls == 0);
    return 0;
  }
  FUZZ_CHECK(IsPastHeaders(decoded));
  const uint64_t pixels = uint64_t{info.width} * info.height;
  FUZZ_CHECK((decoded == kZfTooLarge) == (pixels > kMaxPixels));
  if (decoded == kZfTooLarge) FUZZ_CHECK(bands.calls == 0);
  if (decoded == kZfOk || decoded == kZfDamaged) FUZZ_CHECK(bands.rows == info.height);
  if (decoded == kZfBadData) FUZZ_CHECK(bands.rows < info.height);
  return 0;
}
