// zentrafold-decode end to end: what it writes, what it refuses and why, its
// exit status, and that it never leaves a partial file.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <map>
#include <filesystem>
#include <string>

#include "batch.h"
#include "inspect.h"
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

// Readers for the formats, independent of the tool's writers.
Pixels ReadPng(const fs::path& path) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  Pixels pixels;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return pixels;
  if (image.format != PNG_FORMAT_RGB) {  // the tool writes 8-bit RGB, nothing else
    png_image_free(&image);
    return pixels;
  }
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return pixels;
  pixels.width = image.width;
  pixels.height = image.height;
  for (size_t i = 0; i < rgb.size(); i += 3) pixels.bgrx.insert(pixels.bgrx.end(), {rgb[i + 2], rgb[i + 1], rgb[i], 0});
  return pixels;
}

Pixels ParsePpm(const std::vector<uint8_t>& bytes) {
  Pixels pixels;
  unsigned width = 0, height = 0, maxValue = 0;
  int headerLength = 0;
  const std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
  if (std::sscanf(head.c_str(), "P6 %u %u %u%n", &width, &height, &maxValue, &headerLength) != 3) return pixels;
  const size_t start = static_cast<size_t>(headerLength) + 1;  // one whitespace byte after the maximum
  if (maxValue != 255 || bytes.size() != start + size_t{width} * height * 3) return pixels;
  pixels.width = width;
  pixels.height = height;
  for (size_t i = start; i < bytes.size(); i += 3)
    pixels.bgrx.insert(pixels.bgrx.end(), {bytes[i + 2], bytes[i + 1], bytes[i], 0});
  return pixels;
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
  if (bytes.size() != offset + size_t{pixels.width} * pixels.height * 4) return Pixels{};
  pixels.bgrx.assign(bytes.begin() + offset, bytes.end());
  return pixels;
}

Pixels ParseBgrx(const std::vector<uint8_t>& bytes, uint32_t width, uint32_t height) {
  if (bytes.size() != size_t{width} * height * 4) return Pixels{};
  return Pixels{width, height, bytes};
}

TEST_F(ToolTest, EveryFormatHoldsTheDecodersPixels) {
  for (const std::string& name : BaselineNames()) {
    SCOPED_TRACE(name);
    const fs::path input = BaselineStream(name);
    const Pixels expected = DecodeWithLibrary(input);
    ASSERT_FALSE(expected.bgrx.empty());
    for (const char* ext : {"png", "ppm", "bmp", "bgrx"}) {
      SCOPED_TRACE(ext);
      const fs::path output = Work(name + "." + ext);
      const ToolResult run = RunTool(Quote(input) + " " + Quote(output));
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.err, "");
      const std::vector<uint8_t> bytes = ReadFile(output);
      const Pixels got = std::string(ext) == "png"   ? ReadPng(output)
                         : std::string(ext) == "ppm" ? ParsePpm(bytes)
                         : std::string(ext) == "bmp" ? ParseBmp(bytes)
                                                     : ParseBgrx(bytes, expected.width, expected.height);
      EXPECT_TRUE(got == expected);
    }
  }
}

TEST_F(ToolTest, FormatOptionOverridesTheExtension) {
  const fs::path input = BaselineStream("s22");
  const ToolResult run = RunTool("--format=bmp " + Quote(input) + " " + Quote(Work("picture.png")));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ParseBmp(ReadFile(Work("picture.png"))) == DecodeWithLibrary(input));

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
  EXPECT_TRUE(ParsePpm(ReadFile(Work("from_bmp.ppm"))) == DecodeWithLibrary(input));
}

