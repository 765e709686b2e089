// The platform bitmap stand-in: bottom-up, 32-bit aligned scan lines in one vector.
#include "image/vclbitmap.h"

#include <algorithm>
#include <cstring>

#include "image/kvbitmap.h"

namespace {

int BitsOf(TVclPixelFormat f) {
  switch (f) {
    case pf1bit:
      return 1;
    case pf4bit:
      return 4;
    case pf8bit:
      return 8;
    case pf15bit:
    case pf16bit:
      return 16;
    case pf32bit:
      return 32;
    case pfDevice:
    case pf24bit:
      return 24;
  }
  return 24;
}

std::vector<TVclPaletteEntry> DefaultPalette(TVclPixelFormat f) {
  std::vector<TVclPaletteEntry> pal;
  if (f == pf1bit) {
    pal = {{0, 0, 0, 0}, {255, 255, 255, 0}};
  } else if (f == pf4bit) {
    for (int i = 0; i < 16; ++i)
      pal.push_back({uint8_t(i * 17), uint8_t(i * 17), uint8_t(i * 17), 0});
  } else if (f == pf8bit) {
    for (int i = 0; i < 256; ++i) pal.push_back({uint8_t(i), uint8_t(i), uint8_t(i), 0});
  }
  return pal;
}

int NearestEntry(const std::vector<TVclPaletteEntry>& pal, TKvRGB c) {
  int best = 0;
  long bestDist = -1;
  for (size_t i = 0; i < pal.size(); ++i) {
    const long dr = long(pal[i].Red) - c.Red, dg = long(pal[i].Green) - c.Green,
               db = long(pal[i].Blue) - c.Blue;
    const long d = dr * dr + dg * dg + db * db;
    if (bestDist < 0 || d < bestDist) {
      bestDist = d;
      best = int(i);
    }
  }
  return best;
}

void StorePixel(TVclBitmap& bmp, int x, int y, TKvRGB c) {
  uint8_t* row = bmp.ScanLine(y);
  switch (bmp.PixelFormat()) {
    case pf1bit: {
      const int idx = NearestEntry(bmp.Palette(), c);
      const uint8_t mask = uint8_t(0x80 >> (x & 7));
      if (idx)
        row[x >> 3] |= mask;
      else
        row[x >> 3] &= uint8_t(~mask);
      break;
    }
    case pf4bit: {
      const int idx = NearestEntry(bmp.Palette(), c);
      uint8_t& b = row[x >> 1];
      b = (x & 1) ? uint8_t((b & 0xF0) | idx) : uint8_t((b & 0x0F) | (idx << 4));
      break;
    }
    case pf8bit:
      row[x] = uint8_t(NearestEntry(bmp.Palette(), c));
      break;
    case pf15bit: {
      const uint16_t v = uint16_t(((c.Red >> 3) << 10) | ((c.Green >> 3) << 5) | (c.Blue >> 3));
      row[2 * x] = uint8_t(v);
      row[2 * x + 1] = uint8_t(v >> 8);
      break;
    }
    case pf16bit: {
      const uint16_t v = uint16_t(((c.Red >> 3) << 11) | ((c.Green >> 2) << 5) | (c.Blue >> 3));
      row[2 * x] = uint8_t(v);
      row[2 * x + 1] = uint8_t(v >> 8);
      break;
    }
    case pf32bit:
      row[4 * x] = c.Blue;
      row[4 * x + 1] = c.Green;
      row[4 * x + 2] = c.Red;
      row[4 * x + 3] = 0;
      break;
    case pfDevice:
    case pf24bit:
      row[3 * x] = c.Blue;
      row[3 * x + 1] = c.Green;
      row[3 * x + 2] = c.Red;
      break;
  }
}

}  // namespace

TVclBitmap::TVclBitmap(int width, int height, TVclPixelFormat format) {
  Reallocate(width, height, format, nullptr);
}

int TVclBitmap::BitsPerPixel() const {
  return BitsOf(format_);
}

int TVclBitmap::RowLength() const {
  return KvRowLength(width_, BitsOf(format_));
}

uint8_t* TVclBitmap::ScanLine(int y) {
  return bits_.data() + size_t(RowLength()) * size_t(height_ - 1 - y);
}

