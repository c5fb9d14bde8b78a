// USER on Xlib: window classes, top-level windows, the message queue and
// painting.
//
// The message model follows Windows where programs can tell:
//   - GetMessageA returns posted messages first, then WM_QUIT once
//     PostQuitMessage was called, then WM_PAINT while a window has an update
//     region; only then does it wait for the X server.
//   - Expose adds to the update region. A size change invalidates the whole
//     window when the class has CS_HREDRAW (width) or CS_VREDRAW (height);
//     otherwise the server's NorthWest bit gravity keeps the old pixels and
//     only the uncovered part is exposed. WM_SIZE is sent on every change.
//   - BeginPaint sends WM_ERASEBKGND when the region needs erasing, and
//     DefWindowProcA answers it by filling with the class background.
//   - The close button (WM_DELETE_WINDOW) posts WM_CLOSE; DefWindowProcA
//     destroys the window, which sends WM_DESTROY.
// Windows never get a server background (background None), so every pixel
// on screen is one the program painted.
//
// What it deliberately does not do: child windows, input messages, timers,
// clipping paints to the update region, icons beyond a handle.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform_internal.h"
#include "x11_internal.h"

namespace zentrafold::platform {
namespace {

// System colours by COLOR_* index; only the window colour is known.
constexpr int kColorWindow = COLOR_WINDOW;
constexpr uint32_t kWindowColorRgb = 0xFFFFFF;

struct WindowClass {
  std::string name;
  UINT style;
  WNDPROC procedure;
  HINSTANCE instance;
  HCURSOR cursor;
  bool hasBackground;
  uint32_t backgroundRgb;
};

struct UserWindow {
  ::Window id;
  const WindowClass* windowClass;
  int width;
  int height;
  HDC dc;
  GC gc;
  bool mapped;
  bool invalid;   // has an update region
  bool erase;     // the update region still needs its background
  RECT update;    // bounding box of the update region
  bool destroying;
};

// How a 32-bit section pixel (blue, green, red, 0 in memory) becomes a
// pixel value of the visual: each channel is cut to its mask's width and
// shifted into place; the bits of none of the masks (the alpha of a depth-32
// visual) are set, so the window is opaque.
struct PixelFormat {
  int redShift, greenShift, blueShift;
  int redBits, greenBits, blueBits;
  unsigned long opaqueBits;
  // The section's bytes are already the server's pixels: depth 24 in 32-bit
  // units, least significant byte first, 8-bit channels at 16, 8 and 0.
  bool sectionIsNative;
};

struct Session {
  Display* display = nullptr;
  bool openFailed = false;
  int screen = 0;
  Visual* visual = nullptr;
  int depth = 0;
  Colormap colormap = 0;
  PixelFormat format{};
  Atom wmProtocols = 0, wmDeleteWindow = 0, netWmName = 0, utf8String = 0;
  Cursor arrow = 0;
  std::vector<std::unique_ptr<WindowClass>> classes;
  std::vector<std::unique_ptr<UserWindow>> windows;
  std::deque<MSG> posted;
  bool quitPosted = false;
  int quitCode = 0;
  int preferredDepth = 0;
};

Session& TheSession() {
  static Session session;
  return session;
}

// Icons and cursors are tokens: there is one of each.
char applicationIcon;
char arrowCursor;

void MaskToShift(unsigned long mask, int& shift, int& bits) {
  shift = 0;
  bits = 0;
  if (mask == 0) return;
  while ((mask & 1u) == 0) {
    mask >>= 1;
    ++shift;
  }
  while ((mask & 1u) != 0) {
    mask >>= 1;
    ++bits;
  }
}

int BitsPerPixelOfDepth(Display* display, int depth) {
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(display, &count);
  int bitsPerPixel = 0;
  for (int i = 0; i < count; ++i) {
    if (formats[i].depth == depth) bitsPerPixel = formats[i].bits_per_pixel;
  }
  if (formats != nullptr) XFree(formats);
  return bitsPerPixel;
}

bool ChooseVisual(Session& s) {
  XVisualInfo info{};
  if (s.preferredDepth != 0 &&
      XMatchVisualInfo(s.display, s.screen, s.preferredDepth, TrueColor, &info) != 0) {
    s.visual = info.visual;
    s.depth = info.depth;
    s.colormap = XCreateColormap(s.display, RootWindow(s.display, s.screen), s.visual, AllocNone);
  } else {
    s.visual = DefaultVisual(s.display, s.screen);
    s.depth = DefaultDepth(s.display, s.screen);
    s.colormap = DefaultColormap(s.display, s.screen);
  }
  XVisualInfo query{};
  query.visualid = XVisualIDFromVisual(s.visual);
  int count = 0;
  XVisualInfo* found = XGetVisualInfo(s.display, VisualIDMask, &query, &count);
  const bool trueColor = found != nullptr && count > 0 && found[0].c_class == TrueColor;
  if (found != nullptr) XFree(found);
  if (!trueColor) {
    std::fprintf(stderr, "zentrafold: the X display's visual is not TrueColor\n");
    return false;
  }
  PixelFormat& f = s.format;
  MaskToShift(s.visual->red_mask, f.redShift, f.redBits);
  MaskToShift(s.visual->green_mask, f.greenShift, f.greenBits);
  MaskToShift(s.visual->blue_mask, f.blueShift, f.blueBits);
  const unsigned long depthBits =
      s.depth >= 32 ? 0xFFFFFFFFul : ((1ul << s.depth) - 1ul);
  f.opaqueBits = depthBits & ~(s.visual->red_mask | s.visual->green_mask | s.visual->blue_mask);
  f.sectionIsNative = s.depth == 24 && BitsPerPixelOfDepth(s.display, s.depth) == 32 &&
                      ImageByteOrder(s.display) == LSBFirst && s.visual->red_mask == 0xFF0000 &&
                      s.visual->green_mask == 0x00FF00 && s.visual->blue_mask == 0x0000FF;
  return true;
}

Session* OpenedSession() {
  Session& s = TheSession();
  if (s.display != nullptr) return &s;
  if (s.openFailed) return nullptr;
  s.display = XOpenDisplay(nullptr);
  if (s.display == nullptr) {
    const char* name = std::getenv("DISPLAY");
    std::fprintf(stderr, "zentrafold: cannot open the X display \"%s\"\n", name ? name : "");
    s.openFailed = true;
    return nullptr;
  }
  s.screen = DefaultScreen(s.display);
  if (!ChooseVisual(s)) {
    XCloseDisplay(s.display);
    s.display = nullptr;
    s.openFailed = true;
    return nullptr;
  }
  s.wmProtocols = XInternAtom(s.display, "WM_PROTOCOLS", False);
  s.wmDeleteWindow = XInternAtom(s.display, "WM_DELETE_WINDOW", False);
  s.netWmName = XInternAtom(s.display, "_NET_WM_NAME", False);
  s.utf8String = XInternAtom(s.display, "UTF8_STRING", False);
  return &s;
}

unsigned long PixelValue(const PixelFormat& f, uint32_t red, uint32_t green, uint32_t blue) {
  auto place = [](uint32_t value, int shift, int bits) -> unsigned long {
    const uint32_t cut = bits >= 8 ? value << (bits - 8) : value >> (8 - bits);
    return static_cast<unsigned long>(cut) << shift;
  };
  return place(red, f.redShift, f.redBits) | place(green, f.greenShift, f.greenBits) |
         place(blue, f.blueShift, f.blueBits) | f.opaqueBits;
}

UserWindow* FindUserWindow(HWND handle) {
  Session& s = TheSession();
  for (auto& window : s.windows) {
    if (reinterpret_cast<HWND>(window.get()) == handle) return window.get();
  }
  return nullptr;
}

UserWindow* FindWindowById(::Window id) {
  for (auto& window : TheSession().windows) {
    if (window->id == id) return window.get();
  }
  return nullptr;
}

HWND HandleOf(UserWindow* window) { return reinterpret_cast<HWND>(window); }

LRESULT Send(UserWindow* window, UINT message, WPARAM wParam, LPARAM lParam) {
  return window->windowClass->procedure(HandleOf(window), message, wParam, lParam);
}

void Invalidate(UserWindow& window, const RECT& area, bool erase) {
  if (!window.invalid) {
    window.update = area;
  } else {
    window.update.left = std::min(window.update.left, area.left);
    window.update.top = std::min(window.update.top, area.top);
    window.update.right = std::max(window.update.right, area.right);
    window.update.bottom = std::max(window.update.bottom, area.bottom);
  }
  window.invalid = true;
  window.erase = window.erase || erase;
}

void InvalidateAll(UserWindow& window) { Invalidate(window, RECT{0, 0, window.width, window.height}, true); }

void PresentPixels(void* handle, int x, int y, int width, int height, const BitmapObject& source,
                   int sourceX, int sourceY) {
  Session& s = TheSession();
  auto* window = static_cast<UserWindow*>(handle);
  if (s.display == nullptr) return;
  XImage* image = nullptr;
  if (s.format.sectionIsNative && source.topDown) {
    // The section itself, no copy.
    image = XCreateImage(s.display, s.visual, static_cast<unsigned>(s.depth), ZPixmap, 0,
                         static_cast<char*>(source.bits), static_cast<unsigned>(source.width),
                         static_cast<unsigned>(source.height), 32, source.width * 4);
    if (image == nullptr) return;
    XPutImage(s.display, window->id, window->gc, image, sourceX, sourceY, x, y,
              static_cast<unsigned>(width), static_cast<unsigned>(height));
    image->data = nullptr;  // the section's memory is not Xlib's to free
  } else {
    // Any other TrueColor layout, or a bottom-up section: pixel by pixel.
    const int bitsPerPixel = BitsPerPixelOfDepth(s.display, s.depth);
    const int pad = bitsPerPixel > 16 ? 32 : (bitsPerPixel > 8 ? 16 : 8);
    const int stride = ((width * bitsPerPixel + pad - 1) / pad) * (pad / 8);
    auto* data = static_cast<char*>(std::calloc(static_cast<size_t>(stride), static_cast<size_t>(height)));
    if (data == nullptr) return;
    image = XCreateImage(s.display, s.visual, static_cast<unsigned>(s.depth), ZPixmap, 0, data,
                         static_cast<unsigned>(width), static_cast<unsigned>(height), pad, stride);
    if (image == nullptr) {
      std::free(data);
      return;
    }
    for (int row = 0; row < height; ++row) {
      const unsigned char* pixel = PixelRow(source, sourceY + row) + sourceX * 4;
      for (int column = 0; column < width; ++column, pixel += 4) {
        XPutPixel(image, column, row,
                  PixelValue(s.format, pixel[kSectionRed], pixel[kSectionGreen], pixel[kSectionBlue]));
      }
    }
    XPutImage(s.display, window->id, window->gc, image, 0, 0, x, y,
              static_cast<unsigned>(width), static_cast<unsigned>(height));
  }
  XDestroyImage(image);
  XFlush(s.display);
}

// serverGone: another client destroyed the X window already.
void DestroyWindow(UserWindow* window, bool serverGone = false) {
  if (window->destroying) return;
  window->destroying = true;
  Send(window, WM_DESTROY, 0, 0);
  Session& s = TheSession();
  if (!serverGone) XDestroyWindow(s.display, window->id);
  XFreeGC(s.display, window->gc);
  XFlush(s.display);
  DestroyWindowDc(window->dc);
  const HWND handle = HandleOf(window);
  std::erase_if(s.posted, [handle](const MSG& m) { return m.hwnd == handle; });
  std::erase_if(s.windows, [window](const std::unique_ptr<UserWindow>& w) { return w.get() == window; });
}

// Turns one X event into window state, sent messages or posted messages.
void HandleEvent(Session& s, XEvent& event) {
  UserWindow* window = FindWindowById(event.xany.window);
  if (window == nullptr) return;
  switch (event.type) {
    case Expose: {
      const XExposeEvent& e = event.xexpose;
      Invalidate(*window, RECT{e.x, e.y, e.x + e.width, e.y + e.height}, true);
      break;
    }
    case ConfigureNotify: {
      const XConfigureEvent& e = event.xconfigure;
      const bool wider = e.width != window->width, taller = e.height != window->height;
      if (!wider && !taller) break;
      window->width = e.width;
      window->height = e.height;
      const UINT style = window->windowClass->style;
      if ((wider && (style & CS_HREDRAW) != 0) || (taller && (style & CS_VREDRAW) != 0))
        InvalidateAll(*window);
      Send(window, WM_SIZE, 0,
           static_cast<LPARAM>((static_cast<uint32_t>(e.height & 0xFFFF) << 16) |
                               static_cast<uint32_t>(e.width & 0xFFFF)));
      break;
    }
    case MapNotify:
      window->mapped = true;
      break;
    case UnmapNotify:
      window->mapped = false;
      break;
    case DestroyNotify:
      // Not ours (we forget a window before destroying it): some other
      // client destroyed it, so the program learns of it as WM_DESTROY.
      DestroyWindow(window, true);
      break;
    case ClientMessage:
      if (event.xclient.message_type == s.wmProtocols &&
          static_cast<Atom>(event.xclient.data.l[0]) == s.wmDeleteWindow) {
        MSG close{};
        close.hwnd = HandleOf(window);
        close.message = WM_CLOSE;
        s.posted.push_back(close);
      }
      break;
    default:
      break;
  }
}

}  // namespace

void PreferVisualDepthForTests(int depth) { TheSession().preferredDepth = depth; }

int ActiveVisualDepthForTests() { return TheSession().depth; }

}  // namespace zentrafold::platform

