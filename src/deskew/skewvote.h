// The skew vote: a Hough transform for straight lines on a black-and-white (kv1g) vote image.
//
// Every dark pixel (clear bit) votes, for each candidate angle near the horizontal, for the one
// line through it at that angle; the angle whose line collects the most votes is the skew.
// Angles are degrees; a positive result means the text lines descend to the right (y grows
// with x), so passing the result unchanged to the rotation deskews the page.
#pragma once

#include <cstdint>

#include "image/kvbitmap.h"
#include "image/kvevents.h"

// Measures the skew of `voteImage` (kv1g) in degrees; does not change the image.
// angleRange: total width in degrees of the searched interval, centred on the horizontal
// (0..180). precision: the angle step in degrees, taken as whole tenths from 0.1 to 1.
// Returns 0 for anything that is not kv1g, a precision or range out of bounds, or an image
// without a single vote. onProgress (when assigned) hears (sender, percent) after each row,
// always on the calling thread.
double SkewVote(const TKvBitmap& voteImage, int32_t angleRange, double precision,
                const TKvProgressEvent& onProgress, void* sender);

// How the vote spreads its work; the result never depends on these.
struct TSkewVoteTuning {
  int maxThreads = 0;                   // 0: one per core, at most kSkewVoteMaxThreads
  int64_t minVotesPerThread = 4000000;  // votes a thread must get before one is started
  int blockRows = 0;                    // rows voted per work item; 0: chosen by width
};
constexpr int kSkewVoteMaxThreads = 8;

// SkewVote with an explicit work split (for tests and benchmarks).
double SkewVoteTuned(const TKvBitmap& voteImage, int32_t angleRange, double precision,
                     const TKvProgressEvent& onProgress, void* sender,
                     const TSkewVoteTuning& tuning);

// Divides by 131072 (2^17), rounding to the nearest integer with halves away from zero.
inline int64_t Rnd17(int64_t v) {
  if (v < 0) return -Rnd17(-v);
  return (v >> 17) + ((v & 0x1FFFF) >= 0x10000 ? 1 : 0);
}
