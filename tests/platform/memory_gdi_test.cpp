// The memory GDI where the viewer relies on it behaving as Windows does:
// what SelectObject hands back, which deletes are refused, what BitBlt
// copies, and how many objects are alive.
#include <gtest/gtest.h>
#include <zentrafold/platform_debug.h>
#include <zentrafold/win32.h>

#include <cstring>

#include "platform_internal.h"

namespace {

// A 32-bit section whose pixel (x, y) holds x + 1000 * y + base.
HBITMAP MakeSection(int width, int height, bool topDown, uint32_t base = 0) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = topDown ? -height : height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr) return nullptr;
  auto* pixels = static_cast<uint32_t*>(bits);
  for (int y = 0; y < height; ++y) {
    const int stored = topDown ? y : height - 1 - y;
    for (int x = 0; x < width; ++x) pixels[stored * width + x] = base + static_cast<uint32_t>(x + 1000 * y);
  }
  return bitmap;
}

uint32_t PixelAt(HBITMAP bitmap, int x, int y) {
  const auto* object = zentrafold::platform::AsBitmap(bitmap);
  uint32_t value;
  std::memcpy(&value, zentrafold::platform::PixelRow(*object, y) + x * 4, 4);
  return value;
}

class MemoryGdi : public ::testing::Test {
 protected:
  void SetUp() override { liveBefore_ = ZentrafoldLiveGdiObjects(); }
  void TearDown() override { EXPECT_EQ(ZentrafoldLiveGdiObjects(), liveBefore_) << "objects leaked"; }
  int liveBefore_ = 0;
};

TEST_F(MemoryGdi, SelectObjectReturnsWhatWasSelectedBefore) {
  HDC dc = CreateCompatibleDC(nullptr);
  ASSERT_NE(dc, nullptr);
  HBITMAP first = MakeSection(4, 4, true);
  HBITMAP second = MakeSection(4, 4, true);

  // A fresh memory DC holds a stock 1x1 bitmap, never null.
  HGDIOBJ stock = SelectObject(dc, first);
  ASSERT_NE(stock, nullptr);
  EXPECT_NE(stock, first);
  EXPECT_EQ(SelectObject(dc, second), first);
  EXPECT_EQ(SelectObject(dc, stock), second);
  EXPECT_EQ(SelectObject(dc, stock), stock);

  // The stock bitmap is shared: every fresh DC gives the same one back.
  HDC other = CreateCompatibleDC(dc);
  EXPECT_EQ(SelectObject(other, first), stock);
  EXPECT_EQ(SelectObject(other, stock), first);

  EXPECT_TRUE(DeleteObject(first));
  EXPECT_TRUE(DeleteObject(second));
  EXPECT_TRUE(DeleteDC(other));
  EXPECT_TRUE(DeleteDC(dc));
}

TEST_F(MemoryGdi, RefusesHandlesThatAreNotWhatTheCallNeeds) {
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = MakeSection(2, 2, true);
  int notAHandle = 0;
  EXPECT_EQ(SelectObject(nullptr, bitmap), nullptr);
  EXPECT_EQ(SelectObject(dc, nullptr), nullptr);
  EXPECT_EQ(SelectObject(dc, &notAHandle), nullptr);
  EXPECT_EQ(SelectObject(reinterpret_cast<HDC>(bitmap), bitmap), nullptr);
  EXPECT_FALSE(DeleteObject(dc)) << "a DC is freed with DeleteDC";
  EXPECT_FALSE(DeleteDC(reinterpret_cast<HDC>(bitmap)));
  EXPECT_FALSE(DeleteObject(&notAHandle));

  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_FALSE(DeleteObject(bitmap)) << "a second delete of the same handle";
  EXPECT_EQ(SelectObject(dc, bitmap), nullptr) << "a freed bitmap";
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_FALSE(DeleteDC(dc));
}

TEST_F(MemoryGdi, ABitmapLivesInOneDcAndCannotBeDeletedThere) {
  HDC dc = CreateCompatibleDC(nullptr);
  HDC other = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = MakeSection(8, 8, true);
  HGDIOBJ stock = SelectObject(dc, bitmap);

  EXPECT_EQ(SelectObject(other, bitmap), nullptr) << "already selected into another DC";
  EXPECT_FALSE(DeleteObject(bitmap)) << "still selected";

  // Deselecting it makes it deletable again.
  EXPECT_EQ(SelectObject(dc, stock), bitmap);
  EXPECT_NE(SelectObject(other, bitmap), nullptr);
  EXPECT_FALSE(DeleteObject(bitmap));

  // Deleting the DC deselects what it holds, it does not free it.
  EXPECT_TRUE(DeleteDC(other));
  EXPECT_EQ(PixelAt(bitmap, 7, 7), 7007u);
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_TRUE(DeleteObject(stock)) << "deleting a stock object is harmless";
  EXPECT_TRUE(DeleteDC(dc));
}