using namespace zentrafold::platform;

HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  if (instance != nullptr || name != IDI_APPLICATION) return nullptr;
  return reinterpret_cast<HICON>(&applicationIcon);
}

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
  if (instance != nullptr || name != IDC_ARROW) return nullptr;
  return reinterpret_cast<HCURSOR>(&arrowCursor);
}

ATOM RegisterClassExA(const WNDCLASSEXA* windowClass) {
  Session& s = TheSession();
  if (windowClass == nullptr || windowClass->cbSize != sizeof(WNDCLASSEXA) ||
      windowClass->lpfnWndProc == nullptr || windowClass->lpszClassName == nullptr ||
      windowClass->lpszClassName[0] == '\0' || windowClass->cbClsExtra != 0 ||
      windowClass->cbWndExtra != 0)
    return 0;
  for (const auto& existing : s.classes) {
    if (existing->name == windowClass->lpszClassName) return 0;
  }
  auto entry = std::make_unique<WindowClass>();
  entry->name = windowClass->lpszClassName;
  entry->style = windowClass->style;
  entry->procedure = windowClass->lpfnWndProc;
  entry->instance = windowClass->hInstance;
  entry->cursor = windowClass->hCursor;
  const auto brush = reinterpret_cast<uintptr_t>(windowClass->hbrBackground);
  entry->hasBackground = brush == static_cast<uintptr_t>(kColorWindow + 1);
  entry->backgroundRgb = kWindowColorRgb;
  s.classes.push_back(std::move(entry));
  // Atoms number the classes from 0xC000, as registered names do on Windows.
  return static_cast<ATOM>(0xC000u + s.classes.size() - 1u);
}

