// Tests of the Shen-Castan edge map: hand-checked pictures (uniform, steps, the periodic
// continuation at the borders), the histogram thresholds, the hysteresis walk on hand-made
// gradient planes, refusals, the output format, and the fast detector against a plain one
// written here stage by stage (full A and B planes, the recursive walk on an explicit stack).
#include "deskew/edgemap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Pictures

using TPixelRule = std::function<TKvRGB(int x, int y)>;

std::unique_ptr<TKvBitmap> Picture(int width, int height, const TPixelRule& rule) {
  auto page = std::make_unique<TKvBitmap>(width, height, kv24RGB);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = page->RowPtr(y);
    for (int x = 0; x < width; ++x) {
      const TKvRGB p = rule(x, y);
      row[3 * x] = p.Blue;
      row[3 * x + 1] = p.Green;
      row[3 * x + 2] = p.Red;
    }
  }
  return page;
}

TKvRGB Gray(int v) {
  return KvRGB(uint8_t(v), uint8_t(v), uint8_t(v));
}

// White paper with lines of dark "words" and a little noise.
std::unique_ptr<TKvBitmap> TextPicture(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> ink(size_t(width) * size_t(height), 0);
  std::uniform_int_distribution<int> wordLength(3, std::max(4, width / 6));
  std::uniform_int_distribution<int> gap(2, 6);
  const int lineHeight = std::max(5, height / 12);
  for (int base = 2; base + lineHeight / 2 < height; base += lineHeight)
    for (int x0 = width / 12; x0 < width - 2;) {
      const int x1 = std::min(width - 2, x0 + wordLength(random));
      for (int y = base; y < base + lineHeight / 2 && y < height; ++y)
        for (int x = x0; x < x1; ++x) ink[size_t(y) * size_t(width) + size_t(x)] = 1;
      x0 = x1 + gap(random);
    }
  std::vector<int> noise(ink.size());
  std::uniform_int_distribution<int> grain(-12, 12);
  for (int& n : noise) n = grain(random);
  return Picture(width, height, [&](int x, int y) {
    const size_t i = size_t(y) * size_t(width) + size_t(x);
    const int base = ink[i] ? 30 : 235;
    return KvRGB(uint8_t(base + noise[i]), uint8_t(base + noise[i] / 2), uint8_t(base - noise[i]));
  });
}

std::unique_ptr<TKvBitmap> NoisePicture(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<TKvRGB> pixels(size_t(width) * size_t(height));
  for (TKvRGB& p : pixels)
    p = KvRGB(uint8_t(byte(random)), uint8_t(byte(random)), uint8_t(byte(random)));
  return Picture(width, height,
                 [&](int x, int y) { return pixels[size_t(y) * size_t(width) + size_t(x)]; });
}

// 1 where the edge map is black (an edge).
std::vector<uint8_t> BlackPixels(const TKvBitmap& map) {
  std::vector<uint8_t> black(size_t(map.Width()) * size_t(map.Height()));
  for (int y = 0; y < map.Height(); ++y) {
    const uint8_t* row = map.RowPtr(y);
    for (int x = 0; x < map.Width(); ++x)
      black[size_t(y) * size_t(map.Width()) + size_t(x)] =
          (row[x >> 3] & (0x80 >> (x & 7))) ? 0 : 1;
  }
  return black;
}

std::string Describe(const std::vector<uint8_t>& black, int width) {
  std::string text;
  for (size_t i = 0; i < black.size(); ++i) {
    text += black[i] ? '#' : '.';
    if ((i + 1) % size_t(width) == 0) text += '\n';
  }
  return text;
}

struct TEdgeRun {
  bool accepted = false;
  std::vector<uint8_t> black;
  TKvEdgeMapStats stats;
};

struct TParams {
  int32_t windowSize = kKvEdgeWindowSize;
  bool hysteresis = kKvEdgeHysteresis;
  int32_t thinFactor = kKvEdgeThinFactor;
  double smoothing = kKvEdgeSmoothing;
  double ratio = kKvEdgeRatio;
};

TEdgeRun RunFast(const TKvBitmap& source, const TParams& p = {}, int threads = 0) {
  TEdgeRun run;
  TKvBitmap dest;
  run.accepted =
      ShenCastanEdgeMapDetailed(source, dest, p.windowSize, nullptr, p.hysteresis, p.thinFactor,
                                p.smoothing, p.ratio, nullptr, threads, &run.stats);
  if (run.accepted) {
    EXPECT_EQ(dest.PixelFormat(), kv1g);
    EXPECT_EQ(dest.Width(), source.Width());
    EXPECT_EQ(dest.Height(), source.Height());
    run.black = BlackPixels(dest);
  }
  return run;
}

// ---------------------------------------------------------------------------------------------
// The detector written plainly from its description.

