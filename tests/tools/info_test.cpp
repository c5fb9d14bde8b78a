// --info and the refusal reasons: they are the decoder's own header stage
// (ZfReadInfo), so they must agree with what ZfDecode does on every stream
// we have: the committed test streams and the fuzz seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "batch.h"
#include "info.h"
#include "test_streams.h"

namespace zentrafold::test {
namespace {

namespace fs = std::filesystem;

TEST(InfoTest, DescribesTheHeadersAndTheDecodersVerdict) {
  const ToolResult run = RunTool("--info " + Quote(BaselineStream("restart")) + " " + Quote(BaselineStream("grey")));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, BaselineStream("restart").string() +
                         ": 67x45, baseline, 8-bit, 3 components (1: 2x2 q0, 2: 1x1 q1, 3: 1x1 q1), "
                         "restart interval 10, YCbCr; decoder: ok\n" +
                         BaselineStream("grey").string() +
                         ": 67x45, baseline, 8-bit, 1 component (1: 1x1 q0), restart interval 0, grey; decoder: ok\n");
  const ToolResult refused = RunTool("--info -", StreamDir() / "lossless.jpg");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "stdin: 67x45, lossless, 8-bit, 3 components (1: 1x1 q0, 2: 1x1 q1, 3: 1x1 q1), "
                         "restart interval 0; decoder: " +
                             std::string(ZfStatusText(kZfLossless)) + "\n");
  const ToolResult notJpeg = RunTool("--info " + Quote(StreamDir() / "source.ppm"));
  EXPECT_EQ(notJpeg.status, 1);
  EXPECT_EQ(notJpeg.out, (StreamDir() / "source.ppm").string() + ": no frame header; decoder: " +
                             ZfStatusText(kZfNotJpeg) + "\n");
  // More than four components: the first four, then an ellipsis.
  const fs::path five = PatchedStream(BaselineStream("s11"), "five.jpg", 8, {5});
  ZfInfo info;
  std::vector<uint8_t> bytes = ReadFile(five);
  const ZfStatus status = ZfReadInfo(bytes.data(), bytes.size(), &info);
  EXPECT_NE(tool::DescribeStream(info, status).find(" 5 components (1: 1x1 q0, 2: 1x1 q1, 3: 1x1 q1, "),
            std::string::npos)
      << tool::DescribeStream(info, status);
  EXPECT_NE(tool::DescribeStream(info, status).find(", ...), restart interval 0; decoder: "), std::string::npos);
}

// --info gives the status the decode gives, the pixel limit included.
TEST(InfoTest, HonoursTheLimitAsTheDecodeDoes) {
  const fs::path stream = BaselineStream("restart");  // 67x45: 3015 pixels
  const ToolResult info = RunTool("--max-pixels 3014 --info " + Quote(stream));
  const ToolResult decode = RunTool("--max-pixels 3014 " + Quote(stream) + " " + Quote(StreamDir() / "limit.ppm"));
  EXPECT_NE(decode.status, 0);
  EXPECT_NE(decode.err.find(ZfStatusText(kZfTooLarge)), std::string::npos) << decode.err;
  EXPECT_EQ(info.status, 1);
  EXPECT_EQ(info.out, stream.string() +
                          ": 67x45, baseline, 8-bit, 3 components (1: 2x2 q0, 2: 1x1 q1, 3: 1x1 q1), "
                          "restart interval 10; decoder: " +
                          ZfStatusText(kZfTooLarge) + " (limit 3014, --max-pixels)\n");
  const ToolResult within = RunTool("--max-pixels 3015 --info " + Quote(stream));
  EXPECT_EQ(within.status, 0);
  EXPECT_NE(within.out.find("decoder: ok"), std::string::npos) << within.out;
}

