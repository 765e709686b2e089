// Resampling: fast linear colour, fast linear bits to colour (with area averaging), nearest copy
// for every pixel format, the general entry with alpha planes, refusals and progress.
#include "deskew/resample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

namespace {

using RgbAt = std::function<TKvRGB(int x, int y)>;
using BitAt = std::function<bool(int x, int y)>;

TKvRGB Gray(int v) {
  return TKvRGB{uint8_t(v), uint8_t(v), uint8_t(v)};
}

void FillRgb(TKvBitmap& b, const RgbAt& at) {
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) b.SetRGB(x, y, at(x, y));
}

void FillBits(TKvBitmap& b, const BitAt& at) {
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) b.SetBit(x, y, at(x, y));
}

std::vector<TKvRGB> Pixels(const TKvBitmap& b) {
  std::vector<TKvRGB> v;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) v.push_back(b.GetRGB(x, y));
  return v;
}

// The blue channel of every pixel, row by row.
std::vector<int> Blues(const TKvBitmap& b) {
  std::vector<int> v;
  for (const TKvRGB& p : Pixels(b)) v.push_back(p.Blue);
  return v;
}

// Whether every pixel of a kv24RGB bitmap is gray (B = G = R).
bool AllGray(const TKvBitmap& b) {
  for (const TKvRGB& p : Pixels(b))
    if (p.Blue != p.Green || p.Green != p.Red) return false;
  return true;
}

// Resamples a one-row or one-column gray picture and returns the blue values.
std::vector<int> ColourLine(const std::vector<int>& values, bool vertical, int outLength) {
  const int n = int(values.size());
  TKvBitmap src(vertical ? 1 : n, vertical ? n : 1, kv24RGB);
  FillRgb(src, [&](int x, int y) { return Gray(values[size_t(vertical ? y : x)]); });
  TKvBitmap dst(vertical ? 1 : outLength, vertical ? outLength : 1, kv24RGB);
  EXPECT_TRUE(ResampleFiltered(src, dst, rfFastLinear));
  return Blues(dst);
}

TEST(ResampleFilter, ValuesFollowTheNamedOrder) {
  EXPECT_EQ(int(rfNone), 0);
  EXPECT_EQ(int(rfNearest), 7);
  EXPECT_EQ(int(rfFastLinear), 9);
  EXPECT_EQ(int(rfBicubic), 11);
  EXPECT_EQ(int(rfProjectWB), 13);
}

// ------------------------------------------------------------------------------------------
// Fast linear, colour

TEST(FastLinearColour, LinesComputedByHand) {
  struct Case {
    const char* what;
    std::vector<int> in;
    int outLength;
    std::vector<int> out;
  } cases[] = {
      // Positions 0, 0.5, 1, 1.5; the last column has no right neighbour.
      {"enlarge 2 -> 4", {0, 255}, 4, {0, 127, 255, 255}},
      // pos 2/3: q = Trunc(0.666.. * 131072) = 87381, 255 * 87381 / 131072 = 169.99.. -> 169.
      {"enlarge 2 -> 3 rising", {0, 255}, 3, {0, 169, 255}},
      // 255 + floor(-169.99..) = 85: the fraction rounds towards minus infinity.
      {"enlarge 2 -> 3 falling", {255, 0}, 3, {255, 85, 0}},
      // sx = 2/3: column 0 averages 0..1, column 1 (the last) takes Trunc(1.5) = 1 alone.
      {"reduce 3 -> 2", {10, 21, 200}, 2, {15, 21}},
      // sx = 0.5: column 0 averages 0..2, column 1 takes Trunc(1 / 0.5 + 1e-10) = 2 alone.
      {"reduce 4 -> 2", {0, 7, 28, 63}, 2, {11, 28}},
      // A single destination column takes source column 0 only.
      {"reduce 5 -> 1", {40, 0, 0, 0, 0}, 1, {40}},
      {"enlarge 1 -> 3", {99}, 3, {99, 99, 99}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ColourLine(c.in, false, c.outLength), c.out) << c.what << " (horizontal)";
    EXPECT_EQ(ColourLine(c.in, true, c.outLength), c.out) << c.what << " (vertical)";
  }
}

TEST(FastLinearColour, BoxEndsNearWholeNumbers) {
  // 10 -> 2: sx = 0.2 and 1 / sx comes out a hair below 5 in extended precision. Columns: the
  // box end adds 1e-10, so column 0 averages columns 0 .. 5, and position 1 / sx stored as a
  // double is exactly 5, so column 1 takes column 5 alone. Rows add no such guard: row 0
  // averages rows 0 .. Trunc(4.99..) = 4 and row 1 takes row 4.
  const std::vector<int> values = {0, 0, 0, 0, 0, 60, 100, 100, 100, 100};
  EXPECT_EQ(ColourLine(values, false, 2), (std::vector<int>{10, 60}));
  EXPECT_EQ(ColourLine(values, true, 2), (std::vector<int>{0, 0}));
}