struct TReference {
  int w = 0, h = 0, wx = 0, hx = 0;
  std::vector<float> g;        // gradient plane, W' x H'
  std::vector<uint8_t> black;  // W x H
  double vmin = 0, vmax = 0, scale = 0, high = 0, low = 0;
  int bin = 0;
  float G(int y, int x) const { return g[size_t(y) * size_t(wx) + size_t(x)]; }
};

int Mod(int v, int m) {
  return ((v % m) + m) % m;
}

TReference ReferenceEdgeMap(const TKvBitmap& source, const TParams& p = {}) {
  TReference r;
  const int w = source.Width(), h = source.Height();
  const int wx = w + 54, hx = h + 54;
  r.w = w, r.h = h, r.wx = wx, r.hx = hx;
  auto at = [wx](int y, int x) { return size_t(y) * size_t(wx) + size_t(x); };
  auto interior = [&](int y, int x) { return y >= 25 && y < hx - 25 && x >= 25 && x < wx - 25; };

  std::vector<uint8_t> gray(size_t(w) * size_t(h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const TKvRGB c = source.GetRGB(x, y);
      gray[size_t(y) * size_t(w) + size_t(x)] =
          uint8_t((c.Red * 21 + c.Green * 71 + c.Blue * 8) / 100);
    }
  std::vector<uint8_t> extended(size_t(wx) * size_t(hx));
  for (int y = 0; y < hx; ++y)
    for (int x = 0; x < wx; ++x)
      extended[at(y, x)] = gray[size_t(Mod(y - 27, h)) * size_t(w) + size_t(Mod(x - 27, w))];
  std::vector<float> f(extended.size()), s(extended.size()), a(extended.size()), b(extended.size());
  for (size_t i = 0; i < f.size(); ++i) f[i] = extended[i];

  const long double bb = p.smoothing;
  const double b1 = double((1.0L - bb) / (1.0L + bb));
  const double b2 = double(bb * b1);
  for (int x = 0; x < wx; ++x) {
    a[at(0, x)] = float(b1 * (long double)f[at(0, x)]);
    b[at(hx - 1, x)] = float(b2 * (long double)f[at(hx - 1, x)]);
    for (int y = 1; y < hx; ++y)
      a[at(y, x)] = float(b1 * (long double)f[at(y, x)] + bb * a[at(y - 1, x)]);
    for (int y = hx - 2; y >= 0; --y)
      b[at(y, x)] = float(b2 * (long double)f[at(y, x)] + bb * b[at(y + 1, x)]);
    s[at(hx - 1, x)] = a[at(hx - 1, x)];
    for (int y = 0; y <= hx - 2; ++y)
      s[at(y, x)] = float((long double)a[at(y, x)] + (long double)b[at(y + 1, x)]);
  }
  for (int y = 0; y < hx; ++y) {
    a[at(y, 0)] = float(b1 * (long double)s[at(y, 0)]);
    b[at(y, wx - 1)] = float(b2 * (long double)s[at(y, wx - 1)]);
    for (int x = 1; x < wx; ++x)
      a[at(y, x)] = float(b1 * (long double)s[at(y, x)] + bb * a[at(y, x - 1)]);
    for (int x = wx - 2; x >= 0; --x)
      b[at(y, x)] = float(b2 * (long double)s[at(y, x)] + bb * b[at(y, x + 1)]);
    s[at(y, wx - 1)] = a[at(y, wx - 1)];
    for (int x = 0; x <= wx - 2; ++x)
      s[at(y, x)] = float((long double)a[at(y, x)] + (long double)b[at(y, x + 1)]);
  }

  std::vector<uint8_t> l(f.size(), 0);
  for (int y = 0; y < hx; ++y)
    for (int x = 0; x < wx; ++x)
      if (interior(y, x) && (long double)s[at(y, x)] - f[at(y, x)] > 0) l[at(y, x)] = 1;

  const int radius = p.windowSize / 2;
  std::vector<float>& g = f;
  std::fill(g.begin(), g.end(), 0.0f);
  for (int y = 0; y < hx; ++y)
    for (int x = 0; x < wx; ++x) {
      if (!interior(y, x)) continue;
      bool candidate = false;
      if (l[at(y, x)] == 1 && l[at(y + 1, x)] == 0)
        candidate = s[at(y + 1, x)] - s[at(y - 1, x)] > 0;
      else if (l[at(y, x)] == 1 && l[at(y, x + 1)] == 0)
        candidate = s[at(y, x + 1)] - s[at(y, x - 1)] > 0;
      else if (l[at(y, x)] == 1 && l[at(y - 1, x)] == 0)
        candidate = s[at(y + 1, x)] - s[at(y - 1, x)] < 0;
      else if (l[at(y, x)] == 1 && l[at(y, x - 1)] == 0)
        candidate = s[at(y, x + 1)] - s[at(y, x - 1)] < 0;
      if (!candidate) continue;
      double sumOn = 0, sumOff = 0;
      int numOn = 0, numOff = 0;
      for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx) {
          if (l[at(y + dy, x + dx)] != 0) {
            sumOn += s[at(y + dy, x + dx)];
            ++numOn;
          } else {
            sumOff += s[at(y + dy, x + dx)];
            ++numOff;
          }
        }
      const double avgOff = sumOff != 0 ? sumOff / numOff : 0;
      const double avgOn = sumOn != 0 ? sumOn / numOn : 0;
      g[at(y, x)] = float(avgOff - avgOn);
    }

  double vmin = std::fabs(double(g[at(20, 20)])), vmax = vmin;
  for (int y = 0; y < hx; ++y)
    for (int x = 0; x < wx; ++x)
      if (interior(y, x)) {
        vmin = std::min(vmin, double(g[at(y, x)]));
        vmax = std::max(vmax, double(g[at(y, x)]));
      }
  const double scale = 256 / (vmax - vmin + 1);
  std::vector<int64_t> hist(256, 0);
  for (int y = 0; y < hx; ++y)
    for (int x = 0; x < wx; ++x)
      if (interior(y, x)) ++hist[size_t(std::trunc((g[at(y, x)] - vmin) * scale))];
  const double target = std::trunc(hx * p.ratio * wx);
  int k = 255;
  int64_t count = hist[255];
  while (count < target) {
    --k;
    if (k < 0) break;
    count += hist[size_t(k)];
  }
  const double high = k / scale + vmin;
  const double low = p.hysteresis ? high / 2 : high;

  // Mark(y, x, level) as a recursion, run on an explicit stack of frames.
  std::vector<uint8_t> e(g.size(), 0);
  const int dyOrder[8] = {0, 0, 1, 1, 1, -1, -1, -1};
  const int dxOrder[8] = {1, -1, 1, 0, -1, -1, 0, 1};
  struct TFrame {
    int y, x;
    int64_t level;
    int next = 0;
    bool found = false;
  };
  auto enter = [&](std::vector<TFrame>& stack, int y, int x, int64_t level) {
    if (y < 0 || y >= hx || x < 0 || x >= wx || e[at(y, x)] != 0 || g[at(y, x)] == 0) return false;
    e[at(y, x)] = g[at(y, x)] > low ? 1 : 255;
    stack.push_back({y, x, level});
    return true;
  };
  for (int y = 0; y < hx; ++y)
    for (int x = 0; x < wx; ++x) {
      if (!interior(y, x) || !(g[at(y, x)] > high)) continue;
      std::vector<TFrame> stack;
      enter(stack, y, x, 0);
      while (!stack.empty()) {
        TFrame& top = stack.back();
        if (top.found || top.next == 8) {
          const TFrame done = top;
          stack.pop_back();
          if (done.found && done.level > 0 && p.thinFactor > 0 && done.level % p.thinFactor != 0)
            e[at(done.y, done.x)] = 255;
          if (!stack.empty()) stack.back().found = true;
          continue;
        }
        const int i = top.next++;
        const TFrame parent = top;
        enter(stack, parent.y + dyOrder[i], parent.x + dxOrder[i], parent.level + 1);
      }
    }
  for (uint8_t& v : e) v = v == 255 ? 0 : v;
  for (uint8_t& v : e) v = v == 0 ? 255 : 0;

  r.black.assign(size_t(w) * size_t(h), 0);
  for (int y = 0; y < h - 1; ++y)
    for (int x = 1; x < w; ++x)
      r.black[size_t(y) * size_t(w) + size_t(x)] = e[at(y + 27, x + 27)] == 0;
  r.g = g;
  r.vmin = vmin, r.vmax = vmax, r.scale = scale, r.high = high, r.low = low, r.bin = k;
  return r;
}

