// Reading whole inputs and writing outputs that appear complete or not at all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace zentrafold::tool {

// The paths the tool is given are UTF-8 on Windows (main takes the command
// line in UTF-16 there) and the system's bytes elsewhere. PathOf makes a
// filesystem path of one, NameOf gives it back, OpenFile opens one with
// fopen's modes.
std::filesystem::path PathOf(const std::string& name);
std::string NameOf(const std::filesystem::path& path);
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// The largest input the tool reads: 1 GiB.
constexpr uint64_t kMaxInputBytes = uint64_t{1} << 30;

enum class ReadStatus { kOk, kTooLarge, kError };

// The bytes of a whole input, for the decoder, which reads a stream in
// memory: read into memory whole, files as well as standard input ("-"),
// pipes and devices. Not mapped: a mapped file that another program shortens
// during the decode, or whose disk goes away, kills the process with a
// signal. Load gives kTooLarge when the input holds more than `limit` bytes
// (a regular file is not read at all then), kError with `error` set when it
// cannot be read, also when a regular file changes size while it is read.
class InputBytes {
 public:
  ReadStatus Load(const std::string& path, uint64_t limit, std::string& error);
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  ReadStatus Read(std::FILE* in, uint64_t limit, std::string& error);

  std::vector<uint8_t> copy_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Whether OutputFile writes `path` in place rather than under a temporary
// name: standard output, a device, a pipe.
bool WritesInPlace(const std::string& path);

// An output file written under a temporary name in the same directory and
// renamed over the final name by Commit, so that a failed or interrupted
// write leaves no partial file and keeps an older file of that name. "-" is
// standard output. A path naming something other than a regular file (a
// device, a pipe) is written in place; a symbolic link is followed and its
// target replaced.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // discards the temporary file unless committed

  bool Open(const std::string& path, std::string& error);
  std::FILE* stream() const { return stream_; }
  // Flushes, closes and renames; on failure nothing is left under either name.
  bool Commit(std::string& error);
  // Closes and removes the temporary file.
  void Discard();

 private:
  std::FILE* stream_ = nullptr;
  bool isStdout_ = false;
  bool inPlace_ = false;
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  int slot_ = -1;  // in the interrupt handler's list
};

// On SIGINT, SIGTERM, SIGHUP and SIGPIPE: removes the temporary files of the
// outputs being written, then dies of the signal as it would have.
void RemoveTemporaryFilesOnInterrupt();

}  // namespace zentrafold::tool
