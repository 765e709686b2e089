// Pixel-format conversion: the conversion matrix, black and white, colour formulas, row converter.
#include "image/kvconvert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "image/kvbitmap.h"
#include "image/vclbitmap.h"

namespace {

using Bytes = std::vector<uint8_t>;

int BytesPerPixel(TKvPixFormat f) {
  return KvBitsOf(f) / 8;
}

std::unique_ptr<TKvBitmap> MakeImage(int w, int h, TKvPixFormat f) {
  auto bmp = std::make_unique<TKvBitmap>();
  EXPECT_TRUE(bmp->AllocateImage(w, h, f));
  return bmp;
}

void PutPixel(TKvBitmap& bmp, int x, int y, const Bytes& b) {
  if (bmp.PixelFormat() == kv1g) {
    bmp.SetBit(x, y, b[0] != 0);
    return;
  }
  std::memcpy(bmp.RowPtr(y) + size_t(x) * BytesPerPixel(bmp.PixelFormat()), b.data(), b.size());
}

Bytes GetPixel(const TKvBitmap& bmp, int x, int y) {
  const int bpp = BytesPerPixel(bmp.PixelFormat());
  const uint8_t* p = bmp.RowPtr(y) + size_t(x) * bpp;
  return Bytes(p, p + bpp);
}

Bytes FloatBytes(float f) {
  Bytes b(4);
  std::memcpy(b.data(), &f, 4);
  return b;
}

float BytesFloat(const Bytes& b) {
  float f;
  std::memcpy(&f, b.data(), 4);
  return f;
}

void FillImage(TKvBitmap& bmp, const Bytes& pixel) {
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width(); ++x) PutPixel(bmp, x, y, pixel);
}

int CountWhite(const TKvBitmap& bmp) {
  int n = 0;
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width(); ++x) n += bmp.GetBit(x, y);
  return n;
}

// Restores the process-wide gray weights when a test changes them.
struct TGrayWeightsGuard {
  TKvGrayWeights saved = gKvGrayWeights;
  ~TGrayWeightsGuard() { gKvGrayWeights = saved; }
};

// ---------------------------------------------------------------------------------------------
// The conversion matrix, one pixel per case.

struct TMatrixCase {
  const char* name;
  TKvPixFormat from;
  Bytes source;  // kv1g: {0} black, {1} white; kv8p: the index (entry 3 is kPaletteColor)
  TKvPixFormat to;
  Bytes expected;         // kv32f destinations: the float's bytes (compared with a tolerance)
  TKvRGB paletteColor{};  // kv8p destinations: the colour of the expected index
};

// Test names carry the case; printing the name keeps ctest's listing short and stable.
void PrintTo(const TMatrixCase& c, std::ostream* os) {
  *os << c.name;
}

const TKvRGB kPaletteColor = KvRGB(10, 200, 30);

Bytes W16(uint16_t r, uint16_t g, uint16_t b) {
  return {uint8_t(r), uint8_t(r >> 8), uint8_t(g), uint8_t(g >> 8), uint8_t(b), uint8_t(b >> 8)};
}

const Bytes kRgb200_100_50 = {50, 100, 200};
const Bytes kCmyk = {255, 127, 63, 200};
const Bytes kRgb48 = W16(51500, 25700, 12850);
const Bytes kLab = {128, 20, uint8_t(-30)};

