// PNG codec: the glue between the I/O component and libpng.
//
// libpng reports errors through a callback that must not return; ours jumps (longjmp) back to
// the library call that failed. Every library call is therefore made from a small function
// below ("library shims") that holds only plain C state and returns false on failure; the C++
// code around them turns that into Aborting (reader) or EInvalidGraphic (writer). Stream access
// from inside the library goes through plain function pointers that never let a C++ exception
// into the library's C frames.
//
// Reading asks libpng for the transformations that bring every colour type and depth to rows
// the bitmap takes as they are: blue-green-red 8-bit samples (with a fourth alpha byte that goes
// to the alpha plane), packed 1-bit gray (kv1g), or, with the native pixel format, 8-bit
// palette indexes, 8-bit gray and little-endian 16-bit gray.
#include "io/codecs/kvpng.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/kvbitmap.h"
#include "image/kvquantize.h"
#include "io/codecs/kvstreambridge.h"
#include "io/kvcodec.h"
#include "io/kvioparams.h"
#include "io/kvstream.h"

namespace {

constexpr uint8_t kPngSignature[4] = {0x89, 'P', 'N', 'G'};
constexpr char kWriteErrorText[] = "Error on creating PNG";
constexpr double kCmPerInch = 2.54;
constexpr double kCmPerMetre = 100.0;
// Longest keyword a text chunk may carry (PNG specification: 1 to 79 bytes).
constexpr size_t kMaxKeywordLength = 79;
constexpr int kMaxPalette = 256;
constexpr int kOpaque = 255;

// ---------------------------------------------------------------------------------------------
// Stream bridge (shared with the other library-based codecs).

using kvbridge::BridgeRead;
using kvbridge::BridgeWrite;
using kvbridge::TBridgeRead;
using kvbridge::TBridgeWrite;
using kvbridge::TStreamBridge;

// ---------------------------------------------------------------------------------------------
// Library state: plain C data only.

struct TPngState {
  png_structp Png;
  png_infop Info;
  jmp_buf Jump;
  TBridgeRead Read;
  TBridgeWrite Write;
  void* Context;
  bool ShortRead;
  bool ShortWrite;
  bool Writing;
};

void OnPngError(png_structp png, png_const_charp) {
  auto* s = static_cast<TPngState*>(png_get_error_ptr(png));
  longjmp(s->Jump, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

void OnPngRead(png_structp png, png_bytep data, size_t length) {
  auto* s = static_cast<TPngState*>(png_get_io_ptr(png));
  if (s->Read(s->Context, data, length) != length) {
    s->ShortRead = true;
    png_error(png, "Read error");
  }
}

void OnPngWrite(png_structp png, png_bytep data, size_t length) {
  auto* s = static_cast<TPngState*>(png_get_io_ptr(png));
  if (!s->ShortWrite && s->Write(s->Context, data, length) != length) s->ShortWrite = true;
}

void OnPngFlush(png_structp) {}

// The header fields the reader needs, copied out of the library.
struct TPngHeader {
  png_uint_32 Width, Height;
  int Depth, ColorType, Interlace;
  bool HasBackground;
  png_color_16 Background;
  bool HasPhys;
  png_uint_32 PpmX, PpmY;
  int PaletteCount;
  png_color Palette[kMaxPalette];
};

// Transformations asked of the reader, and what the library then delivers.
struct TPngReadSetup {
  bool Swap16, PaletteToRgb, ExpandGray, Strip16, Packing, GrayToRgb, Bgr, TrnsToAlpha;
  int Passes;
  int Channels;
  size_t RowBytes;
};

// --- Reading shims ---

bool ShimCreateRead(TPngState* s) {
  if (setjmp(s->Jump)) return false;
  s->Png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s, OnPngError, OnPngWarning);
  if (s->Png == nullptr) return false;
  s->Info = png_create_info_struct(s->Png);
  if (s->Info == nullptr) return false;
  png_set_read_fn(s->Png, s, OnPngRead);
  return true;
}

bool ShimReadInfo(TPngState* s, TPngHeader* h) {
  if (setjmp(s->Jump)) return false;
  png_read_info(s->Png, s->Info);
  png_get_IHDR(s->Png, s->Info, &h->Width, &h->Height, &h->Depth, &h->ColorType, &h->Interlace,
               nullptr, nullptr);
  png_color_16p background = nullptr;
  h->HasBackground = png_get_bKGD(s->Png, s->Info, &background) != 0 && background != nullptr;
  if (h->HasBackground) h->Background = *background;
  int unit = 0;
  h->HasPhys = png_get_pHYs(s->Png, s->Info, &h->PpmX, &h->PpmY, &unit) != 0;
  png_colorp palette = nullptr;
  int count = 0;
  h->PaletteCount = 0;
  if (png_get_PLTE(s->Png, s->Info, &palette, &count) != 0 && palette != nullptr) {
    h->PaletteCount = std::clamp(count, 0, kMaxPalette);
    std::memcpy(h->Palette, palette, sizeof(png_color) * size_t(h->PaletteCount));
  }
  return true;
}

bool ShimSetupRead(TPngState* s, TPngReadSetup* t) {
  if (setjmp(s->Jump)) return false;
  png_structp png = s->Png;
  if (t->Swap16) png_set_swap(png);
  if (t->PaletteToRgb) png_set_palette_to_rgb(png);
  if (t->ExpandGray) png_set_expand_gray_1_2_4_to_8(png);
  if (t->Strip16) png_set_strip_16(png);
  if (t->Packing) png_set_packing(png);
  if (t->GrayToRgb) png_set_gray_to_rgb(png);
  if (t->Bgr) png_set_bgr(png);
  if (t->TrnsToAlpha) png_set_tRNS_to_alpha(png);
  t->Passes = png_set_interlace_handling(png);
  png_read_update_info(png, s->Info);
  t->Channels = png_get_channels(png, s->Info);
  t->RowBytes = png_get_rowbytes(png, s->Info);
  return true;
}

bool ShimReadRow(TPngState* s, uint8_t* row) {
  if (setjmp(s->Jump)) return false;
  png_read_row(s->Png, row, nullptr);
  return true;
}

bool ShimReadEnd(TPngState* s) {
  if (setjmp(s->Jump)) return false;
  png_read_end(s->Png, nullptr);
  return true;
}

void ShimDestroyRead(TPngState* s) {
  if (s->Png != nullptr) png_destroy_read_struct(&s->Png, s->Info ? &s->Info : nullptr, nullptr);
  s->Png = nullptr;
  s->Info = nullptr;
}

// --- Writing shims ---

struct TPngWriteSetup {
  png_uint_32 Width, Height;
  int Depth, ColorType;
  bool Interlace;
  png_uint_32 PpmX, PpmY;
  int Filter;
  int Compression;
  bool HasBackground;
  png_color_16 Background;
  int PaletteCount;
  png_color Palette[kMaxPalette];
  bool TransparentFirstEntry;  // a tRNS chunk making palette entry 0 fully transparent
  png_textp Texts;
  int TextCount;
  int Passes;  // out
};

bool ShimCreateWrite(TPngState* s) {
  if (setjmp(s->Jump)) return false;
  s->Png = png_create_write_struct(PNG_LIBPNG_VER_STRING, s, OnPngError, OnPngWarning);
  if (s->Png == nullptr) return false;
  s->Info = png_create_info_struct(s->Png);
  if (s->Info == nullptr) return false;
  png_set_write_fn(s->Png, s, OnPngWrite, OnPngFlush);
  return true;
}

bool ShimWriteHeader(TPngState* s, TPngWriteSetup* w) {
  if (setjmp(s->Jump)) return false;
  png_structp png = s->Png;
  png_infop info = s->Info;
  png_set_IHDR(png, info, w->Width, w->Height, w->Depth, w->ColorType,
               w->Interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_pHYs(png, info, w->PpmX, w->PpmY, PNG_RESOLUTION_METER);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, w->Filter);
  if (w->PaletteCount > 0) png_set_PLTE(png, info, w->Palette, w->PaletteCount);
  if (w->TransparentFirstEntry) {
    png_byte alpha[1] = {0};
    png_set_tRNS(png, info, alpha, 1, nullptr);
  }
  if (w->HasBackground) png_set_bKGD(png, info, &w->Background);
  png_set_compression_level(png, w->Compression);
  if (w->TextCount > 0) png_set_text(png, info, w->Texts, w->TextCount);
  png_write_info(png, info);
  png_set_bgr(png);
  w->Passes = png_set_interlace_handling(png);
  return true;
}

bool ShimWriteRow(TPngState* s, const uint8_t* row) {
  if (setjmp(s->Jump)) return false;
  png_write_row(s->Png, row);
  return true;
}

bool ShimWriteEnd(TPngState* s) {
  if (setjmp(s->Jump)) return false;
  png_write_end(s->Png, s->Info);
  return true;
}

void ShimDestroyWrite(TPngState* s) {
  if (s->Png != nullptr) png_destroy_write_struct(&s->Png, s->Info ? &s->Info : nullptr);
  s->Png = nullptr;
  s->Info = nullptr;
}

// --- C++ owner ---

struct TPngStateDeleter {
  void operator()(TPngState* s) const {
    if (s->Writing)
      ShimDestroyWrite(s);
    else
      ShimDestroyRead(s);
    delete s;
  }
};
using TPngStatePtr = std::unique_ptr<TPngState, TPngStateDeleter>;

TPngStatePtr NewState(bool writing, TStreamBridge* bridge) {
  TPngStatePtr s(new TPngState{});  // value-initialised plain C state
  s->Writing = writing;
  s->Read = BridgeRead;
  s->Write = BridgeWrite;
  s->Context = bridge;
  return s;
}

int32_t DpiFromPpm(png_uint_32 ppm) {
  const double dpi = std::nearbyint(double(ppm) / kCmPerMetre * kCmPerInch);
  return dpi < 1 ? 0 : int32_t(std::min(dpi, 2147483647.0));
}

png_uint_32 PpmFromDpi(int32_t dpi) {
  return dpi <= 0 ? 0 : png_uint_32(std::nearbyint(double(dpi) * kCmPerMetre / kCmPerInch));
}

// An 8-bit value of a sample stored at `depth` bits.
uint8_t SampleTo8(unsigned value, int depth) {
  if (depth >= 16) return uint8_t(value >> 8);
  if (depth == 8) return uint8_t(value);
  const unsigned max = (1u << depth) - 1;
  return uint8_t(std::min(value, max) * 255 / max);
}

// The bKGD colour at 8 bits a channel, as the PNG specification stores it: a palette index, a
// gray level or RGB samples at the image's own depth.
TKvRGB BackgroundOf(const TPngHeader& h) {
  const png_color_16& b = h.Background;
  if (h.ColorType == PNG_COLOR_TYPE_PALETTE) {
    if (b.index >= h.PaletteCount) return TKvRGB{};
    const png_color& c = h.Palette[b.index];
    return KvRGB(c.red, c.green, c.blue);
  }
  if ((h.ColorType & PNG_COLOR_MASK_COLOR) == 0) {
    const uint8_t g = SampleTo8(b.gray, h.Depth);
    return KvRGB(g, g, g);
  }
  return KvRGB(SampleTo8(b.red, h.Depth), SampleTo8(b.green, h.Depth), SampleTo8(b.blue, h.Depth));
}

int SamplesOf(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return 4;
    default:
      return 1;
  }
}

void ReportRow(TKvProgressRec& progress) {
  ++progress.Val;
  progress.ReportChanged();
}

// What a walk over the chunk headers tells before the library reads the file.
//
// Compressed chunk data (iCCP, zTXt, and iTXt with its compression flag set) name their method;
// the PNG standard defines only method 0 (zlib deflate). The library drops such a chunk with a
// warning when the method is unknown, or already when its checksum is wrong, before it looks
// at the method; the reader instead refuses a file that declares a method it cannot know.
//
// The image data (IDAT) are deflate data, which expand by a factor of 1032 at most (a 258-byte
// match coded in two bits); a header whose pixels need more than that is refused before
// anything is allocated for it.
//
// A chunk longer than the data behind it makes the library fail once it reads the chunk, but
// only after it has allocated the declared length (up to 2 GiB); such a file is refused first.
struct TChunkSurvey {
  bool UnknownCompression = false;
  bool ChunkBeyondData = false;
  int64_t ImageDataBytes = 0;  // total length of the IDAT chunks
};

constexpr size_t kSignatureBytes = 8;
constexpr uint32_t kMaxChunkLength = 0x7FFFFFFFu;  // PNG standard: lengths fit in 31 bits
constexpr size_t kChunkFrameBytes = 12;            // length, type and checksum
constexpr int64_t kMaxDeflateRatio = 1032;

// Walks the chunk headers (bodies are skipped, except the few bytes up to a compression method)
// from the stream's position up to IEND or the end of the data, and puts the stream back.
TChunkSurvey SurveyChunks(TKvStream& stream) {
  TChunkSurvey survey;
  const int64_t start = stream.Position();
  int64_t at = start + int64_t(kSignatureBytes);
  uint8_t head[8];
  uint8_t body[kMaxKeywordLength + 3];  // keyword, its terminator, flag and method
  while (!survey.UnknownCompression && stream.Seek(at) && stream.ReadExact(head, sizeof head)) {
    const uint32_t length = (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) |
                            (uint32_t(head[2]) << 8) | uint32_t(head[3]);
    if (length > kMaxChunkLength) break;
    if (std::memcmp(head + 4, "IEND", 4) == 0) break;
    if (at + int64_t(kChunkFrameBytes) + int64_t(length) > stream.Size()) {
      survey.ChunkBeyondData = true;
      break;
    }
    const bool itxt = std::memcmp(head + 4, "iTXt", 4) == 0;
    if (std::memcmp(head + 4, "IDAT", 4) == 0) survey.ImageDataBytes += length;
    if (itxt || std::memcmp(head + 4, "iCCP", 4) == 0 || std::memcmp(head + 4, "zTXt", 4) == 0) {
      const size_t got = stream.Read(body, std::min<size_t>(length, sizeof body));
      const uint8_t* end = static_cast<const uint8_t*>(std::memchr(body, 0, got));
      const size_t keyword = end != nullptr ? size_t(end - body) : 0;
      if (keyword >= 1 && keyword <= kMaxKeywordLength) {
        if (itxt)
          survey.UnknownCompression =
              keyword + 2 < got && body[keyword + 1] != 0 && body[keyword + 2] != 0;
        else
          survey.UnknownCompression = keyword + 1 < got && body[keyword + 1] != 0;
      }
    }
    at += int64_t(kChunkFrameBytes) + int64_t(length);
  }
  stream.Seek(start);
  return survey;
}

// Whether `dataBytes` of deflate data can inflate to the pixels of the header (every pixel is
// stored once, also when interlaced; filter bytes are left out of the count).
bool DataCanHoldImage(const TPngHeader& h, int samples, int64_t dataBytes) {
  const int64_t rowBytes = int64_t(h.Width) * samples * h.Depth / 8;
  if (rowBytes == 0) return true;
  return int64_t(h.Height) <= std::min(dataBytes, int64_t(1) << 40) * kMaxDeflateRatio / rowBytes;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Probe

bool ProbePng(TKvStream& stream) {
  uint8_t head[8];
  const int64_t start = stream.Position();
  const size_t got = stream.Read(head, sizeof head);
  stream.Seek(start);
  return got == sizeof head && std::memcmp(head, kPngSignature, sizeof kPngSignature) == 0;
}

// ---------------------------------------------------------------------------------------------
// Reader

namespace {

// How rows from the library reach the bitmap.
enum class TRowKind {
  Direct,       // straight into the bitmap row
  WithAlpha,    // 4 channels: colour to the bitmap, the fourth byte to the alpha plane
  OneBitColor,  // packed 1-bit palette indexes to kv24RGB colours
};

void CopyAlphaRow(const uint8_t* bgra, uint8_t* rgb, uint8_t* alpha, int width) {
  for (int x = 0; x < width; ++x) {
    rgb[0] = bgra[0];
    rgb[1] = bgra[1];
    rgb[2] = bgra[2];
    alpha[x] = bgra[3];
    bgra += 4;
    rgb += 3;
  }
}

void ExpandOneBitRow(const uint8_t* bits, uint8_t* rgb, int width,
                     const std::vector<TKvRGB>& colorMap) {
  const TKvRGB c0 = colorMap.size() > 0 ? colorMap[0] : TKvRGB{};
  const TKvRGB c1 = colorMap.size() > 1 ? colorMap[1] : TKvRGB{};
  TKvRGB* out = reinterpret_cast<TKvRGB*>(rgb);
  for (int x = 0; x < width; ++x) out[x] = (bits[x >> 3] & (0x80 >> (x & 7))) ? c1 : c0;
}

}  // namespace

void ReadPng(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, bool previewOnly,
             TKvProgressRec& progress) {
  TStreamBridge bridge{&stream, nullptr};
  TPngStatePtr s = NewState(false, &bridge);
  auto fail = [&]() {
    progress.Abort();
    s.reset();
    if (bridge.Error) std::rethrow_exception(bridge.Error);
  };
  const TChunkSurvey survey = SurveyChunks(stream);
  if (survey.UnknownCompression || survey.ChunkBeyondData) return fail();
  auto header = std::make_unique<TPngHeader>();
  TPngHeader& h = *header;
  if (!ShimCreateRead(s.get()) || !ShimReadInfo(s.get(), &h)) return fail();

  TKvPngParams& pp = params.Png;
  pp.TextKeys.clear();
  pp.TextValues.clear();
  png_textp texts = nullptr;
  const int textCount = png_get_text(s->Png, s->Info, &texts, nullptr);
  for (int i = 0; i < textCount && texts != nullptr; ++i) {
    pp.TextKeys.emplace_back(texts[i].key != nullptr ? texts[i].key : "");
    pp.TextValues.emplace_back(texts[i].text != nullptr ? texts[i].text : "");
  }
  if (h.HasBackground) pp.Background = BackgroundOf(h);

  const int depth = h.Depth, type = h.ColorType;
  const bool gray = (type & PNG_COLOR_MASK_COLOR) == 0;
  const bool palette = type == PNG_COLOR_TYPE_PALETTE;
  const bool native = params.IsNativePixelFormat && (depth == 8 || depth == 16) &&
                      (type == PNG_COLOR_TYPE_GRAY || palette);
  TPngReadSetup setup{};
  if (native) {
    setup.Swap16 = depth == 16;
  } else if (depth > 1) {
    setup.PaletteToRgb = palette;
    setup.ExpandGray = type == PNG_COLOR_TYPE_GRAY && depth < 8;
    setup.Strip16 = depth == 16;
    setup.Packing = depth < 8;
    setup.GrayToRgb = gray;
    setup.Bgr = true;
    setup.TrnsToAlpha = true;
  }
  if (!ShimSetupRead(s.get(), &setup)) return fail();

  const int width = int(h.Width), height = int(h.Height);
  params.Width = params.StoredWidth = width;
  params.Height = params.StoredHeight = height;
  params.BitsPerSample = depth;
  params.SamplesPerPixel = SamplesOf(type);
  params.SetDpiX(h.HasPhys && DpiFromPpm(h.PpmX) > 0 ? DpiFromPpm(h.PpmX) : kKvDefaultDpi);
  params.SetDpiY(h.HasPhys && DpiFromPpm(h.PpmY) > 0 ? DpiFromPpm(h.PpmY) : kKvDefaultDpi);
  params.FreeColorMap();
  if (palette) {
    std::vector<TKvRGB> map;
    for (int i = 0; i < h.PaletteCount; ++i)
      map.push_back(KvRGB(h.Palette[i].red, h.Palette[i].green, h.Palette[i].blue));
    params.SetColorMap(std::move(map));
  }
  pp.Interlaced = h.Interlace != PNG_INTERLACE_NONE;
  if (previewOnly) return;

  // Pixel format of the bitmap and the row size the library must deliver for it.
  TKvPixFormat format = kv24RGB;
  TRowKind kind = TRowKind::Direct;
  size_t expectedBytes = size_t(width) * 3;
  if (depth == 1 && gray) {
    format = kv1g;
    expectedBytes = (size_t(width) + 7) / 8;
  } else if (depth == 1) {
    kind = TRowKind::OneBitColor;
    expectedBytes = (size_t(width) + 7) / 8;
  } else if (native) {
    format = palette ? kv8p : depth == 8 ? kv8g : kv16g;
    expectedBytes = size_t(width) * (depth / 8);
  } else if (setup.Channels == 4) {
    kind = TRowKind::WithAlpha;
    expectedBytes = size_t(width) * 4;
  }
  if (setup.RowBytes != expectedBytes) return fail();
  if (!DataCanHoldImage(h, SamplesOf(type), survey.ImageDataBytes)) return fail();
  if (!bitmap.AllocateImage(width, height, format)) return fail();
  if (format == kv8p) {
    bitmap.PaletteUsed = 1 << depth;
    for (int i = 0; i < bitmap.PaletteLength(); ++i)
      bitmap.SetPaletteEntry(i, i < params.ColorMapCount ? params.ColorMap[size_t(i)] : TKvRGB{});
  }

  const int passes = std::max(1, setup.Passes);
  const bool interlaced = passes > 1;
  TKvBitmap* alpha = nullptr;
  // Scratch rows; interlaced files keep a whole image so that later passes add to earlier ones.
  std::vector<uint8_t> scratchRow;
  TKvBitmap scratchImage;
  if (kind == TRowKind::WithAlpha) {
    alpha = bitmap.AlphaPlane();
    if (alpha == nullptr) return fail();
    alpha->AlphaIsOpaque = false;
  }
  if (kind != TRowKind::Direct) {
    if (interlaced) {
      const TKvPixFormat scratchFormat = kind == TRowKind::WithAlpha ? kv32RGB : kv1g;
      if (!scratchImage.AllocateImage(width, height, scratchFormat)) return fail();
      scratchImage.FillWith(0);
    } else {
      scratchRow.assign(expectedBytes + 1, 0);
    }
  }

  progress.Begin(int64_t(height) * passes);
  bool ok = true;
  for (int pass = 0; pass < passes && ok; ++pass) {
    for (int y = 0; y < height; ++y) {
      if (kind == TRowKind::Direct) {
        ok = ShimReadRow(s.get(), bitmap.RowPtr(y));
      } else {
        uint8_t* raw = interlaced ? scratchImage.RowPtr(y) : scratchRow.data();
        ok = ShimReadRow(s.get(), raw);
        if (ok && kind == TRowKind::WithAlpha)
          CopyAlphaRow(raw, bitmap.RowPtr(y), alpha->RowPtr(y), width);
        else if (ok)
          ExpandOneBitRow(raw, bitmap.RowPtr(y), width, params.ColorMap);
      }
      if (!ok) break;
      ReportRow(progress);
      if (progress.IsAborting()) {
        ok = false;
        break;
      }
    }
  }
  if (!ok) return fail();
  if (!ShimReadEnd(s.get())) return fail();
  s.reset();
  if (bridge.Error) std::rethrow_exception(bridge.Error);
}

// ---------------------------------------------------------------------------------------------
// Writer

namespace {

// The colour of pixel x of a row of one of the formats the writer works on.
inline TKvRGB ColorAt(const uint8_t* row, int x, TKvPixFormat format, const TKvBitmap& image) {
  switch (format) {
    case kv1g:
      return (row[x >> 3] & (0x80 >> (x & 7))) ? KvRGB(255, 255, 255) : TKvRGB{};
    case kv8g:
      return KvRGB(row[x], row[x], row[x]);
    case kv8p:
      return image.GetPaletteEntry(row[x]);
    case kv16g: {
      const uint8_t hi = row[2 * x + 1];
      return KvRGB(hi, hi, hi);
    }
    default:
      return reinterpret_cast<const TKvRGB*>(row)[x];
  }
}

// Gray of a colour as the PNG writer's 1-bit rule compares colours (rounded, halves to even).
long GrayRounded(TKvRGB c) {
  return std::lrint((c.Red * 21 + c.Green * 71 + c.Blue * 8) / 100.0);
}

// The two-colour rule: an image of exactly two colours becomes a 1-bit copy whose bit 0 is the
// darker colour. Returns the two colours (darker first), or nothing for one or more than two.
std::optional<std::pair<TKvRGB, TKvRGB>> TwoColorCopy(TKvBitmap& source, TKvBitmap& out) {
  const int w = source.Width(), h = source.Height();
  const TKvPixFormat f = source.PixelFormat();
  TKvRGB first{}, second{};
  int found = 0;
  for (int y = 0; y < h && found <= 2; ++y) {
    const uint8_t* row = source.RowPtr(y);
    for (int x = 0; x < w; ++x) {
      const TKvRGB c = ColorAt(row, x, f, source);
      if (found == 0) {
        first = c;
        found = 1;
      } else if (!(c == first)) {
        if (found == 1) {
          second = c;
          found = 2;
        } else if (!(c == second)) {
          found = 3;
          break;
        }
      }
    }
  }
  if (found != 2 || !out.AllocateImage(w, h, kv1g)) return std::nullopt;
  const bool invert = GrayRounded(second) < GrayRounded(first);
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = source.RowPtr(y);
    std::vector<uint8_t> bits(size_t(out.RowLength()), 0);
    for (int x = 0; x < w; ++x) {
      const bool isSecond = !(ColorAt(row, x, f, source) == first);
      if (isSecond != invert) bits[size_t(x) >> 3] |= uint8_t(0x80 >> (x & 7));
    }
    std::memcpy(out.RowPtr(y), bits.data(), bits.size());
  }
  return invert ? std::make_pair(second, first) : std::make_pair(first, second);
}

bool MaskHasTransparency(const TKvMask* mask) {
  if (mask == nullptr || mask->IsEmpty() || mask->BitsPerPixel() != 8) return false;
  for (int y = 0; y < mask->Height(); ++y) {
    const uint8_t* row = mask->Row(y);
    for (int x = 0; x < mask->Width(); ++x)
      if (row[x] != kOpaque) return true;
  }
  return false;
}

int FilterOf(uint8_t filter) {
  switch (filter) {
    case 1:
      return PNG_FILTER_SUB;
    case 2:
      return PNG_FILTER_PAETH;
    default:
      return PNG_FILTER_NONE;
  }
}

// How the writer fills each row it hands to the library.
enum class TOutKind {
  Bits,                // the 1-bit rows (gray, or a palette of two colours)
  Gray,                // gray samples at 8 or 16 bits
  Palette,             // palette indexes
  PaletteTransparent,  // index + 1, or 0 (the transparent entry) where the mask is not opaque
  Rgb,                 // the kv24RGB row
  Rgba,                // blue, green, red and the mask value
};

bool WriterTakesAsIs(TKvPixFormat f) {
  return f == kv8g || f == kv8p || f == kv16g || f == kv24RGB;
}

// Index of the palette entry nearest to `c` (smallest squared distance, first on ties).
int NearestIndex(const TKvRGB* palette, int count, TKvRGB c) {
  int best = 0;
  long bestDistance = -1;
  for (int i = 0; i < count; ++i) {
    const long dr = long(palette[i].Red) - c.Red, dg = long(palette[i].Green) - c.Green,
               db = long(palette[i].Blue) - c.Blue;
    const long d = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || d < bestDistance) {
      best = i;
      bestDistance = d;
    }
  }
  return best;
}

// Everything the row loop needs to know about the file being written.
struct TWritePlan {
  TOutKind Kind = TOutKind::Rgb;
  TKvBitmap* Source = nullptr;
  std::unique_ptr<TKvQuantizer> Quantizer;
  std::vector<TKvRGB> Colors;  // the quantizer's palette
  int ColorCount = 0;          // entries the row indexes may use
  int Depth = 8;
};

// Palette index of a colour through the quantizer, kept inside the palette.
int PaletteIndex(const TWritePlan& plan, TKvRGB c) {
  const int i = plan.Quantizer->ColorIndex(c);
  if (i >= 0 && i < plan.ColorCount) return i;
  return NearestIndex(plan.Colors.data(), plan.ColorCount, c);
}

void FillRow(const TWritePlan& plan, const uint8_t* row, const uint8_t* maskRow, int width,
             uint8_t* out) {
  const TKvBitmap& src = *plan.Source;
  const TKvPixFormat f = src.PixelFormat();
  switch (plan.Kind) {
    case TOutKind::Bits:
      std::memcpy(out, row, (size_t(width) + 7) / 8);
      break;
    case TOutKind::Gray:
      for (int x = 0; x < width; ++x) {
        if (plan.Depth == 16) {
          const unsigned v = f == kv16g ? unsigned(row[2 * x]) | unsigned(row[2 * x + 1]) << 8
                                        : ColorAt(row, x, f, src).Red * 257u;
          out[2 * x] = uint8_t(v >> 8);  // PNG samples are big-endian
          out[2 * x + 1] = uint8_t(v);
        } else {
          out[x] = ColorAt(row, x, f, src).Red;
        }
      }
      break;
    case TOutKind::Palette:
      for (int x = 0; x < width; ++x)
        out[x] = f == kv8p ? row[x] : uint8_t(PaletteIndex(plan, ColorAt(row, x, f, src)));
      break;
    case TOutKind::PaletteTransparent:
      for (int x = 0; x < width; ++x)
        out[x] = maskRow[x] == kOpaque ? uint8_t(PaletteIndex(plan, ColorAt(row, x, f, src)) + 1)
                                       : uint8_t(0);
      break;
    case TOutKind::Rgb:
      std::memcpy(out, row, size_t(width) * 3);
      break;
    case TOutKind::Rgba:
      for (int x = 0; x < width; ++x) {
        std::memcpy(out + 4 * size_t(x), row + 3 * size_t(x), 3);
        out[4 * size_t(x) + 3] = maskRow[x];
      }
      break;
  }
}

}  // namespace

