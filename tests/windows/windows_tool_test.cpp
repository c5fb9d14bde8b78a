// zentrafold-decode.exe of the Windows builds, run under Wine, against this
// build's zentrafold-decode: the same bytes for every committed stream and
// for photographs, the same refusals with the same exit status and reason,
// Windows paths (drive letters, backslashes, names that differ in case
// only), PNG through the system's encoder, and the fast paths it names.
//
//   windows_tool_tests --exe=zentrafold-decode.exe [--exe-x86=...] --wine=wine --wineprefix=DIR
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_streams.h"

namespace zentrafold::test {
namespace {

namespace fs = std::filesystem;

std::string exePath, exeX86Path, winePath, winePrefix;

// What the Windows program writes to a text stream ends lines with CR LF.
std::string WithoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

// The Windows name of a path on this machine: Wine's drive Z: is the root.
std::string WindowsPath(const fs::path& path) {
  std::string name = "Z:" + fs::absolute(path).lexically_normal().string();
  for (char& c : name)
    if (c == '/') c = '\\';
  return name;
}

// Runs `command` (quoted as needed) in `directory`, standard input from
// `stdinPath`, and gives its exit status and output.
ToolResult RunIn(const fs::path& directory, const std::string& command, const std::string& stdinPath = "/dev/null") {
  static int counter = 0;
  const fs::path base = StreamDir() / ("run-" + std::to_string(counter++));
  const fs::path out = base.string() + ".out", err = base.string() + ".err";
  ToolResult result;
  result.status = RunShell("cd " + Quote(directory) + " && " + command + " < " + Quote(stdinPath) + " > " +
                           Quote(out) + " 2> " + Quote(err));
  const std::vector<uint8_t> outBytes = ReadFile(out), errBytes = ReadFile(err);
  result.out.assign(outBytes.begin(), outBytes.end());
  result.err = WithoutCarriageReturns(std::string(errBytes.begin(), errBytes.end()));
  fs::remove(out);
  fs::remove(err);
  return result;
}

// A Windows program under Wine (no display, the shared prefix), with
// `environment` ("NAME=value ...") added.
ToolResult RunWine(const std::string& exe, const std::string& arguments, const fs::path& directory,
                   const std::string& environment = "", const std::string& stdinPath = "/dev/null") {
  return RunIn(directory,
               "env -u DISPLAY WINEPREFIX=" + Quote(winePrefix) + " WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' " +
                   environment + " " + Quote(winePath) + " " + Quote(exe) + " " + arguments,
               stdinPath);
}

// This build's tool.
ToolResult RunLinux(const std::string& arguments, const fs::path& directory) {
  return RunIn(directory, Quote(ZENTRAFOLD_DECODE_TOOL) + " " + arguments);
}


// Every file of a directory, by name.
std::map<std::string, std::vector<uint8_t>> Files(const fs::path& directory) {
  std::map<std::string, std::vector<uint8_t>> files;
  if (!fs::is_directory(directory)) return files;
  for (const auto& entry : fs::directory_iterator(directory))
    files[entry.path().filename().string()] = ReadFile(entry.path());
  return files;
}

// Which files differ (or are missing on one side) between two directories.
std::string DirectoryDifferences(const fs::path& expected, const fs::path& got) {
  const auto want = Files(expected), have = Files(got);
  std::string differences;
  for (const auto& [name, bytes] : want) {
    const auto it = have.find(name);
    if (it == have.end()) differences += " missing " + name;
    else if (it->second != bytes) differences += " differs " + name;
  }
  for (const auto& [name, bytes] : have)
    if (want.count(name) == 0) differences += " extra " + name;
  return differences;
}

class WindowsTool : public ::testing::Test {
 protected:
  // The first start makes the prefix (wineboot), which takes a while.
  static void SetUpTestSuite() {
    const ToolResult boot = RunWine(exePath, "--version", StreamDir());
    ASSERT_EQ(boot.status, 0) << "the Windows tool does not start under Wine: " << boot.err;
  }

  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(exePath)) << exePath;
    work_ = StreamDir() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(work_);
  }
  fs::path Work(const std::string& name) const { return work_ / name; }
  fs::path work_;
};

const fs::path kData = ZENTRAFOLD_TEST_DATA;

std::vector<std::string> CommittedStreams() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kData))
    if (entry.path().extension() == ".jpg") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) {
    joined += ' ';
    joined += Quote(name);
  }
  return joined;
}

