// PNG codec: bit-exact round trips for every pixel format and option the writer has, the header
// and chunks it writes, the reader's transformations and parameters, damaged input, and the
// corpus (compared with a plain libpng decode of each file).
#include "io/codecs/kvpng.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "image/kvbitmap.h"
#include "image/kvconvert.h"
#include "io/codec_helpers.h"
#include "io/corpus.h"
#include "io/kvcodec.h"
#include "io/kvio.h"
#include "io/kvioparams.h"
#include "io/kvstream.h"

namespace {

using kvtest::PatternByte;
using kvtest::SamePixels;

struct TProgress {
  bool aborting = false;
  std::vector<int> percents;
  TKvProgressRec rec;
  TProgress() {
    rec.Aborting = &aborting;
    rec.Handler = [this](void*, int32_t p) { percents.push_back(p); };
  }
};

std::vector<uint8_t> Encode(TKvBitmap& image, TKvIOParams& params, const TKvMask* mask = nullptr,
                            bool* aborted = nullptr) {
  TKvMemoryStream out;
  TProgress progress;
  WritePng(out, image, params, mask, progress.rec);
  if (aborted != nullptr) *aborted = progress.aborting;
  return out.TakeBytes();
}

// Reads `bytes`; returns whether the read succeeded.
bool Decode(const std::vector<uint8_t>& bytes, TKvBitmap& image, TKvIOParams& params,
            bool native = false) {
  params.IsNativePixelFormat = native;
  return !kvtest::ReadBytes(ReadPng, bytes, image, params);
}

uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct TChunk {
  std::string type;
  std::vector<uint8_t> data;
};

std::vector<TChunk> Chunks(const std::vector<uint8_t>& file) {
  std::vector<TChunk> out;
  size_t p = 8;
  while (p + 12 <= file.size()) {
    const size_t length = Be32(&file[p]);
    if (p + 12 + length > file.size()) break;
    out.push_back(
        {std::string(file.begin() + long(p + 4), file.begin() + long(p + 8)),
         std::vector<uint8_t>(file.begin() + long(p + 8), file.begin() + long(p + 8 + length))});
    p += 12 + length;
  }
  return out;
}

std::optional<TChunk> FindChunk(const std::vector<uint8_t>& file, const std::string& type) {
  for (TChunk& c : Chunks(file))
    if (c.type == type) return c;
  return std::nullopt;
}

struct THeader {
  int depth = -1, colorType = -1, interlace = -1;
};

THeader HeaderOf(const std::vector<uint8_t>& file) {
  const auto ihdr = FindChunk(file, "IHDR");
  if (!ihdr || ihdr->data.size() != 13) return {};
  return {ihdr->data[8], ihdr->data[9], ihdr->data[12]};
}

// --- Source images ----------------------------------------------------------------------------

constexpr int kW = 19, kH = 11;  // odd sizes: partial bytes and Adam7 passes with gaps

void Noise24(TKvBitmap& b) {
  b.AllocateImage(kW, kH, kv24RGB);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      b.SetRGB(x, y, KvRGB(PatternByte(x, y, 1), PatternByte(x, y, 2), PatternByte(x, y, 3)));
}

// At most 12 distinct colours (an exact palette).
void FewColors(TKvBitmap& b) {
  b.AllocateImage(kW, kH, kv24RGB);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const int k = PatternByte(x, y) % 12;
      b.SetRGB(x, y, KvRGB(uint8_t(k * 20), uint8_t(255 - k * 17), uint8_t(k * 7 + 30)));
    }
}

void Bits(TKvBitmap& b) {
  b.AllocateImage(kW, kH, kv1g);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) b.SetBit(x, y, PatternByte(x, y) & 1);
}

void TwoColors(TKvBitmap& b, TKvRGB first, TKvRGB second) {
  b.AllocateImage(kW, kH, kv24RGB);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) b.SetRGB(x, y, (PatternByte(x, y) & 1) ? second : first);
}

void Gray8(TKvBitmap& b) {
  b.AllocateImage(kW, kH, kv8g);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) b.SetByte(x, y, PatternByte(x, y));
}

void Gray16(TKvBitmap& b) {
  b.AllocateImage(kW, kH, kv16g);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      b.SetWord(x, y, uint16_t(PatternByte(x, y) << 8 | PatternByte(x, y, 9)));
}

