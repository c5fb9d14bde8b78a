// Test streams made at run time: baseline JPEGs from cjpeg in each sampling,
// the refused kinds (cjpeg's progressive and arithmetic output, CMYK from
// ImageMagick, baseline streams with their frame header patched), and the
// helpers to run commands and compare pixels.
#pragma once

#include <zentrafold/zentrafold.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zentrafold::test {

// A directory, private to this test process, holding the streams below.
// Made on first use; removed when the process ends.
const std::filesystem::path& StreamDir();

// Baseline streams in profile, by name: "s11", "s12", "s21", "s22" (colour in
// each luma sampling), "grey", "restart" (2x2 with restart markers). Odd
// sizes, so the last MCU row and column are partial.
std::filesystem::path BaselineStream(const std::string& name);
std::vector<std::string> BaselineNames();

// A copy of `source` with `patch` applied at `offset` from the code byte of
// its first SOF0 marker (0: the code, 3: the precision, 4-5: the height, 6-7:
// the width, 9: the first component's identifier). Written as NAME in
// StreamDir.
std::filesystem::path PatchedStream(const std::filesystem::path& source, const std::string& name, size_t offset,
                                    const std::vector<uint8_t>& patch);

// A 1920x1440 baseline stream (2x2 sampling), made on first use: big enough
// that writing its PNG takes a noticeable time.
std::filesystem::path LargeStream();

// Runs a shell command; returns its exit status (-1 when it did not exit).
int RunShell(const std::string& command);

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs zentrafold-decode with `arguments` (already quoted as needed),
// standard input from `stdinPath` when given.
ToolResult RunTool(const std::string& arguments, const std::string& stdinPath = "/dev/null");

std::string Quote(const std::filesystem::path& path);
std::vector<uint8_t> ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
bool HaveCommand(const std::string& name);

// The decoder's pixels for a stream, through the C API (ZfReadInfo, then
// ZfDecode of the whole picture in `format`); `status` is ZfDecode's, or
// ZfReadInfo's when it refused. Readers of the tool's output files give the
// same struct: rows top to bottom, `channels` bytes per pixel (4: blue,
// green, red, 0; 3: red, green, blue; 1: grey).
struct Pixels {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 0;
  std::vector<uint8_t> bytes;
  bool operator==(const Pixels& other) const {
    return width == other.width && height == other.height && channels == other.channels && bytes == other.bytes;
  }
};
// The smallest photograph of plasma-workspace-wallpapers of each kind (frame
// process, component count, luma sampling, with or without a restart
// interval), ordered by kind; none when the package is not installed.
std::vector<std::filesystem::path> SmallestPhotographOfEachKind();

// A PNG read back with libpng as it is stored: 8-bit grey (1 channel) or
// 8-bit RGB (3); empty for anything else.
Pixels ReadPng(const std::filesystem::path& path);

Pixels DecodeWithLibrary(const std::filesystem::path& stream, ZfFormat format = kZfBgrx,
                         ZfStatus* status = nullptr);

// A copy of baseline stream `name` cut `drop` bytes before its end (its EOI
// and the end of its data go): the decoder makes up the rest (kZfDamaged).
// Written as NAME in StreamDir.
std::filesystem::path CutStream(const std::string& name, const std::string& newName, size_t drop);

}  // namespace zentrafold::test
