// Pixel-format conversion: the whole-image conversion behind TKvBitmap::ChangePixelFormat, the
// conversion to black and white, the colour-space formulas and the codecs' row converter.
#pragma once

#include "image/kvbitmap.h"

// Single-pixel colour conversions (formula path).
TKvCMYK RgbToCmyk(TKvRGB rgb);
TKvRGB CmykToRgb(TKvCMYK cmyk);
TKvLab RgbToLab(TKvRGB rgb);
TKvRGB LabToRgb(TKvLab lab);

// Fills the allocated `dest` from `source` of the same width and height.
void ConvertFrom(TKvBitmap& dest, const TKvBitmap& source);
