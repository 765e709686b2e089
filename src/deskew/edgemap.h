// Edge map for the skew measurement: the Shen-Castan detector.
//
// The page is turned to gray, continued periodically by a margin on every side, smoothed with
// the infinite symmetric exponential filter (a first-order recursive filter run forwards and
// backwards along columns, then along rows), and the sign of smoothed minus plain picture is
// taken as the band-limited Laplacian. Its zero crossings with a matching slope are the edge
// candidates; each gets an adaptive gradient from a square window, and a hysteresis walk with
// thresholds taken from a histogram of those gradients decides which candidates are edges.
// The result is a kv1g picture of the input's size: a clear bit (black) is an edge.
#pragma once

#include <cstdint>

#include "image/kvbitmap.h"
#include "image/kvevents.h"

// The parameters the skew measurement always passes.
constexpr int32_t kKvEdgeWindowSize = 7;  // side of the adaptive-gradient window, cells
constexpr double kKvEdgeSmoothing = 0.9;  // ISEF constant b, 0 < b < 1
constexpr double kKvEdgeRatio = 0.99;     // share of cells at or above the high threshold bin
constexpr bool kKvEdgeHysteresis = true;  // low threshold = high / 2
constexpr int32_t kKvEdgeThinFactor = 0;  // no chain thinning

// Figures of one run, for diagnostics and tests.
struct TKvEdgeMapStats {
  double vmin = 0, vmax = 0;  // smallest and largest gradient of the analysed interior
  double scale = 0;           // histogram bins per gradient unit
  int bin = 0;                // histogram bin the high threshold was taken from (-1 .. 255)
  double high = 0, low = 0;   // hysteresis thresholds
  int64_t candidates = 0;     // cells with a non-zero gradient
  int64_t edges = 0;          // cells marked as edges (inside the extended raster)
};

// Builds the edge map of `source` into `dest`. `source` must be kv24RGB and not empty;
// `dest` may be the same object as `source` (the source is read in full before dest is
// written). `progress`, when set, is called with (progressSender, 16, 33, 50, 66, 83, 100)
// after the six stages. Returns false, leaving dest unchanged, when the input is refused:
// not kv24RGB, empty, a page too large for the extended work rasters, smoothing outside
// (0, 1), or a window wider than the analysis border allows (windowSize > 51).
// A failed allocation throws std::bad_alloc.
bool ShenCastanEdgeMap(const TKvBitmap& source, TKvBitmap& dest, int32_t windowSize,
                       const TKvProgressEvent& progress, bool hysteresis, int32_t thinFactor,
                       double smoothing, double ratio, void* progressSender = nullptr);

// The same with the number of worker threads (0: one per core, at most two) and an optional
// record of the run's figures. Every thread count gives the same bits.
bool ShenCastanEdgeMapDetailed(const TKvBitmap& source, TKvBitmap& dest, int32_t windowSize,
                               const TKvProgressEvent& progress, bool hysteresis,
                               int32_t thinFactor, double smoothing, double ratio,
                               void* progressSender, int threadCount, TKvEdgeMapStats* stats);

// The hysteresis walk on its own, on a top-down plane of width x height gradient cells.
// Every cell at least `border` cells inside the plane whose gradient exceeds `high` starts a
// walk (rows from the top, cells left to right). A walk marks its cell 1 when the gradient
// exceeds `low` and 255 otherwise, and continues at the first neighbour, in the order right,
// left, below right, below, below left, above left, above, above right, that has a non-zero
// gradient and no mark yet. With thinFactor > 0 a cell at depth d > 0 of its walk that has a
// successor is marked 255 unless d is a multiple of thinFactor. `marks` (width x height) is
// cleared first. Returns false, doing nothing, when a size is below 1 or a gradient on the
// outermost ring of cells is non-zero (a walk must never step outside the plane).
bool ShenCastanHysteresis(const float* gradient, uint8_t* marks, int width, int height, int border,
                          double high, double low, int32_t thinFactor);
