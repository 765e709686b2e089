// The skew vote.
//
// Method: a Hough transform for straight lines. The accumulator has one row per candidate
// angle t (the angle of a line's normal, 90 degrees being horizontal lines) and one cell per
// signed distance of the line from the image centre (cx, cy), so that cell c of row t counts
// the dark pixels (x, y) with
//     c = R + Rnd17(SinFix[t] * (y - cy)) + Rnd17(CosFix[t] * (x - cx)),
// SinFix and CosFix being sines and cosines in fixed point with 17 fraction bits. The row of
// the first strictly largest cell (rows in ascending angle, cells in ascending distance) is
// the skew. Everything is integer arithmetic, so the result is exactly reproducible.
//
// How it is made fast without changing a single count:
// - only the candidate rows are allocated and searched (the others never receive a vote);
// - Rnd17(CosFix * (x - cx)) is tabled per candidate row and column, Rnd17(SinFix * (y - cy))
//   is computed once per row and angle, so a vote is one table load and one increment;
// - the image is packed once into a private bit buffer (its spare bits made white), so bytes
//   of eight white pixels are skipped and the threads never touch the bitmap's own storage;
// - rows are voted in blocks, angle by angle, so one accumulator row stays in cache while a
//   block's pixels vote into it;
// - blocks are shared out to threads, each with its own accumulator; the accumulators are
//   summed cell by cell for the search, and integer sums do not depend on the order.
// Votes whose cell falls outside 0 .. 2R (possible near the corners, because R is truncated
// and both products are rounded separately) are dropped: the accumulator rows carry a few
// guard cells on either side, sized exactly from the tables, which the search never reads.
#include "deskew/skewvote.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <thread>
#include <vector>