const TMatrixCase kMatrixCases[] = {
    // From kv1g.
    {"1g white to 8p", kv1g, {1}, kv8p, {1}, KvRGB(255, 255, 255)},
    {"1g black to 8p", kv1g, {0}, kv8p, {0}, KvRGB(0, 0, 0)},
    {"1g white to 8g", kv1g, {1}, kv8g, {255}},
    {"1g black to 8g", kv1g, {0}, kv8g, {0}},
    {"1g white to 16g", kv1g, {1}, kv16g, {255, 255}},
    {"1g white to 24RGB", kv1g, {1}, kv24RGB, {255, 255, 255}},
    {"1g black to 24RGB", kv1g, {0}, kv24RGB, {0, 0, 0}},
    {"1g white to 32f", kv1g, {1}, kv32f, FloatBytes(1.0f)},
    {"1g black to 32f", kv1g, {0}, kv32f, FloatBytes(0.0f)},
    {"1g white to RGB48", kv1g, {1}, kvRGB48, W16(65535, 65535, 65535)},
    {"1g black to 32RGB", kv1g, {0}, kv32RGB, {0, 0, 0, 255}},
    {"1g white to CMYK", kv1g, {1}, kvCMYK, {255, 255, 255, 255}},
    {"1g black to CMYK", kv1g, {0}, kvCMYK, {0, 0, 0, 0}},
    {"1g white to Lab", kv1g, {1}, kvCIELab, {255, 0, 0}},
    {"1g black to Lab", kv1g, {0}, kvCIELab, {0, 0, 0}},
    // From kv8p (index 3 = red 10, green 200, blue 30).
    {"8p to 8p", kv8p, {3}, kv8p, {3}, kPaletteColor},
    {"8p to 8g", kv8p, {3}, kv8g, {146}},
    {"8p to 16g", kv8p, {3}, kv16g, {0x8B, 0x93}},  // 37771
    {"8p to 24RGB", kv8p, {3}, kv24RGB, {30, 200, 10}},
    {"8p to 32f", kv8p, {3}, kv32f, FloatBytes(147.332f / 255)},
    {"8p to RGB48", kv8p, {3}, kvRGB48, W16(2570, 51400, 7710)},
    {"8p to 32RGB", kv8p, {3}, kv32RGB, {30, 200, 10, 255}},
    {"8p to CMYK", kv8p, {3}, kvCMYK, {12, 255, 38, 200}},
    {"8p to Lab", kv8p, {3}, kvCIELab, {179, uint8_t(-70), 64}},
    // From kv8g.
    {"8g to 8p", kv8g, {100}, kv8p, {100}, KvRGB(100, 100, 100)},
    {"8g to 16g", kv8g, {100}, kv16g, {0x64, 0x64}},
    {"8g to 24RGB", kv8g, {100}, kv24RGB, {100, 100, 100}},
    {"8g to 32f", kv8g, {100}, kv32f, FloatBytes(100 / 255.0f)},
    {"8g to RGB48", kv8g, {100}, kvRGB48, W16(25700, 25700, 25700)},
    {"8g to 32RGB", kv8g, {100}, kv32RGB, {100, 100, 100, 255}},
    {"8g to CMYK", kv8g, {100}, kvCMYK, {255, 255, 255, 100}},
    {"8g to Lab", kv8g, {100}, kvCIELab, {108, 0, 0}},
    // From kv16g (0x1234).
    {"16g to 8p", kv16g, {0x34, 0x12}, kv8p, {0x12}, KvRGB(18, 18, 18)},
    {"16g to 8g", kv16g, {0x34, 0x12}, kv8g, {0x12}},
    {"16g to 24RGB", kv16g, {0x34, 0x12}, kv24RGB, {18, 18, 18}},
    {"16g to 32f", kv16g, {0x34, 0x12}, kv32f, FloatBytes(4660 / 65535.0f)},
    {"16g to RGB48", kv16g, {0x34, 0x12}, kvRGB48, W16(0x1234, 0x1234, 0x1234)},
    {"16g to 32RGB", kv16g, {0x34, 0x12}, kv32RGB, {18, 18, 18, 255}},
    {"16g to CMYK", kv16g, {0x34, 0x12}, kvCMYK, {255, 255, 255, 18}},
    {"16g to Lab", kv16g, {0x34, 0x12}, kvCIELab, {13, 0, 0}},
    // From kv24RGB (red 200, green 100, blue 50).
    {"24RGB to 8p", kv24RGB, kRgb200_100_50, kv8p, {0}, KvRGB(200, 100, 50)},
    {"24RGB to 8g", kv24RGB, kRgb200_100_50, kv8g, {117}},
    {"24RGB red to 8g", kv24RGB, {0, 0, 255}, kv8g, {53}},
    {"24RGB green to 8g", kv24RGB, {0, 255, 0}, kv8g, {181}},
    {"24RGB white to 8g", kv24RGB, {255, 255, 255}, kv8g, {255}},
    {"24RGB to 16g", kv24RGB, kRgb200_100_50, kv16g, {0xE8, 0x75}},  // 30184
    {"24RGB white to 16g", kv24RGB, {255, 255, 255}, kv16g, {255, 255}},
    {"24RGB to 32f", kv24RGB, kRgb200_100_50, kv32f, FloatBytes(117.65f / 255)},
    {"24RGB to RGB48", kv24RGB, kRgb200_100_50, kvRGB48, W16(51400, 25700, 12850)},
    {"24RGB to 32RGB", kv24RGB, kRgb200_100_50, kv32RGB, {50, 100, 200, 255}},
    {"24RGB to CMYK", kv24RGB, kRgb200_100_50, kvCMYK, {255, 127, 63, 200}},
    {"24RGB to Lab", kv24RGB, kRgb200_100_50, kvCIELab, {136, 36, 45}},
    // From kv32f.
    {"32f to 8p", kv32f, FloatBytes(0.5f), kv8p, {127}, KvRGB(127, 127, 127)},
    {"32f to 8g", kv32f, FloatBytes(0.5f), kv8g, {127}},
    {"32f to 16g", kv32f, FloatBytes(0.5f), kv16g, {0xFF, 0x7F}},
    {"32f to 24RGB", kv32f, FloatBytes(0.5f), kv24RGB, {127, 127, 127}},
    {"32f to RGB48", kv32f, FloatBytes(0.5f), kvRGB48, W16(32767, 32767, 32767)},
    {"32f to 32RGB", kv32f, FloatBytes(0.5f), kv32RGB, {127, 127, 127, 255}},
    {"32f to CMYK", kv32f, FloatBytes(0.5f), kvCMYK, {255, 255, 255, 127}},
    {"32f to Lab", kv32f, FloatBytes(0.5f), kvCIELab, {135, 0, 0}},
    // Values outside 0..1 saturate instead of wrapping.
    {"32f above 1 to 8g", kv32f, FloatBytes(1.5f), kv8g, {255}},
    {"32f above 1 to 16g", kv32f, FloatBytes(1.5f), kv16g, {255, 255}},
    {"32f below 0 to 24RGB", kv32f, FloatBytes(-0.25f), kv24RGB, {0, 0, 0}},
    // From kvCMYK.
    {"CMYK to 24RGB", kvCMYK, kCmyk, kv24RGB, {49, 99, 200}},
    {"CMYK to 32RGB", kvCMYK, kCmyk, kv32RGB, {49, 99, 200, 255}},
    {"CMYK to 8g", kvCMYK, kCmyk, kv8g, {116}},
    {"CMYK to 16g", kvCMYK, kCmyk, kv16g, {0x1E, 0x75}},  // 29982
    {"CMYK to 8p", kvCMYK, kCmyk, kv8p, {0}, KvRGB(200, 99, 49)},
    {"CMYK to 32f", kvCMYK, kCmyk, kv32f, FloatBytes(116.8626f / 255)},
    {"CMYK to RGB48", kvCMYK, kCmyk, kvRGB48, W16(51400, 25443, 12593)},
    {"CMYK to Lab", kvCMYK, kCmyk, kvCIELab, {136, 36, 45}},
    // From kvRGB48 (red 51500, green 25700, blue 12850).
    {"RGB48 to 24RGB", kvRGB48, kRgb48, kv24RGB, {50, 100, 201}},
    {"RGB48 to 8g", kvRGB48, kRgb48, kv8g, {117}},
    {"RGB48 to 16g", kvRGB48, kRgb48, kv16g, {0xFD, 0x75}},  // 30205
    {"RGB48 to 32f", kvRGB48, kRgb48, kv32f, FloatBytes(0.4635004596f)},
    {"RGB48 to 32RGB", kvRGB48, kRgb48, kv32RGB, {50, 100, 201, 255}},
    {"RGB48 to 8p", kvRGB48, kRgb48, kv8p, {0}, KvRGB(201, 100, 50)},
    {"RGB48 to CMYK", kvRGB48, kRgb48, kvCMYK, {255, 126, 63, 201}},
    {"RGB48 to Lab", kvRGB48, kRgb48, kvCIELab, {137, 36, 45}},
    // From kvCIELab (L 128, a 20, b -30).
    {"Lab to 24RGB", kvCIELab, kLab, kv24RGB, {171, 110, 127}},
    {"Lab to 32RGB", kvCIELab, kLab, kv32RGB, {171, 110, 127, 255}},
    {"Lab to 8g", kvCIELab, kLab, kv8g, {118}},
    {"Lab to 8p", kvCIELab, kLab, kv8p, {0}, KvRGB(127, 110, 171)},
    // From kv32RGB (the fourth byte is dropped).
    {"32RGB to 24RGB", kv32RGB, {50, 100, 200, 7}, kv24RGB, {50, 100, 200}},
    {"32RGB to 8g", kv32RGB, {50, 100, 200, 7}, kv8g, {117}},
    {"32RGB to 16g", kv32RGB, {50, 100, 200, 7}, kv16g, {0xE8, 0x75}},
    {"32RGB to CMYK", kv32RGB, {50, 100, 200, 7}, kvCMYK, {255, 127, 63, 200}},
    {"32RGB to 8p", kv32RGB, {50, 100, 200, 7}, kv8p, {0}, KvRGB(200, 100, 50)},
};