TEST_F(MemoryGdi, CountsLiveBitmapsAndMemoryDcs) {
  const int before = ZentrafoldLiveGdiObjects();
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = MakeSection(3, 3, false);
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), before + 2);
  HGDIOBJ stock = SelectObject(dc, bitmap);
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), before + 2) << "selecting makes nothing new";
  SelectObject(dc, stock);
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), before + 1);
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_EQ(ZentrafoldLiveGdiObjects(), before);
}

TEST_F(MemoryGdi, BitBltCopiesPixelsByPositionWhateverTheRowOrder) {
  HDC from = CreateCompatibleDC(nullptr);
  HDC to = CreateCompatibleDC(nullptr);
  HBITMAP source = MakeSection(10, 6, false, 1u << 24);  // bottom-up
  HBITMAP target = MakeSection(8, 8, true);
  HGDIOBJ stockFrom = SelectObject(from, source);
  HGDIOBJ stockTo = SelectObject(to, target);

  ASSERT_TRUE(BitBlt(to, 1, 2, 3, 2, from, 4, 1, SRCCOPY));
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      const bool inside = x >= 1 && x < 4 && y >= 2 && y < 4;
      const uint32_t expected = inside ? (1u << 24) + static_cast<uint32_t>(x + 3 + 1000 * (y - 1))
                                       : static_cast<uint32_t>(x + 1000 * y);
      EXPECT_EQ(PixelAt(target, x, y), expected) << "at " << x << "," << y;
    }
  }
  EXPECT_FALSE(BitBlt(to, 0, 0, 1, 1, from, 0, 0, 0x00EE0086u)) << "only SRCCOPY";

  SelectObject(from, stockFrom);
  SelectObject(to, stockTo);
  DeleteObject(source);
  DeleteObject(target);
  DeleteDC(from);
  DeleteDC(to);
}

TEST_F(MemoryGdi, BitBltClipsToBothBitmaps) {
  HDC from = CreateCompatibleDC(nullptr);
  HDC to = CreateCompatibleDC(nullptr);
  HBITMAP source = MakeSection(4, 4, true, 1u << 24);
  HBITMAP target = MakeSection(5, 5, true);
  HGDIOBJ stockFrom = SelectObject(from, source);
  HGDIOBJ stockTo = SelectObject(to, target);

  // Far larger than either, starting outside both: only the overlap moves.
  ASSERT_TRUE(BitBlt(to, 3, -1, 1000000, 1000000, from, -1, 0, SRCCOPY));
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) {
      // Target (x, y) takes source (x - 4, y + 1) when that exists.
      const int sx = x - 4, sy = y + 1;
      const bool inside = sx >= 0 && sx < 4 && sy < 4;
      const uint32_t expected = inside ? (1u << 24) + static_cast<uint32_t>(sx + 1000 * sy)
                                       : static_cast<uint32_t>(x + 1000 * y);
      EXPECT_EQ(PixelAt(target, x, y), expected) << "at " << x << "," << y;
    }
  }
  EXPECT_TRUE(BitBlt(to, 0, 0, 0, 5, from, 0, 0, SRCCOPY)) << "an empty copy succeeds";
  EXPECT_TRUE(BitBlt(to, 0, 0, 5, 5, from, 100, 100, SRCCOPY));

  SelectObject(from, stockFrom);
  SelectObject(to, stockTo);
  DeleteObject(source);
  DeleteObject(target);
  DeleteDC(from);
  DeleteDC(to);
}

TEST_F(MemoryGdi, BitBltWithinOneBitmapReadsBeforeItWrites) {
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = MakeSection(6, 6, true);
  HGDIOBJ stock = SelectObject(dc, bitmap);
  // Down and right by one, overlapping itself.
  ASSERT_TRUE(BitBlt(dc, 1, 1, 5, 5, dc, 0, 0, SRCCOPY));
  for (int y = 1; y < 6; ++y) {
    for (int x = 1; x < 6; ++x) EXPECT_EQ(PixelAt(bitmap, x, y), static_cast<uint32_t>(x - 1 + 1000 * (y - 1)));
  }
  // And back up.
  ASSERT_TRUE(BitBlt(dc, 0, 0, 5, 5, dc, 1, 1, SRCCOPY));
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) EXPECT_EQ(PixelAt(bitmap, x, y), static_cast<uint32_t>(x + 1000 * y));
  }
  SelectObject(dc, stock);
  DeleteObject(bitmap);
  DeleteDC(dc);
}

}  // namespace