void ExpectSameAsReference(const TKvBitmap& source, const TParams& p, const std::string& what) {
  const TReference ref = ReferenceEdgeMap(source, p);
  for (int threads : {1, 2}) {
    SCOPED_TRACE(what + ", threads " + std::to_string(threads));
    const TEdgeRun fast = RunFast(source, p, threads);
    ASSERT_TRUE(fast.accepted);
    EXPECT_EQ(fast.stats.vmin, ref.vmin);
    EXPECT_EQ(fast.stats.vmax, ref.vmax);
    EXPECT_EQ(fast.stats.bin, ref.bin);
    EXPECT_EQ(fast.stats.high, ref.high);
    EXPECT_EQ(fast.stats.low, ref.low);
    EXPECT_EQ(fast.black, ref.black) << "fast:\n"
                                     << Describe(fast.black, source.Width()) << "plain:\n"
                                     << Describe(ref.black, source.Width());
  }
}

// ---------------------------------------------------------------------------------------------
// Hand-checked pictures

TEST(EdgeMapPictures, UniformPicturesHaveNoEdges) {
  for (int value : {0, 77, 255}) {
    SCOPED_TRACE(value);
    const auto page = Picture(40, 30, [&](int, int) { return Gray(value); });
    const TEdgeRun run = RunFast(*page);
    ASSERT_TRUE(run.accepted);
    EXPECT_EQ(run.stats.edges, 0);
    EXPECT_EQ(run.black, std::vector<uint8_t>(40 * 30, 0));
  }
}

