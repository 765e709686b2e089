// The portable any-map codec.
//
// Header: a sequence of tokens (runs of ASCII letters and digits, or "#" comments up to the end
// of the line): the magic, the width, the height and, except for bitmaps, the maximum sample
// value. The byte that ends the last number is eaten; raw data start right behind it.
// Raster: plain variants hold one decimal token per sample (P1 one "0"/"1" character per
// pixel); raw variants hold packed rows, 1 bit per pixel (1 = black), or one byte per sample,
// or two big-endian bytes per sample when the maximum is above 255.
//
// Pixel formats produced: bitmaps kv1g; gray and colour kv24RGB; 16-bit colour kvRGB48 and
// 16-bit gray kv16g when the caller asks for the file's own pixel format. 8-bit samples with a
// maximum below 255 are scaled to 0..255. 16-bit samples are taken by their high byte when the
// maximum is 65535, and scaled by the maximum otherwise.
//
// Data that end before the raster is complete make the read fail (Aborting); so do a maximum
// of 0 and sizes the file cannot hold. Nothing is allocated for a header that fails.
#include "io/codecs/kvpnm.h"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "image/kvconvert.h"

namespace {

// Bytes the token reader fetches from the stream at a time.
constexpr size_t kReadChunk = 4096;
// The probe looks at no more than this many tokens.
constexpr int kProbeTokenLimit = 501;
// Largest maximum sample value of the 16-bit variants.
constexpr int kMax16 = 65535;

bool IsAlnum(int c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Reads header and plain-raster tokens through a small buffer. LogicalPosition is the position
// of the next unread byte; Resync puts the stream there before raw reads.
class TTokenReader {
 public:
  explicit TTokenReader(TKvStream& stream) : stream_(stream) {}

  int Get() {
    if (pos_ == len_ && !Refill()) return -1;
    return buffer_[pos_++];
  }

  // The next token ("#text" for a comment); false at the end of the stream.
  bool Next(std::string& token) {
    token.clear();
    int c;
    do {
      c = Get();
      if (c < 0) return false;
    } while (!IsAlnum(c) && c != '#');
    if (c == '#') {
      std::string text;
      for (;;) {
        c = Get();
        if (c < 0) break;
        if (c == '\r' || c == '\n') break;
        text.push_back(char(c));
      }
      token.assign(1, '#');
      token.append(Trim(text));
      return true;
    }
    token.push_back(char(c));
    for (;;) {
      c = Get();
      if (c < 0 || !IsAlnum(c)) break;  // the ending byte is eaten
      token.push_back(char(c));
    }
    return true;
  }

  int64_t LogicalPosition() const { return stream_.Position() - int64_t(len_ - pos_); }
  void Resync() {
    stream_.Seek(LogicalPosition());
    pos_ = len_ = 0;
  }
  bool AtEnd() { return pos_ == len_ && !Refill(); }

  static std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
  }

 private:
  bool Refill() {
    pos_ = 0;
    len_ = stream_.Read(buffer_, sizeof buffer_);
    return len_ > 0;
  }
  TKvStream& stream_;
  uint8_t buffer_[kReadChunk];
  size_t pos_ = 0, len_ = 0;
};

// A decimal number, or -1 when the token is not one (or does not fit).
int64_t ParseNumber(const std::string& token) {
  if (token.empty()) return -1;
  int64_t v = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
    if (v > std::numeric_limits<int32_t>::max()) return -1;
  }
  return v;
}

struct THeader {
  std::string Magic;
  int64_t Width = -1, Height = -1, MaxVal = -1;
  int Kind = 0;  // 1..6 for P1..P6, 0 unknown
};

