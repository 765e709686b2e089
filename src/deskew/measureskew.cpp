// Skew measurement of one page.
//
// The vote counts dark pixels, and its cost grows with their number, so the page is first made
// into a small, thin black-and-white picture: a large page is reduced to the asked width
// (fast linear filter for colour, and for black and white when outlines are wanted; nearest
// pixel when a black-and-white page votes with its own pixels), and a colour page (or a
// black-and-white one when asked) is turned into an edge map, so that the voting pixels are
// the outlines of the characters. The table, by pixel format F, resampling and edgeDetect:
//   kv24RGB  no   either  edge map of the page (the flag is not consulted)
//   kv1g     no   true    bits expanded to kv24RGB, then edge map
//   kv1g     no   false   the page itself
//   kv24RGB  yes  true    fast linear reduction, then edge map
//   kv24RGB  yes  false   fast linear reduction, then the mean-colour threshold to kv1g
//   kv1g     yes  true    fast linear reduction from bits to kv24RGB gray, then edge map
//   kv1g     yes  false   nearest-pixel reduction, staying kv1g
// A reduced colour page without edge detection is thresholded because the vote only takes
// kv1g: voting on the colour picture would refuse every such page and never turn it.
// Everything made here is freed on return; the page itself is only read.
#include "deskew/measureskew.h"

#include <climits>
#include <memory>

#include "deskew/edgemap.h"
#include "deskew/resample.h"
#include "deskew/skewvote.h"
#include "image/kvconvert.h"

namespace {

using TOwnedBitmap = std::unique_ptr<TKvBitmap>;

// A new bitmap of the given size and format, or nullptr when it cannot be had.
TOwnedBitmap NewBitmap(int width, int height, TKvPixFormat format) {
  auto bitmap = std::make_unique<TKvBitmap>();
  if (!bitmap->AllocateImage(width, height, format)) return nullptr;
  return bitmap;
}

// A kv24RGB copy of a kv1g picture: (255, 255, 255) for a set bit, (0, 0, 0) for a clear one.
TOwnedBitmap ExpandBitsToRGB(const TKvBitmap& bits) {
  const int width = bits.Width(), height = bits.Height();
  TOwnedBitmap colour = NewBitmap(width, height, kv24RGB);
  if (!colour) return nullptr;
  for (int y = 0; y < height; ++y) {
    const uint8_t* source = bits.RowPtr(y);
    uint8_t* dest = colour->RowPtr(y);
    for (int x = 0; x < width; ++x) {
      const uint8_t value = (source[x >> 3] & (0x80 >> (x & 7))) != 0 ? 255 : 0;
      dest[3 * x] = dest[3 * x + 1] = dest[3 * x + 2] = value;
    }
  }
  return colour;
}

// The edge map with the parameters the measurement always uses, in place when `dest` is
// `source`. False when the detector refuses the picture.
bool EdgeMap(const TKvBitmap& source, TKvBitmap& dest) {
  return ShenCastanEdgeMap(source, dest, kKvEdgeWindowSize, nullptr, kKvEdgeHysteresis,
                           kKvEdgeThinFactor, kKvEdgeSmoothing, kKvEdgeRatio);
}

// The edge map of `source` into a new bitmap.
TOwnedBitmap NewEdgeMap(const TKvBitmap& source) {
  auto edges = std::make_unique<TKvBitmap>();
  if (!EdgeMap(source, *edges)) return nullptr;
  return edges;
}

// Replaces `picture` by its own edge map.
TOwnedBitmap EdgeMapInPlace(TOwnedBitmap picture) {
  if (!picture || !EdgeMap(*picture, *picture)) return nullptr;
  return picture;
}

// The page reduced (or enlarged) to width x height in the format the measurement needs.
TOwnedBitmap Resampled(const TKvBitmap& page, int width, int height, bool edgeDetect) {
  // The resampling entries take the source as a mutable bitmap because the nearest copy
  // switches its access mode while it reads and restores it afterwards; the pixels are
  // never written, so the page stays unchanged for the caller.
  TKvBitmap& source = const_cast<TKvBitmap&>(page);
  if (page.PixelFormat() == kv24RGB) {
    TOwnedBitmap dest = NewBitmap(width, height, kv24RGB);
    if (!dest || !ResampleFiltered(source, *dest, rfFastLinear)) return nullptr;
    return dest;
  }
  if (edgeDetect) {
    TOwnedBitmap dest = NewBitmap(width, height, kv24RGB);
    if (!dest || !ResampleBitsFiltered(source, *dest, rfFastLinear)) return nullptr;
    return dest;
  }
  TOwnedBitmap dest = NewBitmap(width, height, kv1g);
  if (!dest || !ResampleNearest(source, *dest)) return nullptr;
  return dest;
}

// Black and white at the gray of the picture's mean colour.
TOwnedBitmap Thresholded(TOwnedBitmap picture) {
  if (!picture) return nullptr;
  auto bits = std::make_unique<TKvBitmap>();
  if (!ToBlackWhite(*picture, *bits, kvThresholdMean)) return nullptr;
  return bits;
}

// The vote image of a page that is not resampled: nullptr with `usePage` set when the page
// votes itself.
TOwnedBitmap FullSizeVoteImage(const TKvBitmap& page, bool edgeDetect, bool& usePage) {
  usePage = false;
  if (page.PixelFormat() == kv24RGB) return NewEdgeMap(page);
  if (!edgeDetect) {
    usePage = true;
    return nullptr;
  }
  return EdgeMapInPlace(ExpandBitsToRGB(page));
}

TOwnedBitmap ResampledVoteImage(const TKvBitmap& page, int width, int height, bool edgeDetect) {
  TOwnedBitmap reduced = Resampled(page, width, height, edgeDetect);
  if (page.PixelFormat() == kv24RGB && !edgeDetect) return Thresholded(std::move(reduced));
  if (!edgeDetect) return reduced;  // kv1g by nearest pixel
  return EdgeMapInPlace(std::move(reduced));
}

}  // namespace

double MeasureSkew(const TKvBitmap& bitmap, int32_t resampleWidth, int32_t angleRange,
                   double precision, bool edgeDetect, const TKvProgressEvent& onProgress,
                   void* sender) {
  const TKvPixFormat format = bitmap.PixelFormat();
  if (bitmap.IsEmpty() || (format != kv1g && format != kv24RGB)) return 0.0;
  const int width = bitmap.Width(), height = bitmap.Height();

  TOwnedBitmap made;
  const TKvBitmap* voteImage = nullptr;
  if (resampleWidth >= 1 && resampleWidth != width) {
    const int64_t resampledHeight = int64_t(resampleWidth) * height / width;
    if (resampledHeight < 1 || resampledHeight > INT_MAX) return 0.0;
    made = ResampledVoteImage(bitmap, resampleWidth, int(resampledHeight), edgeDetect);
    voteImage = made.get();
  } else {
    bool usePage = false;
    made = FullSizeVoteImage(bitmap, edgeDetect, usePage);
    voteImage = usePage ? &bitmap : made.get();
  }
  if (voteImage == nullptr) return 0.0;  // a picture could not be made
  return SkewVote(*voteImage, angleRange, precision, onProgress, sender);
}
