// Image buffer: byte layouts, row order, storage kinds, palette, alpha plane, copies and resizing.
#include "image/kvbitmap.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/kvtempstore.h"
#include "image/vclbitmap.h"

namespace {

// Points the temporary folder at a fresh directory and restores the settings afterwards.
class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvbitmap-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    TKvBitmap::SetTempFolder(dir_);
  }
  void TearDown() override {
    TKvBitmap::SetTempFolder("");
    TKvBitmap::SetFileThresholdOverride(-1);
    rmdir(dir_.c_str());
  }
  int FilesInFolder() const {
    int n = 0;
    DIR* d = opendir(dir_.c_str());
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
    return n;
  }
  std::string dir_;
};

TEST(KvBitmapLayout, RowLengthPadsToAlignment) {
  struct Case {
    TKvPixFormat format;
    int width;
    int rowLength;
  } cases[] = {
      {kv1g, 10, 4},    {kv1g, 32, 4},    {kv1g, 33, 8},  {kv8g, 5, 8},     {kv16g, 3, 8},
      {kv24RGB, 1, 4},  {kv24RGB, 5, 16}, {kv32f, 3, 12}, {kvRGB48, 3, 20}, {kv32RGB, 2, 8},
      {kvCIELab, 2, 8}, {kvCMYK, 1, 4},   {kv8p, 4, 4},
  };
  for (const Case& c : cases) {
    TKvBitmap b(c.width, 2, c.format);
    EXPECT_EQ(b.RowLength(), c.rowLength) << KvPixFormatName(c.format) << " w=" << c.width;
    EXPECT_EQ(b.BitCount(), KvBitsOf(c.format));
    EXPECT_EQ(b.ChannelCount(), KvChannelsOf(c.format));
  }
  EXPECT_EQ(KvRowLength(10, 8, 8), 10);
  EXPECT_EQ(KvRowLength(10, 8, 64), 16);
}

TEST(KvBitmapLayout, OneBitPixelsAreMsbFirstAndSetIsWhite) {
  TKvBitmap b(10, 1, kv1g);
  b.FillWith(0);
  b.SetBit(9, 0, true);
  EXPECT_EQ(b.RowPtr(0)[1], 0x40);
  EXPECT_EQ(b.RowPtr(0)[0], 0x00);
  EXPECT_EQ(b.GetPixelRGB(9, 0), KvRGB(255, 255, 255));
  EXPECT_EQ(b.GetPixelRGB(8, 0), KvRGB(0, 0, 0));
  b.SetBit(0, 0, true);
  EXPECT_EQ(b.RowPtr(0)[0], 0x80);
}

TEST(KvBitmapLayout, ColourRecordsByteOrder) {
  TKvBitmap rgb(4, 3, kv24RGB);
  rgb.SetRGB(2, 1, KvRGB(10, 20, 30));
  const uint8_t* p = rgb.RowPtr(1) + 6;
  EXPECT_EQ(p[0], 30);
  EXPECT_EQ(p[1], 20);
  EXPECT_EQ(p[2], 10);

  TKvBitmap wide(4, 3, kvRGB48);
  wide.SetRGB48(1, 2, TKvRGB48{10 * 257, 20 * 257, 30 * 257});
  const uint8_t* q = wide.RowPtr(2) + 6;
  EXPECT_EQ(q[0] | (q[1] << 8), 10 * 257);
  EXPECT_EQ(q[2] | (q[3] << 8), 20 * 257);
  EXPECT_EQ(q[4] | (q[5] << 8), 30 * 257);
  EXPECT_EQ(wide.GetPixelRGB(1, 2), KvRGB(10, 20, 30));

  TKvBitmap gray16(2, 1, kv16g);
  gray16.SetWord(1, 0, 0x1234);
  EXPECT_EQ(gray16.RowPtr(0)[2], 0x34);
  EXPECT_EQ(gray16.RowPtr(0)[3], 0x12);
  EXPECT_EQ(gray16.GetPixelRGB(1, 0), KvRGB(0x12, 0x12, 0x12));

  TKvBitmap f(1, 1, kv32f);
  f.SetFloat(0, 0, 0.5f);
  EXPECT_EQ(f.GetPixelRGB(0, 0), KvRGB(127, 127, 127));

  TKvBitmap rgba(1, 1, kv32RGB);
  std::memcpy(rgba.RowPtr(0), "\x01\x02\x03\x04", 4);
  EXPECT_EQ(rgba.GetPixelRGB(0, 0), KvRGB(3, 2, 1));
}

TEST(KvBitmapLayout, InMemoryRowsAreBottomUpFromAlignedStart) {
  TKvBitmap b(7, 5, kv24RGB);
  ASSERT_EQ(b.Location(), kvInMemory);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.RowPtr(4)) % 64, 0u);
  for (int y = 1; y < 5; ++y) EXPECT_EQ(b.RowPtr(y - 1) - b.RowPtr(y), b.RowLength());
}

TEST(KvBitmapAllocate, RefusalsLeaveEmpty) {
  TKvBitmap b;
  EXPECT_EQ(b.Location(), kvTempFile);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_FALSE(b.AllocateImage(0, 5, kv24RGB));
  EXPECT_EQ(b.Width(), 0);
  EXPECT_EQ(b.Height(), 0);
  EXPECT_FALSE(b.AllocateImage(5, -1, kv8g));
  EXPECT_FALSE(b.AllocateImage(5, 5, kvNoFormat));
  EXPECT_TRUE(b.IsEmpty());
}

TEST(KvBitmapAllocate, SameArgumentsKeepPixels) {
  TKvBitmap b(3, 3, kv8g);
  b.FillWith(77);
  ASSERT_TRUE(b.AllocateImage(3, 3, kv8g));
  EXPECT_EQ(b.GetByte(2, 2), 77);
  ASSERT_TRUE(b.AllocateImage(3, 4, kv8g));
  EXPECT_EQ(b.Height(), 4);
  // Also for kv16g in platform-bitmap storage, which holds it as kv8g.
  TKvBitmap vcl;
  vcl.SetLocation(kvTBitmap);
  ASSERT_TRUE(vcl.AllocateImage(3, 3, kv16g));
  vcl.FillWith(77);
  ASSERT_TRUE(vcl.AllocateImage(3, 3, kv16g));
  EXPECT_EQ(vcl.PixelFormat(), kv8g);
  EXPECT_EQ(vcl.GetByte(2, 2), 77);
}