void GrayAsRgb(TKvBitmap& b) {
  b.AllocateImage(kW, kH, kv24RGB);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const uint8_t g = PatternByte(x, y);
      b.SetRGB(x, y, KvRGB(g, g, g));
    }
}

void Palette8(TKvBitmap& b) {
  b.AllocateImage(kW, kH, kv8p);
  for (int i = 0; i < 256; ++i) b.SetPaletteEntry(i, KvRGB(uint8_t(i), uint8_t(255 - i), 77));
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) b.SetByte(x, y, PatternByte(x, y));
}

TKvMask AlphaMask(int salt, bool binary) {
  TKvMask m(kW, kH, 8);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const uint8_t v = PatternByte(x, y, salt);
      m.Set(x, y, binary ? (v & 1 ? 255 : 0) : v);
    }
  return m;
}

// The expected colour of every pixel of `b`.
std::vector<TKvRGB> Colors(TKvBitmap& b) {
  std::vector<TKvRGB> out;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) out.push_back(b.GetPixelRGB(x, y));
  return out;
}

// --- Round trips ------------------------------------------------------------------------------

struct TRoundTrip {
  const char* name;
  void (*make)(TKvBitmap&);
  int samples, bits;
  bool interlaced;
  int depth, colorType;  // expected header
  bool native;           // read back with the native pixel format
  TKvPixFormat readFormat;
};
void PrintTo(const TRoundTrip& c, std::ostream* os) {
  *os << c.name;
}

void MakeTwoColors(TKvBitmap& b) {
  TwoColors(b, KvRGB(255, 255, 255), KvRGB(10, 20, 120));  // white first, dark blue second
}
void MakeBlackWhite(TKvBitmap& b) {
  TwoColors(b, KvRGB(255, 255, 255), KvRGB(0, 0, 0));
}

class PngRoundTrip : public ::testing::TestWithParam<TRoundTrip> {};

TEST_P(PngRoundTrip, IsBitExact) {
  const TRoundTrip& c = GetParam();
  TKvBitmap source;
  c.make(source);
  ASSERT_FALSE(source.IsEmpty());
  TKvIOParams params;
  params.SamplesPerPixel = c.samples;
  params.BitsPerSample = c.bits;
  params.Png.Interlaced = c.interlaced;
  bool aborted = true;
  const std::vector<uint8_t> file = Encode(source, params, nullptr, &aborted);
  ASSERT_FALSE(aborted);
  const THeader h = HeaderOf(file);
  EXPECT_EQ(h.depth, c.depth);
  EXPECT_EQ(h.colorType, c.colorType);
  EXPECT_EQ(h.interlace, c.interlaced ? 1 : 0);

  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back, c.native));
  ASSERT_EQ(image.PixelFormat(), c.readFormat);
  EXPECT_EQ(back.Png.Interlaced, c.interlaced);
  EXPECT_EQ(back.BitsPerSample, c.depth);
  EXPECT_FALSE(image.HasAlphaPlane());
  if (image.PixelFormat() == source.PixelFormat() && image.PixelFormat() != kv8p) {
    EXPECT_TRUE(SamePixels(image, source));
  }
  EXPECT_EQ(Colors(image), Colors(source));
  if (c.native && source.PixelFormat() == kv8p) {
    EXPECT_TRUE(SamePixels(image, source));  // the very indexes
    EXPECT_EQ(image.PaletteUsed, 256);
  }
}

#define KV_ROUND_TRIPS(suffix, interlaced)                                                      \
  TRoundTrip{"rgb" suffix, Noise24, 3, 8, interlaced, 8, 2, false, kv24RGB},                    \
      TRoundTrip{"one_bit" suffix, Bits, 1, 1, interlaced, 1, 0, false, kv1g},                  \
      TRoundTrip{"two_colours" suffix, MakeTwoColors, 1, 1, interlaced, 1, 3, false, kv24RGB},  \
      TRoundTrip{"black_white" suffix, MakeBlackWhite, 1, 1, interlaced, 1, 0, false, kv1g},    \
      TRoundTrip{"gray8_native" suffix, Gray8, 1, 8, interlaced, 8, 0, true, kv8g},             \
      TRoundTrip{"gray8" suffix, Gray8, 1, 8, interlaced, 8, 0, false, kv24RGB},                \
      TRoundTrip{"gray16_native" suffix, Gray16, 1, 16, interlaced, 16, 0, true, kv16g},        \
      TRoundTrip{"gray_rgb_as_16" suffix, GrayAsRgb, 1, 16, interlaced, 16, 0, false, kv24RGB}, \
      TRoundTrip{"palette" suffix, FewColors, 1, 8, interlaced, 8, 3, false, kv24RGB},          \
      TRoundTrip{"palette_native" suffix, FewColors, 1, 8, interlaced, 8, 3, true, kv8p},       \
      TRoundTrip{"kv8p_native" suffix, Palette8, 1, 8, interlaced, 8, 3, true, kv8p},           \
      TRoundTrip{"one_bit_as_rgb" suffix, Bits, 3, 8, interlaced, 8, 2, false, kv24RGB},        \
      TRoundTrip {                                                                              \
    "gray8_as_rgb" suffix, Gray8, 3, 8, interlaced, 8, 2, false, kv24RGB                        \
  }

