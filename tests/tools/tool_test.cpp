// zentrafold-decode end to end: what it writes, what it refuses and why, its
// exit status, and that it never leaves a partial file.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <map>
#include <filesystem>
#include <string>

#include "batch.h"
#include "test_streams.h"

namespace zentrafold::test {
namespace {

namespace fs = std::filesystem;

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = StreamDir() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(work_);
  }
  fs::path Work(const std::string& name) const { return work_ / name; }
  fs::path work_;
};

// Readers for the formats, independent of the tool's writers. A PNG comes
// back as it is stored: 8-bit grey (1 channel) or 8-bit RGB (3).

// Binary PPM (P6, 3 channels) or PGM (P5, 1 channel).
Pixels ParsePnm(const std::vector<uint8_t>& bytes) {
  Pixels pixels;
  char kind = 0;
  unsigned width = 0, height = 0, maxValue = 0;
  int headerLength = 0;
  const std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
  if (std::sscanf(head.c_str(), "P%c %u %u %u%n", &kind, &width, &height, &maxValue, &headerLength) != 4) return pixels;
  const uint32_t channels = kind == '6' ? 3 : kind == '5' ? 1 : 0;
  const size_t start = static_cast<size_t>(headerLength) + 1;  // one whitespace byte after the maximum
  if (channels == 0 || maxValue != 255 || bytes.size() != start + size_t{width} * height * channels) return pixels;
  return Pixels{width, height, channels, {bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end()}};
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// A 32-bit top-down BI_RGB file: the header fields, then the pixel bytes.
Pixels ParseBmp(const std::vector<uint8_t>& bytes) {
  Pixels pixels;
  if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return pixels;
  const uint32_t offset = Le32(bytes, 10);
  const auto width = static_cast<int32_t>(Le32(bytes, 18)), height = static_cast<int32_t>(Le32(bytes, 22));
  const uint16_t planes = bytes[26] | bytes[27] << 8, bitCount = bytes[28] | bytes[29] << 8;
  if (Le32(bytes, 2) != bytes.size() || Le32(bytes, 14) != 40 || offset != 54 || planes != 1 ||
      bitCount != 32 || Le32(bytes, 30) != 0 || width <= 0 || height >= 0)
    return pixels;
  pixels.width = static_cast<uint32_t>(width);
  pixels.height = static_cast<uint32_t>(-height);
  pixels.channels = 4;
  if (bytes.size() != offset + size_t{pixels.width} * pixels.height * 4) return Pixels{};
  pixels.bytes.assign(bytes.begin() + offset, bytes.end());
  return pixels;
}

Pixels ParseBgrx(const std::vector<uint8_t>& bytes, uint32_t width, uint32_t height) {
  if (bytes.size() != size_t{width} * height * 4) return Pixels{};
  return Pixels{width, height, 4, bytes};
}

std::string Refusal(const fs::path& file, ZfStatus status) {
  return "zentrafold-decode: " + file.string() + ": " + ZfStatusText(status) + "\n";
}

// Each format holds ZfDecode's pixels in its byte order: png RGB, or grey
// for the grey stream; ppm RGB for every stream; pgm grey (a colour
// stream's luma); bmp and bgrx the BGRX bytes.
TEST_F(ToolTest, EveryFormatHoldsTheDecodersPixels) {
  for (const std::string& name : BaselineNames()) {
    SCOPED_TRACE(name);
    const fs::path input = BaselineStream(name);
    for (const std::string ext : {"png", "ppm", "pgm", "bmp", "bgrx"}) {
      SCOPED_TRACE(ext);
      const ZfFormat format = ext == "png"   ? (name == "grey" ? kZfGrey : kZfRgb)
                              : ext == "ppm" ? kZfRgb
                              : ext == "pgm" ? kZfGrey
                                             : kZfBgrx;
      const Pixels expected = DecodeWithLibrary(input, format);
      ASSERT_FALSE(expected.bytes.empty());
      const fs::path output = Work(name + "." + ext);
      const ToolResult run = RunTool(Quote(input) + " " + Quote(output));
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.err, "");
      const std::vector<uint8_t> bytes = ReadFile(output);
      const Pixels got = ext == "png"   ? ReadPng(output)
                         : ext == "bmp" ? ParseBmp(bytes)
                         : ext == "bgrx" ? ParseBgrx(bytes, expected.width, expected.height)
                                         : ParsePnm(bytes);
      EXPECT_TRUE(got == expected);
    }
  }
  // --format pgm writes P5 whatever the output's name.
  const ToolResult pgm = RunTool("--format pgm " + Quote(BaselineStream("s21")) + " " + Quote(Work("luma.out")));
  ASSERT_EQ(pgm.status, 0) << pgm.err;
  EXPECT_TRUE(ParsePnm(ReadFile(Work("luma.out"))) == DecodeWithLibrary(BaselineStream("s21"), kZfGrey));
}

TEST_F(ToolTest, FormatOptionOverridesTheExtension) {
  const fs::path input = BaselineStream("s22");
  const ToolResult run = RunTool("--format=bmp " + Quote(input) + " " + Quote(Work("picture.png")));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ParseBmp(ReadFile(Work("picture.png"))) == DecodeWithLibrary(input, kZfBgrx));

  const ToolResult unknown = RunTool(Quote(input) + " " + Quote(Work("picture.jpeg2")));
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("--format"), std::string::npos) << unknown.err;
  EXPECT_FALSE(fs::exists(Work("picture.jpeg2")));
}