namespace {

// 3.1415926535 / 180: degrees to radians with pi cut after ten decimals, as the angle tables
// have always been built (changing it would move table entries by one unit).
constexpr double kDegreesToRadians = 0.017453292519444445;
// Fixed-point one: 17 fraction bits.
constexpr double kFixOne = 131072.0;
// Entries of the sine and cosine tables: 180 degrees at the finest step of 0.1 degree.
constexpr int kAngleTableLength = 1800;
// Largest accepted angleRange in degrees.
constexpr int32_t kMaxAngleRange = 180;
// Steps per degree for a precision of 1 .. 10 tenths of a degree: the integer nearest to
// 10 / tenths, halves to even (0.4 degree -> 2.5 -> 2).
constexpr int kStepsPerDegree[11] = {0, 10, 5, 3, 2, 2, 2, 1, 1, 1, 1};
// A tenths value this close to a whole number counts as that number (0.3 * 10 is
// 3.0000000000000004 in binary floating point, and 0.7 as typed must mean 7 tenths).
constexpr double kTenthsTolerance = 1e-9;
// Target number of column entries a work block holds (rows of a block = this / width), so
// that a block's pixel list stays in the first cache levels; and the limits on block rows.
constexpr int kBlockColumnsTarget = 1 << 18;
constexpr int kMaxBlockRows = 64;
// An accumulator larger than this many bytes is not duplicated per thread.
constexpr int64_t kMaxAccumulatorBytesPerThread = int64_t(64) << 20;
// Widths up to this keep the column terms in 16 bits (|term| <= width / 2 + 1).
constexpr int kMaxWidthForShortTerms = 32767;

// The precision as whole tenths of a degree (1 .. 10), or 0 when it is refused.
int PrecisionTenths(double precision) {
  if (!(precision > 0.0) || precision >= 2.0) return 0;  // also refuses NaN
  const double scaled = precision * 10.0;
  const double nearest = std::nearbyint(scaled);
  const int tenths =
      std::fabs(scaled - nearest) <= kTenthsTolerance ? int(nearest) : int(std::trunc(scaled));
  return tenths >= 1 && tenths <= 10 ? tenths : 0;
}

// Everything one vote needs, derived from the image size, the range and the precision.
struct TVotePlan {
  int width = 0, height = 0;
  int cx = 0, cy = 0;
  int radius = 0;               // R
  int h = 0;                    // steps per degree
  int mid = 0;                  // accumulator row of the horizontal lines
  int firstRow = 0;             // first candidate row
  int rowCount = 0;             // number of candidate rows (2 * half - 1, or none)
  int guardLow = 0;             // guard cells before cell 0
  int guardHigh = 0;            // guard cells after cell 2R
  int64_t stride = 0;           // cells of one accumulator row including the guards
  int bytesPerRow = 0;          // packed bytes of one image row
  std::vector<int32_t> sinFix;  // per candidate row
  std::vector<int32_t> cosFix;  // per candidate row
};

void BuildAngleTables(double step, std::vector<int32_t>& sinFix, std::vector<int32_t>& cosFix) {
  sinFix.resize(kAngleTableLength);
  cosFix.resize(kAngleTableLength);
  double t = 0.0;
  for (int i = 0; i < kAngleTableLength; ++i) {
    sinFix[i] = int32_t(std::trunc(std::sin(t) * kFixOne));
    cosFix[i] = int32_t(std::trunc(std::cos(t) * kFixOne));
    t += step;
  }
}

int64_t SinTerm(const TVotePlan& plan, int row, int y) {
  return Rnd17(int64_t(plan.sinFix[row]) * (y - plan.cy));
}
int64_t CosTerm(const TVotePlan& plan, int row, int x) {
  return Rnd17(int64_t(plan.cosFix[row]) * (x - plan.cx));
}

// Fills the plan; false when the vote has no candidate rows.
bool MakePlan(int width, int height, int32_t angleRange, int tenths, TVotePlan& plan) {
  plan.width = width;
  plan.height = height;
  plan.h = kStepsPerDegree[tenths];
  const double step = (1.0 / plan.h) * kDegreesToRadians;
  const int angleRows = 180 * plan.h;
  plan.mid = angleRows / 2;
  const int half = (angleRange * plan.h) / 2;
  plan.cx = width / 2;
  plan.cy = height / 2;
  plan.radius =
      int(std::trunc(std::sqrt(double(int64_t(width) * width + int64_t(height) * height)) / 2.0));
  plan.firstRow = plan.mid - half;
  plan.rowCount = std::max(0, 2 * half - 1);
  plan.bytesPerRow = (width + 7) / 8;
  if (plan.rowCount == 0) return false;

  std::vector<int32_t> sinAll, cosAll;
  BuildAngleTables(step, sinAll, cosAll);
  plan.sinFix.assign(sinAll.begin() + plan.firstRow,
                     sinAll.begin() + plan.firstRow + plan.rowCount);
  plan.cosFix.assign(cosAll.begin() + plan.firstRow,
                     cosAll.begin() + plan.firstRow + plan.rowCount);

  // Rnd17 of a product is monotone in x and in y, so the extreme cells of a row are reached
  // at the image corners.
  int64_t lowest = 0, highest = 0;
  for (int r = 0; r < plan.rowCount; ++r) {
    const int64_t s0 = SinTerm(plan, r, 0), s1 = SinTerm(plan, r, height - 1);
    const int64_t c0 = CosTerm(plan, r, 0), c1 = CosTerm(plan, r, width - 1);
    lowest = std::min(lowest, std::min(s0, s1) + std::min(c0, c1));
    highest = std::max(highest, std::max(s0, s1) + std::max(c0, c1));
  }
  plan.guardLow = int(std::max<int64_t>(0, -(plan.radius + lowest)));
  plan.guardHigh = int(std::max<int64_t>(0, highest - plan.radius));
  plan.stride = int64_t(plan.guardLow) + 2 * int64_t(plan.radius) + 1 + plan.guardHigh;
  return true;
}

// The vote image as packed rows of bits, spare bits set (white); counts the dark pixels.
std::vector<uint8_t> PackImage(const TKvBitmap& image, const TVotePlan& plan, int64_t& darkPixels) {
  std::vector<uint8_t> packed(size_t(plan.bytesPerRow) * size_t(plan.height));
  const int spareBits = plan.bytesPerRow * 8 - plan.width;
  const uint8_t spareMask = uint8_t(0xFF >> (8 - spareBits));  // 0 when there are none
  darkPixels = 0;
  for (int y = 0; y < plan.height; ++y) {
    uint8_t* dest = packed.data() + size_t(y) * plan.bytesPerRow;
    std::copy_n(image.RowPtr(y), plan.bytesPerRow, dest);
    if (spareBits > 0) dest[plan.bytesPerRow - 1] |= spareMask;
    for (int b = 0; b < plan.bytesPerRow; ++b) darkPixels += 8 - std::popcount(dest[b]);
  }
  return packed;
}

// Per candidate row and column: Rnd17(CosFix * (x - cx)).
template <typename TTerm>
std::vector<TTerm> MakeColumnTerms(const TVotePlan& plan) {
  std::vector<TTerm> terms(size_t(plan.rowCount) * size_t(plan.width));
  for (int r = 0; r < plan.rowCount; ++r) {
    TTerm* row = terms.data() + size_t(r) * plan.width;
    for (int x = 0; x < plan.width; ++x) row[x] = TTerm(CosTerm(plan, r, x));
  }
  return terms;
}

// One thread's accumulator and the pixel list of the block it is voting.
struct TVoteWorker {
  std::vector<uint32_t> accumulator;
  std::vector<int32_t> xs;        // dark columns of the block's rows, row after row
  std::vector<int32_t> rowY;      // rows of the block that hold dark pixels
  std::vector<int32_t> rowStart;  // their first entry in xs; one more entry ends the list
};

// Lists the dark pixels of rows y0 .. y1-1.
void CollectDarkPixels(const TVotePlan& plan, const uint8_t* packed, int y0, int y1,
                       TVoteWorker& w) {
  size_t count = 0, rows = 0;
  for (int y = y0; y < y1; ++y) {
    const uint8_t* row = packed + size_t(y) * plan.bytesPerRow;
    const size_t start = count;
    for (int b = 0; b < plan.bytesPerRow; ++b) {
      if (row[b] == 0xFF) continue;
      unsigned dark = uint8_t(~row[b]);
      while (dark != 0) {
        const int bit = std::countl_zero(uint8_t(dark));  // most significant bit first
        w.xs[count++] = 8 * b + bit;
        dark &= ~(0x80u >> bit);
      }
    }
    if (count > start) {
      w.rowY[rows] = y;
      w.rowStart[rows] = int32_t(start);
      ++rows;
    }
  }
  w.rowStart[rows] = int32_t(count);
  w.rowY.resize(rows);  // within capacity: never reallocates
}

template <typename TTerm>
void VoteBlock(const TVotePlan& plan, const TTerm* columnTerms, const uint8_t* packed, int y0,
               int y1, TVoteWorker& w) {
  w.rowY.resize(size_t(y1 - y0));
  CollectDarkPixels(plan, packed, y0, y1, w);
  if (w.rowY.empty()) return;
  const int32_t* xs = w.xs.data();
  for (int r = 0; r < plan.rowCount; ++r) {
    uint32_t* centre = w.accumulator.data() + r * plan.stride + plan.guardLow + plan.radius;
    const TTerm* terms = columnTerms + size_t(r) * plan.width;
    for (size_t k = 0; k < w.rowY.size(); ++k) {
      uint32_t* line = centre + SinTerm(plan, r, w.rowY[k]);
      const int32_t end = w.rowStart[k + 1];
      for (int32_t i = w.rowStart[k]; i < end; ++i) ++line[terms[xs[i]]];
    }
  }
}

int ThreadCount(const TVotePlan& plan, int64_t darkPixels, int blocks,
                const TSkewVoteTuning& tuning) {
  int limit = tuning.maxThreads > 0 ? tuning.maxThreads : int(std::thread::hardware_concurrency());
  limit = std::clamp(limit, 1, kSkewVoteMaxThreads);
  const int64_t accumulatorBytes = plan.stride * plan.rowCount * int64_t(sizeof(uint32_t));
  if (accumulatorBytes > kMaxAccumulatorBytesPerThread) return 1;
  const int64_t votes = darkPixels * plan.rowCount;
  const int64_t byWork =
      tuning.minVotesPerThread > 0 ? votes / tuning.minVotesPerThread : int64_t(limit);
  return int(std::clamp<int64_t>(std::min<int64_t>(byWork, blocks), 1, limit));
}

// Reports rows reported .. done-1 as the sequential vote would after each of them.
void ReportRows(const TKvProgressEvent& onProgress, void* sender, int height, int& reported,
                int done) {
  if (!onProgress) {
    reported = done;
    return;
  }
  const double perRow = 100.0 / height;
  for (; reported < done; ++reported) onProgress(sender, int32_t(std::trunc(reported * perRow)));
}

// The first strictly largest cell over all workers' accumulators: returns its candidate row
// index, or -1 when no cell got a vote.
int SearchBest(const TVotePlan& plan, const std::vector<TVoteWorker>& workers) {
  int best = -1;
  uint64_t bestCount = 0;
  const int64_t cells = 2 * int64_t(plan.radius) + 1;
  for (int r = 0; r < plan.rowCount; ++r) {
    const int64_t first = r * plan.stride + plan.guardLow;
    for (int64_t c = 0; c < cells; ++c) {
      uint64_t count = 0;
      for (const TVoteWorker& w : workers) count += w.accumulator[first + c];
      if (count > bestCount) {
        bestCount = count;
        best = r;
      }
    }
  }
  return best;
}

template <typename TTerm>
int VoteAndSearch(const TVotePlan& plan, const std::vector<uint8_t>& packed, int64_t darkPixels,
                  const TKvProgressEvent& onProgress, void* sender, const TSkewVoteTuning& tuning) {
  const std::vector<TTerm> columnTerms = MakeColumnTerms<TTerm>(plan);
  const int blockRows =
      tuning.blockRows > 0
          ? tuning.blockRows
          : std::clamp(kBlockColumnsTarget / std::max(plan.width, 1), 1, kMaxBlockRows);
  const int blocks = (plan.height + blockRows - 1) / blockRows;
  const int threads = ThreadCount(plan, darkPixels, blocks, tuning);

  // Everything a thread uses is allocated here, so no thread can fail an allocation.
  std::vector<TVoteWorker> workers(static_cast<size_t>(threads));
  for (TVoteWorker& w : workers) {
    w.accumulator.assign(size_t(plan.stride * plan.rowCount), 0);
    w.xs.resize(size_t(blockRows) * size_t(plan.width));
    w.rowY.reserve(size_t(blockRows));
    w.rowStart.resize(size_t(blockRows) + 1);
  }

  std::atomic<int> nextBlock{0};
  std::atomic<int> rowsDone{0};
  // Only the calling thread reports (reported != nullptr), so the callback never runs elsewhere.
  auto voteBlocks = [&](TVoteWorker& w, int* reported) {
    for (int b = nextBlock.fetch_add(1); b < blocks; b = nextBlock.fetch_add(1)) {
      const int y0 = b * blockRows, y1 = std::min(plan.height, y0 + blockRows);
      VoteBlock(plan, columnTerms.data(), packed.data(), y0, y1, w);
      const int done = rowsDone.fetch_add(y1 - y0) + (y1 - y0);
      if (reported != nullptr) ReportRows(onProgress, sender, plan.height, *reported, done);
    }
  };

  int reported = 0;
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(size_t(threads - 1));
    for (int t = 1; t < threads; ++t)
      helpers.emplace_back([&, t] { voteBlocks(workers[size_t(t)], nullptr); });
    voteBlocks(workers[0], &reported);
  }  // the helpers are joined here
  ReportRows(onProgress, sender, plan.height, reported, plan.height);
  return SearchBest(plan, workers);
}

}  // namespace

