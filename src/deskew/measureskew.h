// Skew measurement of one page: builds the black-and-white vote image (reduced in size and
// turned into an edge map as the pixel format and the flags ask) and runs the skew vote on it.
#pragma once

#include <cstdint>

#include "image/kvbitmap.h"
#include "image/kvevents.h"

// Measures the skew of `bitmap` (kv1g or kv24RGB) in degrees; `bitmap` is never changed.
// resampleWidth: width the page is reduced to first; below 1, or equal to the page width,
// means no resampling. angleRange and precision as for SkewVote. edgeDetect: vote with the
// outlines of a kv1g page (a colour page is always edge-mapped). Returns 0 when the
// measurement is refused. Only the vote reports progress, to onProgress with `sender`.
double MeasureSkew(const TKvBitmap& bitmap, int32_t resampleWidth, int32_t angleRange,
                   double precision, bool edgeDetect, const TKvProgressEvent& onProgress,
                   void* sender);