// Another reader sees the BMP the right way up and in the right colours.
TEST_F(ToolTest, ImageMagickReadsTheBmpAsThePpm) {
  if (!HaveCommand("convert")) GTEST_SKIP() << "ImageMagick's convert is not installed";
  const fs::path input = BaselineStream("s21");
  ASSERT_EQ(RunTool(Quote(input) + " " + Quote(Work("a.bmp"))).status, 0);
  ASSERT_EQ(RunShell("convert " + Quote(Work("a.bmp")) + " -depth 8 " + Quote("ppm:" + Work("from_bmp.ppm").string())), 0);
  EXPECT_TRUE(ParsePnm(ReadFile(Work("from_bmp.ppm"))) == DecodeWithLibrary(input, kZfRgb));
  // And the grey PNG as the decoder's grey.
  ASSERT_EQ(RunTool(Quote(BaselineStream("grey")) + " " + Quote(Work("grey.png"))).status, 0);
  ASSERT_EQ(RunShell("convert " + Quote(Work("grey.png")) + " -depth 8 " + Quote("pgm:" + Work("from_png.pgm").string())), 0);
  EXPECT_TRUE(ParsePnm(ReadFile(Work("from_png.pgm"))) == DecodeWithLibrary(BaselineStream("grey"), kZfGrey));
}

TEST_F(ToolTest, StandardInputAndOutput) {
  const fs::path input = BaselineStream("s12");
  const ToolResult run = RunTool("--format ppm - -", input.string());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ParsePnm({run.out.begin(), run.out.end()}) == DecodeWithLibrary(input, kZfRgb));

  const ToolResult toFile = RunTool("- " + Quote(Work("in.bgrx")), input.string());
  ASSERT_EQ(toFile.status, 0) << toFile.err;
  EXPECT_EQ(ReadFile(Work("in.bgrx")), DecodeWithLibrary(input, kZfBgrx).bytes);

  const ToolResult noFormat = RunTool(Quote(input) + " -");
  EXPECT_EQ(noFormat.status, 2);
  EXPECT_NE(noFormat.err.find("--format"), std::string::npos);
  EXPECT_EQ(noFormat.out, "");

  const ToolResult refused = RunTool("--format ppm - -", StreamDir() / "source.ppm");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, Refusal("stdin", kZfNotJpeg));
  EXPECT_EQ(refused.out, "");
}

// The reason is the decoder's status, in ZfStatusText's words: the same
// status ZfDecode gives on the stream.
TEST_F(ToolTest, EachRefusalIsNamed) {
  const fs::path base = BaselineStream("s22");
  struct Case {
    fs::path file;
    ZfStatus status;
  };
  WriteFile(StreamDir() / "empty.jpg", {});
  std::vector<uint8_t> cut = ReadFile(base);
  cut.resize(cut.size() / 2 > 400 ? 400 : cut.size() / 2);  // before the scan header
  WriteFile(StreamDir() / "cut.jpg", cut);
  std::vector<Case> cases = {
      {StreamDir() / "source.ppm", kZfNotJpeg},
      {StreamDir() / "empty.jpg", kZfNotJpeg},
      {PatchedStream(base, "lossless.jpg", 0, {0xC3}), kZfLossless},
      {PatchedStream(base, "hierarchical.jpg", 0, {0xC5}), kZfHierarchical},
      {PatchedStream(base, "components2.jpg", 8, {2}), kZfComponentCount},
      {PatchedStream(base, "precision12.jpg", 3, {12}), kZfPrecision},
      {PatchedStream(base, "arith_lossless_sof.jpg", 0, {0xCB}), kZfLossless},
      {PatchedStream(base, "sampling5.jpg", 13, {0x51}), kZfSampling},
      {PatchedStream(base, "zero_height.jpg", 4, {0, 0}), kZfZeroSize},
      {PatchedStream(base, "ids.jpg", 12, {1}), kZfComponents},
      {StreamDir() / "cut.jpg", kZfTruncated},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ZfStatus status = kZfOk;
    DecodeWithLibrary(c.file, kZfBgrx, &status);
    EXPECT_EQ(status, c.status);
    const fs::path output = Work("refused.png");
    const ToolResult run = RunTool(Quote(c.file) + " " + Quote(output));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, Refusal(c.file, c.status));
    EXPECT_FALSE(fs::exists(output));
  }

  // Data the decoder cannot decode: where, by MCU (15 of 16x16 in 67x45).
  std::vector<uint8_t> badScan = ReadFile(base);
  for (size_t i = 2; i + 1 < badScan.size(); ++i) {
    if (badScan[i] == 0xFF && badScan[i + 1] == 0xDA) {  // a marker in the first data bytes
      const size_t data = i + 2 + (badScan[i + 2] << 8 | badScan[i + 3]);
      badScan[data] = 0xFF;
      badScan[data + 1] = 0x01;
      break;
    }
  }
  WriteFile(Work("bad_scan.jpg"), badScan);
  const ToolResult bad = RunTool(Quote(Work("bad_scan.jpg")) + " " + Quote(Work("bad.png")));
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "zentrafold-decode: " + Work("bad_scan.jpg").string() + ": " + ZfStatusText(kZfBadData) +
                         ", at MCU 0 of 15\n");
  EXPECT_FALSE(fs::exists(Work("bad.png")));
}

