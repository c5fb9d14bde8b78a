#include "file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#define ZENTRAFOLD_GETPID _getpid
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#define ZENTRAFOLD_GETPID getpid
#endif

namespace zentrafold::tool {
namespace fs = std::filesystem;
namespace {

#if defined(_WIN32)
std::wstring Widen(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), wide.data(),
                                    static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return wide;
}
#endif

std::string ErrnoText(int code) { return std::strerror(code != 0 ? code : EIO); }

// Reads to the end in chunks; used where the size is not known in advance.
ReadStatus ReadStream(std::FILE* in, uint64_t limit, std::vector<uint8_t>& bytes, std::string& error) {
  constexpr size_t kChunk = size_t{1} << 20;
  bytes.clear();
  for (;;) {
    const size_t used = bytes.size();
    bytes.resize(used + kChunk);
    const size_t got = std::fread(bytes.data() + used, 1, kChunk, in);
    bytes.resize(used + got);
    if (bytes.size() > limit) return ReadStatus::kTooLarge;
    if (got < kChunk) {
      if (std::ferror(in)) {
        error = ErrnoText(errno);
        return ReadStatus::kError;
      }
      return ReadStatus::kOk;
    }
  }
}

std::atomic<unsigned> temporaryCounter{0};

// The temporary files being written, for the interrupt handler to remove.
// Plain slots rather than a container: the handler may only read memory and
// call unlink. A file that finds no free slot is still written; it is only
// not cleaned up on an interrupt.
constexpr int kTemporarySlots = 64;
constexpr size_t kTemporaryPathBytes = 4096;
struct TemporarySlot {
  std::atomic<bool> used{false};
  char path[kTemporaryPathBytes];
};
TemporarySlot temporarySlots[kTemporarySlots];

int RegisterTemporary(const std::string& path) {
  if (path.size() >= kTemporaryPathBytes) return -1;
  static std::mutex claim;
  std::lock_guard lock(claim);
  for (int i = 0; i < kTemporarySlots; ++i) {
    if (temporarySlots[i].used.load(std::memory_order_acquire)) continue;
    std::memcpy(temporarySlots[i].path, path.c_str(), path.size() + 1);
    temporarySlots[i].used.store(true, std::memory_order_release);
    return i;
  }
  return -1;
}

void UnregisterTemporary(int slot) {
  if (slot >= 0) temporarySlots[slot].used.store(false, std::memory_order_release);
}

#if !defined(_WIN32)
extern "C" void RemoveTemporariesAndDie(int signal) {
  for (TemporarySlot& slot : temporarySlots)
    if (slot.used.load(std::memory_order_acquire)) unlink(slot.path);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}
#else
// Ctrl+C, Ctrl+Break, the console closing, logoff, shutdown: runs on a
// thread of its own; the default handler then ends the process.
BOOL WINAPI RemoveTemporariesOnControl(DWORD) {
  static wchar_t wide[kTemporaryPathBytes];
  for (TemporarySlot& slot : temporarySlots) {
    if (!slot.used.load(std::memory_order_acquire)) continue;
    if (MultiByteToWideChar(CP_UTF8, 0, slot.path, -1, wide, static_cast<int>(kTemporaryPathBytes)) > 0)
      DeleteFileW(wide);
  }
  return FALSE;
}

// Creates `path` for writing, failing when a file of that name exists.
std::FILE* CreateExclusive(const fs::path& path) {
  const int fd = _wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) _close(fd);
  return stream;
}
#endif

}  // namespace

#if defined(_WIN32)
fs::path PathOf(const std::string& name) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(name.data()), name.size()));
}
std::string NameOf(const fs::path& path) {
  const std::u8string name = path.u8string();
  return std::string(reinterpret_cast<const char*>(name.data()), name.size());
}
std::FILE* OpenFile(const fs::path& path, const char* mode) { return _wfopen(path.c_str(), Widen(mode).c_str()); }
#else
fs::path PathOf(const std::string& name) { return fs::path(name); }
std::string NameOf(const fs::path& path) { return path.string(); }
std::FILE* OpenFile(const fs::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }
#endif

void RemoveTemporaryFilesOnInterrupt() {
#if !defined(_WIN32)
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction action {}, previous {};
    action.sa_handler = RemoveTemporariesAndDie;
    sigemptyset(&action.sa_mask);
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if (sigaction(signal, &action, &previous) == 0 && previous.sa_handler == SIG_IGN)
      sigaction(signal, &previous, nullptr);
  }
#else
  SetConsoleCtrlHandler(RemoveTemporariesOnControl, TRUE);
#endif
}

