// Views on every path the output can take: the scalar and fast paths give
// the same bytes at every scale, whole and for a region, and the strip of
// the kernel layouts gives the bytes of the general output stage.
#include <gtest/gtest.h>

#include <memory>

#include "decoder_state.h"
#include "test_support.h"

namespace {

using zentrafold::test::Bytes;
using zentrafold::test::ReadData;

struct StateDeleter {
  void operator()(DecoderState* state) const { FreeAllocated(state); }
};

// A single-scan stream's view through the decoder's own stages, on `paths`,
// with the strip of the kernel layouts left on or turned off.
Bytes DecodeOn(const Bytes& stream, const ZfView& view, ZfFormat format, const DecoderPaths& paths, bool stripped) {
  std::unique_ptr<DecoderState, StateDeleter> owned(static_cast<DecoderState*>(AllocateZeroed(sizeof(DecoderState))));
  DecoderState& state = *owned;
  BuildConstantTables(state);
  const uint8_t* scan = ReadHeaders(state, stream.data(), stream.size());
  EXPECT_NE(scan, nullptr);
  ViewGeometry g;
  EXPECT_TRUE(MakeViewGeometry(state.width, state.height, &view, g));
  const size_t stride = static_cast<size_t>(g.width) * FormatBytes(format);
  Bytes pixels(stride * g.height, 0xA5);
  EXPECT_TRUE(SetView(state, &view, FormatBytes(format), stride, false));
  if (!stripped) state.stripped = false;
  state.outputRows = pixels.data();
  state.outputStride = stride;
  state.outputFormat = format;
  state.band = nullptr;
  state.paths = &paths;
  EXPECT_NE(StartScan(state, scan), 0);
  EXPECT_NE(RunMcuLoop(state), 0);
  return pixels;
}

const ZfFormat kFormats[] = {kZfBgrx, kZfRgb, kZfRgba, kZfGrey};

TEST(ViewPathsTest, ScalarAndFastPathsAgreeAtEveryScale) {
  for (const char* name : {"sample_2x2.jpg", "size_17x17.jpg", "grey.jpg", "sequential/sample_4x2.jpg",
                           "sequential/luma_1x1_cb_1x2_cr_2x1.jpg", "sequential/ycck_imagemagick.jpg",
                           "sequential/sample_3x2_35x19.jpg"}) {
    const Bytes stream = ReadData(name);
    ZfInfo info;
    ASSERT_EQ(ZfReadInfo(stream.data(), stream.size(), &info), kZfOk) << name;
    for (uint32_t scale : {1u, 2u, 4u, 8u}) {
      for (uint32_t orientation : {1u, 6u}) {
        for (ZfFormat format : kFormats) {
          // The whole view, and a region a third of it each way, away from
          // every edge (the MCUs around it read for their DCs alone).
          ZfView view{scale, orientation, 0, 0, 0, 0};
          uint32_t width = 0, height = 0;
          ASSERT_EQ(ZfViewSize(&info, &view, &width, &height), kZfOk);
          for (bool region : {false, true}) {
            if (region && (width < 3 || height < 3)) continue;
            if (region) view = ZfView{scale, orientation, width / 3, height / 3, width / 3, height / 3};
            if (!region && scale == 1) continue;
            EXPECT_EQ(DecodeOn(stream, view, format, ScalarPaths(), true),
                      DecodeOn(stream, view, format, SelectedPaths(), true))
                << name << " 1/" << scale << " orientation " << orientation << " format " << format
                << (region ? " region" : "") << " (" << SelectedPaths().name << ")";
          }
        }
      }
    }
  }
}

TEST(ViewPathsTest, TheStripGivesTheGeneralOutput) {
  // Every layout the output kernels take, at every scale.
  for (const char* name : {"sample_2x2.jpg", "sample_1x1.jpg", "sample_2x1.jpg", "sample_1x2.jpg", "grey.jpg",
                           "size_17x17.jpg", "sequential/sample_4x2.jpg", "sequential/sample_4x1_320x200.jpg"}) {
    const Bytes stream = ReadData(name);
    for (uint32_t scale : {2u, 4u, 8u}) {
      for (const DecoderPaths* paths : {&ScalarPaths(), &SelectedPaths()}) {
        for (ZfFormat format : kFormats) {
          const ZfView view{scale, 0, 0, 0, 0, 0};
          EXPECT_EQ(DecodeOn(stream, view, format, *paths, true), DecodeOn(stream, view, format, *paths, false))
              << name << " 1/" << scale << " format " << format << " (" << paths->name << ")";
        }
      }
    }
  }
}

// A state a scaled, turned region was decoded on gives the whole picture to
// the bitmap entry's decode after it, as a fresh state does.
TEST(ViewPathsTest, TheBitmapEntryAfterAViewDecodesTheWholePicture) {
  const Bytes stream = ReadData("sample_2x2.jpg");
  std::unique_ptr<DecoderState, StateDeleter> used(static_cast<DecoderState*>(AllocateZeroed(sizeof(DecoderState))));
  std::unique_ptr<DecoderState, StateDeleter> fresh(static_cast<DecoderState*>(AllocateZeroed(sizeof(DecoderState))));
  BuildConstantTables(*used);
  ASSERT_NE(ReadHeaders(*used, stream.data(), stream.size()), nullptr);
  const ZfView view{8, 6, 1, 1, 3, 2};
  ASSERT_TRUE(SetView(*used, &view, 4, 64, false));
  ImageRecord* after = DecodeImageWithState(*used, stream.data(), stream.size(), nullptr);
  ImageRecord* whole = DecodeImageWithState(*fresh, stream.data(), stream.size(), nullptr);
  ASSERT_NE(after, nullptr);
  ASSERT_NE(whole, nullptr);
  ASSERT_EQ(after->header.biWidth, whole->header.biWidth);
  ASSERT_EQ(after->header.biHeight, whole->header.biHeight);
  const size_t bytes = static_cast<size_t>(whole->header.biWidth) * static_cast<size_t>(-whole->header.biHeight) * 4;
  EXPECT_EQ(memcmp(after->bits, whole->bits, bytes), 0);
  DeleteObject(after->bitmap);
  DeleteObject(whole->bitmap);
}

}  // namespace