TEST(EdgeMapPictures, BlackPictureHasNoCandidates) {
  // S = F = 0 everywhere: no Laplacian sign, no candidate, an all-zero gradient plane.
  const auto page = Picture(20, 20, [](int, int) { return Gray(0); });
  const TEdgeRun run = RunFast(*page);
  EXPECT_EQ(run.stats.candidates, 0);
  EXPECT_EQ(run.stats.vmin, 0);
  EXPECT_EQ(run.stats.vmax, 0);
}

std::vector<int> EdgeColumns(const TEdgeRun& run, int width, int height, int y) {
  std::vector<int> columns;
  for (int x = 0; x < width; ++x)
    if (run.black[size_t(y) * size_t(width) + size_t(x)]) columns.push_back(x);
  (void)height;
  return columns;
}

TEST(EdgeMapPictures, VerticalStepMarksItsDarkSide) {
  // Dark left half, white right half: the zero crossing lies on the last dark column. The
  // periodic continuation puts the white right margin next to the dark left one: that
  // crossing falls on column 0, which the output always leaves white.
  const int w = 40, h = 30;
  const auto page = Picture(w, h, [](int x, int) { return Gray(x < 20 ? 0 : 255); });
  const TEdgeRun run = RunFast(*page);
  ASSERT_TRUE(run.accepted);
  for (int y = 0; y < h - 1; ++y) EXPECT_EQ(EdgeColumns(run, w, h, y), std::vector<int>{19}) << y;
  EXPECT_EQ(EdgeColumns(run, w, h, h - 1), std::vector<int>{});
}

TEST(EdgeMapPictures, MirroredStepMarksTheLastColumnThroughTheContinuation) {
  // White left, dark right: the crossing is on the first dark column, and the dark right
  // margin meets the white left margin of the next tile, so column W-1 is an edge as well.
  const int w = 40, h = 30;
  const auto page = Picture(w, h, [](int x, int) { return Gray(x < 20 ? 255 : 0); });
  const TEdgeRun run = RunFast(*page);
  for (int y = 0; y < h - 1; ++y)
    EXPECT_EQ(EdgeColumns(run, w, h, y), (std::vector<int>{20, w - 1})) << y;
}

TEST(EdgeMapPictures, HorizontalStepAndTheBottomMarginAboveRowZero) {
  // Dark top, white bottom: the crossing is on the last dark row; above row 0 the picture
  // continues with its white bottom rows, so row 0 is an edge too. Column 0 stays white.
  const int w = 30, h = 40;
  const auto page = Picture(w, h, [](int, int y) { return Gray(y < 15 ? 0 : 255); });
  const TEdgeRun run = RunFast(*page);
  std::vector<int> all;
  for (int x = 1; x < w; ++x) all.push_back(x);
  for (int y = 0; y < h; ++y)
    EXPECT_EQ(EdgeColumns(run, w, h, y), (y == 0 || y == 14) ? all : std::vector<int>{}) << y;
}

TEST(EdgeMapPictures, NarrowPagesContinuePeriodically) {
  // A page of 3 x 2 pixels is tiled many times over into the margin of 27 cells.
  const auto page = Picture(3, 2, [](int x, int y) { return Gray((x + 2 * y) * 40); });
  ExpectSameAsReference(*page, {}, "3 x 2");
  const auto strip = Picture(1, 26, [](int, int y) { return Gray(y < 13 ? 10 : 200); });
  ExpectSameAsReference(*strip, {}, "1 x 26");
  // A page of one row is all white: the last row is always white.
  const auto row = Picture(30, 1, [](int x, int) { return Gray(x * 8); });
  const TEdgeRun run = RunFast(*row);
  EXPECT_EQ(run.black, std::vector<uint8_t>(30, 0));
}

TEST(EdgeMapPictures, ColourChannelsFollowTheGrayRule) {
  // (R*21 + G*71 + B*8) div 100: pure green 255 gives 181, pure red 255 gives 53. A page split
  // into a red and a green half has its edge where a dark-to-light gray step would have it.
  const int w = 40, h = 20;
  const auto colour =
      Picture(w, h, [](int x, int) { return x < 20 ? KvRGB(255, 0, 0) : KvRGB(0, 255, 0); });
  const auto gray = Picture(w, h, [](int x, int) { return Gray(x < 20 ? 53 : 181); });
  EXPECT_EQ(RunFast(*colour).black, RunFast(*gray).black);
  EXPECT_EQ(EdgeColumns(RunFast(*colour), w, h, 5), std::vector<int>{19});
}