// A stream whose data breaks off is written, with a warning, and counts as
// decoded; --strict refuses it and writes nothing, also to standard output.
TEST_F(ToolTest, DamagedStreamsAreWrittenWithAWarning) {
  const fs::path cut = CutStream("s22", "damaged.jpg", 200);
  ZfStatus status = kZfOk;
  const Pixels expected = DecodeWithLibrary(cut, kZfRgb, &status);
  ASSERT_EQ(status, kZfDamaged);
  const std::string warning = Refusal(cut, kZfDamaged);
  EXPECT_EQ(warning.rfind("zentrafold-decode: " + cut.string() + ": damaged: ", 0), 0u) << warning;

  const ToolResult single = RunTool(Quote(cut) + " " + Quote(Work("damaged.ppm")));
  EXPECT_EQ(single.status, 0);
  EXPECT_EQ(single.err, warning);
  EXPECT_TRUE(ParsePnm(ReadFile(Work("damaged.ppm"))) == expected);

  const std::string inputs = " " + Quote(cut) + " " + Quote(BaselineStream("s11"));
  const ToolResult batch = RunTool("--format ppm --out-dir " + Quote(Work("out")) + inputs);
  EXPECT_EQ(batch.status, 0);
  EXPECT_EQ(batch.out, "2 decoded (1 damaged), 0 refused\n");
  EXPECT_EQ(batch.err, warning);
  EXPECT_TRUE(ParsePnm(ReadFile(Work("out") / "damaged.ppm")) == expected);

  const std::string refusal = "zentrafold-decode: " + cut.string() + ": " + ZfStatusText(kZfDamaged) +
                              " (refused: --strict)\n";
  const ToolResult strict = RunTool("--strict " + Quote(cut) + " " + Quote(Work("damaged.ppm")));
  EXPECT_EQ(strict.status, 1);
  EXPECT_EQ(strict.err, refusal);
  EXPECT_TRUE(ParsePnm(ReadFile(Work("damaged.ppm"))) == expected) << "the older file was not kept";
  const ToolResult toStdout = RunTool("--strict --format ppm - -", cut);
  EXPECT_EQ(toStdout.status, 1);
  EXPECT_EQ(toStdout.out, "");
  const ToolResult strictBatch = RunTool("--strict --format ppm --out-dir " + Quote(Work("strict")) + inputs);
  EXPECT_EQ(strictBatch.status, 1);
  EXPECT_EQ(strictBatch.out, "1 decoded, 1 refused\n");
  EXPECT_EQ(strictBatch.err, refusal);
  EXPECT_FALSE(fs::exists(Work("strict") / "damaged.ppm"));
  EXPECT_EQ(std::distance(fs::directory_iterator(Work("strict")), fs::directory_iterator()), 1) << "temporary left";
  // A whole stream passes --strict, to standard output too.
  const ToolResult whole = RunTool("--strict --format ppm - -", BaselineStream("s11"));
  EXPECT_EQ(whole.status, 0) << whole.err;
  EXPECT_TRUE(ParsePnm({whole.out.begin(), whole.out.end()}) == DecodeWithLibrary(BaselineStream("s11"), kZfRgb));
}

TEST_F(ToolTest, MaxPixelsRefusesBeforeDecoding) {
  const fs::path input = BaselineStream("s11");  // 67x45 = 3015 pixels
  const ToolResult over = RunTool("--max-pixels 3014 " + Quote(input) + " " + Quote(Work("a.ppm")));
  EXPECT_EQ(over.status, 1);
  EXPECT_EQ(over.err, "zentrafold-decode: " + input.string() + ": " + ZfStatusText(kZfTooLarge) +
                          ": 67x45 (3015 pixels), limit 3014 (--max-pixels)\n");
  EXPECT_FALSE(fs::exists(Work("a.ppm")));
  EXPECT_EQ(RunTool("--max-pixels 3015 " + Quote(input) + " " + Quote(Work("a.ppm"))).status, 0);

  // 65535 x 65535 claimed by a small stream: refused by the default limit,
  // without a 16 GiB section being asked for.
  const fs::path huge = PatchedStream(input, "huge.jpg", 4, {0xFF, 0xFF, 0xFF, 0xFF});
  const ToolResult big = RunTool(Quote(huge) + " " + Quote(Work("b.ppm")));
  EXPECT_EQ(big.status, 1);
  EXPECT_NE(big.err.find(": 65535x65535 (4294836225 pixels), limit 268435456 (--max-pixels)"), std::string::npos)
      << big.err;

  EXPECT_EQ(RunTool("--max-pixels 0 " + Quote(input) + " " + Quote(Work("c.ppm"))).status, 2);
}

