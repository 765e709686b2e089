// Edge map speed: the page reduced to the measurement width (500 x 707) and a full A4 page at
// 300 dots per inch (2480 x 3508), both kv24RGB with lines of dark "words" on light paper.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>

#include "deskew/edgemap.h"

namespace {

std::unique_ptr<TKvBitmap> TextPage(int width, int height, unsigned seed) {
  auto page = std::make_unique<TKvBitmap>(width, height, kv24RGB);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> grain(-10, 10);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = page->RowPtr(y);
    for (int x = 0; x < 3 * width; ++x) row[x] = uint8_t(235 + grain(random));
  }
  // Lines of words: 1/60 of the height apart, ink half a line high, words of 1/80 to 1/12 of
  // the width, margins of a tenth.
  const int lineHeight = std::max(4, height / 60), ink = std::max(2, lineHeight / 2);
  std::uniform_int_distribution<int> wordLength(std::max(2, width / 80), std::max(3, width / 12));
  std::uniform_int_distribution<int> gap(std::max(1, width / 200), std::max(2, width / 60));
  for (int base = height / 10; base + ink < height - height / 10; base += lineHeight)
    for (int x0 = width / 10; x0 < width - width / 10;) {
      const int x1 = std::min(width - width / 10, x0 + wordLength(random));
      for (int y = base; y < base + ink; ++y) {
        uint8_t* row = page->RowPtr(y);
        for (int x = 3 * x0; x < 3 * x1; ++x) row[x] = uint8_t(25 + grain(random));
      }
      x0 = x1 + gap(random);
    }
  return page;
}

// Argument: worker threads (0: the detector's own choice, one per core up to two).
void EdgeMap(benchmark::State& state, int width, int height) {
  const auto page = TextPage(width, height, 7);
  const int threads = int(state.range(0));
  TKvBitmap dest;
  for (auto _ : state) {
    const bool ok = ShenCastanEdgeMapDetailed(
        *page, dest, kKvEdgeWindowSize, nullptr, kKvEdgeHysteresis, kKvEdgeThinFactor,
        kKvEdgeSmoothing, kKvEdgeRatio, nullptr, threads, nullptr);
    benchmark::DoNotOptimize(ok);
  }
  state.SetItemsProcessed(state.iterations() * int64_t(width) * height);
}

void BM_EdgeMapReduced500x707(benchmark::State& state) {
  EdgeMap(state, 500, 707);
}
void BM_EdgeMapFullPage2480x3508(benchmark::State& state) {
  EdgeMap(state, 2480, 3508);
}

BENCHMARK(BM_EdgeMapReduced500x707)
    ->ArgName("threads")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_EdgeMapFullPage2480x3508)
    ->ArgName("threads")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