TEST(FastLinearColour, FourByFourToTwoByTwoAveragesBothPasses) {
  // v = 7x^2 + 13y^2. Horizontal pass, row y: (0 + 7 + 28 + 39y^2) div 3 and 28 + 13y^2, so rows
  // 0..2 are (11, 28), (24, 41), (63, 80). Vertical: row 0 averages work rows 0..2 -> (32, 49);
  // row 1 takes work row 2 -> (63, 80). Green = 255 - v gives (221, 205) and (191, 175).
  TKvBitmap src(4, 4, kv24RGB);
  FillRgb(src, [](int x, int y) {
    const int v = 7 * x * x + 13 * y * y;
    return KvRGB(77, uint8_t(255 - v), uint8_t(v));
  });
  TKvBitmap dst(2, 2, kv24RGB);
  ASSERT_TRUE(ResampleFiltered(src, dst, rfFastLinear));
  const std::vector<TKvRGB> expected = {KvRGB(77, 221, 32), KvRGB(77, 205, 49), KvRGB(77, 191, 63),
                                        KvRGB(77, 175, 80)};
  EXPECT_EQ(Pixels(dst), expected);
}

TEST(FastLinearColour, HalvingAveragesThreeColumnsAndThreeRows) {
  // 1000 x 10 -> 500 x 5: destination column i averages source columns 2i .. 2i + 2 except the
  // last (999 -> 998 alone); row j averages work rows 2j .. 2j + 2, the last row 8 alone.
  auto value = [](int x, int y, int k) { return (x * 37 + y * 11 + k * 101 + x * y) % 256; };
  TKvBitmap src(1000, 10, kv24RGB);
  FillRgb(src, [&](int x, int y) {
    return TKvRGB{uint8_t(value(x, y, 0)), uint8_t(value(x, y, 1)), uint8_t(value(x, y, 2))};
  });
  TKvBitmap dst(500, 5, kv24RGB);
  ASSERT_TRUE(ResampleFiltered(src, dst, rfFastLinear));
  auto span = [](int i, int last) {
    return i == last ? std::pair{2 * i, 2 * i} : std::pair{2 * i, 2 * i + 2};
  };
  int mismatches = 0;
  for (int j = 0; j < 5; ++j) {
    const auto [y1, y2] = span(j, 4);
    for (int i = 0; i < 500; ++i) {
      const auto [x1, x2] = span(i, 499);
      for (int k = 0; k < 3; ++k) {
        int rowSum = 0;
        for (int y = y1; y <= y2; ++y) {
          int colSum = 0;
          for (int x = x1; x <= x2; ++x) colSum += value(x, y, k);
          rowSum += colSum / (x2 - x1 + 1);
        }
        const TKvRGB p = dst.GetRGB(i, j);
        const int got = k == 0 ? p.Blue : k == 1 ? p.Green : p.Red;
        if (got != rowSum / (y2 - y1 + 1)) ++mismatches;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(FastLinearColour, UnchangedWidthAveragesNeighbourColumns) {
  // sx = 1 while the height halves: every column is the mean of columns i and i + 1 (the last
  // one itself); sy = 0.5 and H1 = 1, so the only row takes work row 0.
  TKvBitmap src(3, 2, kv24RGB);
  const int row0[] = {10, 31, 200};
  FillRgb(src, [&](int x, int y) { return Gray(y == 0 ? row0[x] : 0); });
  TKvBitmap dst(3, 1, kv24RGB);
  ASSERT_TRUE(ResampleFiltered(src, dst, rfFastLinear));
  EXPECT_EQ(Blues(dst), (std::vector<int>{20, 115, 200}));
}

TEST(FastLinearColour, SameSizeIsAnExactCopy) {
  TKvBitmap src(7, 5, kv24RGB);
  FillRgb(src,
          [](int x, int y) { return KvRGB(uint8_t(x * 30), uint8_t(y * 50), uint8_t(x ^ y)); });
  TKvBitmap dst(7, 5, kv24RGB);
  dst.FillWith(0);
  ASSERT_TRUE(ResampleFiltered(src, dst, rfFastLinear));
  EXPECT_EQ(Pixels(dst), Pixels(src));
}

TEST(FastLinearColour, GrayImagesUseTheSameRulesOnOneChannel) {
  TKvBitmap src(3, 1, kv8g);
  const uint8_t in[] = {10, 21, 200};
  for (int x = 0; x < 3; ++x) src.SetByte(x, 0, in[x]);
  TKvBitmap dst(2, 1, kv8g);
  ASSERT_TRUE(ResampleFiltered(src, dst, rfFastLinear));
  EXPECT_EQ(dst.GetByte(0, 0), 15);
  EXPECT_EQ(dst.GetByte(1, 0), 21);
}

TEST(FastLinearColour, DestinationOfAnotherFormatBecomesColourAtItsOwnSize) {
  TKvBitmap src(4, 4, kv24RGB);
  FillRgb(src, [](int x, int y) { return Gray(x * 10 + y); });
  TKvBitmap dst(2, 3, kv8g);
  ASSERT_TRUE(ResampleFiltered(src, dst, rfFastLinear));
  EXPECT_EQ(dst.PixelFormat(), kv24RGB);
  EXPECT_EQ(dst.Width(), 2);
  EXPECT_EQ(dst.Height(), 3);
}

TEST(FastLinearColour, ReportsProgressAfterEveryRowOfBothPasses) {
  // H0 = 2, H1 = 3: P = 100 / 5.5; rows 0, 1 of the first pass give 0, 18; rows 0..2 of the
  // second pass give Trunc(2P) = 36, Trunc(3P) = 54, Trunc(4P) = 72.
  TKvBitmap src(4, 2, kv24RGB);
  src.FillWith(0);
  TKvBitmap dst(3, 3, kv24RGB);
  std::vector<int> reported;
  int marker = 0;
  const TKvProgressEvent onProgress = [&](void* sender, int32_t percent) {
    EXPECT_EQ(sender, &marker);
    reported.push_back(percent);
  };
  ASSERT_TRUE(ResampleFiltered(src, dst, rfFastLinear, onProgress, &marker));
  EXPECT_EQ(reported, (std::vector<int>{0, 18, 36, 54, 72}));
}

TEST(ResampleFilteredRefusals, LeaveTheDestinationUntouched) {
  struct Case {
    const char* what;
    TKvPixFormat format;
    int width, height;
    TResampleFilter filter;
  } cases[] = {
      {"general kernel", kv24RGB, 6, 6, rfLanczos3},
      {"bilinear", kv24RGB, 6, 6, rfBilinear},
      {"projection", kv24RGB, 6, 6, rfProjectBW},
      {"nearest through the filtered entry", kv24RGB, 6, 6, rfNone},
      {"16-bit gray", kv16g, 6, 6, rfFastLinear},
      {"48-bit colour", kvRGB48, 6, 6, rfFastLinear},
      {"bits (they have their own entry)", kv1g, 6, 6, rfFastLinear},
      {"palette", kv8p, 6, 6, rfFastLinear},
      {"empty source", kvNoFormat, 0, 0, rfFastLinear},
  };
  for (const Case& c : cases) {
    TKvBitmap src;
    if (c.format != kvNoFormat) {
      ASSERT_TRUE(src.AllocateImage(c.width, c.height, c.format));
      src.FillWith(0);
    }
    TKvBitmap dst(3, 3, kv24RGB);
    dst.FillWith(clWhite);
    EXPECT_FALSE(ResampleFiltered(src, dst, c.filter)) << c.what;
    EXPECT_EQ(dst.PixelFormat(), kv24RGB) << c.what;
    EXPECT_EQ(Pixels(dst), std::vector<TKvRGB>(9, Gray(255))) << c.what;
  }
  TKvBitmap src(4, 4, kv24RGB);
  src.FillWith(0);
  TKvBitmap empty;
  EXPECT_FALSE(ResampleFiltered(src, empty, rfFastLinear)) << "destination without size";
  EXPECT_TRUE(empty.IsEmpty());
}

// ------------------------------------------------------------------------------------------
// Fast linear, bits to colour

TEST(FastLinearBits, AreaAveragingOfAFourTimesReduction) {
  // 16 x 12 -> 4 x 3: fx = fy = 4, so pixel (j, i) averages the source box from (4j - 2, 4i - 2)
  // to (4j + 2, 4i + 2) clipped to the page (3 columns or rows at the first one).
  std::mt19937 rng(7);
  std::vector<std::vector<bool>> bits(12, std::vector<bool>(16));
  for (auto& row : bits)
    for (size_t x = 0; x < row.size(); ++x) row[x] = rng() % 3 == 0;
  TKvBitmap src(16, 12, kv1g);
  FillBits(src, [&](int x, int y) { return bool(bits[size_t(y)][size_t(x)]); });
  TKvBitmap dst(4, 3, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(src, dst, rfFastLinear));
  ASSERT_TRUE(AllGray(dst));
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) {
      int set = 0, pixels = 0;
      for (int y = std::max(0, 4 * i - 2); y <= std::min(11, 4 * i + 2); ++y)
        for (int x = std::max(0, 4 * j - 2); x <= std::min(15, 4 * j + 2); ++x) {
          set += bits[size_t(y)][size_t(x)];
          ++pixels;
        }
      EXPECT_EQ(dst.GetRGB(j, i).Blue, 255 * set / pixels) << "pixel " << j << "," << i;
    }
}

TEST(FastLinearBits, RowBoxEndsWithTheWholePartOfTheRowStep) {
  // 2 x 58 -> 1 x 10: fx = 2 (columns 0 .. 1), fy = 5.8. Row 3's box is Trunc(17.4 - 2.9) = 14
  // to Trunc(17.4 + Trunc(5.8) / 2) = 19 (with fy / 2 it would reach row 20); row 4's box is
  // 20 .. 25. Only source row 20 is white: row 4 = 255 * 2 div 12, every other row 0.
  TKvBitmap src(2, 58, kv1g);
  FillBits(src, [](int, int y) { return y == 20; });
  TKvBitmap dst(1, 10, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(src, dst, rfFastLinear));
  EXPECT_EQ(Blues(dst), (std::vector<int>{0, 0, 0, 0, 42, 0, 0, 0, 0, 0}));
}

TEST(FastLinearBits, UniformPagesStayUniform) {
  for (bool white : {false, true}) {
    TKvBitmap src(203, 157, kv1g);
    src.FillWith(white ? 1 : 0);
    TKvBitmap dst(50, 38, kv24RGB);
    ASSERT_TRUE(ResampleBitsFiltered(src, dst, rfFastLinear));
    EXPECT_EQ(Pixels(dst), std::vector<TKvRGB>(50 * 38, Gray(white ? 255 : 0)));
  }
}

TEST(FastLinearBits, NarrowerButTallerInterpolatesBothWays) {
  // 3 x 2 -> 2 x 4 (sx = 2/3 shrinks, sy = 2 enlarges): no averaging. Columns at positions 0
  // and 1.5, rows at 0, 0.5, 1, 1.5 (the last without a row below).
  // Row 0 = black, white, white -> work (0, 255); row 1 = white, black, white -> (255, 127).
  const bool bits[2][3] = {{false, true, true}, {true, false, true}};
  TKvBitmap src(3, 2, kv1g);
  FillBits(src, [&](int x, int y) { return bits[y][x]; });
  TKvBitmap dst(2, 4, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(src, dst, rfFastLinear));
  EXPECT_TRUE(AllGray(dst));
  // Row 1: 0 + floor(255 / 2) = 127 and 255 + floor(-128 / 2) = 191.
  EXPECT_EQ(Blues(dst), (std::vector<int>{0, 255, 127, 191, 255, 127, 255, 127}));
}

TEST(FastLinearBits, ShrinkingOnlyInWidthInterpolatesInsteadOfAveraging) {
  // 4 x 1 -> 2 x 2: averaging would give column 0 = 255 * 2 / 3 = 170; interpolation takes
  // source column 0 (black) and source column 2 (white).
  TKvBitmap src(4, 1, kv1g);
  const bool bits[] = {false, true, true, false};
  FillBits(src, [&](int x, int) { return bits[x]; });
  TKvBitmap dst(2, 2, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(src, dst, rfFastLinear));
  EXPECT_EQ(Blues(dst), (std::vector<int>{0, 255, 0, 255}));
}

TEST(FastLinearBits, EnlargingATwoPixelRow) {
  TKvBitmap src(2, 1, kv1g);
  FillBits(src, [](int x, int) { return x == 1; });
  TKvBitmap dst(4, 1, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(src, dst, rfFastLinear));
  EXPECT_EQ(Blues(dst), (std::vector<int>{0, 127, 255, 255}));
  EXPECT_TRUE(AllGray(dst));
}

TEST(FastLinearBits, BilinearAndBicubicTakeTheSamePath) {
  TKvBitmap src(29, 17, kv1g);
  FillBits(src, [](int x, int y) { return (x * 3 + y * y) % 5 < 2; });
  TKvBitmap fast(11, 23, kv24RGB), bilinear(11, 23, kv24RGB), bicubic(11, 23, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(src, fast, rfFastLinear));
  ASSERT_TRUE(ResampleBitsFiltered(src, bilinear, rfBilinear));
  ASSERT_TRUE(ResampleBitsFiltered(src, bicubic, rfBicubic));
  EXPECT_EQ(Pixels(bilinear), Pixels(fast));
  EXPECT_EQ(Pixels(bicubic), Pixels(fast));
}

TEST(FastLinearBits, SameSizeCopiesTheBits) {
  TKvBitmap src(13, 3, kv1g);
  FillBits(src, [](int x, int y) { return (x + y) % 3 == 0; });
  TKvBitmap dst(13, 3, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(src, dst, rfFastLinear));
  ASSERT_EQ(dst.PixelFormat(), kv1g);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 13; ++x) EXPECT_EQ(dst.GetBit(x, y), src.GetBit(x, y));
}

TEST(FastLinearBits, ProgressOnlyWhenInterpolating) {
  std::vector<int> reported;
  const TKvProgressEvent onProgress = [&](void*, int32_t p) { reported.push_back(p); };
  TKvBitmap src(4, 2, kv1g);
  src.FillWith(1);
  TKvBitmap enlarged(3, 3, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(src, enlarged, rfFastLinear, onProgress));
  EXPECT_EQ(reported, (std::vector<int>{0, 18, 36, 54, 72}));  // as the colour path
  reported.clear();
  TKvBitmap reduced(2, 1, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(src, reduced, rfFastLinear, onProgress));
  EXPECT_TRUE(reported.empty()) << "area averaging reports nothing";
}

TEST(FastLinearBits, Refusals) {
  TKvBitmap bits(8, 8, kv1g);
  bits.FillWith(1);
  TKvBitmap colour(8, 8, kv24RGB);
  colour.FillWith(0);
  for (TResampleFilter f : {rfNone, rfLanczos3, rfNearest, rfProjectBW, rfProjectWB}) {
    TKvBitmap dst(4, 4, kv24RGB);
    dst.FillWith(0);
    EXPECT_FALSE(ResampleBitsFiltered(bits, dst, f)) << int(f);
    EXPECT_EQ(Pixels(dst), std::vector<TKvRGB>(16, Gray(0)));
  }
  TKvBitmap dst(4, 4, kv24RGB);
  EXPECT_FALSE(ResampleBitsFiltered(colour, dst, rfFastLinear)) << "source not kv1g";
  TKvBitmap empty;
  EXPECT_FALSE(ResampleBitsFiltered(empty, dst, rfFastLinear)) << "source without pixels";
}

// ------------------------------------------------------------------------------------------
// The fast linear rules written out per pixel, as a check of the row kernels on many sizes.

struct Size4 {
  int w0, h0, w1, h1;
};
const Size4 kReferenceSizes[] = {
    {37, 23, 11, 7},  {11, 7, 37, 23},  {40, 30, 40, 17}, {13, 9, 29, 5},
    {500, 3, 7, 3},   {1, 1, 5, 4},     {5, 4, 1, 1},     {100, 60, 33, 61},
    {64, 48, 48, 64}, {31, 29, 30, 28}, {300, 40, 37, 9}, {997, 31, 203, 7},
};

long double Ext(double v) {
  return (long double)v;
}

std::vector<TKvRGB> ReferenceColour(const TKvBitmap& src, int w1, int h1) {
  const int w0 = src.Width(), h0 = src.Height();
  const double sx = double(w1) / w0, sy = double(h1) / h0;
  std::vector<std::vector<int>> work(static_cast<size_t>(h0),
                                     std::vector<int>(static_cast<size_t>(w1) * 3));
  auto channel = [](TKvRGB p, int k) { return k == 0 ? p.Blue : k == 1 ? p.Green : p.Red; };
  auto lerp = [](int a, int b, int q) { return a + int(std::floor((b - a) * double(q) / 131072)); };
  for (int y = 0; y < h0; ++y)
    for (int i = 0; i < w1; ++i) {
      const double pos = double(Ext(i) / sx);
      const int left = int(pos);
      const int q = int((Ext(pos) - left) * 131072);
      const int last = int(Ext(std::min(i + 1, w1 - 1)) / sx + 1e-10L);
      for (int k = 0; k < 3; ++k) {
        int v;
        if (sx > 1) {
          v = lerp(channel(src.GetRGB(left, y), k),
                   channel(src.GetRGB(std::min(left + 1, w0 - 1), y), k), q);
        } else {
          int sum = 0;
          for (int x = left; x <= last; ++x) sum += channel(src.GetRGB(x, y), k);
          v = sum / (last - left + 1);
        }
        work[size_t(y)][size_t(i) * 3 + size_t(k)] = v;
      }
    }
  std::vector<TKvRGB> out;
  for (int j = 0; j < h1; ++j)
    for (int i = 0; i < w1; ++i) {
      int c[3];
      for (int k = 0; k < 3; ++k) {
        const size_t at = size_t(i) * 3 + size_t(k);
        if (sy > 1) {
          const double pos = double(Ext(j) / sy);
          const int top = int(pos);
          const int q = int((Ext(pos) - top) * 131072);
          const int below = top + 1 == h0 ? top : top + 1;
          c[k] = lerp(work[size_t(top)][at], work[size_t(below)][at], q);
        } else {
          const int first = int(Ext(j) / sy), last = int(Ext(std::min(j + 1, h1 - 1)) / sy);
          int sum = 0;
          for (int y = first; y <= last; ++y) sum += work[size_t(y)][at];
          c[k] = sum / (last - first + 1);
        }
      }
      out.push_back(TKvRGB{uint8_t(c[0]), uint8_t(c[1]), uint8_t(c[2])});
    }
  return out;
}

std::vector<TKvRGB> ReferenceBits(const TKvBitmap& src, int w1, int h1) {
  const int w0 = src.Width(), h0 = src.Height();
  if (w1 >= w0 || h1 >= h0) {
    TKvBitmap expanded(w0, h0, kv24RGB);
    FillRgb(expanded, [&](int x, int y) { return Gray(src.GetBit(x, y) ? 255 : 0); });
    if (w1 < w0 || h1 < h0) {
      // Interpolation also along the shrinking direction: the colour rules with sx or sy > 1
      // written for this case.
      const double sx = double(w1) / w0, sy = double(h1) / h0;
      std::vector<TKvRGB> out;
      std::vector<std::vector<int>> work(static_cast<size_t>(h0),
                                         std::vector<int>(static_cast<size_t>(w1)));
      auto lerp = [](int a, int b, int q) {
        return a + int(std::floor((b - a) * double(q) / 131072));
      };
      for (int y = 0; y < h0; ++y)
        for (int i = 0; i < w1; ++i) {
          const double pos = double(Ext(i) / sx);
          const int left = int(pos), q = int((Ext(pos) - left) * 131072);
          work[size_t(y)][size_t(i)] = lerp(expanded.GetRGB(left, y).Blue,
                                            expanded.GetRGB(std::min(left + 1, w0 - 1), y).Blue, q);
        }
      for (int j = 0; j < h1; ++j)
        for (int i = 0; i < w1; ++i) {
          const double pos = double(Ext(j) / sy);
          const int top = int(pos), q = int((Ext(pos) - top) * 131072);
          const int below = top + 1 == h0 ? top : top + 1;
          out.push_back(
              Gray(lerp(work[size_t(top)][size_t(i)], work[size_t(below)][size_t(i)], q)));
        }
      return out;
    }
    return ReferenceColour(expanded, w1, h1);
  }
  const double fx = double(w0) / w1, fy = double(h0) / h1;
  std::vector<TKvRGB> out;
  for (int i = 0; i < h1; ++i)
    for (int j = 0; j < w1; ++j) {
      int x1 = int(Ext(j) * fx - Ext(fx) / 2), x2 = int(Ext(j) * fx + Ext(fx) / 2);
      int y1 = int(Ext(i) * fy - Ext(fy) / 2), y2 = int(Ext(i) * fy + (long double)int(fy) / 2);
      x1 = std::max(x1, 0), y1 = std::max(y1, 0);
      x2 = std::min(x2, w0 - 1), y2 = std::min(y2, h0 - 1);
      int set = 0;
      for (int y = y1; y <= y2; ++y)
        for (int x = x1; x <= x2; ++x) set += src.GetBit(x, y);
      out.push_back(Gray(255 * set / ((x2 - x1 + 1) * (y2 - y1 + 1))));
    }
  return out;
}

TEST(FastLinearReference, ColourKernelsMatchThePerPixelRules) {
  std::mt19937 rng(11);
  for (const Size4& s : kReferenceSizes) {
    TKvBitmap src(s.w0, s.h0, kv24RGB);
    FillRgb(src, [&](int, int) { return KvRGB(uint8_t(rng()), uint8_t(rng()), uint8_t(rng())); });
    TKvBitmap dst(s.w1, s.h1, kv24RGB);
    ASSERT_TRUE(ResampleFiltered(src, dst, rfFastLinear));
    EXPECT_EQ(Pixels(dst), ReferenceColour(src, s.w1, s.h1))
        << s.w0 << "x" << s.h0 << " -> " << s.w1 << "x" << s.h1;
  }
}

TEST(FastLinearReference, BitsKernelsMatchThePerPixelRules) {
  std::mt19937 rng(12);
  for (const Size4& s : kReferenceSizes) {
    if (s.w0 == s.w1 && s.h0 == s.h1) continue;
    TKvBitmap src(s.w0, s.h0, kv1g);
    FillBits(src, [&](int, int) { return rng() % 2 == 0; });
    TKvBitmap dst(s.w1, s.h1, kv24RGB);
    ASSERT_TRUE(ResampleBitsFiltered(src, dst, rfFastLinear));
    EXPECT_EQ(Pixels(dst), ReferenceBits(src, s.w1, s.h1))
        << s.w0 << "x" << s.h0 << " -> " << s.w1 << "x" << s.h1;
  }
}

// ------------------------------------------------------------------------------------------
// Storage and threading: pages big enough to be split over threads give the same pixels as the
// row-by-row run (with a progress handler) and as temp-file storage.

class ResampleStorage : public ::testing::Test {
 protected:
  void TearDown() override { TKvBitmap::SetFileThresholdOverride(-1); }
};

// Fills every byte of every row with a pattern that varies along and across rows.
void FillRowBytes(TKvBitmap& b) {
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* r = b.RowPtr(y);
    for (int k = 0; k < b.RowLength(); ++k) r[k] = uint8_t((k * 37 + y * 11) ^ (y >> 2) ^ (k >> 5));
  }
}

template <class Fill, class Run>
void ExpectSameInEveryStorage(TKvPixFormat format, int w0, int h0, int w1, int h1, Fill fill,
                              Run run) {
  auto result = [&](bool tempFile, bool withProgress) {
    TKvBitmap::SetFileThresholdOverride(tempFile ? 0 : -1);
    TKvBitmap src(w0, h0, format);
    TKvBitmap dst(w1, h1, format == kv1g ? kv24RGB : format);
    TKvBitmap::SetFileThresholdOverride(-1);
    EXPECT_EQ(src.Location() == kvTempFile, tempFile);
    fill(src);
    int reports = 0;
    const TKvProgressEvent onProgress = [&](void*, int32_t) { ++reports; };
    EXPECT_TRUE(run(src, dst, withProgress ? onProgress : TKvProgressEvent{}));
    std::vector<uint8_t> bytes;
    const int used = KvRowLength(dst.Width(), dst.BitCount(), 8);
    for (int y = 0; y < dst.Height(); ++y) {
      const uint8_t* r = dst.RowPtr(y);
      bytes.insert(bytes.end(), r, r + used);
    }
    return bytes;
  };
  const std::vector<uint8_t> parallel = result(false, false);
  EXPECT_EQ(result(false, true), parallel) << "row by row";
  EXPECT_EQ(result(true, false), parallel) << "temp-file storage";
}

TEST_F(ResampleStorage, ColourReductionAndEnlargement) {
  auto fill = [](TKvBitmap& b) { FillRowBytes(b); };
  auto run = [](TKvBitmap& s, TKvBitmap& d, const TKvProgressEvent& p) {
    return ResampleFiltered(s, d, rfFastLinear, p);
  };
  ExpectSameInEveryStorage(kv24RGB, 1100, 330, 237, 71, fill, run);
  ExpectSameInEveryStorage(kv24RGB, 1100, 330, 1301, 401, fill, run);
}

TEST_F(ResampleStorage, BitsReductionAndMixed) {
  auto fill = [](TKvBitmap& b) { FillRowBytes(b); };
  auto run = [](TKvBitmap& s, TKvBitmap& d, const TKvProgressEvent& p) {
    return ResampleBitsFiltered(s, d, rfFastLinear, p);
  };
  ExpectSameInEveryStorage(kv1g, 4000, 2200, 500, 275, fill, run);
  ExpectSameInEveryStorage(kv1g, 4000, 2200, 300, 2300, fill, run);
}

TEST_F(ResampleStorage, NearestCopy) {
  auto fill = [](TKvBitmap& b) { FillRowBytes(b); };
  auto run = [](TKvBitmap& s, TKvBitmap& d, const TKvProgressEvent& p) {
    return ResampleNearest(s, d, p);
  };
  ExpectSameInEveryStorage(kv24RGB, 700, 300, 900, 700, fill, run);
}

// ------------------------------------------------------------------------------------------
// Nearest pixel

// 5 x 3 -> 3 x 7: xs = 5/3 takes source columns 0, 1, 3; ys = 3/7 takes rows 0,0,0,1,1,2,2.
constexpr int kNearestColumns[] = {0, 1, 3};
constexpr int kNearestRows[] = {0, 0, 0, 1, 1, 2, 2};

uint8_t PatternByte(int x, int y, int k) {
  return uint8_t(x * 41 + y * 67 + k * 13 + 5);
}

TEST(ResampleNearestCopy, EveryByteFormatCopiesWholePixels) {
  const TKvPixFormat formats[] = {kv8p,   kv8g,    kv16g,    kv24RGB, kv32f,
                                  kvCMYK, kvRGB48, kvCIELab, kv32RGB};
  for (TKvPixFormat f : formats) {
    const int bytes = KvBitsOf(f) / 8;
    TKvBitmap src(5, 3, f);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x)
        for (int k = 0; k < bytes; ++k) src.RowPtr(y)[x * bytes + k] = PatternByte(x, y, k);
    TKvBitmap dst(3, 7, f);
    ASSERT_TRUE(ResampleNearest(src, dst)) << KvPixFormatName(f);
    int mismatches = 0;
    for (int j = 0; j < 7; ++j)
      for (int i = 0; i < 3; ++i)
        for (int k = 0; k < bytes; ++k)
          mismatches +=
              dst.RowPtr(j)[i * bytes + k] != PatternByte(kNearestColumns[i], kNearestRows[j], k);
    EXPECT_EQ(mismatches, 0) << KvPixFormatName(f);
  }
}

