// Placeholder until the conversion module lands.
#include "image/kvconvert.h"

TKvCMYK RgbToCmyk(TKvRGB) { return {}; }
TKvRGB CmykToRgb(TKvCMYK) { return {}; }
TKvLab RgbToLab(TKvRGB) { return {}; }
TKvRGB LabToRgb(TKvLab) { return {}; }
void ConvertFrom(TKvBitmap&, const TKvBitmap&) {}
void TKvBitmap::ChangePixelFormat(TKvPixFormat) {}
