// Colour quantization: the method chosen, palettes and colour indexes.
#include "image/kvquantize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "image/kvbitmap.h"
#include "image/kvconvert.h"

namespace {

const TKvRGB kSentinel = KvRGB(1, 2, 3);

std::unique_ptr<TKvBitmap> RgbImage(int w, int h) {
  auto bmp = std::make_unique<TKvBitmap>();
  EXPECT_TRUE(bmp->AllocateImage(w, h, kv24RGB));
  return bmp;
}

// Restores the process-wide quantizer settings.
struct TSettingsGuard {
  int algorithm = gKvQuantizerAlgorithm, quality = gKvQuantizerQuality;
  ~TSettingsGuard() {
    gKvQuantizerAlgorithm = algorithm;
    gKvQuantizerQuality = quality;
  }
};

// Four clusters of colours with noise: far more distinct colours than any palette here.
std::unique_ptr<TKvBitmap> ClusterImage(int w, int h, uint32_t seed) {
  const TKvRGB centres[4] = {KvRGB(200, 40, 40), KvRGB(40, 200, 40), KvRGB(40, 40, 200),
                             KvRGB(230, 230, 230)};
  std::mt19937 rng(seed);
  auto img = RgbImage(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const TKvRGB c = centres[(x / 8 + y / 8) % 4];
      auto jitter = [&](uint8_t v) { return uint8_t(v + int(rng() % 9) - 4); };
      img->SetRGB(x, y, KvRGB(jitter(c.Red), jitter(c.Green), jitter(c.Blue)));
    }
  return img;
}

// A smooth photo-like picture with many colours.
std::unique_ptr<TKvBitmap> GradientImage(int w, int h) {
  auto img = RgbImage(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double t = double(x) / w, u = double(y) / h;
      img->SetRGB(x, y,
                  KvRGB(uint8_t(255 * (0.5 + 0.5 * std::sin(6 * t + u))), uint8_t(255 * u),
                        uint8_t(255 * (1 - t) * (0.3 + 0.7 * u))));
    }
  return img;
}

int ColorDistance(TKvRGB a, TKvRGB b) {
  return std::abs(a.Red - b.Red) + std::abs(a.Green - b.Green) + std::abs(a.Blue - b.Blue);
}

// Root mean square error of the image mapped through the quantizer.
double RmsError(const TKvBitmap& img, const TKvQuantizer& q, const std::vector<TKvRGB>& pal) {
  double sum = 0;
  for (int y = 0; y < img.Height(); ++y)
    for (int x = 0; x < img.Width(); ++x) {
      const TKvRGB c = img.GetRGB(x, y);
      const int i = q.ColorIndex(c);
      EXPECT_GE(i, 0);
      EXPECT_LT(i, q.PaletteSize());
      const TKvRGB p = pal[size_t(i)];
      sum += (c.Red - p.Red) * (c.Red - p.Red) + (c.Green - p.Green) * (c.Green - p.Green) +
             (c.Blue - p.Blue) * (c.Blue - p.Blue);
    }
  return std::sqrt(sum / (img.Width() * img.Height()));
}

// RMS error of the image mapped to the nearest colour of a uniform cube with `levels` steps per
// channel: a palette that ignores the image, which a quantizer should beat.
double CubeRmsError(const TKvBitmap& img, int levels) {
  const double step = 255.0 / (levels - 1);
  auto nearest = [&](int v) { return std::nearbyint(v / step) * step; };
  double sum = 0;
  for (int y = 0; y < img.Height(); ++y)
    for (int x = 0; x < img.Width(); ++x) {
      const TKvRGB c = img.GetRGB(x, y);
      for (int v : {int(c.Red), int(c.Green), int(c.Blue)}) sum += std::pow(v - nearest(v), 2);
    }
  return std::sqrt(sum / (img.Width() * img.Height()));
}

TEST(ExactColours, FewColoursAreListedInOrderOfFirstAppearance) {
  const TKvRGB colours[5] = {KvRGB(9, 8, 7), KvRGB(255, 0, 0), KvRGB(0, 0, 255), KvRGB(10, 200, 30),
                             KvRGB(9, 8, 6)};
  auto img = RgbImage(7, 5);
  // Row 0 shows colours 0, 1, 0, 2; row 2 brings 3 and 4; the rest repeats them.
  const int layout[5][7] = {{0, 1, 0, 2, 2, 1, 0},
                            {2, 2, 2, 2, 2, 2, 2},
                            {1, 3, 3, 4, 0, 0, 0},
                            {4, 4, 4, 4, 4, 4, 4},
                            {0, 1, 2, 3, 4, 0, 1}};
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) img->SetRGB(x, y, colours[layout[y][x]]);
  std::vector<TKvRGB> pal(16, kSentinel);
  const TKvQuantizer q(*img, 16, pal);
  EXPECT_EQ(q.Method(), TKvQuantizer::qmExact);
  EXPECT_FALSE(q.IsGray());
  ASSERT_EQ(q.PaletteSize(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(pal[size_t(i)], colours[i]) << i;
    EXPECT_EQ(q.ColorIndex(colours[i]), i);
  }
  EXPECT_EQ(pal[5], kSentinel);  // entries beyond the list keep what they held
  EXPECT_EQ(q.ColorIndex(KvRGB(9, 8, 5)), -1);
}

TEST(ExactColours, OneColourImageGivesOneEntry) {
  auto img = RgbImage(5, 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 5; ++x) img->SetRGB(x, y, KvRGB(200, 100, 50));
  std::vector<TKvRGB> pal(256, kSentinel);
  const TKvQuantizer q(*img, 256, pal);
  EXPECT_EQ(q.Method(), TKvQuantizer::qmExact);
  EXPECT_EQ(q.PaletteSize(), 1);
  EXPECT_EQ(pal[0], KvRGB(200, 100, 50));
  EXPECT_EQ(pal[1], kSentinel);
}

TEST(ExactColours, ExactlyNColoursStillFitsOneMoreDoesNot) {
  auto img = RgbImage(4, 1);
  for (int x = 0; x < 4; ++x) img->SetRGB(x, 0, KvRGB(uint8_t(x * 50), 0, 1));
  std::vector<TKvRGB> pal(4);
  EXPECT_EQ(TKvQuantizer(*img, 4, pal).Method(), TKvQuantizer::qmExact);
  EXPECT_EQ(TKvQuantizer(*img, 3, pal).Method(), TKvQuantizer::qmBoxSplitter);
}

TEST(GrayRamp, GrayRgbImageGetsTheIdentityRamp) {
  auto img = RgbImage(16, 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const uint8_t v = uint8_t(y * 16 + x);
      img->SetRGB(x, y, KvRGB(v, v, v));
    }
  std::vector<TKvRGB> pal(256);
  const TKvQuantizer q(*img, 256, pal);
  EXPECT_TRUE(q.IsGray());
  EXPECT_EQ(q.Method(), TKvQuantizer::qmGrayRamp);
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(pal[size_t(i)], KvRGB(uint8_t(i), uint8_t(i), uint8_t(i)));
  EXPECT_EQ(q.ColorIndex(KvRGB(77, 77, 77)), 77);
}

TEST(GrayRamp, SmallerRampsAndGrayFormats) {
  auto img = std::make_unique<TKvBitmap>(4, 4, kv8g);
  img->FillWith(10);
  std::vector<TKvRGB> pal(3, kSentinel);
  const TKvQuantizer q(*img, 3, pal);
  EXPECT_TRUE(q.IsGray());
  // Entry i = Trunc(256 / 3 * i).
  EXPECT_EQ(pal[0], KvRGB(0, 0, 0));
  EXPECT_EQ(pal[1], KvRGB(85, 85, 85));
  EXPECT_EQ(pal[2], KvRGB(170, 170, 170));
  EXPECT_EQ(q.ColorIndex(KvRGB(85, 0, 0)), 0);  // Trunc(85 * 3 / 256)
  EXPECT_EQ(q.ColorIndex(KvRGB(86, 0, 0)), 1);
  EXPECT_EQ(q.ColorIndex(KvRGB(255, 255, 255)), 2);

  std::vector<TKvRGB> pal16(16);
  const TKvQuantizer q16(*img, 16, pal16);
  EXPECT_EQ(pal16[15], KvRGB(240, 240, 240));
  EXPECT_EQ(q16.ColorIndex(KvRGB(77, 77, 77)), 4);

  // Formats without colour channels count as gray.
  for (TKvPixFormat f : {kv1g, kv16g, kv32f, kvCMYK, kvCIELab}) {
    TKvBitmap other(2, 2, f);
    std::vector<TKvRGB> p(8);
    const TKvQuantizer qo(other, 8, p);
    EXPECT_TRUE(qo.IsGray()) << KvPixFormatName(f);
    EXPECT_EQ(qo.Method(), TKvQuantizer::qmGrayRamp) << KvPixFormatName(f);
  }
}

TEST(SourcePalette, PaletteImageHandsOverItsPalette) {
  TKvBitmap img(2, 2, kv8p);
  for (int i = 0; i < 256; ++i) img.SetPaletteEntry(i, KvRGB(uint8_t(i), 0, 0));
  img.SetPaletteEntry(7, KvRGB(5, 6, 7));
  img.SetPaletteEntry(9, KvRGB(5, 6, 7));
  std::vector<TKvRGB> pal(16, kSentinel);
  const TKvQuantizer q(img, 10, pal);
  EXPECT_EQ(q.Method(), TKvQuantizer::qmSourcePalette);
  EXPECT_FALSE(q.IsGray());
  EXPECT_EQ(q.PaletteSize(), 10);
  EXPECT_EQ(pal[7], KvRGB(5, 6, 7));
  EXPECT_EQ(pal[9], KvRGB(5, 6, 7));
  EXPECT_EQ(pal[10], kSentinel);
  EXPECT_EQ(q.ColorIndex(KvRGB(5, 6, 7)), 7);      // first match
  EXPECT_EQ(q.ColorIndex(KvRGB(200, 0, 0)), 200);  // the whole source palette is searched
  EXPECT_EQ(q.ColorIndex(KvRGB(1, 1, 1)), 256);    // no match: the palette length

  TKvBitmap grayPal(2, 2, kv8p);
  for (int i = 0; i < 256; ++i)
    grayPal.SetPaletteEntry(i, KvRGB(uint8_t(i), uint8_t(i), uint8_t(i)));
  EXPECT_TRUE(TKvQuantizer(grayPal, 256, pal).IsGray());
}

TEST(NoMethod, ColourFormatsOtherThanRgb24GiveIndexZero) {
  TKvBitmap img(2, 1, kvRGB48);
  img.SetRGB48(0, 0, TKvRGB48{100, 200, 300});
  img.SetRGB48(1, 0, TKvRGB48{5, 5, 5});
  std::vector<TKvRGB> pal(4, kSentinel);
  const TKvQuantizer q(img, 4, pal);
  EXPECT_FALSE(q.IsGray());
  EXPECT_EQ(q.Method(), TKvQuantizer::qmNone);
  EXPECT_EQ(q.ColorIndex(KvRGB(1, 2, 3)), 0);
  EXPECT_EQ(pal[0], kSentinel);
}

TEST(AlgorithmChoice, ByColourCountAndBySetting) {
  auto img = ClusterImage(40, 25, 1);  // 1000 pixels of many colours
  std::vector<TKvRGB> pal(256);
  EXPECT_EQ(TKvQuantizer(*img, 16, pal).AlgorithmKind(), 1);
  EXPECT_EQ(TKvQuantizer(*img, 127, pal).AlgorithmKind(), 1);
  EXPECT_EQ(TKvQuantizer(*img, 128, pal).AlgorithmKind(), 0);
  EXPECT_EQ(TKvQuantizer(*img, 256, pal).AlgorithmKind(), 0);
  TSettingsGuard guard;
  gKvQuantizerAlgorithm = 1;
  EXPECT_EQ(TKvQuantizer(*img, 256, pal).AlgorithmKind(), 1);
  gKvQuantizerAlgorithm = 0;
  EXPECT_EQ(TKvQuantizer(*img, 16, pal).AlgorithmKind(), 0);
}

TEST(BoxSplitter, ResolvesClustersIntoNearbyEntries) {
  auto img = ClusterImage(64, 48, 2);
  std::vector<TKvRGB> pal(16, kSentinel);
  const TKvQuantizer q(*img, 16, pal);
  ASSERT_EQ(q.Method(), TKvQuantizer::qmBoxSplitter);
  EXPECT_LE(q.PaletteSize(), 16);
  for (int i = 0; i < q.PaletteSize(); ++i) {
    // Entries are 5-bit means shifted back: multiples of 8.
    EXPECT_EQ(pal[size_t(i)].Red % 8, 0);
    EXPECT_EQ(pal[size_t(i)].Blue % 8, 0);
  }
  // Every pixel maps to an entry within about one 5-bit cell of it.
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      const TKvRGB c = img->GetRGB(x, y);
      const TKvRGB p = pal[size_t(q.ColorIndex(c))];
      ASSERT_LE(std::abs(p.Red - c.Red), 12) << x << "," << y;
      ASSERT_LE(std::abs(p.Green - c.Green), 12) << x << "," << y;
      ASSERT_LE(std::abs(p.Blue - c.Blue), 12) << x << "," << y;
    }
}

