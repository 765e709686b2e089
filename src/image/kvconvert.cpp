// Pixel-format conversion.
//
// ConvertFrom works a row at a time. Pairs with a rule of their own (the gray formats among each
// other, kv24RGB to everything, kvRGB48 to the gray formats) have their own row code; every other
// pair decodes the source row into kv24RGB pixels (the GetPixelRGB colour) and encodes them by the
// rules from kv24RGB. Two destinations need the whole image first: kv8p from kv24RGB (the
// quantizer builds the palette) and kv1g in threshold mode (the mean colour); those sources that
// have no direct rule for them are first converted to a kv24RGB copy.
//
// Conversion to black and white compares weighted channel sums instead of dividing: with the
// gray weights (wr, wg, wb, d), gray = s div d for s = wr * red + wg * green + wb * blue, so
//   gray >= t         <=>  s >= t * d
//   M < gray shr 2    <=>  s >= 4 * d * (M + 1)
// for non-negative s, which lets the hot loops run without a division.
#include "image/kvconvert.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "image/kvquantize.h"
#include "image/vclbitmap.h"

const uint8_t kKvDitherMatrix[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21},
};

namespace {

// In platform-bitmap storage, the ordered dither treats a pixel whose three channels are all at
// least this as pure white (so near-white paper does not pick up a dot pattern).
constexpr uint8_t kVclWhiteChannel = 251;

// ---------------------------------------------------------------------------------------------
// Small helpers

uint16_t ReadWordLE(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
void WriteWordLE(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

float ReadFloat(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}
void WriteFloat(uint8_t* p, float f) {
  std::memcpy(p, &f, 4);
}

// Trunc(v) held to 0..max: gray floats are expected in 0..1 and are not clamped by the rules, but
// a value outside the target's range (or NaN) has no representation, so it saturates.
int TruncClamped(double v, int max) {
  if (!(v > 0)) return 0;
  if (v >= max) return max;
  return int(v);
}
uint8_t FloatToByte(float f) {
  return uint8_t(TruncClamped(double(f) * 255.0, 255));
}
uint16_t FloatToWord(float f) {
  return uint16_t(TruncClamped(double(f) * 65535.0, 65535));
}

uint8_t ClampByte(double v) {
  if (!(v > 0)) return 0;
  if (v >= 255) return 255;
  return uint8_t(std::nearbyint(v));
}

// The rules from kv24RGB for the gray formats.
uint16_t RgbTo16g(TKvRGB p) {
  return uint16_t((p.Red * 54484 + p.Green * 183241 + p.Blue * 19275) / 1000);
}
float RgbTo32f(TKvRGB p) {
  return float((p.Red * 0.2126 + p.Green * 0.7152 + p.Blue * 0.0722) / 255);
}

bool IsGrayFormat(TKvPixFormat f) {
  return f == kv1g || f == kv8g || f == kv16g || f == kv32f;
}

// Sets an access mode for the guard's lifetime (rows paged under it are written back or not as
// the temporary mode says). Used to make a source read-only and a destination write-only.
class TAccessGuard {
 public:
  TAccessGuard(const TKvBitmap& bmp, uint8_t mode)
      : bmp_(const_cast<TKvBitmap&>(bmp)), old_(bmp.AccessMode()) {
    bmp_.SetAccessMode(mode);
  }
  ~TAccessGuard() { bmp_.SetAccessMode(old_); }
  TAccessGuard(const TAccessGuard&) = delete;
  TAccessGuard& operator=(const TAccessGuard&) = delete;

 private:
  TKvBitmap& bmp_;
  uint8_t old_;
};

// The 256 palette colours of a kv8p source (black beyond the palette's length).
std::array<TKvRGB, 256> PaletteTable(const TKvBitmap& src) {
  std::array<TKvRGB, 256> pal{};
  for (int i = 0; i < 256; ++i) pal[size_t(i)] = src.GetPaletteEntry(i);
  return pal;
}

// ---------------------------------------------------------------------------------------------
// Row decoders

// A source's rows as kv24RGB pixels: the row itself for kv24RGB, else decoded into a buffer.
class TRgbRows {
 public:
  explicit TRgbRows(const TKvBitmap& src)
      : src_(src), format_(src.PixelFormat()), width_(src.Width()) {
    if (format_ != kv24RGB) buffer_.resize(size_t(width_));
    if (format_ == kv8p) palette_ = PaletteTable(src);
  }

  const TKvRGB* Row(int y) {
    const uint8_t* in = src_.RowPtr(y);
    if (format_ == kv24RGB) return reinterpret_cast<const TKvRGB*>(in);
    TKvRGB* out = buffer_.data();
    const int w = width_;
    switch (format_) {
      case kv1g:
        for (int x = 0; x < w; ++x) {
          const uint8_t v = (in[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
          out[x] = TKvRGB{v, v, v};
        }
        break;
      case kv8p:
        for (int x = 0; x < w; ++x) out[x] = palette_[in[x]];
        break;
      case kv8g:
        for (int x = 0; x < w; ++x) out[x] = TKvRGB{in[x], in[x], in[x]};
        break;
      case kv16g:
        for (int x = 0; x < w; ++x) {
          const uint8_t v = in[2 * x + 1];
          out[x] = TKvRGB{v, v, v};
        }
        break;
      case kv32f:
        for (int x = 0; x < w; ++x) {
          const uint8_t v = FloatToByte(ReadFloat(in + 4 * x));
          out[x] = TKvRGB{v, v, v};
        }
        break;
      case kvCMYK:
        for (int x = 0; x < w; ++x) {
          TKvCMYK c;
          std::memcpy(&c, in + 4 * x, 4);
          out[x] = CmykToRgb(c);
        }
        break;
      case kvRGB48:
        for (int x = 0; x < w; ++x) out[x] = KvRGB(in[6 * x + 1], in[6 * x + 3], in[6 * x + 5]);
        break;
      case kvCIELab:
        for (int x = 0; x < w; ++x) {
          TKvLab l;
          std::memcpy(&l, in + 3 * x, 3);
          out[x] = LabToRgb(l);
        }
        break;
      case kv32RGB:
        for (int x = 0; x < w; ++x) out[x] = TKvRGB{in[4 * x], in[4 * x + 1], in[4 * x + 2]};
        break;
      default:
        std::fill(buffer_.begin(), buffer_.end(), TKvRGB{});
        break;
    }
    return out;
  }

 private:
  const TKvBitmap& src_;
  TKvPixFormat format_;
  int width_;
  std::vector<TKvRGB> buffer_;
  std::array<TKvRGB, 256> palette_{};
};

// The rows of a kv8g, kv16g or kv32f source as 8-bit gray levels (the byte, the high byte, the
// float * 255 truncated).
class TGrayByteRows {
 public:
  explicit TGrayByteRows(const TKvBitmap& src)
      : src_(src), format_(src.PixelFormat()), width_(src.Width()) {
    if (format_ != kv8g) buffer_.resize(size_t(width_));
  }
  const uint8_t* Row(int y) {
    const uint8_t* in = src_.RowPtr(y);
    if (format_ == kv8g) return in;
    uint8_t* out = buffer_.data();
    if (format_ == kv16g) {
      for (int x = 0; x < width_; ++x) out[x] = in[2 * x + 1];
    } else {
      for (int x = 0; x < width_; ++x) out[x] = FloatToByte(ReadFloat(in + 4 * x));
    }
    return out;
  }

 private:
  const TKvBitmap& src_;
  TKvPixFormat format_;
  int width_;
  std::vector<uint8_t> buffer_;
};

// ---------------------------------------------------------------------------------------------
// Row encoders: kv24RGB pixels into any format but kv1g and kv8p.

void EncodeRgbRow(const TKvRGB* in, int w, TKvPixFormat df, uint8_t* out) {
  switch (df) {
    case kv8g: {
      const TKvGrayWeights wt = gKvGrayWeights;
      if (wt.Red == 21 && wt.Green == 71 && wt.Blue == 8 && wt.Divisor == 100) {
        // The usual weights as constants: the division becomes a multiplication.
        for (int x = 0; x < w; ++x)
          out[x] = uint8_t(unsigned(in[x].Red * 21 + in[x].Green * 71 + in[x].Blue * 8) / 100u);
      } else {
        for (int x = 0; x < w; ++x) out[x] = uint8_t(KvGray(in[x]));
      }
      break;
    }
    case kv16g:
      for (int x = 0; x < w; ++x) WriteWordLE(out + 2 * x, RgbTo16g(in[x]));
      break;
    case kv24RGB:
      std::memcpy(out, in, size_t(w) * 3);
      break;
    case kv32f:
      for (int x = 0; x < w; ++x) WriteFloat(out + 4 * x, RgbTo32f(in[x]));
      break;
    case kvCMYK:
      for (int x = 0; x < w; ++x) {
        const TKvCMYK c = RgbToCmyk(in[x]);
        std::memcpy(out + 4 * x, &c, 4);
      }
      break;
    case kvRGB48:
      for (int x = 0; x < w; ++x) {
        WriteWordLE(out + 6 * x, uint16_t(in[x].Red * 257));
        WriteWordLE(out + 6 * x + 2, uint16_t(in[x].Green * 257));
        WriteWordLE(out + 6 * x + 4, uint16_t(in[x].Blue * 257));
      }
      break;
    case kvCIELab:
      for (int x = 0; x < w; ++x) {
        const TKvLab l = RgbToLab(in[x]);
        std::memcpy(out + 3 * x, &l, 3);
      }
      break;
    case kv32RGB:
      for (int x = 0; x < w; ++x) {
        std::memcpy(out + 4 * x, &in[x], 3);
        out[4 * x + 3] = 255;
      }
      break;
    default:
      break;
  }
}

// One pixel of a gray source in the three precisions its rules use.
struct TGrayPixel {
  uint8_t Byte;
  uint16_t Word;
  float Float;
};

TGrayPixel GrayPixelAt(TKvPixFormat sf, const uint8_t* in, int x) {
  switch (sf) {
    case kv1g: {
      const bool white = (in[x >> 3] & (0x80 >> (x & 7))) != 0;
      return white ? TGrayPixel{255, 65535, 1.0f} : TGrayPixel{0, 0, 0.0f};
    }
    case kv8g:
      return {in[x], uint16_t(in[x] * 257), float(in[x] / 255.0)};
    case kv16g: {
      const uint16_t w = ReadWordLE(in + 2 * x);
      return {uint8_t(w >> 8), w, float(w / 65535.0)};
    }
    default: {  // kv32f
      const float f = ReadFloat(in + 4 * x);
      return {FloatToByte(f), FloatToWord(f), f};
    }
  }
}

// Gray source (kv1g, kv8g, kv16g, kv32f) into kv8g, kv16g, kv24RGB, kv32f, kvRGB48 or kv32RGB.
void GrayRowToFormat(TKvPixFormat sf, const uint8_t* in, int w, TKvPixFormat df, uint8_t* out) {
  for (int x = 0; x < w; ++x) {
    const TGrayPixel g = GrayPixelAt(sf, in, x);
    switch (df) {
      case kv8g:
        out[x] = g.Byte;
        break;
      case kv16g:
        WriteWordLE(out + 2 * x, g.Word);
        break;
      case kv24RGB:
        std::memset(out + 3 * x, g.Byte, 3);
        break;
      case kv32f:
        WriteFloat(out + 4 * x, g.Float);
        break;
      case kvRGB48:
        for (int c = 0; c < 3; ++c) WriteWordLE(out + 6 * x + 2 * c, g.Word);
        break;
      case kv32RGB:
        std::memset(out + 4 * x, g.Byte, 3);
        out[4 * x + 3] = 255;
        break;
      default:
        break;
    }
  }
}

// kvRGB48 into kv16g or kv32f, which use the full words.
void Rgb48RowToGray(const uint8_t* in, int w, TKvPixFormat df, uint8_t* out) {
  for (int x = 0; x < w; ++x) {
    const uint32_t r = ReadWordLE(in + 6 * x), g = ReadWordLE(in + 6 * x + 2),
                   b = ReadWordLE(in + 6 * x + 4);
    if (df == kv16g)
      WriteWordLE(out + 2 * x, uint16_t((r * 212 + g * 713 + b * 75) / 1000));
    else
      WriteFloat(out + 4 * x,
                 float((r * 0.2126 / 256 + g * 0.7152 / 256 + b * 0.0722 / 256) / 255));
  }
}

// ---------------------------------------------------------------------------------------------
// Black and white

// Writes the bits of one row: pixel x is white when white(x) holds. The padding bits of the last
// byte are cleared.
template <typename TWhite>
void PackBits(uint8_t* out, int w, TWhite white) {
  const int whole = w >> 3;
  for (int i = 0; i < whole; ++i) {
    const int x = i << 3;
    out[i] = uint8_t((white(x) << 7) | (white(x + 1) << 6) | (white(x + 2) << 5) |
                     (white(x + 3) << 4) | (white(x + 4) << 3) | (white(x + 5) << 2) |
                     (white(x + 6) << 1) | int(white(x + 7)));
  }
  if (w & 7) {
    uint8_t b = 0;
    for (int x = whole << 3; x < w; ++x)
      if (white(x)) b |= uint8_t(0x80 >> (x & 7));
    out[whole] = b;
  }
}

// Sum thresholds of the ordered dither for row y: pixel x is white when its weighted sum s is
// at least t[x & 7] (see the account at the top).
std::array<int64_t, 8> DitherSumThresholds(int y, int divisor) {
  std::array<int64_t, 8> t{};
  for (int i = 0; i < 8; ++i) t[size_t(i)] = 4 * int64_t(divisor) * (kKvDitherMatrix[i][y & 7] + 1);
  return t;
}

// Bits of one row from 16-bit values: pixel x is white when v[x] >= t[x & 7]. Whole bytes of
// eight pixels are written in one expression so that the comparisons run on vector registers.
template <typename TValue>
void PackAtLeast(const TValue* __restrict v, int w, const uint16_t* __restrict t,
                 uint8_t* __restrict out) {
  const int whole = w >> 3;
  for (int i = 0; i < whole; ++i) {
    const TValue* a = v + 8 * i;
    out[i] = uint8_t(((a[0] >= t[0]) << 7) | ((a[1] >= t[1]) << 6) | ((a[2] >= t[2]) << 5) |
                     ((a[3] >= t[3]) << 4) | ((a[4] >= t[4]) << 3) | ((a[5] >= t[5]) << 2) |
                     ((a[6] >= t[6]) << 1) | int(a[7] >= t[7]));
  }
  if (w & 7) {
    uint8_t bits = 0;
    for (int x = whole << 3; x < w; ++x)
      if (v[x] >= t[x & 7]) bits |= uint8_t(0x80 >> (x & 7));
    out[whole] = bits;
  }
}

// Per-channel products of the gray weights: table[c * 256 + v] = v * weight of channel c, with
// the channels in the kv24RGB order (blue, green, red). Looking the products up is quicker than
// multiplying bytes picked out of the interleaved row.
std::vector<uint16_t> WeightTable(const TKvGrayWeights& wt) {
  std::vector<uint16_t> table(768);
  for (int v = 0; v < 256; ++v) {
    table[size_t(v)] = uint16_t(v * wt.Blue);
    table[size_t(256 + v)] = uint16_t(v * wt.Green);
    table[size_t(512 + v)] = uint16_t(v * wt.Red);
  }
  return table;
}

void WeightedSums16(const uint8_t* __restrict p, int w, const uint16_t* __restrict table,
                    uint16_t* __restrict s) {
  for (int x = 0; x < w; ++x)
    s[x] = uint16_t(table[p[3 * x]] + table[256 + p[3 * x + 1]] + table[512 + p[3 * x + 2]]);
}

// Whether every weighted sum of 8-bit channels fits 16 bits.
bool SumsFit16(const TKvGrayWeights& wt) {
  return wt.Red >= 0 && wt.Green >= 0 && wt.Blue >= 0 &&
         int64_t(wt.Red) + wt.Green + wt.Blue <= UINT16_MAX / 255;
}

// kv24RGB rows to kv8g by the gray rule, through the weight table when the sums fit 16 bits.
class TGrayRow {
 public:
  explicit TGrayRow(int width) : wt_(gKvGrayWeights), narrow_(SumsFit16(wt_) && wt_.Divisor > 0) {
    if (narrow_) {
      sums_.resize(size_t(width));
      table_ = WeightTable(wt_);
    }
  }
  void Convert(const TKvRGB* in, int w, uint8_t* out) {
    if (!narrow_) {
      EncodeRgbRow(in, w, kv8g, out);
      return;
    }
    uint16_t* s = sums_.data();
    WeightedSums16(reinterpret_cast<const uint8_t*>(in), w, table_.data(), s);
    if (wt_.Divisor == 100) {  // the usual divisor as a constant: the division is a multiply
      for (int x = 0; x < w; ++x) out[x] = uint8_t(unsigned(s[x]) / 100u);
    } else {
      const unsigned d = unsigned(wt_.Divisor);
      for (int x = 0; x < w; ++x) out[x] = uint8_t(unsigned(s[x]) / d);
    }
  }

 private:
  TKvGrayWeights wt_;
  bool narrow_;
  std::vector<uint16_t> sums_;
  std::vector<uint16_t> table_;
};

// Weighted channel sums of kv24RGB rows compared with per-position thresholds: in 16 bits when
// the weights and thresholds allow (the usual case), else in 64 bits.
class TSumThreshold {
 public:
  explicit TSumThreshold(int width) : wt_(gKvGrayWeights), narrow_(SumsFit16(wt_)) {
    if (narrow_) {
      sums_.resize(size_t(width));
      table_ = WeightTable(wt_);
    }
  }
  // Row bits: pixel x is white when its weighted sum is at least t[x & 7].
  void Pack(const uint8_t* p, int w, const std::array<int64_t, 8>& t, uint8_t* out) {
    bool fits = narrow_;
    std::array<uint16_t, 8> t16{};
    for (int i = 0; i < 8; ++i) {
      fits = fits && t[size_t(i)] <= UINT16_MAX;
      t16[size_t(i)] = uint16_t(std::clamp<int64_t>(t[size_t(i)], 0, UINT16_MAX));
    }
    if (fits) {
      WeightedSums16(p, w, table_.data(), sums_.data());
      PackAtLeast(sums_.data(), w, t16.data(), out);
      return;
    }
    PackBits(out, w, [&](int x) {
      const uint8_t* q = p + 3 * x;
      return int(int64_t(q[2]) * wt_.Red + int64_t(q[1]) * wt_.Green + int64_t(q[0]) * wt_.Blue >=
                 t[size_t(x & 7)]);
    });
  }

 private:
  TKvGrayWeights wt_;
  bool narrow_;
  std::vector<uint16_t> sums_;
  std::vector<uint16_t> table_;
};

void DitherRgbRow(const TKvRGB* in, int w, int y, bool vclWhite, TSumThreshold& sums,
                  uint8_t* out) {
  const TKvGrayWeights wt = gKvGrayWeights;
  const std::array<int64_t, 8> t = DitherSumThresholds(y, wt.Divisor);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(in);
  if (vclWhite) {
    PackBits(out, w, [&](int x) {
      const uint8_t* q = p + 3 * x;
      if (q[0] >= kVclWhiteChannel && q[1] >= kVclWhiteChannel && q[2] >= kVclWhiteChannel)
        return 1;
      return int(int64_t(q[2]) * wt.Red + int64_t(q[1]) * wt.Green + int64_t(q[0]) * wt.Blue >=
                 t[size_t(x & 7)]);
    });
    return;
  }
  sums.Pack(p, w, t, out);
}

void DitherGrayRow(const uint8_t* in, int w, int y, uint8_t* out) {
  const std::array<int64_t, 8> t = DitherSumThresholds(y, 1);
  std::array<uint16_t, 8> t16{};
  for (int i = 0; i < 8; ++i) t16[size_t(i)] = uint16_t(t[size_t(i)]);  // at most 256
  PackAtLeast(in, w, t16.data(), out);
}

// Ordered dither of any source into the allocated kv1g `dst`.
void DitherImage(const TKvBitmap& src, TKvBitmap& dst, bool vclWhite) {
  const int w = src.Width(), h = src.Height();
  const TKvPixFormat sf = src.PixelFormat();
  if (sf == kv8g || sf == kv16g || sf == kv32f) {
    TGrayByteRows rows(src);
    for (int y = 0; y < h; ++y) DitherGrayRow(rows.Row(y), w, y, dst.RowPtr(y));
    return;
  }
  TRgbRows rows(src);
  TSumThreshold sums(w);
  for (int y = 0; y < h; ++y) DitherRgbRow(rows.Row(y), w, y, vclWhite, sums, dst.RowPtr(y));
}

// Mean colour of an image (each channel's sum divided by the pixel count, truncated).
TKvRGB MeanColor(const TKvBitmap& src) {
  const int w = src.Width(), h = src.Height();
  const uint64_t n = uint64_t(w) * uint64_t(h);
  // Row sums fit 32 bits up to this width (255 * width < 2^32), which keeps the loops vectorised.
  constexpr int kMaxNarrowWidth = 16843009;
  uint64_t sum[3] = {0, 0, 0};
  const TKvPixFormat sf = src.PixelFormat();
  if (sf == kv8g || sf == kv16g || sf == kv32f) {
    TGrayByteRows rows(src);
    for (int y = 0; y < h; ++y) {
      const uint8_t* p = rows.Row(y);
      uint64_t rowSum = 0;
      if (w <= kMaxNarrowWidth) {
        uint32_t s32 = 0;
        for (int x = 0; x < w; ++x) s32 += p[x];
        rowSum = s32;
      } else {
        for (int x = 0; x < w; ++x) rowSum += p[x];
      }
      sum[0] += rowSum;
    }
    const uint8_t m = uint8_t(sum[0] / n);
    return TKvRGB{m, m, m};
  }
  TRgbRows rows(src);
  for (int y = 0; y < h; ++y) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(rows.Row(y));
    if (w <= kMaxNarrowWidth) {
      uint32_t b = 0, g = 0, r = 0;
      for (int x = 0; x < w; ++x) {
        b += p[3 * x];
        g += p[3 * x + 1];
        r += p[3 * x + 2];
      }
      sum[0] += b;
      sum[1] += g;
      sum[2] += r;
    } else {
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) sum[c] += p[3 * x + c];
    }
  }
  return TKvRGB{uint8_t(sum[0] / n), uint8_t(sum[1] / n), uint8_t(sum[2] / n)};
}

// Histogram of the gray of every pixel's colour.
std::array<uint64_t, 256> GrayHistogram(const TKvBitmap& src) {
  std::array<uint64_t, 256> hist{};
  const int w = src.Width(), h = src.Height();
  TRgbRows rows(src);
  for (int y = 0; y < h; ++y) {
    const TKvRGB* p = rows.Row(y);
    for (int x = 0; x < w; ++x) ++hist[size_t(std::clamp(KvGray(p[x]), 0, 255))];
  }
  return hist;
}

// A uniform image has no level that splits its histogram; it is thresholded at mid-gray, so a
// dark page stays black and a light one white.
constexpr int kUniformImageThreshold = 128;

// Maximum-entropy threshold (Kapur, Sahoo and Wong) of the gray histogram: the level t that
// maximises the summed entropies of the classes below t and from t on.
int EntropyThreshold(const TKvBitmap& src) {
  const std::array<uint64_t, 256> hist = GrayHistogram(src);
  uint64_t total = 0;
  for (uint64_t c : hist) total += c;
  std::array<double, 256> p{};
  double entropy = 0;
  for (int i = 0; i < 256; ++i) {
    p[size_t(i)] = double(hist[size_t(i)]) / double(total);
    if (hist[size_t(i)] > 0) entropy -= p[size_t(i)] * std::log(p[size_t(i)]);
  }
  int best = -1;
  double bestScore = 0;
  uint64_t countBelow = 0;
  double pBelow = 0, hBelow = 0;
  for (int t = 1; t <= 255; ++t) {
    const int bin = t - 1;  // the bins below t are 0 .. t - 1
    countBelow += hist[size_t(bin)];
    pBelow += p[size_t(bin)];
    if (hist[size_t(bin)] > 0) hBelow -= p[size_t(bin)] * std::log(p[size_t(bin)]);
    // 0 < P < 1, decided on the counts so that rounding cannot admit an empty class.
    if (countBelow == 0 || countBelow == total) continue;
    const double score =
        std::log(pBelow * (1 - pBelow)) + hBelow / pBelow + (entropy - hBelow) / (1 - pBelow);
    if (best < 0 || score > bestScore) {
      best = t;
      bestScore = score;
    }
  }
  return best < 0 ? kUniformImageThreshold : best;
}

// Threshold of any source into the allocated kv1g `dst` (threshold already resolved).
void ThresholdImage(const TKvBitmap& src, TKvBitmap& dst, int threshold,
                    const TKvProgressEvent& onProgress, void* sender) {
  const int w = src.Width(), h = src.Height();
  const TKvPixFormat sf = src.PixelFormat();
  const TKvGrayWeights wt = gKvGrayWeights;
  auto report = [&](int y) {
    if (onProgress) onProgress(sender, int32_t(int64_t(y + 1) * 100 / h));
  };
  if (sf == kv8g || sf == kv16g || sf == kv32f) {
    // The colour of a gray pixel is the level in all channels; with non-negative weights its gray
    // grows with the level, so the white levels are those from the first white one on.
    std::array<uint8_t, 256> white{};
    bool monotonic = true;
    int firstWhite = 256;
    for (int g = 0; g < 256; ++g) {
      white[size_t(g)] = KvGray(g, g, g) >= threshold;
      if (white[size_t(g)] && firstWhite == 256) firstWhite = g;
      monotonic = monotonic && white[size_t(g)] == (g >= firstWhite);
    }
    std::array<uint16_t, 8> t16{};
    t16.fill(uint16_t(firstWhite));
    TGrayByteRows rows(src);
    for (int y = 0; y < h; ++y) {
      const uint8_t* in = rows.Row(y);
      if (monotonic)
        PackAtLeast(in, w, t16.data(), dst.RowPtr(y));
      else
        PackBits(dst.RowPtr(y), w, [&](int x) { return int(white[in[x]]); });
      report(y);
    }
    return;
  }
  std::array<int64_t, 8> sumThreshold{};
  sumThreshold.fill(int64_t(threshold) * wt.Divisor);
  TRgbRows rows(src);
  TSumThreshold sums(w);
  for (int y = 0; y < h; ++y) {
    sums.Pack(reinterpret_cast<const uint8_t*>(rows.Row(y)), w, sumThreshold, dst.RowPtr(y));
    report(y);
  }
}

void CopyRows(const TKvBitmap& src, TKvBitmap& dst) {
  const int h = std::min(src.Height(), dst.Height());
  const size_t bytes = size_t(std::min(src.RowLength(), dst.RowLength()));
  for (int y = 0; y < h; ++y) std::memcpy(dst.RowPtr(y), src.RowPtr(y), bytes);
}

// ToBlackWhite into an allocated kv1g `dst` of the source's size.
void BlackWhiteInto(const TKvBitmap& src, TKvBitmap& dst, int threshold,
                    const TKvProgressEvent& onProgress, void* sender) {
  if (src.PixelFormat() == kv1g) {
    CopyRows(src, dst);
    if (onProgress) onProgress(sender, 100);
    return;
  }
  if (threshold == kvThresholdMean)
    threshold = KvGray(MeanColor(src));
  else if (threshold == kvThresholdEntropy)
    threshold = EntropyThreshold(src);
  ThresholdImage(src, dst, threshold, onProgress, sender);
}

// ---------------------------------------------------------------------------------------------
// The conversion matrix

void ConvertInto(TKvBitmap& dst, const TKvBitmap& src, bool vclWhite);

// Converts through a kv24RGB copy of the source.
void ConvertVia24(TKvBitmap& dst, const TKvBitmap& src) {
  TKvBitmap rgb;
  if (!rgb.AllocateImage(src.Width(), src.Height(), kv24RGB)) return;
  ConvertInto(rgb, src, false);
  ConvertInto(dst, rgb, false);
}

void ToPaletteImage(TKvBitmap& dst, const TKvBitmap& src) {
  const int w = src.Width(), h = src.Height();
  const TKvPixFormat sf = src.PixelFormat();
  if (sf == kv24RGB) {
    std::array<TKvRGB, 256> palette{};
    for (int i = 0; i < 256; ++i) palette[size_t(i)] = dst.GetPaletteEntry(i);
    const TKvQuantizer quantizer(src, std::clamp(dst.PaletteUsed, 1, 256), palette);
    for (int i = 0; i < 256; ++i) dst.SetPaletteEntry(i, palette[size_t(i)]);
    TAccessGuard writeOnly(dst, kvAccessWrite);
    for (int y = 0; y < h; ++y)
      quantizer.IndexRow(reinterpret_cast<const TKvRGB*>(src.RowPtr(y)), w, dst.RowPtr(y));
    return;
  }
  if (sf == kv1g) {
    dst.SetPaletteEntry(0, KvRGB(0, 0, 0));
    dst.SetPaletteEntry(1, KvRGB(255, 255, 255));
    TAccessGuard writeOnly(dst, kvAccessWrite);
    for (int y = 0; y < h; ++y) {
      const uint8_t* in = src.RowPtr(y);
      uint8_t* out = dst.RowPtr(y);
      for (int x = 0; x < w; ++x) out[x] = (in[x >> 3] >> (7 - (x & 7))) & 1;
    }
    return;
  }
  if (IsGrayFormat(sf)) {
    for (int i = 0; i < 256; ++i) dst.SetPaletteEntry(i, KvRGB(uint8_t(i), uint8_t(i), uint8_t(i)));
    TAccessGuard writeOnly(dst, kvAccessWrite);
    for (int y = 0; y < h; ++y) {
      const uint8_t* in = src.RowPtr(y);
      uint8_t* out = dst.RowPtr(y);
      for (int x = 0; x < w; ++x) out[x] = GrayPixelAt(sf, in, x).Byte;
    }
    return;
  }
  ConvertVia24(dst, src);
}

void ToBlackWhiteImage(TKvBitmap& dst, const TKvBitmap& src, bool vclWhite) {
  const TKvPixFormat sf = src.PixelFormat();
  if (dst.DitherMode == 0) {
    TAccessGuard writeOnly(dst, kvAccessWrite);
    DitherImage(src, dst, vclWhite);
    return;
  }
  // Threshold mode. kvRGB48 goes through kv24RGB as the rules say; the result is the same as
  // thresholding its colours directly.
  if (sf == kvRGB48) {
    ConvertVia24(dst, src);
    return;
  }
  TAccessGuard writeOnly(dst, kvAccessWrite);
  BlackWhiteInto(src, dst, kvThresholdMean, nullptr, nullptr);
}

void ConvertInto(TKvBitmap& dst, const TKvBitmap& src, bool vclWhite) {
  const TKvPixFormat sf = src.PixelFormat(), df = dst.PixelFormat();
  const int w = src.Width(), h = src.Height();
  TAccessGuard readOnly(src, kvAccessRead);
  if (sf == df) {
    TAccessGuard writeOnly(dst, kvAccessWrite);
    CopyRows(src, dst);
    if (sf == kv8p) src.CopyPaletteTo(dst);
    return;
  }
  if (df == kv1g) {
    ToBlackWhiteImage(dst, src, vclWhite);
    return;
  }
  if (df == kv8p) {
    ToPaletteImage(dst, src);
    return;
  }
  TAccessGuard writeOnly(dst, kvAccessWrite);
  const bool grayTarget =
      df == kv8g || df == kv16g || df == kv24RGB || df == kv32f || df == kvRGB48 || df == kv32RGB;
  if (IsGrayFormat(sf) && grayTarget) {
    for (int y = 0; y < h; ++y) GrayRowToFormat(sf, src.RowPtr(y), w, df, dst.RowPtr(y));
    return;
  }
  if (sf == kvRGB48 && (df == kv16g || df == kv32f)) {
    for (int y = 0; y < h; ++y) Rgb48RowToGray(src.RowPtr(y), w, df, dst.RowPtr(y));
    return;
  }
  TRgbRows rows(src);
  if (df == kv8g) {
    TGrayRow gray(w);
    for (int y = 0; y < h; ++y) gray.Convert(rows.Row(y), w, dst.RowPtr(y));
    return;
  }
  for (int y = 0; y < h; ++y) EncodeRgbRow(rows.Row(y), w, df, dst.RowPtr(y));
}

bool CanConvert(const TKvBitmap& dst, const TKvBitmap& src) {
  if (&dst == &src) return false;
  const TKvPixFormat sf = src.PixelFormat(), df = dst.PixelFormat();
  if (sf == kvNoFormat || sf >= kKvPixFormatCount || df == kvNoFormat || df >= kKvPixFormatCount)
    return false;
  if (src.IsEmpty() || dst.IsEmpty()) return false;
  return src.Width() == dst.Width() && src.Height() == dst.Height();
}

// ---------------------------------------------------------------------------------------------
// Platform-bitmap storage

TVclPixelFormat VclFormatOf(TKvPixFormat f) {
  switch (f) {
    case kv1g:
      return pf1bit;
    case kv8g:
    case kv8p:
      return pf8bit;
    case kv24RGB:
      return pf24bit;
    case kv32RGB:
      return pf32bit;
    default:
      return pfDevice;  // no platform format holds it
  }
}

// Puts the pixels and palette of the in-memory `image` into the platform bitmap of `bmp`.
void StoreInVcl(TKvBitmap& bmp, TVclBitmap& vcl, const TKvBitmap& image) {
  const int w = image.Width(), h = image.Height();
  TVclBitmap result(w, h, VclFormatOf(image.PixelFormat()));
  if (image.PixelFormat() == kv8p) {
    auto& pal = result.Palette();
    pal.resize(size_t(image.PaletteLength()));
    for (size_t i = 0; i < pal.size(); ++i) {
      const TKvRGB c = image.GetPaletteEntry(int(i));
      pal[i] = {c.Red, c.Green, c.Blue, 0};
    }
  }
  const size_t bytes = size_t(std::min(image.RowLength(), result.RowLength()));
  for (int y = 0; y < h; ++y) std::memcpy(result.ScanLine(y), image.RowPtr(y), bytes);
  // A moved vector keeps its block, so the buffer sees the new first-row address and rebuilds its
  // row cache.
  vcl = std::move(result);
  if (image.PixelFormat() == kv8p)
    image.CopyPaletteTo(bmp);
  else
    bmp.SetPaletteLength(0);
}

// Format change of a buffer stored in a platform bitmap. Returns false when the new format has
// no platform equivalent (the caller then converts in memory).
bool ChangeVclStored(TKvBitmap& bmp, TKvPixFormat format) {
  TVclBitmap* vcl = bmp.VclBitmap();
  if (vcl == nullptr || VclFormatOf(format) == pfDevice) return false;
  const TKvPixFormat from = bmp.PixelFormat();
  if (from == kv1g && format == kv24RGB) {
    // The platform bitmap's own format change: entry 0 and 1 colours into 24-bit pixels.
    vcl->SetPixelFormat(pf24bit);
    bmp.SetPaletteLength(0);
    return true;
  }
  // Every other change is made on an in-memory copy by the rules above (the platform's own
  // conversions would map colours to its fixed palettes), then stored back.
  TKvBitmap image;
  image.SetLocation(kvInMemory);
  image.DitherMode = bmp.DitherMode;
  if (!image.AllocateImage(bmp.Width(), bmp.Height(), format)) return true;  // nothing changes
  ConvertInto(image, bmp, from == kv24RGB && format == kv1g);
  StoreInVcl(bmp, *vcl, image);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Row converter

bool IsRowSourceKind(int k) {
  return k >= rkRGB && k <= rkYCbCr;
}
bool IsRowDestKind(int k) {
  return k >= rkRGB && k <= rkGray;
}
int RowKindBytes(int k) {
  switch (k) {
    case rkCMYK:
    case rkCMYKInk:
      return 4;
    case rkGray:
      return 1;
    case rkRGB48LE:
    case rkRGB48BE:
      return 6;
    default:
      return 3;
  }
}

// ITU-R BT.601 full-range YCbCr (as JFIF uses it) to RGB.
TKvRGB YCbCrToRgb(int y, int cb, int cr) {
  const double r = y + 1.402 * (cr - 128);
  const double g = y - 0.344136 * (cb - 128) - 0.714136 * (cr - 128);
  const double b = y + 1.772 * (cb - 128);
  return KvRGB(ClampByte(r), ClampByte(g), ClampByte(b));
}

TKvRGB DecodeRowPixel(const uint8_t* p, int kind) {
  switch (kind) {
    case rkRGB:
      return KvRGB(p[0], p[1], p[2]);
    case rkBGR:
      return TKvRGB{p[0], p[1], p[2]};
    case rkCMYK:
      return CmykToRgb(TKvCMYK{p[0], p[1], p[2], p[3]});
    case rkCMYKInk:
      return CmykToRgb(TKvCMYK{uint8_t(~p[0]), uint8_t(~p[1]), uint8_t(~p[2]), uint8_t(~p[3])});
    case rkLab: {
      TKvLab l;
      std::memcpy(&l, p, 3);
      return LabToRgb(l);
    }
    case rkGray:
      return TKvRGB{p[0], p[0], p[0]};
    case rkRGB48LE:
      return KvRGB(p[1], p[3], p[5]);
    case rkRGB48BE:
      return KvRGB(p[0], p[2], p[4]);
    default:
      return YCbCrToRgb(p[0], p[1], p[2]);
  }
}

void EncodeRowPixel(TKvRGB c, int kind, uint8_t* p) {
  switch (kind) {
    case rkRGB:
      p[0] = c.Red;
      p[1] = c.Green;
      p[2] = c.Blue;
      break;
    case rkBGR:
      std::memcpy(p, &c, 3);
      break;
    case rkCMYK:
    case rkCMYKInk: {
      const TKvCMYK k = RgbToCmyk(c);
      const uint8_t inv = kind == rkCMYKInk ? 0xFF : 0x00;
      p[0] = k.C ^ inv;
      p[1] = k.M ^ inv;
      p[2] = k.Y ^ inv;
      p[3] = k.K ^ inv;
      break;
    }
    case rkLab: {
      const TKvLab l = RgbToLab(c);
      std::memcpy(p, &l, 3);
      break;
    }
    default:  // rkGray
      p[0] = uint8_t(KvGray(c));
      break;
  }
}

// sRGB transfer curve and its inverse.
double Linearise(double c) {
  return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}
double GammaEncode(double c) {
  return c <= 0.03928 / 12.92 ? c * 12.92 : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
}

// D65 white point used to normalise X and Z.
constexpr double kWhiteX = 0.95047, kWhiteZ = 1.088883;
constexpr double kLabEpsilon = 0.008856;  // (6/29)^3, where the cube root gives way to a line
constexpr double kLabSlope = 7.787;
constexpr double kLabOffset = 16.0 / 116.0;

// Linear RGB to XYZ, and its inverse computed once from it.
constexpr double kRgbToXyz[3][3] = {
    {0.412453, 0.35758, 0.180423}, {0.212671, 0.71516, 0.072169}, {0.019334, 0.119193, 0.950227}};

struct TMatrix3 {
  double m[3][3];
};
TMatrix3 InvertRgbToXyz() {
  const auto& a = kRgbToXyz;
  const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                     a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                     a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  TMatrix3 r{};
  r.m[0][0] = (a[1][1] * a[2][2] - a[1][2] * a[2][1]) / det;
  r.m[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
  r.m[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
  r.m[1][0] = (a[1][2] * a[2][0] - a[1][0] * a[2][2]) / det;
  r.m[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
  r.m[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
  r.m[2][0] = (a[1][0] * a[2][1] - a[1][1] * a[2][0]) / det;
  r.m[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
  r.m[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
  return r;
}
const TMatrix3& XyzToRgb() {
  static const TMatrix3 inverse = InvertRgbToXyz();
  return inverse;
}

double LabF(double t) {
  return t > kLabEpsilon ? std::cbrt(t) : kLabSlope * t + kLabOffset;
}
double LabFInverse(double f) {
  const double cube = f * f * f;
  return cube > kLabEpsilon ? cube : (f - kLabOffset) / kLabSlope;
}

int8_t SignedByte(double v) {
  return int8_t(std::clamp(std::trunc(v), -128.0, 127.0));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Colour formulas

TKvCMYK RgbToCmyk(TKvRGB rgb) {
  // The stored (inverted) values: C' = red scaled by the brightest channel, K' = that channel.
  // Black gives K' = 0, i.e. full black ink; the divisor is guarded against it.
  const int m = std::max({rgb.Red, rgb.Green, rgb.Blue});
  const int d = m == 0 ? 1 : m;
  return TKvCMYK{uint8_t(rgb.Red * 255 / d), uint8_t(rgb.Green * 255 / d),
                 uint8_t(rgb.Blue * 255 / d), uint8_t(m)};
}

TKvRGB CmykToRgb(TKvCMYK cmyk) {
  return KvRGB(uint8_t(cmyk.C * cmyk.K / 255), uint8_t(cmyk.M * cmyk.K / 255),
               uint8_t(cmyk.Y * cmyk.K / 255));
}

TKvLab RgbToLab(TKvRGB rgb) {
  const double r = Linearise(rgb.Red / 255.0), g = Linearise(rgb.Green / 255.0),
               b = Linearise(rgb.Blue / 255.0);
  const auto& m = kRgbToXyz;
  const double x = (m[0][0] * r + m[0][1] * g + m[0][2] * b) / kWhiteX;
  const double y = m[1][0] * r + m[1][1] * g + m[1][2] * b;
  const double z = (m[2][0] * r + m[2][1] * g + m[2][2] * b) / kWhiteZ;
  const double fx = LabF(x), fy = LabF(y), fz = LabF(z);
  const double l = y > kLabEpsilon ? 116 * fy - 16 : 903.3 * y;
  TKvLab lab;
  lab.L = uint8_t(std::clamp(std::trunc(l * 255 / 100), 0.0, 255.0));
  lab.A = SignedByte(500 * (fx - fy));
  lab.B = SignedByte(200 * (fy - fz));
  return lab;
}

TKvRGB LabToRgb(TKvLab lab) {
  const double l = lab.L * 100.0 / 255.0;
  const double fy = (l + 16) / 116;
  const double fx = fy + lab.A / 500.0;
  const double fz = fy - lab.B / 200.0;
  const double x = LabFInverse(fx) * kWhiteX, y = LabFInverse(fy), z = LabFInverse(fz) * kWhiteZ;
  const auto& m = XyzToRgb().m;
  double c[3];
  for (int i = 0; i < 3; ++i)
    c[i] = 255 * GammaEncode(std::max(0.0, m[i][0] * x + m[i][1] * y + m[i][2] * z));
  return KvRGB(ClampByte(c[0]), ClampByte(c[1]), ClampByte(c[2]));
}

// ---------------------------------------------------------------------------------------------
// Whole-image conversions

void ConvertFrom(TKvBitmap& dest, const TKvBitmap& source) {
  if (!CanConvert(dest, source) || dest.Location() == kvTBitmap) return;
  ConvertInto(dest, source, false);
}

bool ToBlackWhite(const TKvBitmap& source, TKvBitmap& dest, int threshold,
                  const TKvProgressEvent& onProgress, void* sender) {
  if (source.IsEmpty() || source.PixelFormat() == kvNoFormat) return false;
  if (&source == &dest) {
    TKvBitmap copy;
    copy.CopyFrom(source);
    return ToBlackWhite(copy, dest, threshold, onProgress, sender);
  }
  if (!dest.AllocateImage(source.Width(), source.Height(), kv1g)) return false;
  TAccessGuard readOnly(source, kvAccessRead);
  TAccessGuard writeOnly(dest, kvAccessWrite);
  BlackWhiteInto(source, dest, threshold, onProgress, sender);
  return true;
}

void TKvBitmap::ChangePixelFormat(TKvPixFormat format) {
  if (format == PixelFormat() || format == kvNoFormat || format >= kKvPixFormatCount) return;
  if (IsEmpty()) return;
  if (Location() == kvTBitmap) {
    if (ChangeVclStored(*this, format)) return;
    // No platform bitmap holds the new format: the buffer moves to memory and converts there.
    SetLocation(kvInMemory);
    if (Location() == kvTBitmap) return;
  }
  const int w = Width(), h = Height();
  TKvBitmap old;
  MoveContentTo(old);
  DitherMode = old.DitherMode;
  AllocatorKind = old.AllocatorKind;
  rowAlignmentBits_ = old.rowAlignmentBits_;
  mustReallocate_ = true;
  if (!AllocateImage(w, h, format)) {
    // Keep the image as it was rather than lose it.
    old.MoveContentTo(*this);
    return;
  }
  ConvertFrom(*this, old);
  AttachAlphaPlane(old.DetachAlphaPlane());
  AlphaIsOpaque = old.AlphaIsOpaque;
}

// ---------------------------------------------------------------------------------------------
// Row converter

bool ConvertRow(const uint8_t* source, int sourceKind, uint8_t* dest, const TKvIOParams* params,
                int count, int destKind) {
  (void)params;  // colour management for codecs is off in this system
  if (!IsRowSourceKind(sourceKind) || !IsRowDestKind(destKind) || count < 0) return false;
  if (count == 0) return true;
  if (source == nullptr || dest == nullptr) return false;
  const int inBytes = RowKindBytes(sourceKind), outBytes = RowKindBytes(destKind);
  if (sourceKind == rkBGR && destKind == rkBGR) {
    std::memmove(dest, source, size_t(count) * 3);
    return true;
  }
  if ((sourceKind == rkRGB && destKind == rkBGR) || (sourceKind == rkBGR && destKind == rkRGB)) {
    for (int i = 0; i < count; ++i) {
      const uint8_t* p = source + 3 * i;
      uint8_t* q = dest + 3 * i;
      const uint8_t a = p[0], b = p[1], c = p[2];  // the rows may be the same
      q[0] = c;
      q[1] = b;
      q[2] = a;
    }
    return true;
  }
  if (sourceKind == rkBGR && destKind == rkGray) {
    EncodeRgbRow(reinterpret_cast<const TKvRGB*>(source), count, kv8g, dest);
    return true;
  }
  for (int i = 0; i < count; ++i)
    EncodeRowPixel(DecodeRowPixel(source + size_t(i) * inBytes, sourceKind), destKind,
                   dest + size_t(i) * outBytes);
  return true;
}
