// Rotation speed on an A4 page at 300 dots per inch (2480 x 3508), kv24RGB and kv1g: the turn
// alone, RotateAndCrop by 1.7 degrees as the jobs call it (automatic undo with depth one, so
// every step also writes its undo copy to a temporary file), and the whole per-page sequence of
// the image job: select the inner part (10 % margins), crop, measure, undo, turn back and cut.
#include <benchmark/benchmark.h>

#include "deskew/kvview.h"
#include "synthpage.h"

namespace {

constexpr int kPageWidth = 2480;
constexpr int kPageHeight = 3508;
constexpr double kTurnDegrees = 1.7;

const TKvBitmap& Page(TKvPixFormat format) {
  static TKvBitmap colour, bilevel;
  TKvBitmap& page = format == kv1g ? bilevel : colour;
  if (page.IsEmpty()) {
    TKvSynthPage spec;
    spec.Width = kPageWidth;
    spec.Height = kPageHeight;
    spec.Format = format;
    spec.SkewDegrees = kTurnDegrees;
    spec.Seed = 11;
    KvDrawSynthPage(spec, page);
  }
  return page;
}

// A fresh copy of the page in the document, untimed.
void Load(benchmark::State& state, TKvView& view, TKvPixFormat format) {
  state.PauseTiming();
  view.Bitmap().CopyFrom(Page(format));
  view.Update();
  state.ResumeTiming();
}

void Rotate(benchmark::State& state, TKvPixFormat format) {
  TKvView view;
  view.Background = clWhite;
  for (auto _ : state) {
    Load(state, view, format);
    view.Proc().Rotate(kTurnDegrees);
    benchmark::DoNotOptimize(view.Bitmap().RowPtr(0));
  }
}

void RotateAndCrop(benchmark::State& state, TKvPixFormat format) {
  TKvView view;
  view.Background = clWhite;
  for (auto _ : state) {
    Load(state, view, format);
    view.Proc().RotateAndCrop(kTurnDegrees);
    benchmark::DoNotOptimize(view.Bitmap().RowPtr(0));
  }
}

// The image job's calls for one page, with the options' defaults.
void JobSequence(benchmark::State& state, TKvPixFormat format) {
  TKvView view;
  double angle = 0;
  for (auto _ : state) {
    Load(state, view, format);
    const int w = view.Bitmap().Width(), h = view.Bitmap().Height();
    const int mx = int(w * 0.1), my = int(h * 0.1);
    view.SelectionBase = kvsbBitmap;
    view.Select(mx, my, w - mx, h - my);
    TKvProc& proc = view.Proc();
    proc.CropSel(false);
    angle = proc.DetectSkew(500, 40, 0.1, true);
    proc.Undo(false);
    view.Background = clWhite;
    proc.RotateAndCrop(angle);
    benchmark::DoNotOptimize(view.Bitmap().RowPtr(0));
  }
  state.counters["angle"] = angle;
}

BENCHMARK_CAPTURE(Rotate, kv24RGB, kv24RGB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Rotate, kv1g, kv1g)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(RotateAndCrop, kv24RGB, kv24RGB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(RotateAndCrop, kv1g, kv1g)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(JobSequence, kv24RGB, kv24RGB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(JobSequence, kv1g, kv1g)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
