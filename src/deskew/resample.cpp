// Resampling.
//
// Method. The fast linear paths are separable: a horizontal pass turns a source row into a row
// of W1 pixels, and a vertical pass combines such rows into the H1 destination rows. A pass
// either interpolates between two neighbours with a 17-bit fixed point fraction (enlarging), or
// takes the integer mean of a box of neighbours (reducing); the box of a destination column runs
// from the source column under it to the one under its right neighbour, so neighbouring boxes
// share their border column. Positions come from per-column tables built once per call. The
// reduction of a bilevel page in both directions is not separable: every destination pixel
// counts the set bits of its own source rectangle. The nearest copy maps every destination
// column and row to one source column and row through tables and copies whole pixels.
//
// Floating point. Scale factors and positions are doubles; the expressions around them are
// evaluated in x87 extended precision (long double) before truncation, as the rules fix them,
// so that column and row choices at exact multiples come out the same on every build.
//
// Speed. Rows are fetched once each as raw pointers. Without a progress handler the vertical
// pass asks for horizontal rows as it needs them and keeps the last two, so each source row is
// turned once and the narrow rows stay in cache; with a handler the two passes run one after the
// other through a W1 x H0 work raster, which gives the reports in their documented order. When
// both bitmaps keep their rows at fixed addresses (not temp-file storage) and no handler is
// given, destination rows are split over a few threads; every row is computed the same way
// whoever computes it, so the result is identical.
#include "deskew/resample.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Fractions of a pixel position: 17 bits, q in 0 .. 131071.
constexpr int kFracBits = 17;
constexpr long double kFracScale = 131072.0L;
// Guard added to the end of a column box so that a position meant to be a whole number, but
// computed a hair below it, still reaches that column (pixels).
constexpr long double kBoxEndGuard = 1e-10L;
// Gray used for fully transparent colour pixels before filtering (channel value).
constexpr uint8_t kTransparentGray = 128;
// Threads pay off only on big passes: below this many source bytes a pass runs on the caller's
// thread (1 MiB is about 0.3 ms of single-core work, well above the cost of starting threads).
constexpr int64_t kMinParallelBytes = int64_t(1) << 20;
// Upper bound on worker threads; the passes are memory-bound beyond that.
constexpr unsigned kMaxThreads = 4;

int64_t TruncL(long double v) {
  return static_cast<int64_t>(v);
}
// A position stored as a double, computed in extended precision.
double StoredDouble(long double v) {
  return static_cast<double>(v);
}

// a + floor((b - a) * q / 131072); the product fits in 32 bits (255 * 131071) and the shift of a
// negative value rounds towards minus infinity.
inline uint8_t Interpolate(int a, int b, int32_t q) {
  return uint8_t(a + (((b - a) * q) >> kFracBits));
}

int ClampIndex(int64_t v, int count) {
  return int(std::clamp<int64_t>(v, 0, int64_t(count) - 1));
}

// Exact integer division of a box sum by its pixel count through a multiply when the
// numerator stays below 255 * count: with m = ceil(2^32 / d), floor(n * m / 2^32) = n div d as
// long as n * d < 2^32, which holds for d <= kMaxFastDivisor.
class TBoxDivider {
 public:
  static constexpr uint32_t kMaxFastDivisor = 4096;
  TBoxDivider() = default;
  explicit TBoxDivider(uint32_t count)
      : count_(count),
        magic_(count <= kMaxFastDivisor ? ((uint64_t(1) << 32) + count - 1) / count : 0) {}
  uint32_t Divide(uint32_t sum) const {
    return magic_ ? uint32_t((uint64_t(sum) * magic_) >> 32) : sum / count_;
  }

 private:
  uint32_t count_ = 1;
  uint64_t magic_ = 0;
};

// Row pointers of a bitmap. Storage other than a temp file keeps its rows at fixed addresses:
// those are fetched once up front and may then be read from any thread. Temp-file rows are paged
// in on demand (only the last one stays valid) and may be used from the caller's thread only.
class TRows {
 public:
  TRows(TKvBitmap& bitmap, int rows) : bitmap_(bitmap) {
    if (bitmap.Location() == kvTempFile) return;
    table_.resize(size_t(rows));
    for (int y = 0; y < rows; ++y) table_[size_t(y)] = bitmap.RowPtr(y);
  }
  bool Stable() const { return !table_.empty(); }
  uint8_t* Row(int y) { return Stable() ? table_[size_t(y)] : bitmap_.RowPtr(y); }

