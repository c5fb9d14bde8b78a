// Built in place of png_writer.cpp when libpng was not found: png output is
// refused with a clear message, every other format still works.
#include "picture_writers.h"

namespace zentrafold::tool {

bool PngAvailable() { return false; }
std::string PngVersion() { return "unavailable"; }

bool WritePng(std::FILE*, const Picture&, std::string& error) {
  error = "png output is unavailable: this build has no libpng";
  return false;
}

}  // namespace zentrafold::tool
