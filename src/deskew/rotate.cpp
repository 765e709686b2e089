// Rotation of the processor's image.
//
// Method: the turned picture is mapped back pixel by pixel. For every destination pixel the
// source position is found by the inverse turn about the two centres and rounded to the nearest
// pixel (halves to even); a position outside the source keeps the fill colour. Two doubles per
// destination column (the column's share of the inverse turn) are tabled once, so a pixel costs
// two subtractions, two roundings and one copy. Whole multiples of 90 degrees are exact
// re-arrangements instead. Destination rows are independent, so large pictures are split into
// stripes of rows over a few threads; each pixel is computed exactly as it would be on one.
//
// RotateAndCrop turns the page and then cuts it, centred, to the upright rectangle whose turned
// outline fills the picture as it was: the smallest size i x j (within one pixel) found by a
// search upwards in i, then j.
#include "deskew/rotate.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "deskew/kvproc.h"

namespace {

// pi as the turn formulas take it (extended precision).
constexpr long double kPi = 3.1415926535897932385L;

// Rows a worker takes at a time: big enough to keep the shared counter quiet, small enough to
// share a page's rows evenly between the threads.
constexpr int kStripeRows = 16;
// Destination pixels from which the turn is worth a second thread.
constexpr int64_t kParallelMinPixels = 1 << 18;
// Most threads used for one turn.
constexpr unsigned kMaxRotateThreads = 4;

// Tolerance (in pixels) of the approximate pre-selection in the inner-size search: far above the
// rounding error of the exact terms (about 1e-12 for page sizes), far below one pixel.
constexpr long double kSearchSlack = 1e-6L;

double ThetaOf(double angle) {
  return double(static_cast<long double>(angle) * kPi / 180.0L);
}

// The integer nearest to v, a half going to the even neighbour.
inline int Near(double v) {
#if defined(__SSE2__)
  // cvtsd2si rounds by the current mode, which is round-to-nearest-even; out of range gives
  // INT_MIN, which every bounds check rejects.
  return _mm_cvtsd_si32(_mm_set_sd(v));
#else
  const double r = std::nearbyint(v);
  return (r > -2147483648.0 && r < 2147483647.0) ? int(r) : INT32_MIN;
#endif
}

// Whole multiple of 90 degrees (no fraction and Trunc(angle) mod 90 = 0).
bool IsQuarterMultiple(double angle) {
  if (angle != std::trunc(angle) || std::fabs(angle) > 9.0e15) return false;
  return int64_t(angle) % 90 == 0;
}

// Addresses of every source row for the duration of a turn. Rows of a temporary-file buffer are
// pinned (read only, so that releasing them writes nothing back).
class TSourceRows {
 public:
  explicit TSourceRows(TKvBitmap& bmp) : bmp_(bmp), oldMode_(bmp.AccessMode()) {
    pinned_ = bmp.Location() == kvTempFile;
    if (pinned_) bmp.SetAccessMode(kvAccessRead);
    rows_.resize(size_t(bmp.Height()));
    for (int y = 0; y < bmp.Height(); ++y)
      rows_[size_t(y)] = pinned_ ? bmp.PinRow(y) : bmp.RowPtr(y);
  }
  ~TSourceRows() {
    if (!pinned_) return;
    for (int y = bmp_.Height() - 1; y >= 0; --y) bmp_.UnpinRow(y);
    bmp_.SetAccessMode(oldMode_);
  }
  TSourceRows(const TSourceRows&) = delete;
  TSourceRows& operator=(const TSourceRows&) = delete;
  const uint8_t* operator[](int y) const { return rows_[size_t(y)]; }