TEST(KvBitmapAllocate, PaletteFormatGets256Entries) {
  TKvBitmap b(2, 2, kv8p);
  EXPECT_EQ(b.PaletteLength(), 256);
  b.SetPaletteEntry(3, KvRGB(1, 2, 3));
  b.SetPaletteEntry(256, KvRGB(9, 9, 9));  // ignored
  b.SetPaletteEntry(-1, KvRGB(9, 9, 9));   // ignored
  EXPECT_EQ(b.GetPaletteEntry(3), KvRGB(1, 2, 3));
  EXPECT_EQ(b.GetPaletteEntry(300), TKvRGB{});
  b.SetByte(0, 0, 3);
  EXPECT_EQ(b.GetPixelRGB(0, 0), KvRGB(1, 2, 3));

  TKvBitmap dest(1, 1, kv8g);
  b.PaletteUsed = 16;
  b.CopyPaletteTo(dest);
  EXPECT_EQ(dest.PaletteLength(), 256);
  EXPECT_EQ(dest.PaletteUsed, 16);
  TKvBitmap none(1, 1, kv8g);
  none.CopyPaletteTo(dest);
  EXPECT_EQ(dest.PaletteLength(), 0);
  EXPECT_EQ(dest.PaletteUsed, 256);
}

TEST_F(TempFolderTest, LargeImageGoesToTempFileAndRowsSurvivePaging) {
  TKvBitmap::SetFileThresholdOverride(1000);
  {
    TKvBitmap b(100, 50, kv24RGB);
    ASSERT_EQ(b.Location(), kvTempFile);
    EXPECT_EQ(FilesInFolder(), 0) << "the store is unlinked as soon as it is created";
    for (int y = 0; y < 50; ++y) {
      uint8_t* row = b.RowPtr(y);
      for (int i = 0; i < 300; ++i) row[i] = uint8_t(y * 7 + i);
    }
    // Read back in another order, touching other rows in between.
    for (int y = 49; y >= 0; y -= 3) {
      b.RowPtr((y + 17) % 50);
      const uint8_t* row = b.RowPtr(y);
      for (int i = 0; i < 300; ++i) ASSERT_EQ(row[i], uint8_t(y * 7 + i)) << y << "," << i;
    }
    // Two pinned rows stay valid together.
    uint8_t* r3 = b.PinRow(3);
    uint8_t* r4 = b.PinRow(4);
    r3[0] = 200;
    r4[0] = 201;
    b.RowPtr(10);
    EXPECT_EQ(r3[0], 200);
    EXPECT_EQ(b.RowPtr(3)[0], 200) << "RowPtr of a pinned row is the pinned buffer";
    b.UnpinRow(3);
    b.UnpinRow(4);
    b.RowPtr(20);
    EXPECT_EQ(b.RowPtr(3)[0], 200);
    EXPECT_EQ(b.RowPtr(4)[0], 201);

    // Read-only access does not write changes back.
    b.SetAccessMode(kvAccessRead);
    b.RowPtr(5)[0] = 99;
    b.RowPtr(6);
    b.SetAccessMode(kvAccessReadWrite);
    EXPECT_EQ(b.RowPtr(5)[0], uint8_t(5 * 7));

    // Copies between temp-file buffers, and to memory.
    TKvBitmap c;
    c.CopyFrom(b);
    EXPECT_EQ(c.Location(), kvTempFile);
    EXPECT_EQ(c.RowPtr(3)[0], 200);
    EXPECT_EQ(c.RowPtr(49)[299], uint8_t(49 * 7 + 299));
    TKvBitmap::SetFileThresholdOverride(-1);
    c.SetLocation(kvInMemory);
    EXPECT_EQ(c.Location(), kvInMemory);
    EXPECT_EQ(c.RowPtr(49)[299], uint8_t(49 * 7 + 299));
    EXPECT_EQ(c.RowPtr(4)[0], 201);
  }
  EXPECT_EQ(FilesInFolder(), 0);
}

// Whole-page copies between memory and a temporary file go through vectored calls in batches of
// rows; a page of more rows than one batch holds must arrive intact both ways, in memory as one
// block and as fragments.
TEST_F(TempFolderTest, PageCopiesBetweenMemoryAndTempFileKeepEveryRow) {
  constexpr int kWidth = 37, kHeight = 2100;  // more rows than one vectored call takes
  auto value = [](int y, int i) { return uint8_t(y * 31 + i * 7 + (y >> 8)); };
  TKvBitmap page(kWidth, kHeight, kv24RGB);
  ASSERT_EQ(page.Location(), kvInMemory);
  for (int y = 0; y < kHeight; ++y)
    for (int i = 0; i < page.RowLength(); ++i) page.RowPtr(y)[i] = value(y, i);
  TKvBitmap stored;
  stored.OwnFileThreshold = 0;
  stored.CopyFrom(page);
  ASSERT_EQ(stored.Location(), kvTempFile);
  for (int y = 0; y < kHeight; y += 97) {
    const uint8_t* row = stored.RowPtr(y);
    for (int i = 0; i < stored.RowLength(); ++i) ASSERT_EQ(row[i], value(y, i)) << y << "," << i;
  }
  TKvBitmap back;
  back.CopyFrom(stored);
  ASSERT_EQ(back.Location(), kvInMemory);
  for (int y = 0; y < kHeight; ++y)
    ASSERT_EQ(std::memcmp(back.RowPtr(y), page.RowPtr(y), size_t(page.RowLength())), 0) << y;
  // A row changed in the file copy while paged in is written back before the next whole copy.
  stored.RowPtr(1500)[0] = 1;
  back.CopyFrom(stored);
  EXPECT_EQ(back.RowPtr(1500)[0], 1);
  EXPECT_EQ(back.RowPtr(1499)[0], value(1499, 0));
}