class ConversionMatrix : public ::testing::TestWithParam<TMatrixCase> {};

TEST_P(ConversionMatrix, ConvertsOnePixelByTheRule) {
  const TMatrixCase& c = GetParam();
  // Three pixels wide, so that row padding and pixel offsets are exercised; the pixel sits at
  // x = 1 between two copies of itself (kv8p: single-colour images quantize exactly).
  auto src = MakeImage(3, 2, c.from);
  if (c.from == kv8p) src->SetPaletteEntry(3, kPaletteColor);
  FillImage(*src, c.source);
  auto dst = MakeImage(3, 2, c.to);
  ConvertFrom(*dst, *src);
  const Bytes got = GetPixel(*dst, 1, 1);
  if (c.to == kv32f) {
    EXPECT_NEAR(BytesFloat(got), BytesFloat(c.expected), 1e-6) << c.name;
  } else {
    EXPECT_EQ(got, c.expected) << c.name;
  }
  if (c.to == kv8p) {
    EXPECT_EQ(dst->GetPaletteEntry(got[0]), c.paletteColor) << c.name;
    EXPECT_EQ(dst->PaletteLength(), 256) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(AllPairs, ConversionMatrix, ::testing::ValuesIn(kMatrixCases),
                         [](const ::testing::TestParamInfo<TMatrixCase>& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// Every source to every destination: the result of a conversion read back as colours matches
// the source's colours within the precision of the two formats.
TEST(ConversionMatrix, EveryPairRoundTripsGrayLevels) {
  const TKvPixFormat all[] = {kv1g,  kv8p,   kv8g,    kv16g,    kv24RGB,
                              kv32f, kvCMYK, kvRGB48, kvCIELab, kv32RGB};
  for (TKvPixFormat from : all) {
    for (TKvPixFormat to : all) {
      // Black and white survive every format (kv1g included).
      auto src = MakeImage(9, 1, kv24RGB);
      for (int x = 0; x < 9; ++x) {
        const uint8_t v = x % 2 ? 255 : 0;
        src->SetRGB(x, 0, KvRGB(v, v, v));
      }
      src->ChangePixelFormat(from);
      ASSERT_EQ(src->PixelFormat(), from);
      auto dst = MakeImage(9, 1, to);
      dst->DitherMode = 1;
      ConvertFrom(*dst, *src);
      for (int x = 0; x < 9; ++x) {
        const uint8_t v = x % 2 ? 255 : 0;
        EXPECT_EQ(dst->GetPixelRGB(x, 0), KvRGB(v, v, v))
            << KvPixFormatName(from) << " -> " << KvPixFormatName(to) << " x " << x;
      }
    }
  }
}

TEST(ConvertFrom, DoesNothingForDifferentSizesEmptySourceOrPlatformDestination) {
  auto src = MakeImage(4, 4, kv8g);
  FillImage(*src, {200});
  auto other = MakeImage(5, 4, kv24RGB);
  FillImage(*other, {1, 2, 3});
  ConvertFrom(*other, *src);
  EXPECT_EQ(GetPixel(*other, 0, 0), (Bytes{1, 2, 3}));

  TKvBitmap empty;
  auto dst = MakeImage(4, 4, kv24RGB);
  FillImage(*dst, {1, 2, 3});
  ConvertFrom(*dst, empty);
  EXPECT_EQ(GetPixel(*dst, 0, 0), (Bytes{1, 2, 3}));

  TKvBitmap vcl;
  vcl.SetLocation(kvTBitmap);
  ASSERT_TRUE(vcl.AllocateImage(4, 4, kv24RGB));
  FillImage(vcl, {1, 2, 3});
  ConvertFrom(vcl, *src);
  EXPECT_EQ(GetPixel(vcl, 0, 0), (Bytes{1, 2, 3}));
}

TEST(ConvertFrom, QuantizesWithTheDestinationsPaletteUsed) {
  auto src = MakeImage(16, 16, kv24RGB);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) src->SetRGB(x, y, KvRGB(uint8_t(x * 16), uint8_t(y * 16), 77));
  auto dst = MakeImage(16, 16, kv8p);
  dst->PaletteUsed = 8;
  ConvertFrom(*dst, *src);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) EXPECT_LT(dst->GetByte(x, y), 8);
}

// ---------------------------------------------------------------------------------------------
// Ordered dither

int MatrixAt(int x, int y) {
  return kKvDitherMatrix[x & 7][y & 7];
}

TEST(OrderedDither, MatrixHoldsEveryLevelOnce) {
  std::vector<int> seen(64, 0);
  for (int x = 0; x < 8; ++x)
    for (int y = 0; y < 8; ++y) ++seen[size_t(kKvDitherMatrix[x][y])];
  for (int v = 0; v < 64; ++v) EXPECT_EQ(seen[size_t(v)], 1) << v;
  EXPECT_EQ(kKvDitherMatrix[1][0], 48);  // first index is the column
  EXPECT_EQ(kKvDitherMatrix[0][1], 32);
  EXPECT_EQ(kKvDitherMatrix[7][7], 21);
}

// A uniform level v lights exactly the positions whose matrix value is below v.
TEST(OrderedDither, UniformLevelsLightThePositionsBelowTheLevel) {
  struct TLevel {
    TKvPixFormat format;
    Bytes pixel;
    int v;
  };
  const TLevel levels[] = {
      {kv24RGB, {128, 128, 128}, 32},
      {kv24RGB, {255, 255, 255}, 63},
      {kv24RGB, {0, 0, 0}, 0},
      {kv24RGB, {3, 3, 3}, 0},
      {kv8g, {128}, 32},
      {kv8g, {4}, 1},
      {kv8g, {255}, 63},
      {kv16g, {0x00, 0x80}, 32},
      {kv16g, {0xFF, 0x03}, 0},
      {kv32f, FloatBytes(0.5f), 31},
      {kvRGB48, W16(0x8000, 0x8000, 0x8000), 32},
      {kv32RGB, {128, 128, 128, 0}, 32},
  };
  for (const TLevel& l : levels) {
    auto src = MakeImage(16, 16, l.format);
    FillImage(*src, l.pixel);
    auto dst = MakeImage(16, 16, kv1g);
    dst->DitherMode = 0;
    ConvertFrom(*dst, *src);
    EXPECT_EQ(CountWhite(*dst), 4 * l.v) << KvPixFormatName(l.format) << " v " << l.v;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x)
        ASSERT_EQ(dst->GetBit(x, y), MatrixAt(x, y) < l.v)
            << KvPixFormatName(l.format) << " at " << x << "," << y;
  }
}

TEST(OrderedDither, PureWhiteLeavesTheTopMatrixPositionBlack) {
  auto src = MakeImage(8, 8, kv24RGB);
  FillImage(*src, {255, 255, 255});
  auto dst = MakeImage(8, 8, kv1g);
  dst->DitherMode = 0;
  ConvertFrom(*dst, *src);
  EXPECT_EQ(CountWhite(*dst), 63);
  EXPECT_FALSE(dst->GetBit(7, 0));  // M[7][0] = 63
}

// Reference rule over random pixels of every source format, on a width that is not a multiple
// of 8; the padding bits of the last byte stay clear.
TEST(OrderedDither, MatchesThePerPixelRuleForEverySource) {
  std::mt19937 rng(7);
  for (TKvPixFormat f : {kv8p, kv8g, kv16g, kv24RGB, kv32f, kvCMYK, kvRGB48, kvCIELab, kv32RGB}) {
    auto src = MakeImage(21, 13, f);
    if (f == kv8p)
      for (int i = 0; i < 256; ++i)
        src->SetPaletteEntry(i, KvRGB(uint8_t(rng()), uint8_t(rng()), uint8_t(rng())));
    const int bpp = BytesPerPixel(f);
    for (int y = 0; y < 13; ++y)
      for (int x = 0; x < 21; ++x) {
        Bytes px(static_cast<size_t>(bpp));
        for (auto& b : px) b = uint8_t(rng());
        if (f == kv32f) px = FloatBytes(float(rng() % 1001) / 1000.0f);
        PutPixel(*src, x, y, px);
      }
    auto dst = MakeImage(21, 13, kv1g);
    dst->DitherMode = 0;
    ConvertFrom(*dst, *src);
    for (int y = 0; y < 13; ++y) {
      for (int x = 0; x < 21; ++x) {
        int gray;
        if (f == kv8g)
          gray = src->GetByte(x, y);
        else if (f == kv16g)
          gray = src->GetWord(x, y) >> 8;
        else
          gray = KvGray(src->GetPixelRGB(x, y));
        ASSERT_EQ(dst->GetBit(x, y), MatrixAt(x, y) < (gray >> 2))
            << KvPixFormatName(f) << " at " << x << "," << y;
      }
      EXPECT_EQ(dst->RowPtr(y)[2] & 0x07, 0) << "padding bits of row " << y;
    }
  }
}

TEST(OrderedDither, FollowsTheProcessWideGrayWeights) {
  TGrayWeightsGuard guard;
  gKvGrayWeights = {0, 0, 1, 1};  // blue only
  auto src = MakeImage(8, 8, kv24RGB);
  FillImage(*src, {128, 0, 0});  // blue 128
  auto dst = MakeImage(8, 8, kv1g);
  dst->DitherMode = 0;
  ConvertFrom(*dst, *src);
  EXPECT_EQ(CountWhite(*dst), 32);
  auto gray = MakeImage(8, 8, kv8g);
  ConvertFrom(*gray, *src);
  EXPECT_EQ(gray->GetByte(3, 3), 128);
}

// ---------------------------------------------------------------------------------------------
// Threshold

TEST(Threshold, HalfBlackHalfWhiteSplitsAtMidGray) {
  auto src = MakeImage(10, 4, kv24RGB);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 10; ++x) {
      const uint8_t v = x < 5 ? 0 : 255;
      src->SetRGB(x, y, KvRGB(v, v, v));
    }
  auto dst = MakeImage(10, 4, kv1g);
  ASSERT_EQ(dst->DitherMode, 1);  // the default
  ConvertFrom(*dst, *src);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 10; ++x) EXPECT_EQ(dst->GetBit(x, y), x >= 5) << x << "," << y;
}

