// zentrafold-window: looks at a window of the running X display from outside.
//
//   zentrafold-window wait TITLE [SECONDS]       waits for a viewable window so titled
//   zentrafold-window screenshot TITLE FILE.png  saves what the window shows
//   zentrafold-window close TITLE                sends it WM_DELETE_WINDOW (the close button)
//
// Exit 0 on success, 1 when no such window appears, 2 on usage errors or
// when the display or the file cannot be opened.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "x11_probe.h"

using namespace zentrafold::x11probe;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: zentrafold-window wait TITLE [SECONDS]\n"
               "       zentrafold-window screenshot TITLE FILE.png\n"
               "       zentrafold-window close TITLE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const std::string title = argv[2];
  Connection x;
  if (!x.Ok()) {
    std::fprintf(stderr, "zentrafold-window: cannot open the X display\n");
    return 2;
  }
  const double seconds = command == "wait" && argc == 4 ? std::atof(argv[3]) : 10.0;
  if (!(command == "wait" && argc <= 4) && !(command == "screenshot" && argc == 4) &&
      !(command == "close" && argc == 3))
    return Usage();
  const auto window =
      x.WaitForTitle(title, std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
  if (!window) {
    std::fprintf(stderr, "zentrafold-window: no window titled \"%s\"\n", title.c_str());
    return 1;
  }
  if (command == "wait") {
    std::printf("0x%lx\n", static_cast<unsigned long>(*window));
    return 0;
  }
  if (command == "close") {
    x.SendDeleteWindow(*window);
    return 0;
  }
  if (!WritePng(x.GrabWindow(*window), argv[3])) {
    std::fprintf(stderr, "zentrafold-window: cannot write %s\n", argv[3]);
    return 2;
  }
  return 0;
}
