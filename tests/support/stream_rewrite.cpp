#include "stream_rewrite.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>

#include "test_support.h"

namespace zentrafold::test {

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kSoi = 0xD8, kEoi = 0xD9, kSos = 0xDA, kDqt = 0xDB, kDht = 0xC4, kApp0 = 0xE0,
                  kApp14 = 0xEE;

bool IsFrameHeader(uint8_t code) {
  return code >= 0xC0 && code <= 0xCF && code != kDht && code != 0xC8 && code != 0xCC;
}
bool IsRestart(uint8_t code) { return code >= 0xD0 && code <= 0xD7; }
bool IsApp(uint8_t code) { return code >= 0xE0 && code <= 0xEF; }

bool IsAdobe(const StreamPart& part) {
  return part.code == kApp14 && part.body.size() >= 12 && std::equal(part.body.begin(), part.body.begin() + 5, "Adobe");
}

// The tables inside one DQT or DHT body, each with its leading class/id byte.
std::vector<Bytes> TablesOf(const StreamPart& part) {
  std::vector<Bytes> tables;
  size_t pos = 0;
  const Bytes& b = part.body;
  while (pos < b.size()) {
    size_t size = 0;
    if (part.code == kDqt) {
      size = 1 + ((b[pos] >> 4) == 0 ? 64 : 128);
    } else {
      if (pos + 17 > b.size()) throw std::runtime_error("DHT body cut short");
      size = 17;
      for (int i = 1; i <= 16; ++i) size += b[pos + i];
    }
    if (pos + size > b.size()) throw std::runtime_error("table cut short");
    tables.emplace_back(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + size));
    pos += size;
  }
  return tables;
}

Bytes Concatenate(const std::vector<Bytes>& tables) {
  Bytes out;
  for (const Bytes& t : tables) out.insert(out.end(), t.begin(), t.end());
  return out;
}

// Index after SOI and the APPn segments that follow it.
size_t AfterOpeningApps(const std::vector<StreamPart>& parts) {
  size_t i = 1;
  while (i < parts.size() && IsApp(parts[i].code)) ++i;
  return i;
}

