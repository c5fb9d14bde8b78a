// The MCU loop: every MCU in raster order through entropy decoding, level
// shift, inverse DCT, assembly and colour conversion into the output rows,
// whole or one MCU row (a band) at a time.
#include "decoder_state.h"

void OutputMcu(DecoderState& state, uint8_t* destination, int columns, int rows) {
  AssembleMcu(state);
  WriteMcuPixelRows(state, state.mcuPixelBuffer, destination, columns, rows, state.outputStride);
}

int RunMcuLoop(DecoderState& state) {
  const DecoderPaths& paths = state.paths != nullptr ? *state.paths : SelectedPaths();
  const uint32_t sampling = state.samplingCode;
  const uint32_t mcuWidth = static_cast<uint32_t>(McuWidth(sampling));
  const uint32_t mcuHeight = static_cast<uint32_t>(McuHeight(sampling));
  const uint32_t width = state.width;
  const uint32_t height = state.height;
  const uint32_t lastColumn = (width + mcuWidth - 1) / mcuWidth - 1;
  const uint32_t lastRow = (height + mcuHeight - 1) / mcuHeight - 1;
  const int lumaBlocks = LumaBlockCount(state);
  // Grey output needs the luma samples only.
  const int blocks = state.outputFormat == kZfGrey ? lumaBlocks : BlockCount(state);
  const size_t stride = state.outputStride;
  const size_t mcuBytes = mcuWidth * FormatBytes(state.outputFormat);
  const bool banded = state.band != nullptr;
  if (paths.usesFastAcTables) {
    for (int t = 0; t < (state.componentCount == 3 ? 2 : 1); ++t)
      BuildFastAcTable(state.fastAc[t], state.limitsAc[t], state.acSpec[t], state.quant[t], state.fastAcWhole[t]);
  }

  for (uint32_t my = 0;; ++my) {
    const uint32_t rows = my == lastRow ? height - my * mcuHeight : mcuHeight;
    uint8_t* rowStart = banded ? state.outputRows : state.outputRows + static_cast<size_t>(my) * mcuHeight * stride;
    for (uint32_t mx = 0;; ++mx) {
      if (!paths.decodeMcu(state)) {
        state.status = kZfBadData;
        state.failedMcu = my * (lastColumn + 1) + mx;
        return 0;
      }
      // The level shift is carried by the luma DC: 128 * 8 (16-bit, wrapping).
      for (int b = 0; b < lumaBlocks; ++b) {
        int16_t& dc = state.blockBuffer[b * 64];
        dc = static_cast<int16_t>(static_cast<uint16_t>(dc + 1024));
      }
      for (int b = 0; b < blocks; ++b) paths.inverseDct(state.cosineTable, state.blockBuffer + b * 64);
      const uint32_t columns = mx == lastColumn ? width - mx * mcuWidth : mcuWidth;
      OutputMcuFormatted(state, paths, rowStart + mx * mcuBytes, static_cast<int>(columns), static_cast<int>(rows));
      if (mx == lastColumn) break;
    }
    if (banded && state.band(state.bandContext, state.outputRows, stride, my * mcuHeight, rows) != 0) {
      state.status = kZfStopped;
      return 0;
    }
    if (my == lastRow) break;
  }
  state.status = state.damaged ? kZfDamaged : kZfOk;
  return 1;
}