TEST(ResampleNearestCopy, BitsAtEveryOffsetAndPaddingUntouched) {
  // 13 x 2 -> 11 x 3: xs = 13/11 takes source columns Trunc(1.1818 i): 0,1,2,3,4,5,7,8,9,10,11;
  // ys = 2/3 takes rows 0, 0, 1.
  const int columns[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11};
  const int rows[] = {0, 0, 1};
  auto bit = [](int x, int y) { return ((x * 5 + y * 3) % 7) < 3; };
  TKvBitmap src(13, 2, kv1g);
  FillBits(src, bit);
  TKvBitmap dst(11, 3, kv1g);
  for (int y = 0; y < 3; ++y) std::memset(dst.RowPtr(y), 0xA5, size_t(dst.RowLength()));
  ASSERT_TRUE(ResampleNearest(src, dst));
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 11; ++x)
      EXPECT_EQ(dst.GetBit(x, y), bit(columns[x], rows[y])) << x << "," << y;
    // Bits 11..15 of byte 1 keep 0xA5's low five bits (00101); later bytes are not written.
    EXPECT_EQ(dst.RowPtr(y)[1] & 0x1F, 0xA5 & 0x1F);
    EXPECT_EQ(dst.RowPtr(y)[2], 0xA5);
  }
}