// Reads the header tokens; comments go to `comments` when given.
void ReadHeaderTokens(TTokenReader& reader, THeader& h, std::vector<std::string>* comments) {
  std::string token;
  int index = 0;
  while (!reader.AtEnd() && reader.Next(token)) {
    if (token[0] == '#') {
      if (comments != nullptr) comments->push_back(token.substr(1));
      continue;
    }
    if (index == 0) {
      h.Magic = token;
      if (token.size() == 2 && token[0] == 'P' && token[1] >= '1' && token[1] <= '6')
        h.Kind = token[1] - '0';
      if (h.Kind == 1 || h.Kind == 4) h.MaxVal = 1;
    } else if (index == 1) {
      h.Width = ParseNumber(token);
    } else if (index == 2) {
      h.Height = ParseNumber(token);
      if (h.Kind == 1 || h.Kind == 4) return;
    } else {
      h.MaxVal = ParseNumber(token);
      return;
    }
    ++index;
  }
}

// v scaled from 0..maxVal to 0..255 (Trunc(v / maxVal * 255)), saturating above maxVal.
inline uint8_t Scale8(int64_t v, int64_t maxVal) {
  if (v >= maxVal) return 255;
  return uint8_t(v * 255 / maxVal);
}

// A 16-bit sample as 8 bits: the high byte for maxVal 65535, else scaled by maxVal.
inline uint8_t Sample16To8(uint32_t v, int64_t maxVal) {
  if (maxVal == kMax16) return uint8_t(v >> 8);
  return Scale8(v, maxVal);
}

class TPxmReader {
 public:
  TPxmReader(TKvStream& stream, TKvBitmap& image, TKvIOParams& params, TKvProgressRec& progress)
      : stream_(stream), image_(image), params_(params), progress_(progress), tokens_(stream) {}

  void Run(bool previewOnly) {
    params_.Pxm.Comments.clear();
    ReadHeaderTokens(tokens_, h_, &params_.Pxm.Comments);
    if (h_.Width <= 0 || h_.Height <= 0 || h_.Kind == 0 || h_.MaxVal < 1 ||
        (h_.Kind == 6 && h_.MaxVal > kMax16)) {
      progress_.Abort();
      return;
    }
    wide_ = (h_.Kind == 5 || h_.Kind == 6) && h_.MaxVal > 255;
    if (h_.Kind == 5 && h_.MaxVal > kMax16) {  // no sample width for such raw gray data
      progress_.Abort();
      return;
    }
    SetParams();
    if (previewOnly) return;
    switch (h_.Kind) {
      case 1:
        ReadPlainBits();
        break;
      case 2:
        ReadPlainSamples(1);
        break;
      case 3:
        ReadPlainSamples(3);
        break;
      case 4:
        ReadRawBits();
        break;
      case 5:
        wide_ ? ReadRawGray16() : ReadRawGray8();
        break;
      case 6:
        wide_ ? ReadRawColor16() : ReadRawColor8();
        break;
    }
  }

 private:
  void SetParams() {
    const bool bits = h_.Kind == 1 || h_.Kind == 4;
    const bool color = h_.Kind == 3 || h_.Kind == 6;
    params_.Width = params_.StoredWidth = int32_t(h_.Width);
    params_.Height = params_.StoredHeight = int32_t(h_.Height);
    params_.BitsPerSample = bits ? 1 : (wide_ ? 16 : 8);
    params_.SamplesPerPixel = color ? 3 : 1;
    params_.SetDpiX(kKvDefaultDpi);
    params_.SetDpiY(kKvDefaultDpi);
    params_.FreeColorMap();
  }

  int W() const { return int(h_.Width); }
  int H() const { return int(h_.Height); }

  // False (and Aborting) when the file holds fewer than unitBytes * units further bytes
  // (the product is compared without being formed, so that no size can overflow it).
  bool HasBytes(int64_t unitBytes, int64_t units) {
    const int64_t rest = stream_.Size() - tokens_.LogicalPosition();
    if (unitBytes < 0 || units < 0 || (unitBytes > 0 && units > rest / unitBytes)) {
      progress_.Abort();
      return false;
    }
    return true;
  }