HWND CreateWindowExA(DWORD /*exStyle*/, LPCSTR className, LPCSTR windowName, DWORD /*style*/,
                     int x, int y, int width, int height, HWND parent, HMENU /*menu*/,
                     HINSTANCE /*instance*/, LPVOID /*param*/) {
  Session& registry = TheSession();
  const WindowClass* windowClass = nullptr;
  for (const auto& entry : registry.classes) {
    if (className != nullptr && entry->name == className) windowClass = entry.get();
  }
  if (windowClass == nullptr || parent != nullptr || width <= 0 || height <= 0) return nullptr;
  Session* opened = OpenedSession();
  if (opened == nullptr) return nullptr;
  Session& s = *opened;

  const ::Window root = RootWindow(s.display, s.screen);
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = None;
  attributes.border_pixel = 0;
  attributes.bit_gravity = NorthWestGravity;
  attributes.colormap = s.colormap;
  attributes.event_mask = ExposureMask | StructureNotifyMask;
  const ::Window id = XCreateWindow(
      s.display, root, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
      s.depth, InputOutput, s.visual,
      CWBackPixmap | CWBorderPixel | CWBitGravity | CWColormap | CWEventMask, &attributes);
  if (id == 0) return nullptr;

  const char* title = windowName != nullptr ? windowName : "";
  XStoreName(s.display, id, title);
  XChangeProperty(s.display, id, s.netWmName, s.utf8String, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title), static_cast<int>(std::strlen(title)));
  XSizeHints* hints = XAllocSizeHints();
  if (hints != nullptr) {
    hints->flags = USPosition | USSize;
    hints->x = x;
    hints->y = y;
    hints->width = width;
    hints->height = height;
    XSetWMNormalHints(s.display, id, hints);
    XFree(hints);
  }
  XClassHint* classHint = XAllocClassHint();
  if (classHint != nullptr) {
    std::string resourceName = "zentrafold";
    std::string resourceClass = windowClass->name;
    classHint->res_name = resourceName.data();
    classHint->res_class = resourceClass.data();
    XSetClassHint(s.display, id, classHint);
    XFree(classHint);
  }
  Atom protocols[] = {s.wmDeleteWindow};
  XSetWMProtocols(s.display, id, protocols, 1);
  if (windowClass->cursor == reinterpret_cast<HCURSOR>(&arrowCursor)) {
    if (s.arrow == 0) s.arrow = XCreateFontCursor(s.display, XC_left_ptr);
    XDefineCursor(s.display, id, s.arrow);
  }

  auto window = std::make_unique<UserWindow>();
  window->id = id;
  window->windowClass = windowClass;
  window->width = width;
  window->height = height;
  window->gc = XCreateGC(s.display, id, 0, nullptr);
  window->dc = CreateWindowDc(window.get(), PresentPixels);
  UserWindow* created = window.get();
  s.windows.push_back(std::move(window));

  if (Send(created, WM_CREATE, 0, 0) == -1) {
    DestroyWindow(created);
    return nullptr;
  }
  return HandleOf(created);
}