// Writers store whole rows, padding included, so a fresh heap buffer's row padding (the bits past
// the last kv1g pixel, the alignment bytes) is zero, as it is on zero-filled memory: otherwise
// leftovers of earlier buffers would reach the files.
TEST(KvBitmapAllocation, HeapBuffersStartWithClearRowPadding) {
  struct TCase {
    TKvPixFormat Format;
    int Width;
  } const cases[] = {{kv1g, 13}, {kv8g, 7}, {kv24RGB, 5}};
  for (const TCase& c : cases) {
    for (int round = 0; round < 2; ++round) {
      // The first round leaves a block full of ones for the heap to hand out again.
      TKvBitmap b;
      b.AllocatorKind = 0;
      ASSERT_TRUE(b.AllocateImage(c.Width, 40, c.Format));
      const int pixelBytes = c.Width * b.BitCount() / 8;
      for (int y = 0; y < b.Height(); ++y) {
        const uint8_t* row = b.RowPtr(y);
        if (c.Format == kv1g) {
          ASSERT_EQ(row[pixelBytes] & 0x07, 0) << y;  // the places of pixels 13..15
        }
        for (int i = pixelBytes + (c.Format == kv1g); i < b.RowLength(); ++i)
          ASSERT_EQ(row[i], 0) << KvPixFormatName(c.Format) << " row " << y << " byte " << i;
      }
      for (int y = 0; y < b.Height(); ++y) std::memset(b.RowPtr(y), 0xFF, size_t(b.RowLength()));
    }
  }
}

// A buffer in a temporary file takes later copies in its own file, grown or shrunk: each copy
// must be whole (every row, the palette, the alpha plane as the source has it).
TEST_F(TempFolderTest, CopiesIntoATempFileBufferOfAnotherSizeAreWhole) {
  struct TPage {
    int W, H;
    TKvPixFormat Format;
    bool Alpha;
  } const pages[] = {
      {50, 40, kv24RGB, true}, {70, 60, kv8g, false}, {20, 10, kv8p, false}, {33, 45, kv1g, false}};
  TKvBitmap stored;
  stored.OwnFileThreshold = 0;
  int n = 0;
  for (const TPage& p : pages) {
    TKvBitmap page(p.W, p.H, p.Format);
    for (int y = 0; y < p.H; ++y)
      for (int i = 0; i < page.RowLength(); ++i) page.RowPtr(y)[i] = uint8_t(n * 50 + y * 3 + i);
    if (p.Format == kv8p) {
      page.SetPaletteEntry(4, KvRGB(9, 8, 7));
      page.PaletteUsed = 5;
    }
    if (p.Alpha) page.AlphaPlane()->SetByte(1, 2, 3);
    stored.CopyFrom(page);
    ASSERT_EQ(stored.Location(), kvTempFile);
    ASSERT_EQ(stored.Width(), p.W);
    ASSERT_EQ(stored.PixelFormat(), p.Format);
    EXPECT_EQ(stored.HasAlphaPlane(), p.Alpha) << n;
    if (p.Alpha) {
      EXPECT_EQ(stored.AlphaPlane()->GetByte(1, 2), 3);
    }
    EXPECT_EQ(stored.PaletteLength(), p.Format == kv8p ? 256 : 0);
    if (p.Format == kv8p) {
      EXPECT_EQ(stored.GetPaletteEntry(4), KvRGB(9, 8, 7));
      EXPECT_EQ(stored.PaletteUsed, 5);
    }
    for (int y = p.H - 1; y >= 0; --y)
      ASSERT_EQ(std::memcmp(stored.RowPtr(y), page.RowPtr(y), size_t(page.RowLength())), 0)
          << n << " row " << y;
    ++n;
  }
  EXPECT_EQ(FilesInFolder(), 0);
}

// The store's file is "IMG-" + 8 upper-case hex digits (a number below 2^31 - 1) + ".tmp" in the
// temporary folder, gone from the folder as soon as it is open; a folder that cannot take it gives
// "Unable to create " + the name.
TEST_F(TempFolderTest, TempStoreNameDeleteOnCloseAndRefusal) {
  TKvTempStore store(dir_, 4096);
  ASSERT_TRUE(store.Ok());
  const std::string name = store.FileName();
  const std::string prefix = dir_ + "/IMG-";
  ASSERT_EQ(name.size(), prefix.size() + 12) << name;
  EXPECT_EQ(name.substr(0, prefix.size()), prefix);
  EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
  for (size_t i = prefix.size(); i < prefix.size() + 8; ++i)
    EXPECT_TRUE((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'A' && name[i] <= 'F')) << name;
  EXPECT_LE(name[prefix.size()], '7') << "the number is below 2147483647";
  struct stat st {};
  EXPECT_NE(stat(name.c_str(), &st), 0) << "unlinked at once";
  EXPECT_EQ(FilesInFolder(), 0);
  store.Write(4000, "abc", 3);
  char back[3] = {};
  store.Read(4000, back, 3);
  EXPECT_EQ(std::string(back, 3), "abc");

  TKvTempStore refused(dir_ + "/missing", 10);
  EXPECT_FALSE(refused.Ok());
  EXPECT_EQ(refused.Error(), "Unable to create " + refused.FileName());
}

TEST_F(TempFolderTest, SmallImageRequestedInTempFileStaysInMemory) {
  TKvBitmap b;
  ASSERT_TRUE(b.AllocateImage(10, 10, kv8g));
  EXPECT_EQ(b.Location(), kvInMemory);
}

TEST_F(TempFolderTest, UnwritableTempFolderFallsBackToMemory) {
  TKvBitmap::SetTempFolder(dir_ + "/does-not-exist");
  TKvBitmap::SetFileThresholdOverride(10);
  TKvBitmap b(20, 20, kv8g);
  EXPECT_FALSE(b.IsEmpty());
  EXPECT_EQ(b.Location(), kvInMemory);
  b.FillWith(5);
  EXPECT_EQ(b.GetByte(19, 19), 5);
}

