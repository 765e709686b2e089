// The Windows bitmap codec: headers, every bit count, run-length data, bit fields, row order,
// alpha, the writer's bit-count choice, palettes and header rewrite, round trips, damaged
// files, and the corpus files.
#include "io/codecs/kvbmp.h"

#include <gtest/gtest.h>

#include "codec_helpers.h"
#include "corpus.h"
#include "image/kvconvert.h"
#include "io/kvio.h"

using kvtest::Le16At;
using kvtest::Le32At;

namespace {

// Builds a bitmap file in memory: file header, info header of any length (or the 12-byte core
// header), masks, palette and the pixel bytes as given.
struct TBmpFile {
  int HeaderSize = 40;
  int32_t Width = 1, Height = 1;
  uint16_t BitCount = 24;
  uint32_t Compression = 0;
  int32_t PpmX = 2835, PpmY = 2835;
  uint32_t ColorsUsed = 0;
  std::vector<TKvRGB> Palette;
  std::vector<uint32_t> Masks;  // after a 40-byte header, inside a longer one
  std::vector<uint8_t> Pixels;
  int64_t FileSizeOverride = -1;

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> h(size_t(HeaderSize), 0);
    auto put32 = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) h[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    auto put16 = [&](size_t at, uint32_t v) {
      h[at] = uint8_t(v);
      h[at + 1] = uint8_t(v >> 8);
    };
    put32(0, uint32_t(HeaderSize));
    std::vector<uint8_t> extra;
    if (HeaderSize == 12) {
      put16(4, uint32_t(Width));
      put16(6, uint32_t(Height));
      put16(8, 1);
      put16(10, BitCount);
    } else {
      put32(4, uint32_t(Width));
      put32(8, uint32_t(Height));
      put16(12, 1);
      put16(14, BitCount);
      put32(16, Compression);
      put32(20, uint32_t(Pixels.size()));
      put32(24, uint32_t(PpmX));
      put32(28, uint32_t(PpmY));
      put32(32, ColorsUsed);
      for (size_t i = 0; i < Masks.size(); ++i) {
        if (HeaderSize >= 52)
          put32(40 + 4 * i, Masks[i]);
        else
          for (int b = 0; b < 4; ++b) extra.push_back(uint8_t(Masks[i] >> (8 * b)));
      }
    }
    for (const TKvRGB& c : Palette) {
      extra.insert(extra.end(), {c.Blue, c.Green, c.Red});
      if (HeaderSize != 12) extra.push_back(0);
    }
    const uint32_t offset = uint32_t(14 + h.size() + extra.size());
    const uint32_t size = uint32_t(offset + Pixels.size());
    std::vector<uint8_t> f = {'B', 'M'};
    const uint32_t fileSize = FileSizeOverride >= 0 ? uint32_t(FileSizeOverride) : size;
    for (int i = 0; i < 4; ++i) f.push_back(uint8_t(fileSize >> (8 * i)));
    f.insert(f.end(), {0, 0, 0, 0});
    for (int i = 0; i < 4; ++i) f.push_back(uint8_t(offset >> (8 * i)));
    f.insert(f.end(), h.begin(), h.end());
    f.insert(f.end(), extra.begin(), extra.end());
    f.insert(f.end(), Pixels.begin(), Pixels.end());
    return f;
  }
};

// Reads through the file-level entry (alpha to the alpha plane); returns whether it aborted.
bool Read(const std::vector<uint8_t>& file, TKvBitmap& bmp, TKvIOParams& params) {
  return kvtest::ReadBytes(ReadBmpFile, file, bmp, params);
}

std::vector<uint8_t> Write(TKvBitmap& bmp, TKvIOParams& params, bool* aborting = nullptr) {
  return kvtest::WriteBytes(WriteBmpFile, bmp, params, aborting);
}

const TKvRGB kRed = KvRGB(255, 0, 0), kGreen = KvRGB(0, 255, 0), kBlue = KvRGB(0, 0, 255),
             kWhite = KvRGB(255, 255, 255), kBlack = KvRGB(0, 0, 0);

std::vector<uint8_t> Rgb24Rows2x2() {
  // File order: first row red, green; second row blue, white; each padded to 8 bytes.
  return {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0};
}

}  // namespace

// --- Reading -------------------------------------------------------------------------------

TEST(BmpRead, BottomUpAndTopDownRows) {
  TBmpFile f;
  f.Width = 2;
  f.Height = 2;
  f.Pixels = Rgb24Rows2x2();
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read(f.Build(), bmp, params));
  ASSERT_EQ(bmp.PixelFormat(), kv24RGB);
  EXPECT_EQ(bmp.GetRGB(0, 0), kBlue);
  EXPECT_EQ(bmp.GetRGB(1, 0), kWhite);
  EXPECT_EQ(bmp.GetRGB(0, 1), kRed);
  EXPECT_EQ(bmp.GetRGB(1, 1), kGreen);
  EXPECT_EQ(params.BitsPerSample, 8);
  EXPECT_EQ(params.SamplesPerPixel, 3);
  EXPECT_EQ(params.Bmp.HeaderKind, 1);

  f.Height = -2;
  TKvBitmap top;
  TKvIOParams topParams;
  ASSERT_FALSE(Read(f.Build(), top, topParams));
  EXPECT_EQ(top.GetRGB(0, 0), kRed);
  EXPECT_EQ(top.GetRGB(1, 0), kGreen);
  EXPECT_EQ(topParams.Height, 2);
}