  bool Allocate(TKvPixFormat format) {
    if (!image_.AllocateImage(W(), H(), format)) {
      progress_.Abort();
      return false;
    }
    progress_.Begin(H());
    return true;
  }

  // Before each row: progress, and whether to go on.
  bool NextRow() {
    if (progress_.IsAborting()) return false;
    progress_.Report();
    ++progress_.Val;
    return true;
  }

  void ReadPlainBits() {
    if (!HasBytes(h_.Width, h_.Height) || !Allocate(kv1g)) return;
    for (int y = 0; y < H(); ++y) {
      if (!NextRow()) return;
      uint8_t* row = image_.RowPtr(y);
      std::memset(row, 0, size_t(image_.RowLength()));
      for (int x = 0; x < W();) {
        const int c = tokens_.Get();
        if (c < 0) {
          progress_.Abort();  // the raster ends early
          return;
        }
        if (c == '0') {
          row[x >> 3] |= uint8_t(0x80 >> (x & 7));
          ++x;
        } else if (c == '1') {
          ++x;
        }
      }
    }
  }

  void ReadPlainSamples(int channels) {
    if (!HasBytes(h_.Width * channels, h_.Height) || !Allocate(kv24RGB)) return;
    std::string token;
    for (int y = 0; y < H(); ++y) {
      if (!NextRow()) return;
      uint8_t* row = image_.RowPtr(y);
      for (int x = 0; x < W(); ++x) {
        uint8_t v[3];
        for (int c = 0; c < channels; ++c) {
          do {
            if (!tokens_.Next(token)) {
              progress_.Abort();  // the raster ends early
              return;
            }
          } while (token[0] == '#');
          const int64_t n = ParseNumber(token);
          v[c] = Scale8(n < 0 ? 0 : n, h_.MaxVal);
        }
        uint8_t* p = row + 3 * x;
        if (channels == 1) {
          p[0] = p[1] = p[2] = v[0];
        } else {
          p[0] = v[2];
          p[1] = v[1];
          p[2] = v[0];
        }
      }
    }
  }

  // Reads `count` raw bytes; a short read fails the load.
  bool ReadRaw(uint8_t* dest, size_t count) {
    if (stream_.ReadExact(dest, count)) return true;
    progress_.Abort();
    return false;
  }

  bool StartRaw(int64_t bytesPerRow, TKvPixFormat format) {
    tokens_.Resync();
    return HasBytes(bytesPerRow, h_.Height) && Allocate(format);
  }

  void ReadRawBits() {
    const int rowBytes = (W() + 7) / 8;
    if (!StartRaw(rowBytes, kv1g)) return;
    for (int y = 0; y < H(); ++y) {
      if (!NextRow()) return;
      uint8_t* row = image_.RowPtr(y);
      if (!ReadRaw(row, size_t(rowBytes))) return;
      for (int i = 0; i < image_.RowLength(); ++i) row[i] = uint8_t(~row[i]);  // 1 is black
    }
  }

  void ReadRawGray8() {
    if (!StartRaw(h_.Width, kv24RGB)) return;
    std::vector<uint8_t> line(static_cast<size_t>(W()));
    for (int y = 0; y < H(); ++y) {
      if (!NextRow()) return;
      if (!ReadRaw(line.data(), line.size())) return;
      uint8_t* p = image_.RowPtr(y);
      for (int x = 0; x < W(); ++x, p += 3) {
        const uint8_t g = h_.MaxVal < 255 ? Scale8(line[size_t(x)], h_.MaxVal) : line[size_t(x)];
        p[0] = p[1] = p[2] = g;
      }
    }
  }

