// Resampling: changes the pixel size of an image into a second, already allocated bitmap.
//
// Three paths are built, each to the letter of its fixed-point rules:
//   - fast linear, colour (kv24RGB -> kv24RGB; the same rules per channel serve kv8g -> kv8g),
//   - fast linear, bits to colour (kv1g -> kv24RGB gray), with area averaging when both
//     directions shrink,
//   - nearest pixel, any format to the same format.
// The destination's width and height are the caller's choice (set before the call); a
// destination of the wrong pixel format is re-allocated at its own size in the format the path
// writes, so a path never writes past a row. Filters without a path here are refused: the entry
// returns false and leaves the destination untouched.
#pragma once

#include <cstdint>

#include "image/kvbitmap.h"
#include "image/kvevents.h"

// The resampling filters by name (values 0 .. 13). The system asks only for rfFastLinear; its
// other resampling is the nearest-pixel copy.
enum TResampleFilter : uint8_t {
  rfNone = 0,
  rfTriangle = 1,
  rfHermite = 2,
  rfBell = 3,
  rfBSpline = 4,
  rfLanczos3 = 5,
  rfMitchell = 6,
  rfNearest = 7,
  rfLinear = 8,
  rfFastLinear = 9,
  rfBilinear = 10,
  rfBicubic = 11,
  rfProjectBW = 12,
  rfProjectWB = 13,
};

// Filtered resampling of `source` into `dest` (W1 x H1 set by the caller).
// Paths: kv24RGB with rfFastLinear (fast linear, colour); kv8g with rfFastLinear (the same
// rules on one channel). Every other format or filter is refused (false, dest untouched).
// `onProgress`, when set, gets (sender, percent) after every row of both passes.
bool ResampleFiltered(TKvBitmap& source, TKvBitmap& dest, TResampleFilter filter,
                      const TKvProgressEvent& onProgress = {}, void* sender = nullptr);

// Filtered resampling of a kv1g `source` into a kv24RGB gray `dest`: rfFastLinear, rfBilinear
// and rfBicubic all take the fast linear path from bits to colour (area averaging when both
// directions shrink). Other filters, or a source that is not kv1g, are refused.
bool ResampleBitsFiltered(TKvBitmap& source, TKvBitmap& dest, TResampleFilter filter,
                          const TKvProgressEvent& onProgress = {}, void* sender = nullptr);

// Nearest-pixel copy; dest takes the source's pixel format (and palette for kv8p).
bool ResampleNearest(TKvBitmap& source, TKvBitmap& dest, const TKvProgressEvent& onProgress = {},
                     void* sender = nullptr);

// The general form behind the processor's Resample operation: rfNone takes the nearest copy; a
// kv1g source takes the bits path (dest becomes kv24RGB); anything else ResampleFiltered. An
// alpha plane of the source is resampled into dest's alpha plane (nearest for rfNone, fast linear
// gray otherwise) and its opaque flag copied; fully transparent kv24RGB pixels are resampled as
// (128, 128, 128) so that their hidden colour does not bleed into the visible neighbours (the
// source itself is not changed).
bool ResampleImage(TKvBitmap& source, TKvBitmap& dest, TResampleFilter filter,
                   const TKvProgressEvent& onProgress = {}, void* sender = nullptr);