TEST_F(ToolTest, InputsOverOneGibibyteAreRefused) {
  const fs::path big = Work("big.jpg");
  {
    std::vector<uint8_t> head = ReadFile(BaselineStream("s11"));
    WriteFile(big, head);
  }
  fs::resize_file(big, (uint64_t{1} << 30) + 1);  // sparse: nothing is written
  const ToolResult run = RunTool(Quote(big) + " " + Quote(Work("big.ppm")));
  fs::remove(big);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("larger than 1 GiB"), std::string::npos) << run.err;
}

TEST_F(ToolTest, UnwritableOutputLeavesNothingBehind) {
  const fs::path input = BaselineStream("s22");
  WriteFile(Work("plain_file"), {1, 2, 3});
  // A directory under a regular file cannot exist, whoever runs the test.
  const fs::path under = Work("plain_file") / "out.png";
  const ToolResult single = RunTool(Quote(input) + " " + Quote(under));
  EXPECT_EQ(single.status, 2);
  EXPECT_NE(single.err.find("cannot create"), std::string::npos) << single.err;

  const ToolResult batch = RunTool("--out-dir " + Quote(Work("plain_file") / "dir") + " " + Quote(input));
  EXPECT_EQ(batch.status, 2);
  EXPECT_NE(batch.err.find("cannot create the output directory"), std::string::npos) << batch.err;
  EXPECT_EQ(ReadFile(Work("plain_file")), (std::vector<uint8_t>{1, 2, 3}));

}

