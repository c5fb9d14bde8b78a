// Against a peer decoder: every committed stream and every baseline
// photograph of plasma-workspace-wallpapers, decoded by TurboJPEG with the
// same output (BGRX, nearest chroma, accurate integer DCT). The two differ
// only in inverse-DCT rounding and colour arithmetic, so per channel the
// difference stays small.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdio>
#include <set>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using zentrafold::test::Bytes;

struct Difference {
  int max = 0;
  double mean = 0;
};

std::optional<zentrafold::test::Picture> PeerDecode(const Bytes& stream) {
  tjhandle handle = tjInitDecompress();
  if (handle == nullptr) return std::nullopt;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  std::optional<zentrafold::test::Picture> result;
  if (tjDecompressHeader3(handle, stream.data(), static_cast<unsigned long>(stream.size()), &width,
                          &height, &subsampling, &colorspace) == 0) {
    zentrafold::test::Picture picture;
    picture.width = width;
    picture.height = height;
    picture.bgrx.resize(static_cast<size_t>(width) * height * 4);
    if (tjDecompress2(handle, stream.data(), static_cast<unsigned long>(stream.size()),
                      picture.bgrx.data(), width, 0, height, TJPF_BGRX,
                      TJFLAG_FASTUPSAMPLE | TJFLAG_ACCURATEDCT) == 0)
      result = std::move(picture);
  }
  tjDestroy(handle);
  return result;
}

Difference Compare(const zentrafold::test::Picture& ours, const zentrafold::test::Picture& peer) {
  Difference d;
  uint64_t sum = 0, count = 0;
  for (size_t i = 0; i < ours.bgrx.size(); ++i) {
    if (i % 4 == 3) continue;  // the fourth byte: ours is 0, the peer's is unspecified
    const int delta = std::abs(int{ours.bgrx[i]} - int{peer.bgrx[i]});
    d.max = std::max(d.max, delta);
    sum += static_cast<uint64_t>(delta);
    ++count;
  }
  d.mean = count ? static_cast<double>(sum) / static_cast<double>(count) : 0;
  return d;
}

bool IsGrey(const Bytes& stream) {
  const size_t sof = zentrafold::test::FindMarker(stream, 0xC0);
  return sof != std::string::npos && stream[sof + 9] == 1;
}

void ExpectCloseToPeer(const fs::path& path) {
  const Bytes stream = zentrafold::test::ReadFile(path);
  const auto ours = zentrafold::test::Decode(stream);
  ASSERT_TRUE(ours) << path;
  const auto peer = PeerDecode(stream);
  ASSERT_TRUE(peer) << path;
  ASSERT_EQ(ours->width, peer->width);
  ASSERT_EQ(ours->height, peer->height);
  const Difference d = Compare(*ours, *peer);
  std::string label = path.string();
  const std::string root = "/usr/share/wallpapers/";
  label = label.rfind(root, 0) == 0 ? label.substr(root.size()) : path.filename().string();
  std::printf("  %-50s %5dx%-5d max %2d  mean %.3f\n", label.c_str(), ours->width, ours->height, d.max, d.mean);
  EXPECT_LT(d.max, 12) << path;
  EXPECT_LT(d.mean, IsGrey(stream) ? 1.0 : 1.8) << path;
}

TEST(PeerComparison, CommittedStreams) {
  for (const auto& entry : fs::directory_iterator(zentrafold::test::DataDir())) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".jpg" || name.rfind("refuse_", 0) == 0) continue;
    ExpectCloseToPeer(entry.path());
  }
}

TEST(PeerComparison, BaselinePhotographs) {
  const auto photos = zentrafold::test::Photographs(true);
  if (photos.empty()) GTEST_SKIP() << "plasma-workspace-wallpapers is not installed";
  for (const fs::path& p : photos) ExpectCloseToPeer(p);
}

TEST(PeerComparison, ProgressivePhotographsAreRefused) {
  const auto photos = zentrafold::test::Photographs(false);
  if (photos.empty()) GTEST_SKIP() << "no progressive photographs installed";
  for (const fs::path& p : photos) {
    EXPECT_FALSE(zentrafold::test::Decode(zentrafold::test::ReadFile(p))) << p;
    EXPECT_TRUE(PeerDecode(zentrafold::test::ReadFile(p))) << p;
  }
}

}  // namespace