// A fill does not write the fourth byte of kv32RGB pixels, in a temporary file as in memory.
TEST_F(TempFolderTest, FillKeepsTheFourthByteOfFourByteColourInEveryStorage) {
  for (const bool inFile : {false, true}) {
    TKvBitmap b;
    if (inFile) b.OwnFileThreshold = 0;
    ASSERT_TRUE(b.AllocateImage(3, 4, kv32RGB));
    ASSERT_EQ(b.Location(), inFile ? kvTempFile : kvInMemory);
    for (int y = 0; y < 4; ++y) std::memset(b.RowPtr(y), 7, 12);
    b.FillWith(double(0x00332211));
    for (int y = 0; y < 4; ++y) {
      const uint8_t* row = b.RowPtr(y);
      for (int x = 0; x < 3; ++x) {
        ASSERT_EQ(row[4 * x], 0x33) << inFile << " " << x << "," << y;
        ASSERT_EQ(row[4 * x + 2], 0x11) << inFile << " " << x << "," << y;
        ASSERT_EQ(row[4 * x + 3], 7) << inFile << " " << x << "," << y;
      }
    }
  }
}

TEST(KvBitmapFill, FillWithAndOpaqueFlag) {
  TKvBitmap alpha(5, 2, kv8g);
  alpha.FillWith(255);
  EXPECT_TRUE(alpha.AlphaIsOpaque);
  alpha.SetByte(1, 1, 254);
  EXPECT_FALSE(alpha.AlphaIsOpaque);
  alpha.RecheckOpaque();
  EXPECT_FALSE(alpha.AlphaIsOpaque);
  alpha.SetByte(1, 1, 255);
  alpha.RecheckOpaque();
  EXPECT_TRUE(alpha.AlphaIsOpaque);
  EXPECT_FALSE(alpha.IsAllZero());
  alpha.FillWith(0);
  EXPECT_TRUE(alpha.IsAllZero());
  EXPECT_FALSE(alpha.AlphaIsOpaque);

  TKvBitmap rgba(2, 1, kv32RGB);
  std::memset(rgba.RowPtr(0), 7, 8);
  rgba.FillWith(double(0x00332211));  // TColor: red 0x11, green 0x22, blue 0x33
  EXPECT_EQ(rgba.RowPtr(0)[0], 0x33);
  EXPECT_EQ(rgba.RowPtr(0)[2], 0x11);
  EXPECT_EQ(rgba.RowPtr(0)[3], 7) << "the fourth byte is not written";

  TKvBitmap wide(1, 1, kvRGB48);
  wide.FillWith(double(0x00000080));
  EXPECT_EQ(wide.GetRGB48(0, 0), (TKvRGB48{0x80 * 257, 0, 0}));

  TKvBitmap bits(20, 3, kv1g);
  bits.FillWith(0);
  bits.FillRect(2, 1, 9, 1, 1);
  EXPECT_FALSE(bits.GetBit(1, 1));
  EXPECT_TRUE(bits.GetBit(2, 1));
  EXPECT_TRUE(bits.GetBit(9, 1));
  EXPECT_FALSE(bits.GetBit(10, 1));
  EXPECT_FALSE(bits.GetBit(5, 0));
}

TEST(KvBitmapAlpha, PlaneCreationBlendAndCopyRules) {
  TKvBitmap img(3, 2, kv24RGB);
  img.FillWith(double(clWhite));
  EXPECT_FALSE(img.HasAlphaPlane());
  TKvBitmap* a = img.AlphaPlane();
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->IsAlphaPlane());
  EXPECT_EQ(a->PixelFormat(), kv8g);
  EXPECT_EQ(a->GetByte(2, 1), 255);
  EXPECT_EQ(a->AlphaPlane(), nullptr) << "an alpha plane has no plane of its own";
  a->SetByte(0, 0, 128);
  a->SetByte(1, 0, 0);
  img.DropAlphaPlane(true, clBlack);
  EXPECT_FALSE(img.HasAlphaPlane());
  EXPECT_EQ(img.GetRGB(0, 0), KvRGB(127, 127, 127));  // 0 + 255 * 128 / 256, truncated
  EXPECT_EQ(img.GetRGB(1, 0), KvRGB(0, 0, 0));
  EXPECT_EQ(img.GetRGB(2, 0), KvRGB(255, 255, 255));

  // A copy from a source without a plane removes the destination's plane; with one, copies it.
  TKvBitmap src(3, 2, kv8g);
  TKvBitmap dst(3, 2, kv8g);
  dst.AlphaPlane();
  dst.CopyFrom(src);
  EXPECT_FALSE(dst.HasAlphaPlane());
  src.AlphaPlane()->SetByte(1, 1, 9);
  dst.CopyFrom(src);
  ASSERT_TRUE(dst.HasAlphaPlane());
  EXPECT_EQ(dst.AlphaPlane()->GetByte(1, 1), 9);
  // CopyPixelsFrom leaves the destination's plane alone.
  TKvBitmap plain(3, 2, kv8g);
  dst.CopyPixelsFrom(plain);
  EXPECT_TRUE(dst.HasAlphaPlane());
  // ... but takes the opacity flag with the pixels: a plane given transparent pixels is not opaque.
  TKvBitmap clear(3, 2, kv8g);
  clear.FillWith(0);
  TKvBitmap plane(3, 2, kv8g);
  plane.FillWith(255);
  plane.CopyPixelsFrom(clear);
  EXPECT_EQ(plane.GetByte(2, 1), 0);
  EXPECT_FALSE(plane.AlphaIsOpaque);
}

TEST(KvBitmapCopy, CopyFromEmptyAndMoveContent) {
  TKvBitmap empty;
  TKvBitmap b(4, 4, kv8g);
  b.DitherMode = 0;
  b.FillWith(3);
  TKvBitmap c;
  c.CopyFrom(b);
  EXPECT_EQ(c.DitherMode, 0);
  EXPECT_EQ(c.GetByte(3, 3), 3);
  c.CopyFrom(empty);
  EXPECT_TRUE(c.IsEmpty());
  b.CopyPixelsFrom(empty);
  EXPECT_FALSE(b.IsEmpty());

  TKvBitmap moved;
  b.MoveContentTo(moved);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(moved.Width(), 4);
  EXPECT_EQ(moved.GetByte(0, 0), 3);
  ASSERT_TRUE(b.AllocateImage(2, 2, kv8g)) << "a buffer emptied by a move is usable again";
}