  void ReadRawGray16() {
    const bool native = params_.IsNativePixelFormat;
    if (!StartRaw(int64_t(h_.Width) * 2, native ? kv16g : kv24RGB)) return;
    std::vector<uint8_t> line(size_t(W()) * 2);
    for (int y = 0; y < H(); ++y) {
      if (!NextRow()) return;
      if (!ReadRaw(line.data(), line.size())) return;
      uint8_t* p = image_.RowPtr(y);
      for (int x = 0; x < W(); ++x) {
        const uint32_t v = uint32_t(line[2 * size_t(x)] << 8) | line[2 * size_t(x) + 1];
        if (native) {
          p[2 * x] = uint8_t(v);
          p[2 * x + 1] = uint8_t(v >> 8);
        } else {
          p[3 * x] = p[3 * x + 1] = p[3 * x + 2] = Sample16To8(v, h_.MaxVal);
        }
      }
    }
  }

  void ReadRawColor8() {
    if (!StartRaw(int64_t(h_.Width) * 3, kv24RGB)) return;
    const size_t bytes = size_t(W()) * 3;
    for (int y = 0; y < H(); ++y) {
      if (!NextRow()) return;
      uint8_t* row = image_.RowPtr(y);
      if (!ReadRaw(row, bytes)) return;
      if (h_.MaxVal < 255)
        for (size_t i = 0; i < bytes; ++i) row[i] = Scale8(row[i], h_.MaxVal);
      for (size_t i = 0; i < bytes; i += 3) std::swap(row[i], row[i + 2]);  // RGB -> BGR
    }
  }

  void ReadRawColor16() {
    const bool native = params_.IsNativePixelFormat;
    if (!StartRaw(int64_t(h_.Width) * 6, native ? kvRGB48 : kv24RGB)) return;
    std::vector<uint8_t> line(size_t(W()) * 6);
    for (int y = 0; y < H(); ++y) {
      if (!NextRow()) return;
      if (!ReadRaw(line.data(), line.size())) return;
      uint8_t* row = image_.RowPtr(y);
      for (int x = 0; x < W(); ++x) {
        const uint8_t* s = line.data() + 6 * size_t(x);
        const uint16_t r = uint16_t((s[0] << 8) | s[1]);
        const uint16_t g = uint16_t((s[2] << 8) | s[3]);
        const uint16_t b = uint16_t((s[4] << 8) | s[5]);
        if (native) {
          const TKvRGB48 px{r, g, b};  // red, green, blue words, as in the file
          std::memcpy(row + 6 * size_t(x), &px, 6);
        } else {
          uint8_t* p = row + 3 * size_t(x);
          p[0] = Sample16To8(b, h_.MaxVal);
          p[1] = Sample16To8(g, h_.MaxVal);
          p[2] = Sample16To8(r, h_.MaxVal);
        }
      }
    }
  }

  TKvStream& stream_;
  TKvBitmap& image_;
  TKvIOParams& params_;
  TKvProgressRec& progress_;
  TTokenReader tokens_;
  THeader h_;
  bool wide_ = false;
};

// --- Writer -----------------------------------------------------------------------------------

enum class TPxmVariant { None, Bits, Gray8, Gray16, Color16From8, Color16, Color8 };

TPxmVariant ChooseVariant(const TKvIOParams& p, TKvPixFormat f) {
  const int bps = p.BitsPerSample, spp = p.SamplesPerPixel;
  if ((bps == 1 && spp == 1) || f == kv1g) return TPxmVariant::Bits;
  if (bps == 8 && spp == 1) return TPxmVariant::Gray8;
  if (bps == 16 && spp == 1) return TPxmVariant::Gray16;
  if (bps == 16 && spp == 3 && f == kv24RGB) return TPxmVariant::Color16From8;
  if (f == kvRGB48) return TPxmVariant::Color16;
  if ((bps == 8 && spp == 3) || f == kv24RGB) return TPxmVariant::Color8;
  if (f == kv16g) return TPxmVariant::Gray16;
  return TPxmVariant::None;
}