Bytes ThresholdRow(const TKvBitmap& src, int threshold) {
  TKvBitmap dst;
  EXPECT_TRUE(ToBlackWhite(src, dst, threshold));
  EXPECT_EQ(dst.PixelFormat(), kv1g);
  Bytes bits;
  for (int x = 0; x < src.Width(); ++x) bits.push_back(dst.GetBit(x, 0));
  return bits;
}

std::unique_ptr<TKvBitmap> GrayRow(const Bytes& levels) {
  auto src = MakeImage(int(levels.size()), 1, kv8g);
  for (size_t i = 0; i < levels.size(); ++i) src->SetByte(int(i), 0, levels[i]);
  return src;
}

TEST(Threshold, MeanColourGivesTheLevelAndAPixelAtItIsWhite) {
  // Mean 150: 150 itself is white, 149 black.
  auto src = GrayRow({100, 200, 150, 149, 151});
  EXPECT_EQ(ThresholdRow(*src, kvThresholdMean), (Bytes{0, 1, 1, 0, 1}));
}

TEST(Threshold, MeanIsTakenPerChannelThenGrayed) {
  // Mean colour (127, 0, 127) -> gray (2667 + 1016) div 100 = 36.
  auto src = MakeImage(2, 1, kv24RGB);
  src->SetRGB(0, 0, KvRGB(255, 0, 0));  // gray 53
  src->SetRGB(1, 0, KvRGB(0, 0, 255));  // gray 20
  EXPECT_EQ(ThresholdRow(*src, kvThresholdMean), (Bytes{1, 0}));
}