TEST_F(WindowsTool, VersionNamesTheFastPathsAndTheSystemPngEncoder) {
  const ToolResult version = RunWine(exePath, "--version", work_);
  ASSERT_EQ(version.status, 0);
  // The same processor as this process: the same paths as this build picks
  // (avx2 where the processor has it).
  EXPECT_NE(version.out.find(std::string("\nfast paths: ") + ZfFastPaths() + "\r\n"), std::string::npos)
      << version.out;
  EXPECT_NE(version.out.find("png output: Windows Imaging Component"), std::string::npos) << version.out;
  const ToolResult scalar = RunWine(exePath, "--version", work_, "ZENTRAFOLD_FORCE_SCALAR=1");
  EXPECT_NE(scalar.out.find("\nfast paths: scalar\r\n"), std::string::npos) << scalar.out;
}

// Each committed stream in one batch, bgrx and ppm, with the fast paths and
// forced scalar: the same files, bytes, summary and refusals as this build.
TEST_F(WindowsTool, EveryCommittedStreamAsOnLinux) {
  const std::vector<std::string> streams = CommittedStreams();
  ASSERT_GT(streams.size(), 20u);
  for (const std::string format : {"bgrx", "ppm"}) {
    const fs::path linuxDir = Work("linux-" + format);
    const std::string batch = "--jobs 1 --format " + format + " --out-dir ";
    const ToolResult linux = RunLinux(batch + Quote(linuxDir) + Joined(streams), kData);
    ASSERT_EQ(linux.status, 1) << "some committed streams are refused";
    for (const std::string environment : {"", "ZENTRAFOLD_FORCE_SCALAR=1"}) {
      SCOPED_TRACE(format + " " + environment);
      const fs::path windowsDir = Work("windows-" + format + (environment.empty() ? "" : "-scalar"));
      const ToolResult windows = RunWine(exePath, batch + Quote(WindowsPath(windowsDir)) + Joined(streams), kData,
                                         environment);
      EXPECT_EQ(windows.status, linux.status);
      EXPECT_EQ(WithoutCarriageReturns(windows.out), linux.out);
      EXPECT_EQ(windows.err, linux.err);
      EXPECT_EQ(DirectoryDifferences(linuxDir, windowsDir), "");
    }
  }
}

// One file at a time: the streams the tool refuses (of those the bitmap
// entry refuses, named refuse_*) with the same exit status and reason, and
// nothing written.
TEST_F(WindowsTool, RefusesAsOnLinux) {
  size_t refused = 0;
  for (const std::string& stream : CommittedStreams()) {
    if (stream.rfind("refuse_", 0) != 0) continue;
    SCOPED_TRACE(stream);
    const ToolResult linux = RunLinux(Quote(stream) + " " + Quote(Work("linux.ppm")), kData);
    if (linux.status == 0) continue;  // the library opens it
    ++refused;
    const ToolResult windows = RunWine(exePath, Quote(stream) + " " + Quote(WindowsPath(Work("windows.ppm"))), kData);
    EXPECT_EQ(linux.status, 1);
    EXPECT_EQ(windows.status, linux.status);
    EXPECT_EQ(windows.err, linux.err);
    EXPECT_FALSE(fs::exists(Work("windows.ppm")));
  }
  EXPECT_GE(refused, 1u);
  // Not a JPEG at all, and a file that is not there.
  const ToolResult notJpeg = RunWine(exePath, "--format ppm - -", work_, "", (kData / "hashes.txt").string());
  EXPECT_EQ(notJpeg.status, 1);
  EXPECT_EQ(notJpeg.err, std::string("zentrafold-decode: stdin: ") + ZfStatusText(kZfNotJpeg) + "\n");
  const ToolResult missing = RunWine(exePath, "missing.jpg out.ppm", work_);
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("missing.jpg: cannot read"), std::string::npos) << missing.err;
}

