// The MCU loop: every MCU in raster order through entropy decoding, level
// shift, inverse DCT, assembly and colour conversion into the output rows,
// whole or one MCU row (a band) at a time.
#include "decoder_state.h"

void OutputMcu(DecoderState& state, uint8_t* destination, int columns, int rows) {
  AssembleMcu(state);
  WriteMcuPixelRows(state, state.mcuPixelBuffer, destination, columns, rows, state.outputStride);
}

int DecodeMcuRange(DecoderState& state, const DecoderPaths& paths, uint32_t first, uint32_t end) {
  const uint32_t sampling = state.samplingCode;
  const uint32_t mcuWidth = static_cast<uint32_t>(McuWidth(sampling));
  const uint32_t mcuHeight = static_cast<uint32_t>(McuHeight(sampling));
  const uint32_t width = state.width;
  const uint32_t height = state.height;
  const uint32_t mcuColumns = (width + mcuWidth - 1) / mcuWidth;
  const uint32_t lastRow = (height + mcuHeight - 1) / mcuHeight - 1;
  const int lumaBlocks = LumaBlockCount(state);
  // Grey output needs the luma samples only.
  const int blocks = state.outputFormat == kZfGrey ? lumaBlocks : BlockCount(state);
  const size_t stride = state.outputStride;
  const size_t mcuBytes = mcuWidth * FormatBytes(state.outputFormat);
  // In band mode the output rows hold one MCU row.
  const bool banded = state.band != nullptr;

  uint32_t mx = first % mcuColumns;
  uint32_t my = first / mcuColumns;
  for (uint32_t mcu = first; mcu < end; ++mcu) {
    if (!paths.decodeMcu(state)) {
      state.status = kZfBadData;
      state.failedMcu = mcu;
      return 0;
    }
    // The level shift is carried by the luma DC: 128 * 8 (16-bit, wrapping).
    for (int b = 0; b < lumaBlocks; ++b) {
      int16_t& dc = state.blockBuffer[b * 64];
      dc = static_cast<int16_t>(static_cast<uint16_t>(dc + 1024));
    }
    for (int b = 0; b < blocks; ++b) paths.inverseDct(state.cosineTable, state.blockBuffer + b * 64);
    const uint32_t columns = mx == mcuColumns - 1 ? width - mx * mcuWidth : mcuWidth;
    const uint32_t rows = my == lastRow ? height - my * mcuHeight : mcuHeight;
    uint8_t* rowStart = state.outputRows + (banded ? 0 : static_cast<size_t>(my) * mcuHeight * stride);
    OutputMcuFormatted(state, paths, rowStart + mx * mcuBytes, static_cast<int>(columns), static_cast<int>(rows));
    if (++mx == mcuColumns) {
      mx = 0;
      ++my;
    }
  }
  return 1;
}

int RunMcuLoop(DecoderState& state) {
  const DecoderPaths& paths = state.paths != nullptr ? *state.paths : SelectedPaths();
  if (paths.usesFastAcTables) {
    for (int t = 0; t < (state.componentCount == 3 ? 2 : 1); ++t)
      BuildFastAcTable(state.fastAc[t], state.limitsAc[t], state.acSpec[t], state.quant[t], state.fastAcWhole[t]);
  }
  const uint32_t mcuWidth = static_cast<uint32_t>(McuWidth(state.samplingCode));
  const uint32_t mcuHeight = static_cast<uint32_t>(McuHeight(state.samplingCode));
  const uint32_t mcuColumns = (state.width + mcuWidth - 1) / mcuWidth;
  const uint32_t mcuRows = (state.height + mcuHeight - 1) / mcuHeight;

  if (state.band != nullptr) {
    // One MCU row at a time into the band, handed on before the next.
    for (uint32_t my = 0; my < mcuRows; ++my) {
      if (!DecodeMcuRange(state, paths, my * mcuColumns, (my + 1) * mcuColumns)) return 0;
      const uint32_t rows = my + 1 == mcuRows ? state.height - my * mcuHeight : mcuHeight;
      if (state.band(state.bandContext, state.outputRows, state.outputStride, my * mcuHeight, rows) != 0) {
        state.status = kZfStopped;
        return 0;
      }
    }
  } else {
    int result = 0;
    if (!DecodeInParallel(state, paths, result)) result = DecodeMcuRange(state, paths, 0, mcuColumns * mcuRows);
    if (!result) return 0;
  }
  state.status = state.damaged ? kZfDamaged : kZfOk;
  return 1;
}