TEST(Threshold, FixedLevels) {
  auto src = GrayRow({0, 1, 127, 128, 254, 255});
  EXPECT_EQ(ThresholdRow(*src, 128), (Bytes{0, 0, 0, 1, 1, 1}));
  EXPECT_EQ(ThresholdRow(*src, 0), (Bytes{1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(ThresholdRow(*src, 255), (Bytes{0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(ThresholdRow(*src, 256), (Bytes{0, 0, 0, 0, 0, 0}));
}

TEST(Threshold, MaximumEntropyLevel) {
  // Two clusters (40/45 and 200/210) are split between them.
  Bytes levels;
  for (int i = 0; i < 30; ++i) levels.push_back(40);
  for (int i = 0; i < 10; ++i) levels.push_back(45);
  for (int i = 0; i < 50; ++i) levels.push_back(200);
  for (int i = 0; i < 10; ++i) levels.push_back(210);
  const Bytes bits = ThresholdRow(*GrayRow(levels), kvThresholdEntropy);
  for (size_t i = 0; i < bits.size(); ++i) EXPECT_EQ(bits[i], i >= 40) << i;

  // Five levels and a probe at 121: a reference implementation of the score puts the threshold
  // at 121 (120 is black, 121 white).
  Bytes five;
  const std::pair<int, int> counts[] = {{10, 20}, {60, 5}, {120, 25}, {180, 30}, {250, 20}};
  for (auto [level, n] : counts)
    for (int i = 0; i < n; ++i) five.push_back(uint8_t(level));
  five.push_back(121);
  const Bytes bits5 = ThresholdRow(*GrayRow(five), kvThresholdEntropy);
  EXPECT_EQ(bits5[20 + 5 + 24], 0);  // 120
  EXPECT_EQ(bits5.back(), 1);        // 121
  EXPECT_EQ(bits5[20 + 5 + 25], 1);  // 180
}

TEST(Threshold, MaximumEntropyOfAUniformImageUsesMidGray) {
  EXPECT_EQ(ThresholdRow(*GrayRow({100, 100, 100}), kvThresholdEntropy), (Bytes{0, 0, 0}));
  EXPECT_EQ(ThresholdRow(*GrayRow({200, 200}), kvThresholdEntropy), (Bytes{1, 1}));
}

TEST(Threshold, TakesEachSourcePixelsColour) {
  // Level 100 fixed; each source holds a pixel just below and one at or above it.
  auto p8 = MakeImage(2, 1, kv8p);
  p8->SetPaletteEntry(5, KvRGB(99, 99, 99));
  p8->SetPaletteEntry(6, KvRGB(0, 255, 0));  // gray 181
  p8->SetByte(0, 0, 5);
  p8->SetByte(1, 0, 6);
  EXPECT_EQ(ThresholdRow(*p8, 100), (Bytes{0, 1}));

  auto f32 = MakeImage(2, 1, kv32f);
  f32->SetFloat(0, 0, 100 / 255.0f - 0.001f);  // 99.7 truncated
  f32->SetFloat(1, 0, 0.5f);
  EXPECT_EQ(ThresholdRow(*f32, 100), (Bytes{0, 1}));

  auto cmyk = MakeImage(2, 1, kvCMYK);
  PutPixel(*cmyk, 0, 0, {255, 255, 255, 99});   // gray 99
  PutPixel(*cmyk, 1, 0, {255, 255, 255, 100});  // gray 100
  EXPECT_EQ(ThresholdRow(*cmyk, 100), (Bytes{0, 1}));

  auto w16 = MakeImage(2, 1, kv16g);
  w16->SetWord(0, 0, 100 * 256 - 1);
  w16->SetWord(1, 0, 100 * 256);
  EXPECT_EQ(ThresholdRow(*w16, 100), (Bytes{0, 1}));

  auto rgb48 = MakeImage(2, 1, kvRGB48);
  rgb48->SetRGB48(0, 0, TKvRGB48{99 * 256 + 255, 99 * 256 + 255, 99 * 256 + 255});
  rgb48->SetRGB48(1, 0, TKvRGB48{100 * 256, 100 * 256, 100 * 256});
  EXPECT_EQ(ThresholdRow(*rgb48, 100), (Bytes{0, 1}));
}

TEST(Threshold, CopiesABilevelSourceAndReportsProgressPerRow) {
  auto src = MakeImage(11, 5, kv1g);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 11; ++x) src->SetBit(x, y, (x * 3 + y) % 4 == 0);
  TKvBitmap dst;
  ASSERT_TRUE(ToBlackWhite(*src, dst, 250));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 11; ++x) EXPECT_EQ(dst.GetBit(x, y), src->GetBit(x, y));

  auto gray = MakeImage(4, 7, kv8g);
  FillImage(*gray, {9});
  std::vector<int> percents;
  int sender = 0;
  void* seen = nullptr;
  ASSERT_TRUE(ToBlackWhite(
      *gray, dst, kvThresholdMean,
      [&](void* s, int32_t p) {
        seen = s;
        percents.push_back(p);
      },
      &sender));
  ASSERT_EQ(percents.size(), 7u);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_EQ(seen, &sender);
  EXPECT_EQ(CountWhite(dst), 28);
}

TEST(Threshold, SourceMayBeTheDestination) {
  auto img = GrayRow({10, 200, 90});
  ASSERT_TRUE(ToBlackWhite(*img, *img, 100));
  ASSERT_EQ(img->PixelFormat(), kv1g);
  EXPECT_FALSE(img->GetBit(0, 0));
  EXPECT_TRUE(img->GetBit(1, 0));
  EXPECT_FALSE(img->GetBit(2, 0));
}

TEST(Threshold, RefusesAnEmptySource) {
  TKvBitmap empty, dst;
  EXPECT_FALSE(ToBlackWhite(empty, dst, 128));
}

// ---------------------------------------------------------------------------------------------
// ChangePixelFormat

TEST(ChangePixelFormat, BilevelCheckerboardToPalette) {
  auto img = MakeImage(6, 4, kv1g);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) img->SetBit(x, y, (x + y) % 2 == 1);
  img->ChangePixelFormat(kv8p);
  ASSERT_EQ(img->PixelFormat(), kv8p);
  EXPECT_EQ(img->GetPaletteEntry(0), KvRGB(0, 0, 0));
  EXPECT_EQ(img->GetPaletteEntry(1), KvRGB(255, 255, 255));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) EXPECT_EQ(img->GetByte(x, y), (x + y) % 2);
}

TEST(ChangePixelFormat, KeepsAlphaPlaneAndDitherModeAndIgnoresTheSameFormat) {
  auto img = MakeImage(8, 8, kv24RGB);
  FillImage(*img, {128, 128, 128});
  img->DitherMode = 0;
  TKvBitmap* alpha = img->AlphaPlane();
  alpha->SetByte(2, 3, 17);
  img->ChangePixelFormat(kv24RGB);
  EXPECT_EQ(img->AlphaPlane(), alpha);
  img->ChangePixelFormat(kv1g);
  ASSERT_EQ(img->PixelFormat(), kv1g);
  EXPECT_EQ(img->DitherMode, 0);
  EXPECT_EQ(CountWhite(*img), 32);  // dithered, not thresholded
  ASSERT_TRUE(img->HasAlphaPlane());
  EXPECT_EQ(img->AlphaPlane()->GetByte(2, 3), 17);
  EXPECT_EQ(img->AlphaPlane()->GetByte(3, 3), 255);
}

TEST(ChangePixelFormat, EmptyImageAndNoFormatAreLeftAlone) {
  TKvBitmap empty;
  empty.ChangePixelFormat(kv24RGB);
  EXPECT_TRUE(empty.IsEmpty());
  auto img = MakeImage(3, 3, kv8g);
  FillImage(*img, {42});
  img->ChangePixelFormat(kvNoFormat);
  ASSERT_EQ(img->PixelFormat(), kv8g);
  EXPECT_EQ(img->GetByte(1, 1), 42);
}

// Rows paged from a temporary file convert like rows in memory.
TEST(ChangePixelFormat, WorksOnTempFileStorage) {
  struct TThresholdGuard {
    TThresholdGuard() { TKvBitmap::SetFileThresholdOverride(64); }
    ~TThresholdGuard() { TKvBitmap::SetFileThresholdOverride(-1); }
  } smallThreshold;
  TKvBitmap img;
  ASSERT_TRUE(img.AllocateImage(37, 23, kv24RGB));
  ASSERT_EQ(img.Location(), kvTempFile);
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 37; ++x) img.SetRGB(x, y, KvRGB(uint8_t(x * 7), uint8_t(y * 11), 9));
  img.ChangePixelFormat(kv8g);
  ASSERT_EQ(img.PixelFormat(), kv8g);
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 37; ++x) ASSERT_EQ(img.GetByte(x, y), KvGray(x * 7, y * 11, 9));
  img.DitherMode = 0;
  img.ChangePixelFormat(kv1g);
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 37; ++x)
      ASSERT_EQ(img.GetBit(x, y), MatrixAt(x, y) < (KvGray(x * 7, y * 11, 9) >> 2));
}