TEST(ResampleNearestCopy, BitsEnlargedRepeatSourcePixels) {
  // 3 -> 10: xs = 0.3 takes columns 0,0,0,0,1,1,1,2,2,2.
  TKvBitmap src(3, 1, kv1g);
  FillBits(src, [](int x, int) { return x != 1; });
  TKvBitmap dst(10, 1, kv1g);
  ASSERT_TRUE(ResampleNearest(src, dst));
  std::string got;
  for (int x = 0; x < 10; ++x) got += dst.GetBit(x, 0) ? 'W' : 'b';
  EXPECT_EQ(got, "WWWWbbbWWW");
}

TEST(ResampleNearestCopy, PaletteIsCopied) {
  TKvBitmap src(4, 4, kv8p);
  src.FillWith(3);
  for (int i = 0; i < 256; ++i) src.SetPaletteEntry(i, KvRGB(uint8_t(i), uint8_t(255 - i), 9));
  src.PaletteUsed = 17;
  TKvBitmap dst(2, 2, kv8p);
  ASSERT_TRUE(ResampleNearest(src, dst));
  ASSERT_EQ(dst.PaletteLength(), 256);
  EXPECT_EQ(dst.GetPaletteEntry(200), KvRGB(200, 55, 9));
  EXPECT_EQ(dst.PaletteUsed, 17);
  EXPECT_EQ(dst.GetPixelRGB(1, 1), KvRGB(3, 252, 9));
}

