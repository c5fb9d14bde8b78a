#include "x11_probe.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace zentrafold::x11probe {
namespace {

// Xlib reports a window vanishing between listing and querying as an error;
// for a probe that only means "not this one".
int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

std::string TitleOf(Display* display, ::Window window) {
  const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, netWmName, 0, 1024, False, utf8, &type, &format, &count,
                         &after, &data) == Success &&
      data != nullptr) {
    std::string title(reinterpret_cast<char*>(data), count);
    XFree(data);
    if (!title.empty()) return title;
  }
  char* name = nullptr;
  if (XFetchName(display, window, &name) != 0 && name != nullptr) {
    std::string title = name;
    XFree(name);
    return title;
  }
  return {};
}

std::optional<::Window> Search(Display* display, ::Window window, const std::string& title,
                               int depth) {
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display, window, &attributes) != 0 &&
      attributes.map_state == IsViewable && TitleOf(display, window) == title)
    return window;
  if (depth == 0) return std::nullopt;
  ::Window root = 0, parent = 0, *children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return std::nullopt;
  std::optional<::Window> found;
  for (unsigned int i = 0; i < count && !found; ++i) found = Search(display, children[i], title, depth - 1);
  if (children != nullptr) XFree(children);
  return found;
}

int ShiftOf(unsigned long mask) {
  int shift = 0;
  while (mask != 0 && (mask & 1u) == 0) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

uint32_t Channel(unsigned long pixel, unsigned long mask) {
  if (mask == 0) return 0;
  const unsigned long value = (pixel & mask) >> ShiftOf(mask);
  const unsigned long max = mask >> ShiftOf(mask);
  return static_cast<uint32_t>((value * 255u + max / 2) / max);
}

}  // namespace

Connection::Connection(const char* displayName) {
  display_ = XOpenDisplay(displayName);
  if (display_ != nullptr) XSetErrorHandler(IgnoreErrors);
}

Connection::~Connection() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

std::optional<::Window> Connection::FindByTitle(const std::string& title) const {
  // Top-level windows, and one or two levels below for window managers'
  // frames and for programs that put their title on a child.
  return Search(display_, DefaultRootWindow(display_), title, 3);
}

std::optional<::Window> Connection::WaitForTitle(const std::string& title,
                                                 std::chrono::milliseconds timeout) const {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto window = FindByTitle(title)) return window;
    if (std::chrono::steady_clock::now() > end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::optional<Geometry> Connection::GeometryOf(::Window window) const {
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display_, window, &attributes) == 0) return std::nullopt;
  int x = 0, y = 0;
  ::Window child = 0;
  XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
  return Geometry{x, y, attributes.width, attributes.height};
}

Image Connection::GrabScreen(int x, int y, int width, int height) const {
  Image image;
  const ::Window root = DefaultRootWindow(display_);
  XImage* pixels = XGetImage(display_, root, x, y, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (pixels == nullptr) return image;
  Visual* visual = DefaultVisual(display_, DefaultScreen(display_));
  image.width = width;
  image.height = height;
  image.rgb.resize(static_cast<size_t>(width) * height);
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      const unsigned long pixel = XGetPixel(pixels, column, row);
      image.rgb[static_cast<size_t>(row) * width + column] =
          (Channel(pixel, visual->red_mask) << 16) | (Channel(pixel, visual->green_mask) << 8) |
          Channel(pixel, visual->blue_mask);
    }
  }
  XDestroyImage(pixels);
  return image;
}

Image Connection::GrabWindow(::Window window) const {
  const auto geometry = GeometryOf(window);
  if (!geometry) return {};
  return GrabScreen(geometry->x, geometry->y, geometry->width, geometry->height);
}

Image Connection::WaitForScreen(int x, int y, int width, int height,
                                std::chrono::milliseconds timeout,
                                bool (*ready)(const Image&, const void*), const void* context) const {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Image image = GrabScreen(x, y, width, height);
    if (ready(image, context) || std::chrono::steady_clock::now() > end) return image;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void Connection::Resize(::Window window, int width, int height) const {
  XResizeWindow(display_, window, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XSync(display_, False);
}

void Connection::SendDeleteWindow(::Window window) const {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, window, False, NoEventMask, &event);
  XSync(display_, False);
}

void Connection::Sync() const { XSync(display_, False); }

bool WritePng(const Image& image, const std::string& path) {
  if (image.width <= 0 || image.height <= 0) return false;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<png_byte> row(static_cast<size_t>(image.width) * 3);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const uint32_t pixel = image.At(x, y);
      row[x * 3 + 0] = static_cast<png_byte>(pixel >> 16);
      row[x * 3 + 1] = static_cast<png_byte>(pixel >> 8);
      row[x * 3 + 2] = static_cast<png_byte>(pixel);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0;
}

}  // namespace zentrafold::x11probe
