// The Windows bitmap codec.
//
// Layout of a file: a 14-byte file header ("BM", file size, data offset), an info header (the
// 12-byte core header with 16-bit sizes, or a header of 40 or more bytes with 32-bit sizes, a
// compression code and the resolution in pixels per metre), bit-field masks, a palette (3-byte
// entries after a core header, 4-byte ones otherwise) and the rows, bottom row first unless
// the height is negative, each padded to 4 bytes. All numbers are little-endian.
//
// Reading: 1 bit -> kv1g; 4 and 8 bits -> kv8p when the caller asks for the file's own pixel
// format, else kv24RGB through the palette; 16, 24 and 32 bits -> kv24RGB. Bit-field channels
// narrower than 8 bits are widened by a shift (5-bit red 31 reads as 248). RLE8/RLE4 data are
// decoded with their end-of-line, end-of-bitmap and delta escapes; pixels a delta skips keep
// palette entry 0.
//
// The reader believes no size it cannot check: uncompressed rows must all be present, a palette
// must fit in the file, and run-length data must be able to describe the declared size; what
// fails these tests, or uses a bit count or compression this reader does not know, sets
// Aborting before anything is allocated.
//
// Writing: 1, 4, 8, 24 or 32 bits (32 when the image has an alpha plane), 4 and 8 bits through
// the colour quantizer, optionally RLE-encoded; both headers are written as placeholders first
// and rewritten with the final sizes at the end.
#include "io/codecs/kvbmp.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "image/kvconvert.h"
#include "image/kvquantize.h"