TEST(ResampleNearestCopy, DestinationTakesTheSourceFormat) {
  TKvBitmap src(6, 4, kv16g);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) src.SetWord(x, y, uint16_t(x * 1000 + y));
  TKvBitmap dst(3, 2, kv24RGB);
  ASSERT_TRUE(ResampleNearest(src, dst));
  ASSERT_EQ(dst.PixelFormat(), kv16g);
  EXPECT_EQ(dst.GetWord(2, 1), 4002);
}

TEST(ResampleNearestCopy, SameSizeIsACopyAndAccessModesAreRestored) {
  TKvBitmap src(9, 5, kv32RGB);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 9 * 4; ++x) src.RowPtr(y)[x] = uint8_t(x * y + 1);
  TKvBitmap dst(9, 5, kv32RGB);
  ASSERT_TRUE(ResampleNearest(src, dst));
  for (int y = 0; y < 5; ++y) EXPECT_EQ(std::memcmp(src.RowPtr(y), dst.RowPtr(y), 36), 0);
  EXPECT_EQ(src.AccessMode(), kvAccessReadWrite);
  EXPECT_EQ(dst.AccessMode(), kvAccessReadWrite);
}

TEST(ResampleNearestCopy, ReportsOnlyChangedPercentages) {
  {
    // H1 = 3: Q = 100 / 3.5 gives 0, 28, 57.
    TKvBitmap src(2, 2, kv8g), dst(2, 3, kv8g);
    src.FillWith(0);
    std::vector<int> reported;
    ResampleNearest(src, dst, [&](void*, int32_t p) { reported.push_back(p); });
    EXPECT_EQ(reported, (std::vector<int>{0, 28, 57}));
  }
  {
    // H1 = 250: Q < 1, so neighbouring rows often share a value; each is reported once.
    TKvBitmap src(2, 2, kv8g), dst(2, 250, kv8g);
    src.FillWith(0);
    std::vector<int> reported;
    ResampleNearest(src, dst, [&](void*, int32_t p) { reported.push_back(p); });
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.front(), 0);
    EXPECT_EQ(reported.back(), int(249 * (100 / 250.5)));
    EXPECT_TRUE(std::adjacent_find(reported.begin(), reported.end(), std::greater_equal<>()) ==
                reported.end());
  }
}

