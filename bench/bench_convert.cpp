// Pixel-format conversion and colour quantization on a full A4 page at 300 dpi (2480 x 3508).
//
// The page is a synthetic scan: antialiased text in coloured ink on tinted paper, with scanner
// noise on every pixel and a colour photograph in the lower half, so that it holds far more
// colours than a palette and the quantizer has to run its algorithms.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/kvbitmap.h"
#include "image/kvconvert.h"
#include "image/kvquantize.h"
#include "synthpage.h"

namespace {

constexpr int kPageWidth = 2480;  // A4 at 300 dpi
constexpr int kPageHeight = 3508;
constexpr int kNoiseLevels = 7;  // scanner noise: -3 .. +3 levels per channel

uint8_t ClampToByte(int v) {
  return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// The scan-like page, drawn once.
const TKvBitmap& Page() {
  static const std::unique_ptr<TKvBitmap> page = [] {
    auto bmp = std::make_unique<TKvBitmap>();
    TKvSynthPage layout;
    layout.Width = kPageWidth;
    layout.Height = kPageHeight;
    layout.Format = kv24RGB;
    layout.SkewDegrees = 1.5;
    layout.Seed = 42;
    KvDrawSynthPage(layout, *bmp);
    uint32_t state = 12345;
    auto noise = [&state] {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      return int(state % kNoiseLevels) - kNoiseLevels / 2;
    };
    // A photograph in the lower half: smooth colour fields.
    const int px0 = kPageWidth / 8, px1 = kPageWidth * 7 / 8;
    const int py0 = kPageHeight * 5 / 8, py1 = kPageHeight * 7 / 8;
    for (int y = 0; y < kPageHeight; ++y) {
      uint8_t* row = bmp->RowPtr(y);
      for (int x = 0; x < kPageWidth; ++x) {
        uint8_t* p = row + 3 * x;
        if (x >= px0 && x < px1 && y >= py0 && y < py1) {
          const double t = double(x - px0) / (px1 - px0), u = double(y - py0) / (py1 - py0);
          p[2] = uint8_t(127 + 120 * std::sin(5 * t + 2 * u));
          p[1] = uint8_t(40 + 180 * u * (1 - t / 2));
          p[0] = uint8_t(60 + 150 * (1 - u) * t);
        }
        for (int c = 0; c < 3; ++c) p[c] = ClampToByte(p[c] + noise());
      }
    }
    return bmp;
  }();
  return *page;
}

void BM_Rgb24ToBilevel(benchmark::State& state) {
  const TKvBitmap& page = Page();
  TKvBitmap dst(kPageWidth, kPageHeight, kv1g);
  dst.DitherMode = uint8_t(state.range(0));
  for (auto _ : state) {
    ConvertFrom(dst, page);
    benchmark::DoNotOptimize(dst.RowPtr(0));
  }
  state.SetLabel(state.range(0) == 0 ? "ordered dither" : "mean threshold");
  state.SetItemsProcessed(state.iterations() * int64_t(kPageWidth) * kPageHeight);
}
BENCHMARK(BM_Rgb24ToBilevel)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Rgb24ToGray8(benchmark::State& state) {
  const TKvBitmap& page = Page();
  TKvBitmap dst(kPageWidth, kPageHeight, kv8g);
  for (auto _ : state) {
    ConvertFrom(dst, page);
    benchmark::DoNotOptimize(dst.RowPtr(0));
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kPageWidth) * kPageHeight);
}
BENCHMARK(BM_Rgb24ToGray8)->Unit(benchmark::kMillisecond);

void BM_Gray8ToBilevel(benchmark::State& state) {
  static const std::unique_ptr<TKvBitmap> gray = [] {
    auto g = std::make_unique<TKvBitmap>(kPageWidth, kPageHeight, kv8g);
    ConvertFrom(*g, Page());
    return g;
  }();
  TKvBitmap dst(kPageWidth, kPageHeight, kv1g);
  dst.DitherMode = uint8_t(state.range(0));
  for (auto _ : state) {
    ConvertFrom(dst, *gray);
    benchmark::DoNotOptimize(dst.RowPtr(0));
  }
  state.SetLabel(state.range(0) == 0 ? "ordered dither" : "mean threshold");
  state.SetItemsProcessed(state.iterations() * int64_t(kPageWidth) * kPageHeight);
}
BENCHMARK(BM_Gray8ToBilevel)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Building the palette only. Argument: algorithm (1 box splitter, 0 network), colour count.
void BM_QuantizerPalette(benchmark::State& state) {
  const TKvBitmap& page = Page();
  const int saved = gKvQuantizerAlgorithm;
  gKvQuantizerAlgorithm = int(state.range(0));
  std::vector<TKvRGB> palette(256);
  int method = 0;
  for (auto _ : state) {
    const TKvQuantizer q(page, int(state.range(1)), palette);
    method = q.Method();
    benchmark::DoNotOptimize(palette.data());
  }
  gKvQuantizerAlgorithm = saved;
  state.SetLabel(method == TKvQuantizer::qmBoxSplitter ? "box splitter"
                 : method == TKvQuantizer::qmNetwork   ? "network"
                                                       : "other method");
}
BENCHMARK(BM_QuantizerPalette)->Args({1, 64})->Args({0, 256})->Unit(benchmark::kMillisecond);

// The whole kv24RGB -> kv8p conversion: palette, then every pixel's index.
void BM_Rgb24ToPalette(benchmark::State& state) {
  const TKvBitmap& page = Page();
  const int saved = gKvQuantizerAlgorithm;
  gKvQuantizerAlgorithm = int(state.range(0));
  TKvBitmap dst(kPageWidth, kPageHeight, kv8p);
  for (auto _ : state) {
    dst.PaletteUsed = int(state.range(1));
    ConvertFrom(dst, page);
    benchmark::DoNotOptimize(dst.RowPtr(0));
  }
  gKvQuantizerAlgorithm = saved;
  state.SetLabel(state.range(0) == 1 ? "box splitter" : "network");
  state.SetItemsProcessed(state.iterations() * int64_t(kPageWidth) * kPageHeight);
}
BENCHMARK(BM_Rgb24ToPalette)->Args({1, 64})->Args({0, 256})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