TEST_F(ToolTest, ReadOnlyOutputDirectory) {
  // Permission bits stop writes only for an unprivileged user.
  if (geteuid() == 0) GTEST_SKIP() << "running as root, for whom a read-only directory is writable";
  fs::create_directories(Work("locked"));
  fs::permissions(Work("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  const ToolResult locked = RunTool("--out-dir " + Quote(Work("locked")) + " " + Quote(BaselineStream("s22")));
  fs::permissions(Work("locked"), fs::perms::owner_all);
  EXPECT_EQ(locked.status, 2);
  EXPECT_EQ(locked.out, "0 decoded, 0 refused, 1 failed\n");
  EXPECT_NE(locked.err.find("cannot create"), std::string::npos) << locked.err;
  EXPECT_TRUE(fs::is_empty(Work("locked")));
}

TEST_F(ToolTest, AnOlderFileSurvivesARefusalAndIsReplacedWhole) {
  const fs::path output = Work("keep.ppm");
  WriteFile(output, {'o', 'l', 'd'});
  EXPECT_EQ(RunTool(Quote(StreamDir() / "lossless.jpg") + " " + Quote(output)).status, 1);
  EXPECT_EQ(ReadFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));
  const fs::path input = BaselineStream("s11");
  ASSERT_EQ(RunTool(Quote(input) + " " + Quote(output)).status, 0);
  EXPECT_TRUE(ParsePnm(ReadFile(output)) == DecodeWithLibrary(input, kZfRgb));
  EXPECT_EQ(std::distance(fs::directory_iterator(work_), fs::directory_iterator()), 1) << "temporary file left";
}

// Devices and pipes are written in place: renaming over /dev/full or a FIFO
// would replace it with a regular file.
TEST_F(ToolTest, DevicesAndPipesAreWrittenInPlace) {
  const fs::path input = BaselineStream("s11");
  if (fs::is_character_file("/dev/full")) {
    const ToolResult full = RunTool(Quote(input) + " /dev/full --format bgrx");
    EXPECT_EQ(full.status, 2);
    EXPECT_NE(full.err.find("cannot write"), std::string::npos) << full.err;
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
  }
  const fs::path fifo = Work("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const fs::path copy = Work("copy.bgrx");
  const int status = RunShell("cat " + Quote(fifo) + " > " + Quote(copy) + " & " + Quote(ZENTRAFOLD_DECODE_TOOL) +
                         " --format bgrx " + Quote(input) + " " + Quote(fifo) + "; s=$?; wait; exit $s");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(ReadFile(copy), DecodeWithLibrary(input).bytes);
}

// Another program empties the input while the tool decodes it: the tool
// holds the bytes it read, and never dies of a signal from its input. Made
// deterministic by the output pipe: the first band (1920 x 16 BGRX pixels)
// is more than the pipe holds, so the tool waits in its write until the
// input has been emptied, with the rest of the picture still to decode.
TEST_F(ToolTest, AnInputEmptiedDuringTheDecode) {
  const fs::path input = Work("shrinking.jpg");
  fs::copy_file(LargeStream(), input);
  const fs::path fifo = Work("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const fs::path copy = Work("copy.bgrx");
  const fs::path err = Work("err.txt");
  const int status =
      RunShell(Quote(ZENTRAFOLD_DECODE_TOOL) + " --threads 1 --format bgrx " + Quote(input) + " " + Quote(fifo) +
               " 2> " + Quote(err) + " & exec 3< " + Quote(fifo) + "; : > " + Quote(input) + "; cat <&3 > " +
               Quote(copy) + "; wait $!");
  EXPECT_EQ(status, 0) << "128 + a signal's number: killed by it";
  EXPECT_EQ(fs::file_size(input), 0u);
  EXPECT_EQ(ReadFile(copy), DecodeWithLibrary(LargeStream()).bytes);
  const std::vector<uint8_t> messages = ReadFile(err);
  EXPECT_TRUE(messages.empty()) << std::string(messages.begin(), messages.end());
}

// Killed in the middle of a batch, the tool takes its half-written
// temporary files with it.
TEST_F(ToolTest, AnInterruptedBatchLeavesNoTemporaryFiles) {
  std::string inputs;
  for (int i = 0; i < 40; ++i) {
    inputs += ' ';
    inputs += Quote(LargeStream());
  }
  const fs::path outDir = Work("out");
  const int status = RunShell(Quote(ZENTRAFOLD_DECODE_TOOL) + " --jobs 2 --out-dir " + Quote(outDir) + inputs +
                              " >/dev/null 2>&1 & pid=$!; sleep 0.7; kill -TERM $pid; wait $pid");
  EXPECT_EQ(status, 128 + SIGTERM) << "the tool should have died of the signal";
  size_t pictures = 0;
  for (const auto& entry : fs::directory_iterator(outDir)) {
    EXPECT_EQ(entry.path().extension(), ".png") << entry.path();
    ++pictures;
  }
  EXPECT_LT(pictures, 40u) << "the batch ended before the signal: nothing was tested";
}

TEST_F(ToolTest, BatchGoesOnPastRefusedFiles) {
  const fs::path outDir = Work("out");
  const std::string inputs = Quote(BaselineStream("s11")) + " " + Quote(StreamDir() / "lossless.jpg") + " " +
                             Quote(BaselineStream("grey")) + " " + Quote(StreamDir() / "source.ppm") + " " +
                             Quote(BaselineStream("s22"));
  const ToolResult run = RunTool("--out-dir " + Quote(outDir) + " " + inputs);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "3 decoded, 2 refused\n");
  EXPECT_NE(run.err.find(Refusal(StreamDir() / "lossless.jpg", kZfLossless)), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(Refusal(StreamDir() / "source.ppm", kZfNotJpeg)), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("MP/s"), std::string::npos) << "progress line when stderr is not a terminal";
  for (const char* name : {"s11", "grey", "s22"})
    EXPECT_TRUE(ReadPng(outDir / (std::string(name) + ".png")) ==
                DecodeWithLibrary(BaselineStream(name), std::string(name) == "grey" ? kZfGrey : kZfRgb))
        << name;
  EXPECT_FALSE(fs::exists(outDir / "lossless.png"));
  EXPECT_FALSE(fs::exists(outDir / "source.png"));

  const ToolResult allGood = RunTool("--out-dir " + Quote(outDir) + " --format ppm " + Quote(BaselineStream("s21")));
  EXPECT_EQ(allGood.status, 0);
  EXPECT_EQ(allGood.out, "1 decoded, 0 refused\n");
  EXPECT_TRUE(fs::exists(outDir / "s21.ppm"));
}

// Inputs of the same name in different directories each keep their output.
TEST_F(ToolTest, BatchNamesCollidingOutputsApart) {
  for (const char* dir : {"a", "b", "c"}) fs::create_directories(Work(dir));
  fs::copy_file(BaselineStream("s11"), Work("a") / "pic.jpg");
  fs::copy_file(BaselineStream("s22"), Work("b") / "pic.jpg");
  fs::copy_file(BaselineStream("grey"), Work("c") / "pic-2.jpg");
  const fs::path outDir = Work("out");
  const ToolResult run = RunTool("--out-dir " + Quote(outDir) + " --format bgrx " + Quote(Work("a") / "pic.jpg") +
                                 " " + Quote(Work("b") / "pic.jpg") + " " + Quote(Work("c") / "pic-2.jpg"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(outDir / "pic.bgrx"), DecodeWithLibrary(BaselineStream("s11")).bytes);
  EXPECT_EQ(ReadFile(outDir / "pic-2.bgrx"), DecodeWithLibrary(BaselineStream("s22")).bytes);
  EXPECT_EQ(ReadFile(outDir / "pic-2-2.bgrx"), DecodeWithLibrary(BaselineStream("grey")).bytes);
}

TEST_F(ToolTest, ParallelBatchMatchesSequentialByteForByte) {
  std::string inputs;
  // Every sampling, several times over, so that the workers' states are
  // reused across streams of different layouts.
  for (int round = 0; round < 4; ++round) {
    for (const std::string& name : BaselineNames()) {
      const fs::path copy = Work(name + "_" + std::to_string(round) + ".jpg");
      fs::copy_file(BaselineStream(name), copy, fs::copy_options::overwrite_existing);
      inputs += ' ';
      inputs += Quote(copy);
    }
  }
  inputs += ' ';
  inputs += Quote(StreamDir() / "lossless.jpg");
  for (const char* format : {"png", "bmp"}) {
    SCOPED_TRACE(format);
    const fs::path one = Work(std::string("jobs1_") + format), four = Work(std::string("jobs4_") + format);
    const ToolResult sequential = RunTool("--jobs 1 --format " + std::string(format) + " --out-dir " + Quote(one) + inputs);
    const ToolResult parallel = RunTool("--jobs 4 --format " + std::string(format) + " --out-dir " + Quote(four) + inputs);
    EXPECT_EQ(sequential.status, 1);
    EXPECT_EQ(parallel.status, 1);
    EXPECT_EQ(sequential.out, "24 decoded, 1 refused\n");
    EXPECT_EQ(parallel.out, sequential.out);
    size_t compared = 0;
    for (const auto& entry : fs::directory_iterator(one)) {
      EXPECT_EQ(ReadFile(entry.path()), ReadFile(four / entry.path().filename())) << entry.path();
      ++compared;
    }
    EXPECT_EQ(compared, 24u);
  }
}

// One picture on several threads writes the bytes of one thread: whole
// pictures (with threads the tool decodes those of up to 64 MiB whole), with
// and without restart intervals, also cut short; and a bad count is a usage
// error.
TEST_F(ToolTest, ThreadsWriteTheBytesOfOneThread) {
  const fs::path large = LargeStream();
  const std::vector<uint8_t> whole = ReadFile(large);
  const fs::path cut = Work("cut.jpg");
  WriteFile(cut, std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)));
  for (const fs::path& input : {large, BaselineStream("restart"), cut}) {
    for (const char* format : {"bgrx", "ppm"}) {
      const fs::path one = Work(std::string("one.") + format), three = Work(std::string("three.") + format);
      const ToolResult a = RunTool("--threads 1 " + Quote(input) + " " + Quote(one));
      const ToolResult b = RunTool("--threads 3 " + Quote(input) + " " + Quote(three));
      EXPECT_EQ(a.status, 0) << input;
      EXPECT_EQ(b.status, a.status) << input;
      EXPECT_EQ(b.err, a.err) << input;
      EXPECT_EQ(ReadFile(one), ReadFile(three)) << input << " " << format;
    }
  }
  EXPECT_EQ(RunTool("--threads 0 " + Quote(large) + " " + Quote(Work("x.ppm"))).status, 2);
  EXPECT_EQ(RunTool("--threads 65 " + Quote(large) + " " + Quote(Work("x.ppm"))).status, 2);
}

TEST_F(ToolTest, ProgressLineOnlyOnATerminal) {
  if (!HaveCommand("script")) GTEST_SKIP() << "script(1) is not installed to provide a terminal";
  const fs::path log = Work("terminal.log");
  // script runs the command on a pseudo-terminal and logs what it showed.
  const std::string command = Quote(ZENTRAFOLD_DECODE_TOOL) + " --format bmp --out-dir " + Quote(Work("out")) +
                              " " + Quote(BaselineStream("s11")) + " " + Quote(BaselineStream("s22"));
  ASSERT_EQ(RunShell("script -qec " + Quote(command) + " " + Quote(log) + " > /dev/null"), 0);
  const std::vector<uint8_t> shown = ReadFile(log);
  const std::string text(shown.begin(), shown.end());
  EXPECT_NE(text.find("2/2 files"), std::string::npos) << text;
  EXPECT_NE(text.find("MP/s"), std::string::npos) << text;
  EXPECT_NE(text.find("2 decoded, 0 refused"), std::string::npos) << text;
}

TEST_F(ToolTest, UsageHelpAndVersion) {
  const ToolResult help = RunTool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: zentrafold-decode"), std::string::npos);
  EXPECT_NE(help.out.find("Examples:"), std::string::npos);
  const ToolResult version = RunTool("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind(std::string("zentrafold-decode ") + ZfVersionText() + "\nfast paths: " + ZfFastPaths() +
                                  "\n",
                              0),
            0u)
      << version.out;
  const fs::path scalar = Work("scalar.txt");
  ASSERT_EQ(RunShell("ZENTRAFOLD_FORCE_SCALAR=1 " + Quote(ZENTRAFOLD_DECODE_TOOL) + " --version > " + Quote(scalar)), 0);
  const std::vector<uint8_t> scalarText = ReadFile(scalar);
  EXPECT_NE(std::string(scalarText.begin(), scalarText.end()).find("\nfast paths: scalar\n"), std::string::npos);
  for (const std::string& bad : {std::string(""), std::string("--bogus a b"), std::string("--jobs 0 --out-dir x a"),
                                 std::string("--format gif a b"), std::string("only_one"),
                                 std::string("--out-dir x -"), std::string("--strict=1 a b")}) {
    SCOPED_TRACE(bad);
    const ToolResult run = RunTool(bad);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("zentrafold-decode: ", 0), 0u) << run.err;
  }
  const ToolResult missing = RunTool(Quote(Work("absent.jpg")) + " " + Quote(Work("x.png")));
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos);
}