class TPxmWriter {
 public:
  TPxmWriter(TKvStream& stream, TKvBitmap& image, TKvIOParams& params, TKvProgressRec& progress)
      : stream_(stream), image_(image), params_(params), progress_(progress) {}

  void Run() {
    TKvBitmap* src = &image_;
    // Only kv1g, kv16g, kv24RGB and kvRGB48 rows are written as they are; anything else goes
    // through a kv24RGB copy, so the caller's image keeps its format.
    TKvBitmap copy;
    const TKvPixFormat f = image_.PixelFormat();
    if (f != kv1g && f != kv16g && f != kv24RGB && f != kvRGB48) {
      copy.CopyFrom(image_);
      copy.ChangePixelFormat(kv24RGB);
      src = &copy;
    }
    const TPxmVariant variant = ChooseVariant(params_, src->PixelFormat());
    if (variant == TPxmVariant::Bits && src->PixelFormat() != kv1g) {
      // One bit asked for an image that has more: the bits come from a kv1g copy.
      if (src != &copy) copy.CopyFrom(image_);
      copy.ChangePixelFormat(kv1g);
      src = &copy;
    }
    if (variant == TPxmVariant::None || src->IsEmpty() || src->PixelFormat() == kvNoFormat) {
      progress_.Abort();
      return;
    }
    WriteHeader(variant, *src);
    WriteRows(variant, *src);
  }

 private:
  void Put(const void* data, size_t count) {
    if (!stream_.WriteExact(data, count)) progress_.Abort();
  }

  void WriteHeader(TPxmVariant v, const TKvBitmap& src) {
    std::string comments;
    for (const std::string& c : params_.Pxm.Comments) comments += "\n# " + c + "\n";
    const char* magic = v == TPxmVariant::Bits                                  ? "P4 "
                        : (v == TPxmVariant::Gray8 || v == TPxmVariant::Gray16) ? "P5 "
                                                                                : "P6 ";
    std::string header =
        magic + comments + std::to_string(src.Width()) + " " + std::to_string(src.Height());
    switch (v) {
      case TPxmVariant::Bits:
        break;
      case TPxmVariant::Gray8:
      case TPxmVariant::Color8:
        header += " 255";
        break;
      default:
        header += " 65535";
        break;
    }
    header += "\n";
    Put(header.data(), header.size());
  }

  // Samples of one row as 16-bit red, green, blue (8-bit values widened by * 257, so that the
  // high byte gives them back exactly) and 8-bit gray by the gray rule.
  void FetchRow(const TKvBitmap& src, int y, std::vector<uint16_t>& rgb,
                std::vector<uint16_t>& gray) const {
    const int w = src.Width();
    const uint8_t* row = src.RowPtr(y);
    for (int x = 0; x < w; ++x) {
      uint16_t r, g, b, k;
      switch (src.PixelFormat()) {
        case kv16g: {
          const uint16_t v = uint16_t(row[2 * x] | (row[2 * x + 1] << 8));
          r = g = b = k = v;
          break;
        }
        case kvRGB48: {
          TKvRGB48 px;
          std::memcpy(&px, row + 6 * size_t(x), 6);
          r = px.Red, g = px.Green, b = px.Blue;
          k = uint16_t(KvGray(r >> 8, g >> 8, b >> 8) * 257);
          break;
        }
        default: {  // kv24RGB
          const uint8_t* p = row + 3 * size_t(x);
          b = uint16_t(p[0] * 257), g = uint16_t(p[1] * 257), r = uint16_t(p[2] * 257);
          k = uint16_t(KvGray(p[2], p[1], p[0]) * 257);
          break;
        }
      }
      rgb[3 * size_t(x)] = r;
      rgb[3 * size_t(x) + 1] = g;
      rgb[3 * size_t(x) + 2] = b;
      gray[size_t(x)] = k;
    }
  }

