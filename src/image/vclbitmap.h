// A small stand-in for a platform (device-independent) bitmap: the storage of kvTBitmap buffers.
//
// It knows four pixel formats (1, 8, 24 and 32 bits), keeps a palette for the 1- and 8-bit formats
// and stores its scan lines bottom-up with rows padded to 32 bits, as a device-independent bitmap
// does. Changing the size or format keeps nothing of the old pixels unless stated.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "image/kvtypes.h"

enum TVclPixelFormat : uint8_t {
  pfDevice,
  pf1bit,
  pf4bit,
  pf8bit,
  pf15bit,
  pf16bit,
  pf24bit,
  pf32bit
};

struct TVclPaletteEntry {
  uint8_t Red = 0, Green = 0, Blue = 0, Flags = 0;
};

class TVclBitmap {
 public:
  TVclBitmap() = default;
  TVclBitmap(int width, int height, TVclPixelFormat format);

  int Width() const { return width_; }
  int Height() const { return height_; }
  TVclPixelFormat PixelFormat() const { return format_; }
  // Bits per pixel of the current format (pfDevice counts as 24).
  int BitsPerPixel() const;
  int RowLength() const;

  void SetWidth(int w) { SetSize(w, height_); }
  void SetHeight(int h) { SetSize(width_, h); }
  // Resizes keeping the top-left content.
  void SetSize(int w, int h);
  // Changes the format converting the pixels (the palette is kept for 1/4/8 bits; a new 1-bit
  // bitmap gets black, white; a new 8-bit one a gray ramp).
  void SetPixelFormat(TVclPixelFormat f);

  // Scan line y (0 is the top row); rows are stored bottom-up, so addresses decrease with y.
  uint8_t* ScanLine(int y);
  const uint8_t* ScanLine(int y) const;

  std::vector<TVclPaletteEntry>& Palette() { return palette_; }
  const std::vector<TVclPaletteEntry>& Palette() const { return palette_; }
  // True when the palette has 256 entries with entry i = (i, i, i).
  bool PaletteIsGrayRamp() const;
  // True for a 1-bit bitmap whose two entries are black and white (in either order).
  bool IsMonochrome() const;

  // Colour of pixel (x, y) whatever the format.
  TKvRGB PixelRGB(int x, int y) const;

 private:
  void Reallocate(int w, int h, TVclPixelFormat f, const TVclBitmap* keep);

  int width_ = 0;
  int height_ = 0;
  TVclPixelFormat format_ = pfDevice;
  std::vector<uint8_t> bits_;
  std::vector<TVclPaletteEntry> palette_;
};
