// The USER layer on a private Xvfb, and the viewer driven in this process:
// the message order a Win32 program relies on, repainting on resize as the
// class asks, the viewer's picture on screen, its teardown (no GDI object
// left alive) and its answer to a stream that does not decode.
//
// Each test runs a message loop on this thread while a second thread, on
// its own X connection, plays the user: it waits for the window, looks at
// it, resizes it and presses the close button.
//
// Run with --visual-depth=32 to make the windows on the ARGB visual instead
// of the screen's depth-24 default.
#include <gtest/gtest.h>
#include <zentrafold/decoder.h>
#include <zentrafold/platform_debug.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "processes.h"
#include "viewer.h"
#include "x11_internal.h"
#include "x11_probe.h"

namespace {

using namespace std::chrono_literals;
using zentrafold::x11probe::Connection;
using zentrafold::x11probe::Image;

constexpr uint32_t kWindowColour = 0xFFFFFF;

// The user's side, on its own thread and connection.
class User {
 public:
  explicit User(std::function<void(Connection&)> script)
      : thread_([script = std::move(script)] {
          Connection x;
          if (x.Ok()) script(x);
        }) {}
  ~User() { thread_.join(); }

 private:
  std::thread thread_;
};

int RunLoop() {
  MSG message{};
  while (GetMessageA(&message, nullptr, 0, 0) != 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

// ---- the message order ----

std::vector<UINT> messages;
std::vector<RECT> paints;
int quitCode = 0;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  messages.push_back(message);
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    paints.push_back(paint.rcPaint);
    EndPaint(window, &paint);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(quitCode);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeWindow(const char* className, UINT style, const char* title, int width, int height) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = style;
  windowClass.lpfnWndProc = RecordingProc;
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(COLOR_WINDOW + 1));
  windowClass.lpszClassName = className;
  if (RegisterClassExA(&windowClass) == 0) return nullptr;
  messages.clear();
  paints.clear();
  return CreateWindowExA(0, className, title, WS_OVERLAPPEDWINDOW, 10, 10, width, height, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

size_t IndexOf(UINT message, size_t from = 0) {
  auto it = std::find(messages.begin() + static_cast<std::ptrdiff_t>(from), messages.end(), message);
  return static_cast<size_t>(it - messages.begin());
}

TEST(UserLayer, ClassesAreRegisteredOnceAndNeedAValidRecord) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = RecordingProc;
  windowClass.lpszClassName = "OnceClass";
  EXPECT_NE(RegisterClassExA(&windowClass), 0);
  EXPECT_EQ(RegisterClassExA(&windowClass), 0) << "the same name again";
  windowClass.lpszClassName = "ShortClass";
  windowClass.cbSize = 48;
  EXPECT_EQ(RegisterClassExA(&windowClass) != 0, sizeof(WNDCLASSEXA) == 48);
  EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "x", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                            nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(LoadIconA(nullptr, IDI_APPLICATION), LoadIconA(nullptr, IDI_APPLICATION));
  EXPECT_NE(LoadIconA(nullptr, IDI_APPLICATION), nullptr);
  EXPECT_EQ(LoadIconA(nullptr, MAKEINTRESOURCEA(1)), nullptr);
}

TEST(UserLayer, CloseButtonGivesCloseThenDestroyThenQuit) {
  HWND window = MakeWindow("OrderClass", CS_HREDRAW | CS_VREDRAW, "order test", 120, 60);
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(messages, std::vector<UINT>{WM_CREATE});
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  // The first paint is sent at once, erasing first, and covers the window.
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[1], WM_PAINT);
  EXPECT_EQ(messages[2], WM_ERASEBKGND);
  ASSERT_EQ(paints.size(), 1u);
  EXPECT_EQ(paints[0].right, 120);
  EXPECT_EQ(paints[0].bottom, 60);

  quitCode = 7;
  User user([](Connection& x) {
    if (auto id = x.WaitForTitle("order test", 10s)) x.SendDeleteWindow(*id);
  });
  EXPECT_EQ(RunLoop(), 7) << "GetMessageA returns 0 with the code given to PostQuitMessage";
  const size_t close = IndexOf(WM_CLOSE);
  ASSERT_LT(close, messages.size());
  EXPECT_EQ(IndexOf(WM_DESTROY, close), close + 1) << "DefWindowProcA(WM_CLOSE) destroys";
  EXPECT_EQ(messages.back(), WM_DESTROY);
  EXPECT_EQ(GetDC(window), nullptr) << "the window is gone";
  EXPECT_FALSE(ShowWindow(window, SW_SHOWNORMAL));
}

// Grows the window's width only, and returns the paints that followed.
std::vector<RECT> PaintsAfterWidening(const char* className, UINT style, const char* title) {
  HWND window = MakeWindow(className, style, title, 100, 50);
  if (window == nullptr) return {};
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  quitCode = 0;
  {
    User user([title](Connection& x) {
      auto id = x.WaitForTitle(title, 10s);
      if (!id) return;
      std::this_thread::sleep_for(300ms);
      x.Resize(*id, 200, 50);
      std::this_thread::sleep_for(300ms);
      x.SendDeleteWindow(*id);
    });
    RunLoop();
  }
  // The paints after the WM_SIZE.
  const size_t size = IndexOf(WM_SIZE);
  size_t before = 0;
  for (size_t i = 0; i < size; ++i) before += messages[i] == WM_PAINT;
  return std::vector<RECT>(paints.begin() + static_cast<std::ptrdiff_t>(std::min(before, paints.size())),
                           paints.end());
}

TEST(UserLayer, HorizontalRedrawRepaintsAllOfAWiderWindow) {
  const std::vector<RECT> after = PaintsAfterWidening("HRedrawClass", CS_HREDRAW, "hredraw test");
  ASSERT_FALSE(after.empty()) << "a resize brings a WM_PAINT";
  EXPECT_EQ(after[0].left, 0);
  EXPECT_EQ(after[0].top, 0);
  EXPECT_EQ(after[0].right, 200);
  EXPECT_EQ(after[0].bottom, 50);
}

TEST(UserLayer, WithoutHorizontalRedrawOnlyTheNewStripIsPainted) {
  const std::vector<RECT> after = PaintsAfterWidening("VRedrawClass", CS_VREDRAW, "vredraw test");
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after[0].left, 100);
  EXPECT_EQ(after[0].right, 200);
  EXPECT_EQ(after[0].bottom, 50);
}