TEST_F(ToolTest, StandardInputAndOutput) {
  const fs::path input = BaselineStream("s12");
  const Pixels expected = DecodeWithLibrary(input);
  const ToolResult run = RunTool("--format ppm - -", input.string());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ParsePpm({run.out.begin(), run.out.end()}) == expected);

  const ToolResult toFile = RunTool("- " + Quote(Work("in.bgrx")), input.string());
  ASSERT_EQ(toFile.status, 0) << toFile.err;
  EXPECT_EQ(ReadFile(Work("in.bgrx")), expected.bgrx);

  const ToolResult noFormat = RunTool(Quote(input) + " -");
  EXPECT_EQ(noFormat.status, 2);
  EXPECT_NE(noFormat.err.find("--format"), std::string::npos);
  EXPECT_EQ(noFormat.out, "");

  const ToolResult refused = RunTool("--format ppm - -", StreamDir() / "source.ppm");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "zentrafold-decode: stdin: not a JPEG\n");
  EXPECT_EQ(refused.out, "");
}

struct RefusalCase {
  std::string file;
  std::string reason;  // a phrase the message must hold
};

TEST_F(ToolTest, EachRefusalIsNamed) {
  const fs::path base = BaselineStream("s22");
  std::vector<RefusalCase> cases = {
      {(StreamDir() / "source.ppm").string(), ": not a JPEG"},
      {(StreamDir() / "progressive.jpg").string(), "progressive"},
      {PatchedStream(base, "lossless.jpg", 0, {0xC3}).string(), "lossless"},
      {PatchedStream(base, "hierarchical.jpg", 0, {0xC5}).string(), "hierarchical"},
      {PatchedStream(base, "extended.jpg", 0, {0xC1}).string(), "extended sequential"},
      {PatchedStream(base, "precision12.jpg", 3, {12}).string(), "12-bit precision"},
      {PatchedStream(base, "arith_sof.jpg", 0, {0xC9}).string(), "arithmetic-coded"},
      {(StreamDir() / "sampling41.jpg").string(), "sampling 4x1, 1x1, 1x1"},
      {PatchedStream(base, "zero_height.jpg", 4, {0, 0}).string(), "width or height 0"},
      {PatchedStream(base, "ids.jpg", 9, {'R'}).string(), "component identifiers 82, 2, 3"},
  };
  // Cut before the scan header: damaged, with nothing more the header can tell.
  std::vector<uint8_t> cut = ReadFile(base);
  cut.resize(cut.size() / 2 > 400 ? 400 : cut.size() / 2);
  WriteFile(StreamDir() / "cut.jpg", cut);
  cases.push_back({(StreamDir() / "cut.jpg").string(), "damaged or unsupported stream"});
  std::vector<uint8_t> badScan = ReadFile(base);
  for (size_t i = 2; i + 1 < badScan.size(); ++i) {
    if (badScan[i] == 0xFF && badScan[i + 1] == 0xDA) {  // a marker in the first data bytes
      const size_t data = i + 2 + (badScan[i + 2] << 8 | badScan[i + 3]);
      badScan[data] = 0xFF;
      badScan[data + 1] = 0x01;
      break;
    }
  }
  WriteFile(StreamDir() / "bad_scan.jpg", badScan);
  cases.push_back({(StreamDir() / "bad_scan.jpg").string(), "damaged or unsupported stream"});
  if (fs::exists(StreamDir() / "arithmetic.jpg"))
    cases.push_back({(StreamDir() / "arithmetic.jpg").string(), "arithmetic-coded"});
  if (fs::exists(StreamDir() / "cmyk.jpg")) cases.push_back({(StreamDir() / "cmyk.jpg").string(), "4 components"});

  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.file);
    const fs::path output = Work("refused.png");
    const ToolResult run = RunTool(Quote(c.file) + " " + Quote(output));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("zentrafold-decode: " + c.file + ": ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(fs::exists(output));
  }
  if (!fs::exists(StreamDir() / "arithmetic.jpg")) std::puts("note: this cjpeg has no -arithmetic; case left out");
  if (!fs::exists(StreamDir() / "cmyk.jpg")) std::puts("note: no convert for a CMYK stream; case left out");
}

