// Tests of the skew vote: the fast vote against a plain one-accumulator vote written here,
// the refusals, the tie rule, the sign convention and the progress reports.
#include "deskew/skewvote.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Vote images

std::unique_ptr<TKvBitmap> WhitePage(int width, int height) {
  auto page = std::make_unique<TKvBitmap>(width, height, kv1g);
  for (int y = 0; y < height; ++y) std::memset(page->RowPtr(y), 0xFF, page->RowLength());
  return page;
}

void Dark(TKvBitmap& page, int x, int y) {
  if (x >= 0 && y >= 0 && x < page.Width() && y < page.Height()) page.SetBit(x, y, false);
}

// Clears the bits beyond the width in every row: the vote must not read them.
void DirtySpareBits(TKvBitmap& page) {
  for (int y = 0; y < page.Height(); ++y) {
    uint8_t* row = page.RowPtr(y);
    for (int x = page.Width(); x < page.RowLength() * 8; ++x) row[x >> 3] &= ~(0x80 >> (x & 7));
  }
}

std::unique_ptr<TKvBitmap> NoisePage(int width, int height, double darkShare, unsigned seed) {
  auto page = WhitePage(width, height);
  std::mt19937 random(seed);
  std::bernoulli_distribution isDark(darkShare);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if (isDark(random)) Dark(*page, x, y);
  return page;
}

// Lines of "words" (dark blocks of varied lengths) whose baselines have the slope angle
// `degrees` (positive: descending to the right).
std::unique_ptr<TKvBitmap> TextPage(int width, int height, double degrees, unsigned seed) {
  auto page = WhitePage(width, height);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> wordLength(width / 40 + 2, width / 8 + 3);
  std::uniform_int_distribution<int> gap(3, width / 50 + 4);
  const double slope = std::tan(degrees * M_PI / 180.0);
  const int lineHeight = std::max(6, height / 30), inkHeight = lineHeight / 2;
  for (int base = lineHeight; base < height - lineHeight; base += lineHeight) {
    for (int x0 = width / 10; x0 < width - width / 10;) {
      const int x1 = std::min(width - width / 10, x0 + wordLength(random));
      for (int x = x0; x < x1; ++x) {
        const int top = base + int(std::lround(x * slope));
        for (int y = top; y < top + inkHeight; ++y) Dark(*page, x, y);
      }
      x0 = x1 + gap(random);
    }
  }
  return page;
}

// A digital straight line, one dark pixel per column: y = y0 + round(x * tan(degrees)).
std::unique_ptr<TKvBitmap> LinePage(int width, int height, int y0, double degrees) {
  auto page = WhitePage(width, height);
  const double slope = std::tan(degrees * M_PI / 180.0);
  for (int x = 0; x < width; ++x) Dark(*page, x, y0 + int(std::lround(x * slope)));
  return page;
}

// ---------------------------------------------------------------------------------------------
// The vote as plainly as it can be written: the whole accumulator of 180 * h rows, 32-bit
// products, one vote at a time; votes outside 0 .. 2R are dropped.

int32_t PlainRnd17(int32_t v) {
  if (v < 0) return -PlainRnd17(-v);
  return (v >> 17) + ((v & 0x1FFFF) >= 0x10000 ? 1 : 0);
}

struct TPlainVote {
  int h = 0, mid = 0, firstRow = 0, lastRow = -1, radius = 0;
  std::vector<uint32_t> cells;  // 180 * h rows of 2R + 1 cells
  uint32_t Cell(int row, int c) const { return cells[size_t(row) * (2 * radius + 1) + c]; }
  // The largest cell of an accumulator row.
  uint32_t RowMaximum(int row) const {
    uint32_t m = 0;
    for (int c = 0; c <= 2 * radius; ++c) m = std::max(m, Cell(row, c));
    return m;
  }
};

