// One picture on several threads: the bytes and the status of a decode on
// one thread, whatever the stream (intact, cut, with missing, repeated or
// reordered restart markers, damaged data), for 2, 3 and 8 threads; and
// decoders with threads used from many caller threads at once.
#include <gtest/gtest.h>
#include <zentrafold/zentrafold.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "decoder_state.h"
#include "stream_rewrite.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using zentrafold::test::Bytes;

struct Result {
  ZfStatus status = kZfBadArgument;
  uint32_t failedMcu = 0;
  uint32_t width = 0, height = 0, mcuWidth = 8, mcuHeight = 8;
  Bytes pixels;
};

Result Decode(ZfDecoder* decoder, const Bytes& stream, ZfFormat format = kZfBgrx) {
  Result r;
  ZfInfo info;
  if (ZfReadInfo(stream.data(), stream.size(), &info) != kZfOk) {
    r.status = ZfReadInfo(stream.data(), stream.size(), &info);
    return r;
  }
  r.width = info.width;
  r.height = info.height;
  r.mcuWidth = (info.samplingCode >> 4) == 2 ? 16 : 8;
  r.mcuHeight = ZfBandRows(&info);
  const size_t stride = static_cast<size_t>(info.width) * ZfBytesPerPixel(format);
  r.pixels.assign(stride * info.height, 0x5A);
  const ZfOutput out{format, r.pixels.data(), stride, nullptr, nullptr};
  r.status = ZfDecode(decoder, stream.data(), stream.size(), &out);
  r.failedMcu = ZfFailedMcu(decoder);
  return r;
}

// Equal statuses and failing MCUs, and equal whole buffers (filled with a
// pattern before the decode): after kZfBadData too, a decode on several
// threads writes exactly what one on a single thread writes, and nothing
// else.
::testing::AssertionResult Same(const Result& one, const Result& many) {
  if (one.status != many.status) return ::testing::AssertionFailure() << "status " << one.status << " vs " << many.status;
  if (one.status == kZfBadData && one.failedMcu != many.failedMcu)
    return ::testing::AssertionFailure() << "failed MCU " << one.failedMcu << " vs " << many.failedMcu;
  if (one.pixels != many.pixels) {
    const auto differ = std::mismatch(one.pixels.begin(), one.pixels.end(), many.pixels.begin()).first - one.pixels.begin();
    const size_t row = static_cast<size_t>(differ) / (one.pixels.size() / one.height);
    return ::testing::AssertionFailure() << "pixels differ from row " << row << " on"
                                         << (one.status == kZfBadData ? " (after the failure)" : "");
  }
  return ::testing::AssertionSuccess();
}

class Threads : public ::testing::Test {
 protected:
  // Small test pictures split too, and without an interval see many runs
  // ahead.
  static void SetUpTestSuite() {
    gMinParallelPixels = 0;
    gMinAheadMcus = 16;
    gAheadRunMcus = 40;
    gSplitChunkMcus = 8;
  }
  static void TearDownTestSuite() {
    gMinParallelPixels = 1u << 18;
    gMinAheadMcus = 2048;
    gAheadRunMcus = 0;
    gSplitChunkMcus = 0;
  }

  Threads() {
    for (uint32_t n : {1u, 2u, 3u, 8u}) {
      const ZfOptions options{n, 0, 0};
      decoders_.push_back(ZfCreateDecoder(&options));
    }
  }
  ~Threads() override {
    for (ZfDecoder* d : decoders_) ZfDestroyDecoder(d);
  }

 public:
  void ExpectSameOnAll(const Bytes& stream, const std::string& what, ZfFormat format = kZfBgrx) {
    const Result one = Decode(decoders_[0], stream, format);
    for (size_t i = 1; i < decoders_.size(); ++i) {
      EXPECT_TRUE(Same(one, Decode(decoders_[i], stream, format))) << what << ", threads index " << i;
    }
  }

 protected:
  std::vector<ZfDecoder*> decoders_;
};

std::vector<Bytes> CommittedStreams() {
  std::vector<Bytes> out;
  for (const auto& entry : fs::directory_iterator(zentrafold::test::DataDir()))
    if (entry.path().extension() == ".jpg") out.push_back(zentrafold::test::ReadFile(entry.path()));
  return out;
}

TEST_F(Threads, CommittedStreamsInEveryFormat) {
  for (const Bytes& stream : CommittedStreams()) {
    for (ZfFormat format : {kZfBgrx, kZfRgb, kZfGrey}) ExpectSameOnAll(stream, "committed stream", format);
  }
}