StreamPart AdobeSegment(uint8_t transform) {
  // "Adobe", version 100, flags0 0, flags1 0, transform.
  return {kApp14, Bytes{'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, transform}};
}

std::vector<uint8_t> ComponentIds(const std::vector<StreamPart>& parts) {
  for (const StreamPart& p : parts) {
    if (!IsFrameHeader(p.code)) continue;
    std::vector<uint8_t> ids;
    for (int i = 0; i < p.body[5]; ++i) ids.push_back(p.body[6 + 3 * i]);
    return ids;
  }
  return {};
}

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("zentrafold-rewrite-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string Quote(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

std::vector<StreamPart> SplitStream(const Bytes& s) {
  if (s.size() < 4 || s[0] != 0xFF || s[1] != kSoi) throw std::runtime_error("no SOI");
  std::vector<StreamPart> parts{{kSoi, {}}};
  size_t pos = 2;
  while (pos < s.size()) {
    if (s[pos] != 0xFF) throw std::runtime_error("marker expected at " + std::to_string(pos));
    while (pos + 1 < s.size() && s[pos + 1] == 0xFF) ++pos;  // fill bytes
    if (pos + 1 >= s.size()) throw std::runtime_error("stream ends in a marker");
    const uint8_t code = s[pos + 1];
    pos += 2;
    if (code == kEoi) {
      parts.push_back({kEoi, {}});
      if (pos < s.size()) parts.push_back({0, Bytes(s.begin() + static_cast<long>(pos), s.end())});
      break;
    }
    if (IsRestart(code) || code == 0x01) {
      parts.push_back({code, {}});
      continue;
    }
    if (pos + 2 > s.size()) throw std::runtime_error("segment length cut short");
    const size_t length = size_t{s[pos]} << 8 | s[pos + 1];
    if (length < 2 || pos + length > s.size()) throw std::runtime_error("segment runs past the end");
    parts.push_back({code, Bytes(s.begin() + static_cast<long>(pos + 2), s.begin() + static_cast<long>(pos + length))});
    pos += length;
    if (code == kSos) {
      // Entropy-coded data up to the next marker that is not a restart.
      size_t end = pos;
      while (end + 1 < s.size() && !(s[end] == 0xFF && s[end + 1] != 0x00 && !IsRestart(s[end + 1]))) ++end;
      if (end + 1 >= s.size()) end = s.size();
      parts.push_back({0, Bytes(s.begin() + static_cast<long>(pos), s.begin() + static_cast<long>(end))});
      pos = end;
    }
  }
  return parts;
}

Bytes JoinStream(const std::vector<StreamPart>& parts) {
  Bytes out;
  for (const StreamPart& p : parts) {
    if (p.code == 0) {
      out.insert(out.end(), p.body.begin(), p.body.end());
    } else if (p.code == kSoi || p.code == kEoi || IsRestart(p.code) || p.code == 0x01) {
      out.insert(out.end(), {0xFF, p.code});
    } else {
      const size_t length = p.body.size() + 2;
      out.insert(out.end(), {0xFF, p.code, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
      out.insert(out.end(), p.body.begin(), p.body.end());
    }
  }
  return out;
}

StreamFacts ReadFacts(const Bytes& stream) {
  StreamFacts facts;
  for (const StreamPart& p : SplitStream(stream)) {
    if (IsFrameHeader(p.code) && facts.frameCode == 0) {
      facts.frameCode = p.code;
      facts.components = p.body[5];
    } else if (p.code == kSos) {
      ++facts.scans;
    } else if (p.code == kApp0) {
      facts.hasApp0 = true;
    } else if (IsAdobe(p) && !facts.hasAdobe) {
      facts.hasAdobe = true;
      facts.adobeTransform = p.body[11];
    }
  }
  return facts;
}

Bytes ToExtendedSequential(const Bytes& stream) {
  auto parts = SplitStream(stream);
  for (StreamPart& p : parts)
    if (p.code == 0xC0) p.code = 0xC1;
  return JoinStream(parts);
}

Bytes MoveTableIds(const Bytes& stream, int offset) {
  auto parts = SplitStream(stream);
  auto move = [offset](uint8_t id) {
    if (id + offset > 3) throw std::runtime_error("table identifier above 3");
    return static_cast<uint8_t>(id + offset);
  };
  for (StreamPart& p : parts) {
    if (p.code == kDqt || p.code == kDht) {
      std::vector<Bytes> tables = TablesOf(p);
      for (Bytes& t : tables) t[0] = static_cast<uint8_t>((t[0] & 0xF0) | move(t[0] & 0x0F));
      p.body = Concatenate(tables);
    } else if (IsFrameHeader(p.code)) {
      for (int i = 0; i < p.body[5]; ++i) p.body[8 + 3 * i] = move(p.body[8 + 3 * i]);
    } else if (p.code == kSos) {
      for (int i = 0; i < p.body[0]; ++i) {
        const uint8_t t = p.body[2 + 2 * i];
        p.body[2 + 2 * i] = static_cast<uint8_t>(move(t >> 4) << 4 | move(t & 0x0F));
      }
    }
  }
  return JoinStream(parts);
}

Bytes SplitTableSegments(const Bytes& stream) {
  std::vector<StreamPart> out;
  for (StreamPart& p : SplitStream(stream)) {
    if (p.code == kDqt || p.code == kDht) {
      for (Bytes& t : TablesOf(p)) out.push_back({p.code, std::move(t)});
    } else {
      out.push_back(std::move(p));
    }
  }
  return JoinStream(out);
}

Bytes MergeTableSegments(const Bytes& stream) {
  auto parts = SplitStream(stream);
  std::vector<StreamPart> out;
  size_t firstOf[2] = {SIZE_MAX, SIZE_MAX};  // DQT, DHT: where in `out` the merged segment is
  bool scanSeen = false;
  for (StreamPart& p : parts) {
    scanSeen = scanSeen || p.code == kSos;
    if (!scanSeen && (p.code == kDqt || p.code == kDht)) {
      size_t& first = firstOf[p.code == kDht];
      if (first == SIZE_MAX) {
        first = out.size();
        out.push_back(std::move(p));
      } else {
        out[first].body.insert(out[first].body.end(), p.body.begin(), p.body.end());
      }
      continue;
    }
    out.push_back(std::move(p));
  }
  return JoinStream(out);
}

Bytes AddDummyTablesFirst(const Bytes& stream) {
  auto parts = SplitStream(stream);
  std::set<uint8_t> quant, huffman;  // identifiers; class/identifier bytes
  size_t first = parts.size();
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].code == kSos) break;
    if (parts[i].code != kDqt && parts[i].code != kDht) continue;
    first = std::min(first, i);
    for (const Bytes& t : TablesOf(parts[i])) {
      if (parts[i].code == kDqt) quant.insert(t[0] & 0x0F);
      else huffman.insert(t[0]);
    }
  }
  if (first == parts.size()) throw std::runtime_error("no tables before the first scan");
  Bytes dqt, dht;
  for (uint8_t id : quant) {
    dqt.push_back(id);
    dqt.insert(dqt.end(), 64, 1);
  }
  for (uint8_t classAndId : huffman) {
    const Bytes t = (classAndId >> 4) == 0 ? DcTable(classAndId) : AcTable(classAndId);
    dht.insert(dht.end(), t.begin(), t.end());
  }
  std::vector<StreamPart> dummies;
  if (!dqt.empty()) dummies.push_back({kDqt, dqt});
  if (!dht.empty()) dummies.push_back({kDht, dht});
  parts.insert(parts.begin() + static_cast<long>(first), dummies.begin(), dummies.end());
  return JoinStream(parts);
}

Bytes SetComponentIds(const Bytes& stream, const std::vector<uint8_t>& ids, int adobeTransform) {
  auto parts = SplitStream(stream);
  std::map<uint8_t, uint8_t> renamed;
  bool hasAdobe = false;
  for (StreamPart& p : parts) {
    hasAdobe = hasAdobe || IsAdobe(p);
    if (IsFrameHeader(p.code)) {
      if (ids.size() != p.body[5]) throw std::runtime_error("component count differs");
      for (size_t i = 0; i < ids.size(); ++i) {
        renamed[p.body[6 + 3 * i]] = ids[i];
        p.body[6 + 3 * i] = ids[i];
      }
    } else if (p.code == kSos) {
      for (int i = 0; i < p.body[0]; ++i) p.body[1 + 2 * i] = renamed.at(p.body[1 + 2 * i]);
    }
  }
  if (adobeTransform >= 0 && !hasAdobe)
    parts.insert(parts.begin() + static_cast<long>(AfterOpeningApps(parts)),
                 AdobeSegment(static_cast<uint8_t>(adobeTransform)));
  return JoinStream(parts);
}

std::optional<Bytes> AddJfxxSegment(const Bytes& stream) {
  auto parts = SplitStream(stream);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].code != kApp0) continue;
    // "JFXX\0", extension code 0x13 (thumbnail stored in 3 bytes a pixel), 0 x 0 pixels.
    parts.insert(parts.begin() + static_cast<long>(i + 1), StreamPart{kApp0, Bytes{'J', 'F', 'X', 'X', 0, 0x13, 0, 0}});
    return JoinStream(parts);
  }
  return std::nullopt;
}