// ---------------------------------------------------------------------------------------------
// Platform-bitmap storage

std::unique_ptr<TKvBitmap> VclImage(int w, int h, TKvPixFormat f) {
  auto bmp = std::make_unique<TKvBitmap>();
  bmp->SetLocation(kvTBitmap);
  EXPECT_TRUE(bmp->AllocateImage(w, h, f));
  EXPECT_EQ(bmp->Location(), kvTBitmap);
  return bmp;
}

TEST(PlatformStorage, DitherTreatsNearWhiteAsWhite) {
  for (uint8_t v : {uint8_t(255), uint8_t(251)}) {
    auto img = VclImage(16, 8, kv24RGB);
    FillImage(*img, {v, v, v});
    img->DitherMode = 0;
    img->ChangePixelFormat(kv1g);
    ASSERT_EQ(img->PixelFormat(), kv1g);
    EXPECT_EQ(img->Location(), kvTBitmap);
    EXPECT_EQ(CountWhite(*img), 128) << int(v);
  }
  // 250 in one channel is dithered as usual: level 62 leaves two positions black.
  auto img = VclImage(8, 8, kv24RGB);
  FillImage(*img, {250, 251, 251});
  img->DitherMode = 0;
  img->ChangePixelFormat(kv1g);
  EXPECT_EQ(CountWhite(*img), 62);
}

