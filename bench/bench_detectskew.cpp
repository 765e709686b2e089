// DetectSkew through the processor at the program's defaults (resample width 500, angle range 40,
// precision 0.1, edge detection on) on an A4 page at 300 dpi (2480 x 3508) turned by 1.7
// degrees, with the selection the image job leaves: Select with 10 % margins, CropSel(false),
// then DetectSkew on what is still marked of the cropped page. Inputs: a colour page, a gray page
// held as colour, a kv1g page, and a kv8g page (which the processor converts to colour first, as
// for a gray file in the job).
#include <benchmark/benchmark.h>

#include "deskew/kvview.h"
#include "synthpage.h"

namespace {

constexpr int kPageWidth = 2480, kPageHeight = 3508;  // A4 at 300 dpi
constexpr double kPageSkew = 1.7;                     // degrees, descending to the right
constexpr int32_t kResampleWidth = 500, kAngleRange = 40;
constexpr double kPrecision = 0.1;
constexpr bool kEdgeDetect = true;
constexpr double kMarginFraction = 0.1;  // of each dimension, cut off each side by the job

enum TInput { inColour, inGrayAsColour, inBits, inGray };

const TKvBitmap& Page(TInput input) {
  static TKvBitmap pages[4];
  TKvBitmap& page = pages[input];
  if (page.IsEmpty()) {
    TKvSynthPage spec;
    spec.Width = kPageWidth;
    spec.Height = kPageHeight;
    spec.Format = input == inColour ? kv24RGB : input == inBits ? kv1g : kv8g;
    spec.SkewDegrees = kPageSkew;
    spec.Seed = 7;
    KvDrawSynthPage(spec, page);
    if (input == inGrayAsColour) page.ChangePixelFormat(kv24RGB);
  }
  return page;
}

// The document as the job has it right before DetectSkew: the page, selected inside the
// margins and cropped to the selection (which keeps the part of the mask that still fits).
void PrepareAsJob(TKvView& view, TInput input) {
  view.Bitmap().CopyFrom(Page(input));
  view.Update();
  const int w = view.Bitmap().Width(), h = view.Bitmap().Height();
  const int mx = int(w * kMarginFraction), my = int(h * kMarginFraction);
  view.SelectionBase = kvsbBitmap;
  view.Select(mx, my, w - mx, h - my, kvSelectReplace);
  view.Proc().CropSel(false);
}

void DetectSkewAsJob(benchmark::State& state, TInput input) {
  TKvView view;
  PrepareAsJob(view, input);
  // Colour and kv1g documents are measured as they are; a kv8g one is turned into colour by
  // the call, so it is prepared afresh (untimed) before every call.
  const bool changesDocument = input == inGray;
  double angle = 0;
  for (auto _ : state) {
    if (changesDocument) {
      state.PauseTiming();
      PrepareAsJob(view, input);
      state.ResumeTiming();
    }
    angle = view.Proc().DetectSkew(kResampleWidth, kAngleRange, kPrecision, kEdgeDetect);
    benchmark::DoNotOptimize(angle);
  }
  state.counters["angle"] = angle;
}

BENCHMARK_CAPTURE(DetectSkewAsJob, Colour, inColour)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(DetectSkewAsJob, GrayAsColour, inGrayAsColour)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(DetectSkewAsJob, kv1g, inBits)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(DetectSkewAsJob, kv8gConverted, inGray)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