TEST(KvBitmapCopy, CopyRectClipsAndHandlesBitOffsets) {
  TKvBitmap src(20, 4, kv1g);
  src.FillWith(0);
  for (int x = 0; x < 20; x += 3) src.SetBit(x, 1, true);
  TKvBitmap dst(20, 4, kv1g);
  dst.FillWith(0);
  src.CopyRect(dst, 3, 1, 10, 1, 5, 2);  // odd bit offsets on both sides
  for (int x = 0; x < 20; ++x) {
    const bool expect = x >= 5 && x < 15 && ((x - 5 + 3) % 3 == 0);
    EXPECT_EQ(dst.GetBit(x, 2), expect) << x;
  }
  // kv1g into kv24RGB.
  TKvBitmap rgb(4, 2, kv24RGB);
  rgb.FillWith(double(0x00102030));
  src.CopyRect(rgb, 0, 1, 4, 1, 0, 0);
  EXPECT_EQ(rgb.GetRGB(0, 0), KvRGB(255, 255, 255));
  EXPECT_EQ(rgb.GetRGB(1, 0), KvRGB(0, 0, 0));
  EXPECT_EQ(rgb.GetRGB(0, 1), KvRGB(0x30, 0x20, 0x10));
  // Negative destination offsets shift the source start; sizes clip at the edges.
  TKvBitmap g(4, 4, kv8g), h(4, 4, kv8g);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) g.SetByte(x, y, uint8_t(10 * y + x));
  h.FillWith(0);
  g.CopyRect(h, 0, 0, 4, 4, -1, -2);
  EXPECT_EQ(h.GetByte(0, 0), 21);
  EXPECT_EQ(h.GetByte(2, 1), 33);
  EXPECT_EQ(h.GetByte(3, 0), 0);
  EXPECT_EQ(h.GetByte(0, 2), 0);
  // An unsupported pair does nothing.
  TKvBitmap other(4, 4, kv16g);
  other.FillWith(1);
  g.CopyRect(other, 0, 0, 4, 4, 0, 0);
  EXPECT_EQ(other.GetWord(0, 0), 1);
}

// A rectangle copied within one buffer lands whole where its old and new places overlap, in
// memory and in a temporary file (which pages one row at a time).
TEST(KvBitmapCopy, CopyRectWithinOneBufferHandlesOverlap) {
  for (const bool inFile : {false, true}) {
    for (const TKvPixFormat f : {kv8g, kv1g}) {
      TKvBitmap b;
      if (inFile) b.OwnFileThreshold = 0;
      ASSERT_TRUE(b.AllocateImage(11, 5, f));
      auto value = [](int x, int y) { return uint8_t(10 * y + x); };
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 11; ++x) {
          if (f == kv1g)
            b.SetBit(x, y, (x * 3 + y) % 4 == 0);
          else
            b.SetByte(x, y, value(x, y));
        }
      TKvBitmap ref;
      ref.CopyFrom(b);
      b.CopyRect(b, 0, 0, 10, 4, 1, 1);  // one down and one to the right
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 11; ++x) {
          const int fx = x >= 1 && y >= 1 ? x - 1 : x, fy = x >= 1 && y >= 1 ? y - 1 : y;
          if (f == kv1g)
            ASSERT_EQ(b.GetBit(x, y), ref.GetBit(fx, fy)) << inFile << " " << x << "," << y;
          else
            ASSERT_EQ(b.GetByte(x, y), ref.GetByte(fx, fy)) << inFile << " " << x << "," << y;
        }
    }
  }
}

TEST(KvBitmapCopy, CopyAlphaRectKeepsLargerAlpha) {
  TKvBitmap a(2, 1, kv24RGB), b(2, 1, kv24RGB);
  a.AlphaPlane()->SetByte(0, 0, 10);
  a.AlphaPlane()->SetByte(1, 0, 200);
  b.AlphaPlane()->FillWith(100);
  a.CopyAlphaRect(b, 0, 0, 2, 1, 0, 0);
  EXPECT_EQ(b.AlphaPlane()->GetByte(0, 0), 100);
  EXPECT_EQ(b.AlphaPlane()->GetByte(1, 0), 200);
}

TEST(KvBitmapResize, SetWidthHeightKeepTopLeftAndAlphaFollows) {
  TKvBitmap b(3, 3, kv8g);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) b.SetByte(x, y, uint8_t(10 * y + x));
  b.AlphaPlane()->SetByte(1, 1, 7);
  b.SetWidth(2);
  b.SetHeight(5);
  EXPECT_EQ(b.Width(), 2);
  EXPECT_EQ(b.Height(), 5);
  EXPECT_EQ(b.GetByte(1, 2), 21);
  EXPECT_EQ(b.AlphaPlane()->Width(), 2);
  EXPECT_EQ(b.AlphaPlane()->Height(), 5);
  EXPECT_EQ(b.AlphaPlane()->GetByte(1, 1), 7);
}

// A canvas change never turns a plane with transparent pixels opaque, whatever the alpha fill:
// growing, cutting in place and a centred cut all keep the transparent pixel.
TEST(KvBitmapResize, TransparentAlphaStaysNotOpaqueThroughCanvasChanges) {
  struct TSize {
    int W, H, Place;
  } const sizes[] = {{9, 7, 1}, {4, 3, 0}, {4, 3, 1}};
  for (const TSize& s : sizes) {
    TKvBitmap b(6, 5, kv24RGB), opaque(6, 5, kv24RGB);
    b.AlphaPlane()->SetByte(2, 1, 0);
    ASSERT_FALSE(b.AlphaPlane()->AlphaIsOpaque);
    opaque.AlphaPlane();
    b.ResizeCanvas(s.W, s.H, 0, 255, s.Place, s.Place);
    opaque.ResizeCanvas(s.W, s.H, 0, 255, s.Place, s.Place);
    ASSERT_EQ(b.AlphaPlane()->Width(), s.W);
    EXPECT_FALSE(b.AlphaPlane()->AlphaIsOpaque) << s.W << "x" << s.H << " place " << s.Place;
    EXPECT_TRUE(opaque.AlphaPlane()->AlphaIsOpaque) << s.W << "x" << s.H << " place " << s.Place;
  }
}