// Drive letters and backslashes on both sides, a space in a directory's
// name, an upper-case extension; an existing output replaced whole; no
// temporary file left behind.
TEST_F(WindowsTool, WindowsPaths) {
  const fs::path outDir = Work("out dir");
  fs::create_directories(outDir);
  const fs::path stream = kData / "size_250x40.jpg";
  ASSERT_EQ(RunLinux(Quote(stream) + " " + Quote(Work("linux.bmp")), work_).status, 0);
  WriteFile(outDir / "Picture.BMP", std::vector<uint8_t>(100000, 0x55));  // longer than the picture
  const ToolResult run =
      RunWine(exePath, Quote(WindowsPath(stream)) + " " + Quote(WindowsPath(outDir / "Picture.BMP")), work_);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(outDir / "Picture.BMP"), ReadFile(Work("linux.bmp")));
  EXPECT_EQ(Files(outDir).size(), 1u) << "a temporary file was left";

  // Names outside the ANSI code page's ASCII part, single and batch.
  fs::copy_file(stream, Work("été photo.jpg"));
  const ToolResult accented = RunWine(exePath, Quote("été photo.jpg") + " " + Quote("sortie é.bmp"), work_);
  EXPECT_EQ(accented.status, 0) << accented.err;
  EXPECT_EQ(ReadFile(Work("sortie é.bmp")), ReadFile(Work("linux.bmp")));
  const ToolResult batch = RunWine(exePath, "--format bmp --out-dir " + Quote("dé") + " " + Quote("été photo.jpg"), work_);
  EXPECT_EQ(batch.status, 0) << batch.err;
  EXPECT_EQ(ReadFile(Work("dé") / "été photo.bmp"), ReadFile(Work("linux.bmp")));

  // Standard input to standard output.
  const ToolResult piped = RunWine(exePath, "--format ppm - -", work_, "", stream.string());
  EXPECT_EQ(piped.status, 0);
  ASSERT_EQ(RunLinux(Quote(stream) + " " + Quote(Work("linux.ppm")), work_).status, 0);
  const std::vector<uint8_t> expected = ReadFile(Work("linux.ppm"));
  EXPECT_TRUE(std::vector<uint8_t>(piped.out.begin(), piped.out.end()) == expected) << "stdout differs";
}

// Batch inputs whose names differ in case only, from directories given with
// backslashes: Windows file names ignore case, so they must not land on one
// output file.
TEST_F(WindowsTool, BatchNamesThatDifferInCaseOnly) {
  fs::create_directories(Work("a"));
  fs::create_directories(Work("b"));
  fs::copy_file(kData / "size_17x17.jpg", Work("a") / "Photo.jpg");
  fs::copy_file(kData / "grey.jpg", Work("b") / "photo.jpg");
  const fs::path outDir = Work("out");
  const ToolResult run = RunWine(exePath,
                                 "--format ppm --out-dir " + Quote(WindowsPath(outDir)) + " " +
                                     Quote(WindowsPath(Work("a") / "Photo.jpg")) + " " + Quote("b\\photo.jpg"),
                                 work_);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(WithoutCarriageReturns(run.out), "2 decoded, 0 refused\n");
  ASSERT_EQ(RunLinux(Quote(kData / "size_17x17.jpg") + " " + Quote(Work("colour.ppm")), work_).status, 0);
  ASSERT_EQ(RunLinux(Quote(kData / "grey.jpg") + " " + Quote(Work("grey.ppm")), work_).status, 0);
  EXPECT_EQ(ReadFile(outDir / "Photo.ppm"), ReadFile(Work("colour.ppm")));
  EXPECT_EQ(ReadFile(outDir / "photo-2.ppm"), ReadFile(Work("grey.ppm")));
}

// PNG through the Windows Imaging Component: colour and grey, to a file and
// to standard output, holding the decoder's pixels.
TEST_F(WindowsTool, PngHoldsTheDecodersPixels) {
  for (const std::string name : {"s22", "grey", "restart"}) {
    SCOPED_TRACE(name);
    const fs::path stream = BaselineStream(name);
    const Pixels expected = DecodeWithLibrary(stream, name == "grey" ? kZfGrey : kZfRgb);
    ASSERT_FALSE(expected.bytes.empty());
    const ToolResult run = RunWine(exePath, Quote(stream) + " " + Quote(WindowsPath(Work(name + ".png"))), work_);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadPng(Work(name + ".png")) == expected);
    const ToolResult piped = RunWine(exePath, "--format png - -", work_, "", stream.string());
    EXPECT_EQ(piped.status, 0) << piped.err;
    WriteFile(Work(name + "-stdout.png"), {piped.out.begin(), piped.out.end()});
    EXPECT_TRUE(ReadPng(Work(name + "-stdout.png")) == expected);
  }
}

// A stream cut short: written with the same warning as on Linux, and
// refused under --strict.
TEST_F(WindowsTool, DamagedStreams) {
  const fs::path cut = CutStream("s21", "cut.jpg", 200);
  const ToolResult linux = RunLinux(Quote(cut) + " " + Quote(Work("linux.ppm")), work_);
  const ToolResult windows = RunWine(exePath, Quote(cut) + " " + Quote(WindowsPath(Work("windows.ppm"))), work_);
  EXPECT_EQ(linux.status, 0);
  EXPECT_EQ(windows.status, 0);
  EXPECT_EQ(windows.err, linux.err);
  EXPECT_EQ(ReadFile(Work("windows.ppm")), ReadFile(Work("linux.ppm")));
  const ToolResult strict = RunWine(exePath, "--strict " + Quote(cut) + " " + Quote(WindowsPath(Work("strict.ppm"))), work_);
  const ToolResult linuxStrict = RunLinux("--strict " + Quote(cut) + " " + Quote(Work("strict.ppm")), work_);
  EXPECT_EQ(strict.status, 1);
  EXPECT_EQ(strict.err, linuxStrict.err);
  EXPECT_FALSE(fs::exists(Work("strict.ppm")));
}