// ---------------------------------------------------------------------------------------------
// Thresholds

TEST(EdgeMapThresholds, SmallPagesEndBelowTheSmallestGradient) {
  // The interior holds less than 99 % of the extended raster: the count never reaches the
  // target, the bin ends at -1 and high lies 1/scale below vmin.
  const auto page = TextPicture(90, 70, 3);
  const TEdgeRun run = RunFast(*page);
  ASSERT_TRUE(run.accepted);
  EXPECT_EQ(run.stats.bin, -1);
  EXPECT_LE(run.stats.vmin, 0);
  EXPECT_GE(run.stats.vmax, 0);
  EXPECT_EQ(run.stats.scale, 256 / (run.stats.vmax - run.stats.vmin + 1));
  EXPECT_EQ(run.stats.high, -1 / run.stats.scale + run.stats.vmin);
  EXPECT_EQ(run.stats.low, run.stats.high / 2);
}

TEST(EdgeMapThresholds, EdgesAreTheCandidatesAboveLowInThatCase) {
  const auto page = TextPicture(80, 60, 11);
  const TReference ref = ReferenceEdgeMap(*page);
  const TEdgeRun run = RunFast(*page);
  ASSERT_EQ(run.stats.bin, -1);
  int64_t edges = 0;
  for (int y = 0; y < page->Height() - 1; ++y)
    for (int x = 1; x < page->Width(); ++x) {
      const float g = ref.G(y + 27, x + 27);
      const bool expected = g != 0 && double(g) > run.stats.low;
      edges += expected;
      EXPECT_EQ(run.black[size_t(y) * 80 + size_t(x)] != 0, expected) << x << "," << y;
    }
  EXPECT_GT(edges, 100);
}

TEST(EdgeMapThresholds, HistogramBinChoices) {
  const auto page = TextPicture(60, 50, 5);
  struct TCase {
    double ratio;
    bool hysteresis;
    int bin;
  };
  // ratio 0: the target is 0, so bin 255 is taken at once; the high threshold is then above
  // every gradient (vmax - vmin < 255), no walk starts and the map is white.
  for (const TCase c : {TCase{0.0, true, 255}, TCase{-1.0, false, 255}, TCase{0.99, false, -1},
                        TCase{5.0, true, -1}}) {
    SCOPED_TRACE(c.ratio);
    TParams p;
    p.ratio = c.ratio;
    p.hysteresis = c.hysteresis;
    const TEdgeRun run = RunFast(*page, p);
    EXPECT_EQ(run.stats.bin, c.bin);
    EXPECT_EQ(run.stats.high, c.bin / run.stats.scale + run.stats.vmin);
    EXPECT_EQ(run.stats.low, c.hysteresis ? run.stats.high / 2 : run.stats.high);
    if (c.bin == 255) {
      EXPECT_EQ(run.stats.edges, 0);
    }
  }
  // A ratio between: the bin lies where the cells counted from the top reach the target.
  const TReference ref = ReferenceEdgeMap(*page);
  int64_t nonZeroAbove = 0;
  for (int y = 25; y < ref.hx - 25; ++y)
    for (int x = 25; x < ref.wx - 25; ++x) nonZeroAbove += ref.G(y, x) > 0;
  TParams p;
  p.ratio = double(nonZeroAbove / 2) / (double(ref.hx) * ref.wx);
  const TEdgeRun run = RunFast(*page, p);
  EXPECT_GT(run.stats.bin, 0);
  EXPECT_LT(run.stats.bin, 255);
  EXPECT_GT(run.stats.high, 0);
  EXPECT_EQ(run.stats.bin, ReferenceEdgeMap(*page, p).bin);
  ExpectSameAsReference(*page, p, "middle ratio");
}

// ---------------------------------------------------------------------------------------------
// The walk on hand-made gradient planes

struct TGrid {
  int w, h;
  std::vector<float> g;
  std::vector<uint8_t> marks;
  TGrid(int width, int height)
      : w(width), h(height), g(size_t(width) * size_t(height), 0.0f), marks(g.size(), 77) {}
  float& G(int y, int x) { return g[size_t(y) * size_t(w) + size_t(x)]; }
  uint8_t M(int y, int x) const { return marks[size_t(y) * size_t(w) + size_t(x)]; }
  bool Walk(double high, double low, int32_t thin = 0, int border = 1) {
    return ShenCastanHysteresis(g.data(), marks.data(), w, h, border, high, low, thin);
  }
};

constexpr int kOrderDy[8] = {0, 0, 1, 1, 1, -1, -1, -1};
constexpr int kOrderDx[8] = {1, -1, 1, 0, -1, -1, 0, 1};
const char* const kOrderName[8] = {"right",      "left",       "below right", "below",
                                   "below left", "above left", "above",       "above right"};