TEST(BoxSplitter, BeatsAFixedCubeAndIsDeterministic) {
  auto img = GradientImage(80, 60);
  std::vector<TKvRGB> pal(32), again(32);
  const TKvQuantizer q(*img, 32, pal);
  const TKvQuantizer q2(*img, 32, again);
  ASSERT_EQ(q.Method(), TKvQuantizer::qmBoxSplitter);
  EXPECT_EQ(q.PaletteSize(), 32);
  EXPECT_EQ(pal, again);
  // Colours of one 5-bit cell share their index.
  EXPECT_EQ(q.ColorIndex(KvRGB(96, 96, 96)), q.ColorIndex(KvRGB(103, 103, 103)));
  EXPECT_LT(RmsError(*img, q, pal), CubeRmsError(*img, 3));  // 27 colours
}

TEST(BoxSplitter, StopsWhenEveryBoxIsOneCell) {
  // Nine distinct colours in three 5-bit cells: at most three boxes can be told apart.
  auto img = RgbImage(9, 1);
  const uint8_t bases[3] = {0, 100, 200};
  for (int x = 0; x < 9; ++x) img->SetRGB(x, 0, KvRGB(uint8_t(bases[x / 3] + x % 3), 10, 10));
  std::vector<TKvRGB> pal(8, kSentinel);
  const TKvQuantizer q(*img, 8, pal);
  ASSERT_EQ(q.Method(), TKvQuantizer::qmBoxSplitter);
  EXPECT_EQ(q.PaletteSize(), 3);
  EXPECT_EQ(pal[3], kSentinel);
  std::vector<int> indexes;
  for (int x = 0; x < 9; ++x) indexes.push_back(q.ColorIndex(img->GetRGB(x, 0)));
  EXPECT_EQ(indexes[0], indexes[2]);
  EXPECT_NE(indexes[0], indexes[3]);
  EXPECT_NE(indexes[3], indexes[6]);
}