TEST_F(ToolTest, MaxPixelsRefusesBeforeDecoding) {
  const fs::path input = BaselineStream("s11");  // 67x45 = 3015 pixels
  const ToolResult over = RunTool("--max-pixels 3014 " + Quote(input) + " " + Quote(Work("a.ppm")));
  EXPECT_EQ(over.status, 1);
  EXPECT_NE(over.err.find("67x45 (3015 pixels)"), std::string::npos) << over.err;
  EXPECT_NE(over.err.find("--max-pixels 3014"), std::string::npos) << over.err;
  EXPECT_FALSE(fs::exists(Work("a.ppm")));
  EXPECT_EQ(RunTool("--max-pixels 3015 " + Quote(input) + " " + Quote(Work("a.ppm"))).status, 0);

  // 65535 x 65535 claimed by a small stream: refused by the default limit,
  // without a 16 GiB section being asked for.
  const fs::path huge = PatchedStream(input, "huge.jpg", 4, {0xFF, 0xFF, 0xFF, 0xFF});
  const ToolResult big = RunTool(Quote(huge) + " " + Quote(Work("b.ppm")));
  EXPECT_EQ(big.status, 1);
  EXPECT_NE(big.err.find("65535x65535 (4294836225 pixels) is larger than --max-pixels 268435456"),
            std::string::npos)
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
  EXPECT_EQ(RunTool(Quote(StreamDir() / "progressive.jpg") + " " + Quote(output)).status, 1);
  EXPECT_EQ(ReadFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));
  const fs::path input = BaselineStream("s11");
  ASSERT_EQ(RunTool(Quote(input) + " " + Quote(output)).status, 0);
  EXPECT_TRUE(ParsePpm(ReadFile(output)) == DecodeWithLibrary(input));
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
  EXPECT_EQ(ReadFile(copy), DecodeWithLibrary(input).bgrx);
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
  const std::string inputs = Quote(BaselineStream("s11")) + " " + Quote(StreamDir() / "progressive.jpg") + " " +
                             Quote(BaselineStream("grey")) + " " + Quote(StreamDir() / "source.ppm") + " " +
                             Quote(BaselineStream("s22"));
  const ToolResult run = RunTool("--out-dir " + Quote(outDir) + " " + inputs);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "3 decoded, 2 refused\n");
  EXPECT_NE(run.err.find((StreamDir() / "progressive.jpg").string() + ": progressive"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find((StreamDir() / "source.ppm").string() + ": not a JPEG"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("MP/s"), std::string::npos) << "progress line when stderr is not a terminal";
  for (const char* name : {"s11", "grey", "s22"})
    EXPECT_TRUE(ReadPng(outDir / (std::string(name) + ".png")) == DecodeWithLibrary(BaselineStream(name))) << name;
  EXPECT_FALSE(fs::exists(outDir / "progressive.png"));
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
  EXPECT_EQ(ReadFile(outDir / "pic.bgrx"), DecodeWithLibrary(BaselineStream("s11")).bgrx);
  EXPECT_EQ(ReadFile(outDir / "pic-2.bgrx"), DecodeWithLibrary(BaselineStream("s22")).bgrx);
  EXPECT_EQ(ReadFile(outDir / "pic-2-2.bgrx"), DecodeWithLibrary(BaselineStream("grey")).bgrx);
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
  inputs += Quote(StreamDir() / "progressive.jpg");
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

TEST_F(ToolTest, InfoDescribesTheFrameHeader) {
  const ToolResult run = RunTool("--info " + Quote(BaselineStream("restart")) + " " + Quote(BaselineStream("grey")));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, BaselineStream("restart").string() +
                         ": 67x45, baseline, 8-bit, 3 components (1: 2x2 q0, 2: 1x1 q1, 3: 1x1 q1), "
                         "restart interval 10, in profile\n" +
                         BaselineStream("grey").string() +
                         ": 67x45, baseline, 8-bit, 1 component (1: 1x1 q0), restart interval 0, in profile\n");
  const ToolResult refused = RunTool("--info -", StreamDir() / "progressive.jpg");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("stdin: 67x45, progressive"), std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find("not in profile: progressive"), std::string::npos) << refused.out;
  EXPECT_TRUE(fs::is_empty(work_)) << "--info wrote a file";
}