TEST(EdgeMapWalk, NeighbourOrder) {
  // A strong centre and two weak neighbours i before j. With thinFactor 2 the cell at depth 1
  // turns weak when the chain goes on from it: if i and j touch, the walk goes centre, i, j
  // (marks 255, 1); otherwise it ends at i (mark 1) and j is never visited (0).
  for (int i = 0; i < 8; ++i)
    for (int j = i + 1; j < 8; ++j) {
      SCOPED_TRACE(std::string(kOrderName[i]) + " before " + kOrderName[j]);
      TGrid grid(7, 7);
      grid.G(3, 3) = 10;
      grid.G(3 + kOrderDy[i], 3 + kOrderDx[i]) = 2;
      grid.G(3 + kOrderDy[j], 3 + kOrderDx[j]) = 3;
      ASSERT_TRUE(grid.Walk(5, 1, 2));
      const bool touch =
          std::abs(kOrderDy[i] - kOrderDy[j]) <= 1 && std::abs(kOrderDx[i] - kOrderDx[j]) <= 1;
      EXPECT_EQ(grid.M(3, 3), 1);
      EXPECT_EQ(grid.M(3 + kOrderDy[i], 3 + kOrderDx[i]), touch ? 255 : 1);
      EXPECT_EQ(grid.M(3 + kOrderDy[j], 3 + kOrderDx[j]), touch ? 1 : 0);
    }
}

TEST(EdgeMapWalk, OneChainPerWalkAndWeakCellsCarryIt) {
  // Row 2: a strong cell with arms to the right and to the left. The walk takes the right
  // arm only; the left arm is never above high, so no walk reaches it. The right arm passes
  // a cell below low (marked weak) and goes on to one above it.
  TGrid grid(10, 5);
  grid.G(2, 4) = 10;
  grid.G(2, 5) = 0.5f;
  grid.G(2, 6) = 3;
  grid.G(2, 3) = 3;
  grid.G(2, 2) = 3;
  // An island of cells that never exceeds high.
  grid.G(4 - 1, 8) = 4;
  ASSERT_TRUE(grid.Walk(5, 1));
  EXPECT_EQ(grid.M(2, 4), 1);
  EXPECT_EQ(grid.M(2, 5), 255);
  EXPECT_EQ(grid.M(2, 6), 1);
  EXPECT_EQ(grid.M(2, 3), 0);
  EXPECT_EQ(grid.M(2, 2), 0);
  EXPECT_EQ(grid.M(3, 8), 0);
  // Negative gradients are walked as well (only 0 stops a walk) and stay weak.
  TGrid negative(6, 3);
  negative.G(1, 1) = 9;
  negative.G(1, 2) = -4;
  negative.G(1, 3) = 2;
  ASSERT_TRUE(negative.Walk(5, 1));
  EXPECT_EQ(negative.M(1, 2), 255);
  EXPECT_EQ(negative.M(1, 3), 1);
}

TEST(EdgeMapWalk, LeftBranchesWaitForLaterWalks) {
  // The first walk starts at (1,2), goes right to (1,3) and ends there; the branch below left
  // of its start is left alone. The strong cell (3,1) later starts its own walk up into (2,1),
  // which has no successor then and so keeps its strong mark under thinning 2 (taken by the
  // first walk, it would sit at depth 1 with a successor and turn weak).
  TGrid grid(6, 6);
  grid.G(1, 2) = 9;
  grid.G(1, 3) = 2;
  grid.G(2, 1) = 2;
  grid.G(3, 1) = 9;
  ASSERT_TRUE(grid.Walk(5, 1, 2));
  EXPECT_EQ(grid.M(1, 2), 1);
  EXPECT_EQ(grid.M(1, 3), 1);
  EXPECT_EQ(grid.M(3, 1), 1);
  EXPECT_EQ(grid.M(2, 1), 1);
}

TEST(EdgeMapWalk, ThinningKeepsEveryThirdCell) {
  TGrid grid(12, 3);
  for (int x = 1; x <= 9; ++x) grid.G(1, x) = 4;
  ASSERT_TRUE(grid.Walk(3, 1, 3));
  // Depths 0..8 along the row: weak where depth > 0, depth mod 3 <> 0 and a successor exists.
  const std::vector<int> expected = {1, 255, 255, 1, 255, 255, 1, 255, 1};
  for (int x = 1; x <= 9; ++x) EXPECT_EQ(grid.M(1, x), expected[size_t(x - 1)]) << x;
}

TEST(EdgeMapWalk, LongChainsNeedNoDeepStack) {
  // A block of 300 x 300 strong cells: the first walk snakes through almost all of it as one
  // chain (right along a row, down, left along the next, ...); the few cells it skips at the
  // row ends start walks of their own.
  TGrid grid(302, 302);
  for (int y = 1; y <= 300; ++y)
    for (int x = 1; x <= 300; ++x) grid.G(y, x) = 9;
  ASSERT_TRUE(grid.Walk(5, 1, 0));
  int64_t strong = 0;
  for (uint8_t m : grid.marks) strong += m == 1;
  EXPECT_EQ(strong, 300 * 300);
  // With thinning 2 every odd depth of the long chain turns weak: about half of the block.
  ASSERT_TRUE(grid.Walk(5, 1, 2));
  int64_t weak = 0;
  for (uint8_t m : grid.marks) weak += m == 255;
  EXPECT_GT(weak, 44000);
  EXPECT_LT(weak, 45100);
}