TEST(ResampleNearestCopy, EmptyBitmapsAreRefused) {
  TKvBitmap empty;
  TKvBitmap dst(2, 2, kv8g);
  dst.FillWith(7);
  EXPECT_FALSE(ResampleNearest(empty, dst));
  EXPECT_EQ(dst.GetByte(1, 1), 7);
  TKvBitmap src(2, 2, kv8g);
  EXPECT_FALSE(ResampleNearest(src, empty));
}

// ------------------------------------------------------------------------------------------
// The general form

TEST(ResampleImageEntry, ChoosesThePathByFilterAndFormat) {
  TKvBitmap bits(8, 8, kv1g);
  FillBits(bits, [](int x, int y) { return (x + y) % 2 == 0; });

  TKvBitmap nearest(4, 4, kv24RGB);
  ASSERT_TRUE(ResampleImage(bits, nearest, rfNone));
  EXPECT_EQ(nearest.PixelFormat(), kv1g);

  TKvBitmap filtered(4, 4, kv1g);
  ASSERT_TRUE(ResampleImage(bits, filtered, rfFastLinear));
  EXPECT_EQ(filtered.PixelFormat(), kv24RGB);
  TKvBitmap direct(4, 4, kv24RGB);
  ASSERT_TRUE(ResampleBitsFiltered(bits, direct, rfFastLinear));
  EXPECT_EQ(Pixels(filtered), Pixels(direct));

  // Projection filters have no path: nothing changes, not even dest's format.
  TKvBitmap projected(4, 4, kv24RGB);
  projected.FillWith(clWhite);
  EXPECT_FALSE(ResampleImage(bits, projected, rfProjectBW));
  EXPECT_EQ(projected.PixelFormat(), kv24RGB);
  EXPECT_EQ(Pixels(projected), std::vector<TKvRGB>(16, Gray(255)));

  TKvBitmap colour(8, 8, kv24RGB);
  colour.FillWith(0x102030);
  TKvBitmap out(3, 3, kv24RGB);
  ASSERT_TRUE(ResampleImage(colour, out, rfFastLinear));
  EXPECT_EQ(out.GetRGB(2, 2), KvRGB(0x30, 0x20, 0x10));
  EXPECT_FALSE(ResampleImage(colour, out, rfMitchell));
}

