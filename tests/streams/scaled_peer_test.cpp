// Reduced decodes against libjpeg-turbo's (tjDecompress2 at the size of
// scaling factor 1/2, 1/4 and 1/8, accurate integer DCT, nearest upsampling:
// `djpeg -scale 1/N -dct int -nosmooth`). Not equal: both reduce in the DCT
// domain but round differently, and 4:2:0 chroma at 1/2 is kept whole here.
// The test holds the sizes equal and the distance small (a misplaced block,
// a wrong replication or a transform that drops the upper frequencies is
// far beyond it), and prints the distance of each picture.
#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <zentrafold/zentrafold.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "test_support.h"

namespace {

using zentrafold::test::Bytes;

struct Distance {
  double mean = 0;
  int max = 0;
};

// Both decoders at 1/scale in BGRX; false when the peer cannot.
bool Compare(const Bytes& stream, int scale, Distance& distance, std::string& what) {
  ZfInfo info;
  if (ZfReadInfo(stream.data(), stream.size(), &info) != kZfOk) return false;
  if (info.colorSpace != kZfColorYCbCr && info.colorSpace != kZfColorGrey) return false;
  const ZfView view{static_cast<uint32_t>(scale), 0, 0, 0, 0, 0};
  uint32_t width = 0, height = 0;
  EXPECT_EQ(ZfViewSize(&info, &view, &width, &height), kZfOk);
  Bytes ours(static_cast<size_t>(width) * height * 4);
  ZfDecoder* decoder = ZfCreateDecoder(nullptr);
  const ZfOutput out{kZfBgrx, ours.data(), static_cast<size_t>(width) * 4, nullptr, nullptr};
  const ZfStatus status = ZfDecodeView(decoder, stream.data(), stream.size(), &out, &view);
  ZfDestroyDecoder(decoder);
  if (status != kZfOk) return false;

  tjhandle handle = tjInitDecompress();
  const tjscalingfactor factor{1, scale};
  const int peerWidth = TJSCALED(static_cast<int>(info.width), factor);
  const int peerHeight = TJSCALED(static_cast<int>(info.height), factor);
  EXPECT_EQ(static_cast<uint32_t>(peerWidth), width);
  EXPECT_EQ(static_cast<uint32_t>(peerHeight), height);
  Bytes peer(static_cast<size_t>(peerWidth) * peerHeight * 4);
  const bool decoded = tjDecompress2(handle, stream.data(), static_cast<unsigned long>(stream.size()), peer.data(),
                                     peerWidth, 0, peerHeight, TJPF_BGRX,
                                     TJFLAG_FASTUPSAMPLE | TJFLAG_ACCURATEDCT) == 0;
  tjDestroy(handle);
  if (!decoded || peer.size() != ours.size()) return false;
  double sum = 0;
  size_t count = 0;
  distance.max = 0;
  for (size_t i = 0; i < ours.size(); ++i) {
    if (i % 4 == 3) continue;
    const int d = std::abs(ours[i] - peer[i]);
    sum += d;
    ++count;
    distance.max = std::max(distance.max, d);
  }
  distance.mean = sum / static_cast<double>(count);
  what = std::to_string(info.width) + "x" + std::to_string(info.height) + " sampling " +
         std::to_string(info.samplingCode >> 4) + "x" + std::to_string(info.samplingCode & 15);
  return true;
}

void CheckAll(const std::vector<std::pair<std::string, Bytes>>& streams) {
  for (int scale : {2, 4, 8}) {
    double worstMean = 0;
    for (const auto& [name, stream] : streams) {
      Distance d;
      std::string what;
      if (!Compare(stream, scale, d, what)) continue;
      std::printf("1/%d %-48s %-22s mean %.3f max %d\n", scale, name.c_str(), what.c_str(), d.mean, d.max);
      worstMean = std::max(worstMean, d.mean);
      EXPECT_LT(d.mean, 1.5) << name << " at 1/" << scale;
      EXPECT_LE(d.max, 12) << name << " at 1/" << scale;
    }
    std::printf("1/%d: largest mean distance %.3f\n", scale, worstMean);
  }
}

TEST(ScaledPeer, CommittedStreams) {
  std::vector<std::pair<std::string, Bytes>> streams;
  for (const char* name : {"sample_1x1.jpg", "sample_2x1.jpg", "sample_1x2.jpg", "sample_2x2.jpg", "grey.jpg",
                           "size_250x40.jpg", "size_17x17.jpg", "noise_q100.jpg"})
    streams.emplace_back(name, zentrafold::test::ReadData(name));
  CheckAll(streams);
}

TEST(ScaledPeer, BaselinePhotographs) {
  const auto photos = zentrafold::test::Photographs(true, 8);
  if (photos.empty()) GTEST_SKIP() << "plasma-workspace-wallpapers is not installed";
  std::vector<std::pair<std::string, Bytes>> streams;
  for (const auto& path : photos)
    streams.emplace_back(path.parent_path().parent_path().parent_path().filename().string() + "/" +
                             path.filename().string(),
                         zentrafold::test::ReadFile(path));
  CheckAll(streams);
}

}  // namespace