// Returns false when the vote refuses its input.
bool PlainAccumulate(const TKvBitmap& image, int angleRange, double precision, TPlainVote& v) {
  if (image.PixelFormat() != kv1g) return false;
  const int tenths = int(std::trunc(precision * 10 + 1e-9));
  if (tenths < 1 || tenths > 10 || angleRange < 0 || angleRange > 180) return false;
  v.h = int(std::nearbyint(10.0 / tenths));
  const double step = (1.0 / v.h) * 0.017453292519444445;
  std::vector<int32_t> sinFix(1800), cosFix(1800);
  double t = 0;
  for (int i = 0; i < 1800; ++i, t += step) {
    sinFix[i] = int32_t(std::trunc(std::sin(t) * 131072));
    cosFix[i] = int32_t(std::trunc(std::cos(t) * 131072));
  }
  const int w = image.Width(), hgt = image.Height();
  v.mid = 90 * v.h;
  const int half = angleRange * v.h / 2;
  v.firstRow = v.mid - half;
  v.lastRow = v.mid + half - 2;
  v.radius = int(std::trunc(std::sqrt(double(w) * w + double(hgt) * hgt) / 2));
  const int cx = w / 2, cy = hgt / 2, cells = 2 * v.radius + 1;
  v.cells.assign(size_t(180 * v.h) * cells, 0);
  for (int y = 0; y < hgt; ++y) {
    const uint8_t* row = image.RowPtr(y);
    for (int b = 0; b < image.RowLength(); ++b) {
      if (row[b] == 255) continue;
      for (int bit = 0; bit < 8; ++bit) {
        const int x = 8 * b + bit;
        if (x >= w || (row[b] & (0x80 >> bit)) != 0) continue;
        for (int a = v.firstRow; a <= v.lastRow; ++a) {
          const int c =
              v.radius + PlainRnd17(sinFix[a] * (y - cy)) + PlainRnd17(cosFix[a] * (x - cx));
          if (c >= 0 && c < cells) ++v.cells[size_t(a) * cells + c];
        }
      }
    }
  }
  return true;
}

double PlainVote(const TKvBitmap& image, int angleRange, double precision) {
  TPlainVote v;
  if (!PlainAccumulate(image, angleRange, precision, v)) return 0;
  int best = 0;
  uint32_t bestCount = 0;
  for (int a = v.firstRow; a <= v.lastRow; ++a)
    for (int c = 0; c <= 2 * v.radius; ++c)
      if (v.Cell(a, c) > bestCount) {
        bestCount = v.Cell(a, c);
        best = a;
      }
  if (bestCount == 0) return 0;
  return double(best - v.mid) / v.h;  // best / h - 90, rounded once
}

double Vote(const TKvBitmap& image, int angleRange, double precision) {
  return SkewVote(image, angleRange, precision, nullptr, nullptr);
}

// Work splits that must all give the plain vote's answer.
const TSkewVoteTuning kSplits[] = {
    TSkewVoteTuning{},                                             // as shipped
    TSkewVoteTuning{1, 0, 0},                                      // one thread
    TSkewVoteTuning{2, 1, 1},                                      // two threads, row by row
    TSkewVoteTuning{3, 1, 5},                                      // three threads, blocks of 5
    TSkewVoteTuning{kSkewVoteMaxThreads, 1, kSkewVoteMaxThreads},  // more threads than cores
};

struct TVoteCase {
  const char* name;
  std::function<std::unique_ptr<TKvBitmap>()> make;
  int angleRange;
  double precision;
};

TEST(SkewVote, EveryWorkSplitMatchesThePlainVote) {
  const TVoteCase cases[] = {
      {"sparse noise", [] { return NoisePage(203, 151, 0.02, 1); }, 40, 0.1},
      {"dense noise", [] { return NoisePage(64, 64, 0.4, 2); }, 40, 0.1},
      {"noise, wide range", [] { return NoisePage(97, 45, 0.05, 3); }, 180, 0.5},
      {"noise, thirds", [] { return NoisePage(120, 77, 0.05, 4); }, 30, 0.3},
      {"noise, fifths", [] { return NoisePage(33, 300, 0.05, 5); }, 20, 0.2},
      {"text +3.7", [] { return TextPage(500, 707, 3.7, 6); }, 40, 0.1},
      {"text -11.2", [] { return TextPage(331, 420, -11.2, 7); }, 40, 0.1},
      {"text +0.3, whole degrees", [] { return TextPage(400, 300, 0.3, 8); }, 13, 1.0},
      {"text -6, range 180", [] { return TextPage(150, 190, -6.0, 9); }, 180, 0.1},
      {"one pixel",
       [] {
         auto p = WhitePage(9, 5);
         Dark(*p, 8, 4);
         return p;
       },
       40, 0.1},
      {"all dark", [] { return NoisePage(17, 13, 1.0, 10); }, 40, 0.4},
      {"one row", [] { return WhitePage(1, 1); }, 40, 0.1},
      {"one column of noise", [] { return NoisePage(1, 90, 0.5, 11); }, 60, 0.2},
  };
  for (const TVoteCase& vc : cases) {
    SCOPED_TRACE(vc.name);
    std::unique_ptr<TKvBitmap> page = vc.make();
    DirtySpareBits(*page);
    const double expected = PlainVote(*page, vc.angleRange, vc.precision);
    for (const TSkewVoteTuning& split : kSplits) {
      SCOPED_TRACE(split.maxThreads);
      EXPECT_EQ(SkewVoteTuned(*page, vc.angleRange, vc.precision, nullptr, nullptr, split),
                expected);
    }
  }
}

