// Small helpers of the codec tests: run a reader or writer on bytes in memory with a fresh
// progress record, and build images pixel by pixel.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "io/kvcodec.h"

namespace kvtest {

// Runs `read` over `bytes`; returns whether it set Aborting.
inline bool ReadBytes(TKvReadFunction read, const std::vector<uint8_t>& bytes, TKvBitmap& image,
                      TKvIOParams& params, bool previewOnly = false) {
  TKvMemoryStream stream(bytes.data(), bytes.size());
  bool aborting = false;
  TKvProgressRec progress;
  progress.Aborting = &aborting;
  read(stream, image, params, previewOnly, progress);
  return aborting;
}

inline std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

// Runs `write`; returns the bytes written and sets `aborting`.
inline std::vector<uint8_t> WriteBytes(TKvWriteFunction write, TKvBitmap& image,
                                       TKvIOParams& params, bool* aborting = nullptr,
                                       int64_t writeLimit = -1) {
  TKvMemoryStream stream;
  stream.WriteLimit = writeLimit;
  bool flag = false;
  TKvProgressRec progress;
  progress.Aborting = &flag;
  write(stream, image, params, progress);
  if (aborting != nullptr) *aborting = flag;
  return stream.TakeBytes();
}

// Every pixel of two images of any format equal (colour via GetPixelRGB, and the raw row bytes
// of the significant part for formats of 8 bits or more a pixel).
inline bool SamePixels(TKvBitmap& a, TKvBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat())
    return false;
  for (int y = 0; y < a.Height(); ++y) {
    if (a.PixelFormat() == kv1g) {
      for (int x = 0; x < a.Width(); ++x)
        if (a.GetBit(x, y) != b.GetBit(x, y)) return false;
    } else {
      const size_t n = size_t(a.Width()) * size_t(a.BitCount() / 8);
      if (std::memcmp(a.RowPtr(y), b.RowPtr(y), n) != 0) return false;
    }
  }
  return true;
}

inline uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
         (uint32_t(b[at + 3]) << 24);
}
inline uint16_t Le16At(const std::vector<uint8_t>& b, size_t at) {
  return uint16_t(b[at] | (b[at + 1] << 8));
}

// A deterministic pseudo-random byte sequence (for pixel patterns).
inline uint8_t PatternByte(int x, int y, int salt = 0) {
  uint32_t v = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(salt) * 83492791u;
  v ^= v >> 13;
  v *= 0x5bd1e995u;
  v ^= v >> 15;
  return uint8_t(v);
}

}  // namespace kvtest