 private:
  TKvBitmap& bitmap_;
  std::vector<uint8_t*> table_;
};

// Sets a bitmap's access mode for the duration of a pass and restores it.
class TAccessScope {
 public:
  TAccessScope(TKvBitmap& bitmap, uint8_t mode) : bitmap_(bitmap), saved_(bitmap.AccessMode()) {
    bitmap_.SetAccessMode(mode);
  }
  ~TAccessScope() { bitmap_.SetAccessMode(saved_); }
  TAccessScope(const TAccessScope&) = delete;
  TAccessScope& operator=(const TAccessScope&) = delete;

 private:
  TKvBitmap& bitmap_;
  uint8_t saved_;
};

// Progress of a two-pass path: Trunc(row * P) after first-pass row `row`, Trunc((H0 + j) * P)
// after second-pass row j, P = 100 / (H0 + H1 + 0.5).
class TPassProgress {
 public:
  TPassProgress(const TKvProgressEvent& handler, void* sender, int h0, int h1)
      : handler_(handler), sender_(sender), h0_(h0), step_(100.0 / (h0 + h1 + 0.5)) {}
  bool Active() const { return bool(handler_); }
  void FirstPassRow(int row) const { Report(row); }
  void SecondPassRow(int row) const { Report(int64_t(h0_) + row); }

 private:
  void Report(int64_t index) const {
    if (handler_) handler_(sender_, int32_t(TruncL((long double)index * step_)));
  }
  const TKvProgressEvent& handler_;
  void* sender_;
  int h0_;
  double step_;
};

// How many threads a pass over `bytes` source bytes gets.
unsigned ThreadsFor(int64_t bytes, int rows, bool allowed) {
  if (!allowed || bytes < kMinParallelBytes || rows < 2) return 1;
  unsigned hw = std::max(1u, std::thread::hardware_concurrency());
  return std::min({hw, kMaxThreads, unsigned(rows)});
}

// Runs body(begin, end, slot) over [0, rows) in `threads` contiguous chunks; slot 0 runs on the
// caller's thread. The threads are joined before returning, also when starting one fails.
template <class Body>
void ForRowChunks(int rows, unsigned threads, Body&& body) {
  if (threads <= 1) {
    body(0, rows, 0u);
    return;
  }
  auto chunkStart = [rows, threads](unsigned k) { return int(int64_t(rows) * k / threads); };
  std::vector<std::jthread> workers;  // declared last: joined before anything they use goes
  workers.reserve(threads - 1);
  for (unsigned k = 1; k < threads; ++k)
    workers.emplace_back([&, k] { body(chunkStart(k), chunkStart(k + 1), k); });
  body(0, chunkStart(1), 0u);
}

// ---------------------------------------------------------------------------------------------
// Fast linear tables

// Per destination column: left source column, its 17-bit fraction, and the last source column
// of its box. pos = i / sx (a double); last = Trunc(min(i + 1, W1 - 1) / sx + 1e-10).
struct TColumnTables {
  std::vector<int> left, right, last;
  std::vector<int32_t> frac;
  std::vector<TBoxDivider> divider;  // box size last - left + 1
};

TColumnTables BuildColumnTables(int w0, int w1, double sx) {
  TColumnTables t;
  t.left.resize(size_t(w1));
  t.right.resize(size_t(w1));
  t.last.resize(size_t(w1));
  t.frac.resize(size_t(w1));
  t.divider.resize(size_t(w1));
  for (int i = 0; i < w1; ++i) {
    const double pos = StoredDouble((long double)i / sx);
    const int64_t left = TruncL(pos);
    const int64_t last = TruncL((long double)std::min(i + 1, w1 - 1) / sx + kBoxEndGuard);
    const size_t k = size_t(i);
    t.left[k] = ClampIndex(left, w0);
    t.right[k] = std::min(t.left[k] + 1, w0 - 1);
    t.frac[k] = int32_t(TruncL(((long double)pos - (long double)left) * kFracScale));
    t.last[k] = std::max(t.left[k], ClampIndex(last, w0));
    t.divider[k] = TBoxDivider(uint32_t(t.last[k] - t.left[k] + 1));
  }
  return t;
}

// Rows of an interpolating vertical pass: pos = j / sy (a double), top = Trunc(pos), its
// fraction, and the row below (top itself on the last row).
struct TRowStep {
  int top, bottom;
  int32_t frac;
};