TEST(PlatformStorage, ThresholdModeAndBilevelToRgb) {
  auto img = VclImage(10, 2, kv24RGB);
  for (int x = 0; x < 10; ++x)
    for (int y = 0; y < 2; ++y) {
      const uint8_t v = x < 5 ? 0 : 255;
      img->SetRGB(x, y, KvRGB(v, v, v));
    }
  img->ChangePixelFormat(kv1g);
  ASSERT_EQ(img->PixelFormat(), kv1g);
  for (int x = 0; x < 10; ++x) EXPECT_EQ(img->GetBit(x, 1), x >= 5);
  img->ChangePixelFormat(kv24RGB);
  ASSERT_EQ(img->PixelFormat(), kv24RGB);
  EXPECT_EQ(img->Location(), kvTBitmap);
  EXPECT_EQ(img->GetRGB(2, 0), KvRGB(0, 0, 0));
  EXPECT_EQ(img->GetRGB(7, 1), KvRGB(255, 255, 255));
}

TEST(PlatformStorage, RgbToGrayAndToPalette) {
  auto img = VclImage(4, 3, kv24RGB);
  FillImage(*img, kRgb200_100_50);
  img->SetRGB(0, 0, KvRGB(10, 200, 30));
  img->ChangePixelFormat(kv8g);
  ASSERT_EQ(img->PixelFormat(), kv8g);
  EXPECT_EQ(img->Location(), kvTBitmap);
  EXPECT_EQ(img->GetByte(1, 1), 117);
  EXPECT_EQ(img->GetByte(0, 0), 146);

  auto pal = VclImage(4, 3, kv24RGB);
  FillImage(*pal, kRgb200_100_50);
  pal->SetRGB(0, 0, KvRGB(10, 200, 30));
  pal->ChangePixelFormat(kv8p);
  ASSERT_EQ(pal->PixelFormat(), kv8p);
  EXPECT_EQ(pal->GetPixelRGB(0, 0), KvRGB(10, 200, 30));
  EXPECT_EQ(pal->GetPixelRGB(3, 2), KvRGB(200, 100, 50));
}

TEST(PlatformStorage, FormatWithoutPlatformEquivalentMovesToMemory) {
  auto img = VclImage(3, 2, kv24RGB);
  FillImage(*img, kRgb200_100_50);
  img->AlphaPlane()->SetByte(1, 1, 9);
  img->ChangePixelFormat(kvCMYK);
  ASSERT_EQ(img->PixelFormat(), kvCMYK);
  EXPECT_EQ(img->Location(), kvInMemory);
  EXPECT_EQ(GetPixel(*img, 2, 1), (Bytes{255, 127, 63, 200}));
  ASSERT_TRUE(img->HasAlphaPlane());
  EXPECT_EQ(img->AlphaPlane()->GetByte(1, 1), 9);
}

// ---------------------------------------------------------------------------------------------
// Colour formulas

TEST(ColourFormulas, CmykWithoutColourManagement) {
  EXPECT_EQ(RgbToCmyk(KvRGB(255, 0, 0)), (TKvCMYK{255, 0, 0, 255}));
  EXPECT_EQ(CmykToRgb(TKvCMYK{255, 0, 0, 255}), KvRGB(255, 0, 0));
  EXPECT_EQ(RgbToCmyk(KvRGB(200, 100, 50)), (TKvCMYK{255, 127, 63, 200}));
  EXPECT_EQ(CmykToRgb(TKvCMYK{255, 127, 63, 200}), KvRGB(200, 99, 49));
  // Black is full black ink (K' = 0) and comes back black.
  EXPECT_EQ(RgbToCmyk(KvRGB(0, 0, 0)), (TKvCMYK{0, 0, 0, 0}));
  EXPECT_EQ(CmykToRgb(TKvCMYK{0, 0, 0, 0}), KvRGB(0, 0, 0));
  EXPECT_EQ(RgbToCmyk(KvRGB(255, 255, 255)), (TKvCMYK{255, 255, 255, 255}));
}

TEST(ColourFormulas, CmykRoundTripLosesAtMostOneLevel) {
  for (int r = 0; r < 256; r += 5)
    for (int g = 0; g < 256; g += 7)
      for (int b = 0; b < 256; b += 11) {
        const TKvRGB c = KvRGB(uint8_t(r), uint8_t(g), uint8_t(b));
        const TKvRGB back = CmykToRgb(RgbToCmyk(c));
        ASSERT_LE(c.Red - back.Red, 1);
        ASSERT_GE(c.Red - back.Red, 0);
        ASSERT_LE(c.Green - back.Green, 1);
        ASSERT_LE(c.Blue - back.Blue, 1);
      }
}

