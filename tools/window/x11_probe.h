// Looking at a running program's windows from outside, over a separate X
// connection: find a top-level window by title, read its pixels, resize it,
// ask it to close. Used by zentrafold-window and the UI tests.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zentrafold::x11probe {

// Pixels as 0xRRGGBB, rows top to bottom.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> rgb;
  uint32_t At(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
};

struct Geometry {
  int x, y;  // on the root window
  int width, height;
};

class Connection {
 public:
  // Connects to displayName, or to $DISPLAY when null. Check Ok().
  explicit Connection(const char* displayName = nullptr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool Ok() const { return display_ != nullptr; }
  Display* display() const { return display_; }

  // The first viewable window whose WM_NAME or _NET_WM_NAME is title.
  std::optional<::Window> FindByTitle(const std::string& title) const;
  std::optional<::Window> WaitForTitle(const std::string& title,
                                       std::chrono::milliseconds timeout) const;
  std::optional<Geometry> GeometryOf(::Window window) const;
  // What the screen shows in that rectangle of the root window.
  Image GrabScreen(int x, int y, int width, int height) const;
  Image GrabWindow(::Window window) const;
  // Waits until the rectangle shows what `ready` accepts, or the timeout.
  Image WaitForScreen(int x, int y, int width, int height, std::chrono::milliseconds timeout,
                      bool (*ready)(const Image&, const void*), const void* context) const;
  void Resize(::Window window, int width, int height) const;
  // The close button: a WM_PROTOCOLS / WM_DELETE_WINDOW client message.
  void SendDeleteWindow(::Window window) const;
  void Sync() const;

 private:
  Display* display_ = nullptr;
};

// Writes an 8-bit RGB PNG. Returns false on failure.
bool WritePng(const Image& image, const std::string& path);

}  // namespace zentrafold::x11probe
