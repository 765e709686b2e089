// Tests of the skew measurement: accuracy on synthetic pages turned by known angles (with a
// rotation written here, not the engine's), the table of vote images, refusals and progress.
#include "deskew/measureskew.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "deskew/kvview.h"
#include "deskew/skewvote.h"

namespace {

constexpr double kDegrees = M_PI / 180.0;
// Settings the program passes by default.
constexpr int32_t kResampleWidth = 500;
constexpr int32_t kAngleRange = 40;
constexpr double kPrecision = 0.1;
// An angle within this many degrees counts as measured right: one step of 0.1 degree and a
// little for the rounding of a synthetic page.
constexpr double kTolerance = 0.15;

// ---------------------------------------------------------------------------------------------
// Synthetic pages: gray levels, 0 black .. 255 white, row after row.

struct TGrayPage {
  int width = 0, height = 0;
  std::vector<uint8_t> gray;
  uint8_t& At(int x, int y) { return gray[size_t(y) * width + x]; }
  uint8_t At(int x, int y) const { return gray[size_t(y) * width + x]; }
};

void FillBlock(TGrayPage& page, int x0, int y0, int x1, int y1) {
  for (int y = std::max(0, y0); y < std::min(page.height, y1); ++y)
    for (int x = std::max(0, x0); x < std::min(page.width, x1); ++x) page.At(x, y) = 0;
}

// One line of words between x0 and x1 with its ink from `top` to `top + ink`.
void WordLine(TGrayPage& page, std::mt19937& random, int x0, int x1, int top, int ink) {
  std::uniform_int_distribution<int> wordLength(page.width / 60 + 4, page.width / 9);
  std::uniform_int_distribution<int> gap(page.width / 120 + 3, page.width / 70 + 5);
  std::uniform_int_distribution<int> lift(0, ink / 4);  // taller letters here and there
  for (int x = x0; x < x1;) {
    const int end = std::min(x1, x + wordLength(random));
    FillBlock(page, x, top - lift(random), end, top + ink);
    x = end + gap(random);
  }
}

// A page of a heading, then two columns of paragraphs (indented first lines, short last
// lines), with optional specks of noise.
TGrayPage UprightPage(int width, int height, unsigned seed, double noise = 0.0,
                      int inkOverride = 0) {
  TGrayPage page{width, height, std::vector<uint8_t>(size_t(width) * height, 255)};
  std::mt19937 random(seed);
  const int margin = width / 10, pitch = std::max(8, height / 55);
  const int ink = inkOverride > 0 ? inkOverride : pitch / 2;
  const int gutter = width / 20, columnWidth = (width - 2 * margin - gutter) / 2;
  WordLine(page, random, margin + width / 6, width - margin - width / 6, margin, 2 * ink);
  std::uniform_int_distribution<int> paragraphLines(3, 9);
  for (int column = 0; column < 2; ++column) {
    const int left = margin + column * (columnWidth + gutter), right = left + columnWidth;
    int top = margin + 4 * pitch;
    while (top < height - margin - pitch) {
      const int lines = paragraphLines(random);
      for (int i = 0; i < lines && top < height - margin - pitch; ++i, top += pitch) {
        const int indent = i == 0 ? columnWidth / 12 : 0;
        const int end = i == lines - 1 ? left + columnWidth / 2 : right;
        WordLine(page, random, left + indent, end, top, ink);
      }
      top += pitch;  // blank line between paragraphs
    }
  }
  std::bernoulli_distribution speck(noise);
  if (noise > 0)
    for (uint8_t& g : page.gray)
      if (speck(random)) g = 0;
  return page;
}

double Sample(const TGrayPage& page, double x, double y) {
  const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
  const double fx = x - x0, fy = y - y0;
  auto at = [&](int px, int py) -> double {
    if (px < 0 || py < 0 || px >= page.width || py >= page.height) return 255.0;
    return page.At(px, py);
  };
  return (at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) +
         (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy;
}

// Turns the page about its centre so that horizontal lines get the slope angle `degrees`
// (positive: descending to the right, y growing with x): each output pixel is sampled
// bilinearly at its inversely turned position; what comes from outside the page is white.
TGrayPage TurnedPage(const TGrayPage& page, double degrees) {
  TGrayPage out{page.width, page.height, std::vector<uint8_t>(page.gray.size())};
  const double c = std::cos(degrees * kDegrees), s = std::sin(degrees * kDegrees);
  const double cx = (page.width - 1) / 2.0, cy = (page.height - 1) / 2.0;
  for (int y = 0; y < page.height; ++y)
    for (int x = 0; x < page.width; ++x) {
      const double dx = x - cx, dy = y - cy;
      const double v = Sample(page, cx + dx * c + dy * s, cy - dx * s + dy * c);
      out.At(x, y) = uint8_t(std::lround(v));
    }
  return out;
}

// kv24RGB on slightly tinted paper; ink stays dark.
std::unique_ptr<TKvBitmap> ColourBitmap(const TGrayPage& page) {
  auto bitmap = std::make_unique<TKvBitmap>(page.width, page.height, kv24RGB);
  for (int y = 0; y < page.height; ++y) {
    uint8_t* row = bitmap->RowPtr(y);
    for (int x = 0; x < page.width; ++x) {
      const int g = page.At(x, y);
      row[3 * x] = uint8_t(g * 235 / 255);      // blue
      row[3 * x + 1] = uint8_t(g * 245 / 255);  // green
      row[3 * x + 2] = uint8_t(g * 250 / 255);  // red
    }
  }
  return bitmap;
}

// kv1g: black where the gray is below the middle.
std::unique_ptr<TKvBitmap> BitsBitmap(const TGrayPage& page) {
  auto bitmap = std::make_unique<TKvBitmap>(page.width, page.height, kv1g);
  for (int y = 0; y < page.height; ++y) {
    uint8_t* row = bitmap->RowPtr(y);
    std::memset(row, 0xFF, bitmap->RowLength());
    for (int x = 0; x < page.width; ++x)
      if (page.At(x, y) < 128) row[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
  }
  return bitmap;
}

double Measure(const TKvBitmap& bitmap, bool edgeDetect, int32_t resampleWidth = kResampleWidth) {
  return MeasureSkew(bitmap, resampleWidth, kAngleRange, kPrecision, edgeDetect, nullptr, nullptr);
}

bool SameBytes(const TKvBitmap& a, const TKvBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat())
    return false;
  const size_t used = (size_t(a.Width()) * a.BitCount() + 7) / 8;
  for (int y = 0; y < a.Height(); ++y)
    if (std::memcmp(a.RowPtr(y), b.RowPtr(y), used) != 0) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Accuracy

TEST(MeasureSkewAccuracy, TestRotationTurnsLinesDownToTheRight) {
  // The test's own convention: a dark dot right of the centre moves down for a positive angle.
  TGrayPage page{101, 101, std::vector<uint8_t>(101 * 101, 255)};
  FillBlock(page, 89, 49, 92, 52);
  const TGrayPage turned = TurnedPage(page, 10.0);
  int darkestY = 0, darkest = 256;
  for (int y = 0; y < 101; ++y)
    if (turned.At(90, y) < darkest) darkest = turned.At(90, y), darkestY = y;
  EXPECT_GT(darkestY, 50 + 4);
}

struct TAngleCase {
  double degrees;
  unsigned seed;
  double noise;
};

const TAngleCase kAngles[] = {
    {0.0, 1, 0.0},  {0.3, 2, 0.0},     {-0.3, 3, 0.002}, {1.0, 4, 0.0},
    {-1.7, 5, 0.0}, {2.5, 6, 0.001},   {-4.2, 7, 0.0},   {7.25, 8, 0.0},
    {-9.6, 9, 0.0}, {12.0, 10, 0.002}, {-15.0, 11, 0.0}, {15.0, 12, 0.0},
};

// Edge maps: the outlines of ordinary text (ink bands about 14 pixels high on the full page).
TEST(MeasureSkewAccuracy, EdgeMapsOfTurnedPagesGiveTheAngle) {
  for (const TAngleCase& ac : kAngles) {
    SCOPED_TRACE(testing::Message() << "angle " << ac.degrees);
    const TGrayPage page = TurnedPage(UprightPage(1200, 1600, ac.seed, ac.noise), ac.degrees);
    EXPECT_NEAR(Measure(*ColourBitmap(page), true), ac.degrees, kTolerance) << "kv24RGB";
    EXPECT_NEAR(Measure(*BitsBitmap(page), true), ac.degrees, kTolerance) << "kv1g";
  }
}

// Voting with the page's own pixels: a band of ink t pixels high and L long collects nearly
// all its votes at every angle within about t / L radians of the true one, so this is exact
// only for thin strokes. The pages here are written with a fine pen (3 pixels).
constexpr int kFinePen = 3;

// A reduced colour page without edge detection is turned to black and white at its mean
// colour and measured with its own pixels. The averaging of the reduction thickens the strokes
// before the threshold, so the flat top of the vote is wider: a coarser tolerance.
constexpr double kThresholdedTolerance = 0.5;

TEST(MeasureSkewAccuracy, OwnPixelsOfFinelyWrittenPagesGiveTheAngle) {
  for (const TAngleCase& ac : kAngles) {
    SCOPED_TRACE(testing::Message() << "angle " << ac.degrees);
    const TGrayPage page =
        TurnedPage(UprightPage(1200, 1600, ac.seed, ac.noise, kFinePen), ac.degrees);
    EXPECT_NEAR(Measure(*BitsBitmap(page), false), ac.degrees, kTolerance) << "kv1g";
    EXPECT_NEAR(Measure(*ColourBitmap(page), false), ac.degrees, kThresholdedTolerance)
        << "kv24RGB, thresholded";
  }
}

TEST(MeasureSkewAccuracy, FullSizeColourPageIsEdgeMappedWhateverTheFlag) {
  const TGrayPage page = TurnedPage(UprightPage(520, 700, 13), -3.4);
  const auto colour = ColourBitmap(page);
  const double withEdges = Measure(*colour, true, 0);
  EXPECT_NEAR(withEdges, -3.4, kTolerance);
  EXPECT_EQ(Measure(*colour, false, 0), withEdges);
  // Resampling to the page's own width is no resampling.
  EXPECT_EQ(Measure(*colour, false, colour->Width()), withEdges);
}

// ---------------------------------------------------------------------------------------------
// The vote image table

TEST(MeasureSkew, BitsPageWithoutEdgesVotesWithItsOwnPixels) {
  const TGrayPage page = TurnedPage(UprightPage(300, 400, 14), 2.2);
  const auto bits = BitsBitmap(page);
  const double own = SkewVote(*bits, kAngleRange, kPrecision, nullptr, nullptr);
  EXPECT_EQ(Measure(*bits, false, 0), own);
  EXPECT_EQ(Measure(*bits, false, bits->Width()), own);
  EXPECT_NEAR(Measure(*bits, true, 0), 2.2, kTolerance);  // outlines
}

TEST(MeasureSkew, OneBlackRowTiesAtMinusAPointOne) {
  TKvBitmap page(500, 100, kv1g);
  for (int y = 0; y < 100; ++y) std::memset(page.RowPtr(y), y == 40 ? 0x00 : 0xFF, 64);
  EXPECT_DOUBLE_EQ(Measure(page, false, 0), -0.1);
}

TEST(MeasureSkew, LeavesTheInputUnchanged) {
  const TGrayPage page = TurnedPage(UprightPage(640, 480, 15), 1.3);
  const auto colour = ColourBitmap(page), bits = BitsBitmap(page);
  const auto colourBefore = ColourBitmap(page), bitsBefore = BitsBitmap(page);
  for (int32_t width : {0, 500}) {
    for (bool edges : {false, true}) {
      Measure(*colour, edges, width);
      Measure(*bits, edges, width);
    }
  }
  EXPECT_TRUE(SameBytes(*colour, *colourBefore));
  EXPECT_TRUE(SameBytes(*bits, *bitsBefore));
}

TEST(MeasureSkew, RefusedMeasurementsGiveZero) {
  const TGrayPage page = TurnedPage(UprightPage(600, 800, 16), 4.0);
  const auto colour = ColourBitmap(page);
  ASSERT_NEAR(Measure(*colour, true), 4.0, kTolerance);
  EXPECT_EQ(MeasureSkew(*colour, kResampleWidth, 181, kPrecision, true, nullptr, nullptr), 0.0);
  EXPECT_EQ(MeasureSkew(*colour, kResampleWidth, -1, kPrecision, true, nullptr, nullptr), 0.0);
  EXPECT_EQ(MeasureSkew(*colour, kResampleWidth, kAngleRange, 0.05, true, nullptr, nullptr), 0.0);
  EXPECT_EQ(MeasureSkew(*colour, kResampleWidth, kAngleRange, 1.1, true, nullptr, nullptr), 0.0);
  EXPECT_EQ(MeasureSkew(*colour, kResampleWidth, 0, kPrecision, true, nullptr, nullptr), 0.0);

  TKvBitmap gray(200, 100, kv8g);
  for (int y = 0; y < 100; ++y) std::memset(gray.RowPtr(y), y % 20 < 3 ? 0 : 255, 200);
  EXPECT_EQ(Measure(gray, true), 0.0);  // only kv1g and kv24RGB are measured
  TKvBitmap empty;
  EXPECT_EQ(Measure(empty, true), 0.0);
  // A reduction to no rows at all.
  TKvBitmap strip(1000, 1, kv24RGB);
  std::memset(strip.RowPtr(0), 0, strip.RowLength());
  EXPECT_EQ(Measure(strip, true), 0.0);
  EXPECT_EQ(Measure(strip, false), 0.0);
}

TEST(MeasureSkew, OnlyTheVoteReportsProgress) {
  const TGrayPage page = TurnedPage(UprightPage(1000, 1334, 17), -0.8);
  const auto colour = ColourBitmap(page);
  int sender = 0;
  std::vector<int> seen;
  bool foreignSender = false;
  const double angle = MeasureSkew(
      *colour, kResampleWidth, kAngleRange, kPrecision, true,
      [&](void* s, int32_t percent) {
        seen.push_back(percent);
        foreignSender |= s != &sender;
      },
      &sender);
  EXPECT_NEAR(angle, -0.8, kTolerance);
  // One report per row of the 500 x 667 vote image: 0 first, Trunc(666 * 100 / 667) last.
  ASSERT_EQ(seen.size(), 667u);
  EXPECT_EQ(seen.front(), 0);
  EXPECT_EQ(seen.back(), 99);
  EXPECT_FALSE(foreignSender);
}

// ---------------------------------------------------------------------------------------------
// The calls of one page of a job: select the inner part, crop, measure, restore, turn back.

TEST(DeskewThroughTheFrame, MeasuredAngleTurnsThePageUpright) {
  for (const double degrees : {3.0, -1.7}) {
    SCOPED_TRACE(testing::Message() << "angle " << degrees);
    const TGrayPage page = TurnedPage(UprightPage(1000, 1300, 18), degrees);
    TKvView view;
    view.Bitmap().CopyFrom(*ColourBitmap(page));
    view.Update();
    const int width = view.Bitmap().Width(), height = view.Bitmap().Height();
    const int marginX = width / 10, marginY = height / 10;
    view.SelectionBase = kvsbBitmap;
    view.Select(marginX, marginY, width - marginX, height - marginY);
    TKvProc& proc = view.Proc();
    proc.CropSel(false);
    const double angle = proc.DetectSkew(kResampleWidth, kAngleRange, kPrecision, true);
    EXPECT_NEAR(angle, degrees, kTolerance);
    proc.Undo(false);
    ASSERT_EQ(view.Bitmap().Width(), width);
    ASSERT_EQ(view.Bitmap().Height(), height);
    view.Background = clWhite;
    proc.RotateAndCrop(angle);
    EXPECT_LT(view.Bitmap().Width(), width);
    EXPECT_LT(view.Bitmap().Height(), height);
    // Passed unchanged, the measured angle leaves the text lines level.
    EXPECT_NEAR(Measure(view.Bitmap(), true), 0.0, kTolerance);
  }
}

}  // namespace