TEST(BmpRead, OneBitPaletteWhiteBlackInvertsOtherwiseBitsStay) {
  struct TCase {
    std::vector<TKvRGB> Palette;
    bool ExpectWhite;
  };
  const std::vector<TCase> cases = {
      {{kWhite, kBlack}, true},
      {{kBlack, kWhite}, false},
      {{kRed, kBlue}, false},  // colours are not kept: the bits as they are
  };
  for (const TCase& c : cases) {
    TBmpFile f;
    f.Width = 3;
    f.Height = 1;
    f.BitCount = 1;
    f.Palette = c.Palette;
    f.Pixels = {0, 0, 0, 0};
    TKvBitmap bmp;
    TKvIOParams params;
    ASSERT_FALSE(Read(f.Build(), bmp, params));
    ASSERT_EQ(bmp.PixelFormat(), kv1g);
    for (int x = 0; x < 3; ++x) EXPECT_EQ(bmp.GetBit(x, 0), c.ExpectWhite);
    EXPECT_EQ(params.ColorMapCount, 2);
    EXPECT_EQ(params.BitsPerSample, 1);
  }
}

TEST(BmpRead, FourAndEightBitThroughPaletteOrNative) {
  const std::vector<TKvRGB> palette = {kBlack, kRed, kGreen, kBlue};
  TBmpFile f4;
  f4.Width = 3;
  f4.Height = 1;
  f4.BitCount = 4;
  f4.Palette = palette;
  f4.ColorsUsed = 4;
  f4.Pixels = {0x12, 0x30, 0, 0};
  TBmpFile f8 = f4;
  f8.BitCount = 8;
  f8.Pixels = {1, 2, 3, 0};
  for (const TBmpFile* f : {&f4, &f8}) {
    TKvBitmap bmp;
    TKvIOParams params;
    ASSERT_FALSE(Read(f->Build(), bmp, params));
    ASSERT_EQ(bmp.PixelFormat(), kv24RGB);
    EXPECT_EQ(bmp.GetRGB(0, 0), kRed);
    EXPECT_EQ(bmp.GetRGB(1, 0), kGreen);
    EXPECT_EQ(bmp.GetRGB(2, 0), kBlue);
    EXPECT_EQ(params.ColorMapCount, 4);

    TKvBitmap native;
    TKvIOParams nativeParams;
    nativeParams.IsNativePixelFormat = true;
    ASSERT_FALSE(Read(f->Build(), native, nativeParams));
    ASSERT_EQ(native.PixelFormat(), kv8p);
    EXPECT_EQ(native.GetByte(0, 0), 1);
    EXPECT_EQ(native.GetByte(2, 0), 3);
    EXPECT_EQ(native.GetPaletteEntry(3), kBlue);
    EXPECT_EQ(native.PaletteUsed, f->BitCount == 4 ? 16 : 256);
  }
}

TEST(BmpRead, IndexBeyondThePaletteGivesBlack) {
  TBmpFile f;
  f.Width = 2;
  f.Height = 1;
  f.BitCount = 8;
  f.ColorsUsed = 2;
  f.Palette = {kRed, kGreen};
  f.Pixels = {1, 200, 0, 0};
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read(f.Build(), bmp, params));
  EXPECT_EQ(bmp.GetRGB(0, 0), kGreen);
  EXPECT_EQ(bmp.GetRGB(1, 0), kBlack);
}

// 16-bit channels are widened by a shift (5-bit 31 reads as 248), not by replication.
TEST(BmpRead, SixteenBitDefaultMasksAndBitFields) {
  TBmpFile f;
  f.Width = 1;
  f.Height = 1;
  f.BitCount = 16;
  f.Pixels = {0xFF, 0x7F, 0, 0};
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read(f.Build(), bmp, params));
  EXPECT_EQ(bmp.GetRGB(0, 0), KvRGB(248, 248, 248));
  EXPECT_EQ(params.BitsPerSample, 5);
  EXPECT_EQ(params.SamplesPerPixel, 3);

  for (int headerSize : {40, 56, 108, 124}) {  // masks after the header or inside it
    TBmpFile g = f;
    g.HeaderSize = headerSize;
    g.Compression = 3;
    g.Masks = {0xF800, 0x07E0, 0x001F};
    g.Pixels = {0x1F, 0xF8, 0, 0};  // red 31, green 0, blue 31
    TKvBitmap b;
    TKvIOParams p;
    ASSERT_FALSE(Read(g.Build(), b, p)) << headerSize;
    EXPECT_EQ(b.GetRGB(0, 0), KvRGB(248, 0, 248)) << headerSize;
  }
}

TEST(BmpRead, ThirtyTwoBitMasksInAnyOrder) {
  TBmpFile f;
  f.HeaderSize = 124;
  f.Width = 1;
  f.Height = 1;
  f.BitCount = 32;
  f.Compression = 3;
  f.Masks = {0x000000FF, 0x0000FF00, 0x00FF0000};  // red in the lowest byte
  f.Pixels = {10, 20, 30, 40};
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read(f.Build(), bmp, params));
  EXPECT_EQ(bmp.GetRGB(0, 0), KvRGB(10, 20, 30));
}

TEST(BmpRead, ThirtyTwoBitAlphaOnlyWhenKeptAndMeaningful) {
  struct TCase {
    const char* Name;
    std::vector<uint8_t> FourthBytes;
    bool Keep;
    bool ExpectPlane;
  };
  const std::vector<TCase> cases = {
      {"all zero: no alpha in the file", {0, 0}, true, false},
      {"all opaque", {255, 255}, true, false},
      {"mixed", {0, 128}, true, true},
      {"mixed but not kept", {0, 128}, false, false},
  };
  for (const TCase& c : cases) {
    TBmpFile f;
    f.Width = 2;
    f.Height = 1;
    f.BitCount = 32;
    f.Pixels = {1, 2, 3, c.FourthBytes[0], 4, 5, 6, c.FourthBytes[1]};
    TKvBitmap bmp;
    TKvIOParams params;
    params.Bmp.KeepAlpha = c.Keep;
    ASSERT_FALSE(Read(f.Build(), bmp, params)) << c.Name;
    EXPECT_EQ(bmp.GetRGB(1, 0), KvRGB(6, 5, 4)) << c.Name;
    ASSERT_EQ(bmp.HasAlphaPlane(), c.ExpectPlane) << c.Name;
    EXPECT_EQ(params.SamplesPerPixel, 4);
    if (c.ExpectPlane) {
      EXPECT_EQ(bmp.ExistingAlphaPlane()->GetByte(0, 0), 0);
      EXPECT_EQ(bmp.ExistingAlphaPlane()->GetByte(1, 0), 128);
      EXPECT_FALSE(bmp.AlphaIsOpaque);
    }
  }
}

