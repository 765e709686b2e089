// The Shen-Castan edge detector behind the skew measurement.
//
// Method, stage by stage:
//  1-3. The kv24RGB page becomes gray (R*21 + G*71 + B*8) div 100 and is continued periodically
//       (as if tiled) by a margin of 27 cells on every side into the float plane F.
//  4.   The infinite symmetric exponential filter smooths F into S: a causal part A and an
//       anti-causal part B, each a first-order recursion (two multiplications and one addition
//       per cell), run along columns and then along rows. Every cell is computed in extended
//       precision and stored as a float, so the result does not depend on the compiler's
//       choice of registers.
//  5.   L = 1 where S > F: the sign of the band-limited Laplacian.
//  6.   A cell with L = 1 that borders an L = 0 cell in a direction where S rises (or falls, for
//       the opposite side) is a zero crossing, an edge candidate. Its adaptive gradient is the
//       mean of S over the L = 0 cells of a square window minus the mean over its L = 1 cells.
//       The gradient plane G reuses F.
//  7.   A 256-bin histogram of the gradients of the analysed interior gives the high threshold
//       (the bin at which the cells counted from the top reach the wanted share of the extended
//       raster) and the low one (half of it).
//  8.   Hysteresis: every cell above the high threshold starts a walk that follows one chain of
//       non-zero gradient cells; cells above the low threshold on it become edges.
//  9-10. The edge marks become the kv1g result: a clear bit (black) is an edge.
//
// Speed: the planes are plain top-down float and byte arrays addressed through raw row
// pointers. The smoothing keeps a carry row (columns) or a few scratch rows (rows) instead of
// the full A and B planes; the candidates of each row are collected once, their gradients are
// computed several at a time, and the histogram and the walk work from that list. The stages
// whose rows or columns are independent run on up to two threads. Every cell still goes
// through exactly the same arithmetic in the same order, so the bits do not depend on the
// thread count or the instruction set. The walk is the only serial stage.
#include "deskew/edgemap.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Cells added on every side before filtering: the analysis border plus the two cells of
// extension that the analysed interior keeps around the page.
constexpr int kExtensionMargin = 27;
// Cells of the extended raster this close to its edge are never candidates, are 0 in L and G,
// and stay out of the histogram: the smoothing is not settled there.
constexpr int kAnalysisBorder = 25;
// The window must not reach past the extended raster from any interior cell.
constexpr int32_t kMaxWindowSize = 2 * kAnalysisBorder + 1;
constexpr int kHistogramBins = 256;
constexpr int kStageCount = 6;
constexpr double kStepPercent = 100.0 / kStageCount;
// The measurement machine has two cores; more threads only add start-up cost.
constexpr int kMaxThreads = 2;
// Gray weights of the detector (red, green, blue, divisor).
constexpr int kGrayRed = 21, kGrayGreen = 71, kGrayBlue = 8, kGrayDivisor = 100;
// Edge marks of the walk.
constexpr uint8_t kMarkStrong = 1;  // visited, gradient above the low threshold
constexpr uint8_t kMarkWeak = 255;  // visited, not an edge

// A top-down plane of W' x H' cells in one block.
template <typename T>
class TPlane {
 public:
  TPlane(int width, int height)
      : width_(width),
        cells_(std::make_unique_for_overwrite<T[]>(size_t(width) * size_t(height))) {}
  T* Row(int y) { return cells_.get() + size_t(width_) * size_t(y); }
  const T* Row(int y) const { return cells_.get() + size_t(width_) * size_t(y); }
  void Fill(int firstRow, int endRow, T value) { std::fill(Row(firstRow), Row(endRow), value); }

 private:
  int width_;
  std::unique_ptr<T[]> cells_;
};
using TFloatPlane = TPlane<float>;
using TBytePlane = TPlane<uint8_t>;