// Every stream: ZfReadInfo's status is the one ZfDecode stops at when the
// headers are refused; --info prints that status and the frame header; a
// decode refuses exactly the streams ZfDecode refuses, with ZfStatusText,
// and writes ZfDecode's pixels for the others.
TEST(InfoTest, AgreesWithTheDecoderOnEveryTestStreamAndFuzzSeed) {
  const fs::path seeds = StreamDir() / "seeds";
  ASSERT_EQ(RunShell(Quote(fs::path(ZENTRAFOLD_SOURCE_DIR) / "fuzz" / "make_seed_corpus.sh") + " " + Quote(seeds) +
                     " > /dev/null"),
            0);
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(seeds)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 30u) << "tests/data and the made seeds";

  std::string inputs, expectedErrors;
  size_t decoded = 0, damaged = 0, refused = 0, refusedAtHeaders = 0;
  std::vector<ZfInfo> infos;
  std::vector<ZfStatus> headerStatuses;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file);
    inputs += ' ' + Quote(file);
    const std::vector<uint8_t> bytes = ReadFile(file);
    ZfInfo info;
    const ZfStatus atHeaders = ZfReadInfo(bytes.data(), bytes.size(), &info);
    infos.push_back(info);
    headerStatuses.push_back(atHeaders);
    ZfStatus decodedStatus = kZfOk;
    DecodeWithLibrary(file, kZfBgrx, &decodedStatus);
    if (atHeaders != kZfOk) {
      EXPECT_EQ(decodedStatus, atHeaders);
      ++refusedAtHeaders;
    } else {
      EXPECT_TRUE(decodedStatus == kZfOk || decodedStatus == kZfDamaged || decodedStatus == kZfBadData)
          << ZfStatusText(decodedStatus);
    }
    if (decodedStatus == kZfOk || decodedStatus == kZfDamaged) {
      ++decoded;
      if (decodedStatus == kZfDamaged) {
        ++damaged;
        expectedErrors += "zentrafold-decode: " + file.string() + ": " + ZfStatusText(kZfDamaged) + "\n";
      }
    } else {
      ++refused;
      if (decodedStatus != kZfBadData)
        expectedErrors += "zentrafold-decode: " + file.string() + ": " + ZfStatusText(decodedStatus) + "\n";
    }
  }
  EXPECT_GT(refusedAtHeaders, 0u);

  const ToolResult info = RunTool("--info" + inputs);
  EXPECT_EQ(info.status, refusedAtHeaders != 0 ? 1 : 0);
  std::istringstream lines(info.out);
  std::string line;
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    ASSERT_TRUE(std::getline(lines, line));
    const ZfInfo& expected = infos[i];
    std::string start = files[i].string() + ": ";
    if (expected.frameMarker != 0) {
      start += std::to_string(expected.width) + "x" + std::to_string(expected.height) + ", " +
               ZfFrameKindText(expected.frameMarker) + ", " + std::to_string(expected.precision) + "-bit, " +
               std::to_string(expected.components) + " component";
    }
    EXPECT_EQ(line.rfind(start, 0), 0u) << line;
    const std::string end = std::string("; decoder: ") + ZfStatusText(headerStatuses[i]);
    EXPECT_EQ(line.size() >= end.size() ? line.substr(line.size() - end.size()) : line, end);
  }
  EXPECT_FALSE(std::getline(lines, line)) << "more lines than inputs";

  const fs::path outDir = StreamDir() / "seeds-decoded";
  const ToolResult run = RunTool("--jobs 1 --format bgrx --out-dir " + Quote(outDir) + inputs);
  EXPECT_EQ(run.status, refused != 0 ? 1 : 0);
  EXPECT_EQ(run.out, std::to_string(decoded) + " decoded" +
                         (damaged != 0 ? " (" + std::to_string(damaged) + " damaged)" : std::string()) + ", " +
                         std::to_string(refused) + " refused\n");
  // Bad data adds where it was found; every other line is exactly the status.
  std::string errors;
  std::istringstream errorLines(run.err);
  while (std::getline(errorLines, line)) {
    const size_t mcu = line.find(std::string(ZfStatusText(kZfBadData)) + ", at MCU ");
    if (mcu == std::string::npos) errors += line + "\n";
  }
  EXPECT_EQ(errors, expectedErrors);
  const std::vector<std::string> names(files.begin(), files.end());
  const std::vector<std::string> outputs = tool::PlanOutputNames(names, outDir.string(), tool::OutputFormat::kBgrx);
  for (size_t i = 0; i < files.size(); ++i) {
    const Pixels expected = DecodeWithLibrary(files[i], kZfBgrx);
    if (expected.bytes.empty()) EXPECT_FALSE(fs::exists(outputs[i])) << files[i];
    else EXPECT_EQ(ReadFile(outputs[i]), expected.bytes) << files[i];
  }
}

}  // namespace
}  // namespace zentrafold::test