TEST(EdgeMapWalk, RefusesGradientsOnTheOuterRing) {
  for (int side = 0; side < 4; ++side) {
    TGrid grid(6, 5);
    grid.G(2, 2) = 9;
    const int y = side == 0 ? 0 : side == 1 ? 4 : 2, x = side == 2 ? 0 : side == 3 ? 5 : 3;
    grid.G(y, x) = 1;
    EXPECT_FALSE(grid.Walk(5, 1)) << side;
    EXPECT_EQ(grid.marks, std::vector<uint8_t>(30, 77));
  }
  TGrid empty(1, 1);
  EXPECT_FALSE(ShenCastanHysteresis(empty.g.data(), empty.marks.data(), 0, 1, 1, 0, 0, 0));
}

// ---------------------------------------------------------------------------------------------
// Entry point: refusals, output format, progress, aliasing, storage

TEST(EdgeMapEntry, Refusals) {
  const auto good = TextPicture(20, 20, 1);
  TKvBitmap gray8(20, 20, kv8g), bits(20, 20, kv1g), empty;
  struct TCase {
    const char* what;
    const TKvBitmap* source;
    TParams params;
  };
  TParams smooth0, smooth1, smoothNaN, smoothNeg, window53;
  smooth0.smoothing = 0;
  smooth1.smoothing = 1;
  smoothNaN.smoothing = std::numeric_limits<double>::quiet_NaN();
  smoothNeg.smoothing = -0.5;
  window53.windowSize = 53;
  const TCase cases[] = {{"kv8g source", &gray8, {}},
                         {"kv1g source", &bits, {}},
                         {"empty source", &empty, {}},
                         {"smoothing 0", good.get(), smooth0},
                         {"smoothing 1", good.get(), smooth1},
                         {"smoothing NaN", good.get(), smoothNaN},
                         {"smoothing < 0", good.get(), smoothNeg},
                         {"window 53", good.get(), window53}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TKvBitmap dest(3, 2, kv8g);
    for (int y = 0; y < 2; ++y) std::memset(dest.RowPtr(y), 0x5A, size_t(dest.RowLength()));
    int reports = 0;
    const bool accepted = ShenCastanEdgeMap(
        *c.source, dest, c.params.windowSize, [&](void*, int32_t) { ++reports; },
        c.params.hysteresis, c.params.thinFactor, c.params.smoothing, c.params.ratio);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(dest.PixelFormat(), kv8g);
    EXPECT_EQ(dest.Width(), 3);
    EXPECT_EQ(dest.Height(), 2);
    EXPECT_EQ(dest.RowPtr(1)[2], 0x5A);
  }
}

TEST(EdgeMapEntry, WidestWindowStaysInsideTheRaster) {
  TParams p;
  p.windowSize = 51;
  ExpectSameAsReference(*TextPicture(30, 20, 4), p, "window 51");
  p.windowSize = 0;
  ExpectSameAsReference(*TextPicture(30, 20, 4), p, "window 0");
}

TEST(EdgeMapEntry, OutputFormatAndAlwaysWhiteBorder) {
  // Noise gives candidates everywhere; column 0 and the last row are still white, and the
  // padding bits of each row are set.
  const int w = 37, h = 23;
  const auto page = NoisePicture(w, h, 9);
  TKvBitmap dest;
  ASSERT_TRUE(ShenCastanEdgeMap(*page, dest, 7, nullptr, true, 0, 0.9, 0.99));
  ASSERT_EQ(dest.PixelFormat(), kv1g);
  ASSERT_EQ(dest.Width(), w);
  ASSERT_EQ(dest.Height(), h);
  const std::vector<uint8_t> black = BlackPixels(dest);
  int64_t edges = 0, rowZero = 0, lastColumn = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool edge = black[size_t(y) * w + size_t(x)] != 0;
      edges += edge;
      if (x == 0 || y == h - 1) {
        EXPECT_FALSE(edge) << x << "," << y;
      }
      rowZero += edge && y == 0;
      lastColumn += edge && x == w - 1;
    }
  EXPECT_GT(edges, w * h / 10);
  EXPECT_GT(rowZero, 0);
  EXPECT_GT(lastColumn, 0);
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = dest.RowPtr(y);
    for (int x = w; x < dest.RowLength() * 8; ++x) EXPECT_TRUE(row[x >> 3] & (0x80 >> (x & 7)));
  }
}

