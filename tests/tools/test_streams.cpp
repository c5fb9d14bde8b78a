#include "test_streams.h"

#include <png.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <iterator>
#include <stdexcept>

namespace zentrafold::test {
namespace fs = std::filesystem;
namespace {

// A picture with edges, gradients and texture in every channel, so that
// every coefficient position and the chroma paths get exercised.
void WriteSourcePpm(const fs::path& path, int width, int height) {
  std::vector<uint8_t> bytes;
  const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  bytes.insert(bytes.end(), header.begin(), header.end());
  uint32_t noise = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      noise = noise * 1103515245u + 12345u;
      const int grain = static_cast<int>((noise >> 16) & 31) - 16;
      const int r = (x * 255) / (width - 1);
      const int g = ((x / 6 + y / 6) % 2) ? 220 : 30;
      const int b = (y * 255) / (height - 1);
      auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
      bytes.push_back(clamp(r + grain));
      bytes.push_back(clamp(g + grain / 2));
      bytes.push_back(clamp(b - grain));
    }
  }
  WriteFile(path, bytes);
}

void MustRun(const std::string& command) {
  if (RunShell(command) != 0) throw std::runtime_error("test set-up failed: " + command);
}

void MakeStreams(const fs::path& dir) {
  fs::create_directories(dir);
  const fs::path source = dir / "source.ppm";
  WriteSourcePpm(source, 67, 45);
  const std::string src = Quote(source);
  auto cjpeg = [&](const std::string& options, const std::string& name) {
    MustRun("cjpeg " + options + " " + src + " > " + Quote(dir / name));
  };
  cjpeg("-sample 1x1", "s11.jpg");
  cjpeg("-sample 1x2", "s12.jpg");
  cjpeg("-sample 2x1", "s21.jpg");
  cjpeg("-sample 2x2", "s22.jpg");
  cjpeg("-grayscale", "grey.jpg");
  cjpeg("-sample 2x2 -restart 2", "restart.jpg");
  cjpeg("-progressive", "progressive.jpg");
  // A stream every entry refuses: a baseline one under a lossless frame header.
  std::vector<uint8_t> lossless = ReadFile(dir / "s11.jpg");
  for (size_t i = 2; i + 1 < lossless.size(); ++i) {
    if (lossless[i] == 0xFF && lossless[i + 1] == 0xC0) {
      lossless[i + 1] = 0xC3;
      break;
    }
  }
  WriteFile(dir / "lossless.jpg", lossless);
  cjpeg("-sample 4x1", "sampling41.jpg");
  if (RunShell("convert " + src + " -colorspace CMYK " + Quote(dir / "cmyk.jpg") + " 2>/dev/null") != 0)
    fs::remove(dir / "cmyk.jpg");
}

}  // namespace

const fs::path& StreamDir() {
  // Never destroyed, so that the exit handler that removes it can still read it.
  static const fs::path* const dir = [] {
    auto* path = new fs::path(fs::path(ZENTRAFOLD_TEST_SCRATCH) / ("streams-" + std::to_string(getpid())));
    fs::remove_all(*path);
    MakeStreams(*path);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(StreamDir(), ec);
    });
    return path;
  }();
  return *dir;
}

std::filesystem::path LargeStream() {
  const fs::path path = StreamDir() / "large.jpg";
  if (!fs::exists(path)) {
    WriteSourcePpm(StreamDir() / "large.ppm", 1920, 1440);
    MustRun("cjpeg -sample 2x2 " + Quote(StreamDir() / "large.ppm") + " > " + Quote(path));
    fs::remove(StreamDir() / "large.ppm");
  }
  return path;
}

std::filesystem::path BaselineStream(const std::string& name) { return StreamDir() / (name + ".jpg"); }
std::vector<std::string> BaselineNames() { return {"s11", "s12", "s21", "s22", "grey", "restart"}; }

std::filesystem::path PatchedStream(const fs::path& source, const std::string& name, size_t offset,
                                    const std::vector<uint8_t>& patch) {
  std::vector<uint8_t> bytes = ReadFile(source);
  for (size_t i = 2; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {
      if (i + 1 + offset + patch.size() > bytes.size()) break;
      std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i + 1 + offset));
      const fs::path path = StreamDir() / name;
      WriteFile(path, bytes);
      return path;
    }
  }
  throw std::runtime_error("no SOF0 in " + source.string());
}