TEST_F(Threads, PhotographsWithAndWithoutIntervals) {
  const auto photos = zentrafold::test::Photographs(true, 6);
  if (photos.empty()) GTEST_SKIP() << "plasma-workspace-wallpapers is not installed";
  for (const fs::path& p : photos) {
    const Bytes stream = zentrafold::test::ReadFile(p);
    ExpectSameOnAll(stream, p.string());
  }
}

// The restart streams with their markers tampered with.
Bytes Erase(Bytes s, size_t at, size_t n) {
  s.erase(s.begin() + static_cast<std::ptrdiff_t>(at), s.begin() + static_cast<std::ptrdiff_t>(at + n));
  return s;
}
Bytes Insert(Bytes s, size_t at, const Bytes& bytes) {
  s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
  return s;
}

std::vector<size_t> RestartMarkers(const Bytes& stream) {
  std::vector<size_t> at;
  for (size_t i = zentrafold::test::ScanDataOffset(stream); i + 1 < stream.size(); ++i)
    if (stream[i] == 0xFF && stream[i + 1] >= 0xD0 && stream[i + 1] <= 0xD7) at.push_back(i);
  return at;
}

TEST_F(Threads, RestartStreamsWithMissingRepeatedAndReorderedMarkers) {
  for (const char* name : {"restart_1mcu.jpg", "restart_row.jpg", "restart_5mcu_grey.jpg", "restart_jpegtran_3mcu.jpg"}) {
    const Bytes stream = zentrafold::test::ReadData(name);
    const std::vector<size_t> markers = RestartMarkers(stream);
    ASSERT_GT(markers.size(), 3u) << name;
    ExpectSameOnAll(stream, name);
    for (size_t k : {size_t{0}, markers.size() / 2, markers.size() - 1}) {
      const size_t m = markers[k];
      ExpectSameOnAll(Erase(stream, m, 2), std::string(name) + ": a marker missing");
      ExpectSameOnAll(Insert(stream, m, {stream[m], stream[m + 1]}), std::string(name) + ": a marker repeated");
      Bytes swapped = stream;
      swapped[m + 1] = static_cast<uint8_t>(0xD0 + (swapped[m + 1] - 0xD0 + 3) % 8);
      ExpectSameOnAll(swapped, std::string(name) + ": a marker out of order");
      ExpectSameOnAll(Insert(stream, m, {0xFF, 0xFF, 0xFF}), std::string(name) + ": fill bytes");
      ExpectSameOnAll(Insert(stream, m, {0xFF, 0xD9}), std::string(name) + ": EOI before an interval");
      ExpectSameOnAll(Insert(stream, m, {0x12, 0x34, 0x56}), std::string(name) + ": bytes before a marker");
      ExpectSameOnAll(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(m + 1)),
                      std::string(name) + ": cut inside a marker");
      ExpectSameOnAll(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(m - 3)),
                      std::string(name) + ": cut before a marker");
    }
    // Two markers exchanged.
    Bytes exchanged = stream;
    std::swap(exchanged[markers[1] + 1], exchanged[markers[2] + 1]);
    ExpectSameOnAll(exchanged, std::string(name) + ": two markers exchanged");
  }
}

TEST_F(Threads, CutAndFlippedStreams) {
  std::mt19937 random(7);
  for (const char* name : {"restart_1mcu.jpg", "sample_2x2.jpg", "grey.jpg", "restart_row.jpg"}) {
    const Bytes stream = zentrafold::test::ReadData(name);
    const size_t data = zentrafold::test::ScanDataOffset(stream);
    for (int i = 0; i < 12; ++i) {
      const size_t cut = data + random() % (stream.size() - data);
      ExpectSameOnAll(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)), std::string(name) + " cut");
      Bytes flipped = stream;
      for (int f = 0; f < 4; ++f) flipped[data + random() % (stream.size() - 2 - data)] ^= static_cast<uint8_t>(1u << (random() % 8));
      ExpectSameOnAll(flipped, std::string(name) + " flipped");
    }
  }
}