 private:
  TKvBitmap& bmp_;
  uint8_t oldMode_;
  bool pinned_ = false;
  std::vector<const uint8_t*> rows_;
};

inline bool BitAt(const uint8_t* row, int x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

// Writes the rows of `dest` through `fillRow(y, rowPointer)`. Rows of an in-memory destination
// are shared out in stripes over several threads; `rowDone` is called on this thread for every
// row, in order, once the row and all rows above it are written.
template <class FillRow>
void ForEachRow(TKvBitmap& dest, const FillRow& fillRow,
                const std::function<void(int row, int rows)>& rowDone) {
  const int rows = dest.Height();
  const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  const unsigned threads = std::min(hardware, kMaxRotateThreads);
  const bool parallel = dest.Location() == kvInMemory && threads > 1 &&
                        int64_t(dest.Width()) * rows >= kParallelMinPixels;
  if (!parallel) {
    const uint8_t oldMode = dest.AccessMode();
    dest.SetAccessMode(kvAccessWrite);  // every byte of a row is written: nothing to read in
    for (int y = 0; y < rows; ++y) {
      fillRow(y, dest.RowPtr(y));
      if (rowDone) rowDone(y, rows);
    }
    dest.SetAccessMode(oldMode);
    return;
  }
  std::vector<uint8_t*> out(static_cast<size_t>(rows));
  for (int y = 0; y < rows; ++y) out[size_t(y)] = dest.RowPtr(y);
  const int stripes = (rows + kStripeRows - 1) / kStripeRows;
  std::atomic<int> next{0};
  std::vector<std::atomic<bool>> done(static_cast<size_t>(stripes));
  for (auto& d : done) d.store(false, std::memory_order_relaxed);
  auto work = [&]() -> bool {
    const int s = next.fetch_add(1, std::memory_order_relaxed);
    if (s >= stripes) return false;
    const int end = std::min(rows, (s + 1) * kStripeRows);
    for (int y = s * kStripeRows; y < end; ++y) fillRow(y, out[size_t(y)]);
    done[size_t(s)].store(true, std::memory_order_release);
    return true;
  };
  int reported = 0;  // stripes whose rows have been reported
  auto report = [&](bool wait) {
    while (reported < stripes) {
      if (!done[size_t(reported)].load(std::memory_order_acquire)) {
        if (!wait) return;
        std::this_thread::yield();
        continue;
      }
      const int end = std::min(rows, (reported + 1) * kStripeRows);
      if (rowDone)
        for (int y = reported * kStripeRows; y < end; ++y) rowDone(y, rows);
      ++reported;
    }
  };
  {
    std::vector<std::jthread> workers;
    for (unsigned t = 1; t < threads; ++t)
      workers.emplace_back([&]() {
        while (work()) {
        }
      });
    while (work()) report(false);
    report(true);
  }
}

// One pixel's bytes of the fill value in `format` (FillWith's own conversion of the value).
std::vector<uint8_t> FillPattern(TKvPixFormat format, double fillValue) {
  TKvBitmap one(1, 1, format);
  std::vector<uint8_t> pattern(size_t(std::max(1, KvBitsOf(format) / 8)), 0xFF);
  if (one.IsEmpty()) return pattern;
  std::memset(one.RowPtr(0), 0xFF, size_t(one.RowLength()));  // bytes FillWith leaves alone
  one.FillWith(fillValue);
  std::memcpy(pattern.data(), one.RowPtr(0), pattern.size());
  return pattern;
}

// Nearest-pixel turn of a byte-addressed format, BPP bytes a pixel (0: any, given at run time).
template <int BPP>
void TurnRowBytes(const TSourceRows& src, int sw, int sh, int bpp, const double* colX,
                  const double* colY, double a, double b, const uint8_t* fill, int dw,
                  uint8_t* out) {
  const int n = BPP > 0 ? BPP : bpp;
  for (int x = 0; x < dw; ++x, out += n) {
    const int sx = Near(colX[x] - a);
    const int sy = Near(colY[x] + b);
    if (unsigned(sx) < unsigned(sw) && unsigned(sy) < unsigned(sh))
      std::memcpy(out, src[sy] + size_t(sx) * n, size_t(n));
    else
      std::memcpy(out, fill, size_t(n));
  }
}

void TurnRowBits(const TSourceRows& src, int sw, int sh, const double* colX, const double* colY,
                 double a, double b, bool fillWhite, int dw, uint8_t* out) {
  uint8_t acc = 0;
  for (int x = 0; x < dw; ++x) {
    const int sx = Near(colX[x] - a);
    const int sy = Near(colY[x] + b);
    const bool white = (unsigned(sx) < unsigned(sw) && unsigned(sy) < unsigned(sh))
                           ? BitAt(src[sy], sx)
                           : fillWhite;
    acc = uint8_t((acc << 1) | (white ? 1 : 0));
    if ((x & 7) == 7) {
      out[x >> 3] = acc;
      acc = 0;
    }
  }
  if (dw & 7) out[dw >> 3] = uint8_t(acc << (8 - (dw & 7)));
}

// Source pixel (sx, sy) into destination position dx of a row, for a quarter-turn re-arrangement.
inline void CopyPixel(const uint8_t* srcRow, int sx, uint8_t* out, int dx, bool bits, int bpp) {
  if (bits) {
    const uint8_t mask = uint8_t(0x80 >> (dx & 7));
    if (BitAt(srcRow, sx))
      out[dx >> 3] |= mask;
    else
      out[dx >> 3] &= uint8_t(~mask);
  } else {
    std::memcpy(out + size_t(dx) * bpp, srcRow + size_t(sx) * bpp, size_t(bpp));
  }
}

void QuarterTurn(TKvBitmap& source, int remainder,
                 const std::function<void(int row, int rows)>& rowDone, TKvBitmap& dest) {
  const int sw = source.Width(), sh = source.Height();
  const bool sideways =
      remainder == 90 || remainder == -270 || remainder == 270 || remainder == -90;
  const TKvPixFormat format = source.PixelFormat();
  if (!dest.AllocateImage(sideways ? sh : sw, sideways ? sw : sh, format)) return;
  source.CopyPaletteTo(dest);
  const bool bits = format == kv1g;
  const int bpp = source.BitCount() / 8;
  const int rowLength = dest.RowLength();
  const int dw = dest.Width();
  TSourceRows src(source);
  auto fillRow = [&](int dy, uint8_t* out) {
    std::memset(out, 0, size_t(rowLength));  // kv1g starts black and receives the set bits
    if (remainder == 90 || remainder == -270) {
      // Counter-clockwise: source (x, y) goes to (y, W-1-x).
      const int sx = sw - 1 - dy;
      for (int dx = 0; dx < dw; ++dx) CopyPixel(src[dx], sx, out, dx, bits, bpp);
    } else if (remainder == 270 || remainder == -90) {
      // Clockwise: source (x, y) goes to (H-1-y, x).
      const int sx = dy;
      for (int dx = 0; dx < dw; ++dx) CopyPixel(src[sh - 1 - dx], sx, out, dx, bits, bpp);
    } else if (remainder == 180 || remainder == -180) {
      const uint8_t* in = src[sh - 1 - dy];
      for (int dx = 0; dx < dw; ++dx) CopyPixel(in, sw - 1 - dx, out, dx, bits, bpp);
    } else {
      std::memcpy(out, src[dy], size_t(std::min(rowLength, source.RowLength())));
    }
  };
  ForEachRow(dest, fillRow, rowDone);
}

}  // namespace

void KvRotatedSize(int width, int height, double angle, int& newWidth, int& newHeight) {
  const double theta = ThetaOf(angle);
  const double c = std::cos(theta), s = std::sin(theta);
  newWidth = Near(std::fabs(c * width) + std::fabs(s * height));
  newHeight = Near(std::fabs(s * width) + std::fabs(c * height));
}

void KvRotateNearest(TKvBitmap& source, double angle, double fillValue,
                     const std::function<void(int row, int rows)>& rowDone, TKvBitmap& dest) {
  if (source.IsEmpty()) return;
  if (IsQuarterMultiple(angle)) {
    QuarterTurn(source, int(int64_t(angle) % 360), rowDone, dest);
    return;
  }
  const int sw = source.Width(), sh = source.Height();
  int dw, dh;
  KvRotatedSize(sw, sh, angle, dw, dh);
  const TKvPixFormat format = source.PixelFormat();
  if (!dest.AllocateImage(dw, dh, format)) return;
  source.CopyPaletteTo(dest);
  dest.PaletteUsed = source.PaletteUsed;

  const double theta = ThetaOf(angle);
  const double cosT = std::cos(theta), sinT = std::sin(theta);
  const double scx = (sw - 1) / 2.0, scy = (sh - 1) / 2.0;
  const double dcx = (dw - 1) / 2.0, dcy = (dh - 1) / 2.0;
  std::vector<double> colX(static_cast<size_t>(dw)), colY(static_cast<size_t>(dw));
  for (int x = 0; x < dw; ++x) {
    colX[size_t(x)] = (x - dcx) * cosT + scx;
    colY[size_t(x)] = (x - dcx) * sinT + scy;
  }
  const std::vector<uint8_t> fill = FillPattern(format, fillValue);
  const bool fillWhite = fillValue != 0;
  const int bpp = source.BitCount() / 8;
  const int rowLength = dest.RowLength();
  const int pixelBytes = format == kv1g ? (dw + 7) / 8 : dw * bpp;
  TSourceRows src(source);
  auto fillRow = [&](int y, uint8_t* out) {
    const double a = (y - dcy) * sinT;
    const double b = (y - dcy) * cosT;
    const double* cx = colX.data();
    const double* cy = colY.data();
    switch (format == kv1g ? -1 : bpp) {
      case -1:
        TurnRowBits(src, sw, sh, cx, cy, a, b, fillWhite, dw, out);
        break;
      case 1:
        TurnRowBytes<1>(src, sw, sh, 1, cx, cy, a, b, fill.data(), dw, out);
        break;
      case 3:
        TurnRowBytes<3>(src, sw, sh, 3, cx, cy, a, b, fill.data(), dw, out);
        break;
      case 4:
        TurnRowBytes<4>(src, sw, sh, 4, cx, cy, a, b, fill.data(), dw, out);
        break;
      default:
        TurnRowBytes<0>(src, sw, sh, bpp, cx, cy, a, b, fill.data(), dw, out);
        break;
    }
    if (rowLength > pixelBytes) std::memset(out + pixelBytes, 0, size_t(rowLength - pixelBytes));
  };
  ForEachRow(dest, fillRow, rowDone);
}

namespace {

// The j for which a + b * j can lie in [lo, hi] (with the search slack), clamped to 1 .. n;
// empty when jLow > jHigh.
void LinearRange(long double a, long double b, long double lo, long double hi, int64_t n,
                 int64_t& jLow, int64_t& jHigh) {
  if (std::fabs(b) * n <= kSearchSlack) {
    const bool inside = a >= lo - 2 * kSearchSlack && a <= hi + 2 * kSearchSlack;
    jLow = inside ? 1 : n + 1;
    jHigh = n;
    return;
  }
  long double j1 = (lo - kSearchSlack - a) / b, j2 = (hi + kSearchSlack - a) / b;
  if (j1 > j2) std::swap(j1, j2);
  const long double nl = (long double)n;
  jLow = int64_t(std::clamp<long double>(std::floor(j1) - 1, 1, nl + 1));
  jHigh = int64_t(std::clamp<long double>(std::ceil(j2) + 1, 0, nl));
}

// The test of the search for one pair, in extended precision as the search defines it.
bool PairFits(int64_t i, int64_t j, double c, double s, int width, int height) {
  const double r = double(i) / double(j);
  const long double li = (long double)i, lj = (long double)j;
  const long double m = std::trunc(li * c + (li / r) * s);
  const long double o = std::trunc(lj * c + (lj * r) * s);
  return m >= width - 1 && m <= width + 1 && o >= height - 1 && o <= height + 1;
}

}  // namespace

void KvInnerSize(int width, int height, double angle, int& innerWidth, int& innerHeight) {
  innerWidth = innerHeight = 0;
  const double t = std::fabs(ThetaOf(angle));
  const double c = std::cos(t), s = std::sin(t);
  const int64_t n = int64_t(std::sqrt(double(width) * width + double(height) * height));
  // Pairs are taken in the order i ascending, then j ascending. For a given i the two terms are
  // (almost exactly) linear in j: m ~ i c + j s and o ~ j c + i s, so only the few j where both
  // can fall within one pixel of the target need the exact test.
  for (int64_t i = 1; i <= n; ++i) {
    int64_t lowM, highM, lowO, highO;
    LinearRange((long double)i * c, s, width - 1, width + 2, n, lowM, highM);
    if (lowM > highM) continue;
    LinearRange((long double)i * s, c, height - 1, height + 2, n, lowO, highO);
    const int64_t low = std::max(lowM, lowO), high = std::min(highM, highO);
    for (int64_t j = low; j <= high; ++j)
      if (PairFits(i, j, c, s, width, height)) {
        innerWidth = int(i);
        innerHeight = int(j);
        return;
      }
  }
}

void KvTakeContent(TKvBitmap& image, TKvBitmap& from, bool takeAlpha) {
  if (from.IsEmpty()) return;
  if (image.Location() != kvInMemory || from.Location() != kvInMemory || image.IsAlphaPlane()) {
    if (takeAlpha)
      image.CopyFrom(from);
    else
      image.CopyPixelsFrom(from);
    from.FreeImage();
    return;
  }
  std::unique_ptr<TKvBitmap> alpha = takeAlpha ? from.DetachAlphaPlane() : image.DetachAlphaPlane();
  const uint8_t dither = takeAlpha ? from.DitherMode : image.DitherMode;
  const uint8_t allocator = image.AllocatorKind, access = image.AccessMode();
  const bool opaque = takeAlpha ? from.AlphaIsOpaque : image.AlphaIsOpaque;
  from.MoveContentTo(image);
  image.DitherMode = dither;
  image.AllocatorKind = allocator;
  image.SetAccessMode(access);
  image.AlphaIsOpaque = opaque;
  image.AttachAlphaPlane(std::move(alpha));
}

std::string KvAngleText(double angle) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.15g", angle);
  std::string text = buffer;
  // The C library writes 1e-05 where the general notation of the captions writes 1E-5.
  const size_t e = text.find('e');
  if (e == std::string::npos) return text;
  const int exponent = std::atoi(text.c_str() + e + 1);
  return text.substr(0, e) + "E" + std::to_string(exponent);
}

