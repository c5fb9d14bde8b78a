// zentrafold-demo: decodes the picture stored in the program and keeps it
// painted in the top-left corner of its window until the window is closed.
//
// Start-up order: class, window, window DC, decode, memory DC with the
// bitmap selected, show, message loop. Teardown is WM_DESTROY's: the bitmap
// is deselected before it is deleted, then the memory DC goes. The window DC
// is kept until the process ends.
//
// When the decode fails there is no bitmap: the window shows only its
// colour, nothing of the null record is touched, and the exit code is
// kExitDecodeFailed.
#include "viewer.h"

#include <zentrafold/decoder.h>

namespace {

constexpr char kClassName[] = "ZentrafoldClass";
constexpr char kTitle[] = "Zentrafold demo";
constexpr int kWindowX = 200;
constexpr int kWindowY = 200;
constexpr int kWindowWidth = 290;   // outer size
constexpr int kWindowHeight = 90;

// Process-wide, set once at start-up.
HDC windowDc = nullptr;
const ImageRecord* image = nullptr;  // null when the decode failed
HDC memoryDc = nullptr;
HGDIOBJ previousBitmap = nullptr;

LRESULT OnPaint(HWND window) {
  PAINTSTRUCT paint;
  BeginPaint(window, &paint);
  if (image != nullptr) {
    const LONG height = image->header.biHeight < 0 ? -image->header.biHeight : image->header.biHeight;
    BitBlt(windowDc, 0, 0, image->header.biWidth, height, memoryDc, 0, 0, SRCCOPY);
  }
  EndPaint(window, &paint);
  return 0;
}

LRESULT OnDestroy() {
  if (image != nullptr) {
    SelectObject(memoryDc, previousBitmap);
    DeleteObject(image->bitmap);
  }
  DeleteDC(memoryDc);
  PostQuitMessage(image != nullptr ? 0 : kExitDecodeFailed);
  return 0;
}

}  // namespace

LRESULT CALLBACK ViewerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      return OnPaint(window);
    case WM_DESTROY:
      return OnDestroy();
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

int ViewerShowStream(HINSTANCE instance, const uint8_t* stream, size_t size) {
  HICON icon = LoadIconA(nullptr, IDI_APPLICATION);
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof(WNDCLASSEXA);  // 48 bytes on 32-bit Windows, 80 on 64-bit
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = ViewerWndProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon;
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(COLOR_WINDOW + 1));
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = kClassName;
  windowClass.hIconSm = icon;
  RegisterClassExA(&windowClass);  // fails harmlessly when the class exists already

  HWND window = CreateWindowExA(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW, kWindowX, kWindowY,
                                kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return kExitNoWindow;
  windowDc = GetDC(window);

  image = DecodeImage(stream, size, windowDc);

  memoryDc = CreateCompatibleDC(windowDc);
  previousBitmap = image != nullptr ? SelectObject(memoryDc, image->bitmap) : nullptr;

  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);

  MSG message{};
  // GetMessageA's -1 (an error) keeps the loop going like any non-zero value.
  while (GetMessageA(&message, nullptr, 0, 0) != 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

int WINAPI ViewerMain(HINSTANCE instance, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
                      int /*show*/) {
  return ViewerShowStream(instance, kSampleImage, kSampleImageSize);
}

#if !defined(ZENTRAFOLD_VIEWER_NO_PROCESS_ENTRY)
// The process entry: the command line is read and not used further.
int main() {
  HINSTANCE module = GetModuleHandleA(nullptr);
  LPSTR commandLine = GetCommandLineA();
  const int result = ViewerMain(module, nullptr, commandLine, SW_SHOWDEFAULT);
  ExitProcess(static_cast<UINT>(result));
}
#endif