TEST(BmpRead, ResolutionFromPixelsPerMetre) {
  struct TCase {
    int32_t Ppm;
    int32_t Dpi;
  };
  for (const TCase& c : std::vector<TCase>{{2835, 72}, {11811, 300}, {0, 300}, {3937, 100}}) {
    TBmpFile f;
    f.PpmX = c.Ppm;
    f.PpmY = 2835;
    f.Pixels = {0, 0, 0, 0};
    TKvBitmap bmp;
    TKvIOParams params;
    ASSERT_FALSE(Read(f.Build(), bmp, params));
    EXPECT_EQ(params.DpiX(), c.Dpi) << c.Ppm;
    EXPECT_EQ(params.DpiY(), 72);
  }
}

TEST(BmpRead, CoreHeaderWithThreeBytePalette) {
  TBmpFile f;
  f.HeaderSize = 12;
  f.Width = 2;
  f.Height = 1;
  f.BitCount = 8;
  f.Palette.assign(256, kBlack);
  f.Palette[7] = kGreen;
  f.Pixels = {7, 0, 0, 0};
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read(f.Build(), bmp, params));
  EXPECT_EQ(params.Bmp.HeaderKind, 2);
  EXPECT_EQ(bmp.GetRGB(0, 0), kGreen);
  EXPECT_EQ(params.DpiX(), 300);
}

TEST(BmpRead, HeaderKindByLength) {
  for (int size : {40, 64, 108, 124}) {
    TBmpFile f;
    f.HeaderSize = size;
    f.Pixels = {0, 0, 0, 0};
    TKvBitmap bmp;
    TKvIOParams params;
    ASSERT_FALSE(Read(f.Build(), bmp, params));
    EXPECT_EQ(params.Bmp.HeaderKind, size == 40 ? 1 : size == 64 ? 3 : 0) << size;
  }
}

TEST(BmpRead, Rle8RunsEscapesAndLiterals) {
  TBmpFile f;
  f.Width = 4;
  f.Height = 3;
  f.BitCount = 8;
  f.Compression = 1;
  f.ColorsUsed = 8;
  f.Palette = {kBlack,         KvRGB(1, 1, 1), KvRGB(2, 2, 2), KvRGB(3, 3, 3),
               KvRGB(4, 4, 4), KvRGB(5, 5, 5), KvRGB(6, 6, 6), KvRGB(7, 7, 7)};
  f.Pixels = {3, 5, 0, 0,        // file row 0: 5 5 5 then end of line
              0, 3, 1, 2, 3, 0,  // file row 1: literal 1 2 3 (padded)
              0, 2, 1, 1,        // delta: one right, one row on
              2, 7, 0, 1};       // file row 2 from x = 4: beyond the edge; end of bitmap
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read(f.Build(), bmp, params));
  EXPECT_EQ(params.Bmp.Rle, 1);
  // Bottom-up: file row 0 is image row 2.
  for (int x = 0; x < 3; ++x) EXPECT_EQ(bmp.GetRGB(x, 2), KvRGB(5, 5, 5));
  EXPECT_EQ(bmp.GetRGB(3, 2), kBlack);  // not reached: palette entry 0
  EXPECT_EQ(bmp.GetRGB(0, 1), KvRGB(1, 1, 1));
  EXPECT_EQ(bmp.GetRGB(2, 1), KvRGB(3, 3, 3));
  for (int x = 0; x < 4; ++x) EXPECT_EQ(bmp.GetRGB(x, 0), kBlack);
}

TEST(BmpRead, Rle4AlternatesNibbles) {
  TBmpFile f;
  f.Width = 5;
  f.Height = 1;
  f.BitCount = 4;
  f.Compression = 2;
  f.ColorsUsed = 16;
  for (int i = 0; i < 16; ++i) f.Palette.push_back(KvRGB(uint8_t(i), 0, 0));
  f.Pixels = {3, 0x12, 0, 3, 0x45, 0x60, 0, 1};  // 1 2 1, literal 4 5 6 (overflows: 6 cut)
  TKvBitmap bmp;
  TKvIOParams params;
  params.IsNativePixelFormat = true;
  ASSERT_FALSE(Read(f.Build(), bmp, params));
  const std::vector<int> expected = {1, 2, 1, 4, 5};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(bmp.GetByte(x, 0), expected[size_t(x)]) << x;
}