ReadStatus InputBytes::Load(const std::string& path, uint64_t limit, std::string& error) {
  copy_.clear();
  data_ = nullptr;
  size_ = 0;
  if (path == "-") {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    return Read(stdin, limit, error);
  }
  std::error_code ec;
  const fs::path file = PathOf(path);
  const fs::file_status status = fs::status(file, ec);
  if (ec) {
    error = ec.message();
    return ReadStatus::kError;
  }
  if (fs::is_directory(status)) {
    error = "is a directory";
    return ReadStatus::kError;
  }
  std::FILE* in = OpenFile(file, "rb");
  if (in == nullptr) {
    error = ErrnoText(errno);
    return ReadStatus::kError;
  }
  // A regular file: its size is known, so it is read in one piece, and a
  // read that does not end exactly there finds the file changed.
  if (fs::is_regular_file(status)) {
    const uintmax_t size = fs::file_size(file, ec);
    if (!ec && size > limit) {
      std::fclose(in);
      return ReadStatus::kTooLarge;
    }
    if (!ec && size > 0) {
      copy_.resize(static_cast<size_t>(size) + 1);
      const size_t got = std::fread(copy_.data(), 1, copy_.size(), in);
      const bool failed = std::ferror(in) != 0;
      const int code = errno;
      std::fclose(in);
      if (failed) {
        error = ErrnoText(code);
        return ReadStatus::kError;
      }
      if (got != size) {
        error = "the file changed size while it was read (" + std::to_string(size) + " bytes, then " +
                (got > size ? "more" : std::to_string(got)) + ")";
        return ReadStatus::kError;
      }
      copy_.resize(got);
      data_ = copy_.data();
      size_ = copy_.size();
      return ReadStatus::kOk;
    }
  }
  const ReadStatus result = Read(in, limit, error);
  std::fclose(in);
  return result;
}

ReadStatus InputBytes::Read(std::FILE* in, uint64_t limit, std::string& error) {
  const ReadStatus result = ReadStream(in, limit, copy_, error);
  data_ = copy_.data();
  size_ = copy_.size();
  return result;
}

bool WritesInPlace(const std::string& path) {
  if (path == "-") return true;
  std::error_code ec;
  const fs::file_status status = fs::status(PathOf(path), ec);
  return !ec && fs::exists(status) && !fs::is_regular_file(status) && !fs::is_directory(status);
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open(const std::string& path, std::string& error) {
  if (path == "-") {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    isStdout_ = true;
    stream_ = stdout;
    return true;
  }
  std::error_code ec;
  target_ = PathOf(path);
  const fs::file_status status = fs::status(target_, ec);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    if (fs::is_directory(status)) {
      error = "is a directory";
      return false;
    }
    // A device or a pipe: renaming over it would replace it with a file.
    inPlace_ = true;
    stream_ = OpenFile(target_, "wb");
    if (stream_ == nullptr) error = ErrnoText(errno);
    return stream_ != nullptr;
  }
  if (fs::is_symlink(fs::symlink_status(target_, ec))) {
    const fs::path resolved = fs::canonical(target_, ec);
    if (!ec) target_ = resolved;
  }
  // ".NAME.PID-N.tmp" beside the target, so the rename stays on one file system.
  std::string name(1, '.');
  name += NameOf(target_.filename());
  name += '.';
  name += std::to_string(ZENTRAFOLD_GETPID());
  name += '-';
  name += std::to_string(temporaryCounter++);
  name += ".tmp";
  temporary_ = target_.parent_path() / PathOf(name);
  // Exclusive: never reuse or truncate a file that happens to carry this name.
#if defined(_WIN32)
  stream_ = CreateExclusive(temporary_);
#else
  stream_ = std::fopen(temporary_.string().c_str(), "wbx");
#endif
  if (stream_ == nullptr) {
    error = ErrnoText(errno);
    temporary_.clear();
    return false;
  }
  slot_ = RegisterTemporary(NameOf(temporary_));
  return true;
}

bool OutputFile::Commit(std::string& error) {
  if (stream_ == nullptr) {
    error = "not open";
    return false;
  }
  if (isStdout_) {
    const bool ok = std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (!ok) error = ErrnoText(errno);
    stream_ = nullptr;
    return ok;
  }
  const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_);
  const int flushErrno = errno;
  const bool closed = std::fclose(stream_) == 0;
  const int closeErrno = errno;
  stream_ = nullptr;
  if (!flushed || !closed) {
    error = ErrnoText(!flushed ? flushErrno : closeErrno);
    Discard();
    return false;
  }
  if (inPlace_) return true;

  std::error_code ec;
  // A replaced file keeps its permissions, as it would when written over.
  const fs::file_status old = fs::status(target_, ec);
  if (!ec && fs::is_regular_file(old)) fs::permissions(temporary_, old.permissions(), ec);
  fs::rename(temporary_, target_, ec);
  if (ec) {
    error = ec.message();
    Discard();
    return false;
  }
  UnregisterTemporary(slot_);
  slot_ = -1;
  temporary_.clear();
  return true;
}

void OutputFile::Discard() {
  if (stream_ != nullptr && !isStdout_) std::fclose(stream_);
  stream_ = nullptr;
  if (!temporary_.empty()) {
    std::error_code ec;
    fs::remove(temporary_, ec);
    UnregisterTemporary(slot_);
    slot_ = -1;
    temporary_.clear();
  }
}

}  // namespace zentrafold::tool