std::optional<Bytes> AddAdobeSegment(const Bytes& stream, uint8_t transform) {
  auto parts = SplitStream(stream);
  if (std::any_of(parts.begin(), parts.end(), IsAdobe)) return std::nullopt;
  parts.insert(parts.begin() + static_cast<long>(AfterOpeningApps(parts)), AdobeSegment(transform));
  return JoinStream(parts);
}

std::vector<Variant> SegmentVariants(const Bytes& source) {
  const StreamFacts facts = ReadFacts(source);
  const auto parts = SplitStream(source);
  const std::vector<uint8_t> ids = ComponentIds(parts);
  const bool severalScans = facts.scans > 1;
  std::vector<Variant> out;
  auto add = [&](std::string name, Bytes stream) { out.push_back({std::move(name), std::move(stream), severalScans}); };

  if (facts.frameCode == 0xC0) add("sof1", ToExtendedSequential(source));
  int maxTable = 0;
  for (const StreamPart& p : parts) {
    if (p.code == kDqt || p.code == kDht)
      for (const Bytes& t : TablesOf(p)) maxTable = std::max(maxTable, t[0] & 0x0F);
  }
  if (maxTable <= 1) add("tables_2_3", MoveTableIds(source, 2));
  // One of them changes the stream: cjpeg writes one table a segment.
  if (Bytes split = SplitTableSegments(source); split != source) add("tables_split", std::move(split));
  if (Bytes merged = MergeTableSegments(source); merged != source) add("tables_merged", std::move(merged));
  add("tables_dummy_first", AddDummyTablesFirst(source));
  if (maxTable <= 1)
    add("tables_2_3_split_dummy_first", AddDummyTablesFirst(SplitTableSegments(MoveTableIds(source, 2))));

  // Which colour the stream is stored in by libjpeg's rules: JFIF, then Adobe, then the identifiers.
  const bool rgbByIds = facts.components == 3 && !facts.hasApp0 && !facts.hasAdobe && ids == std::vector<uint8_t>{82, 71, 66};
  const bool ycbcr = facts.components == 3 && !rgbByIds && (!facts.hasAdobe || facts.adobeTransform == 1 || facts.hasApp0);
  // An Adobe segment keeps the colour the identifiers no longer say.
  const int keepColour = rgbByIds ? 0 : (facts.components == 3 && !facts.hasApp0 ? 1 : -1);
  std::vector<uint8_t> zeroBased(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) zeroBased[i] = static_cast<uint8_t>(i);
  if (ids != zeroBased) add("ids_0", SetComponentIds(source, zeroBased, keepColour));
  if (facts.components == 3 && ycbcr) add("ids_rgb_adobe1", SetComponentIds(source, {82, 71, 66}, 1));
  if (facts.components == 3 && !ycbcr && ids != std::vector<uint8_t>{1, 2, 3})
    add("ids_123", SetComponentIds(source, {1, 2, 3}, 0));
  if (auto s = AddJfxxSegment(source)) add("second_app0_jfxx", std::move(*s));
  if (facts.components == 3 && ycbcr)
    if (auto s = AddAdobeSegment(source, 1)) add("adobe1", std::move(*s));
  return out;
}