// ---------------------------------------------------------------------------------------------
// Operations of the processor

void TKvProc::Rotate(double angle, bool antialias, uint8_t quality, int32_t background) {
  // The interpolating paths are not offered: every format is turned by nearest pixel.
  (void)antialias;
  (void)quality;
  if (angle == 0 || !std::isfinite(angle)) return;
  if (!CheckPixelFormat({})) return;
  TKvBitmap& image = *Image();
  if (image.IsEmpty()) return;
  if (AutoUndo) SaveUndoCaptioned("Rotate " + KvAngleText(angle), kvuImage);
  const TColor color = background == -1 ? Background() : TColor(background);

  std::unique_ptr<TKvBitmap> turnedAlpha;
  if (image.HasAlphaPlane()) {
    turnedAlpha = std::make_unique<TKvBitmap>();
    KvRotateNearest(*image.AlphaPlane(), angle, 0, nullptr, *turnedAlpha);
    turnedAlpha->RecheckOpaque();
  }
  TKvBitmap turned;
  // Rows are reported only while pixels are mapped back one by one; a quarter turn is a plain
  // re-arrangement and reports nothing before FinishWork.
  std::function<void(int, int)> rowDone;
  if (OnProgress && !IsQuarterMultiple(angle))
    rowDone = [this](int y, int rows) { ReportProgress(int(y * (100.0 / rows))); };
  KvRotateNearest(image, angle, KvBackgroundFillValue(image.PixelFormat(), color), rowDone, turned);
  KvTakeContent(image, turned, false);
  if (turnedAlpha) image.AttachAlphaPlane(std::move(turnedAlpha));
  ImageChanged();
  FinishWork();
}