// Photographs from plasma-workspace-wallpapers, when installed: the
// smallest of each kind (grey, each sampling, progressive) in one batch,
// with the fast paths and forced scalar.
TEST_F(WindowsTool, PhotographsAsOnLinux) {
  const std::vector<fs::path> picks = SmallestPhotographOfEachKind();
  if (picks.empty()) GTEST_SKIP() << "plasma-workspace-wallpapers is not installed";
  std::string inputs;
  for (const fs::path& pick : picks) {
    inputs += ' ';
    inputs += Quote(pick);
  }
  const fs::path linuxDir = Work("linux");
  const ToolResult linux = RunLinux("--jobs 1 --format ppm --out-dir " + Quote(linuxDir) + inputs, work_);
  ASSERT_NE(linux.out.find(" decoded"), std::string::npos);
  ASSERT_FALSE(Files(linuxDir).empty());
  for (const std::string environment : {"", "ZENTRAFOLD_FORCE_SCALAR=1"}) {
    SCOPED_TRACE(environment);
    const fs::path windowsDir = Work(environment.empty() ? "windows" : "windows-scalar");
    const ToolResult windows = RunWine(
        exePath, "--jobs 1 --format ppm --out-dir " + Quote(WindowsPath(windowsDir)) + inputs, work_, environment);
    EXPECT_EQ(windows.status, linux.status);
    EXPECT_EQ(WithoutCarriageReturns(windows.out), linux.out);
    EXPECT_EQ(windows.err, linux.err);
    EXPECT_EQ(DirectoryDifferences(linuxDir, windowsDir), "");
  }
}

// The 32-bit build, where this Wine can run 32-bit programs (Debian's wine32
// package): a few streams, fast and scalar.
TEST_F(WindowsTool, X86BuildOnAFewStreams) {
  if (exeX86Path.empty()) GTEST_SKIP() << "no x86 build given";
  const ToolResult version = RunWine(exeX86Path, "--version", work_);
  // Without 32-bit support Wine says so on standard error and runs nothing.
  if (version.status != 0 || version.out.find("fast paths: ") == std::string::npos)
    GTEST_SKIP() << "this Wine does not run 32-bit programs: " << version.err;
  EXPECT_NE(version.out.find("png output: Windows Imaging Component"), std::string::npos) << version.out;
  const std::vector<std::string> streams = {"sample_2x2.jpg", "grey.jpg", "restart_row.jpg", "noise_q100.jpg",
                                            "refuse_progressive.jpg"};
  const fs::path linuxDir = Work("linux");
  const ToolResult linux = RunLinux("--jobs 1 --format bgrx --out-dir " + Quote(linuxDir) + Joined(streams), kData);
  for (const std::string environment : {"", "ZENTRAFOLD_FORCE_SCALAR=1"}) {
    SCOPED_TRACE(environment);
    const fs::path windowsDir = Work(environment.empty() ? "windows" : "windows-scalar");
    const ToolResult windows = RunWine(
        exeX86Path, "--jobs 1 --format bgrx --out-dir " + Quote(WindowsPath(windowsDir)) + Joined(streams), kData,
        environment);
    EXPECT_EQ(windows.status, linux.status);
    EXPECT_EQ(windows.err, linux.err);
    EXPECT_EQ(DirectoryDifferences(linuxDir, windowsDir), "");
  }
}

}  // namespace
}  // namespace zentrafold::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto take = [&arg](const char* name, std::string& into) {
      const size_t n = std::strlen(name);
      if (arg.compare(0, n, name) == 0) into = arg.substr(n);
    };
    take("--exe=", zentrafold::test::exePath);
    take("--exe-x86=", zentrafold::test::exeX86Path);
    take("--wine=", zentrafold::test::winePath);
    take("--wineprefix=", zentrafold::test::winePrefix);
  }
  if (zentrafold::test::exePath.empty() || zentrafold::test::winePath.empty() ||
      zentrafold::test::winePrefix.empty()) {
    std::fprintf(stderr, "usage: %s --exe=FILE.exe [--exe-x86=FILE.exe] --wine=WINE --wineprefix=DIR\n", argv[0]);
    return 2;
  }
  return RUN_ALL_TESTS();
}