// Pictures in several scans decode their scans on several threads at once,
// a scan that shares a component with an earlier one trailing it row by
// row: progressive and arithmetic-coded rewrites (every scan script, with
// and without restarts), sequential ones of a component or two a scan, each
// also cut and with bits flipped, give the bytes and status of one thread.
TEST_F(Threads, ScansOfOnePictureOnSeveralThreads) {
  std::mt19937 random(11);
  for (const char* name : {"sample_2x2.jpg", "sample_1x2.jpg", "grey.jpg", "restart_row.jpg",
                           "sequential/luma_1x1_chroma_2x2.jpg", "sequential/ycck_imagemagick.jpg"}) {
    const Bytes source = zentrafold::test::ReadData(name);
    std::string error;
    std::vector<zentrafold::test::Variant> variants = zentrafold::test::ProgressiveVariants(source, &error, true);
    ASSERT_TRUE(error.empty()) << error;
    for (auto& v : zentrafold::test::JpegtranVariants(source, &error))
      if (v.severalScans) variants.push_back(std::move(v));
    ASSERT_TRUE(error.empty()) << error;
    for (const auto& v : variants) {
      const std::string what = std::string(name) + " " + v.name;
      ExpectSameOnAll(v.stream, what);
      const size_t data = zentrafold::test::ScanDataOffset(v.stream);
      for (int i = 0; i < 2; ++i) {
        const size_t cut = data + random() % (v.stream.size() - data);
        ExpectSameOnAll(Bytes(v.stream.begin(), v.stream.begin() + static_cast<std::ptrdiff_t>(cut)), what + " cut");
        Bytes flipped = v.stream;
        for (int f = 0; f < 3; ++f)
          flipped[data + random() % (v.stream.size() - 2 - data)] ^= static_cast<uint8_t>(1u << (random() % 8));
        ExpectSameOnAll(flipped, what + " flipped");
      }
    }
  }
}

// Views of a picture in several scans decode the scans on several threads
// as well; a scan reduced to its DCs reads its AC symbols past through skip
// tables on one thread only (each thread's scan has its own Huffman tables,
// and the decoder keeps room for one set). Every view of the sequential
// rewrites of a component or two a scan gives the bytes of one thread.
TEST_F(Threads, ViewsOfScansOnSeveralThreads) {
  gMinSkipTableMcus = 0;
  for (const char* name : {"sample_1x1.jpg", "sample_2x2.jpg", "grey.jpg"}) {
    const Bytes source = zentrafold::test::ReadData(name);
    std::string error;
    const std::vector<zentrafold::test::Variant> variants = zentrafold::test::JpegtranVariants(source, &error);
    ASSERT_TRUE(error.empty()) << error;
    for (const auto& v : variants) {
      if (!v.severalScans) continue;
      ZfInfo info;
      ASSERT_EQ(ZfReadInfo(v.stream.data(), v.stream.size(), &info), kZfOk);
      for (uint32_t scale : {2u, 4u, 8u}) {
        const ZfView view{scale, 1, 0, 0, 0, 0};
        uint32_t width = 0, height = 0;
        ASSERT_EQ(ZfViewSize(&info, &view, &width, &height), kZfOk);
        std::vector<Bytes> pictures;
        for (ZfDecoder* decoder : decoders_) {
          Bytes pixels(static_cast<size_t>(width) * height * 4, 0x5A);
          const ZfOutput out{kZfBgrx, pixels.data(), static_cast<size_t>(width) * 4, nullptr, nullptr};
          EXPECT_EQ(ZfDecodeView(decoder, v.stream.data(), v.stream.size(), &out, &view), kZfOk);
          pictures.push_back(std::move(pixels));
        }
        for (size_t i = 1; i < pictures.size(); ++i)
          EXPECT_TRUE(pictures[i] == pictures[0]) << name << " " << v.name << " at 1/" << scale << ", threads index " << i;
      }
    }
  }
  gMinSkipTableMcus = 2048;
}

// A table redefined between scans belongs to the scans after it: the walk
// to a later scan (on another thread) must not change it under an earlier
// scan still decoding. A quantisation table of the first scan's component
// redefined right after that scan, and its Huffman tables, leave the
// picture as the stream without them decodes it.
TEST_F(Threads, TablesRedefinedBetweenScansStayWithTheirScans) {
  const Bytes source = zentrafold::test::ReadData("sequential/scans_one_each_320x200.jpg");
  // The second scan header: the tables go in before it.
  size_t second = 0;
  for (size_t i = 0, found = 0; i + 1 < source.size(); ++i) {
    if (source[i] == 0xFF && source[i + 1] == 0xDA && ++found == 2) {
      second = i;
      break;
    }
  }
  ASSERT_NE(second, 0u);
  Bytes tables = {0xFF, 0xDB, 0x00, 0x43, 0x00};  // table 0, every value 1
  tables.insert(tables.end(), 64, 1);
  Bytes stream = source;
  stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(second), tables.begin(), tables.end());
  const Result expected = Decode(decoders_[0], source);
  ASSERT_EQ(expected.status, kZfOk);
  for (int round = 0; round < 10; ++round) ExpectSameOnAll(stream, "table 0 redefined after the first scan");
  EXPECT_TRUE(Same(expected, Decode(decoders_[1], stream)));
}