INSTANTIATE_TEST_SUITE_P(Formats, PngRoundTrip,
                         ::testing::Values(KV_ROUND_TRIPS("", false),
                                           KV_ROUND_TRIPS("_interlaced", true)),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Png, SixteenBitGrayFromColourRowsSpansTheFullRange) {
  TKvBitmap source;
  GrayAsRgb(source);
  TKvIOParams params;
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 16;
  TKvBitmap image;
  TKvIOParams back;
  ASSERT_TRUE(Decode(Encode(source, params), image, back, true));
  ASSERT_EQ(image.PixelFormat(), kv16g);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) ASSERT_EQ(image.GetWord(x, y), source.GetRGB(x, y).Red * 257);
}

TEST(Png, OtherBitDepthsForOneSampleBecomeEight) {
  TKvBitmap source;
  Gray8(source);
  for (int bits : {2, 4, 5}) {
    TKvIOParams params;
    params.SamplesPerPixel = 1;
    params.BitsPerSample = bits;
    const std::vector<uint8_t> file = Encode(source, params);
    EXPECT_EQ(params.BitsPerSample, 8);
    EXPECT_EQ(HeaderOf(file).depth, 8);
  }
}

TEST(Png, ColourPaletteIsEightBitsEvenWhenSixteenWereLoaded) {
  TKvBitmap source;
  FewColors(source);
  TKvIOParams params;
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 16;  // as left by loading a 16-bit gray file
  const std::vector<uint8_t> file = Encode(source, params);
  EXPECT_EQ(HeaderOf(file).colorType, 3);
  EXPECT_EQ(HeaderOf(file).depth, 8);
  TKvBitmap image;
  TKvIOParams back;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(Colors(image), Colors(source));
}

TEST(Png, GrayPaletteImageIsWrittenAsItsGrayLevels) {
  TKvBitmap source;
  Palette8(source);
  for (int i = 0; i < 256; ++i)
    source.SetPaletteEntry(i, KvRGB(uint8_t(255 - i), uint8_t(255 - i), uint8_t(255 - i)));
  TKvIOParams params;
  params.SamplesPerPixel = 1;
  const std::vector<uint8_t> file = Encode(source, params);
  EXPECT_EQ(HeaderOf(file).colorType, 0);
  TKvBitmap image;
  TKvIOParams back;
  ASSERT_TRUE(Decode(file, image, back, true));
  ASSERT_EQ(image.PixelFormat(), kv8g);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) ASSERT_EQ(image.GetByte(x, y), 255 - source.GetByte(x, y));
}

TEST(Png, AlphaBecomesRgbaAndComesBackAsTheAlphaPlane) {
  for (bool interlaced : {false, true}) {
    TKvBitmap source;
    Noise24(source);
    const TKvMask mask = AlphaMask(5, false);
    TKvIOParams params;
    params.Png.Interlaced = interlaced;
    const std::vector<uint8_t> file = Encode(source, params, &mask);
    EXPECT_EQ(HeaderOf(file).colorType, 6);
    TKvIOParams back;
    TKvBitmap image;
    ASSERT_TRUE(Decode(file, image, back));
    EXPECT_EQ(back.SamplesPerPixel, 4);
    EXPECT_TRUE(SamePixels(image, source));
    ASSERT_TRUE(image.HasAlphaPlane());
    EXPECT_FALSE(image.AlphaPlane()->AlphaIsOpaque);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) ASSERT_EQ(image.AlphaPlane()->GetByte(x, y), mask.Get(x, y));
  }
}

TEST(Png, OpaqueMaskGivesAnRgbFile) {
  TKvBitmap source;
  Noise24(source);
  TKvMask mask(kW, kH, 8);
  mask.Fill(255);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params, &mask);
  EXPECT_EQ(HeaderOf(file).colorType, 2);
  TKvBitmap image;
  TKvIOParams back;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_FALSE(image.HasAlphaPlane());
}