  void WriteRows(TPxmVariant v, const TKvBitmap& src) {
    const int w = src.Width(), h = src.Height();
    std::vector<uint16_t> rgb(static_cast<size_t>(w) * 3), gray(static_cast<size_t>(w));
    std::vector<uint8_t> out;
    progress_.Begin(h);
    for (int y = 0; y < h; ++y) {
      if (progress_.IsAborting()) return;
      progress_.Report();
      ++progress_.Val;
      out.clear();
      if (v == TPxmVariant::Bits) {
        const uint8_t* row = src.RowPtr(y);
        const int bytes = (w + 7) / 8;
        out.assign(row, row + bytes);
        for (uint8_t& b : out) b = uint8_t(~b);                    // in the file 1 is black
        if (w % 8 != 0) out.back() &= uint8_t(0xFF00 >> (w % 8));  // padding bits 0
      } else if (v == TPxmVariant::Color8 && src.PixelFormat() == kv24RGB) {
        // The common case, directly: blue, green, red -> red, green, blue.
        const uint8_t* row = src.RowPtr(y);
        out.resize(size_t(w) * 3);
        for (size_t i = 0; i < out.size(); i += 3) {
          out[i] = row[i + 2];
          out[i + 1] = row[i + 1];
          out[i + 2] = row[i];
        }
      } else {
        FetchRow(src, y, rgb, gray);
        for (int x = 0; x < w; ++x) {
          const size_t i = size_t(x);
          switch (v) {
            case TPxmVariant::Gray8:
              out.push_back(uint8_t(gray[i] >> 8));
              break;
            case TPxmVariant::Gray16:
              out.push_back(uint8_t(gray[i] >> 8));
              out.push_back(uint8_t(gray[i]));
              break;
            case TPxmVariant::Color8:
              for (int c = 0; c < 3; ++c) out.push_back(uint8_t(rgb[3 * i + size_t(c)] >> 8));
              break;
            default:  // 16-bit colour, big-endian words
              for (int c = 0; c < 3; ++c) {
                out.push_back(uint8_t(rgb[3 * i + size_t(c)] >> 8));
                out.push_back(uint8_t(rgb[3 * i + size_t(c)]));
              }
              break;
          }
        }
      }
      Put(out.data(), out.size());
    }
  }

  TKvStream& stream_;
  TKvBitmap& image_;
  TKvIOParams& params_;
  TKvProgressRec& progress_;
};

}  // namespace

void ReadPxm(TKvStream& stream, TKvBitmap& image, TKvIOParams& params, bool previewOnly,
             TKvProgressRec& progress) {
  TPxmReader(stream, image, params, progress).Run(previewOnly);
}

void WritePxm(TKvStream& stream, TKvBitmap& image, TKvIOParams& params, TKvProgressRec& progress) {
  TPxmWriter(stream, image, params, progress).Run();
}

bool ProbePxm(TKvStream& stream) {
  const int64_t start = stream.Position();
  TTokenReader reader(stream);
  std::string token;
  int found = 0;
  bool magicOk = false;
  int64_t width = -1, height = -1;
  for (int i = 0; i < kProbeTokenLimit && found < 3 && reader.Next(token); ++i) {
    if (token[0] == '#') continue;
    if (found == 0)
      magicOk = token.size() == 2 && token[0] == 'P' && token[1] >= '1' && token[1] <= '6';
    else if (found == 1)
      width = ParseNumber(token);
    else
      height = ParseNumber(token);
    ++found;
    if (!magicOk) break;
  }
  stream.Seek(start);
  return magicOk && width > 0 && height > 0;
}

void KvRegisterPnmCodec() {
  TKvCodec codec;
  codec.FileType = kvftPXM;
  codec.Read = ReadPxm;
  codec.Write = WritePxm;
  codec.Probe = ProbePxm;
  codec.WriterKeeps =
      KvFormatBit(kv1g) | KvFormatBit(kv16g) | KvFormatBit(kv24RGB) | KvFormatBit(kvRGB48);
  KvRegisterCodec(codec);
}