// Damaged streams with restart intervals: a few bytes overwritten, so that
// most decodes fail in some MCU. Threads 1, 2 and 3 (and 8) leave the same
// whole buffer: the rows before the failing MCU, and the pattern after it.
TEST_F(Threads, DamagedRestartStreamsWriteNothingPastTheFailure) {
  std::mt19937 random(20);
  uint32_t failed = 0;
  for (const char* name : {"restart_1mcu.jpg", "restart_row.jpg", "restart_5mcu_grey.jpg", "restart_jpegtran_3mcu.jpg",
                           "restart_jpegtran_2rows.jpg"}) {
    const Bytes stream = zentrafold::test::ReadData(name);
    const size_t data = zentrafold::test::ScanDataOffset(stream);
    for (int i = 0; i < 40; ++i) {
      Bytes damaged = stream;
      const size_t at = data + random() % (stream.size() - 8 - data);
      for (size_t k = at; k < at + 4; ++k) damaged[k] = static_cast<uint8_t>(random());
      failed += Decode(decoders_[0], damaged).status == kZfBadData;
      ExpectSameOnAll(damaged, std::string(name) + " overwritten at " + std::to_string(at));
    }
  }
  EXPECT_GT(failed, 10u) << "too few of the damaged streams fail to say anything";
}

// Streams without an interval, as they are, with a marker, fill bytes, EOI
// or a stuffed 0xFF in the middle of the data, cut, and overwritten: the
// bytes and status are the sequential ones on every thread count.
void StreamsWithoutAnInterval(Threads& test) {
  std::mt19937 random(11);
  for (const char* name : {"sample_2x2.jpg", "sample_1x1.jpg", "sample_2x1.jpg", "sample_1x2.jpg", "grey.jpg",
                           "optimized.jpg", "noise_q100.jpg", "tables_merged.jpg"}) {
    const Bytes stream = zentrafold::test::ReadData(name);
    const size_t data = zentrafold::test::ScanDataOffset(stream);
    test.ExpectSameOnAll(stream, name);
    // A place in the middle of the data that is not inside a stuffed 0xFF.
    size_t at = data + (stream.size() - data) / 2;
    while (stream[at - 1] == 0xFF) ++at;
    const std::string where = std::string(name) + " at " + std::to_string(at) + ": ";
    test.ExpectSameOnAll(Insert(stream, at, {0xFF, 0xD3}), where + "a restart marker");
    test.ExpectSameOnAll(Insert(stream, at, {0xFF, 0xFF, 0xFF, 0xD3}), where + "fill bytes and a restart marker");
    test.ExpectSameOnAll(Insert(stream, at, {0xFF, 0xD9}), where + "EOI");
    test.ExpectSameOnAll(Insert(stream, at, {0xFF, 0x00}), where + "a stuffed 0xFF");
    for (int i = 0; i < 6; ++i) {
      const size_t cut = data + random() % (stream.size() - data);
      test.ExpectSameOnAll(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)), std::string(name) + " cut");
      Bytes overwritten = stream;
      const size_t from = data + random() % (stream.size() - 8 - data);
      for (size_t k = from; k < from + 3; ++k) overwritten[k] = static_cast<uint8_t>(random());
      test.ExpectSameOnAll(overwritten, std::string(name) + " overwritten at " + std::to_string(from));
    }
  }
}

// Dense data: the picture is taken from runs ahead that fall into step with
// the sequential decode (where the data holds no marker or fill byte that
// no run ahead may cross).
TEST_F(Threads, StreamsWithoutAnIntervalRunAhead) {
  gAheadMinBytesPerBlock = 0;
  const uint64_t taken = gAheadMcusTaken.load();
  StreamsWithoutAnInterval(*this);
  EXPECT_GT(gAheadMcusTaken.load(), taken) << "no MCU came from a run ahead";
  gAheadMinBytesPerBlock = 2;
}