TEST(Png, TransparentPaletteKeepsColoursAndMarksEntryZero) {
  for (bool kv8pSource : {false, true}) {
    TKvBitmap source;
    FewColors(source);
    if (kv8pSource) source.ChangePixelFormat(kv8p);
    const TKvMask mask = AlphaMask(3, true);
    TKvIOParams params;
    params.SamplesPerPixel = 1;
    params.Png.Background = KvRGB(1, 2, 3);
    const std::vector<uint8_t> file = Encode(source, params, &mask);
    EXPECT_EQ(HeaderOf(file).colorType, 3);
    EXPECT_EQ(HeaderOf(file).depth, 8);
    const auto plte = FindChunk(file, "PLTE");
    ASSERT_TRUE(plte);
    EXPECT_EQ(plte->data.size(), 256u * 3);
    EXPECT_EQ(std::vector<uint8_t>(plte->data.begin(), plte->data.begin() + 3),
              (std::vector<uint8_t>{1, 2, 3}));
    const auto trns = FindChunk(file, "tRNS");
    ASSERT_TRUE(trns);
    EXPECT_EQ(trns->data, std::vector<uint8_t>{0});

    TKvBitmap image;
    TKvIOParams back;
    ASSERT_TRUE(Decode(file, image, back));
    ASSERT_EQ(image.PixelFormat(), kv24RGB);
    ASSERT_TRUE(image.HasAlphaPlane());
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const bool opaque = mask.Get(x, y) == 255;
        ASSERT_EQ(image.AlphaPlane()->GetByte(x, y), opaque ? 255 : 0);
        ASSERT_EQ(image.GetRGB(x, y), opaque ? source.GetPixelRGB(x, y) : KvRGB(1, 2, 3))
            << x << "," << y << " kv8p " << kv8pSource;
      }
  }
}

TEST(Png, ManyColoursWithOneSampleAreQuantized) {
  TKvBitmap source;
  Noise24(source);  // more than 256 colours
  TKvIOParams params;
  params.SamplesPerPixel = 1;
  const std::vector<uint8_t> file = Encode(source, params);
  EXPECT_EQ(HeaderOf(file).colorType, 3);
  const auto plte = FindChunk(file, "PLTE");
  ASSERT_TRUE(plte);
  EXPECT_EQ(plte->data.size(), 256u * 3);
  TKvBitmap image;
  TKvIOParams back;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(image.Width(), kW);
  EXPECT_EQ(back.ColorMapCount, 256);
}

TEST(Png, OtherPixelFormatsAreWrittenAsColour) {
  TKvBitmap rgb;
  Noise24(rgb);
  TKvBitmap cmyk;
  cmyk.CopyFrom(rgb);
  cmyk.ChangePixelFormat(kvCMYK);
  TKvBitmap expected;
  expected.CopyFrom(cmyk);
  expected.ChangePixelFormat(kv24RGB);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(cmyk, params);
  EXPECT_EQ(cmyk.PixelFormat(), kvCMYK);  // the caller's image is left alone
  TKvBitmap image;
  TKvIOParams back;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_TRUE(SamePixels(image, expected));
}

TEST(Png, FiltersAndCompressionLevelsStayLossless) {
  TKvBitmap source;
  Noise24(source);
  for (uint8_t filter : {0, 1, 2})
    for (int level : {0, 5, 9}) {
      TKvIOParams params;
      params.Png.Filter = filter;
      params.Png.Compression = level;
      TKvBitmap image;
      TKvIOParams back;
      ASSERT_TRUE(Decode(Encode(source, params), image, back));
      EXPECT_TRUE(SamePixels(image, source)) << int(filter) << " " << level;
    }
}

// The filter byte of every row of a non-interlaced file's image data.
std::vector<int> FilterBytes(const std::vector<uint8_t>& file, size_t rowBytes, int rows) {
  std::vector<uint8_t> packed;
  for (const TChunk& c : Chunks(file))
    if (c.type == "IDAT") packed.insert(packed.end(), c.data.begin(), c.data.end());
  std::vector<uint8_t> raw((rowBytes + 1) * size_t(rows));
  uLongf size = uLongf(raw.size());
  if (uncompress(raw.data(), &size, packed.data(), uLong(packed.size())) != Z_OK) return {};
  std::vector<int> out;
  for (int y = 0; y < rows; ++y) out.push_back(raw[(rowBytes + 1) * size_t(y)]);
  return out;
}