BOOL ShowWindow(HWND handle, int command) {
  UserWindow* window = FindUserWindow(handle);
  if (window == nullptr) return FALSE;
  Session& s = TheSession();
  const BOOL wasVisible = window->mapped ? TRUE : FALSE;
  if (command == SW_HIDE) {
    XUnmapWindow(s.display, window->id);
  } else {
    XMapWindow(s.display, window->id);
    InvalidateAll(*window);
  }
  XFlush(s.display);
  return wasVisible;
}

BOOL UpdateWindow(HWND handle) {
  UserWindow* window = FindUserWindow(handle);
  if (window == nullptr) return FALSE;
  if (window->invalid) Send(window, WM_PAINT, 0, 0);
  return TRUE;
}

HDC GetDC(HWND handle) {
  UserWindow* window = FindUserWindow(handle);
  return window != nullptr ? window->dc : nullptr;
}

HDC BeginPaint(HWND handle, PAINTSTRUCT* paint) {
  UserWindow* window = FindUserWindow(handle);
  if (window == nullptr || paint == nullptr) return nullptr;
  *paint = PAINTSTRUCT{};
  paint->hdc = window->dc;
  if (window->invalid) {
    paint->rcPaint = window->update;
    if (window->erase) {
      window->erase = false;
      paint->fErase = Send(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(window->dc), 0) == 0;
    }
    window->invalid = false;
  }
  return window->dc;
}