TEST(ColourFormulas, LabReferenceValues) {
  struct TLabCase {
    TKvRGB rgb;
    TKvLab lab;
  };
  const TLabCase cases[] = {
      {KvRGB(255, 255, 255), {255, 0, 0}}, {KvRGB(0, 0, 0), {0, 0, 0}},
      {KvRGB(255, 0, 0), {135, 80, 67}},   {KvRGB(0, 255, 0), {223, -86, 83}},
      {KvRGB(0, 0, 255), {82, 79, -107}},  {KvRGB(200, 100, 50), {136, 36, 45}},
      {KvRGB(100, 100, 100), {108, 0, 0}}, {KvRGB(1, 1, 1), {0, 0, 0}},  // linear part of L*
  };
  for (const TLabCase& c : cases) {
    const TKvLab lab = RgbToLab(c.rgb);
    EXPECT_EQ(int(lab.L), int(c.lab.L)) << int(c.rgb.Red) << "," << int(c.rgb.Green);
    EXPECT_EQ(int(lab.A), int(c.lab.A)) << int(c.rgb.Red) << "," << int(c.rgb.Green);
    EXPECT_EQ(int(lab.B), int(c.lab.B)) << int(c.rgb.Red) << "," << int(c.rgb.Green);
  }
  EXPECT_EQ(LabToRgb(TKvLab{255, 0, 0}), KvRGB(255, 255, 255));
  EXPECT_EQ(LabToRgb(TKvLab{0, 0, 0}), KvRGB(0, 0, 0));
  EXPECT_EQ(LabToRgb(TKvLab{128, 20, -30}), KvRGB(127, 110, 171));
  EXPECT_EQ(LabToRgb(TKvLab{135, 80, 67}), KvRGB(254, 0, 0));
  // Out-of-gamut Lab values are clamped.
  const TKvRGB clamped = LabToRgb(TKvLab{60, -128, 127});
  EXPECT_EQ(clamped.Red, 0);
  EXPECT_EQ(clamped.Blue, 0);
}

// ---------------------------------------------------------------------------------------------
// Row converter

struct TRowCase {
  const char* name;
  int from;
  Bytes source;
  int to;
  Bytes expected;
};

void PrintTo(const TRowCase& c, std::ostream* os) {
  *os << c.name;
}

const TRowCase kRowCases[] = {
    {"BGR copy", rkBGR, {1, 2, 3, 4, 5, 6}, rkBGR, {1, 2, 3, 4, 5, 6}},
    {"BGR to CMYK", rkBGR, {50, 100, 200}, rkCMYK, {255, 127, 63, 200}},
    {"BGR to Lab", rkBGR, {0, 0, 255}, rkLab, {135, 80, 67}},
    {"BGR to gray", rkBGR, {50, 100, 200, 0, 255, 0}, rkGray, {117, 181}},
    {"BGR to RGB", rkBGR, {1, 2, 3}, rkRGB, {3, 2, 1}},
    {"RGB to BGR", rkRGB, {1, 2, 3, 7, 8, 9}, rkBGR, {3, 2, 1, 9, 8, 7}},
    {"CMYK to BGR", rkCMYK, {255, 127, 63, 200}, rkBGR, {49, 99, 200}},
    {"ink CMYK to BGR", rkCMYKInk, {0, 128, 192, 55}, rkBGR, {49, 99, 200}},
    {"ink CMYK to ink CMYK", rkCMYKInk, {0, 128, 192, 55}, rkCMYKInk, {0, 129, 193, 55}},
    {"Lab to BGR", rkLab, {128, 20, uint8_t(-30)}, rkBGR, {171, 110, 127}},
    {"RGB48 LE to BGR", rkRGB48LE, W16(0xC92C, 0x6464, 0x3232), rkBGR, {0x32, 0x64, 0xC9}},
    {"RGB48 BE to BGR", rkRGB48BE, {0xC9, 0x2C, 0x64, 0x00, 0x32, 0xFF}, rkBGR, {0x32, 0x64, 0xC9}},
    {"YCbCr gray to BGR", rkYCbCr, {128, 128, 128}, rkBGR, {128, 128, 128}},
    {"YCbCr red to BGR", rkYCbCr, {76, 85, 255}, rkBGR, {0, 0, 254}},
    {"YCbCr clamps", rkYCbCr, {255, 255, 255}, rkBGR, {255, 121, 255}},
};

class RowConverter : public ::testing::TestWithParam<TRowCase> {};

TEST_P(RowConverter, ConvertsEveryPixel) {
  const TRowCase& c = GetParam();
  const int inBytes = c.from == rkCMYK || c.from == rkCMYKInk      ? 4
                      : c.from == rkRGB48LE || c.from == rkRGB48BE ? 6
                                                                   : 3;
  const int count = int(c.source.size()) / inBytes;
  Bytes out(c.expected.size() + 1, 0xAB);
  ASSERT_TRUE(ConvertRow(c.source.data(), c.from, out.data(), nullptr, count, c.to)) << c.name;
  EXPECT_EQ(Bytes(out.begin(), out.end() - 1), c.expected) << c.name;
  EXPECT_EQ(out.back(), 0xAB) << c.name << ": wrote past the row";
}

INSTANTIATE_TEST_SUITE_P(Kinds, RowConverter, ::testing::ValuesIn(kRowCases),
                         [](const ::testing::TestParamInfo<TRowCase>& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST(RowConverterKinds, RefusesUnknownKindsAndConvertsInPlace) {
  uint8_t row[6] = {1, 2, 3, 4, 5, 6};
  uint8_t out[8] = {};
  EXPECT_FALSE(ConvertRow(row, 9, out, nullptr, 1, rkBGR));
  EXPECT_FALSE(ConvertRow(row, rkBGR, out, nullptr, 1, rkRGB48LE));
  EXPECT_FALSE(ConvertRow(row, rkBGR, out, nullptr, -1, rkBGR));
  EXPECT_TRUE(ConvertRow(row, rkBGR, out, nullptr, 0, rkBGR));
  ASSERT_TRUE(ConvertRow(row, rkRGB, row, nullptr, 2, rkBGR));
  EXPECT_EQ(Bytes(row, row + 6), (Bytes{3, 2, 1, 6, 5, 4}));
}

}  // namespace