TEST(Png, DefaultWriteIsRgbLevelFiveUnfilteredNotInterlaced) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  const THeader h = HeaderOf(file);
  EXPECT_EQ(h.depth, 8);
  EXPECT_EQ(h.colorType, 2);
  EXPECT_EQ(h.interlace, 0);
  EXPECT_EQ(FilterBytes(file, kW * 3, kH), std::vector<int>(kH, 0));
  // zlib header: compression levels 2 to 5 are flagged as "fast" (FLEVEL 1).
  const auto idat = FindChunk(file, "IDAT");
  ASSERT_TRUE(idat);
  EXPECT_EQ(idat->data[1] >> 6, 1);

  params.Png.Filter = 1;
  EXPECT_EQ(FilterBytes(Encode(source, params), kW * 3, kH), std::vector<int>(kH, 1));
  params.Png.Filter = 2;
  EXPECT_EQ(FilterBytes(Encode(source, params), kW * 3, kH), std::vector<int>(kH, 4));
}

TEST(Png, PhysicalSizeInPixelsPerMetre) {
  TKvBitmap source;
  Noise24(source);
  struct TCase {
    int dpiX, dpiY;
    uint32_t ppmX, ppmY;
    int backX, backY;
  };
  for (const TCase& c : {TCase{300, 300, 11811, 11811, 300, 300},
                         TCase{72, 150, 2835, 5906, 72, 150}, TCase{0, 0, 0, 0, 300, 300}}) {
    TKvIOParams params;
    params.SetDpiX(c.dpiX);
    params.SetDpiY(c.dpiY);
    const std::vector<uint8_t> file = Encode(source, params);
    const auto phys = FindChunk(file, "pHYs");
    ASSERT_TRUE(phys);
    EXPECT_EQ(Be32(&phys->data[0]), c.ppmX);
    EXPECT_EQ(Be32(&phys->data[4]), c.ppmY);
    EXPECT_EQ(phys->data[8], 1);  // metre
    TKvIOParams back;
    TKvBitmap image;
    ASSERT_TRUE(Decode(file, image, back));
    EXPECT_EQ(back.DpiX(), c.backX);
    EXPECT_EQ(back.DpiY(), c.backY);
  }
}

TEST(Png, FileWithoutPhysicalSizeReadsAsDefaultResolution) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  std::vector<uint8_t> file = Encode(source, params);
  // Drop the pHYs chunk.
  const auto at = std::search(file.begin(), file.end(), "pHYs", "pHYs" + 4);
  ASSERT_NE(at, file.end());
  file.erase(at - 4, at + 4 + 9 + 4);
  ASSERT_FALSE(FindChunk(file, "pHYs"));
  TKvIOParams back;
  back.SetDpiX(55);
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(back.DpiX(), 300);
  EXPECT_EQ(back.DpiY(), 300);
}

TEST(Png, TextChunksInOrder) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  params.Png.TextKeys = {"Title", "Author", "", "Extra"};
  params.Png.TextValues = {"A page", "Someone", "dropped: empty key"};
  const std::vector<uint8_t> file = Encode(source, params);
  int texts = 0;
  for (const TChunk& c : Chunks(file)) texts += c.type == "tEXt";
  EXPECT_EQ(texts, 2);
  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(back.Png.TextKeys, (std::vector<std::string>{"Title", "Author"}));
  EXPECT_EQ(back.Png.TextValues, (std::vector<std::string>{"A page", "Someone"}));
}

TEST(Png, BackgroundChunkAtTheImagesDepth) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  params.Png.Background = KvRGB(10, 20, 30);
  std::vector<uint8_t> file = Encode(source, params);
  const auto bkgd = FindChunk(file, "bKGD");
  ASSERT_TRUE(bkgd);
  EXPECT_EQ(bkgd->data, (std::vector<uint8_t>{0, 10, 0, 20, 0, 30}));
  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(back.Png.Background, KvRGB(10, 20, 30));

  // Gray files: the gray level; palette files: the entry.
  Gray8(source);
  params.SamplesPerPixel = 1;
  params.Png.Background = KvRGB(90, 90, 90);
  ASSERT_TRUE(Decode(Encode(source, params), image, back));
  EXPECT_EQ(back.Png.Background, KvRGB(90, 90, 90));
  FewColors(source);
  params.Png.Background = source.GetRGB(0, 0);
  ASSERT_TRUE(Decode(Encode(source, params), image, back));
  EXPECT_EQ(back.Png.Background, source.GetRGB(0, 0));
}

