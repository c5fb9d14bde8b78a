// Whole streams of tests/data: golden hashes of the decoded pixels, the
// refusals, and properties that tie streams together (segment layouts,
// grey sampling bytes, the two restart schemes).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "golden_hashes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using zentrafold::test::Bytes;
using zentrafold::test::Decode;
using zentrafold::test::ReadData;

std::string Hex(uint64_t value) {
  std::ostringstream s;
  s << std::hex << value;
  return s.str();
}

std::vector<std::string> StreamNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(zentrafold::test::DataDir()))
    if (entry.path().extension() == ".jpg") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Golden hashes: FNV-1a 64 of width, height and the BGRX bytes. Refresh with
// ZENTRAFOLD_UPDATE_HASHES=1 after a deliberate change of output.
TEST(StreamHashes, EveryCommittedStreamDecodesToItsHashOrIsRefused) {
  const fs::path file = zentrafold::test::DataDir() / "hashes.txt";
  std::map<std::string, std::string> actual;
  for (const std::string& name : StreamNames()) {
    const auto picture = Decode(ReadData(name));
    // Streams outside the bitmap entry's profile (the C API opens them).
    if (name.rfind("refuse_", 0) == 0) {
      EXPECT_FALSE(picture) << name << " must be refused";
      continue;
    }
    ASSERT_TRUE(picture) << name;
    std::string sized = std::to_string(picture->width) + "x" + std::to_string(picture->height) + ":" +
                        Hex(zentrafold::test::Fnv1a(picture->bgrx));
    actual[name] = sized;
  }
  if (zentrafold::test::CompareOrUpdateHashes(file, actual)) GTEST_SKIP() << "hashes rewritten to " << file;
}

TEST(Streams, SegmentLayoutsDecodeAlike) {
  const auto split = Decode(ReadData("sample_2x2.jpg"));
  const auto merged = Decode(ReadData("tables_merged.jpg"));
  ASSERT_TRUE(split && merged);
  EXPECT_EQ(split->bgrx, merged->bgrx);
}

TEST(Streams, GreySamplingByteDoesNotMatter) {
  const auto grey = Decode(ReadData("grey.jpg"));
  const auto sampled = Decode(ReadData("grey_sampled_2x2.jpg"));
  ASSERT_TRUE(grey && sampled);
  EXPECT_EQ(grey->bgrx, sampled->bgrx);
  for (size_t i = 0; i < grey->bgrx.size(); i += 4) {
    ASSERT_EQ(grey->bgrx[i], grey->bgrx[i + 1]);
    ASSERT_EQ(grey->bgrx[i], grey->bgrx[i + 2]);
    ASSERT_EQ(grey->bgrx[i + 3], 0);
  }
}

TEST(Streams, OddSizes) {
  const std::pair<const char*, std::pair<int, int>> sizes[] = {
      {"size_1x1.jpg", {1, 1}}, {"size_17x17.jpg", {17, 17}}, {"size_250x40.jpg", {250, 40}}};
  for (const auto& [name, size] : sizes) {
    const auto picture = Decode(ReadData(name));
    ASSERT_TRUE(picture) << name;
    EXPECT_EQ(picture->width, size.first);
    EXPECT_EQ(picture->height, size.second);
  }
}

// The same stream with its DRI interval set to 0: restarts then follow the
// markers as refills meet them.
Bytes WithoutInterval(Bytes stream) {
  const size_t dri = zentrafold::test::FindMarker(stream, 0xDD);
  EXPECT_NE(dri, std::string::npos);
  stream[dri + 4] = 0;
  stream[dri + 5] = 0;
  return stream;
}

TEST(Streams, BothRestartSchemesAgreeWhenMarkersAreMetInTheIntervalsLastMcu) {
  for (const char* name : {"restart_1mcu.jpg", "restart_row.jpg", "restart_5mcu_grey.jpg",
                           "restart_jpegtran_3mcu.jpg", "restart_jpegtran_2rows.jpg",
                           "restart_flat_1mcu.jpg"}) {
    const Bytes stream = ReadData(name);
    const auto interval = Decode(stream);
    const auto plain = Decode(WithoutInterval(stream));
    ASSERT_TRUE(interval && plain) << name;
    EXPECT_EQ(interval->bgrx, plain->bgrx) << name;
  }
}

TEST(Streams, ShortIntervalsNeedTheDriCount) {
  // Flat grey with a marker after every 8x8 MCU: an interval is two bytes,
  // so the first load already runs into the next marker. Decoded by the
  // interval, the picture is the flat grey; by the markers alone the load
  // fails.
  const Bytes stream = ReadData("restart_flatgrey_1mcu.jpg");
  const auto interval = Decode(stream);
  ASSERT_TRUE(interval);
  for (size_t i = 4; i < interval->bgrx.size(); ++i) ASSERT_EQ(interval->bgrx[i], interval->bgrx[i % 4]) << i;
  EXPECT_FALSE(Decode(WithoutInterval(stream)));
}

}  // namespace