// Files that cannot be decoded as they claim set Aborting; those whose sizes the file cannot
// hold are refused before anything is allocated.
TEST(BmpRead, DamagedFilesSetAborting) {
  auto base = [] {
    TBmpFile f;
    f.Width = 4;
    f.Height = 2;
    f.BitCount = 8;
    f.ColorsUsed = 2;
    f.Palette = {kBlack, kWhite};
    f.Pixels.assign(8, 1);
    return f;
  };
  struct TCase {
    const char* Name;
    std::vector<uint8_t> File;
  };
  std::vector<TCase> cases;
  {
    std::vector<uint8_t> b = base().Build();
    b[0] = 'X';
    cases.push_back({"not BM", b});
  }
  {
    TBmpFile f = base();
    f.BitCount = 30000;
    cases.push_back({"bit count", f.Build()});
  }
  {
    TBmpFile f = base();
    f.BitCount = 2;
    cases.push_back({"two bits", f.Build()});
  }
  {
    TBmpFile f = base();
    f.Compression = 2;  // RLE4 with 8 bits
    cases.push_back({"compression does not fit", f.Build()});
  }
  {
    TBmpFile f = base();
    f.Compression = 4;
    cases.push_back({"embedded JPEG", f.Build()});
  }
  {
    TBmpFile f = base();
    f.Width = -4;
    cases.push_back({"negative width", f.Build()});
  }
  {
    TBmpFile f = base();
    f.Width = 0;
    cases.push_back({"zero width", f.Build()});
  }
  {
    TBmpFile f = base();
    f.Width = 3000000;
    f.Height = 2000000;
    cases.push_back({"huge size, tiny file", f.Build()});
  }
  {
    TBmpFile f = base();
    f.Pixels.resize(5);
    cases.push_back({"rows cut short", f.Build()});
  }
  {
    TBmpFile f = base();
    f.ColorsUsed = 200;
    f.Palette.clear();
    f.Pixels.clear();
    cases.push_back({"palette beyond the file", f.Build()});
  }
  {
    TBmpFile f = base();
    f.Compression = 1;
    f.Pixels = {4, 1, 0, 0, 2, 1};  // second row ends early, no end of bitmap
    cases.push_back({"run-length data cut short", f.Build()});
  }
  {
    TBmpFile f = base();
    f.Compression = 1;
    f.Width = 2000;
    f.Height = 2000;
    f.Pixels = {0, 1};
    cases.push_back({"run-length size not believable", f.Build()});
  }
  {
    std::vector<uint8_t> b = base().Build();
    b.resize(20);
    cases.push_back({"header cut short", b});
  }
  {
    std::vector<uint8_t> b = base().Build();
    b[10] = 0xF0;
    b[13] = 0x7F;  // data offset far beyond the end
    cases.push_back({"data offset beyond the end", b});
  }
  {
    std::vector<uint8_t> b = base().Build();
    b[14] = 8;  // header size 8
    cases.push_back({"header too short", b});
  }
  {
    TBmpFile f = base();
    f.BitCount = 32;
    f.Width = 0x7FFFFFFF;
    f.Height = 0x7FFFFFFF;
    cases.push_back({"largest sizes", f.Build()});
  }
  for (const TCase& c : cases) {
    TKvBitmap bmp;
    TKvIOParams params;
    EXPECT_TRUE(Read(c.File, bmp, params)) << c.Name;
  }
  // Size checks happen before allocation.
  TBmpFile big = base();
  big.Width = 3000000;
  big.Height = 2000000;
  TKvBitmap bmp;
  TKvIOParams params;
  EXPECT_TRUE(Read(big.Build(), bmp, params));
  EXPECT_TRUE(bmp.IsEmpty());
}

// Damaged variants of valid files of every layout: the reader may refuse them but must stay
// within the bytes it has (the sanitizer build checks).
TEST(BmpRead, MutatedFilesAreHandledSafely) {
  std::vector<std::vector<uint8_t>> seeds;
  const std::vector<TKvRGB> pal = {kBlack, kRed, kGreen, kBlue};
  for (int bits : {1, 4, 8, 16, 24, 32}) {
    TBmpFile f;
    f.Width = 5;
    f.Height = 3;
    f.BitCount = uint16_t(bits);
    if (bits <= 8) {
      f.ColorsUsed = bits == 1 ? 2 : 4;
      f.Palette.assign(pal.begin(), pal.begin() + f.ColorsUsed);
    }
    if (bits == 16 || bits == 32) {
      f.Compression = 3;
      f.Masks = bits == 16 ? std::vector<uint32_t>{0xF800, 0x07E0, 0x001F}
                           : std::vector<uint32_t>{0xFF, 0xFF00, 0xFF0000};
    }
    f.Pixels.resize(size_t(((5 * bits + 31) / 32) * 4 * 3));
    for (size_t i = 0; i < f.Pixels.size(); ++i) f.Pixels[i] = kvtest::PatternByte(int(i), bits);
    seeds.push_back(f.Build());
  }
  {
    TBmpFile f;
    f.Width = 6;
    f.Height = 3;
    f.BitCount = 8;
    f.Compression = 1;
    f.ColorsUsed = 4;
    f.Palette = pal;
    f.Pixels = {3, 1, 0, 3, 1, 2, 3, 0, 0, 0, 2, 1, 1, 2, 2, 0, 0, 1};
    seeds.push_back(f.Build());
    f.BitCount = 4;
    f.Compression = 2;
    seeds.push_back(f.Build());
    f.HeaderSize = 12;
    f.BitCount = 8;
    f.Compression = 0;
    f.Palette.assign(256, kRed);
    f.Pixels.assign(24, 1);
    seeds.push_back(f.Build());
  }
  int salt = 0;
  for (const std::vector<uint8_t>& seed : seeds) {
    for (int m = 0; m < 300; ++m, ++salt) {
      std::vector<uint8_t> f = seed;
      const size_t at = kvtest::PatternByte(m, salt) % f.size();
      switch (m % 3) {
        case 0:
          f[at] = kvtest::PatternByte(int(at), m);
          break;
        case 1:
          f.resize(at);
          break;
        default:
          f[at] = uint8_t((m / 3) % 2 ? 0 : 0xFF);
          break;
      }
      for (bool keep : {false, true}) {
        TKvBitmap bmp;
        TKvIOParams params;
        params.Bmp.KeepAlpha = keep;
        params.IsNativePixelFormat = keep;
        Read(f, bmp, params);
      }
    }
  }
}

TEST(BmpRead, BogusFileSizeDoesNotLimitTheData) {
  TBmpFile f;
  f.Width = 2;
  f.Height = 2;
  f.Pixels = Rgb24Rows2x2();
  f.FileSizeOverride = 0x7FFFFFFF;
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read(f.Build(), bmp, params));
  EXPECT_EQ(bmp.GetRGB(1, 1), kGreen);
}

