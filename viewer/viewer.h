// Used by the viewer's own source and its tests only.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <zentrafold/win32.h>

// The stored picture, embedded by the build from sample.jpg.
extern const uint8_t kSampleImage[];
extern const size_t kSampleImageSize;

// Exit codes besides the quit message's 0.
constexpr int kExitDecodeFailed = 1;  // the window showed only its colour
constexpr int kExitNoWindow = 2;      // the window could not be made

// Shows `stream` in the viewer's window until the window is closed; returns
// the exit code. ViewerMain is this with the stored picture.
int ViewerShowStream(HINSTANCE instance, const uint8_t* stream, size_t size);

int WINAPI ViewerMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine,
                      int show);
LRESULT CALLBACK ViewerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