TRowStep InterpolationRow(int j, double sy, int h0) {
  const double pos = StoredDouble((long double)j / sy);
  const int64_t top = TruncL(pos);
  TRowStep s;
  s.top = ClampIndex(top, h0);
  s.bottom = std::min(s.top + 1, h0 - 1);
  s.frac = int32_t(TruncL(((long double)pos - (long double)top) * kFracScale));
  return s;
}

// Rows of an averaging vertical pass: Trunc(j / sy) .. Trunc(min(j + 1, H1 - 1) / sy).
struct TRowBox {
  int first, last;
};

TRowBox AveragingRows(int j, double sy, int h0, int h1) {
  TRowBox b;
  b.first = ClampIndex(TruncL((long double)j / sy), h0);
  b.last = std::max(b.first, ClampIndex(TruncL((long double)std::min(j + 1, h1 - 1) / sy), h0));
  return b;
}

// ---------------------------------------------------------------------------------------------
// Fast linear, colour (and one-channel gray): C channels a pixel, one byte each.

template <int C>
void InterpolateColumns(const uint8_t* src, uint8_t* dst, const TColumnTables& t, int w1) {
  for (int i = 0; i < w1; ++i) {
    const uint8_t* a = src + C * t.left[size_t(i)];
    const uint8_t* b = src + C * t.right[size_t(i)];
    const int32_t q = t.frac[size_t(i)];
    for (int c = 0; c < C; ++c) dst[C * i + c] = Interpolate(a[c], b[c], q);
  }
}

// Box means through running sums: prefix[C * x + c] holds the sum of channel c over columns
// 0 .. x - 1, so a box left .. last sums to prefix[last + 1] - prefix[left]. One sequential pass
// over the row instead of re-reading the columns that neighbouring boxes share.
template <int C>
void AverageColumns(const uint8_t* src, uint8_t* dst, const TColumnTables& t, int w0, int w1,
                    uint32_t* __restrict prefix) {
  uint32_t run[C] = {};
  for (int c = 0; c < C; ++c) prefix[c] = 0;
  for (int x = 0; x < w0; ++x)
    for (int c = 0; c < C; ++c) prefix[C * (x + 1) + c] = run[c] += src[C * x + c];
  for (int i = 0; i < w1; ++i) {
    const uint32_t* first = prefix + C * t.left[size_t(i)];
    const uint32_t* end = prefix + C * (t.last[size_t(i)] + 1);
    const TBoxDivider& d = t.divider[size_t(i)];
    for (int c = 0; c < C; ++c) dst[C * i + c] = uint8_t(d.Divide(end[c] - first[c]));
  }
}

void InterpolateRows(const uint8_t* __restrict top, const uint8_t* __restrict bottom, int32_t q,
                     uint8_t* __restrict dst, int bytes) {
  for (int k = 0; k < bytes; ++k) dst[k] = Interpolate(top[k], bottom[k], q);
}

// sum[k] += row[k]; kept apart (restrict, counts by value) so that the loop vectorises.
void AccumulateRow(uint32_t* __restrict sum, const uint8_t* __restrict row, int bytes) {
  for (int k = 0; k < bytes; ++k) sum[k] += row[k];
}

void DivideRow(const uint32_t* __restrict sum, TBoxDivider d, uint8_t* __restrict dst, int bytes) {
  for (int k = 0; k < bytes; ++k) dst[k] = uint8_t(d.Divide(sum[k]));
}

// The horizontal pass of one source row for C-channel rows: interpolation when enlarging, box
// means otherwise. Each copy owns its running-sum scratch, so each thread works on its own copy.
template <int C>
class TColourColumns {
 public:
  static constexpr int kChannels = C;
  TColourColumns(const TColumnTables& tables, bool enlarging, int w0, int w1)
      : tables_(&tables), enlarging_(enlarging), w0_(w0), w1_(w1) {
    if (!enlarging) prefix_.resize(size_t(C) * (size_t(w0) + 1));
  }
  int Width() const { return w1_; }
  void operator()(const uint8_t* src, uint8_t* out) {
    if (enlarging_)
      InterpolateColumns<C>(src, out, *tables_, w1_);
    else
      AverageColumns<C>(src, out, *tables_, w0_, w1_, prefix_.data());
  }

 private:
  const TColumnTables* tables_;
  bool enlarging_;
  int w0_, w1_;
  std::vector<uint32_t> prefix_;
};

// The vertical pass: interpolation between two rows, or the mean of a box of rows.
struct TVerticalPlan {
  bool interpolate;
  double sy;
  int h0, h1;
};

