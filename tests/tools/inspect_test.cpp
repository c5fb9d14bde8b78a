// The header inspection on its own: it must hold up on any bytes (a cut at
// every length, every frame marker) and agree with the decoder about what is
// in profile.
#include <gtest/gtest.h>
#include <zentrafold/decoder.h>

#include "inspect.h"
#include "test_streams.h"

namespace zentrafold::test {
namespace {

using tool::InspectStream;
using tool::Refusal;

// Whether the decoder takes the stream; the section is freed.
bool Decodes(const std::vector<uint8_t>& bytes) {
  const ImageRecord* image = DecodeImage(bytes.data(), bytes.size(), nullptr);
  if (image == nullptr) return false;
  DeleteObject(image->bitmap);
  return true;
}

TEST(InspectTest, BaselineStreamsAreInProfileAndDecode) {
  for (const std::string& name : BaselineNames()) {
    const std::vector<uint8_t> bytes = ReadFile(BaselineStream(name));
    const tool::StreamInfo info = InspectStream(bytes.data(), bytes.size());
    EXPECT_EQ(info.refusal, Refusal::kNone) << name;
    EXPECT_EQ(info.width, 67u);
    EXPECT_EQ(info.height, 45u);
    EXPECT_TRUE(Decodes(bytes));
  }
}

// Every prefix of a stream: no read outside the bytes given (the sanitizer
// build checks), and nothing short of the scan header is called in profile.
TEST(InspectTest, EveryCutIsSafeAndNoneBeforeTheScanIsInProfile) {
  const std::vector<uint8_t> whole = ReadFile(BaselineStream("s22"));
  size_t scanHeaderEnd = 0;
  for (size_t i = 2; i + 3 < whole.size(); ++i) {
    if (whole[i] == 0xFF && whole[i + 1] == 0xDA) {
      scanHeaderEnd = i + 2 + (whole[i + 2] << 8 | whole[i + 3]);
      break;
    }
  }
  ASSERT_GT(scanHeaderEnd, 0u);
  for (size_t length = 0; length <= scanHeaderEnd + 4; ++length) {
    // A heap copy of exactly `length` bytes, so an overread is caught.
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
    cut.shrink_to_fit();
    const tool::StreamInfo info = InspectStream(cut.empty() ? nullptr : cut.data(), cut.size());
    if (length < scanHeaderEnd) EXPECT_NE(info.refusal, Refusal::kNone) << length;
    else EXPECT_EQ(info.refusal, Refusal::kNone) << length;
    EXPECT_FALSE(tool::DescribeRefusal(info).empty());
  }
}

// Each SOFn code in place of SOF0: the kind the code announces, and the
// decoder refuses all but SOF0.
TEST(InspectTest, EveryFrameMarkerIsJudgedByItsCode) {
  const std::vector<uint8_t> base = ReadFile(BaselineStream("s11"));
  struct Expect {
    uint8_t code;
    Refusal refusal;
  };
  const Expect expects[] = {
      {0xC0, Refusal::kNone},         {0xC1, Refusal::kExtended},     {0xC2, Refusal::kProgressive},
      {0xC3, Refusal::kLossless},     {0xC5, Refusal::kHierarchical}, {0xC6, Refusal::kHierarchical},
      {0xC7, Refusal::kHierarchical}, {0xC9, Refusal::kArithmetic},   {0xCA, Refusal::kProgressive},
      {0xCB, Refusal::kLossless},     {0xCD, Refusal::kHierarchical}, {0xCE, Refusal::kHierarchical},
      {0xCF, Refusal::kHierarchical},
  };
  for (const Expect& e : expects) {
    const std::vector<uint8_t> bytes =
        ReadFile(PatchedStream(BaselineStream("s11"), "code.jpg", 0, {e.code}));
    const tool::StreamInfo info = InspectStream(bytes.data(), bytes.size());
    EXPECT_EQ(info.refusal, e.refusal) << std::hex << int{e.code};
    EXPECT_EQ(Decodes(bytes), e.code == 0xC0) << std::hex << int{e.code};
  }
  EXPECT_EQ(tool::DescribeFrameKind(0xCA), "progressive, arithmetic-coded");
  EXPECT_EQ(tool::DescribeFrameKind(0xC7), "hierarchical lossless");
}

TEST(InspectTest, TablesOutsideTheProfile) {
  const std::vector<uint8_t> base = ReadFile(BaselineStream("grey"));
  // The first DQT's Pq/Tq byte: 16-bit precision, then identifier 2.
  size_t dqt = 0;
  for (size_t i = 2; i + 4 < base.size(); ++i)
    if (base[i] == 0xFF && base[i + 1] == 0xDB) {
      dqt = i + 4;
      break;
    }
  ASSERT_GT(dqt, 0u);
  std::vector<uint8_t> bytes = base;
  bytes[dqt] = 0x10;
  tool::StreamInfo info = InspectStream(bytes.data(), bytes.size());
  EXPECT_EQ(info.refusal, Refusal::kTables);
  EXPECT_NE(tool::DescribeRefusal(info).find("16-bit quantisation"), std::string::npos);
  EXPECT_FALSE(Decodes(bytes));
  bytes[dqt] = 0x02;
  info = InspectStream(bytes.data(), bytes.size());
  EXPECT_EQ(info.refusal, Refusal::kTables);
  EXPECT_FALSE(Decodes(bytes));
}

}  // namespace
}  // namespace zentrafold::test
