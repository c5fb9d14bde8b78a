// zentrafold._native: the C API as Python sees it. A decoder object that
// decodes a contiguous buffer into a NumPy array (a new one, or the caller's
// after checking its shape and strides) with the GIL released, the header
// reader, and the library's texts and codes. Naming formats, raising errors
// and warnings, and reading files are left to the Python layer above.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <pthread.h>
#include <sys/mman.h>
#include <zentrafold/zentrafold.h>

#include <cstdint>
#include <cstring>
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// A Py_buffer held for as long as the object lives; the exporter cannot
// resize or free the memory meanwhile, which is what lets a decode run with
// the GIL released.
class HeldBuffer {
 public:
  HeldBuffer(const py::handle& object, int flags) {
    if (PyObject_GetBuffer(object.ptr(), &view_, flags) != 0) throw py::error_already_set();
  }
  ~HeldBuffer() { PyBuffer_Release(&view_); }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  const Py_buffer& view() const { return view_; }
  const uint8_t* bytes() const { return static_cast<const uint8_t*>(view_.buf); }
  size_t size() const { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

// Memory for the pixels of new arrays. A fresh page costs the kernel a fault
// and a clear on its first touch, and unmapping a large block from a process
// with several threads costs every core a TLB flush: for a big picture that
// is a quarter of the decode on one thread, and on two threads it serialises
// them. So arrays of kMappedMinimum bytes and more get blocks mapped by
// themselves, 2 MB-aligned and advised for transparent huge pages, and a
// block whose array has been freed is kept (up to keptLimit bytes in all)
// for the next array that fits in it. Smaller arrays come from NumPy.
class PixelMemory {
 public:
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr size_t kMappedMinimum = size_t{1} << 20;

  struct Block {
    void* start;
    size_t length;
  };

  // A block of at least `bytes`, or {nullptr, 0} when none can be mapped.
  Block Take(size_t bytes) {
    const size_t length = RoundUp(bytes);
    {
      std::lock_guard<std::mutex> hold(lock_);
      // The smallest kept block that fits, unless it would waste more than half.
      auto best = kept_.end();
      for (auto it = kept_.begin(); it != kept_.end(); ++it)
        if (it->length >= length && it->length / 2 <= length && (best == kept_.end() || it->length < best->length))
          best = it;
      if (best != kept_.end()) {
        const Block block = *best;
        keptBytes_ -= block.length;
        kept_.erase(best);
        return block;
      }
    }
    return Map(length);
  }

  void Give(Block block) {
    std::lock_guard<std::mutex> hold(lock_);
    kept_.push_back(block);
    keptBytes_ += block.length;
    TrimTo(keptLimit_);
  }

  // Sets how many bytes freed blocks may keep; returns the old limit.
  size_t SetLimit(size_t limit) {
    std::lock_guard<std::mutex> hold(lock_);
    const size_t old = keptLimit_;
    keptLimit_ = limit;
    TrimTo(limit);
    return old;
  }

  size_t KeptBytes() {
    std::lock_guard<std::mutex> hold(lock_);
    return keptBytes_;
  }

 private:
  static size_t RoundUp(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

  // One huge page more than needed, trimmed so the block starts on a 2 MB boundary.
  static Block Map(size_t length) {
    const size_t padded = length + kHugePage;
    void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return {nullptr, 0};
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<uintptr_t>(kHugePage - 1);
    const size_t head = aligned - start;
    const size_t tail = padded - head - length;
    if (head != 0) munmap(raw, head);
    if (tail != 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
    void* block = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    madvise(block, length, MADV_HUGEPAGE);  // advice only
#endif
    return {block, length};
  }

  // Oldest first; called with the lock held.
  void TrimTo(size_t limit) {
    while (keptBytes_ > limit) {
      const Block oldest = kept_.front();
      kept_.erase(kept_.begin());
      keptBytes_ -= oldest.length;
      munmap(oldest.start, oldest.length);
    }
  }

  std::mutex lock_;
  std::vector<Block> kept_;
  size_t keptBytes_ = 0;
  size_t keptLimit_ = size_t{256} << 20;
};

PixelMemory& Pixels() {
  static PixelMemory* memory = new PixelMemory;  // never destroyed: arrays may outlive the module
  return *memory;
}

// A new C-contiguous uint8 array; large ones on PixelMemory, handed back
// when the array (and every view of it) is gone.
py::array_t<uint8_t> NewArray(const std::vector<py::ssize_t>& shape) {
  size_t bytes = 1;
  for (const py::ssize_t extent : shape) bytes *= static_cast<size_t>(extent);
  if (bytes < PixelMemory::kMappedMinimum) return py::array_t<uint8_t>(shape);
  const PixelMemory::Block block = Pixels().Take(bytes);
  if (block.start == nullptr) throw std::bad_alloc();
  auto* owned = new PixelMemory::Block(block);
  py::capsule owner(owned, [](void* pointer) {
    auto* held = static_cast<PixelMemory::Block*>(pointer);
    Pixels().Give(*held);
    delete held;
  });
  return py::array_t<uint8_t>(shape, static_cast<uint8_t*>(block.start), owner);
}

// Counts the forks this process came out of (as a child). A decoder made
// before a fork may own worker threads the child does not have, and its lock
// may be held by a thread that did not come along: the child leaves both
// behind and makes new ones.
uint64_t forkGeneration = 0;
void AfterForkInChild() { ++forkGeneration; }

std::string ShapeText(const std::vector<py::ssize_t>& shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + (shape.size() == 1 ? ",)" : ")");
}

// Where the caller's array takes the picture: the first byte and the row
// stride, after checking that rows of width * bytesPerPixel bytes at that
// stride stay inside it. Pixels must be packed within a row (pixel stride =
// bytes per pixel, channel stride 1); rows may be apart by any larger stride.
struct Target {
  uint8_t* pixels;
  size_t stride;
};

Target CheckOut(const Py_buffer& view, uint32_t width, uint32_t height, uint32_t bytesPerPixel) {
  if (view.readonly) throw py::value_error("out is read-only");
  if (view.itemsize != 1 || (view.format != nullptr && std::strcmp(view.format, "B") != 0))
    throw py::type_error("out must be an array of uint8");
  std::vector<py::ssize_t> shape{height, width};
  if (bytesPerPixel > 1) shape.push_back(bytesPerPixel);
  std::vector<py::ssize_t> actual(view.shape, view.shape + view.ndim);
  const bool greyWithChannel = bytesPerPixel == 1 && view.ndim == 3 && actual == std::vector<py::ssize_t>{height, width, 1};
  if (actual != shape && !greyWithChannel)
    throw py::value_error("out has shape " + ShapeText(actual) + "; the picture needs " + ShapeText(shape));
  // Strides of dimensions of length 1 mean nothing (NumPy may give any value).
  const py::ssize_t rowBytes = static_cast<py::ssize_t>(width) * bytesPerPixel;
  if (view.ndim >= 3 && bytesPerPixel > 1 && view.strides[2] != 1)
    throw py::value_error("out must hold the channels of a pixel next to each other (channel stride 1)");
  if (width > 1 && view.strides[1] != static_cast<py::ssize_t>(bytesPerPixel))
    throw py::value_error("out must hold the pixels of a row next to each other (pixel stride " +
                          std::to_string(bytesPerPixel) + ")");
  py::ssize_t stride = rowBytes;
  if (height > 1) {
    stride = view.strides[0];
    if (stride < rowBytes)
      throw py::value_error("out's row stride (" + std::to_string(stride) + ") must be at least " +
                            std::to_string(rowBytes) + " bytes, top row first");
  }
  return {static_cast<uint8_t*>(view.buf), static_cast<size_t>(stride)};
}

py::dict InfoDict(ZfStatus status, const ZfInfo& info) {
  py::list components;
  for (uint32_t i = 0; i < info.components && i < 4; ++i)
    components.append(py::make_tuple(info.component[i].id, info.component[i].sampling >> 4,
                                     info.component[i].sampling & 15, info.component[i].quantTable));
  return py::dict("status"_a = static_cast<int>(status), "width"_a = info.width, "height"_a = info.height,
                  "components"_a = info.components, "sampling_code"_a = info.samplingCode,
                  "restart_interval"_a = info.restartInterval, "frame_marker"_a = info.frameMarker,
                  "precision"_a = info.precision, "component_info"_a = py::tuple(components),
                  "color_space"_a = info.colorSpace, "scan_components"_a = info.scanComponents,
                  "work_bytes"_a = info.workBytes, "orientation"_a = info.orientation);
}

class Decoder {
 public:
  Decoder(uint32_t threads, uint64_t maxPixels) : threads_(threads), maxPixels_(maxPixels) { Make(); }
  ~Decoder() {
    // A decoder inherited through a fork is left alone: its threads are not here.
    if (generation_ == forkGeneration) ZfDestroyDecoder(decoder_);
    else (void)lock_.release();
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  uint32_t threads() const { return threads_; }
  uint64_t maxPixels() const { return maxPixels_; }

  // Returns (array or None, status, failed MCU, width, height). Nothing is
  // written and no array is made when the headers are refused or the frame
  // is over the pixel limit.
  // scale: 1, 2, 4 or 8; orient: turn by the stream's EXIF orientation;
  // region: (x, y, width, height) of the scaled, turned picture, or None.
  // Status BAD_ARGUMENT (nothing decoded) for a view the picture cannot give.
  py::tuple Decode(const py::object& stream, int format, const py::object& out, uint32_t scale, bool orient,
                   const py::object& region) {
    const uint32_t bytesPerPixel = ZfBytesPerPixel(static_cast<ZfFormat>(format));
    if (bytesPerPixel == 0) throw py::value_error("unknown format code " + std::to_string(format));
    HeldBuffer data(stream, PyBUF_SIMPLE);
    ZfInfo info{};
    ZfStatus status = ZfReadInfo(data.bytes(), data.size(), &info);
    if (status == kZfOk && static_cast<uint64_t>(info.width) * info.height > maxPixels_) status = kZfTooLarge;
    if (status != kZfOk) return py::make_tuple(py::none(), static_cast<int>(status), 0, info.width, info.height);
    ZfView view{scale, orient ? info.orientation : 0, 0, 0, 0, 0};
    if (!region.is_none()) {
      const auto box = region.cast<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>>();
      view.x = std::get<0>(box);
      view.y = std::get<1>(box);
      view.width = std::get<2>(box);
      view.height = std::get<3>(box);
    }
    uint32_t width = 0, height = 0;
    if (ZfViewSize(&info, &view, &width, &height) != kZfOk)
      return py::make_tuple(py::none(), static_cast<int>(kZfBadArgument), 0, info.width, info.height);

    py::object array;
    std::unique_ptr<HeldBuffer> held;
    Target target{};
    if (out.is_none()) {
      std::vector<py::ssize_t> shape{height, width};
      if (bytesPerPixel > 1) shape.push_back(bytesPerPixel);
      py::array_t<uint8_t> fresh = NewArray(shape);
      target = {fresh.mutable_data(), static_cast<size_t>(width) * bytesPerPixel};
      array = std::move(fresh);
    } else {
      held = std::make_unique<HeldBuffer>(out, PyBUF_RECORDS);
      target = CheckOut(held->view(), width, height, bytesPerPixel);
      array = out;
    }
    if (generation_ != forkGeneration) {
      (void)lock_.release();
      Make();
    }
    const ZfOutput output{static_cast<ZfFormat>(format), target.pixels, target.stride, nullptr, nullptr};
    uint32_t failedMcu = 0;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> hold(*lock_);
      status = ZfDecodeView(decoder_, data.bytes(), data.size(), &output, &view);
      if (status == kZfBadData) failedMcu = ZfFailedMcu(decoder_);
    }
    return py::make_tuple(array, static_cast<int>(status), failedMcu, info.width, info.height);
  }

 private:
  void Make() {
    ZfOptions options{};
    options.threads = threads_;
    options.maxPixels = maxPixels_;
    decoder_ = ZfCreateDecoder(&options);
    if (decoder_ == nullptr) throw std::bad_alloc();
    lock_ = std::make_unique<std::mutex>();
    generation_ = forkGeneration;
  }

  uint32_t threads_;
  uint64_t maxPixels_;
  ZfDecoder* decoder_ = nullptr;
  std::unique_ptr<std::mutex> lock_;  // one decode at a time per decoder
  uint64_t generation_ = 0;
};

py::dict ReadInfo(const py::object& stream) {
  HeldBuffer data(stream, PyBUF_SIMPLE);
  ZfInfo info{};
  const ZfStatus status = ZfReadInfo(data.bytes(), data.size(), &info);
  return InfoDict(status, info);
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "The zentrafold C API (use the zentrafold package, not this module).";
  pthread_atfork(nullptr, nullptr, AfterForkInChild);

  py::dict statuses;
  const std::pair<const char*, ZfStatus> kStatuses[] = {
      {"OK", kZfOk},
      {"DAMAGED", kZfDamaged},
      {"STOPPED", kZfStopped},
      {"TOO_LARGE", kZfTooLarge},
      {"BAD_ARGUMENT", kZfBadArgument},
      {"NO_MEMORY", kZfNoMemory},
      {"NOT_JPEG", kZfNotJpeg},
      {"TRUNCATED", kZfTruncated},
      {"PROGRESSIVE", kZfProgressive},
      {"ARITHMETIC", kZfArithmetic},
      {"LOSSLESS", kZfLossless},
      {"HIERARCHICAL", kZfHierarchical},
      {"EXTENDED", kZfExtended},
      {"PRECISION", kZfPrecision},
      {"COMPONENT_COUNT", kZfComponentCount},
      {"SAMPLING", kZfSampling},
      {"COMPONENTS", kZfComponents},
      {"TABLES", kZfTables},
      {"SECOND_APP0", kZfSecondApp0},
      {"SECOND_FRAME", kZfSecondFrame},
      {"TABLE_REDEFINED", kZfTableRedefined},
      {"BAD_HUFFMAN_TABLE", kZfBadHuffmanTable},
      {"ZERO_SIZE", kZfZeroSize},
      {"NO_FRAME", kZfNoFrame},
      {"MISSING_TABLES", kZfMissingTables},
      {"SEVERAL_SCANS", kZfSeveralScans},
      {"MALFORMED", kZfMalformed},
      {"BAD_DATA", kZfBadData},
      {"WORK_TOO_LARGE", kZfWorkTooLarge},
      {"BAD_FORMAT", kZfBadFormat},
      {"ICC_CHUNKS", kZfIccChunks},
  };
  for (const auto& [name, code] : kStatuses) statuses[name] = static_cast<int>(code);
  m.attr("STATUSES") = statuses;

  py::dict formats;
  const std::pair<const char*, ZfFormat> kFormats[] = {
      {"BGRX", kZfBgrx}, {"RGBX", kZfRgbx}, {"BGRA", kZfBgra}, {"RGBA", kZfRgba},
      {"BGR", kZfBgr},   {"RGB", kZfRgb},   {"L", kZfGrey},    {"CMYK", kZfCmyk},
  };
  for (const auto& [name, code] : kFormats) formats[name] = static_cast<int>(code);
  m.attr("FORMATS") = formats;

  py::class_<Decoder>(m, "Decoder")
      .def(py::init<uint32_t, uint64_t>(), "threads"_a, "max_pixels"_a)
      .def_property_readonly("threads", &Decoder::threads)
      .def_property_readonly("max_pixels", &Decoder::maxPixels)
      .def("decode", &Decoder::Decode, "stream"_a, "format"_a, "out"_a = py::none(), "scale"_a = 1,
           "orient"_a = false, "region"_a = py::none());
  // (status, profile bytes or None)
  m.def("icc_profile", [](const py::object& stream) {
    HeldBuffer data(stream, PyBUF_SIMPLE);
    size_t size = 0;
    ZfStatus status = ZfReadIccProfile(data.bytes(), data.size(), nullptr, 0, &size);
    if (status != kZfOk || size == 0) return py::make_tuple(static_cast<int>(status), py::none());
    std::string profile(size, '\0');
    status = ZfReadIccProfile(data.bytes(), data.size(), reinterpret_cast<uint8_t*>(profile.data()), size, &size);
    return py::make_tuple(static_cast<int>(status), py::bytes(profile));
  }, "stream"_a);
  m.def("read_info", &ReadInfo, "stream"_a);
  m.def("status_text", [](int status) { return std::string(ZfStatusText(static_cast<ZfStatus>(status))); });
  m.def("frame_kind_text", [](uint32_t marker) { return std::string(ZfFrameKindText(marker)); });
  m.def("bytes_per_pixel", [](int format) { return ZfBytesPerPixel(static_cast<ZfFormat>(format)); });
  m.def("fast_paths", [] { return std::string(ZfFastPaths()); });
  m.attr("LIBRARY_VERSION") = ZfVersionText();
  m.def("set_kept_memory", [](size_t limit) { return Pixels().SetLimit(limit); }, "limit"_a);
  m.def("kept_memory", [] { return Pixels().KeptBytes(); });
}