TEST(ResampleImageEntry, AlphaPlaneFollowsAndTransparentPixelsFilterAsGray) {
  // 2 x 1 -> 3 x 1 enlarging: the middle pixel interpolates between the two source pixels with
  // q = 87381. The right pixel is fully transparent, so it counts as (128, 128, 128):
  // 0 + floor(128 * 87381 / 131072) = 85.
  TKvBitmap src(2, 1, kv24RGB);
  src.SetRGB(0, 0, Gray(0));
  src.SetRGB(1, 0, KvRGB(255, 0, 0));
  TKvBitmap* alpha = src.AlphaPlane();
  ASSERT_NE(alpha, nullptr);
  alpha->SetByte(0, 0, 255);
  alpha->SetByte(1, 0, 0);
  TKvBitmap dst(3, 1, kv24RGB);
  ASSERT_TRUE(ResampleImage(src, dst, rfFastLinear));
  EXPECT_EQ(dst.GetRGB(1, 0), Gray(85));
  EXPECT_EQ(dst.GetRGB(2, 0), Gray(128));
  EXPECT_EQ(src.GetRGB(1, 0), KvRGB(255, 0, 0)) << "the source keeps its colours";
  ASSERT_TRUE(dst.HasAlphaPlane());
  const TKvBitmap* da = dst.ExistingAlphaPlane();
  EXPECT_EQ(da->GetByte(0, 0), 255);
  EXPECT_EQ(da->GetByte(1, 0), 255 - 170);  // 255 + floor(-255 * 87381 / 131072)
  EXPECT_EQ(da->GetByte(2, 0), 0);
  EXPECT_EQ(da->AlphaIsOpaque, alpha->AlphaIsOpaque);

  TKvBitmap near(4, 1, kv24RGB);
  ASSERT_TRUE(ResampleImage(src, near, rfNone));
  ASSERT_TRUE(near.HasAlphaPlane());
  EXPECT_EQ(near.ExistingAlphaPlane()->GetByte(1, 0), 255);
  EXPECT_EQ(near.ExistingAlphaPlane()->GetByte(2, 0), 0);
  EXPECT_EQ(near.GetRGB(3, 0), Gray(128));
}

TEST(ResampleImageEntry, SourceWithoutAlphaDropsTheDestinationPlane) {
  TKvBitmap src(4, 4, kv24RGB);
  src.FillWith(0);
  TKvBitmap dst(2, 2, kv24RGB);
  dst.AlphaPlane();
  ASSERT_TRUE(ResampleImage(src, dst, rfFastLinear));
  EXPECT_FALSE(dst.HasAlphaPlane());
}

}  // namespace