int RunShell(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string Quote(const fs::path& path) {
  std::string quoted = "'";
  for (char c : path.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

ToolResult RunTool(const std::string& arguments, const std::string& stdinPath) {
  static int counter = 0;
  const fs::path base = StreamDir() / ("run" + std::to_string(counter++));
  const fs::path out = base.string() + ".out", err = base.string() + ".err";
  ToolResult result;
  result.status = RunShell(Quote(ZENTRAFOLD_DECODE_TOOL) + " " + arguments + " < " + Quote(stdinPath) + " > " +
                      Quote(out) + " 2> " + Quote(err));
  const std::vector<uint8_t> outBytes = ReadFile(out), errBytes = ReadFile(err);
  result.out.assign(outBytes.begin(), outBytes.end());
  result.err.assign(errBytes.begin(), errBytes.end());
  fs::remove(out);
  fs::remove(err);
  return result;
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool HaveCommand(const std::string& name) { return RunShell("command -v " + name + " >/dev/null 2>&1") == 0; }

Pixels DecodeWithLibrary(const fs::path& stream, ZfFormat format, ZfStatus* status) {
  const std::vector<uint8_t> bytes = ReadFile(stream);
  static const uint8_t kNoBytes = 0;
  const uint8_t* data = bytes.empty() ? &kNoBytes : bytes.data();
  Pixels pixels;
  ZfInfo info;
  ZfStatus result = ZfReadInfo(data, bytes.size(), &info);
  if (result == kZfOk) {
    pixels.width = info.width;
    pixels.height = info.height;
    pixels.channels = ZfBytesPerPixel(format);
    pixels.bytes.resize(size_t{info.width} * info.height * pixels.channels);
    ZfOptions options{};
    options.maxPixels = UINT64_MAX;
    ZfDecoder* decoder = ZfCreateDecoder(&options);
    const ZfOutput output{format, pixels.bytes.data(), size_t{info.width} * pixels.channels, nullptr, nullptr};
    result = ZfDecode(decoder, data, bytes.size(), &output);
    ZfDestroyDecoder(decoder);
  }
  if (status != nullptr) *status = result;
  return result == kZfOk || result == kZfDamaged ? pixels : Pixels{};
}

fs::path CutStream(const std::string& name, const std::string& newName, size_t drop) {
  std::vector<uint8_t> bytes = ReadFile(BaselineStream(name));
  bytes.resize(bytes.size() - drop);
  const fs::path path = StreamDir() / newName;
  WriteFile(path, bytes);
  return path;
}

Pixels ReadPng(const fs::path& path) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  Pixels pixels;
  if (!png_image_begin_read_from_file(&image, path.string().c_str())) return pixels;
  if (image.format != PNG_FORMAT_RGB && image.format != PNG_FORMAT_GRAY) {  // the tool writes nothing else
    png_image_free(&image);
    return pixels;
  }
  std::vector<uint8_t> bytes(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) return pixels;
  return Pixels{image.width, image.height, PNG_IMAGE_PIXEL_CHANNELS(image.format), bytes};
}

std::vector<std::filesystem::path> SmallestPhotographOfEachKind() {
  namespace fs = std::filesystem;
  const fs::path root = "/usr/share/wallpapers";
  std::map<std::string, std::pair<uint64_t, fs::path>> smallest;  // by kind: pixels, path
  if (!fs::is_directory(root)) return {};
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().extension() != ".jpg") continue;
    const std::vector<uint8_t> bytes = ReadFile(entry.path());
    ZfInfo info;
    ZfReadInfo(bytes.data(), bytes.size(), &info);
    if (info.frameMarker == 0) continue;
    const std::string kind = std::string(ZfFrameKindText(info.frameMarker)) + " " + std::to_string(info.components) +
                             " " + std::to_string(info.component[0].sampling) + " " +
                             std::to_string(info.restartInterval != 0);
    const uint64_t pixels = uint64_t{info.width} * info.height;
    auto [it, added] = smallest.try_emplace(kind, pixels, entry.path());
    if (!added && pixels < it->second.first) it->second = {pixels, entry.path()};
  }
  std::vector<fs::path> picks;
  for (const auto& [kind, pick] : smallest) picks.push_back(pick.second);
  return picks;
}

}  // namespace zentrafold::test