// A grey picture of `width` x `height` with texture, through cjpeg; the
// source goes down a pipe, so no picture-sized file is made.
fs::path MakeGreyStream(const fs::path& path, uint32_t width, uint32_t height) {
  std::FILE* pipe = popen(("cjpeg -grayscale -quality 80 > " + Quote(path)).c_str(), "w");
  if (pipe == nullptr) return {};
  std::fprintf(pipe, "P5\n%u %u\n255\n", width, height);
  std::vector<uint8_t> row(width);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) row[x] = static_cast<uint8_t>((x / 7) ^ (y / 5));
    std::fwrite(row.data(), 1, row.size(), pipe);
  }
  return pclose(pipe) == 0 ? path : fs::path{};
}

// Runs the tool with `arguments` (no shell, output discarded) and gives its
// peak resident set in bytes, or -1 when it did not exit with 0.
int64_t PeakMemory(const std::vector<std::string>& arguments) {
  std::vector<std::string> words = {ZENTRAFOLD_DECODE_TOOL};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return int64_t{usage.ru_maxrss} * 1024;  // kilobytes on Linux
}

// The picture goes out band by band: a tall grey picture to PNG takes about
// the memory of a short one of the same width, far less than its pixels.
TEST_F(ToolTest, TallPictureToPngInBoundedMemory) {
  constexpr uint32_t kWidth = 4096, kTall = 32768;  // 128 MiB of grey pixels
  const fs::path tall = MakeGreyStream(Work("tall.jpg"), kWidth, kTall);
  const fs::path shortOne = MakeGreyStream(Work("short.jpg"), kWidth, 256);
  ASSERT_FALSE(tall.empty() || shortOne.empty()) << "cjpeg failed";
  const int64_t shortPeak = PeakMemory({shortOne.string(), Work("short.png").string()});
  const int64_t tallPeak = PeakMemory({tall.string(), Work("tall.png").string()});
  ASSERT_GT(shortPeak, 0);
  ASSERT_GT(tallPeak, 0);
  std::printf("peak memory: %.1f MiB for %ux256, %.1f MiB for %ux%u (stream %.1f MiB)\n", shortPeak / 1048576.0, kWidth,
              tallPeak / 1048576.0, kWidth, kTall, static_cast<double>(fs::file_size(tall)) / 1048576.0);
  EXPECT_LT(tallPeak, shortPeak + (int64_t{16} << 20));
  EXPECT_LT(tallPeak, int64_t{kWidth} * kTall / 2);
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, Work("tall.png").c_str()));
  EXPECT_EQ(image.width, kWidth);
  EXPECT_EQ(image.height, kTall);
  EXPECT_EQ(image.format, static_cast<png_uint_32>(PNG_FORMAT_GRAY));
  png_image_free(&image);
  fs::remove_all(work_);
}

}  // namespace
}  // namespace zentrafold::test