// Runs body(part, first, end) over [0, count) split into up to `parts` contiguous ranges;
// part 0 runs on the calling thread, and so does a part whose thread cannot be started. An
// exception of a body (an allocation failure) is passed on once every part has ended.
template <typename Body>
void ParallelRange(int count, int parts, const Body& body) {
  parts = std::max(1, std::min(parts, count));
  auto bound = [count, parts](int p) { return int(int64_t(count) * p / parts); };
  std::vector<std::exception_ptr> failures(static_cast<size_t>(parts));
  auto guarded = [&](int p) {
    try {
      body(p, bound(p), bound(p + 1));
    } catch (...) {
      failures[size_t(p)] = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(size_t(parts - 1));
  for (int p = 1; p < parts; ++p) {
    try {
      workers.emplace_back(guarded, p);
    } catch (const std::system_error&) {
      guarded(p);
    }
  }
  guarded(0);
  for (std::thread& t : workers) t.join();
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

// The ISEF coefficients. b1 and b2 are doubles computed in extended precision; the passes
// promote them again.
struct TIsef {
  long double b, b1, b2;
  explicit TIsef(double smoothing) {
    const long double bl = smoothing;
    const double b1d = double((1.0L - bl) / (1.0L + bl));
    const double b2d = double(bl * b1d);
    b = bl;
    b1 = b1d;
    b2 = b2d;
  }
  float Causal(float in, float previous) const { return float(b1 * in + b * previous); }
  float Anticausal(float in, float next) const { return float(b2 * in + b * next); }
  static float Sum(float a, float bNext) { return float((long double)a + (long double)bNext); }
};

struct TRun {
  int w = 0, h = 0;    // page
  int wx = 0, hx = 0;  // extended raster
  int threads = 1;
  int32_t radius = 0;
  bool hysteresis = true;
  int32_t thinFactor = 0;
  double ratio = 0;
  TIsef isef{0.5};
  const TKvProgressEvent* progress = nullptr;
  void* sender = nullptr;

  void Report(int stage) const {
    if (progress != nullptr && *progress) (*progress)(sender, int32_t(stage * kStepPercent));
  }
};

int PositiveMod(int v, int m) {
  const int r = v % m;
  return r < 0 ? r + m : r;
}

void GrayRow(const uint8_t* row, int w, uint8_t* out) {
  for (int x = 0; x < w; ++x) {
    const int blue = row[3 * x], green = row[3 * x + 1], red = row[3 * x + 2];
    out[x] = uint8_t((red * kGrayRed + green * kGrayGreen + blue * kGrayBlue) / kGrayDivisor);
  }
}

// Stage 1: the page in gray, W x H. Rows of a temporary-file buffer are paged in one at a time,
// so they are read in turn; rows in memory stay put and are converted by several threads.
std::vector<uint8_t> ReadGray(const TRun& run, const TKvBitmap& source) {
  const int w = run.w, h = run.h;
  std::vector<uint8_t> gray(size_t(w) * size_t(h));
  if (source.Location() == kvTempFile) {
    for (int y = 0; y < h; ++y) GrayRow(source.RowPtr(y), w, gray.data() + size_t(w) * size_t(y));
    return gray;
  }
  std::vector<const uint8_t*> rows(static_cast<size_t>(h));
  for (int y = 0; y < h; ++y) rows[size_t(y)] = source.RowPtr(y);
  ParallelRange(h, run.threads, [&](int, int first, int end) {
    for (int y = first; y < end; ++y)
      GrayRow(rows[size_t(y)], w, gray.data() + size_t(w) * size_t(y));
  });
  return gray;
}

// Stages 2 and 3: F(x', y') = gray((x' - 27) mod W, (y' - 27) mod H).
void ExtendIntoFloats(const TRun& run, const std::vector<uint8_t>& gray, TFloatPlane& f) {
  std::vector<int> column(size_t(run.wx));
  for (int x = 0; x < run.wx; ++x) column[size_t(x)] = PositiveMod(x - kExtensionMargin, run.w);
  ParallelRange(run.hx, run.threads, [&](int, int first, int end) {
    for (int y = first; y < end; ++y) {
      const uint8_t* in =
          gray.data() + size_t(run.w) * size_t(PositiveMod(y - kExtensionMargin, run.h));
      float* out = f.Row(y);
      for (int x = 0; x < run.wx; ++x) out[x] = float(in[column[size_t(x)]]);
    }
  });
}

// Stage 4, along columns [x0, x1): B is run upwards into S, then A downwards in a carry row,
// and S[y] = A[y] + B[y+1] replaces B[y], which is no longer needed once S[y-1] is known.
void SmoothColumns(const TRun& run, const TFloatPlane& f, TFloatPlane& s, float* carry, int x0,
                   int x1) {
  const TIsef& k = run.isef;
  const int last = run.hx - 1;
  {
    const float* in = f.Row(last);
    float* out = s.Row(last);
    for (int x = x0; x < x1; ++x) out[x] = float(k.b2 * in[x]);
  }
  for (int y = last - 1; y >= 0; --y) {
    const float* in = f.Row(y);
    const float* next = s.Row(y + 1);
    float* out = s.Row(y);
    for (int x = x0; x < x1; ++x) out[x] = k.Anticausal(in[x], next[x]);
  }
  {
    const float* in = f.Row(0);
    const float* bNext = s.Row(1);
    float* out = s.Row(0);
    for (int x = x0; x < x1; ++x) {
      carry[x] = float(k.b1 * in[x]);
      out[x] = TIsef::Sum(carry[x], bNext[x]);
    }
  }
  for (int y = 1; y < last; ++y) {
    const float* in = f.Row(y);
    const float* bNext = s.Row(y + 1);
    float* out = s.Row(y);
    for (int x = x0; x < x1; ++x) {
      carry[x] = k.Causal(in[x], carry[x]);
      out[x] = TIsef::Sum(carry[x], bNext[x]);
    }
  }
  {
    const float* in = f.Row(last);
    float* out = s.Row(last);
    for (int x = x0; x < x1; ++x) out[x] = k.Causal(in[x], carry[x]);
  }
}

// Rows handled together by one thread in the row pass: their recursions are independent, so
// the processor overlaps them instead of waiting on one chain of extended-precision steps.
constexpr int kRowBundle = 4;

// Stage 4, along rows: B into scratch, then A forwards while S is overwritten in place (A[x]
// reads S[x] before S[x] = A[x] + B[x+1] replaces it).
void SmoothRows(const TRun& run, TFloatPlane& s, float* scratch, int y0, int y1) {
  const TIsef& k = run.isef;
  const int last = run.wx - 1;
  int y = y0;
  for (; y + kRowBundle <= y1; y += kRowBundle) {
    std::array<float*, kRowBundle> row;
    std::array<float*, kRowBundle> b;
    for (int i = 0; i < kRowBundle; ++i) {
      row[i] = s.Row(y + i);
      b[i] = scratch + size_t(run.wx) * size_t(i);
      b[i][last] = float(k.b2 * row[i][last]);
    }
    for (int x = last - 1; x >= 0; --x)
      for (int i = 0; i < kRowBundle; ++i) b[i][x] = k.Anticausal(row[i][x], b[i][x + 1]);
    std::array<float, kRowBundle> a;
    for (int i = 0; i < kRowBundle; ++i) {
      a[i] = float(k.b1 * row[i][0]);
      row[i][0] = TIsef::Sum(a[i], b[i][1]);
    }
    for (int x = 1; x < last; ++x)
      for (int i = 0; i < kRowBundle; ++i) {
        a[i] = k.Causal(row[i][x], a[i]);
        row[i][x] = TIsef::Sum(a[i], b[i][x + 1]);
      }
    for (int i = 0; i < kRowBundle; ++i) row[i][last] = k.Causal(row[i][last], a[i]);
  }
  for (; y < y1; ++y) {
    float* row = s.Row(y);
    float* b = scratch;
    b[last] = float(k.b2 * row[last]);
    for (int x = last - 1; x >= 0; --x) b[x] = k.Anticausal(row[x], b[x + 1]);
    float a = float(k.b1 * row[0]);
    row[0] = TIsef::Sum(a, b[1]);
    for (int x = 1; x < last; ++x) {
      a = k.Causal(row[x], a);
      row[x] = TIsef::Sum(a, b[x + 1]);
    }
    row[last] = k.Causal(row[last], a);
  }
}

void Smooth(const TRun& run, const TFloatPlane& f, TFloatPlane& s) {
  // Each column part uses its own columns of the carry row; each row part its own scratch.
  std::vector<float> carry(size_t(run.wx));
  ParallelRange(run.wx, run.threads,
                [&](int, int x0, int x1) { SmoothColumns(run, f, s, carry.data(), x0, x1); });
  const size_t scratchCells = size_t(kRowBundle) * size_t(run.wx);
  std::vector<float> scratch(size_t(run.threads) * scratchCells);
  ParallelRange(run.hx, run.threads, [&](int part, int y0, int y1) {
    SmoothRows(run, s, scratch.data() + size_t(part) * scratchCells, y0, y1);
  });
}

// Stage 5: L = 1 where S > F in the interior (the sign of S - F, exact for floats). F is not
// needed after this, so its cells take S where L = 1 and 0 elsewhere (the "on" part of S that
// the gradient sums); since S > F >= 0 there, such a cell is non-zero exactly where L = 1.
void LaplacianSign(const TRun& run, TFloatPlane& f, const TFloatPlane& s, TBytePlane& l) {
  ParallelRange(run.hx, run.threads, [&](int, int first, int end) {
    l.Fill(first, end, 0);
    const int x0 = kAnalysisBorder, x1 = run.wx - kAnalysisBorder;
    for (int y = first; y < end; ++y) {
      float* fr = f.Row(y);
      if (y < kAnalysisBorder || y >= run.hx - kAnalysisBorder) {
        std::fill(fr, fr + run.wx, 0.0f);
        continue;
      }
      const float* sr = s.Row(y);
      uint8_t* lr = l.Row(y);
      for (int x = x0; x < x1; ++x) {
        const bool on = sr[x] > fr[x];
        lr[x] = on ? 1 : 0;
        fr[x] = on ? sr[x] : 0.0f;
      }
      std::fill(fr, fr + x0, 0.0f);
      std::fill(fr + x1, fr + run.wx, 0.0f);
    }
  });
}

// The candidates of a row: cells with L = 1 whose first matching rule finds the right slope.
// Rules, first whose condition holds decides: L below is 0 -> S rises downwards; L right is 0 ->
// S rises to the right; L above is 0 -> S falls downwards; L left is 0 -> S falls to the right.
// L holds only 0 and 1, so the rule chain is written as 0/1 arithmetic that the compiler can
// run on many cells at once into `flags`; the few set flags are then collected word by word.
int RowZeroCrossings(const TRun& run, const TBytePlane& l, const TFloatPlane& s, int y,
                     uint8_t* flags, int32_t* xs) {
  const uint8_t* lu = l.Row(y - 1);
  const uint8_t* lc = l.Row(y);
  const uint8_t* ld = l.Row(y + 1);
  const float* su = s.Row(y - 1);
  const float* sc = s.Row(y);
  const float* sd = s.Row(y + 1);
  const int x0 = kAnalysisBorder, x1 = run.wx - kAnalysisBorder;
  for (int x = x0; x < x1; ++x) {
    const uint8_t risesDown = sd[x] > su[x], fallsDown = sd[x] < su[x];
    const uint8_t risesRight = sc[x + 1] > sc[x - 1], fallsRight = sc[x + 1] < sc[x - 1];
    const uint8_t below = ld[x], right = lc[x + 1], above = lu[x], left = lc[x - 1];
    const uint8_t byRule = uint8_t(((below ^ 1) & risesDown) | (below & (right ^ 1) & risesRight) |
                                   (below & right & (above ^ 1) & fallsDown) |
                                   (below & right & above & (left ^ 1) & fallsRight));
    flags[x - x0] = lc[x] & byRule;
  }
  const int count = x1 - x0;
  std::fill(flags + count, flags + count + 8, uint8_t(0));
  int n = 0;
  for (int i = 0; i < count; i += 8) {
    uint64_t word;
    std::memcpy(&word, flags + i, sizeof word);
    while (word != 0) {
      xs[n++] = x0 + i + std::countr_zero(word) / 8;
      word &= word - 1;
    }
  }
  return n;
}

// Candidates handled together by the gradient: each lane runs the same sums in the same order
// as a single candidate would, and the lanes hide each other's addition latency.
constexpr int kLanes = 8;
using TLanes = double __attribute__((vector_size(kLanes * sizeof(double))));
using TFloatLanes = float __attribute__((vector_size(kLanes * sizeof(float))));
using TLaneMask = int32_t __attribute__((vector_size(kLanes * sizeof(int32_t))));

// Mean of S over the window's L = 0 cells minus the mean over its L <> 0 cells, summed row by
// row, left to right, for up to kLanes candidates of row y. `on` holds S where L = 1 and 0
// elsewhere; S - on is then S or 0 exactly. Adding 0.0 leaves a sum (never -0.0, S being
// non-negative) unchanged, so both sums can take every cell of the window.
void LaneGradients(const TFloatPlane& on, const TFloatPlane& s, int32_t radius, int y,
                   const int32_t* xs, int count, float* out) {
  std::array<int32_t, kLanes> x;
  for (int i = 0; i < kLanes; ++i) x[size_t(i)] = xs[std::min(i, count - 1)];
  TLanes sumOn = {}, sumOff = {};
  TLaneMask numOn = {};
  int cells = 0;
  for (int dy = -radius; dy <= radius; ++dy) {
    const float* sr = s.Row(y + dy);
    const float* onr = on.Row(y + dy);
    for (int dx = -radius; dx <= radius; ++dx) {
      TFloatLanes v, vOn;
      for (int i = 0; i < kLanes; ++i) {
        v[i] = sr[x[size_t(i)] + dx];
        vOn[i] = onr[x[size_t(i)] + dx];
      }
      sumOn += __builtin_convertvector(vOn, TLanes);
      sumOff += __builtin_convertvector(v - vOn, TLanes);
      numOn -= vOn != 0;
      ++cells;
    }
  }
  for (int i = 0; i < count; ++i) {
    const int numOff = cells - numOn[i];
    const double avgOff = sumOff[i] != 0 ? sumOff[i] / numOff : 0;
    const double avgOn = sumOn[i] != 0 ? sumOn[i] / numOn[i] : 0;
    out[i] = float(avgOff - avgOn);
  }
}

// The candidates of a range of rows in row order: cell indices, gradients, and the smallest and
// largest gradient (with 0, the value of every other cell).
struct TCandidates {
  std::vector<ptrdiff_t> cells;
  std::vector<float> gradients;
  double vmin = 0, vmax = 0;
  int64_t nonZero = 0;
};

// Stage 6: the candidates and their gradients; then G (in F's cells, which hold the "on" part
// of S until every gradient is known) is 0 except at the candidates.
std::vector<TCandidates> Gradients(const TRun& run, const TBytePlane& l, const TFloatPlane& s,
                                   TFloatPlane& f) {
  std::vector<TCandidates> parts(size_t(run.threads));
  ParallelRange(run.hx, run.threads, [&](int part, int first, int end) {
    TCandidates& list = parts[size_t(part)];
    std::vector<int32_t> xs(size_t(run.wx));
    std::vector<uint8_t> flags(size_t(run.wx) + 8);
    std::array<float, kLanes> lane;
    const int y0 = std::max(first, kAnalysisBorder);
    const int y1 = std::min(end, run.hx - kAnalysisBorder);
    for (int y = y0; y < y1; ++y) {
      const int n = RowZeroCrossings(run, l, s, y, flags.data(), xs.data());
      for (int i = 0; i < n; i += kLanes) {
        const int count = std::min(kLanes, n - i);
        LaneGradients(f, s, run.radius, y, xs.data() + i, count, lane.data());
        for (int j = 0; j < count; ++j) {
          const float v = lane[size_t(j)];
          list.cells.push_back(ptrdiff_t(y) * run.wx + xs[size_t(i + j)]);
          list.gradients.push_back(v);
          list.vmin = std::min(list.vmin, double(v));
          list.vmax = std::max(list.vmax, double(v));
          list.nonZero += v != 0 ? 1 : 0;
        }
      }
    }
  });
  // Same split as above: each part clears its rows and writes its own candidates.
  ParallelRange(run.hx, run.threads, [&](int part, int first, int end) {
    f.Fill(first, end, 0.0f);
    const TCandidates& list = parts[size_t(part)];
    float* g = f.Row(0);
    for (size_t i = 0; i < list.cells.size(); ++i) g[list.cells[i]] = list.gradients[i];
  });
  return parts;
}

struct TThresholds {
  double high = 0, low = 0;
};

// Stage 7: thresholds from the histogram of the interior gradients. Every interior cell that
// is not a candidate holds 0, and vmin and vmax start from a border cell (0 as well), so the
// extremes and the histogram follow from the candidates and the count of the other cells.
TThresholds HistogramThresholds(const TRun& run, const TFloatPlane& g,
                                const std::vector<TCandidates>& parts, TKvEdgeMapStats* stats) {
  const double start = std::fabs(double(g.Row(20)[20]));
  double vmin = start, vmax = start;
  int64_t candidates = 0, nonZero = 0;
  for (const TCandidates& p : parts) {
    vmin = std::min(vmin, p.vmin);
    vmax = std::max(vmax, p.vmax);
    candidates += int64_t(p.gradients.size());
    nonZero += p.nonZero;
  }
  const double scale = kHistogramBins / (vmax - vmin + 1);
  // (G - vmin) * scale lies in [0, 256) since vmin <= G <= vmax: the conversion truncates; the
  // clamp only guards the table.
  auto binOf = [vmin, scale](double v) {
    return std::clamp(int((v - vmin) * scale), 0, kHistogramBins - 1);
  };
  std::array<int64_t, kHistogramBins> hist{};
  const int64_t interior =
      int64_t(run.hx - 2 * kAnalysisBorder) * int64_t(run.wx - 2 * kAnalysisBorder);
  hist[size_t(binOf(0.0))] += interior - candidates;
  for (const TCandidates& p : parts)
    for (float v : p.gradients) ++hist[size_t(binOf(v))];

  // The target counts every cell of the extended raster, not only the interior.
  const double target = std::trunc(double(run.hx) * run.ratio * double(run.wx));
  int k = kHistogramBins - 1;
  int64_t count = hist[size_t(k)];
  while (double(count) < target) {
    --k;
    if (k < 0) break;
    count += hist[size_t(k)];
  }
  TThresholds t;
  t.high = k / scale + vmin;
  t.low = run.hysteresis ? t.high / 2 : t.high;
  if (stats != nullptr) {
    stats->vmin = vmin;
    stats->vmax = vmax;
    stats->scale = scale;
    stats->bin = k;
    stats->high = t.high;
    stats->low = t.low;
    stats->candidates = nonZero;
  }
  return t;
}

// The neighbour order of the walk: right, left, the row below right to left, the row above
// left to right.
constexpr int kNeighbourDy[8] = {0, 0, 1, 1, 1, -1, -1, -1};
constexpr int kNeighbourDx[8] = {1, -1, 1, 0, -1, -1, 0, 1};

// Stage 8. A walk visits a cell, then continues at the first of its neighbours that can be
// visited and stops there: the remaining neighbours are left to later walks. Each visit thus
// continues at most one neighbour, so the walk is a chain and needs neither recursion nor a
// stack: the cell and its depth (level) are the whole state. Thinning, which the recursive form
// applies to a cell once its successor's chain has ended, can be applied as soon as the
// successor is known, since marks are only ever tested for being non-zero during the walk.
// Cells with a non-zero gradient never lie on the outermost ring, so a walk never leaves the
// plane and the neighbours need no bounds test.
class TChainWalker {
 public:
  TChainWalker(const float* g, uint8_t* e, int wx, double high, double low, int32_t thinFactor)
      : g_(g), e_(e), high_(high), low_(low), thinFactor_(thinFactor) {
    for (int i = 0; i < 8; ++i)
      offset_[size_t(i)] = ptrdiff_t(kNeighbourDy[i]) * wx + kNeighbourDx[i];
  }
  // The walk Mark(cell, 0) for a cell whose gradient exceeds the high threshold.
  void StartAt(ptrdiff_t cell) const {
    if (!(double(g_[cell]) > high_) || !Visitable(cell)) return;
    for (int64_t level = 0;; ++level) {
      e_[cell] = double(g_[cell]) > low_ ? kMarkStrong : kMarkWeak;
      ptrdiff_t next = -1;
      for (ptrdiff_t d : offset_)
        if (Visitable(cell + d)) {
          next = cell + d;
          break;
        }
      if (next < 0) return;
      if (level > 0 && thinFactor_ > 0 && level % thinFactor_ != 0) e_[cell] = kMarkWeak;
      cell = next;
    }
  }

 private:
  bool Visitable(ptrdiff_t cell) const { return e_[cell] == 0 && g_[cell] != 0; }
  const float* g_;
  uint8_t* e_;
  double high_, low_;
  int32_t thinFactor_;
  std::array<ptrdiff_t, 8> offset_;
};

// The walk over a whole plane: walks start in row order at every cell `border` or more cells
// inside the plane.
void WalkChains(const float* g, uint8_t* e, int wx, int hx, int border, double high, double low,
                int32_t thinFactor) {
  std::fill(e, e + size_t(wx) * size_t(hx), uint8_t(0));
  const TChainWalker walker(g, e, wx, high, low, thinFactor);
  for (int y = border; y < hx - border; ++y)
    for (int x = border; x < wx - border; ++x) walker.StartAt(ptrdiff_t(y) * wx + x);
}

// The detector's walk: only candidates have a non-zero gradient, so only they can start a walk,
// and the candidate lists hold them in row order.
void Hysteresis(const TRun& run, const TFloatPlane& g, const std::vector<TCandidates>& parts,
                const TThresholds& t, TBytePlane& e) {
  e.Fill(0, run.hx, 0);
  const TChainWalker walker(g.Row(0), e.Row(0), run.wx, t.high, t.low, run.thinFactor);
  for (const TCandidates& p : parts)
    for (ptrdiff_t cell : p.cells) walker.StartAt(cell);
}

// Stages 9 and 10: pixel (x, y) is black where the walk left a strong mark at (x + 27, y + 27);
// column 0 and the last row stay white. Padding bits are white.
void WriteOutput(const TRun& run, const TBytePlane& e, TKvBitmap& dest) {
  dest.FreeImage();
  if (!dest.AllocateImage(run.w, run.h, kv1g)) throw std::bad_alloc();
  std::vector<uint8_t> bits(size_t(dest.RowLength()));
  const int fullBytes = run.w / 8;
  for (int y = 0; y < run.h; ++y) {
    std::fill(bits.begin(), bits.end(), uint8_t(0xFF));
    if (y < run.h - 1) {
      const uint8_t* er = e.Row(y + kExtensionMargin) + kExtensionMargin;
      for (int b = 0; b < fullBytes; ++b) {
        const uint8_t* cell = er + 8 * b;
        unsigned byte = 0;
        for (int i = 0; i < 8; ++i) byte = byte << 1 | (cell[i] != kMarkStrong ? 1u : 0u);
        bits[size_t(b)] = uint8_t(byte);
      }
      for (int x = 8 * fullBytes; x < run.w; ++x)
        if (er[x] == kMarkStrong) bits[size_t(x >> 3)] &= uint8_t(~(0x80u >> (x & 7)));
      bits[0] |= 0x80;  // column 0
    }
    std::memcpy(dest.RowPtr(y), bits.data(), bits.size());
  }
}

int64_t CountEdges(const TRun& run, const TBytePlane& e) {
  int64_t edges = 0;
  for (int y = 0; y < run.hx; ++y) {
    const uint8_t* er = e.Row(y);
    for (int x = 0; x < run.wx; ++x) edges += er[x] == kMarkStrong ? 1 : 0;
  }
  return edges;
}

int ResolveThreads(int requested) {
  if (requested >= 1) return std::min(requested, kMaxThreads);
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(int(cores), 1, kMaxThreads);
}

}  // namespace

bool ShenCastanEdgeMapDetailed(const TKvBitmap& source, TKvBitmap& dest, int32_t windowSize,
                               const TKvProgressEvent& progress, bool hysteresis,
                               int32_t thinFactor, double smoothing, double ratio,
                               void* progressSender, int threadCount, TKvEdgeMapStats* stats) {
  if (source.IsEmpty() || source.PixelFormat() != kv24RGB) return false;
  // The filter is stable and smoothing only for 0 < b < 1 (this also refuses NaN).
  if (!(smoothing > 0 && smoothing < 1)) return false;
  if (windowSize > kMaxWindowSize) return false;
  const int w = source.Width(), h = source.Height();
  if (w < 1 || h < 1) return false;
  constexpr int kMaxSide = std::numeric_limits<int>::max() - 2 * kExtensionMargin;
  if (w > kMaxSide || h > kMaxSide) return false;
  const int64_t cells = int64_t(w + 2 * kExtensionMargin) * int64_t(h + 2 * kExtensionMargin);
  if (cells > std::numeric_limits<int64_t>::max() / 16) return false;

  TRun run;
  run.w = w;
  run.h = h;
  run.wx = w + 2 * kExtensionMargin;
  run.hx = h + 2 * kExtensionMargin;
  run.threads = ResolveThreads(threadCount);
  run.radius = windowSize / 2;
  run.hysteresis = hysteresis;
  run.thinFactor = thinFactor;
  run.ratio = ratio;
  run.isef = TIsef(smoothing);
  run.progress = &progress;
  run.sender = progressSender;

  const std::vector<uint8_t> gray = ReadGray(run, source);
  TFloatPlane f(run.wx, run.hx);
  ExtendIntoFloats(run, gray, f);
  run.Report(1);

  // L's cells become the edge marks E once the gradients are known.
  TBytePlane marks(run.wx, run.hx);
  std::vector<TCandidates> candidates;
  {
    TFloatPlane s(run.wx, run.hx);
    Smooth(run, f, s);
    run.Report(2);
    LaplacianSign(run, f, s, marks);
    run.Report(3);
    candidates = Gradients(run, marks, s, f);
    run.Report(4);
  }
  const TFloatPlane& g = f;
  const TThresholds thresholds = HistogramThresholds(run, g, candidates, stats);
  Hysteresis(run, g, candidates, thresholds, marks);
  run.Report(5);
  // The weak marks and the inversion fold into the output rule: a strong mark is an edge.
  run.Report(6);
  if (stats != nullptr) stats->edges = CountEdges(run, marks);
  WriteOutput(run, marks, dest);
  return true;
}

bool ShenCastanEdgeMap(const TKvBitmap& source, TKvBitmap& dest, int32_t windowSize,
                       const TKvProgressEvent& progress, bool hysteresis, int32_t thinFactor,
                       double smoothing, double ratio, void* progressSender) {
  return ShenCastanEdgeMapDetailed(source, dest, windowSize, progress, hysteresis, thinFactor,
                                   smoothing, ratio, progressSender, 0, nullptr);
}

bool ShenCastanHysteresis(const float* gradient, uint8_t* marks, int width, int height, int border,
                          double high, double low, int32_t thinFactor) {
  if (width < 1 || height < 1 || gradient == nullptr || marks == nullptr) return false;
  const size_t w = size_t(width), last = size_t(height) - 1;
  for (size_t x = 0; x < w; ++x)
    if (gradient[x] != 0 || gradient[last * w + x] != 0) return false;
  for (size_t y = 0; y <= last; ++y)
    if (gradient[y * w] != 0 || gradient[y * w + w - 1] != 0) return false;
  WalkChains(gradient, marks, width, height, std::max(border, 1), high, low, thinFactor);
  return true;
}