// Two slips that leave every pixel in the file: the last row's padding missing at the end of
// the file, and a data offset that points back into the palette.
TEST(BmpRead, LenientWhereNoPixelIsMissing) {
  TBmpFile f;
  f.Width = 3;
  f.Height = 2;
  f.BitCount = 8;
  f.ColorsUsed = 4;
  f.Palette = {kBlack, kRed, kGreen, kBlue};
  f.Pixels = {1, 2, 3, 0, 3, 2, 1};  // the last pad byte is missing
  std::vector<uint8_t> file = f.Build();
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read(file, bmp, params));
  EXPECT_EQ(bmp.GetRGB(0, 0), kBlue);
  EXPECT_EQ(bmp.GetRGB(2, 1), kBlue);

  file[10] = 54;  // data offset inside the palette
  TKvBitmap back;
  TKvIOParams backParams;
  ASSERT_FALSE(Read(file, back, backParams));
  EXPECT_TRUE(kvtest::SamePixels(bmp, back));
}

TEST(BmpRead, HeaderlessDeviceIndependentBitmap) {
  TBmpFile f;
  f.Width = 2;
  f.Height = 2;
  f.Pixels = Rgb24Rows2x2();
  std::vector<uint8_t> dib = f.Build();
  dib.erase(dib.begin(), dib.begin() + 14);
  TKvMemoryStream s(dib.data(), dib.size());
  TKvBitmap bmp;
  TKvIOParams params;
  bool aborting = false;
  TKvProgressRec progress;
  progress.Aborting = &aborting;
  ReadBmp(s, bmp, 0, true, nullptr, true, false, progress, params);
  ASSERT_FALSE(aborting);
  EXPECT_EQ(bmp.GetRGB(0, 1), kRed);
}

TEST(BmpRead, PreviewReadsOnlyTheHeaders) {
  TBmpFile f;
  f.Width = 2;
  f.Height = 2;
  f.Pixels = Rgb24Rows2x2();
  const std::vector<uint8_t> file = f.Build();
  TKvBitmap bmp;
  TKvIOParams params;
  EXPECT_FALSE(kvtest::ReadBytes(ReadBmpFile, file, bmp, params, true));
  EXPECT_TRUE(bmp.IsEmpty());
  EXPECT_EQ(params.Width, 2);
  EXPECT_EQ(params.StoredHeight, 2);
}

TEST(BmpProbe, LooksForTheTypeAndRestoresPosition) {
  const std::vector<uint8_t> yes = {'x', 'B', 'M', 0}, no = {'x', 'M', 'B', 0};
  TKvMemoryStream a(yes.data(), yes.size()), b(no.data(), no.size());
  a.Seek(1);
  b.Seek(1);
  EXPECT_TRUE(ProbeBmp(a));
  EXPECT_FALSE(ProbeBmp(b));
  EXPECT_EQ(a.Position(), 1);
  EXPECT_EQ(b.Position(), 1);
}

// --- Writing -------------------------------------------------------------------------------

TEST(BmpWrite, HeadersAreRewrittenWithTheFinalSizes) {
  TKvBitmap bmp(3, 2, kv24RGB);
  bmp.FillWith(0);
  TKvIOParams params;
  const std::vector<uint8_t> out = Write(bmp, params);
  ASSERT_EQ(out.size(), 14u + 40u + 2 * 12u);
  EXPECT_EQ(out[0], 'B');
  EXPECT_EQ(out[1], 'M');
  EXPECT_EQ(Le32At(out, 2), out.size());
  EXPECT_EQ(Le32At(out, 10), 54u);
  EXPECT_EQ(Le32At(out, 14), 40u);
  EXPECT_EQ(Le32At(out, 18), 3u);
  EXPECT_EQ(Le32At(out, 22), 2u);
  EXPECT_EQ(Le16At(out, 26), 1);
  EXPECT_EQ(Le16At(out, 28), 24);
  EXPECT_EQ(Le32At(out, 30), 0u);
  EXPECT_EQ(Le32At(out, 34), 24u);
  EXPECT_EQ(Le32At(out, 38), 11811u);  // 300 dpi
  EXPECT_EQ(Le32At(out, 46), 0u);
  EXPECT_EQ(Le32At(out, 50), 16777216u);  // 1 shl (24 mod 32)
}

TEST(BmpWrite, ColoursUsedAndImportantByBitCount) {
  struct TCase {
    int Bps, Spp;
    uint32_t Used, Important;
    uint16_t Bits;
  };
  const std::vector<TCase> cases = {
      {1, 1, 2, 2, 1}, {4, 1, 16, 16, 4}, {8, 1, 256, 256, 8}, {8, 3, 0, 16777216, 24}};
  for (const TCase& c : cases) {
    TKvBitmap bmp(2, 2, kv24RGB);
    bmp.FillWith(0);
    TKvIOParams params;
    params.BitsPerSample = c.Bps;
    params.SamplesPerPixel = c.Spp;
    const std::vector<uint8_t> out = Write(bmp, params);
    EXPECT_EQ(Le16At(out, 28), c.Bits);
    EXPECT_EQ(Le32At(out, 46), c.Used) << c.Bits;
    EXPECT_EQ(Le32At(out, 50), c.Important) << c.Bits;
  }
}

TEST(BmpWrite, OneBitImageKeepsItsBitsWithBlackWhitePalette) {
  TKvBitmap bmp(10, 1, kv1g);
  bmp.FillWith(0);
  bmp.SetBit(1, 0, true);
  TKvIOParams params;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  const std::vector<uint8_t> out = Write(bmp, params);
  EXPECT_EQ(Le16At(out, 28), 1);
  const std::vector<uint8_t> palette(out.begin() + 54, out.begin() + 62);
  EXPECT_EQ(palette, (std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 0}));
  EXPECT_EQ(out[62], 0x40);
  EXPECT_EQ(params.ColorMapCount, 2);
}

