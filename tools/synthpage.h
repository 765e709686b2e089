// Synthetic scanned pages for samples, tests and benchmarks.
//
// A page is laid out upright as lines of "words" made of pseudo-glyphs (seeded random 5 x 7
// stroke patterns, no real script), then sampled through a rotation so that its text lines
// descend to the right by the given angle (the sign the skew measurement reports). Gray and
// colour pages are antialiased; kv1g pages are thresholded.
#pragma once

#include <cstdint>

#include "image/kvbitmap.h"

struct TKvSynthPage {
  int Width = 800;
  int Height = 1000;
  TKvPixFormat Format = kv8g;  // kv1g, kv8g or kv24RGB
  double SkewDegrees = 0;      // positive: text lines descend to the right
  uint32_t Seed = 1;
  int GlyphPixels = 3;  // size of one glyph cell dot in pixels (glyph = 5 x 7 dots)
};

// Allocates `out` and draws the page. Returns false when the bitmap cannot be allocated or the
// format is not one of kv1g, kv8g, kv24RGB.
bool KvDrawSynthPage(const TKvSynthPage& page, TKvBitmap& out);

// The file layout a page of `format` is meant to be saved with (the values for the I/O
// parameters BitsPerSample and SamplesPerPixel), so that a gray page is written as a gray file.
inline void KvSynthFileLayout(TKvPixFormat format, int& bitsPerSample, int& samplesPerPixel) {
  bitsPerSample = format == kv1g ? 1 : 8;
  samplesPerPixel = format == kv24RGB ? 3 : 1;
}