TEST(Network, GivesADeterministicPaletteThatBeatsAFixedCube) {
  auto img = GradientImage(200, 150);
  std::vector<TKvRGB> pal(256, kSentinel), again(256);
  const TKvQuantizer q(*img, 256, pal);
  const TKvQuantizer q2(*img, 256, again);
  ASSERT_EQ(q.Method(), TKvQuantizer::qmNetwork);
  EXPECT_EQ(q.PaletteSize(), 256);
  EXPECT_EQ(pal, again);
  EXPECT_LT(RmsError(*img, q, pal), CubeRmsError(*img, 6));  // 216 colours
  // A palette colour maps to an entry of that very colour.
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(pal[size_t(q.ColorIndex(pal[size_t(i)]))], pal[size_t(i)]);
}

TEST(Network, IndexIsTheNearestEntry) {
  auto img = ClusterImage(50, 40, 3);
  std::vector<TKvRGB> pal(128);
  const TKvQuantizer q(*img, 128, pal);
  ASSERT_EQ(q.Method(), TKvQuantizer::qmNetwork);
  std::mt19937 rng(11);
  for (int k = 0; k < 500; ++k) {
    const TKvRGB c = KvRGB(uint8_t(rng()), uint8_t(rng()), uint8_t(rng()));
    int best = 1 << 30;
    for (int i = 0; i < 128; ++i) best = std::min(best, ColorDistance(c, pal[size_t(i)]));
    EXPECT_EQ(ColorDistance(c, pal[size_t(q.ColorIndex(c))]), best);
  }
}