// Runs ahead start past markers and fill bytes: with fill bytes before the
// data's first stuffed 0xFF, or a restart marker, near its start, MCUs still
// come from runs ahead, and the bytes are the sequential ones.
TEST_F(Threads, RunsAheadStartPastMarkersAndFillBytes) {
  gAheadMinBytesPerBlock = 0;
  uint64_t fromFill = 0, fromMarker = 0;
  for (const char* name : {"sample_2x2.jpg", "sample_1x1.jpg", "sample_2x1.jpg", "sample_1x2.jpg", "noise_q100.jpg"}) {
    const Bytes stream = zentrafold::test::ReadData(name);
    const size_t data = zentrafold::test::ScanDataOffset(stream);
    size_t pair = data + 8;
    while (pair + 1 < stream.size() && !(stream[pair] == 0xFF && stream[pair + 1] == 0x00)) ++pair;
    ASSERT_LT(pair - data, (stream.size() - data) / 8) << name << ": no stuffed 0xFF near the data's start";
    uint64_t taken = gAheadMcusTaken.load();
    ExpectSameOnAll(Insert(stream, pair, {0xFF, 0xFF}), std::string(name) + ": fill bytes at " + std::to_string(pair));
    fromFill += gAheadMcusTaken.load() - taken;
    size_t at = data + 40;
    while (stream[at - 1] == 0xFF) ++at;
    taken = gAheadMcusTaken.load();
    ExpectSameOnAll(Insert(stream, at, {0xFF, 0xD5}), std::string(name) + ": a restart marker at " + std::to_string(at));
    fromMarker += gAheadMcusTaken.load() - taken;
  }
  EXPECT_GT(fromFill, 0u) << "no MCU came from a run ahead past fill bytes";
  EXPECT_GT(fromMarker, 0u) << "no MCU came from a run ahead past a marker";
  gAheadMinBytesPerBlock = 2;
}

// Sparse data: the entropy decoding in order on the caller's thread, the
// pixel stages of chunks of MCUs on all threads.
TEST_F(Threads, StreamsWithoutAnIntervalSplitThePixelStages) {
  gAheadMinBytesPerBlock = 1e30;
  const uint64_t split = gSplitMcusOutput.load();
  StreamsWithoutAnInterval(*this);
  EXPECT_GT(gSplitMcusOutput.load(), split) << "no MCU's pixel stages ran on a worker";
  gAheadMinBytesPerBlock = 2;
}

// Decoders with threads, each on a caller thread of its own, all at once:
// nothing is shared between them.
TEST_F(Threads, ManyDecodersOnManyCallerThreads) {
  const std::vector<Bytes> streams = {zentrafold::test::ReadData("restart_1mcu.jpg"),
                                      zentrafold::test::ReadData("sample_2x2.jpg"),
                                      zentrafold::test::ReadData("grey.jpg")};
  std::vector<Result> expected;
  for (const Bytes& s : streams) expected.push_back(Decode(decoders_[0], s));
  std::vector<std::thread> callers;
  std::vector<int> mismatches(4, 0);
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&, c] {
      const ZfOptions options{static_cast<uint32_t>(2 + c % 2), 0, 0};
      ZfDecoder* decoder = ZfCreateDecoder(&options);
      for (int round = 0; round < 6; ++round) {
        const size_t i = static_cast<size_t>(round + c) % streams.size();
        if (!Same(expected[i], Decode(decoder, streams[i]))) ++mismatches[c];
      }
      ZfDestroyDecoder(decoder);
    });
  }
  for (std::thread& t : callers) t.join();
  for (int c = 0; c < 4; ++c) EXPECT_EQ(mismatches[c], 0) << "caller " << c;
}

TEST(ThreadsOptions, SmallPicturesAndBandsStayOnTheCallersThread) {
  // Many threads asked for: allowed, capped, and the decode is the same.
  const ZfOptions many{1000, 0, 0};
  ZfDecoder* decoder = ZfCreateDecoder(&many);
  ASSERT_NE(decoder, nullptr);
  const Bytes stream = zentrafold::test::ReadData("size_250x40.jpg");
  ZfDecoder* one = ZfCreateDecoder(nullptr);
  EXPECT_TRUE(Same(Decode(one, stream), Decode(decoder, stream)));
  ZfDestroyDecoder(one);
  ZfDestroyDecoder(decoder);
}

}  // namespace
