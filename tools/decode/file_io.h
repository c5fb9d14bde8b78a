// Reading whole inputs and writing outputs that appear complete or not at all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace zentrafold::tool {

// The largest input the tool reads: 1 GiB.
constexpr uint64_t kMaxInputBytes = uint64_t{1} << 30;

enum class ReadStatus { kOk, kTooLarge, kError };

// Reads a whole file, or standard input for "-". kTooLarge when it holds more
// than `limit` bytes (a regular file is not read at all then); kError with
// `error` set when it cannot be read.
ReadStatus ReadWholeInput(const std::string& path, uint64_t limit, std::vector<uint8_t>& bytes,
                          std::string& error);

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