void WritePng(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, const TKvMask* mask,
              TKvProgressRec& progress) {
  TStreamBridge bridge{&stream, nullptr};
  TPngStatePtr s = NewState(true, &bridge);
  // A refusal of the library leaves the writer as EInvalidGraphic.
  auto raise = [&]() {
    progress.Abort();
    s.reset();
    if (bridge.Error) std::rethrow_exception(bridge.Error);
    throw EInvalidGraphic(kWriteErrorText);
  };
  if (!ShimCreateWrite(s.get())) return raise();

  const TKvPngParams& pp = params.Png;
  if (params.SamplesPerPixel == 1 && params.BitsPerSample != 1 && params.BitsPerSample != 8 &&
      params.BitsPerSample != 16)
    params.BitsPerSample = 8;
  if (bitmap.IsEmpty()) {
    progress.Abort();
    return;
  }
  const bool oneSample = params.SamplesPerPixel == 1;
  const int bits = params.BitsPerSample;
  const int width = bitmap.Width(), height = bitmap.Height();
  if (mask != nullptr && (mask->Width() != width || mask->Height() != height)) mask = nullptr;
  const bool transparent = MaskHasTransparency(mask);

  auto setup = std::make_unique<TPngWriteSetup>();
  TPngWriteSetup& w = *setup;
  w.Width = png_uint_32(width);
  w.Height = png_uint_32(height);
  w.Interlace = pp.Interlaced;
  w.PpmX = PpmFromDpi(params.DpiX());
  w.PpmY = PpmFromDpi(params.DpiY());
  w.Filter = FilterOf(pp.Filter);
  w.Compression = std::clamp(int(pp.Compression), -1, 9);
  auto setEntry = [&](int index, TKvRGB c) {
    w.Palette[index].red = c.Red;
    w.Palette[index].green = c.Green;
    w.Palette[index].blue = c.Blue;
  };
  const TKvRGB bg = pp.Background;
  auto setGrayBackground = [&](unsigned level) {
    w.HasBackground = true;
    w.Background.gray = png_uint_16(level);
  };
  auto setIndexBackground = [&](int index) {
    w.HasBackground = true;
    w.Background.index = png_byte(index);
  };

  TKvBitmap copy;
  TWritePlan plan;
  plan.Source = &bitmap;
  auto useCopyAs = [&](TKvPixFormat format) {
    copy.CopyFrom(bitmap);
    copy.ChangePixelFormat(format);
    plan.Source = &copy;
  };

  if (oneSample && bits == 1) {
    plan.Kind = TOutKind::Bits;
    w.Depth = plan.Depth = 1;
    w.ColorType = PNG_COLOR_TYPE_GRAY;
    std::optional<std::pair<TKvRGB, TKvRGB>> two;
    if (bitmap.PixelFormat() != kv1g) {
      two = TwoColorCopy(bitmap, copy);
      if (two)
        plan.Source = &copy;
      else
        useCopyAs(kv1g);
    }
    if (two && !(two->first == TKvRGB{} && two->second == KvRGB(255, 255, 255))) {
      // Two colours other than black and white stay as a 1-bit palette.
      w.ColorType = PNG_COLOR_TYPE_PALETTE;
      w.PaletteCount = 2;
      setEntry(0, two->first);
      setEntry(1, two->second);
      if (bg == two->first || bg == two->second) setIndexBackground(bg == two->first ? 0 : 1);
    } else {
      setGrayBackground(KvGray(bg) >= 128 ? 1 : 0);
    }
  } else {
    if (!WriterTakesAsIs(bitmap.PixelFormat())) useCopyAs(kv24RGB);
    if (oneSample) {
      if (transparent) {
        // Entry 0 is the transparent background; the image's colours follow.
        plan.Kind = TOutKind::PaletteTransparent;
        w.Depth = plan.Depth = 8;
        w.ColorType = PNG_COLOR_TYPE_PALETTE;
        const int u = std::min(bits >= 8 ? kMaxPalette : 1 << bits, kMaxPalette - 1);
        plan.Colors.assign(size_t(u), TKvRGB{});
        plan.Quantizer = std::make_unique<TKvQuantizer>(*plan.Source, u, std::span(plan.Colors));
        plan.ColorCount = u;
        setEntry(0, bg);
        for (int i = 0; i < u; ++i) setEntry(i + 1, plan.Colors[size_t(i)]);
        w.PaletteCount = std::min(u + 1, kMaxPalette);
        w.TransparentFirstEntry = true;
        setIndexBackground(0);
      } else {
        plan.Colors.assign(kMaxPalette, TKvRGB{});
        plan.Quantizer =
            std::make_unique<TKvQuantizer>(*plan.Source, kMaxPalette, std::span(plan.Colors));
        plan.ColorCount = kMaxPalette;
        if (plan.Quantizer->IsGray()) {
          plan.Kind = TOutKind::Gray;
          w.Depth = plan.Depth = bits;
          w.ColorType = PNG_COLOR_TYPE_GRAY;
          setGrayBackground(bits == 16 ? unsigned(KvGray(bg)) * 257u : unsigned(KvGray(bg)));
        } else {
          plan.Kind = TOutKind::Palette;
          w.Depth = plan.Depth = 8;  // the only palette depth that holds 256 entries
          w.ColorType = PNG_COLOR_TYPE_PALETTE;
          for (int i = 0; i < kMaxPalette; ++i) setEntry(i, plan.Colors[size_t(i)]);
          w.PaletteCount = kMaxPalette;
          setIndexBackground(PaletteIndex(plan, bg));
        }
      }
    } else {
      if (plan.Source->PixelFormat() != kv24RGB) useCopyAs(kv24RGB);
      plan.Kind = transparent ? TOutKind::Rgba : TOutKind::Rgb;
      w.Depth = plan.Depth = 8;
      w.ColorType = transparent ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
      w.HasBackground = true;
      w.Background.red = bg.Red;
      w.Background.green = bg.Green;
      w.Background.blue = bg.Blue;
    }
  }
  if (plan.Source->IsEmpty()) {
    progress.Abort();
    return;
  }

  // Text chunks: one uncompressed chunk per key and value; keys the format cannot hold are
  // left out rather than failing the save.
  std::vector<png_text> texts;
  const size_t pairs = std::min(pp.TextKeys.size(), pp.TextValues.size());
  for (size_t i = 0; i < pairs; ++i) {
    const std::string& key = pp.TextKeys[i];
    if (key.empty() || key.size() > kMaxKeywordLength) continue;
    png_text t{};
    t.compression = PNG_TEXT_COMPRESSION_NONE;
    t.key = const_cast<char*>(key.c_str());
    t.text = const_cast<char*>(pp.TextValues[i].c_str());
    t.text_length = pp.TextValues[i].size();
    texts.push_back(t);
  }
  w.Texts = texts.empty() ? nullptr : texts.data();
  w.TextCount = int(texts.size());
  if (!ShimWriteHeader(s.get(), &w)) return raise();

  const int passes = std::max(1, w.Passes);
  progress.Begin(int64_t(passes) * height);
  std::vector<uint8_t> line(size_t(width) * 4 + 8);
  for (int pass = 0; pass < passes && !progress.IsAborting(); ++pass) {
    for (int y = 0; y < height; ++y) {
      FillRow(plan, plan.Source->RowPtr(y), mask != nullptr ? mask->Row(y) : nullptr, width,
              line.data());
      if (!ShimWriteRow(s.get(), line.data())) return raise();
      if (s->ShortWrite) progress.Abort();
      ReportRow(progress);
      if (progress.IsAborting()) break;
    }
  }
  if (!progress.IsAborting() && !ShimWriteEnd(s.get())) return raise();
  if (s->ShortWrite) progress.Abort();
  s.reset();
  if (bridge.Error) std::rethrow_exception(bridge.Error);
}

// ---------------------------------------------------------------------------------------------
// Registration

namespace {

// The file writer's entry: the image's alpha plane becomes the transparency mask.
void WritePngFile(TKvStream& stream, TKvBitmap& image, TKvIOParams& params,
                  TKvProgressRec& progress) {
  const TKvBitmap* alpha = image.ExistingAlphaPlane();
  if (alpha == nullptr || alpha->IsEmpty() || alpha->PixelFormat() != kv8g) {
    WritePng(stream, image, params, nullptr, progress);
    return;
  }
  TKvMask mask(alpha->Width(), alpha->Height(), 8);
  for (int y = 0; y < alpha->Height(); ++y)
    std::memcpy(mask.Row(y), alpha->RowPtr(y), size_t(alpha->Width()));
  WritePng(stream, image, params, &mask, progress);
}

}  // namespace

void KvRegisterPngCodec() {
  TKvCodec codec;
  codec.FileType = kvftPNG;
  codec.Read = ReadPng;
  codec.Write = WritePngFile;
  codec.Probe = ProbePng;
  codec.WriterKeeps = kKvAllFormats;
  KvRegisterCodec(codec);
}