// Destination row j into `out` (bytes), reading horizontal-pass rows through rowAt(y); each row
// pointer is used before the next one is asked for, except the two rows of an interpolation.
template <class RowAt>
void VerticalStep(const TVerticalPlan& v, int j, int bytes, uint32_t* sum, RowAt&& rowAt,
                  uint8_t* out) {
  if (v.interpolate) {
    const TRowStep s = InterpolationRow(j, v.sy, v.h0);
    const uint8_t* top = rowAt(s.top);
    const uint8_t* bottom = rowAt(s.bottom);
    InterpolateRows(top, bottom, s.frac, out, bytes);
    return;
  }
  const TRowBox b = AveragingRows(j, v.sy, v.h0, v.h1);
  std::fill_n(sum, bytes, 0u);
  for (int y = b.first; y <= b.last; ++y) AccumulateRow(sum, rowAt(y), bytes);
  DivideRow(sum, TBoxDivider(uint32_t(b.last - b.first + 1)), out, bytes);
}

// The horizontal-pass rows of the two source rows asked for last. Destination rows ask for
// source rows in rising order and neighbouring boxes share their border row, so every source row
// is made about once, and no work raster of the whole height has to go through memory.
template <class Columns>
class TRecentRows {
 public:
  TRecentRows(const Columns& columns, TRows& source)
      : columns_(columns), source_(&source), bytes_(Columns::kChannels * columns.Width()) {
    for (auto& b : buffer_) b.resize(size_t(bytes_));
  }
  const uint8_t* Get(int y) {
    for (int s = 0; s < 2; ++s)
      if (row_[s] == y) {
        older_ = 1 - s;
        return buffer_[s].data();
      }
    const int s = older_;
    columns_(source_->Row(y), buffer_[s].data());
    row_[s] = y;
    older_ = 1 - s;
    return buffer_[s].data();
  }

 private:
  Columns columns_;
  TRows* source_;
  int bytes_;
  int row_[2] = {-1, -1};
  int older_ = 0;
  std::vector<uint8_t> buffer_[2];
};

// Runs the two passes. emit(line, destinationRow) writes one finished line of the vertical pass.
// With a progress handler the passes run one after the other through a work raster of
// W1 x H0, so the reports come pass by pass, row by row; without one, destination rows are
// made in chunks (one per thread when the rows stay at fixed addresses), each from the
// horizontal rows it needs.
template <class Columns, class Emit>
void RunSeparable(TRows& srcRows, TRows& dstRows, const Columns& columns, const TVerticalPlan& v,
                  Emit&& emit, const TPassProgress& progress, int64_t sourceBytes) {
  const int bytes = Columns::kChannels * columns.Width();
  if (progress.Active()) {
    TKvWorkBitmap work(columns.Width(), v.h0, 8 * Columns::kChannels);
    Columns maker = columns;
    for (int y = 0; y < v.h0; ++y) {
      maker(srcRows.Row(y), work.Row(y));
      progress.FirstPassRow(y);
    }
    std::vector<uint32_t> sum(static_cast<size_t>(bytes));
    std::vector<uint8_t> line(static_cast<size_t>(bytes));
    for (int j = 0; j < v.h1; ++j) {
      VerticalStep(
          v, j, bytes, sum.data(), [&](int y) { return work.Row(y); }, line.data());
      emit(line.data(), dstRows.Row(j));
      progress.SecondPassRow(j);
    }
    return;
  }
  struct TSlot {
    TRecentRows<Columns> rows;
    std::vector<uint32_t> sum;
    std::vector<uint8_t> line;
  };
  const int64_t workBytes = std::max(sourceBytes, int64_t(bytes) * v.h1);
  const unsigned threads = ThreadsFor(workBytes, v.h1, srcRows.Stable() && dstRows.Stable());
  std::vector<TSlot> slots;
  slots.reserve(threads);
  for (unsigned k = 0; k < threads; ++k)
    slots.push_back(TSlot{TRecentRows<Columns>(columns, srcRows),
                          std::vector<uint32_t>(size_t(bytes)),
                          std::vector<uint8_t>(size_t(bytes))});
  ForRowChunks(v.h1, threads, [&](int j0, int j1, unsigned k) {
    TSlot& slot = slots[k];
    for (int j = j0; j < j1; ++j) {
      VerticalStep(
          v, j, bytes, slot.sum.data(), [&](int y) { return slot.rows.Get(y); }, slot.line.data());
      emit(slot.line.data(), dstRows.Row(j));
    }
  });
}