TEST(BmpWrite, TwoColourImageToOneBitPutsTheDarkerColourFirst) {
  const TKvRGB darkBlue = KvRGB(0, 0, 128);
  TKvBitmap bmp(4, 2, kv24RGB);
  bmp.FillWith(clWhite);
  bmp.SetRGB(2, 1, darkBlue);
  TKvIOParams params;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  const std::vector<uint8_t> file = Write(bmp, params);
  TKvBitmap back;
  TKvIOParams readParams;
  ASSERT_FALSE(Read(file, back, readParams));
  ASSERT_EQ(readParams.ColorMapCount, 2);
  EXPECT_EQ(readParams.ColorMap[0], darkBlue);
  EXPECT_EQ(readParams.ColorMap[1], kWhite);
  EXPECT_FALSE(back.GetBit(2, 1));
  EXPECT_TRUE(back.GetBit(0, 0));
  EXPECT_TRUE(back.GetBit(3, 1));
}

TEST(BmpWrite, ManyColoursToOneBitGoThroughBlackAndWhite) {
  TKvBitmap bmp(3, 1, kv24RGB);
  bmp.SetRGB(0, 0, kWhite);
  bmp.SetRGB(1, 0, kBlack);
  bmp.SetRGB(2, 0, KvRGB(250, 250, 250));
  TKvIOParams params;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  const std::vector<uint8_t> file = Write(bmp, params);
  TKvBitmap back;
  TKvIOParams readParams;
  ASSERT_FALSE(Read(file, back, readParams));
  EXPECT_EQ(readParams.ColorMap[0], kBlack);
  EXPECT_EQ(readParams.ColorMap[1], kWhite);
  TKvBitmap expected;
  expected.CopyFrom(bmp);
  expected.ChangePixelFormat(kv1g);
  EXPECT_TRUE(kvtest::SamePixels(back, expected));
}

TEST(BmpWrite, HeaderKindsAndCompressionCodes) {
  struct TCase {
    uint8_t Kind, Rle;
    int Bps;
    uint32_t HeaderSize, Compression;
  };
  const std::vector<TCase> cases = {
      {1, 0, 8, 40, 0}, {0, 0, 8, 40, 0}, {3, 0, 8, 64, 0}, {2, 0, 8, 12, 0}, {1, 1, 8, 40, 1},
      {1, 1, 4, 40, 2}, {3, 1, 4, 64, 2}, {2, 1, 8, 12, 0}, {1, 1, 1, 40, 0},
  };
  for (const TCase& c : cases) {
    TKvBitmap bmp(5, 3, kv24RGB);
    bmp.FillWith(0x123456);
    TKvIOParams params;
    params.Bmp.HeaderKind = c.Kind;
    params.Bmp.Rle = c.Rle;
    params.BitsPerSample = c.Bps;
    params.SamplesPerPixel = 1;
    const std::vector<uint8_t> file = Write(bmp, params);
    EXPECT_EQ(Le32At(file, 14), c.HeaderSize);
    if (c.HeaderSize != 12) {
      EXPECT_EQ(Le32At(file, 30), c.Compression);
    }
    EXPECT_EQ(Le32At(file, 2), file.size());
    TKvBitmap back;
    TKvIOParams readParams;
    ASSERT_FALSE(Read(file, back, readParams)) << int(c.Kind) << "/" << int(c.Rle);
    if (c.Bps > 1) {
      EXPECT_EQ(back.GetRGB(4, 2), bmp.GetRGB(4, 2));
    }
  }
}

TEST(BmpWrite, ThirtyTwoBitsCarryTheAlphaPlaneWhenAsked) {
  TKvBitmap bmp(2, 1, kv24RGB);
  bmp.SetRGB(0, 0, kRed);
  bmp.SetRGB(1, 0, kBlue);
  bmp.AlphaPlane()->SetByte(1, 0, 77);
  for (bool store : {false, true}) {
    TKvIOParams params;
    params.Bmp.KeepAlpha = store;
    const std::vector<uint8_t> file = Write(bmp, params);
    EXPECT_EQ(Le16At(file, 28), 32);
    const size_t data = Le32At(file, 10);
    EXPECT_EQ(file[data + 3], 255);
    EXPECT_EQ(file[data + 7], store ? 77 : 255);
  }
}

TEST(BmpWrite, ShortWriteSetsAborting) {
  TKvBitmap bmp(64, 64, kv24RGB);
  bmp.FillWith(0);
  TKvIOParams params;
  bool aborting = false;
  kvtest::WriteBytes(WriteBmpFile, bmp, params, &aborting, 200);
  EXPECT_TRUE(aborting);
}

// --- Round trips ---------------------------------------------------------------------------

namespace {

void FillIndexed(TKvBitmap& bmp, int colours) {
  for (int i = 0; i < 256; ++i)
    bmp.SetPaletteEntry(i, KvRGB(uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)));
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width(); ++x)
      bmp.SetByte(x, y, uint8_t(kvtest::PatternByte(x, y) % colours));
}

}  // namespace