TEST_F(ToolTest, UsageHelpAndVersion) {
  const ToolResult help = RunTool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: zentrafold-decode"), std::string::npos);
  EXPECT_NE(help.out.find("Examples:"), std::string::npos);
  const ToolResult version = RunTool("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("zentrafold-decode ", 0), 0u);
  for (const std::string& bad : {std::string(""), std::string("--bogus a b"), std::string("--jobs 0 --out-dir x a"),
                                 std::string("--format gif a b"), std::string("only_one"),
                                 std::string("--out-dir x -")}) {
    SCOPED_TRACE(bad);
    const ToolResult run = RunTool(bad);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("zentrafold-decode: ", 0), 0u) << run.err;
  }
  const ToolResult missing = RunTool(Quote(Work("absent.jpg")) + " " + Quote(Work("x.png")));
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos);
}

}  // namespace
}  // namespace zentrafold::test

namespace zentrafold::test {
namespace {

// Photographs from plasma-workspace-wallpapers, when installed: the smallest
// of each kind (grey, each luma sampling, progressive), in one batch.
TEST_F(ToolTest, WallpaperPhotographsInOneBatch) {
  const fs::path root = "/usr/share/wallpapers";
  if (!fs::is_directory(root)) GTEST_SKIP() << "plasma-workspace-wallpapers is not installed";
  struct Pick {
    fs::path path;
    uint64_t pixels = UINT64_MAX;
  };
  std::map<std::string, Pick> smallest;  // by kind
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().extension() != ".jpg") continue;
    const std::vector<uint8_t> bytes = ReadFile(entry.path());
    const tool::StreamInfo info = tool::InspectStream(bytes.data(), bytes.size());
    if (!info.frameFound) continue;
    const std::string kind = tool::DescribeFrameKind(info.frameMarker) + " " +
                             std::to_string(info.componentCount) + " " + std::to_string(info.components[0].sampling);
    Pick& pick = smallest[kind];
    if (info.Pixels() < pick.pixels) pick = Pick{entry.path(), info.Pixels()};
  }
  std::string inputs;
  std::vector<std::string> paths;
  size_t expectDecoded = 0, expectRefused = 0;
  for (const auto& [kind, pick] : smallest) {
    inputs += ' ';
    inputs += Quote(pick.path);
    paths.push_back(pick.path.string());
    (kind.rfind("baseline", 0) == 0 ? expectDecoded : expectRefused) += 1;
  }
  ASSERT_GT(expectDecoded, 0u);
  const fs::path outDir = Work("out");
  const ToolResult run = RunTool("--format bmp --out-dir " + Quote(outDir) + inputs);
  EXPECT_EQ(run.out, std::to_string(expectDecoded) + " decoded, " + std::to_string(expectRefused) + " refused\n");
  EXPECT_EQ(run.status, expectRefused != 0 ? 1 : 0);
  EXPECT_EQ(static_cast<size_t>(std::count(run.err.begin(), run.err.end(), '\n')), expectRefused) << run.err;
  for (size_t at = 0; (at = run.err.find('\n', at)) != std::string::npos; ++at) {
    const size_t start = run.err.rfind('\n', at - 1);
    const std::string line = run.err.substr(start == std::string::npos ? 0 : start + 1, at - start);
    EXPECT_NE(line.find(": progressive JPEG"), std::string::npos) << line;
  }
  // Several are called screenshot.jpg: the outputs are named apart in order.
  const std::vector<std::string> outputs = tool::PlanOutputNames(paths, outDir.string(), tool::OutputFormat::kBmp);
  size_t index = 0;
  for (const auto& [kind, pick] : smallest) {
    const fs::path output = outputs[index++];
    if (kind.rfind("baseline", 0) != 0) {
      EXPECT_FALSE(fs::exists(output));
      continue;
    }
    const Pixels expected = DecodeWithLibrary(pick.path);
    EXPECT_FALSE(expected.bgrx.empty()) << pick.path;
    EXPECT_TRUE(ParseBmp(ReadFile(output)) == expected) << kind << ": " << pick.path;
  }
}

}  // namespace
}  // namespace zentrafold::test