template <int C>
bool FastLinearChannels(TKvBitmap& source, TKvBitmap& dest, TKvPixFormat format,
                        const TKvProgressEvent& onProgress, void* sender) {
  const int w0 = source.Width(), h0 = source.Height();
  const int w1 = dest.Width(), h1 = dest.Height();
  const double sx = double(w1) / double(w0), sy = double(h1) / double(h0);
  if (sx == 1.0 && sy == 1.0) {
    dest.CopyFrom(source);
    return true;
  }
  if (dest.PixelFormat() != format && !dest.AllocateImage(w1, h1, format)) return false;

  const TColumnTables cols = BuildColumnTables(w0, w1, sx);
  const TColourColumns<C> columns(cols, sx > 1.0, w0, w1);
  const TVerticalPlan vertical{sy > 1.0, sy, h0, h1};
  const TPassProgress progress(onProgress, sender, h0, h1);
  const size_t rowBytes = size_t(C) * size_t(w1);

  TAccessScope readOnly(source, kvAccessRead);
  TAccessScope writeOnly(dest, kvAccessWrite);
  TRows srcRows(source, h0);
  TRows dstRows(dest, h1);
  RunSeparable(
      srcRows, dstRows, columns, vertical,
      [rowBytes](const uint8_t* line, uint8_t* dst) { std::memcpy(dst, line, rowBytes); }, progress,
      int64_t(C) * w0 * h0);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Fast linear, bits to colour

inline bool BitAt(const uint8_t* row, int x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}
inline int BitValue(const uint8_t* row, int x) {
  return BitAt(row, x) ? 255 : 0;
}

// Set bits among pixels x1 .. x2 (inclusive) of a kv1g row.
int CountSetBits(const uint8_t* row, int x1, int x2) {
  const int b1 = x1 >> 3, b2 = x2 >> 3;
  const unsigned headMask = 0xFFu >> (x1 & 7);
  const unsigned tailMask = (0xFFu << (7 - (x2 & 7))) & 0xFFu;
  if (b1 == b2) return std::popcount(unsigned(row[b1]) & headMask & tailMask);
  int n = std::popcount(unsigned(row[b1]) & headMask) + std::popcount(unsigned(row[b2]) & tailMask);
  for (int b = b1 + 1; b < b2; ++b) n += std::popcount(unsigned(row[b]));
  return n;
}

// The same through one 64-bit window when the range is short and eight bytes from its first
// byte lie inside the row (`rowBytes` readable bytes); the usual case of a page reduction.
inline int CountSetBitsInRow(const uint8_t* row, int rowBytes, int x1, int x2) {
  constexpr int kWindowBits = 57;  // a range of up to 57 bits fits a 64-bit window at any offset
  const int first = x1 >> 3, length = x2 - x1 + 1;
  if (length > kWindowBits || first + 8 > rowBytes) return CountSetBits(row, x1, x2);
  uint64_t window;
  std::memcpy(&window, row + first, sizeof window);
  if constexpr (std::endian::native == std::endian::little) window = __builtin_bswap64(window);
  return std::popcount((window << (x1 & 7)) >> (64 - length));
}

void WriteGray(uint8_t* dst, int x, uint8_t v) {
  dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = v;
}

// Reduction in both directions: every destination pixel is 255 * (set bits) div (pixels) over
// its source box. Column box of column j: Trunc(j*fx - fx/2) .. Trunc(j*fx + fx/2); row box of
// row i: Trunc(i*fy - fy/2) .. Trunc(i*fy + Trunc(fy)/2); both clipped to the page.
void AreaAverageBits(TRows& srcRows, TRows& dstRows, int w0, int h0, int w1, int h1, int rowBytes,
                     bool parallel) {
  const double fx = double(w0) / double(w1), fy = double(h0) / double(h1);
  std::vector<int> x1(static_cast<size_t>(w1)), x2(static_cast<size_t>(w1));
  for (int j = 0; j < w1; ++j) {
    const long double centre = (long double)j * fx;
    x1[size_t(j)] = ClampIndex(TruncL(centre - (long double)fx / 2), w0);
    x2[size_t(j)] = std::max(x1[size_t(j)], ClampIndex(TruncL(centre + (long double)fx / 2), w0));
  }
  const long double halfWholeFy = (long double)TruncL(fy) / 2;
  const int64_t srcBytes = (int64_t(w0) + 7) / 8 * h0;
  const unsigned threads = ThreadsFor(srcBytes, h1, parallel);
  std::vector<std::vector<uint32_t>> counts(threads, std::vector<uint32_t>(size_t(w1)));
  ForRowChunks(h1, threads, [&](int i0, int i1, unsigned slot) {
    uint32_t* count = counts[slot].data();
    for (int i = i0; i < i1; ++i) {
      const long double centre = (long double)i * fy;
      const int y1 = ClampIndex(TruncL(centre - (long double)fy / 2), h0);
      const int y2 = std::max(y1, ClampIndex(TruncL(centre + halfWholeFy), h0));
      std::fill_n(count, w1, 0u);
      for (int y = y1; y <= y2; ++y) {
        const uint8_t* row = srcRows.Row(y);
        for (int j = 0; j < w1; ++j)
          count[j] += uint32_t(CountSetBitsInRow(row, rowBytes, x1[size_t(j)], x2[size_t(j)]));
      }
      uint8_t* dst = dstRows.Row(i);
      const uint64_t rows = uint64_t(y2 - y1 + 1);
      for (int j = 0; j < w1; ++j) {
        const uint64_t pixels = rows * uint64_t(x2[size_t(j)] - x1[size_t(j)] + 1);
        WriteGray(dst, j, uint8_t(255 * uint64_t(count[j]) / pixels));
      }
    }
  });
}

// The horizontal pass from bits: interpolation between source pixels of 0 or 255, one byte a
// pixel (all three channels of the result are equal).
class TBitColumns {
 public:
  static constexpr int kChannels = 1;
  TBitColumns(const TColumnTables& tables, int w1) : tables_(&tables), w1_(w1) {}
  int Width() const { return w1_; }
  void operator()(const uint8_t* src, uint8_t* out) const {
    const TColumnTables& t = *tables_;
    for (int i = 0; i < w1_; ++i)
      out[i] = Interpolate(BitValue(src, t.left[size_t(i)]), BitValue(src, t.right[size_t(i)]),
                           t.frac[size_t(i)]);
  }

 private:
  const TColumnTables* tables_;
  int w1_;
};

// Enlarging in at least one direction: both passes interpolate, even along a direction that
// shrinks.
void InterpolateBits(TRows& srcRows, TRows& dstRows, int w0, int h0, int w1, int h1,
                     const TPassProgress& progress) {
  const double sx = double(w1) / double(w0), sy = double(h1) / double(h0);
  const TColumnTables cols = BuildColumnTables(w0, w1, sx);
  const TBitColumns columns(cols, w1);
  const TVerticalPlan vertical{true, sy, h0, h1};
  RunSeparable(
      srcRows, dstRows, columns, vertical,
      [w1](const uint8_t* line, uint8_t* dst) {
        for (int i = 0; i < w1; ++i) WriteGray(dst, i, line[i]);
      },
      progress, (int64_t(w0) + 7) / 8 * h0);
}

bool FastLinearBits(TKvBitmap& source, TKvBitmap& dest, const TKvProgressEvent& onProgress,
                    void* sender) {
  const int w0 = source.Width(), h0 = source.Height();
  const int w1 = dest.Width(), h1 = dest.Height();
  const double sx = double(w1) / double(w0), sy = double(h1) / double(h0);
  if (sx == 1.0 && sy == 1.0) {
    dest.CopyFrom(source);
    return true;
  }
  if (dest.PixelFormat() != kv24RGB && !dest.AllocateImage(w1, h1, kv24RGB)) return false;

  const TPassProgress progress(onProgress, sender, h0, h1);
  TAccessScope readOnly(source, kvAccessRead);
  TAccessScope writeOnly(dest, kvAccessWrite);
  TRows srcRows(source, h0);
  TRows dstRows(dest, h1);
  const bool stable = srcRows.Stable() && dstRows.Stable();
  if (sx < 1.0 && sy < 1.0)
    AreaAverageBits(srcRows, dstRows, w0, h0, w1, h1, source.RowLength(),
                    stable);  // reports no progress
  else
    InterpolateBits(srcRows, dstRows, w0, h0, w1, h1, progress);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Nearest pixel

// Bytes one pixel of a byte-aligned format takes; 0 for kv1g and kvNoFormat.
int PixelBytes(TKvPixFormat f) {
  const int bits = KvBitsOf(f);
  return bits >= 8 ? bits / 8 : 0;
}

// Source index Trunc(ratio * i) for i in 0 .. count-1, ratio = from / to stored as a double.
std::vector<int> NearestIndexTable(int from, int to) {
  const double ratio = StoredDouble((long double)from / (long double)to);
  std::vector<int> t(static_cast<size_t>(to));
  for (int i = 0; i < to; ++i) t[size_t(i)] = ClampIndex(TruncL((long double)ratio * i), from);
  return t;
}

template <int N>
void CopyPixelsNearest(const uint8_t* src, uint8_t* dst, const std::vector<int>& srcCol) {
  const size_t w1 = srcCol.size();
  for (size_t i = 0; i < w1; ++i) std::memcpy(dst + N * i, src + N * size_t(srcCol[i]), N);
}

// Sets or clears every destination bit 0 .. W1-1 from its source bit; the padding bits of the
// last byte keep their value.
void CopyBitsNearest(const uint8_t* src, uint8_t* dst, const std::vector<int>& srcCol) {
  const int w1 = int(srcCol.size());
  unsigned acc = 0;
  for (int i = 0; i < w1; ++i) {
    acc = (acc << 1) | unsigned(BitAt(src, srcCol[size_t(i)]));
    if ((i & 7) == 7) {
      dst[i >> 3] = uint8_t(acc);
      acc = 0;
    }
  }
  const int tail = w1 & 7;
  if (tail) {
    const unsigned mask = (0xFFu << (8 - tail)) & 0xFFu;
    uint8_t& last = dst[w1 >> 3];
    last = uint8_t((last & ~mask) | ((acc << (8 - tail)) & mask));
  }
}

void CopyRowNearest(int bytes, const uint8_t* src, uint8_t* dst, const std::vector<int>& srcCol) {
  switch (bytes) {
    case 0:
      CopyBitsNearest(src, dst, srcCol);
      break;
    case 1:
      CopyPixelsNearest<1>(src, dst, srcCol);
      break;
    case 2:
      CopyPixelsNearest<2>(src, dst, srcCol);
      break;
    case 3:
      CopyPixelsNearest<3>(src, dst, srcCol);
      break;
    case 4:
      CopyPixelsNearest<4>(src, dst, srcCol);
      break;
    case 6:
      CopyPixelsNearest<6>(src, dst, srcCol);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Alpha handling of the general form

bool HasTransparentPixel(TKvBitmap& alpha) {
  const int w = alpha.Width(), h = alpha.Height();
  for (int y = 0; y < h; ++y) {
    const uint8_t* a = alpha.RowPtr(y);
    if (std::find(a, a + w, uint8_t(0)) != a + w) return true;
  }
  return false;
}

// A copy of a kv24RGB `source` whose fully transparent pixels are (128, 128, 128).
std::unique_ptr<TKvBitmap> WithTransparentPixelsGray(TKvBitmap& source) {
  auto copy = std::make_unique<TKvBitmap>();
  copy->CopyFrom(source);
  TKvBitmap* alpha = copy->AlphaPlane();
  if (!alpha || copy->PixelFormat() != kv24RGB) return copy;
  const int w = copy->Width(), h = copy->Height();
  std::vector<uint8_t> alphaRow(static_cast<size_t>(w));
  for (int y = 0; y < h; ++y) {
    // The two rows belong to different buffers, but each may be paged: keep a copy of one.
    std::memcpy(alphaRow.data(), alpha->RowPtr(y), size_t(w));
    uint8_t* px = copy->RowPtr(y);
    for (int x = 0; x < w; ++x)
      if (alphaRow[size_t(x)] == 0) WriteGray(px, x, kTransparentGray);
  }
  return copy;
}

bool IsBitsFastLinearFilter(TResampleFilter f) {
  return f == rfFastLinear || f == rfBilinear || f == rfBicubic;
}

bool Resamplable(const TKvBitmap& source, const TKvBitmap& dest) {
  return !source.IsEmpty() && dest.Width() > 0 && dest.Height() > 0;
}

}  // namespace

bool ResampleFiltered(TKvBitmap& source, TKvBitmap& dest, TResampleFilter filter,
                      const TKvProgressEvent& onProgress, void* sender) {
  // Only the fast linear filter has a path; bilinear, bicubic, projection, general kernels and
  // 16-bit channels are not used by the system and are refused.
  if (filter != rfFastLinear || !Resamplable(source, dest)) return false;
  if (&source == &dest) return true;  // same size: already a copy of itself
  switch (source.PixelFormat()) {
    case kv24RGB:
      return FastLinearChannels<3>(source, dest, kv24RGB, onProgress, sender);
    case kv8g:
      return FastLinearChannels<1>(source, dest, kv8g, onProgress, sender);
    default:
      return false;
  }
}

bool ResampleBitsFiltered(TKvBitmap& source, TKvBitmap& dest, TResampleFilter filter,
                          const TKvProgressEvent& onProgress, void* sender) {
  // The other filters (general kernels, projections) are not used by the system: refused.
  if (!IsBitsFastLinearFilter(filter) || source.PixelFormat() != kv1g || !Resamplable(source, dest))
    return false;
  if (&source == &dest) return true;
  return FastLinearBits(source, dest, onProgress, sender);
}

bool ResampleNearest(TKvBitmap& source, TKvBitmap& dest, const TKvProgressEvent& onProgress,
                     void* sender) {
  if (!Resamplable(source, dest)) return false;
  if (&source == &dest) return true;
  const TKvPixFormat format = source.PixelFormat();
  const int w0 = source.Width(), h0 = source.Height();
  const int w1 = dest.Width(), h1 = dest.Height();
  if (dest.PixelFormat() != format && !dest.AllocateImage(w1, h1, format)) return false;
  const int bytes = PixelBytes(format);
  if (format != kv1g && bytes == 0) return false;

  const std::vector<int> srcCol = NearestIndexTable(w0, w1);
  const std::vector<int> srcRow = NearestIndexTable(h0, h1);
  {
    TAccessScope readOnly(source, kvAccessRead);
    TAccessScope writeOnly(dest, kvAccessWrite);
    TRows srcRows(source, h0);
    TRows dstRows(dest, h1);
    const double step = 100.0 / (h1 + 0.5);
    int32_t lastReported = -1;
    const bool parallel = !onProgress && srcRows.Stable() && dstRows.Stable();
    const int64_t work = int64_t(dest.RowLength()) * h1;
    ForRowChunks(h1, ThreadsFor(work, h1, parallel), [&](int j0, int j1, unsigned) {
      for (int j = j0; j < j1; ++j) {
        CopyRowNearest(bytes, srcRows.Row(srcRow[size_t(j)]), dstRows.Row(j), srcCol);
        if (!onProgress) continue;
        const int32_t percent = int32_t(TruncL((long double)j * step));
        if (percent != lastReported) onProgress(sender, percent);
        lastReported = percent;
      }
    });
  }
  if (format == kv8p) source.CopyPaletteTo(dest);
  return true;
}

bool ResampleImage(TKvBitmap& source, TKvBitmap& dest, TResampleFilter filter,
                   const TKvProgressEvent& onProgress, void* sender) {
  if (!Resamplable(source, dest)) return false;
  if (&source == &dest) return true;
  const bool bits = source.PixelFormat() == kv1g;
  // Refuse before anything is changed when no path exists for the filter.
  if (filter != rfNone) {
    if (bits && !IsBitsFastLinearFilter(filter)) return false;
    if (!bits && (filter != rfFastLinear ||
                  (source.PixelFormat() != kv24RGB && source.PixelFormat() != kv8g)))
      return false;
  }

  // Transparent colour pixels are filtered as gray on a copy; the caller's image is kept.
  std::unique_ptr<TKvBitmap> painted;
  TKvBitmap* src = &source;
  if (source.HasAlphaPlane() && source.PixelFormat() == kv24RGB &&
      HasTransparentPixel(*source.AlphaPlane())) {
    painted = WithTransparentPixelsGray(source);
    src = painted.get();
  }

  bool done;
  if (filter == rfNone)
    done = ResampleNearest(*src, dest, onProgress, sender);
  else if (bits)
    done = ResampleBitsFiltered(*src, dest, filter, onProgress, sender);
  else
    done = ResampleFiltered(*src, dest, filter, onProgress, sender);
  if (!done) return false;

  if (!source.HasAlphaPlane()) {
    if (dest.HasAlphaPlane()) dest.DropAlphaPlane(false, clBlack);
    return true;
  }
  TKvBitmap* srcAlpha = source.AlphaPlane();
  TKvBitmap* dstAlpha = dest.AlphaPlane();
  if (!srcAlpha || !dstAlpha) return true;
  if (filter == rfNone)
    ResampleNearest(*srcAlpha, *dstAlpha);
  else
    ResampleFiltered(*srcAlpha, *dstAlpha, rfFastLinear);
  dstAlpha->AlphaIsOpaque = srcAlpha->AlphaIsOpaque;
  return true;
}