std::optional<Bytes> RunJpegtran(const Bytes& source, const std::vector<std::string>& args, std::string* error) {
  TempDir dir;
  const fs::path in = dir.path() / "in.jpg", out = dir.path() / "out.jpg", log = dir.path() / "log.txt";
  WriteFile(in, source);
  std::string command = "jpegtran";
  for (const std::string& a : args) command += " " + Quote(a);
  command += " -outfile " + Quote(out.string()) + " " + Quote(in.string()) + " 2> " + Quote(log.string());
  const int status = std::system(command.c_str());
  if (status != 0 || !fs::exists(out)) {
    std::string message;
    if (fs::exists(log)) {
      const Bytes text = ReadFile(log);
      message.assign(text.begin(), text.end());
    }
    if (error) *error = "jpegtran";
    for (const std::string& a : args)
      if (error) *error += " " + a;
    if (error) *error += ": status " + std::to_string(status) + ": " + message;
    return std::nullopt;
  }
  return ReadFile(out);
}

std::vector<Variant> JpegtranVariants(const Bytes& source, std::string* error) {
  const StreamFacts facts = ReadFacts(source);
  const int n = facts.components;
  std::vector<std::pair<std::string, std::string>> scripts;  // name, scan script
  auto each = [n] {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::to_string(i) + ";\n";
    return s;
  };
  if (n == 3) {
    scripts = {{"scans_each", each()}, {"scans_01_2", "0,1;\n2;\n"}, {"scans_0_12", "0;\n1,2;\n"},
               // Spectral bounds written out: still sequential (Ss 0, Se 63, Ah Al 0).
               {"scans_0_12_full_form", "0: 0 63 0 0;\n1 2: 0 63 0 0;\n"}};
  } else if (n == 4) {
    scripts = {{"scans_each", each()}, {"scans_01_23", "0,1;\n2,3;\n"}, {"scans_0_123", "0;\n1,2,3;\n"}};
  } else if (n == 2) {
    scripts = {{"scans_each", each()}};
  }
  TempDir dir;
  std::vector<Variant> out;
  bool ok = true;
  auto run = [&](const std::string& name, std::vector<std::string> args, bool severalScans) {
    if (!ok) return;
    std::string message;
    auto result = RunJpegtran(source, args, &message);
    // A frame whose MCU holds more than 10 blocks exists only in separate
    // scans: the rewrites that would interleave it have no stream.
    if (!result && message.find("too large for interleaved scan") != std::string::npos) return;
    if (!result) {
      ok = false;
      if (error) *error = message;
      return;
    }
    out.push_back({name, std::move(*result), severalScans});
  };
  run("jpegtran_restart_1row", {"-restart", "1"}, false);
  run("jpegtran_restart_3mcu", {"-restart", "3B"}, false);
  run("jpegtran_optimize", {"-optimize"}, false);
  run("jpegtran_copy_all", {"-copy", "all"}, false);
  for (const auto& [name, script] : scripts) {
    const fs::path file = dir.path() / (name + ".txt");
    WriteFile(file, Bytes(script.begin(), script.end()));
    run("jpegtran_" + name, {"-scans", file.string()}, true);
  }
  if (n > 1) {
    const fs::path file = dir.path() / "each.txt";
    const std::string script = each();
    WriteFile(file, Bytes(script.begin(), script.end()));
    // Optimised tables per scan: the second chroma scan redefines table 1.
    run("jpegtran_scans_each_optimize", {"-optimize", "-scans", file.string()}, true);
    run("jpegtran_scans_each_restart_2mcu", {"-restart", "2B", "-scans", file.string()}, true);
    run("jpegtran_scans_each_restart_1row_copy_all", {"-restart", "1", "-copy", "all", "-scans", file.string()}, true);
  }
  if (!ok) out.clear();
  return out;
}

