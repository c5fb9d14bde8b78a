// The demo program as a user meets it, on a private Xvfb: the window
// appears with its title and size, shows the decoded picture at the top left
// of its client area and the window colour elsewhere, paints it again after
// a resize, and ends with exit code 0 when the close button is pressed.
//
//   zentrafold_viewer_ui_test --sample=viewer/sample.jpg --viewer=zentrafold-demo
//   zentrafold_viewer_ui_test --sample=... --viewer=zentrafold-demo.exe --wine=wine
//       --wineprefix=DIR
//
// Natively the X window is the window (290 x 90 at 200, 200: the window
// manager's frame would go outside it). Under Wine with no window manager
// the X window is the client area, inside that outer rectangle.
#include <gtest/gtest.h>
#include <zentrafold/decoder.h>

#include <X11/Xlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "processes.h"
#include "x11_probe.h"

namespace {

using namespace std::chrono_literals;
using zentrafold::testing::ChildProcess;
using zentrafold::testing::XvfbServer;
using zentrafold::x11probe::Connection;
using zentrafold::x11probe::Image;

constexpr uint32_t kWindowColour = 0xFFFFFF;
constexpr uint32_t kScribble = 0xFF00FF;

std::string samplePath, viewerPath, winePath, winePrefix;

struct Picture {
  int width = 0, height = 0;
  std::vector<uint32_t> rgb;
};

// What the decoder itself makes of the same bytes the program embeds.
Picture DecodeSample() {
  Picture picture;
  std::ifstream in(samplePath, std::ios::binary);
  const std::vector<uint8_t> stream{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const ImageRecord* image = DecodeImage(stream.data(), stream.size(), nullptr);
  if (image == nullptr) return picture;
  picture.width = image->header.biWidth;
  picture.height = -image->header.biHeight;
  const auto* pixels = static_cast<const uint8_t*>(image->bits);
  for (int i = 0; i < picture.width * picture.height; ++i) {
    picture.rgb.push_back(static_cast<uint32_t>(pixels[i * 4 + kPixelRed]) << 16 |
                          static_cast<uint32_t>(pixels[i * 4 + kPixelGreen]) << 8 |
                          pixels[i * 4 + kPixelBlue]);
  }
  DeleteObject(image->bitmap);
  return picture;
}

int Mismatches(const Image& shot, const Picture& picture) {
  if (shot.width < picture.width || shot.height < picture.height) return -1;
  int wrong = 0;
  for (int y = 0; y < shot.height; ++y) {
    for (int x = 0; x < shot.width; ++x) {
      const bool inPicture = x < picture.width && y < picture.height;
      const uint32_t expected =
          inPicture ? picture.rgb[static_cast<size_t>(y) * picture.width + x] : kWindowColour;
      wrong += shot.At(x, y) != expected;
    }
  }
  return wrong;
}

bool ShowsPicture(const Image& shot, const void* picture) {
  return Mismatches(shot, *static_cast<const Picture*>(picture)) == 0;
}

class ViewerUi : public ::testing::Test {
 protected:
  bool UnderWine() const { return !winePath.empty(); }

  void SetUp() override {
    ASSERT_TRUE(server_.Ok()) << "could not start Xvfb";
    std::vector<std::string> environment = {"DISPLAY=" + server_.display()};
    std::vector<std::string> command = {viewerPath};
    if (UnderWine()) {
      command.insert(command.begin(), winePath);
      environment.push_back("WINEPREFIX=" + winePrefix);
      environment.push_back("WINEDEBUG=-all");
      // No Mono or Gecko installer dialogs when the prefix is first made.
      environment.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    }
    environment_ = environment;
    viewer_ = ChildProcess(command, environment);
    ASSERT_TRUE(viewer_.Running()) << "could not start " << viewerPath;
  }

  void TearDown() override {
    viewer_.Kill();
    if (UnderWine()) {
      ChildProcess stop({"wineserver", "-k"}, environment_);
      stop.WaitExit(30s);
    }
  }

  XvfbServer server_;
  std::vector<std::string> environment_;
  ChildProcess viewer_;
};

TEST_F(ViewerUi, ShowsThePictureRepaintsAfterAResizeAndClosesWithExitCodeZero) {
  const Picture picture = DecodeSample();
  ASSERT_EQ(picture.width, 250);
  ASSERT_EQ(picture.height, 40);

  Connection x(server_.display().c_str());
  ASSERT_TRUE(x.Ok());
  // Wine makes its prefix on the first start, which takes a while.
  const auto window = x.WaitForTitle("Zentrafold demo", UnderWine() ? 240s : 20s);
  ASSERT_TRUE(window) << "no window titled \"Zentrafold demo\"";
  auto geometry = x.GeometryOf(*window);
  ASSERT_TRUE(geometry);
  if (UnderWine()) {
    // The client area: inside the 290 x 90 outer rectangle at (200, 200).
    EXPECT_GE(geometry->x, 200);
    EXPECT_GE(geometry->y, 200);
    EXPECT_LE(geometry->x + geometry->width, 200 + 290);
    EXPECT_LE(geometry->y + geometry->height, 200 + 90);
    EXPECT_GE(geometry->width, 250);
    EXPECT_GE(geometry->height, 40);
  } else {
    EXPECT_EQ(geometry->x, 200);
    EXPECT_EQ(geometry->y, 200);
    EXPECT_EQ(geometry->width, 290);
    EXPECT_EQ(geometry->height, 90);
  }

  Image shot = x.WaitForScreen(geometry->x, geometry->y, geometry->width, geometry->height, 20s,
                               ShowsPicture, &picture);
  EXPECT_EQ(Mismatches(shot, picture), 0)
      << "the decoded picture at the top left, the window colour elsewhere";

  // Paint over the whole window from outside, then make it wider and
  // taller: everything has to be painted again.
  GC gc = XCreateGC(x.display(), *window, 0, nullptr);
  XSetForeground(x.display(), gc, kScribble);
  XFillRectangle(x.display(), *window, gc, 0, 0, static_cast<unsigned>(geometry->width),
                 static_cast<unsigned>(geometry->height));
  XFreeGC(x.display(), gc);
  x.Sync();
  ASSERT_EQ(x.GrabScreen(geometry->x + 5, geometry->y + 5, 1, 1).At(0, 0), kScribble);
  x.Resize(*window, geometry->width + 110, geometry->height + 60);
  geometry = x.GeometryOf(*window);
  ASSERT_TRUE(geometry);
  shot = x.WaitForScreen(geometry->x, geometry->y, geometry->width, geometry->height, 20s,
                         ShowsPicture, &picture);
  EXPECT_GE(shot.width, 360);
  EXPECT_EQ(Mismatches(shot, picture), 0) << "after the resize";

  x.SendDeleteWindow(*window);
  const auto exitCode = viewer_.WaitExit(UnderWine() ? 60s : 20s);
  ASSERT_TRUE(exitCode) << "still running after the close button";
  EXPECT_EQ(*exitCode, 0);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto take = [&arg](const char* name, std::string& into) {
      const size_t n = std::strlen(name);
      if (arg.compare(0, n, name) == 0) into = arg.substr(n);
    };
    take("--sample=", samplePath);
    take("--viewer=", viewerPath);
    take("--wine=", winePath);
    take("--wineprefix=", winePrefix);
  }
  if (samplePath.empty() || viewerPath.empty() || (!winePath.empty() && winePrefix.empty())) {
    std::fprintf(stderr, "usage: %s --sample=FILE --viewer=PROGRAM [--wine=WINE --wineprefix=DIR]\n",
                 argv[0]);
    return 2;
  }
  return RUN_ALL_TESTS();
}
