// Rotation building blocks of the processor: the nearest-pixel turn of one bitmap and the size
// search that finds the upright page inside a turned one. TKvProc::Rotate, ImageResize and
// RotateAndCrop (kvproc.h) use them; they are declared here for the processor and its tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "image/kvbitmap.h"

// The size of the canvas a W x H bitmap is turned onto: Near(|cos| W + |sin| H) by
// Near(|sin| W + |cos| H), halves to even.
void KvRotatedSize(int width, int height, double angle, int& newWidth, int& newHeight);

// Turns `source` by `angle` degrees (positive counter-clockwise on screen) with nearest-pixel
// mapping into `dest` (allocated here, same format, palette copied). Whole multiples of 90 degrees
// are exact re-arrangements. Pixels not covered by the source get `fillValue` (as FillWith takes
// it for the format; for kv1g nonzero is white). `rowDone`, when set, is called on the calling
// thread after each destination row, in order. Rows are turned on several threads when the bitmap
// is large; the result does not depend on it.
void KvRotateNearest(TKvBitmap& source, double angle, double fillValue,
                     const std::function<void(int row, int rows)>& rowDone, TKvBitmap& dest);

// The upright size i x j whose outline turned by `angle` fills a W x H picture, by the search of
// RotateAndCrop (i ascending, then j ascending, first pair within one pixel); 0 x 0 when none.
void KvInnerSize(int width, int height, double angle, int& innerWidth, int& innerHeight);

// `image` takes the pixels, size, format and palette of `from` (which is left empty), keeping
// its own storage settings; its alpha plane is kept, or with takeAlpha replaced by that of
// `from`. Buffers in memory hand their storage over; others are copied.
void KvTakeContent(TKvBitmap& image, TKvBitmap& from, bool takeAlpha);

// The angle as the undo caption writes it: shortest general notation, 15 significant digits.
std::string KvAngleText(double angle);