TEST(KvBitmapResize, ResizeCanvasPlacesContent) {
  struct Case {
    int hPlace, vPlace, x, y;  // where the old (0,0) pixel lands in a 6 x 5 canvas
  } cases[] = {{0, 0, 0, 0}, {1, 1, 1, 1}, {2, 2, 3, 2}, {2, 0, 3, 0}};
  for (const Case& c : cases) {
    TKvBitmap b(3, 3, kv8g);
    b.FillWith(50);
    b.SetByte(0, 0, 9);
    b.ResizeCanvas(6, 5, 200, 255, c.hPlace, c.vPlace);
    ASSERT_EQ(b.Width(), 6);
    EXPECT_EQ(b.GetByte(c.x, c.y), 9) << c.hPlace << c.vPlace;
    EXPECT_EQ(b.GetByte(c.x + 2, c.y + 2), 50);
    int filled = 0;
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 6; ++x) filled += b.GetByte(x, y) == 200;
    EXPECT_EQ(filled, 30 - 9);
  }
  // Shrinking centred cuts both sides; centring of an odd difference truncates toward zero.
  TKvBitmap s(5, 1, kv8g);
  for (int x = 0; x < 5; ++x) s.SetByte(x, 0, uint8_t(x));
  s.ResizeCanvas(2, 1, 0, 255, 1, 0);  // offset (2 - 5) / 2 = -1
  EXPECT_EQ(s.GetByte(0, 0), 1);
  EXPECT_EQ(s.GetByte(1, 0), 2);
}

// A cut to a part of a page held in one block moves the rows within the block: every kept byte
// for each placement and byte format, clear padding, the alpha plane cut along, and the opacity
// flag the margin fill would record. The same cut of a page in a temporary file copies.
TEST(KvBitmapResize, CutToAPartKeepsEveryPixelInPlaceAndInFiles) {
  struct TCase {
    TKvPixFormat Format;
    int hPlace, vPlace;
  } const cases[] = {{kv8g, 0, 0},    {kv8g, 1, 1},  {kv8g, 2, 2},    {kv24RGB, 1, 1},
                     {kv24RGB, 2, 0}, {kv16g, 1, 2}, {kv32RGB, 0, 1}, {kvCMYK, 1, 1}};
  constexpr int kOldW = 23, kOldH = 17, kNewW = 14, kNewH = 9;
  auto offset = [](int place, int newSize, int oldSize) {
    return place == 1 ? (oldSize - newSize) / 2 : place == 2 ? oldSize - newSize : 0;
  };
  for (const bool inFile : {false, true}) {
    for (const TCase& c : cases) {
      TKvBitmap b;
      if (inFile) b.OwnFileThreshold = 0;
      ASSERT_TRUE(b.AllocateImage(kOldW, kOldH, c.Format));
      const int bpp = b.BitCount() / 8;
      for (int y = 0; y < kOldH; ++y)
        for (int i = 0; i < kOldW * bpp; ++i) b.RowPtr(y)[i] = uint8_t(y * 41 + i * 3);
      b.AlphaPlane()->SetByte(10, 8, 77);  // kept by every placement
      TKvBitmap ref;
      ref.CopyFrom(b);
      b.ResizeCanvas(kNewW, kNewH, 0, 255, c.hPlace, c.vPlace);
      ASSERT_EQ(b.Width(), kNewW);
      ASSERT_EQ(b.Height(), kNewH);
      ASSERT_EQ(b.RowLength(), KvRowLength(kNewW, b.BitCount()));
      const int dx = offset(c.hPlace, kNewW, kOldW), dy = offset(c.vPlace, kNewH, kOldH);
      for (int y = 0; y < kNewH; ++y) {
        const uint8_t* row = b.RowPtr(y);
        const uint8_t* was = ref.RowPtr(y + dy) + dx * bpp;
        for (int i = 0; i < kNewW * bpp; ++i)
          ASSERT_EQ(row[i], was[i]) << KvPixFormatName(c.Format) << " " << inFile << " " << y;
        for (int i = kNewW * bpp; i < b.RowLength(); ++i) ASSERT_EQ(row[i], 0) << "padding";
      }
      EXPECT_EQ(b.AlphaPlane()->Width(), kNewW);
      EXPECT_EQ(b.AlphaPlane()->GetByte(10 - dx, 8 - dy), 77);
      EXPECT_FALSE(b.AlphaIsOpaque) << "a fill with 0 is not the opaque value";
    }
  }
}

// A copy into a page whose block is big enough lands in that block; the result is the same as
// in a new block: every row byte, the palette, no alpha plane left from before.
TEST(KvBitmapCopy, CopyIntoACutPageIsAWholeCopy) {
  TKvBitmap page(40, 30, kv24RGB);
  page.AlphaPlane()->SetByte(3, 3, 9);
  page.ResizeCanvas(30, 25, 0, 255, 1, 1);  // cut within its block
  TKvBitmap colour(36, 28, kv24RGB);
  for (int y = 0; y < 28; ++y)
    for (int i = 0; i < colour.RowLength(); ++i) colour.RowPtr(y)[i] = uint8_t(y * 13 + i);
  page.CopyFrom(colour);
  ASSERT_EQ(page.Width(), 36);
  ASSERT_EQ(page.Height(), 28);
  EXPECT_FALSE(page.HasAlphaPlane());
  for (int y = 0; y < 28; ++y)
    ASSERT_EQ(std::memcmp(page.RowPtr(y), colour.RowPtr(y), size_t(colour.RowLength())), 0) << y;
  TKvBitmap indexed(100, 30, kv8p);
  indexed.SetPaletteEntry(5, KvRGB(1, 2, 3));
  indexed.PaletteUsed = 7;
  indexed.SetByte(99, 29, 5);
  page.CopyFrom(indexed);
  EXPECT_EQ(page.PixelFormat(), kv8p);
  EXPECT_EQ(page.PaletteLength(), 256);
  EXPECT_EQ(page.PaletteUsed, 7);
  EXPECT_EQ(page.GetPaletteEntry(5), KvRGB(1, 2, 3));
  EXPECT_EQ(page.GetByte(99, 29), 5);
}

TEST(KvBitmapStorage, RowAlignmentRelaysRows) {
  TKvBitmap b(5, 2, kv8g);
  b.SetByte(4, 1, 42);
  b.SetRowAlignment(8);
  EXPECT_EQ(b.RowLength(), 5);
  EXPECT_EQ(b.GetByte(4, 1), 42);
  b.SetRowAlignment(64);
  EXPECT_EQ(b.RowLength(), 8);
  EXPECT_EQ(b.GetByte(4, 1), 42);
}