TEST(Network, QualitySettingChangesTheSampling) {
  TSettingsGuard guard;
  auto img = GradientImage(200, 150);
  std::vector<TKvRGB> coarse(128), fine(128);
  gKvQuantizerQuality = 0;  // a sample every 30 pixels
  const TKvQuantizer qc(*img, 128, coarse);
  gKvQuantizerQuality = 100;  // every pixel
  const TKvQuantizer qf(*img, 128, fine);
  EXPECT_NE(coarse, fine);
  EXPECT_LT(RmsError(*img, qf, fine), RmsError(*img, qc, coarse));
}

TEST(Conversion, RgbToPaletteUsesTheQuantizer) {
  auto img = GradientImage(60, 40);
  img->ChangePixelFormat(kv8p);
  ASSERT_EQ(img->PixelFormat(), kv8p);
  EXPECT_EQ(img->PaletteLength(), 256);
  auto ref = GradientImage(60, 40);
  std::vector<TKvRGB> pal(256);
  const TKvQuantizer q(*ref, 256, pal);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 60; ++x)
      ASSERT_EQ(img->GetByte(x, y), q.ColorIndex(ref->GetRGB(x, y))) << x << "," << y;
  for (int i = 0; i < 256; ++i) EXPECT_EQ(img->GetPaletteEntry(i), pal[size_t(i)]);
}

}  // namespace