TEST(Png, ReaderParametersOfAPaletteFile) {
  TKvBitmap source;
  FewColors(source);
  TKvIOParams params;
  params.SamplesPerPixel = 1;
  const std::vector<uint8_t> file = Encode(source, params);
  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back, true));
  EXPECT_EQ(back.SamplesPerPixel, 1);
  EXPECT_EQ(back.BitsPerSample, 8);
  EXPECT_EQ(back.Width, kW);
  EXPECT_EQ(back.StoredHeight, kH);
  ASSERT_EQ(back.ColorMapCount, int(FindChunk(file, "PLTE")->data.size() / 3));
  for (int i = 0; i < image.PaletteLength() && i < back.ColorMapCount; ++i)
    EXPECT_EQ(image.GetPaletteEntry(i), back.ColorMap[size_t(i)]);
  // A later RGB read frees the colour map.
  Noise24(source);
  TKvIOParams rgb;
  ASSERT_TRUE(Decode(Encode(source, rgb), image, back));
  EXPECT_EQ(back.ColorMapCount, 0);
  EXPECT_EQ(back.SamplesPerPixel, 3);
}

TEST(Png, SixteenBitGrayWithoutNativeKeepsTheHighBytes) {
  TKvBitmap source;
  Gray16(source);
  TKvIOParams params;
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 16;
  TKvBitmap image;
  TKvIOParams back;
  ASSERT_TRUE(Decode(Encode(source, params), image, back));
  ASSERT_EQ(image.PixelFormat(), kv24RGB);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) ASSERT_EQ(image.GetRGB(x, y).Red, source.GetWord(x, y) >> 8);
}

TEST(Png, PreviewReadsTheHeaderOnly) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  TKvIOParams back;
  TKvBitmap image;
  EXPECT_FALSE(kvtest::ReadBytes(ReadPng, file, image, back, true));
  EXPECT_TRUE(image.IsEmpty());
  EXPECT_EQ(back.Width, kW);
  EXPECT_EQ(back.Height, kH);
  EXPECT_EQ(back.SamplesPerPixel, 3);
}

TEST(Png, ProbeLooksAtTheSignature) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  TKvMemoryStream good(file.data(), file.size());
  EXPECT_TRUE(ProbePng(good));
  EXPECT_EQ(good.Position(), 0);
  const std::vector<uint8_t> other = kvtest::Bytes("GIF89a....");
  TKvMemoryStream bad(other.data(), other.size());
  EXPECT_FALSE(ProbePng(bad));
  TKvMemoryStream tiny(file.data(), 5);
  EXPECT_FALSE(ProbePng(tiny));
}

TEST(Png, DamagedInputSetsAborting) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  std::vector<std::vector<uint8_t>> cases;
  cases.push_back({});
  cases.push_back(kvtest::Bytes("not a png at all"));
  cases.push_back(std::vector<uint8_t>(file.begin(), file.begin() + 8));
  cases.push_back(std::vector<uint8_t>(file.begin(), file.end() - 40));  // image data cut
  std::vector<uint8_t> badCrc = file;
  badCrc[29] ^= 0xFF;  // the IHDR checksum
  cases.push_back(badCrc);
  for (size_t i = 0; i < cases.size(); ++i) {
    TKvIOParams back;
    TKvBitmap image;
    EXPECT_FALSE(Decode(cases[i], image, back)) << "case " << i;
  }
}

// A file with one more chunk, `body` under `type`, inserted right behind IHDR; the chunk's
// checksum is right unless `breakCrc`.
std::vector<uint8_t> WithChunkAfterHeader(const std::vector<uint8_t>& file, const char* type,
                                          const std::vector<uint8_t>& body, bool breakCrc) {
  const uint32_t n = uint32_t(body.size());
  std::vector<uint8_t> chunk = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  chunk.insert(chunk.end(), type, type + 4);
  chunk.insert(chunk.end(), body.begin(), body.end());
  uint32_t crc = uint32_t(crc32(0, chunk.data() + 4, uInt(chunk.size() - 4)));
  if (breakCrc) crc ^= 1;
  for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(uint8_t(crc >> shift));
  std::vector<uint8_t> out = file;
  const size_t afterHeader = 8 + 12 + 13;
  out.insert(out.begin() + long(afterHeader), chunk.begin(), chunk.end());
  return out;
}