const uint8_t* TVclBitmap::ScanLine(int y) const {
  return bits_.data() + size_t(RowLength()) * size_t(height_ - 1 - y);
}

void TVclBitmap::SetSize(int w, int h) {
  if (w == width_ && h == height_) return;
  TVclBitmap old;
  std::swap(old.bits_, bits_);
  old.width_ = width_;
  old.height_ = height_;
  old.format_ = format_;
  old.palette_ = palette_;
  Reallocate(w, h, format_, &old);
}

void TVclBitmap::SetPixelFormat(TVclPixelFormat f) {
  if (f == format_) return;
  TVclBitmap old;
  std::swap(old.bits_, bits_);
  old.width_ = width_;
  old.height_ = height_;
  old.format_ = format_;
  old.palette_ = palette_;
  palette_ = DefaultPalette(f);
  format_ = f;
  Reallocate(width_, height_, f, &old);
}

void TVclBitmap::Reallocate(int w, int h, TVclPixelFormat f, const TVclBitmap* keep) {
  width_ = std::max(w, 0);
  height_ = std::max(h, 0);
  if (format_ != f || palette_.empty()) {
    if (keep == nullptr || BitsOf(f) > 8 || palette_.empty()) palette_ = DefaultPalette(f);
  }
  format_ = f;
  bits_.assign(size_t(RowLength()) * size_t(height_), 0);
  if (keep == nullptr) return;
  const int cw = std::min(width_, keep->width_), ch = std::min(height_, keep->height_);
  if (keep->format_ == format_) {
    const size_t bytes = std::min(RowLength(), keep->RowLength());
    for (int y = 0; y < ch; ++y) std::memcpy(ScanLine(y), keep->ScanLine(y), bytes);
    return;
  }
  for (int y = 0; y < ch; ++y)
    for (int x = 0; x < cw; ++x) StorePixel(*this, x, y, keep->PixelRGB(x, y));
}

bool TVclBitmap::PaletteIsGrayRamp() const {
  if (palette_.size() != 256) return false;
  for (int i = 0; i < 256; ++i) {
    const TVclPaletteEntry& e = palette_[size_t(i)];
    if (e.Red != i || e.Green != i || e.Blue != i) return false;
  }
  return true;
}

bool TVclBitmap::IsMonochrome() const {
  if (format_ != pf1bit || palette_.size() != 2) return false;
  auto isBlack = [](const TVclPaletteEntry& e) {
    return e.Red == 0 && e.Green == 0 && e.Blue == 0;
  };
  auto isWhite = [](const TVclPaletteEntry& e) {
    return e.Red == 255 && e.Green == 255 && e.Blue == 255;
  };
  return (isBlack(palette_[0]) && isWhite(palette_[1])) ||
         (isWhite(palette_[0]) && isBlack(palette_[1]));
}

TKvRGB TVclBitmap::PixelRGB(int x, int y) const {
  const uint8_t* row = ScanLine(y);
  auto fromPalette = [this](int idx) {
    if (idx < 0 || size_t(idx) >= palette_.size()) return TKvRGB{};
    const TVclPaletteEntry& e = palette_[size_t(idx)];
    return KvRGB(e.Red, e.Green, e.Blue);
  };
  switch (format_) {
    case pf1bit:
      return fromPalette((row[x >> 3] >> (7 - (x & 7))) & 1);
    case pf4bit:
      return fromPalette((x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4));
    case pf8bit:
      return fromPalette(row[x]);
    case pf15bit: {
      const int v = row[2 * x] | (row[2 * x + 1] << 8);
      return KvRGB(uint8_t(((v >> 10) & 31) << 3), uint8_t(((v >> 5) & 31) << 3),
                   uint8_t((v & 31) << 3));
    }
    case pf16bit: {
      const int v = row[2 * x] | (row[2 * x + 1] << 8);
      return KvRGB(uint8_t(((v >> 11) & 31) << 3), uint8_t(((v >> 5) & 63) << 2),
                   uint8_t((v & 31) << 3));
    }
    case pf32bit:
      return TKvRGB{row[4 * x], row[4 * x + 1], row[4 * x + 2]};
    case pfDevice:
    case pf24bit:
      return TKvRGB{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
  }
  return {};
}