TEST(SkewVote, ImageWiderThanSixteenBitTermsMatchesThePlainVote) {
  // Widths above 32767 keep the column terms in 32 bits.
  auto page = NoisePage(40000, 3, 0.001, 12);
  const double expected = PlainVote(*page, 4, 1.0);
  EXPECT_EQ(SkewVoteTuned(*page, 4, 1.0, nullptr, nullptr, TSkewVoteTuning{2, 1, 1}), expected);
  EXPECT_EQ(Vote(*page, 4, 1.0), expected);
}

TEST(SkewVote, LeavesTheImageUnchangedAndReadsTempFileStorage) {
  auto page = TextPage(257, 199, -2.5, 13);
  DirtySpareBits(*page);
  const double expected = PlainVote(*page, 40, 0.1);
  // Every allocation above 0 bytes goes to a temporary file while the override is set.
  TKvBitmap::SetFileThresholdOverride(0);
  auto paged = std::make_unique<TKvBitmap>();
  paged->CopyFrom(*page);
  TKvBitmap::SetFileThresholdOverride(-1);
  ASSERT_EQ(paged->Location(), kvTempFile);
  EXPECT_EQ(SkewVoteTuned(*paged, 40, 0.1, nullptr, nullptr, TSkewVoteTuning{2, 1, 3}), expected);
  for (int y = 0; y < page->Height(); ++y)
    ASSERT_EQ(std::memcmp(paged->RowPtr(y), page->RowPtr(y), page->RowLength()), 0) << y;
}

// ---------------------------------------------------------------------------------------------
// Behaviour of the vote on pictures whose answer is known.

TEST(SkewVote, WhitePageGivesZero) {
  auto page = WhitePage(121, 80);
  DirtySpareBits(*page);
  EXPECT_EQ(Vote(*page, 40, 0.1), 0.0);
}

TEST(SkewVote, FullWidthRowTiesAtMinusAPointOne) {
  // The rows of -0.1, 0 and +0.1 degree each collect all 500 votes; the first wins.
  auto page = LinePage(500, 100, 50, 0.0);
  TPlainVote plain;
  ASSERT_TRUE(PlainAccumulate(*page, 40, 0.1, plain));
  for (int a : {plain.mid - 1, plain.mid, plain.mid + 1}) EXPECT_EQ(plain.RowMaximum(a), 500u);
  EXPECT_DOUBLE_EQ(Vote(*page, 40, 0.1), -0.1);
}

TEST(SkewVote, SignFollowsTheSlopeOfTheLines) {
  EXPECT_DOUBLE_EQ(Vote(*LinePage(500, 100, 30, 2.0), 40, 0.1), 2.0);    // descending
  EXPECT_DOUBLE_EQ(Vote(*LinePage(500, 100, 70, -2.0), 40, 0.1), -2.0);  // rising
  EXPECT_GT(Vote(*TextPage(400, 400, 5.0, 14), 40, 0.1), 0.0);
  EXPECT_LT(Vote(*TextPage(400, 400, -5.0, 15), 40, 0.1), 0.0);
}

TEST(SkewVote, EqualBestCellsAtMinusAndPlusOneDegreeGiveMinusOne) {
  // Two lines, one at +1 degree near the top and one at -1 degree near the bottom, far enough
  // apart never to share a cell. With whole-degree steps each collects its votes in one row.
  auto page = WhitePage(1001, 600);
  const double slope = std::tan(M_PI / 180.0);
  for (int x = 0; x < page->Width(); ++x) {
    Dark(*page, x, 100 + int(std::lround(x * slope)));
    Dark(*page, x, 500 - int(std::lround(x * slope)));
  }
  TPlainVote plain;
  ASSERT_TRUE(PlainAccumulate(*page, 40, 1.0, plain));
  const uint32_t best = plain.RowMaximum(plain.mid + 1);
  ASSERT_EQ(plain.RowMaximum(plain.mid - 1), best);
  for (int a = plain.firstRow; a <= plain.lastRow; ++a) ASSERT_LE(plain.RowMaximum(a), best);
  EXPECT_EQ(Vote(*page, 40, 1.0), -1.0);
}

