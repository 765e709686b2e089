// Reading and writing a scanned page (A4 at 300 dpi, 2480 x 3508) in memory: raw PPM, the
// page format of the PDF job, and 24-bit, 8-bit run-length and 1-bit BMP.
#include <benchmark/benchmark.h>

#include "io/codecs/kvbmp.h"
#include "io/codecs/kvpnm.h"

namespace {

// A4 at 300 dots per inch, in pixels.
constexpr int kPageWidth = 2480, kPageHeight = 3508;

// A page-like picture: white with dark text-like stripes, so that run-length coding has runs.
void FillPage(TKvBitmap& page) {
  for (int y = 0; y < page.Height(); ++y) {
    uint8_t* row = page.RowPtr(y);
    const bool textLine = (y / 24) % 2 == 1;
    for (int x = 0; x < page.Width(); ++x) {
      const bool ink = textLine && ((x / 7 + y / 3) % 5 == 0);
      const uint8_t v = ink ? 20 : 250;
      row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
    }
  }
}

std::vector<uint8_t> WriteToMemory(TKvWriteFunction write, TKvBitmap& page, TKvIOParams& params) {
  TKvMemoryStream s;
  bool aborting = false;
  TKvProgressRec progress;
  progress.Aborting = &aborting;
  write(s, page, params, progress);
  return s.TakeBytes();
}

void ReadFromMemory(TKvReadFunction read, const std::vector<uint8_t>& file, TKvBitmap& page,
                    TKvIOParams& params) {
  TKvMemoryStream s(file.data(), file.size());
  bool aborting = false;
  TKvProgressRec progress;
  progress.Aborting = &aborting;
  read(s, page, params, false, progress);
}

struct TCase {
  TKvReadFunction Read;
  TKvWriteFunction Write;
  int Bps, Spp;
  uint8_t Rle;
};

const TCase kCases[] = {
    {ReadPxm, WritePxm, 8, 3, 0},          // 0: raw PPM
    {ReadBmpFile, WriteBmpFile, 8, 3, 0},  // 1: 24-bit BMP
    {ReadBmpFile, WriteBmpFile, 8, 1, 1},  // 2: 8-bit RLE BMP
    {ReadBmpFile, WriteBmpFile, 1, 1, 0},  // 3: 1-bit BMP
};

TKvIOParams ParamsFor(const TCase& c) {
  TKvIOParams p;
  p.BitsPerSample = c.Bps;
  p.SamplesPerPixel = c.Spp;
  p.Bmp.Rle = c.Rle;
  return p;
}

void BM_WritePage(benchmark::State& state) {
  const TCase& c = kCases[state.range(0)];
  TKvBitmap page(kPageWidth, kPageHeight, kv24RGB);
  FillPage(page);
  TKvIOParams params = ParamsFor(c);
  for (auto _ : state) benchmark::DoNotOptimize(WriteToMemory(c.Write, page, params));
}

void BM_ReadPage(benchmark::State& state) {
  const TCase& c = kCases[state.range(0)];
  TKvBitmap page(kPageWidth, kPageHeight, kv24RGB);
  FillPage(page);
  TKvIOParams params = ParamsFor(c);
  const std::vector<uint8_t> file = WriteToMemory(c.Write, page, params);
  state.counters["file_MB"] = double(file.size()) / 1e6;
  for (auto _ : state) {
    TKvBitmap back;
    TKvIOParams readParams;
    ReadFromMemory(c.Read, file, back, readParams);
    benchmark::DoNotOptimize(back.RowPtr(0));
  }
}

}  // namespace

BENCHMARK(BM_WritePage)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPage)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
