// Shared pixel records, pixel formats and the gray rule of the raster model.
#pragma once

#include <cstdint>

enum TKvPixFormat : uint8_t {
  kvNoFormat = 0,
  kv1g = 1,      // 8 pixels a byte, MSB first, a set bit is white
  kv8p = 2,      // palette index
  kv8g = 3,      // gray, 0 black .. 255 white
  kv16g = 4,     // gray, little-endian 16-bit word
  kv24RGB = 5,   // TKvRGB: blue, green, red
  kv32f = 6,     // gray as float, 0.0 black .. 1.0 white
  kvCMYK = 7,    // TKvCMYK: C, M, Y, K each stored inverted (255 - ink)
  kvRGB48 = 8,   // TKvRGB48: red, green, blue 16-bit words
  kvCIELab = 9,  // TKvLab
  kv32RGB = 10,  // blue, green, red, alpha
};
constexpr int kKvPixFormatCount = 11;

// Bits per pixel and channel count, indexed by TKvPixFormat.
constexpr int kKvBitsPerPixel[kKvPixFormatCount] = {0, 1, 8, 8, 16, 24, 32, 32, 48, 24, 32};
constexpr int kKvChannelCount[kKvPixFormatCount] = {0, 1, 1, 1, 1, 3, 1, 4, 3, 3, 4};

inline int KvBitsOf(TKvPixFormat f) {
  return f < kKvPixFormatCount ? kKvBitsPerPixel[f] : 0;
}
inline int KvChannelsOf(TKvPixFormat f) {
  return f < kKvPixFormatCount ? kKvChannelCount[f] : 0;
}
// Short name of a format ("kv24RGB"), for messages.
const char* KvPixFormatName(TKvPixFormat f);

enum TKvStorageKind : uint8_t {
  kvInMemory = 0,  // process memory: one block, or a set of fragments
  kvTempFile = 1,  // a temporary file, rows paged in and out one by one
  kvTBitmap = 2,   // a platform bitmap (TVclBitmap) owned or wrapped by the buffer
};

#pragma pack(push, 1)
struct TKvRGB {
  uint8_t Blue = 0, Green = 0, Red = 0;
  friend bool operator==(const TKvRGB&, const TKvRGB&) = default;
};
struct TKvRGB48 {
  uint16_t Red = 0, Green = 0, Blue = 0;
  friend bool operator==(const TKvRGB48&, const TKvRGB48&) = default;
};
struct TKvCMYK {  // each byte = 255 - ink amount
  uint8_t C = 0, M = 0, Y = 0, K = 0;
  friend bool operator==(const TKvCMYK&, const TKvCMYK&) = default;
};
struct TKvLab {
  uint8_t L = 0;  // L* scaled to 0..255
  int8_t A = 0;
  int8_t B = 0;
  friend bool operator==(const TKvLab&, const TKvLab&) = default;
};
#pragma pack(pop)
static_assert(sizeof(TKvRGB) == 3 && sizeof(TKvRGB48) == 6 && sizeof(TKvCMYK) == 4 &&
              sizeof(TKvLab) == 3);

inline TKvRGB KvRGB(uint8_t red, uint8_t green, uint8_t blue) {
  return TKvRGB{blue, green, red};
}

// A platform colour value: 0x00BBGGRR.
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
inline TKvRGB ColorToRGB(TColor c) {
  return TKvRGB{uint8_t((c >> 16) & 0xFF), uint8_t((c >> 8) & 0xFF), uint8_t(c & 0xFF)};
}
inline TColor RGBToColor(TKvRGB p) {
  return TColor(p.Red) | (TColor(p.Green) << 8) | (TColor(p.Blue) << 16);
}

// Process-wide gray weights (red, green, blue, divisor); 21, 71, 8, 100 unless changed at start-up.
struct TKvGrayWeights {
  int Red = 21, Green = 71, Blue = 8, Divisor = 100;
};
inline TKvGrayWeights gKvGrayWeights{};

// The gray rule used throughout: (red * 21 + green * 71 + blue * 8) div 100.
inline int KvGray(int red, int green, int blue) {
  const TKvGrayWeights& w = gKvGrayWeights;
  return (red * w.Red + green * w.Green + blue * w.Blue) / w.Divisor;
}
inline int KvGray(TKvRGB p) {
  return KvGray(p.Red, p.Green, p.Blue);
}
