// The reduction the skew measurement does: an A4 page at 300 dpi (2480 x 3508) reduced to the
// default analysis width of 500 pixels (500 x 707) with the fast linear filter, for a colour page
// and a bilevel page; and the nearest copy a bilevel page takes without edge detection.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "deskew/resample.h"

namespace {

constexpr int kPageWidth = 2480;   // pixels: A4 width at 300 dpi
constexpr int kPageHeight = 3508;  // pixels: A4 height at 300 dpi
constexpr int kAnalysisWidth = 500;
constexpr int kAnalysisHeight = int(int64_t(kAnalysisWidth) * kPageHeight / kPageWidth);

// A page of text-like content: white with rows of dark "words", and some noise.
void FillPage(TKvBitmap& page) {
  std::mt19937 rng(42);
  const int bytesPerPixel = page.PixelFormat() == kv1g ? 0 : 3;
  for (int y = 0; y < page.Height(); ++y) {
    uint8_t* row = page.RowPtr(y);
    const bool textLine = (y / 30) % 2 == 1;
    if (bytesPerPixel == 0) {
      for (int b = 0; b < page.RowLength(); ++b)
        row[b] = textLine && (b / 12) % 3 != 0 ? uint8_t(rng() | rng()) : 0xFF;
    } else {
      for (int x = 0; x < page.Width(); ++x) {
        const bool ink = textLine && (x / 96) % 3 != 0 && rng() % 4 != 0;
        const uint8_t v = ink ? uint8_t(rng() % 60) : uint8_t(235 + rng() % 20);
        row[3 * x] = v;
        row[3 * x + 1] = v;
        row[3 * x + 2] = uint8_t(v + (ink ? 10 : 0));
      }
    }
  }
}

void BM_FastLinearColourPage(benchmark::State& state) {
  TKvBitmap page(kPageWidth, kPageHeight, kv24RGB);
  FillPage(page);
  TKvBitmap reduced(kAnalysisWidth, kAnalysisHeight, kv24RGB);
  for (auto _ : state) {
    ResampleFiltered(page, reduced, rfFastLinear);
    benchmark::DoNotOptimize(reduced.RowPtr(0));
  }
}
BENCHMARK(BM_FastLinearColourPage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FastLinearBitsPage(benchmark::State& state) {
  TKvBitmap page(kPageWidth, kPageHeight, kv1g);
  FillPage(page);
  TKvBitmap reduced(kAnalysisWidth, kAnalysisHeight, kv24RGB);
  for (auto _ : state) {
    ResampleBitsFiltered(page, reduced, rfFastLinear);
    benchmark::DoNotOptimize(reduced.RowPtr(0));
  }
}
BENCHMARK(BM_FastLinearBitsPage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_NearestBitsPage(benchmark::State& state) {
  TKvBitmap page(kPageWidth, kPageHeight, kv1g);
  FillPage(page);
  TKvBitmap reduced(kAnalysisWidth, kAnalysisHeight, kv1g);
  for (auto _ : state) {
    ResampleNearest(page, reduced);
    benchmark::DoNotOptimize(reduced.RowPtr(0));
  }
}
BENCHMARK(BM_NearestBitsPage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
