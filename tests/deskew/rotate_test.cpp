// Tests of rotation: quarter turns, the canvas and inner sizes, the nearest-pixel turn against a
// plain per-pixel reference written here (also for large pictures that are turned on several
// threads and for pictures in temporary files), the fill of the uncovered corners, the undo
// captions and entries, and RotateAndCrop's zero angle.
#include "deskew/rotate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "deskew/kvproc.h"
#include "deskew/kvview.h"

namespace {

TKvRGB Tag(int x, int y) {
  return KvRGB(uint8_t(x & 0xFF), uint8_t(y & 0xFF), uint8_t(((x >> 8) & 0x0F) | ((y >> 8) << 4)));
}

void FillRandom(TKvBitmap& image, unsigned seed) {
  std::mt19937 random(seed);
  const int bytes = (image.Width() * image.BitCount() + 7) / 8;
  for (int y = 0; y < image.Height(); ++y) {
    uint8_t* row = image.RowPtr(y);
    for (int i = 0; i < bytes; ++i) row[i] = uint8_t(random());
  }
}

// The reference turn: every destination pixel looked up by the inverse turn, rounded to nearest
// (halves to even), one pixel at a time through the bitmap's own accessors.
void ReferenceTurn(const TKvBitmap& src, double angle, bool fillWhite, const uint8_t* fill,
                   TKvBitmap& dst) {
  const double theta = double(static_cast<long double>(angle) * 3.1415926535897932385L / 180.0L);
  const double c = std::cos(theta), s = std::sin(theta);
  const int w = src.Width(), h = src.Height();
  const int dw = int(std::nearbyint(std::fabs(c * w) + std::fabs(s * h)));
  const int dh = int(std::nearbyint(std::fabs(s * w) + std::fabs(c * h)));
  ASSERT_TRUE(dst.AllocateImage(dw, dh, src.PixelFormat()));
  const int bpp = src.BitCount() / 8;
  for (int y = 0; y < dh; ++y)
    for (int x = 0; x < dw; ++x) {
      const double colX = (x - (dw - 1) / 2.0) * c + (w - 1) / 2.0;
      const double colY = (x - (dw - 1) / 2.0) * s + (h - 1) / 2.0;
      const int sx = int(std::nearbyint(colX - (y - (dh - 1) / 2.0) * s));
      const int sy = int(std::nearbyint(colY + (y - (dh - 1) / 2.0) * c));
      const bool inside = sx >= 0 && sx < w && sy >= 0 && sy < h;
      if (src.PixelFormat() == kv1g) {
        dst.SetBit(x, y, inside ? src.GetBit(sx, sy) : fillWhite);
      } else {
        const uint8_t* from = inside ? src.RowPtr(sy) + size_t(sx) * bpp : fill;
        std::memcpy(dst.RowPtr(y) + size_t(x) * bpp, from, size_t(bpp));
      }
    }
}

void ExpectSamePixels(const TKvBitmap& a, const TKvBitmap& b, const std::string& what) {
  ASSERT_EQ(a.Width(), b.Width()) << what;
  ASSERT_EQ(a.Height(), b.Height()) << what;
  ASSERT_EQ(a.PixelFormat(), b.PixelFormat()) << what;
  const int bytes = a.Width() * a.BitCount() / 8;
  int mismatches = 0;
  for (int y = 0; y < a.Height() && mismatches < 5; ++y) {
    if (a.PixelFormat() == kv1g) {
      for (int x = 0; x < a.Width(); ++x)
        if (a.GetBit(x, y) != b.GetBit(x, y)) {
          ADD_FAILURE() << what << ": bit " << x << "," << y;
          if (++mismatches >= 5) break;
        }
    } else {
      std::vector<uint8_t> rowA(a.RowPtr(y), a.RowPtr(y) + bytes);
      if (std::memcmp(rowA.data(), b.RowPtr(y), size_t(bytes)) != 0) {
        ADD_FAILURE() << what << ": row " << y;
        ++mismatches;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Quarter turns

// A 3 x 2 picture a b c / d e f turned by each quarter; expected rows as letters.
struct TQuarterCase {
  double Angle;
  int Width, Height;
  const char* Rows;
};

TEST(QuarterTurns, ReArrangePixelsExactly) {
  const TQuarterCase cases[] = {
      {90, 2, 3, "cfbead"},  {-90, 2, 3, "daebfc"},  {270, 2, 3, "daebfc"}, {-270, 2, 3, "cfbead"},
      {180, 3, 2, "fedcba"}, {-180, 3, 2, "fedcba"}, {360, 3, 2, "abcdef"}, {450, 2, 3, "cfbead"},
  };
  for (TKvPixFormat format : {kv8g, kv24RGB, kvRGB48}) {
    for (const TQuarterCase& c : cases) {
      TKvProc proc;
      TKvBitmap& image = *proc.Image();
      ASSERT_TRUE(image.AllocateImage(3, 2, format));
      const char* letters = "abcdef";
      for (int i = 0; i < 6; ++i) {
        const uint8_t v = uint8_t(letters[i]);
        if (format == kv8g) image.SetByte(i % 3, i / 3, v);
        if (format == kv24RGB) image.SetRGB(i % 3, i / 3, KvRGB(v, v, v));
        if (format == kvRGB48) image.SetRGB48(i % 3, i / 3, TKvRGB48{uint16_t(v), 0, 0});
      }
      proc.Rotate(c.Angle);
      ASSERT_EQ(image.Width(), c.Width) << c.Angle;
      ASSERT_EQ(image.Height(), c.Height) << c.Angle;
      std::string got;
      for (int y = 0; y < c.Height; ++y)
        for (int x = 0; x < c.Width; ++x)
          got += char(format == kv8g      ? image.GetByte(x, y)
                      : format == kv24RGB ? image.GetRGB(x, y).Red
                                          : image.GetRGB48(x, y).Red);
      EXPECT_EQ(got, c.Rows) << "angle " << c.Angle << " " << KvPixFormatName(format);
    }
  }
}

TEST(QuarterTurns, BilevelTurnsBitForBit) {
  TKvBitmap source(13, 9, kv1g);
  FillRandom(source, 7);
  TKvProc proc;
  proc.Image()->CopyFrom(source);
  proc.Rotate(90);
  ASSERT_EQ(proc.Image()->Width(), 9);
  ASSERT_EQ(proc.Image()->Height(), 13);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 13; ++x)
      ASSERT_EQ(proc.Image()->GetBit(y, 12 - x), source.GetBit(x, y)) << x << "," << y;
}

// ---------------------------------------------------------------------------------------------
// Sizes

TEST(RotationSizes, CanvasAndInnerSizes) {
  int w, h;
  KvRotatedSize(100, 80, 1.0, w, h);
  EXPECT_EQ(w, 101);
  EXPECT_EQ(h, 82);
  struct {
    int W, H;
    double Angle;
    int InnerW, InnerH;
  } const cases[] = {
      {100, 80, 1.0, 98, 78},
      {2480, 3508, 1.0, 2419, 3466},
      {2480, 3508, -0.3, 2461, 3495},
      {100, 80, 0.0, 99, 79},  // the search alone settles one pixel short
  };
  for (const auto& c : cases) {
    KvInnerSize(c.W, c.H, c.Angle, w, h);
    EXPECT_EQ(w, c.InnerW) << c.W << "x" << c.H << " at " << c.Angle;
    EXPECT_EQ(h, c.InnerH) << c.W << "x" << c.H << " at " << c.Angle;
  }
}

// The inner-size search as written: every pair in order, without the pre-selection.
void PlainInnerSize(int width, int height, double angle, int& iw, int& ih) {
  iw = ih = 0;
  const double t =
      std::fabs(double(static_cast<long double>(angle) * 3.1415926535897932385L / 180.0L));
  const double c = std::cos(t), s = std::sin(t);
  const int n = int(std::sqrt(double(width) * width + double(height) * height));
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) {
      const double r = double(i) / double(j);
      const long double m = std::trunc((long double)i * c + ((long double)i / r) * s);
      const long double o = std::trunc((long double)j * c + ((long double)j * r) * s);
      if (m >= width - 1 && m <= width + 1 && o >= height - 1 && o <= height + 1) {
        iw = i;
        ih = j;
        return;
      }
    }
}

TEST(RotationSizes, InnerSizeSearchMatchesThePlainSearch) {
  const double angles[] = {0.05, 0.3, -1.7, 3.3, 7.25, -12.5, 30, 44.9, 60, 89.5, 120, 179};
  const int sizes[][2] = {{40, 30}, {31, 57}, {64, 64}, {17, 5}};
  for (const auto& size : sizes)
    for (double angle : angles) {
      int w, h, pw, ph;
      KvInnerSize(size[0], size[1], angle, w, h);
      PlainInnerSize(size[0], size[1], angle, pw, ph);
      EXPECT_EQ(w, pw) << size[0] << "x" << size[1] << " at " << angle;
      EXPECT_EQ(h, ph) << size[0] << "x" << size[1] << " at " << angle;
    }
}

// ---------------------------------------------------------------------------------------------
// Nearest-pixel turn

TEST(NearestTurn, MatchesTheReferenceForEveryLayout) {
  struct {
    TKvPixFormat Format;
    int W, H;
    double Angle;
  } const cases[] = {
      {kv24RGB, 37, 23, 0.3},   {kv24RGB, 40, 60, -1.7}, {kv8g, 33, 21, 5.0},
      {kv8g, 20, 20, 45.0},     {kv1g, 45, 31, 2.0},     {kv1g, 29, 50, -13.3},
      {kv16g, 19, 11, 133.3},   {kvRGB48, 12, 17, 7.5},  {kv32RGB, 25, 14, -0.9},
      {kv24RGB, 640, 480, 1.7},  // large enough for several threads
      {kv1g, 700, 500, -2.3},
  };
  for (const auto& c : cases) {
    TKvBitmap source(c.W, c.H, c.Format);
    FillRandom(source, unsigned(c.W * 31 + c.H));
    TKvBitmap expected;
    const uint8_t fill[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    ReferenceTurn(source, c.Angle, false, fill, expected);
    TKvProc proc;
    proc.Image()->CopyFrom(source);
    proc.Rotate(c.Angle);  // the processor's own background: black
    ExpectSamePixels(*proc.Image(), expected,
                     std::string(KvPixFormatName(c.Format)) + " at " + std::to_string(c.Angle));
  }
}

TEST(NearestTurn, PicturesInTemporaryFilesTurnTheSame) {
  TKvBitmap source(300, 200, kv24RGB);
  FillRandom(source, 3);
  TKvBitmap expected;
  const uint8_t white[3] = {255, 255, 255};
  ReferenceTurn(source, -3.1, true, white, expected);
  TKvBitmap::SetFileThresholdOverride(1000);
  {
    TKvProc proc;
    proc.Image()->CopyFrom(source);
    EXPECT_EQ(proc.Image()->Location(), kvTempFile);
    proc.Rotate(-3.1, false, 0, int32_t(clWhite));
    ExpectSamePixels(*proc.Image(), expected, "temporary file");
  }
  TKvBitmap::SetFileThresholdOverride(-1);
}

TEST(NearestTurn, PositiveAngleTurnsCounterClockwise) {
  // A dark 3 x 3 block right of the centre of a white page moves up when turned by +20 degrees.
  TKvProc proc;
  TKvBitmap& image = *proc.Image();
  ASSERT_TRUE(image.AllocateImage(101, 101, kv8g));
  image.FillWith(255);
  for (int y = 49; y <= 51; ++y)
    for (int x = 79; x <= 81; ++x) image.SetByte(x, y, 0);
  proc.Rotate(20, false, 0, int32_t(clWhite));
  double sx = 0, sy = 0;
  int count = 0;
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x)
      if (image.GetByte(x, y) == 0) sx += x, sy += y, ++count;
  ASSERT_GT(count, 0);
  const double centre = (image.Width() - 1) / 2.0;
  const double rad = 20 * M_PI / 180;
  EXPECT_NEAR(sx / count, centre + 30 * std::cos(rad), 1.0);
  EXPECT_NEAR(sy / count, (image.Height() - 1) / 2.0 - 30 * std::sin(rad), 1.0);
}

// The uncovered corners take the background, also on a bilevel page.
TEST(NearestTurn, CornersTakeTheBackgroundInEveryFormat) {
  struct {
    TKvPixFormat Format;
    TColor Background;
    bool White;
  } const cases[] = {
      {kv1g, clWhite, true},    {kv1g, clBlack, false}, {kv1g, 0xC0C0C0, true},
      {kv24RGB, clWhite, true}, {kv8g, clWhite, true},  {kv24RGB, clBlack, false},
  };
  for (const auto& c : cases) {
    TKvView view;
    TKvBitmap& image = view.Bitmap();
    ASSERT_TRUE(image.AllocateImage(40, 30, c.Format));
    image.FillWith(c.Format == kv1g ? 0 : c.White ? 0 : 0xFFFFFF);  // content of the other shade
    view.Update();
    view.Background = c.Background;
    view.Proc().Rotate(2);
    const int w = image.Width(), h = image.Height();
    for (auto [x, y] : {std::pair{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}}) {
      const TKvRGB p = image.GetPixelRGB(x, y);
      EXPECT_EQ(p.Red, c.White ? 255 : 0)
          << KvPixFormatName(c.Format) << " corner " << x << "," << y;
    }
    const TKvRGB middle = image.GetPixelRGB(w / 2, h / 2);
    EXPECT_EQ(middle.Red, (c.Format == kv1g || c.White) ? 0 : 255) << "content kept";
  }
}

TEST(NearestTurn, PaletteAndAlphaPlaneGoAlong) {
  TKvProc proc;
  TKvBitmap& image = *proc.Image();
  ASSERT_TRUE(image.AllocateImage(20, 10, kv8p));
  for (int i = 0; i < 256; ++i) image.SetPaletteEntry(i, KvRGB(uint8_t(i), 0, uint8_t(255 - i)));
  image.FillWith(3);
  image.AlphaPlane()->FillWith(200);
  proc.SetBackground(clWhite);
  proc.Rotate(10);
  EXPECT_EQ(image.GetPaletteEntry(3), KvRGB(3, 0, 252));
  EXPECT_EQ(image.GetByte(0, 0), 255) << "white background: palette entry 255";
  EXPECT_EQ(image.GetByte(image.Width() / 2, image.Height() / 2), 3);
  ASSERT_TRUE(image.HasAlphaPlane());
  const TKvBitmap* alpha = image.ExistingAlphaPlane();
  EXPECT_EQ(alpha->Width(), image.Width());
  EXPECT_EQ(alpha->Height(), image.Height());
  EXPECT_EQ(alpha->GetByte(0, 0), 0) << "uncovered alpha is transparent";
  EXPECT_EQ(alpha->GetByte(image.Width() / 2, image.Height() / 2), 200);
}

TEST(NearestTurn, ProgressAfterEveryRowInOrder) {
  TKvProc proc;
  ASSERT_TRUE(proc.Image()->AllocateImage(600, 500, kv8g));  // turned on several threads
  proc.Image()->FillWith(128);
  std::vector<int> percents;
  int finished = 0;
  proc.OnProgress = [&](void* sender, int32_t p) {
    EXPECT_EQ(sender, &proc);
    percents.push_back(p);
  };
  proc.OnFinishWork = [&](void*) { ++finished; };
  proc.Rotate(1.5);
  const int rows = proc.Image()->Height();
  ASSERT_EQ(int(percents.size()), rows + 1);
  for (int y = 0; y < rows; ++y) ASSERT_EQ(percents[size_t(y)], int(y * (100.0 / rows))) << y;
  EXPECT_EQ(percents.back(), 100);
  EXPECT_EQ(finished, 1);
}

// A quarter turn re-arranges the pixels without mapping them row by row: only the finish
// reports, on any size of picture.
TEST(NearestTurn, QuarterTurnsReportOnlyTheFinish) {
  for (double angle : {90.0, -90.0, 180.0, 360.0}) {
    TKvProc proc;
    ASSERT_TRUE(proc.Image()->AllocateImage(600, 500, kv8g));
    proc.Image()->FillWith(128);
    std::vector<int> percents;
    proc.OnProgress = [&](void*, int32_t p) { percents.push_back(p); };
    proc.Rotate(angle);
    EXPECT_EQ(percents, std::vector<int>{100}) << angle;
  }
}

// ---------------------------------------------------------------------------------------------
// Processor operations: undo entries, captions, refusals

TEST(RotateOperations, ZeroAngleAndSameSizeDoNothing) {
  TKvProc proc;
  proc.AutoUndo = true;
  ASSERT_TRUE(proc.Image()->AllocateImage(10, 8, kv8g));
  int events = 0;
  proc.OnFinishWork = [&](void*) { ++events; };
  proc.OnSaveUndo = [&](void*, TKvUndoSource) { ++events; };
  proc.Rotate(0);
  proc.ImageResize(10, 8, 1, 1, 255);
  proc.ImageResize(0, 5, 1, 1, 255);
  EXPECT_EQ(events, 0);
  EXPECT_EQ(proc.UndoCount(), 0);
  TKvProc empty;
  empty.AutoUndo = true;
  empty.RotateAndCrop(1.0);
  empty.Rotate(5);
  EXPECT_TRUE(empty.Image()->IsEmpty());
}

TEST(RotateOperations, CaptionsAndEntriesOfRotateAndCrop) {
  TKvProc proc;
  proc.AutoUndo = true;
  proc.UndoLimit = 3;
  ASSERT_TRUE(proc.Image()->AllocateImage(100, 80, kv24RGB));
  for (int y = 0; y < 80; ++y)
    for (int x = 0; x < 100; ++x) proc.Image()->SetRGB(x, y, Tag(x, y));
  proc.RotateAndCrop(1.0);
  EXPECT_EQ(proc.Image()->Width(), 98);
  EXPECT_EQ(proc.Image()->Height(), 78);
  ASSERT_EQ(proc.UndoCount(), 3);
  EXPECT_EQ(proc.UndoCaption(2), "RotateAndCrop");
  EXPECT_EQ(proc.UndoCaption(1), "Rotate 1");
  EXPECT_EQ(proc.UndoCaption(0), "ImageResize 98,78");
  EXPECT_EQ(proc.UndoImage(2)->Width(), 100);
  EXPECT_EQ(proc.UndoImage(1)->Width(), 100);
  EXPECT_EQ(proc.UndoImage(0)->Width(), 101) << "the turned, uncut image";
  EXPECT_EQ(proc.UndoImage(0)->Height(), 82);
  // The centre of the page stays the centre: cut centred from 101 x 82.
  EXPECT_EQ(proc.Image()->GetRGB(48, 38), proc.UndoImage(0)->GetRGB(49, 40));
}

// With the jobs' depth of one only the last entry survives: the turned, uncut page.
TEST(RotateOperations, DepthOneKeepsTheCutsEntryAndNoStaleCopy) {
  TKvView view;
  TKvBitmap& image = view.Bitmap();
  ASSERT_TRUE(image.AllocateImage(100, 80, kv24RGB));
  for (int y = 0; y < 80; ++y)
    for (int x = 0; x < 100; ++x) image.SetRGB(x, y, Tag(x, y));
  view.Update();
  TKvProc& proc = view.Proc();
  std::vector<TKvUndoSource> saves;
  proc.OnSaveUndo = [&](void*, TKvUndoSource s) { saves.push_back(s); };
  proc.RotateAndCrop(1.0);
  EXPECT_EQ(saves.size(), 3u) << "every step saves";
  ASSERT_EQ(proc.UndoCount(), 1);
  EXPECT_EQ(proc.UndoCaption(0), "ImageResize 98,78");
  EXPECT_EQ(proc.UndoImage(0)->Width(), 101);
  proc.Undo(false);
  EXPECT_EQ(image.Width(), 101);

  // A zero angle saves the unturned page; what is saved next is the image as it is then.
  ASSERT_TRUE(image.AllocateImage(100, 80, kv24RGB));
  image.FillWith(0x010203);
  proc.RotateAndCrop(0);
  EXPECT_EQ(proc.UndoCaption(0), "RotateAndCrop");
  image.FillWith(0x0A0B0C);
  proc.Rotate(3);
  ASSERT_EQ(proc.UndoCount(), 1);
  EXPECT_EQ(proc.UndoCaption(0), "Rotate 3");
  EXPECT_EQ(proc.UndoImage(0)->Width(), 100);
  TKvBitmap saved;
  saved.CopyFrom(*proc.UndoImage(0));
  EXPECT_EQ(saved.GetRGB(50, 40), KvRGB(0x0C, 0x0B, 0x0A));
}

TEST(RotateOperations, AngleCaptionText) {
  EXPECT_EQ(KvAngleText(0.5), "0.5");
  EXPECT_EQ(KvAngleText(1.7), "1.7");
  EXPECT_EQ(KvAngleText(-0.3), "-0.3");
  EXPECT_EQ(KvAngleText(90), "90");
  EXPECT_EQ(KvAngleText(0.00001), "1E-5");
  TKvProc proc;
  proc.AutoUndo = true;
  ASSERT_TRUE(proc.Image()->AllocateImage(10, 8, kv8g));
  proc.Rotate(0.5);
  EXPECT_EQ(proc.UndoCaption(0), "Rotate 0.5");
}

TEST(RotateOperations, ZeroAngleKeepsThePageWhole) {
  TKvProc proc;
  proc.AutoUndo = true;
  ASSERT_TRUE(proc.Image()->AllocateImage(100, 80, kv24RGB));
  for (int y = 0; y < 80; ++y)
    for (int x = 0; x < 100; ++x) proc.Image()->SetRGB(x, y, Tag(x, y));
  int finished = 0;
  proc.OnFinishWork = [&](void*) { ++finished; };
  proc.RotateAndCrop(0);
  EXPECT_EQ(proc.Image()->Width(), 100);
  EXPECT_EQ(proc.Image()->Height(), 80);
  EXPECT_EQ(proc.Image()->GetRGB(99, 79), Tag(99, 79)) << "last row and column kept";
  EXPECT_EQ(proc.UndoCaption(0), "RotateAndCrop") << "the undo entry is still saved";
  EXPECT_EQ(finished, 1);
  // A quarter turn is exact as well: nothing is cut.
  proc.RotateAndCrop(90);
  EXPECT_EQ(proc.Image()->Width(), 80);
  EXPECT_EQ(proc.Image()->Height(), 100);
  EXPECT_EQ(proc.Image()->GetRGB(79, 0), Tag(99, 79));
}

// Every whole multiple of 90 degrees turns the page exactly and cuts nothing; only the turns
// that are the identity leave it as it was.
TEST(RotateOperations, QuarterTurnsOfRotateAndCropAreExactAndWhole) {
  const double angles[] = {90, -90, 180, -180, 270, -270, 360, -360, 450, 720};
  for (TKvPixFormat format : {kv24RGB, kv1g}) {
    TKvBitmap page(13, 9, format);
    FillRandom(page, 11);
    for (double angle : angles) {
      const std::string what =
          std::string(KvPixFormatName(format)) + " at " + std::to_string(angle);
      TKvProc turned;
      turned.Image()->CopyFrom(page);
      turned.Rotate(angle);
      TKvView view;
      view.Bitmap().CopyFrom(page);
      view.Update();
      view.Background = clWhite;
      view.Proc().RotateAndCrop(angle);
      const bool sideways = int64_t(angle) % 180 != 0;
      EXPECT_EQ(view.Bitmap().Width(), sideways ? 9 : 13) << what;
      EXPECT_EQ(view.Bitmap().Height(), sideways ? 13 : 9) << what;
      ExpectSamePixels(view.Bitmap(), *turned.Image(), what);
      if (int64_t(angle) % 360 == 0) ExpectSamePixels(view.Bitmap(), page, what + " (identity)");
    }
  }
}

TEST(RotateOperations, ImageResizeCentresAndFillsWithBackground) {
  TKvProc proc;
  proc.AutoUndo = true;
  proc.SetBackground(0x0000FF);
  ASSERT_TRUE(proc.Image()->AllocateImage(10, 6, kv24RGB));
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 10; ++x) proc.Image()->SetRGB(x, y, Tag(x, y));
  proc.ImageResize(15, 4, 1, 1, 255);
  EXPECT_EQ(proc.UndoCaption(0), "ImageResize 15,4");
  ASSERT_EQ(proc.Image()->Width(), 15);
  EXPECT_EQ(proc.Image()->GetRGB(2, 0), Tag(0, 1));  // (15-10)/2 = 2, (4-6)/2 = -1
  EXPECT_EQ(proc.Image()->GetRGB(0, 0), KvRGB(255, 0, 0));
  EXPECT_FALSE(proc.Image()->HasAlphaPlane());
  proc.ImageResize(17, 4, 0, 0, 0);
  ASSERT_TRUE(proc.Image()->HasAlphaPlane());
  EXPECT_EQ(proc.Image()->ExistingAlphaPlane()->GetByte(16, 0), 0);
  EXPECT_EQ(proc.Image()->ExistingAlphaPlane()->GetByte(0, 0), 255);
}

}  // namespace