TEST(BmpRoundTrip, EveryBitCountAndOptionReadsBackExactly) {
  struct TCase {
    const char* Name;
    TKvPixFormat Format;
    int Bps, Spp;
    uint8_t Kind, Rle;
    int Colours;  // distinct colours in the picture (palette images)
    bool Alpha;
  };
  const std::vector<TCase> cases = {
      {"1 bit", kv1g, 1, 1, 1, 0, 2, false},
      {"1 bit core", kv1g, 1, 1, 2, 0, 2, false},
      {"4 bit", kv8p, 4, 1, 1, 0, 16, false},
      {"4 bit rle", kv8p, 4, 1, 1, 1, 16, false},
      {"4 bit rle 64", kv8p, 4, 1, 3, 1, 5, false},
      {"8 bit", kv8p, 8, 1, 1, 0, 256, false},
      {"8 bit rle", kv8p, 8, 1, 1, 1, 256, false},
      {"8 bit rle few", kv8p, 8, 1, 1, 1, 3, false},
      {"8 bit core", kv8p, 8, 1, 2, 0, 256, false},
      {"24 bit", kv24RGB, 8, 3, 1, 0, 0, false},
      {"24 bit 64", kv24RGB, 8, 3, 3, 0, 0, false},
      {"24 bit core", kv24RGB, 8, 3, 2, 0, 0, false},
      {"32 bit alpha", kv24RGB, 8, 4, 1, 0, 0, true},
  };
  for (const TCase& c : cases) {
    for (int width : {1, 2, 7, 33}) {
      TKvBitmap src(width, 4, c.Format);
      if (c.Format == kv8p) {
        FillIndexed(src, c.Colours);
      } else {
        for (int y = 0; y < 4; ++y)
          for (int x = 0; x < width; ++x) {
            if (c.Format == kv1g)
              src.SetBit(x, y, kvtest::PatternByte(x, y) & 1);
            else
              src.SetRGB(x, y,
                         KvRGB(kvtest::PatternByte(x, y), kvtest::PatternByte(x, y, 1),
                               kvtest::PatternByte(x, y, 2)));
          }
      }
      if (c.Alpha)
        for (int x = 0; x < width; ++x) src.AlphaPlane()->SetByte(x, 1, uint8_t(x * 5));
      TKvIOParams params;
      params.BitsPerSample = c.Bps;
      params.SamplesPerPixel = c.Spp;
      params.Bmp.HeaderKind = c.Kind;
      params.Bmp.Rle = c.Rle;
      params.Bmp.KeepAlpha = c.Alpha;
      bool aborting = true;
      const std::vector<uint8_t> file = Write(src, params, &aborting);
      ASSERT_FALSE(aborting) << c.Name;
      TKvBitmap back;
      TKvIOParams readParams;
      readParams.IsNativePixelFormat = true;
      readParams.Bmp.KeepAlpha = c.Alpha;
      ASSERT_FALSE(Read(file, back, readParams)) << c.Name << " width " << width;
      EXPECT_EQ(readParams.Bmp.HeaderKind, c.Kind) << c.Name;
      EXPECT_EQ(readParams.Bmp.Rle, c.Rle) << c.Name;
      ASSERT_TRUE(kvtest::SamePixels(src, back)) << c.Name << " width " << width;
      if (c.Format == kv8p) {
        for (int i = 0; i < c.Colours; ++i)
          EXPECT_EQ(back.GetPaletteEntry(i), src.GetPaletteEntry(i)) << c.Name << " " << i;
      }
      if (c.Alpha && width > 1) {
        ASSERT_TRUE(back.HasAlphaPlane()) << c.Name;
        for (int x = 0; x < width; ++x)
          EXPECT_EQ(back.ExistingAlphaPlane()->GetByte(x, 1), uint8_t(x * 5)) << x;
      }
    }
  }
}

// Colour images with few colours keep them exactly at 4 and 8 bits (the quantizer's exact list).
TEST(BmpRoundTrip, FewColoursThroughThePalette) {
  const std::vector<TKvRGB> colours = {kRed, kGreen, kBlue, kWhite, KvRGB(10, 20, 30)};
  for (int bps : {4, 8}) {
    for (uint8_t rle : {0, 1}) {
      TKvBitmap src(9, 3, kv24RGB);
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 9; ++x) src.SetRGB(x, y, colours[size_t((x / 2 + y) % 5)]);
      TKvIOParams params;
      params.BitsPerSample = bps;
      params.SamplesPerPixel = 1;
      params.Bmp.Rle = rle;
      const std::vector<uint8_t> file = Write(src, params);
      TKvBitmap back;
      TKvIOParams readParams;
      ASSERT_FALSE(Read(file, back, readParams));
      EXPECT_TRUE(kvtest::SamePixels(src, back)) << bps << " rle " << int(rle);
      EXPECT_EQ(readParams.ColorMapCount, 1 << bps);
    }
  }
}

// Run-length rows with long runs, long and odd literals and the single/double literal forms.
TEST(BmpRoundTrip, RunLengthEncodingOfAwkwardRows) {
  const int width = 700;
  for (int bits : {4, 8}) {
    TKvBitmap src(width, 3, kv8p);
    FillIndexed(src, 1);
    const int mod = bits == 4 ? 16 : 256;
    for (int x = 0; x < width; ++x) {
      src.SetByte(x, 0, x < 300 ? 3 : uint8_t(x % mod));                         // run > 255
      src.SetByte(x, 1, uint8_t((x * 7 + x / 3) % mod));                         // long literal
      src.SetByte(x, 2, uint8_t((x % 5 == 0) ? 1 : (x % 5 < 3 ? 2 : x % mod)));  // mixed
    }
    TKvIOParams params;
    params.BitsPerSample = bits;
    params.SamplesPerPixel = 1;
    params.Bmp.Rle = 1;
    const std::vector<uint8_t> file = Write(src, params);
    TKvBitmap back;
    TKvIOParams readParams;
    readParams.IsNativePixelFormat = true;
    ASSERT_FALSE(Read(file, back, readParams)) << bits;
    EXPECT_TRUE(kvtest::SamePixels(src, back)) << bits;
    // The stream ends with the end-of-line of the last row and the end of bitmap.
    const std::vector<uint8_t> tail(file.end() - 4, file.end());
    EXPECT_EQ(tail, (std::vector<uint8_t>{0, 0, 0, 1})) << bits;
  }
}