std::vector<Variant> ProgressiveVariants(const Bytes& source, std::string* error, bool arithmetic) {
  const int n = ReadFacts(source).components;
  auto all = [n] {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(i);
    return s;
  };
  // "i: Ss Se Ah Al;" for each component i from `first` on, each line.
  auto each = [n](const std::vector<std::string>& lines, int first = 0) {
    std::string s;
    for (int i = first; i < n; ++i)
      for (const std::string& line : lines) s += std::to_string(i) + ": " + line + ";\n";
    return s;
  };
  const std::vector<std::pair<std::string, std::string>> scripts = {
      // DC and AC of each component in scans of their own.
      {"dc_ac_each", each({"0 0 0 0"}) + each({"1 63 0 0"})},
      // Successive approximation of two bits, the bands split at 5.
      {"approximation_2", all() + ": 0 0 0 2;\n" + each({"1 5 0 2", "6 63 0 2"}) + all() + ": 0 0 2 1;\n" +
                              all() + ": 0 0 1 0;\n" + each({"1 63 2 1", "1 63 1 0"})},
      // Three bits, DC refined in separate scans, AC refined band by band.
      {"approximation_3", each({"0 0 0 3"}) + each({"1 2 0 3", "3 63 0 3"}) + each({"0 0 3 2", "1 2 3 2", "3 63 3 2"}) +
                              all() + ": 0 0 2 1;\n" + each({"1 63 2 1"}) + all() + ": 0 0 1 0;\n" +
                              each({"1 63 1 0"})},
      // As size-optimising encoders write it: luma DC and its low band first,
      // low and high bands with refinement of each.
      {"optimiser", "0: 0 0 0 0;\n0: 1 8 0 2;\n" + each({"0 0 0 0"}, 1) +
                        "0: 9 63 0 2;\n0: 1 8 2 1;\n0: 1 8 1 0;\n0: 9 63 2 1;\n0: 9 63 1 0;\n" +
                        each({"1 8 0 0", "9 63 0 0"}, 1)},
  };
  TempDir dir;
  std::vector<Variant> out;
  bool ok = true;
  auto run = [&](std::string name, std::vector<std::string> args) {
    if (!ok) return;
    if (arithmetic) {
      args.insert(args.begin(), "-arithmetic");
      name = "arithmetic_" + name;
    }
    std::string message;
    auto result = RunJpegtran(source, args, &message);
    // An interleaved DC scan of a frame whose MCU holds more than 10 blocks.
    if (!result && message.find("too large for interleaved scan") != std::string::npos) return;
    if (!result) {
      ok = false;
      if (error) *error = name + ": " + message;
      return;
    }
    out.push_back({name, std::move(*result), true});
  };
  if (arithmetic) {
    run("sequential", {});
    run("sequential_restart_3mcu", {"-restart", "3B"});
    const fs::path file = dir.path() / "each.txt";
    std::string script;
    for (int i = 0; i < n; ++i) script += std::to_string(i) + ";\n";
    WriteFile(file, Bytes(script.begin(), script.end()));
    if (n > 1) run("sequential_scans_each", {"-scans", file.string()});
  }
  run("progressive", {"-progressive"});
  run("progressive_restart_1row", {"-progressive", "-restart", "1"});
  run("progressive_restart_2mcu", {"-progressive", "-restart", "2B"});
  // Huffman tables only: optimised per scan.
  if (!arithmetic) run("progressive_optimize_copy_all", {"-progressive", "-optimize", "-copy", "all"});
  if (arithmetic) run("progressive_copy_all", {"-progressive", "-copy", "all"});
  for (const auto& [name, script] : scripts) {
    const fs::path file = dir.path() / (name + ".txt");
    WriteFile(file, Bytes(script.begin(), script.end()));
    run("progressive_" + name, {"-scans", file.string()});
  }
  if (!ok) out.clear();
  return out;
}

}  // namespace zentrafold::test

