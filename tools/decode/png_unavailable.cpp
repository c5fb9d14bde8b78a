// Built in place of png_writer.cpp when libpng was not found: png output is
// refused with a clear message, every other format still works.
#include "picture_writers.h"

namespace zentrafold::tool {
namespace {

class NoPngWriter final : public PictureWriter {
 public:
  bool Begin(std::FILE*, uint32_t, uint32_t, ZfFormat, std::string& error) override { return Refuse(error); }
  bool WriteRows(const uint8_t*, size_t, uint32_t, std::string& error) override { return Refuse(error); }
  bool Finish(std::string& error) override { return Refuse(error); }

 private:
  static bool Refuse(std::string& error) {
    error = "png output is unavailable: this build has no libpng";
    return false;
  }
};

}  // namespace

bool PngAvailable() { return false; }
std::string PngEncoderName() { return "unavailable (built without libpng)"; }

std::unique_ptr<PictureWriter> MakePngWriter() { return std::make_unique<NoPngWriter>(); }

}  // namespace zentrafold::tool