// Compressed chunk data name their method, and only method 0 exists: a file that declares
// another one is refused, whether its checksum is right or not (the library alone would drop
// the chunk and load the file). Method 0 with a wrong checksum is only a damaged extra chunk.
TEST(Png, UnknownCompressionMethodOfACompressedChunkFails) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  const std::vector<uint8_t> deflated = {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
  auto body = [&](const std::string& head) {
    std::vector<uint8_t> b(head.begin(), head.end());
    b.insert(b.end(), deflated.begin(), deflated.end());
    return b;
  };
  using namespace std::string_literals;
  struct TCase {
    const char* type;
    std::string head;  // keyword, terminator and method bytes
    bool breakCrc;
    bool loads;
  } cases[] = {
      {"iCCP", "Profile\0\1"s, false, false},      {"iCCP", "Profile\0\1"s, true, false},
      {"iCCP", "Profile\0\0"s, true, true},        {"zTXt", "Comment\0\x7F"s, false, false},
      {"zTXt", "Comment\0\0"s, false, true},       {"iTXt", "Comment\0\1\2\0\0"s, false, false},
      {"iTXt", "Comment\0\0\2\0\0"s, false, true},  // not compressed: the method is unused
      {"iTXt", "Comment\0\1\0\0\0"s, false, true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const TCase& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    TKvIOParams back;
    TKvBitmap image;
    const auto bytes = WithChunkAfterHeader(file, c.type, body(c.head), c.breakCrc);
    EXPECT_EQ(Decode(bytes, image, back), c.loads);
    TKvIOParams preview;
    EXPECT_EQ(!kvtest::ReadBytes(ReadPng, bytes, image, preview, true), c.loads);
  }
}

// Image data are deflate data, which expand 1032 times at most: a header declaring more pixels
// than its data can inflate to is refused before anything is allocated; the header alone
// still previews. A flat page, the best case of deflate, loads.
TEST(Png, HeaderLargerThanItsDataCanHoldFails) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  std::vector<uint8_t> file = Encode(source, params);
  constexpr uint32_t kDeclared = 3000;  // 27 MB of pixels from well under 1 KB of data
  for (const size_t at : {size_t(16), size_t(20)})
    for (int i = 0; i < 4; ++i) file[at + size_t(i)] = uint8_t(kDeclared >> (24 - 8 * i));
  const uint32_t crc = uint32_t(crc32(0, file.data() + 12, 17));
  for (int i = 0; i < 4; ++i) file[29 + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
  TKvBitmap image;
  TKvIOParams back;
  EXPECT_FALSE(Decode(file, image, back));
  EXPECT_TRUE(image.IsEmpty());
  TKvIOParams preview;
  EXPECT_FALSE(kvtest::ReadBytes(ReadPng, file, image, preview, true));
  EXPECT_EQ(preview.Width, int(kDeclared));

  TKvBitmap flat;
  ASSERT_TRUE(flat.AllocateImage(2000, 1000, kv24RGB));
  flat.FillWith(255);
  TKvIOParams flatParams;
  flatParams.Png.Compression = 9;
  const std::vector<uint8_t> flatFile = Encode(flat, flatParams);
  TKvBitmap flatBack;
  TKvIOParams flatBackParams;
  EXPECT_TRUE(Decode(flatFile, flatBack, flatBackParams));
  EXPECT_EQ(flatBack.Width(), 2000);
}

// A chunk declaring more bytes than the file has left fails the read before the library
// allocates the declared length (here 1 GiB for a text chunk of a file of a few hundred bytes).
TEST(Png, ChunkLongerThanTheDataFails) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  std::vector<uint8_t> bytes =
      WithChunkAfterHeader(file, "zTXt", {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0}, false);
  constexpr size_t kLengthAt = 8 + 12 + 13;
  bytes[kLengthAt] = 0x40;  // 0x40000009 bytes
  TKvBitmap image;
  TKvIOParams back;
  EXPECT_FALSE(Decode(bytes, image, back));
  TKvIOParams preview;
  EXPECT_TRUE(kvtest::ReadBytes(ReadPng, bytes, image, preview, true));
}

TEST(Png, ShortWriteSetsAborting) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  params.Png.Compression = 0;
  TKvMemoryStream out;
  out.WriteLimit = 200;
  TProgress progress;
  WritePng(out, source, params, nullptr, progress.rec);
  EXPECT_TRUE(progress.aborting);
}