namespace zentrafold::test {
namespace {

// Photographs from plasma-workspace-wallpapers, when installed: the smallest
// of each kind (grey, each luma sampling, progressive, restart intervals), in
// one batch.
TEST_F(ToolTest, WallpaperPhotographsInOneBatch) {
  const std::vector<fs::path> picks = SmallestPhotographOfEachKind();
  if (picks.empty()) GTEST_SKIP() << "plasma-workspace-wallpapers is not installed";
  std::string inputs, refusals;
  std::vector<std::string> paths;
  size_t expectDecoded = 0, expectRefused = 0;
  for (const fs::path& pick : picks) {
    inputs += ' ';
    inputs += Quote(pick);
    paths.push_back(pick.string());
    ZfStatus status = kZfOk;
    DecodeWithLibrary(pick, kZfBgrx, &status);
    if (status == kZfOk) {
      ++expectDecoded;
    } else {
      ++expectRefused;
      refusals += Refusal(pick, status);
    }
  }
  ASSERT_GT(expectDecoded, 0u);
  const fs::path outDir = Work("out");
  const ToolResult run = RunTool("--jobs 1 --format bmp --out-dir " + Quote(outDir) + inputs);
  EXPECT_EQ(run.out, std::to_string(expectDecoded) + " decoded, " + std::to_string(expectRefused) + " refused\n");
  EXPECT_EQ(run.status, expectRefused != 0 ? 1 : 0);
  EXPECT_EQ(run.err, refusals);
  // Several are called screenshot.jpg: the outputs are named apart in order.
  const std::vector<std::string> outputs = tool::PlanOutputNames(paths, outDir.string(), tool::OutputFormat::kBmp);
  for (size_t i = 0; i < paths.size(); ++i) {
    const Pixels expected = DecodeWithLibrary(paths[i], kZfBgrx);
    if (expected.bytes.empty()) {
      EXPECT_FALSE(fs::exists(outputs[i]));
      continue;
    }
    EXPECT_TRUE(ParseBmp(ReadFile(outputs[i])) == expected) << paths[i];
  }
}

}  // namespace
}  // namespace zentrafold::test

