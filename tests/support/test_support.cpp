#include "test_support.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#ifndef ZENTRAFOLD_TEST_DATA
#error "ZENTRAFOLD_TEST_DATA must name the test data folder"
#endif

namespace zentrafold::test {

std::filesystem::path DataDir() { return ZENTRAFOLD_TEST_DATA; }

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes ReadData(const std::string& name) { return ReadFile(DataDir() / name); }

std::vector<std::filesystem::path> Photographs(bool baseline, size_t limit) {
  namespace fs = std::filesystem;
  const fs::path root = "/usr/share/wallpapers";
  std::set<fs::path> unique;
  if (fs::exists(root)) {
    for (const auto& entry : fs::recursive_directory_iterator(root))
      if (entry.path().extension() == ".jpg") unique.insert(fs::canonical(entry.path()));
  }
  std::vector<fs::path> out;
  for (const fs::path& p : unique) {
    if (out.size() == limit) break;
    const bool isBaseline = FindMarker(ReadFile(p), 0xC0) != std::string::npos;
    if (isBaseline == baseline) out.push_back(p);
  }
  return out;
}

std::optional<Picture> Decode(const Bytes& stream) {
  ImageRecord* image = DecodeImage(stream.data(), stream.size(), nullptr);
  if (image == nullptr) return std::nullopt;
  Picture picture;
  picture.width = image->header.biWidth;
  picture.height = -image->header.biHeight;
  const auto* bits = static_cast<const uint8_t*>(image->bits);
  picture.bgrx.assign(bits, bits + static_cast<size_t>(picture.width) * picture.height * 4);
  DeleteObject(image->bitmap);
  return picture;
}

uint64_t Fnv1a(const uint8_t* data, size_t size) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

size_t FindMarker(const Bytes& stream, uint8_t code) {
  size_t pos = 2;
  while (pos + 3 < stream.size() && stream[pos] == 0xFF) {
    if (stream[pos + 1] == code) return pos;
    if (stream[pos + 1] == 0xDA) break;
    pos += 2 + (stream[pos + 2] << 8 | stream[pos + 3]);
  }
  return std::string::npos;
}

size_t ScanDataOffset(const Bytes& stream) {
  const size_t sos = FindMarker(stream, 0xDA);
  if (sos == std::string::npos) throw std::runtime_error("no SOS");
  return sos + 2 + (stream[sos + 2] << 8 | stream[sos + 3]);
}

void BitWriter::Put(uint32_t value, int bits) {
  for (int i = bits - 1; i >= 0; --i) {
    accumulator_ = accumulator_ << 1 | ((value >> i) & 1);
    if (++count_ == 8) {
      bytes_.push_back(static_cast<uint8_t>(accumulator_));
      if (accumulator_ == 0xFF) bytes_.push_back(0x00);  // byte stuffing
      accumulator_ = 0;
      count_ = 0;
    }
  }
}

Bytes BitWriter::Take(bool padWithOnes) {
  if (count_ > 0) Put(padWithOnes ? 0xFF : 0x00, 8 - count_);
  Bytes out;
  out.swap(bytes_);
  return out;
}

namespace {

constexpr size_t kSymbolsOffset = 17;

void Segment(Bytes& out, uint8_t code, const Bytes& body) {
  const size_t length = body.size() + 2;
  out.insert(out.end(), {0xFF, code, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  out.insert(out.end(), body.begin(), body.end());
}

}  // namespace

Bytes DcTable(uint8_t classAndId) {
  Bytes t{classAndId};
  for (int l = 1; l <= 16; ++l) t.push_back(l == 4 ? 16 : 0);
  for (int s = 0; s < 16; ++s) t.push_back(static_cast<uint8_t>(s));
  return t;
}

Bytes AcTable(uint8_t classAndId) {
  Bytes t{classAndId};
  for (int l = 1; l <= 16; ++l) t.push_back(0);
  // 255 codes of length 8 (values 0..254) and one of length 9 (510).
  t[8] = 255;
  t[9] = 1;
  for (int s = 0; s < 255; ++s) t.push_back(static_cast<uint8_t>(s));
  t.push_back(0xFA);
  t[kSymbolsOffset + 0xFA] = 0xFF;
  return t;
}

Bytes BuildHeaders(const StreamSpec& spec) {
  Bytes out{0xFF, 0xD8};
  Segment(out, 0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  Bytes quant0(65, 1), quant1(65, 1);
  quant0[0] = 0;
  Segment(out, 0xDB, quant0);
  if (spec.components == 3) Segment(out, 0xDB, quant1);
  Bytes sof{8, static_cast<uint8_t>(spec.height >> 8), static_cast<uint8_t>(spec.height),
            static_cast<uint8_t>(spec.width >> 8), static_cast<uint8_t>(spec.width),
            static_cast<uint8_t>(spec.components), 1, spec.lumaSampling, 0};
  if (spec.components == 3)
    for (uint8_t b : {2, 0x11, 1, 3, 0x11, 1}) sof.push_back(b);
  Segment(out, 0xC0, sof);
  Segment(out, 0xC4, DcTable(0x00));
  Segment(out, 0xC4, AcTable(0x10));
  if (spec.components == 3) {
    Segment(out, 0xC4, DcTable(0x01));
    Segment(out, 0xC4, AcTable(0x11));
  }
  if (spec.restartInterval != 0)
    Segment(out, 0xDD, {static_cast<uint8_t>(spec.restartInterval >> 8), static_cast<uint8_t>(spec.restartInterval)});
  Bytes sos{static_cast<uint8_t>(spec.components), 1, 0x00};
  if (spec.components == 3)
    for (uint8_t b : {2, 0x11, 3, 0x11}) sos.push_back(b);
  for (uint8_t b : {0, 63, 0}) sos.push_back(b);
  Segment(out, 0xDA, sos);
  return out;
}

Bytes BuildStream(const StreamSpec& spec, const Bytes& data) {
  Bytes out = BuildHeaders(spec);
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

}  // namespace zentrafold::test