TEST(BmpRoundTrip, ThroughTheComponentKeepsTheRunLengthSettings) {
  TBmpFile f;
  f.Width = 4;
  f.Height = 1;
  f.BitCount = 8;
  f.Compression = 1;
  f.ColorsUsed = 2;
  f.Palette = {kBlack, kWhite};
  f.Pixels = {4, 1, 0, 0, 0, 1};
  const std::vector<uint8_t> bytes = f.Build();
  const std::string dir = ::testing::TempDir();
  const std::string in = dir + "kvbmp_rle_in.bmp", out = dir + "kvbmp_rle_out.RLE";
  {
    std::unique_ptr<TKvFileStream> s = TKvFileStream::Create(in);
    ASSERT_TRUE(s->WriteExact(bytes.data(), bytes.size()));
  }
  TKvIO io;
  io.LoadFromFile(in);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.Bmp.Rle, 1);
  io.SaveToFile(out);
  ASSERT_FALSE(io.Aborting);
  std::unique_ptr<TKvFileStream> s = TKvFileStream::OpenRead(out);
  std::vector<uint8_t> written(size_t(s->Size()));
  ASSERT_TRUE(s->ReadExact(written.data(), written.size()));
  EXPECT_EQ(Le16At(written, 28), 8);
  EXPECT_EQ(Le32At(written, 30), 1u);
  std::remove(in.c_str());
  std::remove(out.c_str());
}

// --- Corpus --------------------------------------------------------------------------------

namespace {

bool LoadCorpus(const std::string& path, TKvBitmap& bmp, TKvIOParams& params) {
  std::unique_ptr<TKvFileStream> s = TKvFileStream::OpenRead(path);
  bool aborting = false;
  TKvProgressRec progress;
  progress.Aborting = &aborting;
  ReadBmpFile(*s, bmp, params, false, progress);
  return !aborting;
}

// A 1-bit image holds indexes, not colours: the reference pixel must be the palette colour of
// the bit (entry 1 for a set bit, or entry 0 where the white-black palette was inverted).
int64_t CountOneBitDifferences(TKvBitmap& bmp, const TKvIOParams& params,
                               const kvtest::TRefImage& ref) {
  if (bmp.Width() != ref.Width || bmp.Height() != ref.Height || params.ColorMapCount < 2) return -1;
  const bool inverted =
      params.ColorMapCount == 2 && params.ColorMap[0] == kWhite && params.ColorMap[1] == kBlack;
  int64_t n = 0;
  for (int y = 0; y < ref.Height; ++y) {
    for (int x = 0; x < ref.Width; ++x) {
      const int index = bmp.GetBit(x, y) != inverted ? 1 : 0;
      const TKvRGB c = params.ColorMap[size_t(index)];
      const uint8_t* q = ref.Pixel(x, y);
      if (q[0] != c.Red || q[1] != c.Green || q[2] != c.Blue) ++n;
    }
  }
  return n;
}

// Pixels whose channels lie more than 1 above or more than `below` below the reference (fully
// transparent reference pixels are not compared).
int64_t CountWidenedDifferences(const kvtest::TRefImage& ours, const kvtest::TRefImage& ref,
                                int below) {
  if (ours.Width != ref.Width || ours.Height != ref.Height) return -1;
  int64_t n = 0;
  for (int y = 0; y < ref.Height; ++y) {
    for (int x = 0; x < ref.Width; ++x) {
      const uint8_t* p = ours.Pixel(x, y);
      const uint8_t* q = ref.Pixel(x, y);
      if (q[3] == 0) continue;
      for (int c = 0; c < 3; ++c) {
        const int d = int(q[c]) - int(p[c]);
        if (d < -1 || d > below) {
          ++n;
          break;
        }
      }
    }
  }
  return n;
}

}  // namespace

TEST(BmpCorpus, FilesBehaveAsTheManifestSays) {
  if (!kvtest::CorpusAvailable()) GTEST_SKIP() << "corpus not present";
  int compared = 0;
  for (const kvtest::TCorpusEntry& e : kvtest::CorpusEntries("bmp/")) {
    if (e.Expected == "n/a") continue;
    TKvBitmap bmp;
    TKvIOParams params;
    const bool loaded = LoadCorpus(kvtest::CorpusPath(e.Path), bmp, params);
    if (e.Expected == "must fail cleanly") {
      EXPECT_FALSE(loaded) << e.Path;
      continue;
    }
    if (e.Expected != "loads") continue;  // "unknown": only no crash
    ASSERT_TRUE(loaded) << e.Path;
    if (e.ReferencePath.empty()) continue;
    std::optional<kvtest::TRefImage> ref =
        kvtest::LoadReference(kvtest::CorpusPath(e.ReferencePath));
    if (!ref && e.ReferencePath.ends_with(".bmp")) {
      // A bitmap reference (the same picture stored plainly) is read with our own reader.
      TKvBitmap refBmp;
      TKvIOParams refParams;
      ASSERT_TRUE(LoadCorpus(kvtest::CorpusPath(e.ReferencePath), refBmp, refParams));
      ref = kvtest::ToRgba(refBmp);
    }
    ASSERT_TRUE(ref.has_value()) << e.ReferencePath;
    ++compared;
    if (bmp.PixelFormat() == kv1g) {
      EXPECT_EQ(CountOneBitDifferences(bmp, params, *ref), 0) << e.Path;
      continue;
    }
    // The references differ from the files' own palettes by up to 1 here and there. 16-bit
    // channels are widened by a shift here (5-bit 31 gives 248), where the references repeat
    // the high bits (255): ours may then lie below the reference by less than one step of the
    // channel (at most 15, for 4-bit channels).
    const int below = params.BitsPerSample == 5 ? 15 : 1;
    EXPECT_EQ(CountWidenedDifferences(kvtest::ToRgba(bmp), *ref, below), 0) << e.Path;
  }
  EXPECT_GT(compared, 0);
}