namespace zentrafold::test {
namespace {

// A stream with (marker, body) segments put after its SOI.
std::vector<uint8_t> WithSegments(const std::vector<uint8_t>& stream,
                                  const std::vector<std::pair<uint8_t, std::vector<uint8_t>>>& segments) {
  std::vector<uint8_t> out(stream.begin(), stream.begin() + 2);
  for (const auto& [marker, body] : segments) {
    const size_t length = body.size() + 2;
    out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    out.insert(out.end(), body.begin(), body.end());
  }
  out.insert(out.end(), stream.begin() + 2, stream.end());
  return out;
}

std::vector<uint8_t> ExifOrientation(uint8_t orientation) {
  return {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
          0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, orientation, 0, 0, 0, 0, 0, 0};
}

std::vector<uint8_t> IccChunk(uint8_t number, uint8_t count, const std::string& part) {
  std::vector<uint8_t> body = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, number, count};
  for (char c : part) body.push_back(static_cast<uint8_t>(c));
  return body;
}

// The library's view of a stream file, in `format`.
Pixels ViewWithLibrary(const fs::path& path, ZfView view, ZfFormat format) {
  const std::vector<uint8_t> bytes = ReadFile(path);
  ZfInfo info;
  Pixels pixels;
  if (ZfReadInfo(bytes.data(), bytes.size(), &info) != kZfOk) return pixels;
  if (ZfViewSize(&info, &view, &pixels.width, &pixels.height) != kZfOk) return pixels;
  pixels.channels = ZfBytesPerPixel(format);
  pixels.bytes.resize(size_t{pixels.width} * pixels.height * pixels.channels);
  ZfDecoder* decoder = ZfCreateDecoder(nullptr);
  const ZfOutput output{format, pixels.bytes.data(), size_t{pixels.width} * pixels.channels, nullptr, nullptr};
  const ZfStatus status = ZfDecodeView(decoder, bytes.data(), bytes.size(), &output, &view);
  ZfDestroyDecoder(decoder);
  if (status != kZfOk) pixels = Pixels{};
  return pixels;
}

TEST_F(ToolTest, ScaleCropOrientAndIcc) {
  const fs::path turned = Work("turned.jpg");
  WriteFile(turned, WithSegments(ReadFile(BaselineStream("s22")),
                                 {{0xE1, ExifOrientation(6)}, {0xE2, IccChunk(2, 2, "profile")},
                                  {0xE2, IccChunk(1, 2, "an ICC ")}}));
  // --crop is a region of the scaled, turned picture.
  const ToolResult run = RunTool("--scale 1/4 --crop 8x7+3+2 --orient --icc " + Quote(Work("out.icc")) + " " +
                                 Quote(turned) + " " + Quote(Work("out.ppm")));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ParsePnm(ReadFile(Work("out.ppm"))) == ViewWithLibrary(turned, ZfView{4, 6, 3, 2, 8, 7}, kZfRgb));
  const std::vector<uint8_t> icc = ReadFile(Work("out.icc"));
  EXPECT_EQ(std::string(icc.begin(), icc.end()), "an ICC profile");
  // Without --orient the picture is written as stored; bands carry a scaled
  // picture too, as the whole-picture path does (threads).
  for (const char* threads : {"1", "2"}) {
    const ToolResult stored = RunTool(std::string("--threads ") + threads + " --scale 1/2 -f pgm " + Quote(turned) +
                                      " " + Quote(Work("stored.pgm")));
    ASSERT_EQ(stored.status, 0) << stored.err;
    EXPECT_TRUE(ParsePnm(ReadFile(Work("stored.pgm"))) == ViewWithLibrary(turned, ZfView{2, 0, 0, 0, 0, 0}, kZfGrey));
  }

  // Batch mode takes them: a folder of thumbnails.
  const fs::path outDir = Work("thumbs");
  const ToolResult batch = RunTool("--scale 1/8 --orient --format ppm --out-dir " + Quote(outDir) + " " +
                                   Quote(turned) + " " + Quote(BaselineStream("s11")));
  ASSERT_EQ(batch.status, 0) << batch.err;
  EXPECT_EQ(batch.out, "2 decoded, 0 refused\n");
  EXPECT_TRUE(ParsePnm(ReadFile(outDir / "turned.ppm")) == ViewWithLibrary(turned, ZfView{8, 6, 0, 0, 0, 0}, kZfRgb));
  EXPECT_TRUE(ParsePnm(ReadFile(outDir / "s11.ppm")) ==
              ViewWithLibrary(BaselineStream("s11"), ZfView{8, 0, 0, 0, 0, 0}, kZfRgb));
}

TEST_F(ToolTest, ViewsThePictureCannotGiveAreRefused) {
  const fs::path input = BaselineStream("s22");
  const ToolResult outside = RunTool("--crop 100000x1+0+0 " + Quote(input) + " " + Quote(Work("x.ppm")));
  EXPECT_EQ(outside.status, 1);
  EXPECT_NE(outside.err.find("(--crop) is not inside the"), std::string::npos) << outside.err;
  EXPECT_FALSE(fs::exists(Work("x.ppm")));
  for (const char* bad : {"--scale 1/3", "--scale 2", "--crop 0x5+1+1", "--crop 5x5+1", "--crop 5x5-1-1"}) {
    const ToolResult usage = RunTool(std::string(bad) + " " + Quote(input) + " " + Quote(Work("x.ppm")));
    EXPECT_EQ(usage.status, 2) << bad;
  }
  const ToolResult iccBatch = RunTool("--icc x.icc --out-dir " + Quote(Work("d")) + " " + Quote(input));
  EXPECT_EQ(iccBatch.status, 2);
  // Chunks that do not make a profile refuse the file: nothing is written.
  const fs::path broken = Work("broken.jpg");
  WriteFile(broken, WithSegments(ReadFile(input), {{0xE2, IccChunk(1, 2, "half")}}));
  const ToolResult chunks = RunTool("--icc " + Quote(Work("b.icc")) + " " + Quote(broken) + " " + Quote(Work("b.ppm")));
  EXPECT_EQ(chunks.status, 1);
  EXPECT_NE(chunks.err.find(ZfStatusText(kZfIccChunks)), std::string::npos) << chunks.err;
  EXPECT_FALSE(fs::exists(Work("b.icc")));
  EXPECT_FALSE(fs::exists(Work("b.ppm")));
}

}  // namespace
}  // namespace zentrafold::test