TEST(EdgeMapEntry, ProgressReportsSixStages) {
  const auto page = TextPicture(30, 30, 2);
  TKvBitmap dest;
  int sender = 0;
  std::vector<int32_t> percents;
  std::vector<void*> senders;
  ASSERT_TRUE(ShenCastanEdgeMap(
      *page, dest, 7,
      [&](void* s, int32_t percent) {
        senders.push_back(s);
        percents.push_back(percent);
      },
      true, 0, 0.9, 0.99, &sender));
  EXPECT_EQ(percents, (std::vector<int32_t>{16, 33, 50, 66, 83, 100}));
  EXPECT_EQ(senders, std::vector<void*>(6, &sender));
}

TEST(EdgeMapEntry, DestMayBeTheSource) {
  const auto page = TextPicture(50, 40, 8);
  const TEdgeRun separate = RunFast(*page);
  ASSERT_TRUE(ShenCastanEdgeMap(*page, *page, 7, nullptr, true, 0, 0.9, 0.99));
  EXPECT_EQ(page->PixelFormat(), kv1g);
  EXPECT_EQ(BlackPixels(*page), separate.black);
}

TEST(EdgeMapEntry, PagedRowsGiveTheSameMap) {
  // Source and result in temporary-file storage, where only the last row fetched is valid.
  const auto inMemory = TextPicture(64, 48, 6);
  const TEdgeRun expected = RunFast(*inMemory);
  TKvBitmap::SetFileThresholdOverride(1);
  auto paged = TextPicture(64, 48, 6);
  TKvBitmap dest;
  const bool accepted = ShenCastanEdgeMap(*paged, dest, 7, nullptr, true, 0, 0.9, 0.99);
  const TKvStorageKind sourceKind = paged->Location(), destKind = dest.Location();
  const std::vector<uint8_t> black = accepted ? BlackPixels(dest) : std::vector<uint8_t>{};
  TKvBitmap::SetFileThresholdOverride(-1);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(sourceKind, kvTempFile);
  EXPECT_EQ(destKind, kvTempFile);
  EXPECT_EQ(black, expected.black);
}

// ---------------------------------------------------------------------------------------------
// The fast detector against the plain one

TEST(EdgeMapIdentity, FastMatchesPlainOnVariedPictures) {
  struct TCase {
    std::string what;
    std::unique_ptr<TKvBitmap> page;
    TParams params;
  };
  std::vector<TCase> cases;
  cases.push_back({"text 120 x 90", TextPicture(120, 90, 21), {}});
  cases.push_back({"text 77 x 131", TextPicture(77, 131, 22), {}});
  cases.push_back({"noise 45 x 33", NoisePicture(45, 33, 23), {}});
  cases.push_back({"ramp 64 x 40",
                   Picture(64, 40,
                           [](int x, int y) {
                             return KvRGB(uint8_t(x * 4), uint8_t(y * 6), uint8_t((x * y) & 255));
                           }),
                   {}});
  cases.push_back({"rings 70 x 70",
                   Picture(70, 70,
                           [](int x, int y) {
                             const double r = std::hypot(x - 35.0, y - 35.0);
                             return Gray(int(127.5 + 127.5 * std::sin(r / 2.5)));
                           }),
                   {}});
  cases.push_back({"1 x 1", Picture(1, 1, [](int, int) { return Gray(200); }), {}});
  cases.push_back({"5 x 3", NoisePicture(5, 3, 24), {}});
  TParams thin;
  thin.thinFactor = 3;
  cases.push_back({"text, thinning 3", TextPicture(80, 60, 25), thin});
  TParams noHysteresis;
  noHysteresis.hysteresis = false;
  cases.push_back({"text, no hysteresis", TextPicture(80, 60, 26), noHysteresis});
  TParams smooth;
  smooth.smoothing = 0.35;
  smooth.windowSize = 5;
  cases.push_back({"text, smoothing 0.35, window 5", TextPicture(80, 60, 27), smooth});
  TParams ratio;
  ratio.ratio = 0.05;
  cases.push_back({"noise, ratio 0.05", NoisePicture(60, 50, 28), ratio});
  for (const TCase& c : cases) ExpectSameAsReference(*c.page, c.params, c.what);
}

TEST(EdgeMapIdentity, LargerPageSameBitsForEveryThreadCount) {
  // Large enough for every stage to split into parts of different lengths.
  const auto page = TextPicture(301, 407, 31);
  const TEdgeRun one = RunFast(*page, {}, 1);
  const TEdgeRun two = RunFast(*page, {}, 2);
  EXPECT_EQ(one.black, two.black);
  EXPECT_EQ(one.stats.high, two.stats.high);
  EXPECT_EQ(one.stats.candidates, two.stats.candidates);
  EXPECT_EQ(one.stats.edges, two.stats.edges);
  EXPECT_GT(one.stats.edges, 1000);
}

}  // namespace