// ---- the viewer in this process ----

struct Reference {
  int width = 0, height = 0;
  std::vector<uint32_t> rgb;
};

Reference DecodeForReference(const uint8_t* stream, size_t size) {
  Reference reference;
  const ImageRecord* image = DecodeImage(stream, size, nullptr);
  if (image == nullptr) return reference;
  reference.width = image->header.biWidth;
  reference.height = -image->header.biHeight;
  const auto* pixels = static_cast<const uint8_t*>(image->bits);
  for (int i = 0; i < reference.width * reference.height; ++i) {
    reference.rgb.push_back(static_cast<uint32_t>(pixels[i * 4 + kPixelRed]) << 16 |
                            static_cast<uint32_t>(pixels[i * 4 + kPixelGreen]) << 8 |
                            pixels[i * 4 + kPixelBlue]);
  }
  DeleteObject(image->bitmap);
  return reference;
}

// Counts the client-area pixels that differ from the picture at the top
// left and from the window colour elsewhere.
int Mismatches(const Image& shot, const Reference& picture) {
  int wrong = 0;
  for (int y = 0; y < shot.height; ++y) {
    for (int x = 0; x < shot.width; ++x) {
      const bool inPicture = x < picture.width && y < picture.height;
      const uint32_t expected = inPicture ? picture.rgb[static_cast<size_t>(y) * picture.width + x] : kWindowColour;
      wrong += shot.At(x, y) != expected;
    }
  }
  return wrong;
}