namespace zentrafold::test {

namespace {

std::string ParameterName(const std::string& text) {
  std::string name;
  for (char c : text) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

std::vector<SourceStream> StreamsIn(const std::filesystem::path& folder, const std::string& prefix, bool skipRefused) {
  std::vector<SourceStream> out;
  if (!std::filesystem::is_directory(folder)) return out;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string file = entry.path().filename().string();
    if (entry.path().extension() != ".jpg" || (skipRefused && file.rfind("refuse_", 0) == 0)) continue;
    out.push_back({ParameterName(prefix + entry.path().stem().string()), entry.path()});
  }
  std::sort(out.begin(), out.end(), [](const SourceStream& a, const SourceStream& b) { return a.name < b.name; });
  return out;
}

}  // namespace

std::vector<SourceStream> SequentialStreams() { return StreamsIn(DataDir() / "sequential", "sequential_", false); }

std::vector<SourceStream> RewriteSources() {
  std::vector<SourceStream> out = StreamsIn(DataDir(), "", true);
  for (SourceStream& s : SequentialStreams()) out.push_back(std::move(s));
  for (const std::filesystem::path& p : Photographs(true)) {
    if (std::filesystem::file_size(p) > 150000) continue;
    // /usr/share/wallpapers/Flow/contents/images/720x1440.jpg -> photo_Flow_contents_images_720x1440
    const std::filesystem::path relative = p.lexically_relative("/usr/share/wallpapers").replace_extension();
    out.push_back({ParameterName("photo_" + relative.string()), p});
  }
  return out;
}

}  // namespace zentrafold::test