void TKvProc::ImageResize(int32_t newWidth, int32_t newHeight, uint8_t horizontalPlace,
                          uint8_t verticalPlace, int32_t alpha) {
  if (!CheckPixelFormat({})) return;
  TKvBitmap& image = *Image();
  if (image.IsEmpty() || newWidth <= 0 || newHeight <= 0) return;
  if (image.Width() == newWidth && image.Height() == newHeight) return;
  if (AutoUndo)
    SaveUndoCaptioned("ImageResize " + std::to_string(newWidth) + "," + std::to_string(newHeight),
                      kvuImage);
  alpha = std::clamp(alpha, 0, 255);
  if (alpha < 255) image.AlphaPlane();
  image.ResizeCanvas(newWidth, newHeight, BackgroundFill(Background()), alpha, horizontalPlace,
                     verticalPlace);
  ImageChanged();
  FinishWork();
}

void TKvProc::RotateAndCrop(double angle) {
  if (!std::isfinite(angle) || !CheckPixelFormat({})) return;
  if (Image()->IsEmpty()) return;
  // The flag never outlives this call, whichever way it returns.
  struct TResetReuse {
    bool& Flag;
    ~TResetReuse() { Flag = false; }
  } resetReuse{reuseNewestCopy_};
  if (AutoUndo) {
    const uint64_t before = undoPushes_;
    SaveUndoCaptioned("RotateAndCrop", kvuImage);
    reuseNewestCopy_ = undoPushes_ != before;
  }
  if (IsQuarterMultiple(angle)) {
    // An exact re-arrangement loses nothing, so there is nothing to cut: the search would settle
    // one pixel short and drop the last row and column of a page that needs no turn.
    if (angle == 0)
      FinishWork();
    else
      Rotate(angle, false, 0, -1);
    return;
  }
  const int width = Image()->Width(), height = Image()->Height();
  Rotate(angle, false, 0, -1);
  reuseNewestCopy_ = false;
  int innerWidth, innerHeight;
  KvInnerSize(width, height, angle, innerWidth, innerHeight);
  ImageResize(innerWidth, innerHeight, 1, 1, 255);
}