namespace {

constexpr uint16_t kBmpType = 0x4D42;  // "BM"
constexpr int kFileHeaderSize = 14;
constexpr int kCoreHeaderSize = 12;
constexpr int kInfoHeaderSize = 40;
constexpr int kLongHeaderSize = 64;     // longest header part the reader looks at
constexpr int kMinInfoHeaderSize = 16;  // up to width and height
// Headers of this length or more hold the three colour masks themselves (at offset 40), those
// of 56 or more also the alpha mask (at 52).
constexpr int kHeaderWithMasks = 52;
constexpr int kHeaderWithAlphaMask = 56;
// Compression codes.
constexpr uint32_t kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3, kBiAlphaBitfields = 6;
// Densest coverage run-length data can reach, in pixels per byte of data: deltas skip at most
// 255 rows and 255 columns per 4 bytes (about 16,000 pixels a byte); a declared size beyond
// twice that is not believed.
constexpr int64_t kRlePixelsPerByte = 128 * 255;
// Largest run or literal of the run-length encodings.
constexpr int kMaxRun = 255;
// 1 metre = 100 / 2.54 inches.
constexpr double kCmPerInch = 2.54;

inline uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void PutLe16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

int64_t FileRowLength(int64_t width, int bitCount) {
  return ((width * bitCount + 31) / 32) * 4;
}

// Round to nearest, halves to even, limited to the int32 range.
int32_t RoundToInt32(double v) {
  const double r = std::nearbyint(v);
  if (!(r > double(std::numeric_limits<int32_t>::min())))
    return std::numeric_limits<int32_t>::min();
  if (r > double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return int32_t(r);
}

// A bit-field channel: where its contiguous one-bits start and how many there are.
struct TChannel {
  uint32_t Mask = 0;
  int Shift = 0;
  int Bits = 0;
  explicit TChannel(uint32_t mask = 0) : Mask(mask) {
    if (mask == 0) return;
    while (((mask >> Shift) & 1) == 0) ++Shift;
    while (Shift + Bits < 32 && ((mask >> (Shift + Bits)) & 1) != 0) ++Bits;
  }
  // The channel as 8 bits: narrower channels are widened by a shift, wider ones keep their
  // top 8 bits.
  uint8_t Extract(uint32_t p) const {
    if (Bits == 0) return 0;
    const uint32_t run = Bits >= 32 ? 0xFFFFFFFFu : ((uint32_t(1) << Bits) - 1);
    const uint32_t v = (p >> Shift) & run;
    return Bits >= 8 ? uint8_t(v >> (Bits - 8)) : uint8_t(v << (8 - Bits));
  }
};

class TBmpReader {
 public:
  TBmpReader(TKvStream& stream, TKvBitmap& bitmap, TKvProgressRec& progress, TKvIOParams& params)
      : s_(stream), bmp_(bitmap), progress_(progress), params_(params) {}

  void Run(int64_t totalSize, bool ignoreAlpha, std::unique_ptr<TKvMask>* alphaOut,
           bool noFileHeader, bool previewOnly) {
    total_ = totalSize;
    if (!ReadHeaders(noFileHeader)) return Fail();
    if (!CheckKnownLayout()) return Fail();
    if (previewOnly) return;
    if (!CheckDataSize()) return Fail();
    if (!AllocateTarget()) return Fail();
    if (compression_ == kBiRle8 || compression_ == kBiRle4) {
      DecodeRunLength();
    } else {
      keepAlpha_ = !ignoreAlpha && bitCount_ == 32;
      DecodeRows();
      if (keepAlpha_ && alphaOut != nullptr && !progress_.IsAborting() && alphaUseful())
        *alphaOut = std::move(alpha_);
    }
  }

 private:
  void Fail() { progress_.Abort(); }
  bool alphaUseful() const { return alpha_ != nullptr && !alphaAllZero_ && !alphaAllOpaque_; }

  bool ReadHeaders(bool noFileHeader) {
    start_ = s_.Position();
    uint32_t fileSize = 0, dataOffset = 0;
    uint16_t type = kBmpType;
    if (noFileHeader) {
      fileSize = uint32_t(std::min<int64_t>(s_.Size() - start_, 0xFFFFFFFFll));
    } else {
      uint8_t fh[kFileHeaderSize];
      if (!s_.ReadExact(fh, sizeof fh)) return false;
      type = Le16(fh);
      fileSize = Le32(fh + 2);
      dataOffset = Le32(fh + 10);
    }
    if (total_ < 1 && fileSize != 0) total_ = fileSize;
    if (type != kBmpType) return false;

    uint32_t headerSize;
    if (!s_.ReadU32LE(headerSize) || !s_.Skip(-4)) return false;
    params_.FreeColorMap();
    if (headerSize == kCoreHeaderSize) {
      if (!ReadCoreHeader()) return false;
    } else if (!ReadInfoHeader(headerSize)) {
      return false;
    }
    params_.Bmp.Rle = (compression_ == kBiRle8 || compression_ == kBiRle4) ? 1 : 0;

    // A data offset that points back into the headers or the palette cannot be right: the
    // pixels then follow the palette.
    if (dataOffset != 0 && start_ + int64_t(dataOffset) >= s_.Position() &&
        !s_.Seek(start_ + int64_t(dataOffset)))
      return false;
    const int64_t remaining = s_.Remaining();
    dataBytes_ = total_ > 0 ? total_ - (s_.Position() - start_) : int64_t(imageSize_);
    if (dataBytes_ <= 0 || dataBytes_ > remaining) dataBytes_ = remaining;

    params_.Width = params_.StoredWidth = width_;
    params_.Height = params_.StoredHeight = height_;
    // A bitmap without pixels is a failed read, not an empty success.
    return width_ > 0 && height_ > 0;
  }

  bool ReadCoreHeader() {
    uint8_t h[kCoreHeaderSize];
    if (!s_.ReadExact(h, sizeof h)) return false;
    params_.Bmp.HeaderKind = 2;
    width_ = Le16(h + 4);
    height_ = Le16(h + 6);
    bitCount_ = Le16(h + 10);
    compression_ = kBiRgb;
    topDown_ = false;
    params_.SetDpiX(kKvDefaultDpi);
    params_.SetDpiY(kKvDefaultDpi);
    if (bitCount_ <= 8) return ReadPalette(1 << bitCount_, 3);
    return true;
  }

  bool ReadInfoHeader(uint32_t headerSize) {
    if (headerSize < kMinInfoHeaderSize || int64_t(headerSize) > s_.Remaining()) return false;
    uint8_t h[kLongHeaderSize] = {};
    const uint32_t take = std::min<uint32_t>(headerSize, kLongHeaderSize);
    if (!s_.ReadExact(h, take)) return false;
    if (headerSize > kLongHeaderSize && !s_.Skip(int64_t(headerSize) - kLongHeaderSize))
      return false;
    params_.Bmp.HeaderKind = headerSize == kLongHeaderSize   ? 3
                             : headerSize == kInfoHeaderSize ? 1
                                                             : 0;
    width_ = int32_t(Le32(h + 4));
    int32_t height = int32_t(Le32(h + 8));
    if (height == std::numeric_limits<int32_t>::min()) return false;
    topDown_ = height < 0;
    height_ = topDown_ ? -height : height;
    bitCount_ = Le16(h + 14);
    compression_ = Le32(h + 16);
    imageSize_ = Le32(h + 20);
    const int32_t dpiX = RoundToInt32(int32_t(Le32(h + 24)) / 100.0 * kCmPerInch);
    const int32_t dpiY = RoundToInt32(int32_t(Le32(h + 28)) / 100.0 * kCmPerInch);
    params_.SetDpiX(dpiX == 0 ? kKvDefaultDpi : dpiX);
    params_.SetDpiY(dpiY == 0 ? kKvDefaultDpi : dpiY);
    uint32_t colorsUsed = Le32(h + 32);
    // A palette longer than the rest of the file is a damaged header.
    if (int64_t(colorsUsed) * 4 > s_.Remaining()) return false;
    if (colorsUsed > 256) colorsUsed = 0;
    if (colorsUsed == 0 && bitCount_ <= 8) colorsUsed = 1u << bitCount_;

    if (compression_ == kBiBitfields || compression_ == kBiAlphaBitfields) {
      hasMasks_ = true;
      if (headerSize >= kHeaderWithMasks) {
        // The masks are part of the header itself.
        masks_[0] = Le32(h + 40);
        masks_[1] = Le32(h + 44);
        masks_[2] = Le32(h + 48);
        if (headerSize >= kHeaderWithAlphaMask) masks_[3] = Le32(h + 52);
      } else {
        // They follow a short header.
        const int count = compression_ == kBiAlphaBitfields ? 4 : 3;
        for (int i = 0; i < count; ++i)
          if (!s_.ReadU32LE(masks_[i])) return false;
      }
    }
    return colorsUsed == 0 || ReadPalette(int(colorsUsed), 4);
  }

  // Reads `count` entries of `entrySize` bytes (blue, green, red first) into ColorMap. A
  // palette the file cannot hold fails the read.
  bool ReadPalette(int count, int entrySize) {
    const int64_t bytes = int64_t(count) * entrySize;
    if (bytes > s_.Remaining()) return false;
    std::vector<uint8_t> raw(static_cast<size_t>(bytes));
    if (!s_.ReadExact(raw.data(), raw.size())) return false;
    std::vector<TKvRGB> map(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      const uint8_t* e = raw.data() + size_t(i) * size_t(entrySize);
      map[size_t(i)] = TKvRGB{e[0], e[1], e[2]};
    }
    params_.SetColorMap(std::move(map));
    return true;
  }

  // Sets BitsPerSample / SamplesPerPixel; false for a bit count or compression this reader
  // does not decode.
  bool CheckKnownLayout() {
    struct TLayout {
      int Bits, Bps, Spp;
    };
    static constexpr TLayout kLayouts[] = {{1, 1, 1},  {4, 4, 1},  {8, 8, 1},
                                           {16, 5, 3}, {24, 8, 3}, {32, 8, 4}};
    bool known = false;
    for (const TLayout& l : kLayouts) {
      if (l.Bits == bitCount_) {
        params_.BitsPerSample = l.Bps;
        params_.SamplesPerPixel = l.Spp;
        known = true;
      }
    }
    if (!known) return false;
    switch (compression_) {
      case kBiRgb:
        return true;
      case kBiRle8:
        return bitCount_ == 8;
      case kBiRle4:
        return bitCount_ == 4;
      case kBiBitfields:
      case kBiAlphaBitfields:
        return bitCount_ == 16 || bitCount_ == 32;
      default:
        return false;
    }
  }

  bool CheckDataSize() {
    const int64_t pixels = int64_t(width_) * height_;
    if (compression_ == kBiRle8 || compression_ == kBiRle4)
      return pixels <= std::max<int64_t>(dataBytes_, 1) * kRlePixelsPerByte;
    // Every row padded, except that the padding of the last row may be missing; compared
    // without forming the product, which could overflow.
    const int64_t rowBytes = FileRowLength(width_, bitCount_);
    const int64_t lastRow = (int64_t(width_) * bitCount_ + 7) / 8;
    const int64_t rest = s_.Remaining() - lastRow;
    return rest >= 0 && (height_ - 1) <= rest / rowBytes;
  }

  bool AllocateTarget() {
    native_ = bitCount_ <= 8 && bitCount_ > 1 && params_.IsNativePixelFormat;
    const TKvPixFormat format = bitCount_ == 1 ? kv1g : (native_ ? kv8p : kv24RGB);
    if (!bmp_.AllocateImage(width_, height_, format)) return false;
    if (native_) {
      for (int i = 0; i < bmp_.PaletteLength(); ++i)
        bmp_.SetPaletteEntry(i, i < params_.ColorMapCount ? params_.ColorMap[size_t(i)] : TKvRGB{});
      bmp_.PaletteUsed = bitCount_ == 4 ? 16 : 256;
    }
    progress_.Begin(height_);
    return true;
  }

  TKvRGB PaletteColor(int index) const {
    return index < params_.ColorMapCount ? params_.ColorMap[size_t(index)] : TKvRGB{};
  }

  // Stores palette index `index` at pixel x of an 8-bit-per-index or kv24RGB row.
  void PutIndex(uint8_t* row, int64_t x, int index) const {
    if (native_) {
      row[x] = uint8_t(index);
    } else {
      const TKvRGB c = PaletteColor(index);
      std::memcpy(row + 3 * x, &c, 3);
    }
  }

  int ImageRow(int64_t fileRow) const {
    return topDown_ ? int(fileRow) : int(height_ - 1 - fileRow);
  }

  void DecodeRows() {
    const size_t rowBytes = static_cast<size_t>(FileRowLength(width_, bitCount_));
    std::vector<uint8_t> line(rowBytes);
    const bool invertBits = bitCount_ == 1 && params_.ColorMapCount == 2 &&
                            params_.ColorMap[0] == KvRGB(255, 255, 255) &&
                            params_.ColorMap[1] == KvRGB(0, 0, 0);
    TChannel red(0x7C00), green(0x03E0), blue(0x001F), alphaCh;
    bool plain32 = true;
    if (hasMasks_) {
      red = TChannel(masks_[0]);
      green = TChannel(masks_[1]);
      blue = TChannel(masks_[2]);
      alphaCh = TChannel(masks_[3]);
      plain32 = masks_[0] == 0x00FF0000 && masks_[1] == 0x0000FF00 && masks_[2] == 0x000000FF &&
                (masks_[3] == 0 || masks_[3] == 0xFF000000);
    }
    if (keepAlpha_) {
      alpha_ = std::make_unique<TKvMask>(width_, height_, 8);
      alpha_->Fill(255);
    }
    for (int64_t i = 0; i < height_; ++i) {
      progress_.ReportChanged();
      if (progress_.IsAborting()) return;
      ++progress_.Val;
      const size_t got = s_.Read(line.data(), rowBytes);
      if (got < rowBytes) {
        // Only the last row's padding may be missing.
        if (i + 1 < height_ || int64_t(got) < (int64_t(width_) * bitCount_ + 7) / 8) return Fail();
        std::fill(line.begin() + std::ptrdiff_t(got), line.end(), 0);
      }
      const int y = ImageRow(i);
      uint8_t* row = bmp_.RowPtr(y);
      const uint8_t* src = line.data();
      switch (bitCount_) {
        case 1:
          std::memcpy(row, src, static_cast<size_t>((width_ + 7) / 8));
          if (invertBits)
            for (int b = 0; b < (width_ + 7) / 8; ++b) row[b] = uint8_t(~row[b]);
          break;
        case 4:
          for (int64_t x = 0; x < width_; ++x) {
            const uint8_t v = src[x >> 1];
            PutIndex(row, x, (x & 1) ? (v & 0x0F) : (v >> 4));
          }
          break;
        case 8:
          for (int64_t x = 0; x < width_; ++x) PutIndex(row, x, src[x]);
          break;
        case 16:
          for (int64_t x = 0; x < width_; ++x) {
            const uint32_t p = Le16(src + 2 * x);
            uint8_t* d = row + 3 * x;
            d[0] = blue.Extract(p);
            d[1] = green.Extract(p);
            d[2] = red.Extract(p);
          }
          break;
        case 24:
          std::memcpy(row, src, static_cast<size_t>(width_) * 3);
          break;
        case 32:
          Decode32(row, src, y, plain32, red, green, blue, alphaCh);
          break;
      }
    }
  }

  void Decode32(uint8_t* row, const uint8_t* src, int y, bool plain, const TChannel& red,
                const TChannel& green, const TChannel& blue, const TChannel& alphaCh) {
    uint8_t* a = keepAlpha_ ? alpha_->Row(y) : nullptr;
    for (int64_t x = 0; x < width_; ++x) {
      const uint8_t* p = src + 4 * x;
      uint8_t* d = row + 3 * x;
      uint8_t av;
      if (plain) {
        d[0] = p[0];
        d[1] = p[1];
        d[2] = p[2];
        av = p[3];
      } else {
        const uint32_t v = Le32(p);
        d[0] = blue.Extract(v);
        d[1] = green.Extract(v);
        d[2] = red.Extract(v);
        av = alphaCh.Bits > 0 ? alphaCh.Extract(v) : 255;
      }
      if (a != nullptr) {
        a[x] = av;
        if (av != 0) alphaAllZero_ = false;
        if (av != 255) alphaAllOpaque_ = false;
      }
    }
  }

  // --- Run-length data ---

  void DecodeRunLength() {
    std::vector<uint8_t> data(static_cast<size_t>(dataBytes_));
    if (!s_.ReadExact(data.data(), data.size())) return Fail();
    const bool rle4 = compression_ == kBiRle4;
    // Pixels the data never reach keep palette entry 0.
    for (int y = 0; y < height_; ++y) {
      uint8_t* row = bmp_.RowPtr(y);
      for (int64_t x = 0; x < width_; ++x) PutIndex(row, x, 0);
    }
    int64_t x = 0, fy = 0;
    int cachedRow = -1;
    uint8_t* row = nullptr;
    auto put = [&](int index) {
      if (x < width_ && fy < height_) {
        if (cachedRow != fy) {
          row = bmp_.RowPtr(ImageRow(fy));
          cachedRow = int(fy);
        }
        PutIndex(row, x, index);
      }
      ++x;
    };
    const size_t n = data.size();
    size_t i = 0;
    bool complete = false;
    progress_.ReportChanged();
    while (i + 1 < n && !complete) {
      const uint8_t a = data[i], b = data[i + 1];
      i += 2;
      if (a > 0) {  // a pixels of b (RLE4: its two nibbles in turn)
        for (int k = 0; k < a; ++k) put(rle4 ? ((k & 1) ? (b & 0x0F) : (b >> 4)) : b);
      } else if (b == 0) {  // end of line
        x = 0;
        if (++fy >= height_) complete = true;
        progress_.Val = int32_t(fy);
        progress_.ReportChanged();
        if (progress_.IsAborting()) return;
      } else if (b == 1) {  // end of bitmap
        complete = true;
      } else if (b == 2) {  // delta
        if (i + 1 >= n) break;
        x += data[i];
        fy += data[i + 1];
        i += 2;
        if (fy >= height_) complete = true;
      } else {  // b literal indexes
        const size_t bytes = rle4 ? (size_t(b) + 1) / 2 : size_t(b);
        if (i + bytes > n) break;
        for (int k = 0; k < b; ++k) {
          const uint8_t v = data[i + size_t(rle4 ? k / 2 : k)];
          put(rle4 ? ((k & 1) ? (v & 0x0F) : (v >> 4)) : v);
        }
        i += bytes + (bytes & 1);
      }
    }
    // Data that end before the picture does are a damaged file.
    if (!complete && (fy < height_ - 1 || (fy == height_ - 1 && x < width_))) Fail();
  }

  TKvStream& s_;
  TKvBitmap& bmp_;
  TKvProgressRec& progress_;
  TKvIOParams& params_;
  int64_t start_ = 0, total_ = 0, dataBytes_ = 0;
  int32_t width_ = 0, height_ = 0;
  int bitCount_ = 0;
  uint32_t compression_ = 0, imageSize_ = 0;
  uint32_t masks_[4] = {0, 0, 0, 0};
  bool hasMasks_ = false, topDown_ = false, native_ = false, keepAlpha_ = false;
  std::unique_ptr<TKvMask> alpha_;
  bool alphaAllZero_ = true, alphaAllOpaque_ = true;
};

// --- Writer -----------------------------------------------------------------------------------

int Gray(TKvRGB c) {
  return int(std::nearbyint((c.Red * 21 + c.Green * 71 + c.Blue * 8) / 100.0));
}

// A kv24RGB version of any image: the image itself when it is kv24RGB, else `copy`.
const TKvBitmap& AsRgb(const TKvBitmap& image, TKvBitmap& copy) {
  if (image.PixelFormat() == kv24RGB) return image;
  copy.CopyFrom(image);
  copy.DropAlphaPlane(false, 0);
  copy.ChangePixelFormat(kv24RGB);
  return copy;
}

// Appends the run-length encoding of one row of indexes (ends with the end-of-line escape).
void EncodeRow(const std::vector<uint8_t>& idx, bool rle4, std::vector<uint8_t>& out) {
  std::vector<uint8_t> literal;
  auto flushLiteral = [&] {
    size_t pos = 0;
    while (pos < literal.size()) {
      const size_t n = std::min<size_t>(kMaxRun, literal.size() - pos);
      const uint8_t* v = literal.data() + pos;
      if (n == 1) {
        out.insert(out.end(), {1, uint8_t(rle4 ? v[0] << 4 : v[0])});
      } else if (n == 2) {
        if (rle4)
          out.insert(out.end(), {2, uint8_t((v[0] << 4) | v[1])});
        else
          out.insert(out.end(), {1, v[0], 1, v[1]});
      } else {
        out.insert(out.end(), {0, uint8_t(n)});
        size_t bytes;
        if (rle4) {
          bytes = (n + 1) / 2;
          for (size_t k = 0; k < n; k += 2)
            out.push_back(uint8_t((v[k] << 4) | (k + 1 < n ? v[k + 1] : 0)));
        } else {
          bytes = n;
          out.insert(out.end(), v, v + n);
        }
        if (bytes & 1) out.push_back(0);
      }
      pos += n;
    }
    literal.clear();
  };
  size_t i = 0;
  while (i < idx.size()) {
    size_t run = 1;
    while (i + run < idx.size() && run < size_t(kMaxRun) && idx[i + run] == idx[i]) ++run;
    if (run >= 2) {
      flushLiteral();
      out.push_back(uint8_t(run));
      out.push_back(rle4 ? uint8_t((idx[i] << 4) | idx[i]) : idx[i]);
      i += run;
    } else {
      literal.push_back(idx[i]);
      if (literal.size() == size_t(kMaxRun)) flushLiteral();
      ++i;
    }
  }
  flushLiteral();
  out.insert(out.end(), {0, 0});
}

class TBmpWriter {
 public:
  TBmpWriter(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, bool storeAlpha,
             TKvProgressRec& progress)
      : s_(stream), bmp_(bitmap), params_(params), storeAlpha_(storeAlpha), progress_(progress) {}

  void Run() {
    if (bmp_.IsEmpty()) return progress_.Abort();
    const int bps = params_.BitsPerSample;
    bits_ = (bps == 1 || bps == 4)         ? bps
            : params_.SamplesPerPixel == 1 ? 8
            : bmp_.HasAlphaPlane()         ? 32
                                           : 24;
    width_ = bmp_.Width();
    height_ = bmp_.Height();
    // The core header holds 16-bit sizes; larger images get the 40-byte header.
    core_ = params_.Bmp.HeaderKind == 2 && width_ <= 0xFFFF && height_ <= 0xFFFF;
    headerSize_ = core_                         ? kCoreHeaderSize
                  : params_.Bmp.HeaderKind == 3 ? kLongHeaderSize
                                                : kInfoHeaderSize;
    rle_ = !core_ && params_.Bmp.Rle == 1 && (bits_ == 4 || bits_ == 8);
    start_ = s_.Position();

    WriteHeaders();  // placeholders
    switch (bits_) {
      case 1:
        WriteBits();
        break;
      case 4:
      case 8:
        WriteIndexed();
        break;
      default:
        WriteTrueColor();
        break;
    }
    if (progress_.IsAborting()) return;
    end_ = s_.Position();
    finalSizes_ = true;
    if (!s_.Seek(start_)) return progress_.Abort();
    WriteHeaders();
    if (!s_.Seek(end_)) progress_.Abort();
  }

 private:
  void Put(const void* data, size_t n) {
    if (!progress_.IsAborting() && !s_.WriteExact(data, n)) progress_.Abort();
  }

  void WriteHeaders() {
    uint8_t fh[kFileHeaderSize] = {'B', 'M'};
    std::vector<uint8_t> ih(static_cast<size_t>(headerSize_), 0);
    PutLe32(ih.data(), uint32_t(headerSize_));
    const uint32_t bitCount = finalSizes_ ? uint32_t(bits_) : 0;
    if (core_) {
      PutLe16(ih.data() + 4, uint32_t(width_));
      PutLe16(ih.data() + 6, uint32_t(height_));
      PutLe16(ih.data() + 8, 1);
      PutLe16(ih.data() + 10, bitCount);
    } else {
      PutLe32(ih.data() + 4, uint32_t(width_));
      PutLe32(ih.data() + 8, uint32_t(height_));
      PutLe16(ih.data() + 12, 1);
      PutLe16(ih.data() + 14, bitCount);
      PutLe32(ih.data() + 16, rle_ ? (bits_ == 8 ? kBiRle8 : kBiRle4) : kBiRgb);
      if (finalSizes_) PutLe32(ih.data() + 20, uint32_t(end_ - dataStart_));
      PutLe32(ih.data() + 24, uint32_t(RoundToInt32(params_.DpiX() / kCmPerInch * 100)));
      PutLe32(ih.data() + 28, uint32_t(RoundToInt32(params_.DpiY() / kCmPerInch * 100)));
      PutLe32(ih.data() + 32, bits_ <= 8 ? (1u << bits_) : 0);
      PutLe32(ih.data() + 36, 1u << (bits_ % 32));
    }
    if (finalSizes_) {
      PutLe32(fh + 2, uint32_t(end_ - start_));
      PutLe32(fh + 10, uint32_t(dataStart_ - start_));
    }
    Put(fh, sizeof fh);
    Put(ih.data(), ih.size());
  }

  void WritePalette(const std::vector<TKvRGB>& palette) {
    std::vector<uint8_t> raw;
    for (const TKvRGB& c : palette) {
      raw.insert(raw.end(), {c.Blue, c.Green, c.Red});
      if (!core_) raw.push_back(0);
    }
    Put(raw.data(), raw.size());
    params_.SetColorMap(palette);
    dataStart_ = s_.Position();
  }

  // Before each row: progress, and whether to go on.
  bool NextRow() {
    if (progress_.IsAborting()) return false;
    progress_.Report();
    ++progress_.Val;
    return true;
  }

  void WriteRows(const std::function<void(int y, uint8_t* out)>& fill, size_t rowBytes) {
    std::vector<uint8_t> line(rowBytes);
    progress_.Begin(height_);
    for (int y = height_ - 1; y >= 0; --y) {
      if (!NextRow()) return;
      std::fill(line.begin(), line.end(), 0);
      fill(y, line.data());
      Put(line.data(), line.size());
    }
  }

  // 1 bit: a kv1g image as it is with palette black, white; an image of exactly two colours
  // with those colours, the darker one first; anything else through a kv1g conversion.
  void WriteBits() {
    const size_t rowBytes = static_cast<size_t>(FileRowLength(width_, 1));
    const size_t bitBytes = static_cast<size_t>((width_ + 7) / 8);
    if (bmp_.PixelFormat() == kv1g) {
      WritePalette({KvRGB(0, 0, 0), KvRGB(255, 255, 255)});
      WriteRows([&](int y, uint8_t* out) { std::memcpy(out, bmp_.RowPtr(y), bitBytes); }, rowBytes);
      return;
    }
    TKvBitmap rgbCopy;
    const TKvBitmap& rgb = AsRgb(bmp_, rgbCopy);
    TKvRGB first{}, second{};
    int found = 0;
    for (int y = 0; y < height_ && found <= 2; ++y) {
      const TKvRGB* p = reinterpret_cast<const TKvRGB*>(rgb.RowPtr(y));
      for (int x = 0; x < width_; ++x) {
        if (found == 0) {
          first = p[x];
          found = 1;
        } else if (!(p[x] == first) && (found == 1 || !(p[x] == second))) {
          if (found == 1) second = p[x];
          if (++found > 2) break;
        }
      }
    }
    if (found == 2) {
      const bool swap = Gray(second) < Gray(first);
      WritePalette(swap ? std::vector<TKvRGB>{second, first} : std::vector<TKvRGB>{first, second});
      WriteRows(
          [&](int y, uint8_t* out) {
            const TKvRGB* p = reinterpret_cast<const TKvRGB*>(rgb.RowPtr(y));
            for (int x = 0; x < width_; ++x)
              if ((p[x] == second) != swap) out[x >> 3] |= uint8_t(0x80 >> (x & 7));
          },
          rowBytes);
      return;
    }
    TKvBitmap bits;
    bits.CopyFrom(rgb);
    bits.DropAlphaPlane(false, 0);
    bits.ChangePixelFormat(kv1g);
    WritePalette({KvRGB(0, 0, 0), KvRGB(255, 255, 255)});
    WriteRows([&](int y, uint8_t* out) { std::memcpy(out, bits.RowPtr(y), bitBytes); }, rowBytes);
  }

  // 4 and 8 bits: the palette from the quantizer, indexes from a kv8p image as they are or
  // from the quantizer's mapping of every colour.
  void WriteIndexed() {
    const int colors = 1 << bits_;
    const int maxIndex = colors - 1;
    TKvBitmap rgbCopy;
    const bool indexed = bmp_.PixelFormat() == kv8p;
    const TKvBitmap& src = indexed ? bmp_ : AsRgb(bmp_, rgbCopy);
    std::vector<TKvRGB> palette(static_cast<size_t>(colors), TKvRGB{});
    TKvQuantizer quantizer(src, colors, std::span<TKvRGB>(palette));
    WritePalette(palette);
    std::vector<uint8_t> idx(static_cast<size_t>(width_));
    auto rowIndexes = [&](int y) {
      const uint8_t* row = src.RowPtr(y);
      for (int x = 0; x < width_; ++x) {
        int v;
        if (indexed) {
          v = row[x];
        } else {
          TKvRGB c;
          std::memcpy(&c, row + 3 * size_t(x), 3);
          v = quantizer.ColorIndex(c);
        }
        idx[size_t(x)] = uint8_t(std::clamp(v, 0, maxIndex));
      }
    };
    if (rle_) {
      std::vector<uint8_t> out;
      progress_.Begin(height_);
      for (int y = height_ - 1; y >= 0; --y) {
        if (!NextRow()) return;
        rowIndexes(y);
        out.clear();
        EncodeRow(idx, bits_ == 4, out);
        if (y == 0) out.insert(out.end(), {0, 1});  // end of bitmap
        Put(out.data(), out.size());
      }
      return;
    }
    WriteRows(
        [&](int y, uint8_t* out) {
          rowIndexes(y);
          if (bits_ == 8) {
            std::memcpy(out, idx.data(), idx.size());
          } else {
            for (int x = 0; x < width_; ++x)
              out[x >> 1] |= uint8_t((x & 1) ? idx[size_t(x)] : idx[size_t(x)] << 4);
          }
        },
        static_cast<size_t>(FileRowLength(width_, bits_)));
  }

  void WriteTrueColor() {
    TKvBitmap rgbCopy;
    const TKvBitmap& rgb = AsRgb(bmp_, rgbCopy);
    dataStart_ = s_.Position();
    TKvBitmap* alpha =
        storeAlpha_ && bits_ == 32 ? const_cast<TKvBitmap*>(bmp_.ExistingAlphaPlane()) : nullptr;
    WriteRows(
        [&](int y, uint8_t* out) {
          const uint8_t* p = rgb.RowPtr(y);
          if (bits_ == 24) {
            std::memcpy(out, p, size_t(width_) * 3);
            return;
          }
          const uint8_t* a = alpha != nullptr ? alpha->RowPtr(y) : nullptr;
          for (int x = 0; x < width_; ++x) {
            out[4 * x] = p[3 * x];
            out[4 * x + 1] = p[3 * x + 1];
            out[4 * x + 2] = p[3 * x + 2];
            out[4 * x + 3] = a != nullptr ? a[x] : 255;
          }
        },
        static_cast<size_t>(FileRowLength(width_, bits_)));
  }

  TKvStream& s_;
  TKvBitmap& bmp_;
  TKvIOParams& params_;
  bool storeAlpha_;
  TKvProgressRec& progress_;
  int bits_ = 24, width_ = 0, height_ = 0, headerSize_ = kInfoHeaderSize;
  bool core_ = false, rle_ = false, finalSizes_ = false;
  int64_t start_ = 0, end_ = 0, dataStart_ = 0;
};

}  // namespace

void ReadBmp(TKvStream& stream, TKvBitmap& bitmap, int64_t totalSize, bool ignoreAlpha,
             std::unique_ptr<TKvMask>* alphaOut, bool noFileHeader, bool previewOnly,
             TKvProgressRec& progress, TKvIOParams& params) {
  TBmpReader(stream, bitmap, progress, params)
      .Run(totalSize, ignoreAlpha, alphaOut, noFileHeader, previewOnly);
}

void WriteBmp(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, bool storeAlpha,
              TKvProgressRec& progress) {
  TBmpWriter(stream, bitmap, params, storeAlpha, progress).Run();
}

void ReadBmpFile(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, bool previewOnly,
                 TKvProgressRec& progress) {
  std::unique_ptr<TKvMask> alpha;
  ReadBmp(stream, bitmap, 0, !params.Bmp.KeepAlpha, &alpha, false, previewOnly, progress, params);
  if (alpha == nullptr || bitmap.IsEmpty()) return;
  TKvBitmap* plane = bitmap.AlphaPlane();
  if (plane == nullptr) return;
  for (int y = 0; y < bitmap.Height(); ++y)
    std::memcpy(plane->RowPtr(y), alpha->Row(y), static_cast<size_t>(bitmap.Width()));
  plane->RecheckOpaque();
  bitmap.AlphaIsOpaque = plane->AlphaIsOpaque;
}

void WriteBmpFile(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params,
                  TKvProgressRec& progress) {
  WriteBmp(stream, bitmap, params, params.Bmp.KeepAlpha, progress);
}

bool ProbeBmp(TKvStream& stream) {
  const int64_t start = stream.Position();
  uint16_t type = 0;
  const bool ok = stream.ReadU16LE(type) && type == kBmpType;
  stream.Seek(start);
  return ok;
}

void KvRegisterBmpCodec() {
  TKvCodec codec;
  codec.FileType = kvftBMP;
  codec.Read = ReadBmpFile;
  codec.Write = WriteBmpFile;
  codec.Probe = ProbeBmp;
  codec.WriterKeeps = kKvAllFormats;  // the writer works on converted copies itself
  KvRegisterCodec(codec);
}