struct ViewerRun {
  int exitCode = -1;
  int liveWhileShown = -1;
  Image shot;
  bool sawWindow = false;
};

ViewerRun RunViewer(const uint8_t* stream, size_t size, const Reference& expected) {
  ViewerRun run;
  {
    User user([&run, &expected](Connection& x) {
      auto id = x.WaitForTitle("Zentrafold demo", 10s);
      if (!id) return;
      run.sawWindow = true;
      auto geometry = x.GeometryOf(*id);
      run.shot = x.WaitForScreen(
          geometry->x, geometry->y, geometry->width, geometry->height, 5s,
          [](const Image& image, const void* context) {
            return Mismatches(image, *static_cast<const Reference*>(context)) == 0;
          },
          &expected);
      run.liveWhileShown = ZentrafoldLiveGdiObjects();
      x.SendDeleteWindow(*id);
    });
    run.exitCode = ViewerShowStream(GetModuleHandleA(nullptr), stream, size);
  }
  return run;
}

TEST(Viewer, ShowsTheStoredPictureAndFreesEverythingOnDestroy) {
  const Reference picture = DecodeForReference(kSampleImage, kSampleImageSize);
  ASSERT_EQ(picture.width, 250);
  ASSERT_EQ(picture.height, 40);
  const int before = ZentrafoldLiveGdiObjects();

  const ViewerRun run = RunViewer(kSampleImage, kSampleImageSize, picture);
  ASSERT_TRUE(run.sawWindow);
  EXPECT_EQ(run.shot.width, 290);
  EXPECT_EQ(run.shot.height, 90);
  EXPECT_EQ(Mismatches(run.shot, picture), 0);
  EXPECT_EQ(run.liveWhileShown, before + 2) << "the bitmap section and the memory DC";
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), before) << "a GDI object outlived WM_DESTROY";
}

TEST(Viewer, AStreamThatDoesNotDecodeShowsOnlyTheWindowColourAndFails) {
  std::vector<uint8_t> damaged(kSampleImage, kSampleImage + kSampleImageSize);
  // The frame header claims the progressive process, which is refused.
  for (size_t i = 0; i + 1 < damaged.size(); ++i) {
    if (damaged[i] == 0xFF && damaged[i + 1] == 0xC0) {
      damaged[i + 1] = 0xC2;
      break;
    }
  }
  ASSERT_EQ(DecodeImage(damaged.data(), damaged.size(), nullptr), nullptr);
  const int before = ZentrafoldLiveGdiObjects();

  const Reference nothing;  // all window colour
  const ViewerRun run = RunViewer(damaged.data(), damaged.size(), nothing);
  ASSERT_TRUE(run.sawWindow);
  EXPECT_EQ(Mismatches(run.shot, nothing), 0);
  EXPECT_EQ(run.liveWhileShown, before + 1) << "only the memory DC";
  EXPECT_EQ(run.exitCode, kExitDecodeFailed);
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), before);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int depth = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--visual-depth=", 15) == 0) depth = std::atoi(argv[i] + 15);
  }
  zentrafold::testing::XvfbServer server;
  if (!server.Ok()) {
    std::fprintf(stderr, "could not start Xvfb\n");
    return 1;
  }
  setenv("DISPLAY", server.display().c_str(), 1);
  if (depth != 0) zentrafold::platform::PreferVisualDepthForTests(depth);
  const int result = RUN_ALL_TESTS();
  if (depth != 0 && zentrafold::platform::ActiveVisualDepthForTests() != depth) {
    std::fprintf(stderr, "windows were made on a depth-%d visual, not %d\n",
                 zentrafold::platform::ActiveVisualDepthForTests(), depth);
    return 1;
  }
  return result;
}