double SkewVoteTuned(const TKvBitmap& voteImage, int32_t angleRange, double precision,
                     const TKvProgressEvent& onProgress, void* sender,
                     const TSkewVoteTuning& tuning) {
  if (voteImage.PixelFormat() != kv1g) return 0.0;
  const int tenths = PrecisionTenths(precision);
  if (tenths == 0) return 0.0;
  if (angleRange < 0 || angleRange > kMaxAngleRange) return 0.0;
  const int width = voteImage.Width(), height = voteImage.Height();
  if (width < 1 || height < 1) return 0.0;

  TVotePlan plan;
  int reported = 0;
  if (!MakePlan(width, height, angleRange, tenths, plan)) {
    // No candidate row: nothing is counted, but the rows are still walked and reported.
    ReportRows(onProgress, sender, height, reported, height);
    return 0.0;
  }
  int64_t darkPixels = 0;
  const std::vector<uint8_t> packed = PackImage(voteImage, plan, darkPixels);
  if (darkPixels == 0) {
    ReportRows(onProgress, sender, height, reported, height);
    return 0.0;
  }
  const int best =
      width <= kMaxWidthForShortTerms
          ? VoteAndSearch<int16_t>(plan, packed, darkPixels, onProgress, sender, tuning)
          : VoteAndSearch<int32_t>(plan, packed, darkPixels, onProgress, sender, tuning);
  if (best < 0) return 0.0;
  // best / h - 90 degrees, computed from the whole-step offset so the quotient is rounded once.
  return double(plan.firstRow + best - plan.mid) / plan.h;
}

double SkewVote(const TKvBitmap& voteImage, int32_t angleRange, double precision,
                const TKvProgressEvent& onProgress, void* sender) {
  return SkewVoteTuned(voteImage, angleRange, precision, onProgress, sender, TSkewVoteTuning{});
}
