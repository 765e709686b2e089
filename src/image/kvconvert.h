// Pixel-format conversion: the whole-image conversion behind TKvBitmap::ChangePixelFormat, the
// conversion to black and white, the colour-space formulas and the codecs' row converter.
//
// Every source format converts to every destination format. Pairs without a rule of their own
// go through kv24RGB: the source pixel's colour (as GetPixelRGB gives it) is converted with the
// rule from kv24RGB. Conversions to kv1g follow the destination's DitherMode: 0 is an ordered
// dither with the 8 x 8 matrix below, 1 a threshold at the gray of the image's mean colour.
//
// The CMYK conversions always use the formulas below: this system has no colour-management
// engine, so the process-wide CMYK switch has nothing to route them through.
#pragma once

#include <cstdint>

#include "image/kvbitmap.h"
#include "image/kvevents.h"

struct TKvIOParams;

// Ordered-dither matrix, indexed [x mod 8][y mod 8]: a pixel of level v (0..63) is white when
// the matrix value at its position is below v.
extern const uint8_t kKvDitherMatrix[8][8];

// Single-pixel colour conversions.
TKvCMYK RgbToCmyk(TKvRGB rgb);
TKvRGB CmykToRgb(TKvCMYK cmyk);
TKvLab RgbToLab(TKvRGB rgb);
TKvRGB LabToRgb(TKvLab lab);

// Fills the allocated `dest` from `source` of the same width and height. Nothing happens when
// the sizes differ, when `dest` is empty or stored as kvTBitmap, or when `source` has no format.
void ConvertFrom(TKvBitmap& dest, const TKvBitmap& source);

// Thresholds that ToBlackWhite computes itself.
constexpr int kvThresholdMean = -1;     // gray of the image's mean colour
constexpr int kvThresholdEntropy = -2;  // maximum entropy of the gray histogram

// Makes `dest` a kv1g image of `source`'s size: a pixel is white when its gray is at least the
// threshold (kvThresholdMean, kvThresholdEntropy, or a gray level). A kv1g source is copied
// unchanged. Reports progress once per row when `onProgress` is set. Returns false when `dest`
// cannot be allocated or `source` is empty.
bool ToBlackWhite(const TKvBitmap& source, TKvBitmap& dest, int threshold,
                  const TKvProgressEvent& onProgress = nullptr, void* sender = nullptr);

// Colour-space kinds of the row converter.
enum TKvRowKind : int {
  rkRGB = 0,      // 3 bytes, red first
  rkBGR = 1,      // 3 bytes, blue first (the kv24RGB layout)
  rkCMYK = 2,     // 4 bytes, C, M, Y, K stored inverted (the kvCMYK layout)
  rkCMYKInk = 3,  // 4 bytes, C, M, Y, K as ink amounts
  rkLab = 4,      // TKvLab
  rkGray = 5,     // 1 byte of gray
  rkRGB48LE = 6,  // three little-endian 16-bit words: red, green, blue
  rkRGB48BE = 7,  // three big-endian 16-bit words: red, green, blue
  rkYCbCr = 8,    // 3 bytes Y, Cb, Cr (full-range, as in JFIF)
};

// Converts `count` pixels of kind `sourceKind` at `source` into kind `destKind` at `dest`. Source
// kinds are 0..8, destination kinds 0..5; every pair goes through the pixel's colour (so the
// usual pairs are: BGR to BGR, CMYK, Lab or gray; RGB, CMYK, ink CMYK, Lab, 48-bit and YCbCr to
// BGR). `params` may carry an input profile for colour management, which this system does not
// apply. The two rows may be the same memory when a destination pixel is not larger than a
// source pixel. Returns false (and writes nothing) for an unknown kind or a negative count.
bool ConvertRow(const uint8_t* source, int sourceKind, uint8_t* dest, const TKvIOParams* params,
                int count, int destKind);