TEST(Png, LibraryRefusalRaisesInvalidGraphic) {
  TKvBitmap wide;
  ASSERT_TRUE(wide.AllocateImage(1000001, 1, kv1g));  // beyond the library's width limit
  wide.FillWith(0);
  TKvIOParams params;
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 1;
  TKvMemoryStream out;
  TProgress progress;
  try {
    WritePng(out, wide, params, nullptr, progress.rec);
    FAIL() << "no exception";
  } catch (const EInvalidGraphic& e) {
    EXPECT_STREQ(e.what(), "Error on creating PNG");
  }
}

TEST(Png, ProgressCountsEveryPass) {
  TKvBitmap source;
  Noise24(source);
  TKvIOParams params;
  params.Png.Interlaced = true;
  TKvMemoryStream out;
  TProgress wp;
  WritePng(out, source, params, nullptr, wp.rec);
  ASSERT_FALSE(wp.percents.empty());
  EXPECT_EQ(wp.percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(wp.percents.begin(), wp.percents.end()));
  TProgress rp;
  TKvMemoryStream in(out.Bytes().data(), out.Bytes().size());
  TKvBitmap image;
  ReadPng(in, image, params, false, rp.rec);
  ASSERT_FALSE(rp.percents.empty());
  EXPECT_EQ(rp.percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(rp.percents.begin(), rp.percents.end()));
}

TEST(Png, SaveAndLoadThroughTheComponentKeepsAlpha) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kvpng_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  TKvIO io;
  TKvBitmap& image = *io.TargetImage();
  Noise24(image);
  TKvBitmap* alpha = image.AlphaPlane();
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) alpha->SetByte(x, y, uint8_t(x * 10));
  const std::string name = (dir / "page.PNG").string();
  io.SaveToFile(name);
  EXPECT_FALSE(io.Aborting);
  TKvIO reader;
  reader.LoadFromFile(name);
  EXPECT_FALSE(reader.Aborting);
  EXPECT_EQ(reader.Params.FileType, kvftPNG);
  TKvBitmap& loaded = *reader.TargetImage();
  EXPECT_TRUE(SamePixels(loaded, image));
  ASSERT_TRUE(loaded.HasAlphaPlane());
  EXPECT_EQ(loaded.AlphaPlane()->GetByte(7, 3), 70);
  std::filesystem::remove_all(dir);
}

// --- Corpus -----------------------------------------------------------------------------------

TEST(PngCorpus, EveryFileBehavesAsTheManifestSays) {
  if (!kvtest::CorpusAvailable()) GTEST_SKIP() << "corpus not present";
  int loaded = 0;
  for (const kvtest::TCorpusEntry& e : kvtest::CorpusEntries("png/")) {
    if (e.Expected == "n/a") continue;
    SCOPED_TRACE(e.Path);
    const std::string path = kvtest::CorpusPath(e.Path);
    auto stream = TKvFileStream::OpenRead(path);
    TKvBitmap image;
    TKvIOParams params;
    TProgress progress;
    ReadPng(*stream, image, params, false, progress.rec);
    if (e.Expected == "loads") {
      ++loaded;
      EXPECT_FALSE(progress.aborting);
      ASSERT_FALSE(image.IsEmpty());
      EXPECT_EQ(image.Width(), params.StoredWidth);
      EXPECT_EQ(image.Height(), params.StoredHeight);
      // Our decode against libpng's own expansion to 8-bit RGBA: every colour exact, and the
      // alpha plane (when the file has alpha or a tRNS chunk above 1 bit) equal to its alpha.
      const auto ref = kvtest::LoadReference(path);
      ASSERT_TRUE(ref.has_value());
      const kvtest::TRefImage ours = kvtest::ToRgba(image);
      EXPECT_EQ(kvtest::CountRgbDifferences(ours, *ref, 0, false), 0);
      if (image.HasAlphaPlane()) {
        int64_t alphaDiffs = 0;
        for (int y = 0; y < ref->Height; ++y)
          for (int x = 0; x < ref->Width; ++x)
            alphaDiffs += ours.Pixel(x, y)[3] != ref->Pixel(x, y)[3];
        EXPECT_EQ(alphaDiffs, 0);
      }
    } else if (e.Expected == "must fail cleanly") {
      EXPECT_TRUE(progress.aborting);
    }
  }
  EXPECT_GT(loaded, 150);
}

}  // namespace