TEST(KvBitmapStorage, PlatformBitmapStorageRules) {
  const struct {
    TKvPixFormat format;
    bool ok;
    TKvPixFormat result;
  } cases[] = {
      {kv1g, true, kv1g},           {kv8g, true, kv8g},
      {kv8p, true, kv8p},           {kv16g, true, kv8g},
      {kv24RGB, true, kv24RGB},     {kv32RGB, true, kv32RGB},
      {kv32f, false, kvNoFormat},   {kvCMYK, false, kvNoFormat},
      {kvRGB48, false, kvNoFormat}, {kvCIELab, false, kvNoFormat},
  };
  for (const auto& c : cases) {
    TKvBitmap b;
    b.SetLocation(kvTBitmap);
    EXPECT_EQ(b.AllocateImage(7, 3, c.format), c.ok) << KvPixFormatName(c.format);
    EXPECT_EQ(b.PixelFormat(), c.result) << KvPixFormatName(c.format);
    if (!c.ok) {
      EXPECT_EQ(TKvBitmap::LastAllocationError(),
                std::string(KvPixFormatName(c.format)) +
                    " pixel format not allowed when Location=kvTBitmap");
      EXPECT_EQ(b.Width(), 0);
    }
  }
  TKvBitmap rgb;
  rgb.SetLocation(kvTBitmap);
  ASSERT_TRUE(rgb.AllocateImage(5, 4, kv24RGB));
  rgb.SetRGB(4, 3, KvRGB(1, 2, 3));
  TVclBitmap* vcl = rgb.VclBitmap();
  ASSERT_NE(vcl, nullptr);
  EXPECT_EQ(vcl->PixelRGB(4, 3), KvRGB(1, 2, 3));
  // Geometry follows changes made on the platform bitmap.
  vcl->SetWidth(9);
  EXPECT_EQ(rgb.Width(), 9);
  EXPECT_EQ(rgb.GetRGB(4, 3), KvRGB(1, 2, 3));
  vcl->SetPixelFormat(pf32bit);
  EXPECT_EQ(rgb.PixelFormat(), kv32RGB);
  // An alpha plane of a platform-bitmap buffer lives in memory.
  EXPECT_EQ(rgb.AlphaPlane()->Location(), kvInMemory);
}

// A buffer that wraps a platform bitmap allocates in that very bitmap: its owner sees the new
// size, format and pixels, and the buffer goes on wrapping it (and does not free it).
TEST(KvBitmapStorage, AllocationOfAWrappingBufferReusesTheWrappedBitmap) {
  TVclBitmap vcl(2, 2, pf24bit);
  {
    TKvBitmap b;
    b.WrapVclBitmap(&vcl);
    ASSERT_TRUE(b.AllocateImage(12, 3, kv1g));
    EXPECT_EQ(b.Location(), kvTBitmap);
    EXPECT_EQ(b.VclBitmap(), &vcl);
    EXPECT_EQ(vcl.Width(), 12);
    EXPECT_EQ(vcl.Height(), 3);
    EXPECT_EQ(vcl.PixelFormat(), pf1bit);
    b.FillWith(0);
    b.SetBit(9, 2, true);
    EXPECT_EQ(vcl.ScanLine(2)[1], 0x40);
    ASSERT_TRUE(b.AllocateImage(4, 5, kv24RGB));
    EXPECT_EQ(vcl.PixelFormat(), pf24bit);
    b.SetRGB(3, 4, KvRGB(1, 2, 3));
    EXPECT_EQ(vcl.PixelRGB(3, 4), KvRGB(1, 2, 3));
  }
  EXPECT_EQ(vcl.Width(), 4) << "the wrapped bitmap outlives the buffer";
  // A copy of another platform bitmap lands in the wrapped one too (8-bit turned into 24-bit).
  TVclBitmap other(3, 2, pf8bit);
  other.ScanLine(1)[2] = 200;
  TKvBitmap copier;
  copier.WrapVclBitmap(&vcl);
  copier.CopyFrom(other);
  EXPECT_EQ(copier.VclBitmap(), &vcl);
  EXPECT_EQ(vcl.Width(), 3);
  EXPECT_EQ(vcl.PixelFormat(), pf24bit);
  EXPECT_EQ(copier.GetPixelRGB(2, 1), KvRGB(200, 200, 200));
  TKvBitmap refused;
  refused.WrapVclBitmap(&vcl);
  EXPECT_FALSE(refused.AllocateImage(4, 4, kv32f));
  EXPECT_TRUE(refused.IsEmpty());
}

// Platform-bitmap storage holds kv16g as kv8g: pixels moved or copied there keep their gray, the
// high byte of each word.
TEST(KvBitmapStorage, SixteenBitGrayEntersPlatformStorageAsItsHighByte) {
  TKvBitmap gray(5, 2, kv16g);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 5; ++x) gray.SetWord(x, y, uint16_t(0x1000 * (x + 1) + 0x30 * y + 0x0F));
  TKvBitmap copied, pixels, moved;
  copied.SetLocation(kvTBitmap);
  copied.CopyFrom(gray);
  pixels.SetLocation(kvTBitmap);
  pixels.CopyPixelsFrom(gray);
  moved.CopyFrom(gray);
  moved.SetLocation(kvTBitmap);
  for (const TKvBitmap* b : {&copied, &pixels, &moved}) {
    ASSERT_EQ(b->Location(), kvTBitmap);
    ASSERT_EQ(b->PixelFormat(), kv8g);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 5; ++x)
        ASSERT_EQ(b->GetByte(x, y), gray.GetWord(x, y) >> 8) << x << "," << y;
  }
}

