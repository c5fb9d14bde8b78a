// The Win32 surface the decoder and the viewer are written against.
//
// On Windows this is <windows.h> itself: the real GDI, USER and kernel.
// Elsewhere it declares a small stand-in under the same names, types and
// signatures, implemented by the platform library over plain memory (GDI) and
// Xlib (USER). Types keep their Windows sizes: LONG and DWORD are 32-bit even
// where long is 64-bit, and BITMAPINFOHEADER is exactly 40 bytes.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else

#include <stddef.h>
#include <stdint.h>

typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef unsigned int UINT;
typedef void* HANDLE;
typedef void* LPVOID;
typedef void* HGDIOBJ;

// Distinct handle types, as <windows.h> declares them with STRICT.
#define ZENTRAFOLD_DECLARE_HANDLE(name) \
  struct name##__ {                     \
    int unused;                         \
  };                                    \
  typedef struct name##__* name
ZENTRAFOLD_DECLARE_HANDLE(HDC);
ZENTRAFOLD_DECLARE_HANDLE(HBITMAP);
ZENTRAFOLD_DECLARE_HANDLE(HWND);
ZENTRAFOLD_DECLARE_HANDLE(HINSTANCE);
ZENTRAFOLD_DECLARE_HANDLE(HICON);
ZENTRAFOLD_DECLARE_HANDLE(HBRUSH);
ZENTRAFOLD_DECLARE_HANDLE(HMENU);
typedef HICON HCURSOR;
typedef HINSTANCE HMODULE;

typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef uint16_t ATOM;
// Pointer-sized message parameters, as on 64-bit Windows.
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;

// Calling conventions only matter on 32-bit x86 Windows.
#define WINAPI
#define CALLBACK

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define BI_RGB 0L
#define DIB_RGB_COLORS 0

#pragma pack(push, 2)
typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER;
#pragma pack(pop)

typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO;

static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER must be 40 bytes");

// A bottom-up or top-down DIB section of 32 bits per pixel (BI_RGB), pixel
// memory zero-filled. The stand-in computes the size in 64-bit arithmetic and
// returns null when it exceeds 2^31 - 1 bytes or the memory cannot be had;
// *bits is then null too. hdc may be null; hSection must be null.
HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* info, UINT usage, void** bits,
                         HANDLE hSection, DWORD offset);

// Frees a bitmap (or another GDI object). Returns FALSE for a null or unknown
// handle and for a bitmap that is still selected into a device context.
// The stock bitmap of a fresh memory DC is never freed (TRUE, no effect).
BOOL DeleteObject(HGDIOBJ object);

// ---- GDI: memory device contexts (no display needed) ----

#define SRCCOPY 0x00CC0020u

// A memory DC. Like Windows, it starts with a 1x1 stock bitmap selected.
// hdc may be null or any DC.
HDC CreateCompatibleDC(HDC hdc);
// Selects a bitmap into a memory DC; returns the bitmap selected before, or
// null on failure (not a memory DC, not a bitmap, or a bitmap already
// selected into another DC).
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object);
// Copies a rectangle of the source DC's bitmap to the destination: another
// memory DC's bitmap, or a window DC (the window on screen). Only SRCCOPY;
// the copy is clipped to both surfaces.
BOOL BitBlt(HDC destination, int x, int y, int width, int height, HDC source, int sourceX,
            int sourceY, DWORD rop);
// Frees a memory DC; a bitmap selected into it is deselected, not freed.
BOOL DeleteDC(HDC hdc);

// ---- USER: window classes, windows, messages, painting (Xlib) ----

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT;

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG;

typedef struct tagPAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
} PAINTSTRUCT;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSEXA {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
  HICON hIconSm;
} WNDCLASSEXA;

#define MAKEINTRESOURCEA(i) ((LPSTR)(uintptr_t)(WORD)(i))
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
#define IDC_ARROW MAKEINTRESOURCEA(32512)

#define CS_VREDRAW 0x0001u
#define CS_HREDRAW 0x0002u

#define WS_OVERLAPPED 0x00000000u
#define WS_CAPTION 0x00C00000u
#define WS_SYSMENU 0x00080000u
#define WS_THICKFRAME 0x00040000u
#define WS_MINIMIZEBOX 0x00020000u
#define WS_MAXIMIZEBOX 0x00010000u
#define WS_OVERLAPPEDWINDOW \
  (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)

#define COLOR_WINDOW 5

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SW_SHOWDEFAULT 10

#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_SIZE 0x0005u
#define WM_PAINT 0x000Fu
#define WM_CLOSE 0x0010u
#define WM_QUIT 0x0012u
#define WM_ERASEBKGND 0x0014u

// Icons and cursors: only the system's (instance null, IDI_APPLICATION,
// IDC_ARROW); anything else gives null.
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
// hbrBackground may be a system colour index + 1 (COLOR_WINDOW + 1).
// Returns 0 when the class exists already or the record is not valid.
ATOM RegisterClassExA(const WNDCLASSEXA* windowClass);
// A top-level X window; x, y, width and height are the outer size (the
// window manager draws its frame outside). Sends WM_CREATE.
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
BOOL ShowWindow(HWND window, int command);
// Sends WM_PAINT at once when the window has something to repaint.
BOOL UpdateWindow(HWND window);
// The window's DC: BitBlt into it puts the pixels on screen. It belongs to
// the window and needs no release.
HDC GetDC(HWND window);
HDC BeginPaint(HWND window, PAINTSTRUCT* paint);
BOOL EndPaint(HWND window, const PAINTSTRUCT* paint);
// Waits for the next message. Returns 0 for WM_QUIT (wParam is the exit
// code), -1 when window is given but is not a window, otherwise non-zero.
BOOL GetMessageA(MSG* message, HWND window, UINT filterMin, UINT filterMax);
BOOL TranslateMessage(const MSG* message);
LRESULT DispatchMessageA(const MSG* message);
// WM_CLOSE destroys the window (WM_DESTROY is sent first); WM_ERASEBKGND
// fills the update region with the class background; WM_PAINT validates.
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

// ---- kernel ----

// The program itself for null (the only name supported).
HMODULE GetModuleHandleA(LPCSTR moduleName);
// The command line the process was started with, arguments joined by spaces
// (an argument with a space or a quote is quoted).
LPSTR GetCommandLineA(void);
[[noreturn]] void ExitProcess(UINT exitCode);

#endif