BOOL EndPaint(HWND handle, const PAINTSTRUCT* /*paint*/) {
  if (FindUserWindow(handle) == nullptr) return FALSE;
  XFlush(TheSession().display);
  return TRUE;
}

BOOL GetMessageA(MSG* message, HWND filter, UINT /*filterMin*/, UINT /*filterMax*/) {
  Session& s = TheSession();
  if (message == nullptr || (filter != nullptr && FindUserWindow(filter) == nullptr)) return -1;
  for (;;) {
    while (s.display != nullptr && XPending(s.display) > 0) {
      XEvent event;
      XNextEvent(s.display, &event);
      HandleEvent(s, event);
    }
    if (!s.posted.empty()) {
      *message = s.posted.front();
      s.posted.pop_front();
      return TRUE;
    }
    if (s.quitPosted) {
      s.quitPosted = false;
      *message = MSG{};
      message->message = WM_QUIT;
      message->wParam = static_cast<WPARAM>(static_cast<intptr_t>(s.quitCode));
      return FALSE;
    }
    for (auto& window : s.windows) {
      if (window->invalid) {
        *message = MSG{};
        message->hwnd = HandleOf(window.get());
        message->message = WM_PAINT;
        return TRUE;
      }
    }
    if (s.display == nullptr) return -1;  // nothing could ever arrive
    XEvent event;
    XNextEvent(s.display, &event);
    HandleEvent(s, event);
  }
}

BOOL TranslateMessage(const MSG* /*message*/) { return FALSE; }

LRESULT DispatchMessageA(const MSG* message) {
  if (message == nullptr) return 0;
  UserWindow* window = FindUserWindow(message->hwnd);
  if (window == nullptr) return 0;
  return Send(window, message->message, message->wParam, message->lParam);
}

LRESULT DefWindowProcA(HWND handle, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/) {
  UserWindow* window = FindUserWindow(handle);
  if (window == nullptr) return 0;
  switch (message) {
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_ERASEBKGND: {
      if (!window->windowClass->hasBackground) return 0;
      Session& s = TheSession();
      const uint32_t rgb = window->windowClass->backgroundRgb;
      XSetForeground(s.display, window->gc,
                     PixelValue(s.format, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
      const RECT& r = window->update;
      XFillRectangle(s.display, window->id, window->gc, r.left, r.top,
                     static_cast<unsigned>(std::max<LONG>(r.right - r.left, 0)),
                     static_cast<unsigned>(std::max<LONG>(r.bottom - r.top, 0)));
      return 1;
    }
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(handle, &paint);
      EndPaint(handle, &paint);
      return 0;
    }
    default:
      return 0;
  }
}

void PostQuitMessage(int exitCode) {
  Session& s = TheSession();
  s.quitPosted = true;
  s.quitCode = exitCode;
}
