// PNG on Windows through the system's own encoder, the Windows Imaging
// Component: 8-bit RGB or 8-bit grey, rows handed over band by band as the
// decoder gives them. The encoder writes into an IStream over the tool's
// stdio stream, so the output file's temporary name, its commit and
// standard output work as for every other format.
#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "picture_writers.h"

namespace zentrafold::tool {
namespace {

std::string HresultText(const char* what, HRESULT result) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
  return std::string("PNG encoder: ") + what + " failed (" + code + ")";
}

// An IStream that appends to a stdio stream. It keeps its own position, so
// that the encoder can ask where it is (a seek of 0 from the current place)
// also on a pipe; any other seek goes to the file and fails on a pipe.
class FileStream final : public IStream {
 public:
  explicit FileStream(std::FILE* out) : out_(out) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream) || IsEqualIID(iid, IID_IStream)) {
      *object = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on the writer; the count only has to be kept for the encoder.
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG* done) override {
    if (done != nullptr) *done = 0;
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* bytes, ULONG count, ULONG* done) override {
    errno = 0;
    const size_t written = std::fwrite(bytes, 1, count, out_);
    position_ += written;
    if (done != nullptr) *done = static_cast<ULONG>(written);
    if (written != count) {
      writeErrno_ = errno != 0 ? errno : EIO;
      return STG_E_WRITEFAULT;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    if (origin == STREAM_SEEK_CUR && move.QuadPart == 0) {
      if (newPosition != nullptr) newPosition->QuadPart = position_;
      return S_OK;
    }
    const int whence = origin == STREAM_SEEK_SET ? SEEK_SET : origin == STREAM_SEEK_CUR ? SEEK_CUR : SEEK_END;
    if (_fseeki64(out_, move.QuadPart, whence) != 0) return STG_E_INVALIDFUNCTION;
    const __int64 now = _ftelli64(out_);
    if (now < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<uint64_t>(now);
    if (newPosition != nullptr) newPosition->QuadPart = position_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return std::fflush(out_) == 0 ? S_OK : STG_E_WRITEFAULT; }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
    if (stat == nullptr) return E_POINTER;
    std::memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = position_;
    stat->grfMode = STGM_WRITE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override {
    if (clone != nullptr) *clone = nullptr;
    return E_NOTIMPL;
  }

  int writeErrno() const { return writeErrno_; }

 private:
  std::FILE* out_;
  ULONG references_ = 1;
  uint64_t position_ = 0;
  int writeErrno_ = 0;
};

template <typename T>
void ReleaseAndClear(T*& object) {
  if (object != nullptr) object->Release();
  object = nullptr;
}

// COM on the calling thread, once per thread (a batch encodes on several);
// left initialised until the thread ends.
bool EnsureCom() {
  thread_local const bool ready = [] {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return SUCCEEDED(result) || result == RPC_E_CHANGED_MODE;
  }();
  return ready;
}

class WicPngWriter final : public PictureWriter {
 public:
  ~WicPngWriter() override { Destroy(); }

  bool Begin(std::FILE* out, uint32_t width, uint32_t height, ZfFormat pixels, std::string& error) override {
    stream_.emplace(out);
    grey_ = pixels == kZfGrey;
    width_ = width;
    if (!EnsureCom()) {
      error = "PNG encoder: COM could not be started";
      return false;
    }
    HRESULT result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IWICImagingFactory, reinterpret_cast<void**>(&factory_));
    if (FAILED(result)) return Failed("starting the Windows Imaging Component", result, error);
    result = factory_->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder_);
    if (FAILED(result)) return Failed("CreateEncoder", result, error);
    result = encoder_->Initialize(&*stream_, WICBitmapEncoderNoCache);
    if (FAILED(result)) return Failed("Initialize", result, error);
    result = encoder_->CreateNewFrame(&frame_, nullptr);
    if (FAILED(result)) return Failed("CreateNewFrame", result, error);
    result = frame_->Initialize(nullptr);
    if (FAILED(result)) return Failed("frame Initialize", result, error);
    result = frame_->SetSize(width, height);
    if (FAILED(result)) return Failed("SetSize", result, error);
    // The encoder takes blue, green, red for 24-bit colour; it may answer
    // with another format it prefers, which these rows are not.
    const GUID wanted = grey_ ? GUID_WICPixelFormat8bppGray : GUID_WICPixelFormat24bppBGR;
    WICPixelFormatGUID format = wanted;
    result = frame_->SetPixelFormat(&format);
    if (FAILED(result)) return Failed("SetPixelFormat", result, error);
    if (!IsEqualGUID(format, wanted)) {
      error = grey_ ? "PNG encoder: 8-bit grey is not supported" : "PNG encoder: 24-bit colour is not supported";
      return false;
    }
    return true;
  }

  bool WriteRows(const uint8_t* rows, size_t stride, uint32_t count, std::string& error) override {
    if (frame_ == nullptr) {
      error = "PNG encoder: not started";
      return false;
    }
    const size_t rowBytes = size_t{width_} * (grey_ ? 1 : 3);
    if (rowBytes > 0xFFFFFFFFu / 2) {
      error = "PNG encoder: rows too long";
      return false;
    }
    // Red, green, blue from the decoder to the encoder's blue, green, red;
    // a band at a time, so the copy stays a band long.
    const uint8_t* source = rows;
    size_t sourceStride = stride;
    if (!grey_) {
      swapped_.resize(rowBytes * count);
      for (uint32_t y = 0; y < count; ++y) {
        const uint8_t* in = rows + y * stride;
        uint8_t* put = swapped_.data() + y * rowBytes;
        for (size_t x = 0; x < rowBytes; x += 3) {
          put[x] = in[x + 2];
          put[x + 1] = in[x + 1];
          put[x + 2] = in[x];
        }
      }
      source = swapped_.data();
      sourceStride = rowBytes;
    }
    // WritePixels takes a 32-bit byte count: hand over as many rows at a
    // time as fit.
    const uint32_t rowsPerCall = static_cast<uint32_t>(std::max<size_t>(1, 0x7FFFFFFFu / sourceStride));
    for (uint32_t done = 0; done < count;) {
      const uint32_t n = std::min(rowsPerCall, count - done);
      const HRESULT result =
          frame_->WritePixels(n, static_cast<UINT>(sourceStride), static_cast<UINT>(sourceStride * n),
                              const_cast<BYTE*>(source + done * sourceStride));
      if (FAILED(result)) return Failed("WritePixels", result, error);
      done += n;
    }
    return true;
  }

  bool Finish(std::string& error) override {
    if (frame_ == nullptr) {
      error = "PNG encoder: not started";
      return false;
    }
    HRESULT result = frame_->Commit();
    if (FAILED(result)) return Failed("frame Commit", result, error);
    result = encoder_->Commit();
    if (FAILED(result)) return Failed("Commit", result, error);
    Destroy();
    return true;
  }

 private:
  bool Failed(const char* what, HRESULT result, std::string& error) {
    error = stream_ && stream_->writeErrno() != 0 ? std::strerror(stream_->writeErrno()) : HresultText(what, result);
    Destroy();
    return false;
  }

  void Destroy() {
    ReleaseAndClear(frame_);
    ReleaseAndClear(encoder_);
    ReleaseAndClear(factory_);
  }

  std::optional<FileStream> stream_;
  IWICImagingFactory* factory_ = nullptr;
  IWICBitmapEncoder* encoder_ = nullptr;
  IWICBitmapFrameEncode* frame_ = nullptr;
  bool grey_ = false;
  uint32_t width_ = 0;
  std::vector<uint8_t> swapped_;
};

}  // namespace

bool PngAvailable() { return true; }
std::string PngEncoderName() { return "Windows Imaging Component"; }

std::unique_ptr<PictureWriter> MakePngWriter() { return std::make_unique<WicPngWriter>(); }

}  // namespace zentrafold::tool