TEST(SkewVote, WideRangeReachesTheVertical) {
  // A vertical line has its normal at 0 degrees: the first candidate row of the full range.
  auto page = WhitePage(50, 200);
  for (int y = 0; y < 200; ++y) Dark(*page, 20, y);
  EXPECT_EQ(Vote(*page, 180, 0.1), -90.0);
  EXPECT_EQ(Vote(*page, 40, 0.1), PlainVote(*page, 40, 0.1));
}

TEST(SkewVote, RangesWithoutOrWithOneCandidateRow) {
  auto page = LinePage(500, 100, 30, 2.0);
  EXPECT_EQ(Vote(*page, 0, 0.1), 0.0);
  EXPECT_EQ(Vote(*page, 1, 1.0), 0.0);   // half = 0: no candidate row
  EXPECT_EQ(Vote(*page, 1, 0.5), -0.5);  // h = 2: the single row mid - 1
  auto dot = WhitePage(7, 7);
  Dark(*dot, 3, 3);
  EXPECT_EQ(Vote(*dot, 1, 0.5), -0.5);
}

TEST(SkewVote, Refusals) {
  auto page = LinePage(500, 100, 30, 2.0);
  ASSERT_DOUBLE_EQ(Vote(*page, 40, 0.1), 2.0);
  EXPECT_EQ(Vote(*page, 181, 0.1), 0.0);
  EXPECT_EQ(Vote(*page, -1, 0.1), 0.0);
  EXPECT_EQ(Vote(*page, 40, 0.05), 0.0);
  EXPECT_EQ(Vote(*page, 40, 1.1), 0.0);
  EXPECT_EQ(Vote(*page, 40, 0.0), 0.0);
  EXPECT_EQ(Vote(*page, 40, -0.5), 0.0);
  EXPECT_EQ(Vote(*page, 40, std::nan("")), 0.0);
  EXPECT_EQ(Vote(*page, 40, 1e300), 0.0);
  TKvBitmap colour(50, 10, kv24RGB);
  for (int y = 0; y < 10; ++y) std::memset(colour.RowPtr(y), 0, colour.RowLength());
  EXPECT_EQ(Vote(colour, 40, 0.1), 0.0);
  TKvBitmap empty;
  EXPECT_EQ(Vote(empty, 40, 0.1), 0.0);
}

TEST(SkewVote, PrecisionIsTakenInWholeTenths) {
  auto page = TextPage(300, 300, 4.4, 16);
  EXPECT_EQ(Vote(*page, 40, 1.05), Vote(*page, 40, 1.0));
  EXPECT_EQ(Vote(*page, 40, 0.17), Vote(*page, 40, 0.1));
  const double thirds = Vote(*page, 40, 0.3);  // h = 3
  EXPECT_NEAR(thirds * 3, std::round(thirds * 3), 1e-12);
  EXPECT_EQ(thirds, PlainVote(*page, 40, 0.3));
  const double whole = Vote(*page, 40, 0.7);  // h = 1
  EXPECT_EQ(whole, std::round(whole));
  EXPECT_EQ(whole, Vote(*page, 40, 1.0));
  EXPECT_EQ(Vote(*page, 40, 0.4), Vote(*page, 40, 0.6));  // both h = 2
  EXPECT_EQ(Vote(*page, 40, 0.4), PlainVote(*page, 40, 0.4));
}

// ---------------------------------------------------------------------------------------------
// Progress

TEST(SkewVote, ReportsEveryRowInOrderOnTheCallingThread) {
  const int height = 37;
  std::vector<int> expected;
  for (int y = 0; y < height; ++y) expected.push_back(int(std::trunc(y * (100.0 / height))));
  int sender = 0;
  const std::thread::id caller = std::this_thread::get_id();
  const std::unique_ptr<TKvBitmap> pages[] = {NoisePage(80, height, 0.3, 17),
                                              WhitePage(80, height)};
  for (const auto& page : pages) {
    for (const TSkewVoteTuning& split : kSplits) {
      std::vector<int> seen;
      bool foreignThread = false, foreignSender = false;
      SkewVoteTuned(
          *page, 40, 0.1,
          [&](void* s, int32_t percent) {
            seen.push_back(percent);
            foreignThread |= std::this_thread::get_id() != caller;
            foreignSender |= s != &sender;
          },
          &sender, split);
      EXPECT_EQ(seen, expected);
      EXPECT_FALSE(foreignThread);
      EXPECT_FALSE(foreignSender);
    }
  }
  // A refused vote reports nothing.
  int calls = 0;
  SkewVote(
      *pages[0], 200, 0.1, [&](void*, int32_t) { ++calls; }, nullptr);
  EXPECT_EQ(calls, 0);
}

}  // namespace