TEST(KvBitmapStorage, CopyFromPlatformBitmapByFormat) {
  TVclBitmap mono(10, 2, pf1bit);
  mono.ScanLine(0)[0] = 0xA0;
  TKvBitmap b;
  b.CopyFrom(mono);
  EXPECT_EQ(b.PixelFormat(), kv1g);
  EXPECT_TRUE(b.GetBit(0, 0));
  EXPECT_FALSE(b.GetBit(1, 0));
  EXPECT_TRUE(b.GetBit(2, 0));

  TVclBitmap nib(3, 1, pf4bit);
  nib.Palette()[5] = {200, 100, 50, 0};
  nib.ScanLine(0)[0] = 0x50;
  b.CopyFrom(nib);
  EXPECT_EQ(b.PixelFormat(), kv8p);
  EXPECT_EQ(b.PaletteLength(), 16);
  EXPECT_EQ(b.GetByte(0, 0), 5) << "the high nibble is the first pixel";
  EXPECT_EQ(b.GetPixelRGB(0, 0), KvRGB(200, 100, 50));

  TVclBitmap hi(2, 1, pf16bit);
  const uint16_t v = uint16_t((31 << 11) | (1 << 5) | 2);
  hi.ScanLine(0)[0] = uint8_t(v);
  hi.ScanLine(0)[1] = uint8_t(v >> 8);
  b.CopyFrom(hi);
  EXPECT_EQ(b.PixelFormat(), kv24RGB);
  EXPECT_EQ(b.GetRGB(0, 0), KvRGB(31 << 3, 1 << 2, 2 << 3)) << "5-6-5 channels shifted left";
}

TEST(KvWorkBitmapTest, BottomUpRowsAndReallocation) {
  TKvWorkBitmap w(3, 4, 32);
  ASSERT_TRUE(w.IsAllocated());
  EXPECT_EQ(w.RowLength(), 12);
  EXPECT_EQ(w.Row(0) - w.Row(1), 12);
  *w.FloatPtr(2, 3) = 1.5f;
  uint8_t* before = w.Row(3);
  w.WorkAllocate(3, 4, 32);
  EXPECT_EQ(w.Row(3), before) << "same geometry keeps the block";
  EXPECT_EQ(*w.FloatPtr(2, 3), 1.5f);
  TKvWorkBitmap none(0, 5, 8);
  EXPECT_FALSE(none.IsAllocated());
}

TEST(KvMaskTest, ResizeKeepsTopLeft) {
  TKvMask m(4, 3);
  m.Set(3, 2, 255);
  m.Set(1, 1, 255);
  m.Resize(2, 5);
  EXPECT_EQ(m.Get(1, 1), 255);
  EXPECT_EQ(m.Get(1, 4), 0);
  EXPECT_EQ(m.Get(3, 2), 0) << "outside reads as 0";
  TKvMask bits(10, 1, 1);
  bits.Set(9, 0, 1);
  EXPECT_EQ(bits.Row(0)[1], 0x40);
}

// A byte mask changes size in its own storage, moving rows down or up: every combination of
// narrower, wider, lower and higher keeps exactly the top-left part and fills the rest.
TEST(KvMaskTest, ByteMaskResizeKeepsTopLeftInEveryDirection) {
  struct TSize {
    int W, H;
  } const targets[] = {{5, 4}, {3, 4}, {9, 4}, {5, 2}, {5, 7},  {3, 2},
                       {9, 7}, {3, 7}, {9, 2}, {1, 1}, {20, 1}, {1, 9}};
  auto original = [](int x, int y) { return uint8_t(1 + x + 10 * y); };
  constexpr uint8_t kFill = 200;
  for (const TSize& t : targets) {
    TKvMask m(5, 4);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 5; ++x) m.Set(x, y, original(x, y));
    m.Resize(t.W, t.H, kFill);
    ASSERT_EQ(m.Width(), t.W);
    ASSERT_EQ(m.Height(), t.H);
    for (int y = 0; y < t.H; ++y)
      for (int x = 0; x < t.W; ++x)
        ASSERT_EQ(m.Row(y)[x], x < 5 && y < 4 ? original(x, y) : kFill)
            << t.W << "x" << t.H << " at " << x << "," << y;
  }
  TKvMask none;
  none.Resize(3, 2, 9);
  EXPECT_EQ(none.Get(2, 1), 9);
  none.Resize(0, 2, 9);
  EXPECT_TRUE(none.IsEmpty());
}

}  // namespace

namespace {

// Every source and destination bit offset and length against a bit-by-bit copy.
TEST(KvBitmapCopy, OneBitRectCopyMatchesBitByBitAtAllOffsets) {
  TKvBitmap src(70, 1, kv1g);
  for (int i = 0; i < src.RowLength(); ++i) src.RowPtr(0)[i] = uint8_t(i * 73 + 19);
  for (int sx = 0; sx < 9; ++sx)
    for (int dx = 0; dx < 9; ++dx)
      for (int w : {1, 7, 8, 9, 23, 50}) {
        TKvBitmap dst(70, 1, kv1g);
        dst.FillWith(1);
        src.CopyRect(dst, sx, 0, w, 1, dx, 0);
        for (int x = 0; x < 70; ++x) {
          const bool expect = (x >= dx && x < dx + w) ? src.GetBit(x - dx + sx, 0) : true;
          ASSERT_EQ(dst.GetBit(x, 0), expect) << sx << " " << dx << " " << w << " x=" << x;
        }
      }
}

TEST(KvBitmapFill, FillBitsPartialRanges) {
  for (int x1 = 0; x1 < 10; ++x1)
    for (int x2 = x1; x2 < 40; x2 += 3) {
      uint8_t row[8] = {0};
      FillBits(row, x1, x2, true);
      for (int x = 0; x < 64; ++x)
        ASSERT_EQ(((row[x >> 3] >> (7 - (x & 7))) & 1) != 0, x >= x1 && x <= x2) << x1 << "," << x2;
    }
}

TEST(KvBitmapResize, CentredCutOfOneBitPageKeepsBits) {
  TKvBitmap b(37, 5, kv1g);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 37; ++x) b.SetBit(x, y, (x * 5 + y) % 3 == 0);
  TKvBitmap ref;
  ref.CopyFrom(b);
  b.ResizeCanvas(30, 3, 0, 255, 1, 1);  // offsets -3, -1
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 30; ++x) ASSERT_EQ(b.GetBit(x, y), ref.GetBit(x + 3, y + 1));
  b.ResizeCanvas(40, 9, 1, 255, 1, 1);  // grows: margins white
  EXPECT_TRUE(b.GetBit(0, 0));
  EXPECT_EQ(b.GetBit(5, 3), ref.GetBit(3, 1));
  EXPECT_TRUE(b.GetBit(39, 8));
}

}  // namespace
