// Skew measurement benchmarks on an A4 page at 300 dpi (2480 x 3508) turned by 1.7 degrees:
// MeasureSkew at the program's defaults for a colour, a gray-as-colour and a kv1g page, and the
// vote alone on the vote image those defaults make (with the shipped work split, on one thread,
// and written plainly with the whole accumulator, for comparison).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "deskew/edgemap.h"
#include "deskew/measureskew.h"
#include "deskew/resample.h"
#include "deskew/skewvote.h"
#include "synthpage.h"

namespace {

constexpr int kPageWidth = 2480, kPageHeight = 3508;  // A4 at 300 dpi
constexpr double kPageSkew = 1.7;                     // degrees, descending to the right
constexpr int32_t kResampleWidth = 500, kAngleRange = 40;
constexpr double kPrecision = 0.1;

std::unique_ptr<TKvBitmap> Page(TKvPixFormat format) {
  TKvSynthPage spec;
  spec.Width = kPageWidth;
  spec.Height = kPageHeight;
  spec.Format = format;
  spec.SkewDegrees = kPageSkew;
  spec.Seed = 7;
  auto page = std::make_unique<TKvBitmap>();
  if (!KvDrawSynthPage(spec, *page)) return nullptr;
  return page;
}

const TKvBitmap& ColourPage() {
  static const std::unique_ptr<TKvBitmap> page = Page(kv24RGB);
  return *page;
}
const TKvBitmap& GrayAsColourPage() {
  static const std::unique_ptr<TKvBitmap> page = [] {
    auto p = Page(kv8g);
    p->ChangePixelFormat(kv24RGB);
    return p;
  }();
  return *page;
}
const TKvBitmap& BitsPage() {
  static const std::unique_ptr<TKvBitmap> page = Page(kv1g);
  return *page;
}

// The vote image the defaults make of the colour page: the 500-pixel reduction, edge-mapped.
const TKvBitmap& DefaultVoteImage() {
  static const std::unique_ptr<TKvBitmap> image = [] {
    TKvBitmap& page = const_cast<TKvBitmap&>(ColourPage());
    auto reduced = std::make_unique<TKvBitmap>(
        kResampleWidth, int(int64_t(kResampleWidth) * page.Height() / page.Width()), kv24RGB);
    ResampleFiltered(page, *reduced, rfFastLinear);
    ShenCastanEdgeMap(*reduced, *reduced, kKvEdgeWindowSize, nullptr, kKvEdgeHysteresis,
                      kKvEdgeThinFactor, kKvEdgeSmoothing, kKvEdgeRatio);
    return reduced;
  }();
  return *image;
}

// The measured angle is shown beside the time (the page is turned by kPageSkew).
void CheckAngle(benchmark::State& state, double angle) {
  state.counters["angle"] = angle;
}

void MeasureAtDefaults(benchmark::State& state, const TKvBitmap& page, bool edgeDetect) {
  double angle = 0;
  for (auto _ : state) {
    angle =
        MeasureSkew(page, kResampleWidth, kAngleRange, kPrecision, edgeDetect, nullptr, nullptr);
    benchmark::DoNotOptimize(angle);
  }
  CheckAngle(state, angle);
}

void BM_MeasureSkew_Colour(benchmark::State& state) {
  MeasureAtDefaults(state, ColourPage(), true);
}
void BM_MeasureSkew_GrayAsColour(benchmark::State& state) {
  MeasureAtDefaults(state, GrayAsColourPage(), true);
}
void BM_MeasureSkew_Bits(benchmark::State& state) {
  MeasureAtDefaults(state, BitsPage(), true);
}
void BM_MeasureSkew_BitsOwnPixels(benchmark::State& state) {
  MeasureAtDefaults(state, BitsPage(), false);
}

void BM_SkewVote(benchmark::State& state) {
  const TKvBitmap& image = DefaultVoteImage();
  double angle = 0;
  for (auto _ : state) {
    angle = SkewVote(image, kAngleRange, kPrecision, nullptr, nullptr);
    benchmark::DoNotOptimize(angle);
  }
  CheckAngle(state, angle);
}

void BM_SkewVote_OneThread(benchmark::State& state) {
  const TKvBitmap& image = DefaultVoteImage();
  const TSkewVoteTuning oneThread{1, 0, 0};
  double angle = 0;
  for (auto _ : state) {
    angle = SkewVoteTuned(image, kAngleRange, kPrecision, nullptr, nullptr, oneThread);
    benchmark::DoNotOptimize(angle);
  }
  CheckAngle(state, angle);
}

// The vote written as plainly as possible: the whole accumulator of 180 * h rows, every vote
// computed with its two products, pixel by pixel (the speed the fast vote is compared with).
double PlainVote(const TKvBitmap& image, int angleRange, int h) {
  const double step = (1.0 / h) * 0.017453292519444445;
  std::vector<int32_t> sinFix(1800), cosFix(1800);
  double t = 0;
  for (int i = 0; i < 1800; ++i, t += step) {
    sinFix[i] = int32_t(std::trunc(std::sin(t) * 131072));
    cosFix[i] = int32_t(std::trunc(std::cos(t) * 131072));
  }
  const int w = image.Width(), hgt = image.Height(), mid = 90 * h, half = angleRange * h / 2;
  const int radius = int(std::sqrt(double(w) * w + double(hgt) * hgt) / 2);
  const int cells = 2 * radius + 1, cx = w / 2, cy = hgt / 2;
  std::vector<uint32_t> acc(size_t(180 * h) * cells, 0);
  for (int y = 0; y < hgt; ++y) {
    const uint8_t* row = image.RowPtr(y);
    for (int x = 0; x < w; ++x) {
      if (row[x >> 3] == 255 || (row[x >> 3] & (0x80 >> (x & 7))) != 0) continue;
      for (int a = mid - half; a <= mid + half - 2; ++a) {
        const int c = radius + int(Rnd17(sinFix[a] * (y - cy))) + int(Rnd17(cosFix[a] * (x - cx)));
        if (c >= 0 && c < cells) ++acc[size_t(a) * cells + c];
      }
    }
  }
  int best = 0;
  uint32_t bestCount = 0;
  for (int a = mid - half; a <= mid + half - 2; ++a)
    for (int c = 0; c < cells; ++c)
      if (acc[size_t(a) * cells + c] > bestCount) bestCount = acc[size_t(a) * cells + c], best = a;
  return bestCount == 0 ? 0.0 : double(best - mid) / h;
}

void BM_SkewVote_Plain(benchmark::State& state) {
  const TKvBitmap& image = DefaultVoteImage();
  double angle = 0;
  for (auto _ : state) {
    angle = PlainVote(image, kAngleRange, 10);
    benchmark::DoNotOptimize(angle);
  }
  if (angle != SkewVote(image, kAngleRange, kPrecision, nullptr, nullptr))
    state.SkipWithError("plain and fast votes differ");
}

// The vote on the whole kv1g page, as with no resampling and no edge detection.
void BM_SkewVote_FullBitsPage(benchmark::State& state) {
  const TKvBitmap& image = BitsPage();
  double angle = 0;
  for (auto _ : state) {
    angle = SkewVote(image, kAngleRange, kPrecision, nullptr, nullptr);
    benchmark::DoNotOptimize(angle);
  }
  CheckAngle(state, angle);
}

}  // namespace

BENCHMARK(BM_MeasureSkew_Colour)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureSkew_GrayAsColour)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureSkew_Bits)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureSkew_BitsOwnPixels)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkewVote)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkewVote_OneThread)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkewVote_Plain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkewVote_FullBitsPage)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
