// JPEG codec: round trips through memory streams for every colour space and option the writer
// has, markers and density, scaling, the start-of-data search, damaged input, and the corpus.
#include "io/codecs/kvjpeg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "image/kvbitmap.h"
#include "image/kvconvert.h"
#include "io/corpus.h"
#include "io/kvcodec.h"
#include "io/kvio.h"
#include "io/kvioparams.h"
#include "io/kvstream.h"

namespace {

// Tolerances against other decoders' renderings of the corpus files (channel levels).
constexpr int kJpegRefMaxDiff = 6;
constexpr double kJpegRefMeanDiff = 0.5;

struct TProgress {
  bool aborting = false;
  std::vector<int> percents;
  TKvProgressRec rec;
  TProgress() {
    rec.Aborting = &aborting;
    rec.Handler = [this](void*, int32_t p) { percents.push_back(p); };
  }
};

// A smooth colour image (gradients compress well and survive JPEG closely).
void FillGradient(TKvBitmap& b, int w, int h) {
  ASSERT_TRUE(b.AllocateImage(w, h, kv24RGB));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      b.SetRGB(x, y,
               KvRGB(uint8_t(40 + x * 160 / w), uint8_t(60 + y * 150 / h),
                     uint8_t(200 - (x + y) * 100 / (w + h))));
}

void FillGray(TKvBitmap& b, int w, int h) {
  ASSERT_TRUE(b.AllocateImage(w, h, kv24RGB));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint8_t g = uint8_t(30 + (x * 3 + y * 2) % 190);
      b.SetRGB(x, y, KvRGB(g, g, g));
    }
}

int MaxDiff(const TKvBitmap& a, const TKvBitmap& b) {
  int worst = 0;
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x) {
      const TKvRGB p = a.GetPixelRGB(x, y), q = b.GetPixelRGB(x, y);
      worst = std::max(
          {worst, std::abs(p.Red - q.Red), std::abs(p.Green - q.Green), std::abs(p.Blue - q.Blue)});
    }
  return worst;
}

std::vector<uint8_t> Encode(TKvBitmap& image, TKvIOParams& params, bool* aborted = nullptr) {
  TKvMemoryStream out;
  TProgress progress;
  WriteJpeg(out, image, params, progress.rec);
  if (aborted != nullptr) *aborted = progress.aborting;
  return out.TakeBytes();
}

// Reads `bytes` as a file load would; returns whether the read succeeded.
bool Decode(const std::vector<uint8_t>& bytes, TKvBitmap& image, TKvIOParams& params) {
  TKvMemoryStream in(bytes.data(), bytes.size());
  TProgress progress;
  ReadJpegFile(in, image, params, false, progress.rec);
  return !progress.aborting;
}

std::vector<uint8_t> Bytes(const char* text) {
  return std::vector<uint8_t>(text, text + std::strlen(text));
}

TKvMarker Marker(uint8_t code, std::vector<uint8_t> data) {
  return TKvMarker{code, std::move(data)};
}

// Position of the first marker `code` (0xFF, code) in the file, or file.end().
std::vector<uint8_t>::iterator FindMarker(std::vector<uint8_t>& file, uint8_t code) {
  const uint8_t pattern[2] = {0xFF, code};
  return std::search(file.begin(), file.end(), pattern, pattern + 2);
}
std::vector<uint8_t>::const_iterator FindMarker(const std::vector<uint8_t>& file, uint8_t code) {
  const uint8_t pattern[2] = {0xFF, code};
  return std::search(file.begin(), file.end(), pattern, pattern + 2);
}

// The marker codes of the segments before the first SOS, in file order.
std::vector<int> SegmentCodes(const std::vector<uint8_t>& file) {
  std::vector<int> codes;
  size_t p = 2;
  while (p + 4 <= file.size() && file[p] == 0xFF && file[p + 1] != 0xDA) {
    codes.push_back(file[p + 1]);
    p += 2 + (size_t(file[p + 2]) << 8 | file[p + 3]);
  }
  return codes;
}

// --- Round trips ------------------------------------------------------------------------------

struct TColorCase {
  const char* name;
  uint8_t colorSpace;
  uint8_t sampling;
  bool progressive;
  bool optimize;
  uint8_t dct;
  int smoothing;
  bool gray;            // use a gray source (gray target compares with it)
  int expectedSamples;  // SamplesPerPixel after reading back
  int tolerance;        // largest channel difference allowed at quality 95
};
void PrintTo(const TColorCase& c, std::ostream* os) {
  *os << c.name;
}

class JpegRoundTrip : public ::testing::TestWithParam<TColorCase> {};

TEST_P(JpegRoundTrip, ReadsBackWhatWasWritten) {
  const TColorCase& c = GetParam();
  TKvBitmap source;
  if (c.gray)
    FillGray(source, 40, 24);
  else
    FillGradient(source, 40, 24);
  TKvIOParams params;
  params.Jpeg.Quality = 95;
  params.Jpeg.ColorSpace = c.colorSpace;
  params.Jpeg.Sampling = c.sampling;
  params.Jpeg.Progressive = c.progressive;
  params.Jpeg.Optimize = c.optimize;
  params.Jpeg.DctMethod = c.dct;
  params.Jpeg.Smoothing = c.smoothing;
  bool aborted = true;
  const std::vector<uint8_t> file = Encode(source, params, &aborted);
  ASSERT_FALSE(aborted);
  ASSERT_GT(file.size(), 100u);

  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(image.PixelFormat(), kv24RGB);
  EXPECT_EQ(image.Width(), 40);
  EXPECT_EQ(image.Height(), 24);
  EXPECT_EQ(back.Jpeg.ColorSpace, c.colorSpace);
  EXPECT_EQ(back.SamplesPerPixel, c.expectedSamples);
  EXPECT_EQ(back.BitsPerSample, 8);
  EXPECT_EQ(back.Jpeg.Progressive, c.progressive);
  EXPECT_LE(MaxDiff(source, image), c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    ColorSpacesAndOptions, JpegRoundTrip,
    ::testing::Values(TColorCase{"rgb", 0, 1, false, false, 0, 0, false, 3, 8},
                      TColorCase{"gray", 1, 1, false, false, 0, 0, true, 1, 4},
                      TColorCase{"ycbcr_2x1", 2, 0, false, false, 0, 0, false, 3, 10},
                      TColorCase{"ycbcr_2x2", 2, 1, false, false, 0, 0, false, 3, 10},
                      TColorCase{"ycbcr_1x1", 2, 2, false, false, 0, 0, false, 3, 8},
                      TColorCase{"cmyk", 3, 1, false, false, 0, 0, false, 4, 12},
                      TColorCase{"ycck", 4, 1, false, false, 0, 0, false, 4, 12},
                      TColorCase{"progressive", 2, 1, true, false, 0, 0, false, 3, 10},
                      TColorCase{"optimized_fast_dct", 2, 1, false, true, 1, 0, false, 3, 12},
                      TColorCase{"float_dct", 2, 1, false, false, 2, 0, false, 3, 10},
                      TColorCase{"smoothing", 2, 1, false, false, 0, 30, false, 3, 12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Jpeg, DefaultWriteIsBaselineYCbCr2x2Quality80At300Dpi) {
  TKvBitmap source;
  FillGradient(source, 32, 32);
  TKvIOParams params;
  params.SetDpiX(0);
  params.SetDpiY(0);
  const std::vector<uint8_t> file = Encode(source, params);
  // SOI, then the library's JFIF header: unit 1, 300 x 300.
  ASSERT_GT(file.size(), 20u);
  EXPECT_EQ(std::memcmp(&file[6], "JFIF", 5), 0);
  EXPECT_EQ(file[13], 1);
  EXPECT_EQ(file[14] << 8 | file[15], 300);
  EXPECT_EQ(file[16] << 8 | file[17], 300);
  // Baseline frame (SOF0) with 3 components, luminance 2 x 2, chroma 1 x 1.
  const auto sof = FindMarker(file, 0xC0);
  ASSERT_NE(sof, file.end());
  const size_t p = size_t(sof - file.begin());
  EXPECT_EQ(file[p + 9], 3);
  EXPECT_EQ(file[p + 11], 0x22);
  EXPECT_EQ(file[p + 14], 0x11);
  EXPECT_EQ(file[p + 17], 0x11);
  // Quality 80: the first luminance quantizer value is the standard 16 scaled to 40 %.
  const auto dqt = FindMarker(file, 0xDB);
  ASSERT_NE(dqt, file.end());
  EXPECT_EQ(*(dqt + 5), 6);  // (16 * 40 + 50) / 100
}

TEST(Jpeg, RgbColorSpaceStoresRedGreenBlueComponents) {
  TKvBitmap source;
  ASSERT_TRUE(source.AllocateImage(16, 16, kv24RGB));
  source.FillWith(RGBToColor(KvRGB(250, 0, 0)));  // pure red
  TKvIOParams params;
  params.Jpeg.ColorSpace = 0;
  params.Jpeg.Quality = 100;
  const std::vector<uint8_t> file = Encode(source, params);
  // An Adobe marker with transform 0 (no colour conversion) and component ids R, G, B.
  const auto sof = FindMarker(file, 0xC0);
  ASSERT_NE(sof, file.end());
  EXPECT_EQ(*(sof + 10), 'R');
  EXPECT_EQ(*(sof + 13), 'G');
  EXPECT_EQ(*(sof + 16), 'B');
  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  const TKvRGB p = image.GetRGB(8, 8);
  EXPECT_NEAR(p.Red, 250, 2);
  EXPECT_NEAR(p.Green, 0, 2);
  EXPECT_NEAR(p.Blue, 0, 2);
}

TEST(Jpeg, OneBitImageIsWrittenThroughAColourCopy) {
  TKvBitmap source;
  ASSERT_TRUE(source.AllocateImage(32, 16, kv1g));
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x) source.SetBit(x, y, x >= 16);
  TKvIOParams params;
  params.Jpeg.Quality = 95;
  const std::vector<uint8_t> file = Encode(source, params);
  EXPECT_EQ(source.PixelFormat(), kv1g);  // the caller's image is left alone
  TKvBitmap image;
  TKvIOParams back;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_LE(image.GetRGB(2, 8).Red, 8);
  EXPECT_GE(image.GetRGB(29, 8).Red, 247);
}

TEST(Jpeg, NativeReadKeepsGrayAndCmyk) {
  TKvBitmap source;
  FillGray(source, 24, 16);
  TKvIOParams params;
  params.Jpeg.ColorSpace = 1;
  params.Jpeg.Quality = 95;
  std::vector<uint8_t> file = Encode(source, params);
  TKvIOParams back;
  back.IsNativePixelFormat = true;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(image.PixelFormat(), kv8g);
  EXPECT_NEAR(image.GetByte(5, 5), source.GetRGB(5, 5).Red, 4);

  FillGradient(source, 24, 16);
  params.Jpeg.ColorSpace = 3;
  file = Encode(source, params);
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(image.PixelFormat(), kvCMYK);
  const uint32_t v = image.GetCMYK(5, 5);
  const TKvCMYK stored{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  const TKvCMYK expected = RgbToCmyk(source.GetRGB(5, 5));
  EXPECT_NEAR(stored.C, expected.C, 6);
  EXPECT_NEAR(stored.M, expected.M, 6);
  EXPECT_NEAR(stored.Y, expected.Y, 6);
  EXPECT_NEAR(stored.K, expected.K, 6);
}

// --- Markers and metadata ---------------------------------------------------------------------

TEST(Jpeg, MarkersAreWrittenInOrderAndReadBackByteForByte) {
  std::vector<uint8_t> exif = Bytes("Exif");
  exif.push_back(0);
  exif.push_back(0);
  for (int i = 0; i < 300; ++i) exif.push_back(uint8_t(i * 7));  // includes 0xFF bytes
  std::vector<uint8_t> xmp = Bytes("http://ns.adobe.com/xap/1.0/");
  xmp.push_back(0);
  const std::string packet = "<x:xmpmeta>hello</x:xmpmeta>";
  xmp.insert(xmp.end(), packet.begin(), packet.end());
  auto icc = [](int seq, uint8_t fill) {
    std::vector<uint8_t> d = Bytes("ICC_PROFILE");
    d.push_back(0);
    d.push_back(uint8_t(seq));
    d.push_back(2);
    d.insert(d.end(), 20, fill);
    return d;
  };
  TKvIOParams params;
  params.Jpeg.Markers = {
      Marker(0xFE, Bytes("a comment")),     Marker(0xE1, xmp),  Marker(0xE2, icc(2, 0xBB)),
      Marker(0xEE, Bytes("Adobe-ignored")), Marker(0xE1, exif), Marker(0xE2, icc(1, 0xAA))};
  TKvBitmap source;
  FillGradient(source, 16, 16);
  const std::vector<uint8_t> file = Encode(source, params);
  // JFIF from the library, EXIF moved to the first APP1 place, ICC chunks by sequence, no
  // kept Adobe segment, the comment last.
  const std::vector<int> codes = SegmentCodes(file);
  ASSERT_GE(codes.size(), 6u);
  EXPECT_EQ(std::vector<int>(codes.begin(), codes.begin() + 6),
            (std::vector<int>{0xE0, 0xE1, 0xE1, 0xE2, 0xE2, 0xFE}));
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xEE), 0);

  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  // The library's JFIF header is not kept; everything else is, byte for byte.
  ASSERT_EQ(back.Jpeg.Markers.size(), 5u);
  EXPECT_EQ(back.Jpeg.Markers[0], Marker(0xE1, exif));
  EXPECT_EQ(back.Jpeg.Markers[1], Marker(0xE1, xmp));
  EXPECT_EQ(back.Jpeg.Markers[2], Marker(0xE2, icc(1, 0xAA)));
  EXPECT_EQ(back.Jpeg.Markers[3], Marker(0xE2, icc(2, 0xBB)));
  EXPECT_EQ(back.Jpeg.Markers[4], Marker(0xFE, Bytes("a comment")));
  EXPECT_EQ(back.XmpText, packet);
  std::vector<uint8_t> profile(20, 0xAA);
  profile.insert(profile.end(), 20, 0xBB);
  EXPECT_EQ(back.InputICC.Data, profile);

  // Saving the loaded markers again gives the same segments.
  const std::vector<uint8_t> again = Encode(image, back);
  TKvIOParams third;
  ASSERT_TRUE(Decode(again, image, third));
  EXPECT_EQ(third.Jpeg.Markers, back.Jpeg.Markers);
}

TEST(Jpeg, SegmentsTooLongForTheFormatAreLeftOut) {
  TKvIOParams params;
  params.Jpeg.Markers = {Marker(0xE5, std::vector<uint8_t>(65534, 1)),
                         Marker(0xE6, std::vector<uint8_t>(65533, 2))};
  TKvBitmap source;
  FillGradient(source, 8, 8);
  bool aborted = true;
  const std::vector<uint8_t> file = Encode(source, params, &aborted);
  EXPECT_FALSE(aborted);
  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  ASSERT_EQ(back.Jpeg.Markers.size(), 1u);
  EXPECT_EQ(back.Jpeg.Markers[0].Code, 0xE6);
  EXPECT_EQ(back.Jpeg.Markers[0].Data.size(), 65533u);
}

TEST(Jpeg, IptcRecordsOfAPhotoshopSegment) {
  std::vector<uint8_t> app13 = Bytes("Photoshop 3.0");
  app13.push_back(0);
  const std::vector<uint8_t> records = {0x1C, 2,    5, 0,   5, 'T', 'i', 't', 'l',
                                        'e',  0x1C, 2, 120, 0, 2,   'h', 'i'};
  const std::vector<uint8_t> resource = {'8', 'B', 'I', 'M', 0x04, 0x04,
                                         0,   0,   0,   0,   0,    uint8_t(records.size())};
  app13.insert(app13.end(), resource.begin(), resource.end());
  app13.insert(app13.end(), records.begin(), records.end());
  app13.push_back(0);  // pad to an even size
  TKvIOParams params;
  params.Jpeg.Markers = {Marker(0xED, app13)};
  TKvBitmap source;
  FillGradient(source, 8, 8);
  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(Encode(source, params), image, back));
  ASSERT_EQ(back.IPTC.size(), 2u);
  EXPECT_EQ(back.IPTC[0].Record, 2);
  EXPECT_EQ(back.IPTC[0].DataSet, 5);
  EXPECT_EQ(back.IPTC[0].Data, Bytes("Title"));
  EXPECT_EQ(back.IPTC[1].DataSet, 120);
  EXPECT_EQ(back.IPTC[1].Data, Bytes("hi"));
}

// --- Resolution -------------------------------------------------------------------------------

TEST(Jpeg, JfifDensityInInchesAndCentimetres) {
  TKvBitmap source;
  FillGradient(source, 8, 8);
  TKvIOParams params;
  params.SetDpiX(200);
  params.SetDpiY(150);
  std::vector<uint8_t> file = Encode(source, params);
  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(back.DpiX(), 200);
  EXPECT_EQ(back.DpiY(), 150);

  // Unit 2 (dots per cm), density 118: Trunc(118 * 2.54) = 299.
  ASSERT_EQ(std::memcmp(&file[6], "JFIF", 5), 0);
  file[13] = 2;
  file[14] = 0, file[15] = 118, file[16] = 0, file[17] = 118;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(back.DpiX(), 299);
  EXPECT_EQ(back.DpiY(), 299);

  // Unit 0 (aspect only): the values as they are.
  file[13] = 0;
  file[15] = 1, file[17] = 2;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(back.DpiX(), 1);
  EXPECT_EQ(back.DpiY(), 2);
}

TEST(Jpeg, FileWithoutJfifHeaderReportsOneByOne) {
  TKvBitmap source;
  FillGradient(source, 8, 8);
  TKvIOParams params;
  params.Jpeg.ColorSpace = 0;  // RGB: the library writes an Adobe marker instead of JFIF
  const std::vector<uint8_t> file = Encode(source, params);
  ASSERT_EQ(SegmentCodes(file).front(), 0xEE);
  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(back.DpiX(), 1);
  EXPECT_EQ(back.DpiY(), 1);
}

// --- Scaling ----------------------------------------------------------------------------------

TEST(Jpeg, ScaledReads) {
  TKvBitmap source;
  FillGradient(source, 1000, 800);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  struct TCase {
    uint8_t scale;
    int askW, askH;
    int w, h, used;
  };
  for (const TCase& c :
       {TCase{1, 0, 0, 1000, 800, 1}, TCase{2, 0, 0, 500, 400, 2}, TCase{3, 0, 0, 250, 200, 4},
        TCase{4, 0, 0, 125, 100, 8}, TCase{0, 100, 100, 125, 100, 8},
        TCase{0, 100, 101, 250, 200, 4}, TCase{0, 0, 0, 1000, 800, 1},
        TCase{0, 2000, 100, 1000, 800, 1}, TCase{0, 120, 100, 125, 100, 8}}) {
    TKvIOParams back;
    back.Jpeg.Scale = c.scale;
    back.Width = c.askW;
    back.Height = c.askH;
    TKvBitmap image;
    ASSERT_TRUE(Decode(file, image, back));
    EXPECT_EQ(image.Width(), c.w) << int(c.scale) << " " << c.askW;
    EXPECT_EQ(image.Height(), c.h);
    EXPECT_EQ(back.Width, c.w);
    EXPECT_EQ(back.StoredWidth, 1000);
    EXPECT_EQ(back.StoredHeight, 800);
    EXPECT_EQ(back.Jpeg.ScaleUsed, c.used);
  }
}

TEST(Jpeg, PreviewReadsTheHeaderOnly) {
  TKvBitmap source;
  FillGradient(source, 48, 20);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  TKvMemoryStream in(file.data(), file.size());
  TProgress progress;
  TKvBitmap image;
  TKvIOParams back;
  ReadJpegFile(in, image, back, true, progress.rec);
  EXPECT_FALSE(progress.aborting);
  EXPECT_TRUE(image.IsEmpty());
  EXPECT_EQ(back.Width, 48);
  EXPECT_EQ(back.Height, 20);
}

// --- Finding the data, damage, errors ---------------------------------------------------------

TEST(Jpeg, DataIsFoundWithinTheFirst150Bytes) {
  TKvBitmap source;
  FillGradient(source, 8, 8);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  for (const auto& [junk, loads] : {std::pair{0, true}, std::pair{100, true}, std::pair{149, true},
                                    std::pair{150, false}, std::pair{200, false}}) {
    std::vector<uint8_t> prefixed(size_t(junk), 0x20);
    prefixed.insert(prefixed.end(), file.begin(), file.end());
    TKvMemoryStream probe(prefixed.data(), prefixed.size());
    EXPECT_EQ(ProbeJpeg(probe), loads ? junk : -1);
    EXPECT_EQ(probe.Position(), 0);
    TKvBitmap image;
    TKvIOParams back;
    EXPECT_EQ(Decode(prefixed, image, back), loads) << junk;
  }
}

TEST(Jpeg, FillBytesAfterTheStartMarkerAreSkipped) {
  TKvBitmap source;
  FillGradient(source, 8, 8);
  TKvIOParams params;
  std::vector<uint8_t> file = Encode(source, params);
  file.insert(file.begin() + 2, {0x00, 0x01, 0x02, 0x03});  // SOI, then no marker
  TKvMemoryStream probe(file.data(), file.size());
  EXPECT_EQ(ProbeJpeg(probe), 0);
  TKvBitmap image;
  TKvIOParams back;
  EXPECT_TRUE(Decode(file, image, back));
  EXPECT_EQ(image.Width(), 8);
  EXPECT_GE(back.Jpeg.WarningTotal, 1);
}

TEST(Jpeg, DamagedInputSetsAborting) {
  TKvBitmap source;
  FillGradient(source, 64, 64);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  std::vector<std::vector<uint8_t>> cases;
  cases.push_back({});                  // empty
  cases.push_back({0xFF, 0xD8, 0xFF});  // signature only
  cases.push_back(std::vector<uint8_t>(file.begin(), file.begin() + file.size() / 2));
  std::vector<uint8_t> badSof = file;  // zero width in the frame
  const auto sof = FindMarker(badSof, 0xC0);
  *(sof + 7) = 0;
  *(sof + 8) = 0;
  cases.push_back(badSof);
  for (size_t i = 0; i < cases.size(); ++i) {
    TKvBitmap image;
    TKvIOParams back;
    EXPECT_FALSE(Decode(cases[i], image, back)) << "case " << i;
  }
}

// Every block costs Huffman-coded data at least a bit, so a frame far larger than its data is
// refused before anything is allocated for it (by the reader or, for a progressive file whose
// coefficients are kept, by the library); a flat page, the best case of the coding, still loads.
TEST(Jpeg, FrameLargerThanItsDataCanHoldFails) {
  for (const bool progressive : {false, true}) {
    SCOPED_TRACE(progressive ? "progressive" : "baseline");
    TKvBitmap source;
    FillGradient(source, 64, 64);
    TKvIOParams params;
    params.Jpeg.Progressive = progressive;
    std::vector<uint8_t> file = Encode(source, params);
    const auto sof = FindMarker(file, progressive ? 0xC2 : 0xC0);
    ASSERT_NE(sof, file.end());
    constexpr int kDeclared = 4000;  // 250,000 luminance blocks: 31 KB of data at the least
    *(sof + 5) = *(sof + 7) = uint8_t(kDeclared >> 8);
    *(sof + 6) = *(sof + 8) = uint8_t(kDeclared & 0xFF);
    TKvBitmap image;
    TKvIOParams back;
    EXPECT_FALSE(Decode(file, image, back));
    EXPECT_TRUE(image.IsEmpty());
    TKvIOParams preview;
    TKvMemoryStream in(file.data(), file.size());
    TProgress progress;
    ReadJpegFile(in, image, preview, true, progress.rec);
    EXPECT_FALSE(progress.aborting);
    EXPECT_EQ(preview.Width, kDeclared);
  }
  TKvBitmap flat;
  ASSERT_TRUE(flat.AllocateImage(1024, 1024, kv24RGB));
  flat.FillWith(255);
  TKvIOParams params;
  params.Jpeg.ColorSpace = 1;
  const std::vector<uint8_t> file = Encode(flat, params);
  TKvBitmap image;
  TKvIOParams back;
  EXPECT_TRUE(Decode(file, image, back));
  EXPECT_EQ(image.Width(), 1024);
}

TEST(Jpeg, LibraryWarningsAreCounted) {
  TKvBitmap source;
  FillGradient(source, 16, 16);
  TKvIOParams params;
  std::vector<uint8_t> file = Encode(source, params);
  // Two stray bytes between the JFIF header and the next segment: "extraneous data" warning.
  const size_t afterApp0 = 4 + (size_t(file[4]) << 8 | file[5]);
  file.insert(file.begin() + long(afterApp0), {0x12, 0x34});
  TKvIOParams back;
  TKvBitmap image;
  ASSERT_TRUE(Decode(file, image, back));
  EXPECT_EQ(back.Jpeg.WarningTotal, 1);
  EXPECT_NE(back.Jpeg.WarningCode, 0);
  // A clean file clears the counts.
  ASSERT_TRUE(Decode(Encode(source, params), image, back));
  EXPECT_EQ(back.Jpeg.WarningTotal, 0);
  EXPECT_EQ(back.Jpeg.WarningCode, 0);
}

TEST(Jpeg, EmptyImageAndShortWriteAbort) {
  TKvBitmap empty;
  TKvIOParams params;
  bool aborted = false;
  EXPECT_TRUE(Encode(empty, params, &aborted).empty());
  EXPECT_TRUE(aborted);

  TKvBitmap source;
  FillGradient(source, 300, 300);
  TKvMemoryStream out;
  out.WriteLimit = 1000;
  TProgress progress;
  WriteJpeg(out, source, params, progress.rec);
  EXPECT_TRUE(progress.aborting);
}

TEST(Jpeg, LibraryErrorOnWriteRaisesWithTheLibraryText) {
  TKvBitmap wide;
  ASSERT_TRUE(wide.AllocateImage(65501, 1, kv24RGB));
  wide.FillWith(0);
  TKvIOParams params;
  TKvMemoryStream out;
  TProgress progress;
  try {
    WriteJpeg(out, wide, params, progress.rec);
    FAIL() << "no exception";
  } catch (const EKvJpegException& e) {
    EXPECT_STREQ(e.what(), "Maximum supported image dimension is ? pixels");
  }
  EXPECT_TRUE(progress.aborting);
}

TEST(Jpeg, ProgressRunsToOneHundred) {
  TKvBitmap source;
  FillGradient(source, 16, 37);
  TKvIOParams params;
  TKvMemoryStream out;
  TProgress wp;
  WriteJpeg(out, source, params, wp.rec);
  ASSERT_FALSE(wp.percents.empty());
  EXPECT_EQ(wp.percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(wp.percents.begin(), wp.percents.end()));
  TKvMemoryStream in(out.Bytes().data(), out.Bytes().size());
  TProgress rp;
  TKvBitmap image;
  ReadJpegFile(in, image, params, false, rp.rec);
  ASSERT_FALSE(rp.percents.empty());
  EXPECT_EQ(rp.percents.back(), 100);
  // Only changes are reported.
  EXPECT_EQ(std::adjacent_find(rp.percents.begin(), rp.percents.end()), rp.percents.end());
}

TEST(Jpeg, AbortFlagStopsTheReader) {
  TKvBitmap source;
  FillGradient(source, 16, 64);
  TKvIOParams params;
  const std::vector<uint8_t> file = Encode(source, params);
  TKvMemoryStream in(file.data(), file.size());
  TProgress progress;
  progress.rec.Handler = [&](void*, int32_t p) {
    if (p >= 50) progress.aborting = true;
  };
  TKvBitmap image;
  const int lines = ReadJpeg(in, nullptr, image, false, -1, true, true, false, true, false, false,
                             progress.rec, params);
  EXPECT_TRUE(progress.aborting);
  EXPECT_EQ(lines, 32);
}

// --- The TIFF entry: line limit and a separate tables stream -----------------------------------

// Splits a file into a tables-only stream (SOI, DQT, DHT, EOI) and an abbreviated image.
void SplitTables(const std::vector<uint8_t>& file, std::vector<uint8_t>& tables,
                 std::vector<uint8_t>& image) {
  tables = {0xFF, 0xD8};
  image = {0xFF, 0xD8};
  size_t p = 2;
  while (p + 4 <= file.size() && file[p + 1] != 0xDA) {
    const size_t length = size_t(file[p + 2]) << 8 | file[p + 3];
    auto& target = (file[p + 1] == 0xDB || file[p + 1] == 0xC4) ? tables : image;
    target.insert(target.end(), file.begin() + long(p), file.begin() + long(p + 2 + length));
    p += 2 + length;
  }
  image.insert(image.end(), file.begin() + long(p), file.end());
  tables.push_back(0xFF);
  tables.push_back(0xD9);
}

TEST(Jpeg, TablesFromASeparateStreamAndALineLimit) {
  TKvBitmap source;
  FillGradient(source, 24, 16);
  TKvIOParams params;
  params.Jpeg.Quality = 95;
  const std::vector<uint8_t> file = Encode(source, params);
  std::vector<uint8_t> tables, abbreviated;
  SplitTables(file, tables, abbreviated);
  TKvMemoryStream tableStream(tables.data(), tables.size());
  TKvMemoryStream dataStream(abbreviated.data(), abbreviated.size());
  TProgress progress;
  TKvBitmap image;
  TKvIOParams back;
  const int lines = ReadJpeg(dataStream, &tableStream, image, false, 10, false, false, false, false,
                             false, false, progress.rec, back);
  EXPECT_FALSE(progress.aborting);
  EXPECT_EQ(lines, 10);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 24; ++x) {
      const TKvRGB a = source.GetRGB(x, y), b = image.GetRGB(x, y);
      ASSERT_NEAR(a.Red, b.Red, 10);
      ASSERT_NEAR(a.Blue, b.Blue, 10);
    }

  // Without its tables the abbreviated image cannot be read.
  TKvMemoryStream alone(abbreviated.data(), abbreviated.size());
  TProgress p2;
  ReadJpeg(alone, nullptr, image, false, -1, false, false, false, false, false, false, p2.rec,
           back);
  EXPECT_TRUE(p2.aborting);
}

TEST(Jpeg, InvertedCmykAndRawYCbCrForTheTiffCodec) {
  TKvBitmap source;
  ASSERT_TRUE(source.AllocateImage(16, 16, kv24RGB));
  source.FillWith(RGBToColor(KvRGB(200, 40, 90)));
  TKvIOParams params;
  params.Jpeg.Quality = 100;
  params.Jpeg.ColorSpace = 3;
  const std::vector<uint8_t> cmyk = Encode(source, params);
  TKvBitmap native, inverted;
  TKvIOParams back;
  back.IsNativePixelFormat = true;
  ASSERT_TRUE(Decode(cmyk, native, back));
  TKvMemoryStream in(cmyk.data(), cmyk.size());
  TProgress progress;
  ReadJpeg(in, nullptr, inverted, false, -1, false, false, true, false, false, false, progress.rec,
           back);
  ASSERT_FALSE(progress.aborting);
  const uint32_t v = native.GetCMYK(4, 4);
  const TKvCMYK ink{uint8_t(255 - (v & 0xFF)), uint8_t(255 - (v >> 8 & 0xFF)),
                    uint8_t(255 - (v >> 16 & 0xFF)), uint8_t(255 - (v >> 24))};
  EXPECT_EQ(inverted.GetRGB(4, 4), CmykToRgb(ink));

  // Raw YCbCr: the rows hold luminance and the two chroma samples of a red-heavy colour.
  params.Jpeg.ColorSpace = 2;
  const std::vector<uint8_t> ycc = Encode(source, params);
  TKvMemoryStream in2(ycc.data(), ycc.size());
  TKvBitmap raw;
  ReadJpeg(in2, nullptr, raw, false, -1, false, false, false, false, true, false, progress.rec,
           back);
  ASSERT_FALSE(progress.aborting);
  const uint8_t* px = raw.RowPtr(4) + 12;
  const double y = 0.299 * 200 + 0.587 * 40 + 0.114 * 90;
  EXPECT_NEAR(px[0], y, 2);
  EXPECT_NEAR(px[1], 128 + (90 - y) * 0.564, 2);   // Cb
  EXPECT_NEAR(px[2], 128 + (200 - y) * 0.713, 2);  // Cr
}

// --- EXIF hook: resolution and orientation ----------------------------------------------------

TKvExifSummary gFakeExif;
bool FakeExifReader(const uint8_t*, size_t, TKvIOParams&, TKvExifSummary& summary) {
  summary = gFakeExif;
  return true;
}

TEST(Jpeg, ExifResolutionAndOrientationThroughTheExifReader) {
  TKvBitmap source;
  ASSERT_TRUE(source.AllocateImage(32, 16, kv24RGB));
  source.FillWith(RGBToColor(KvRGB(0, 0, 255)));
  source.FillRect(0, 0, 7, 7, RGBToColor(KvRGB(255, 0, 0)));  // red block top-left
  std::vector<uint8_t> exif = Bytes("Exif");
  exif.resize(40, 0);
  TKvIOParams params;
  params.Jpeg.ColorSpace = 0;  // no JFIF header: the resolution comes from EXIF
  params.Jpeg.Quality = 95;
  params.Jpeg.Markers = {Marker(0xE1, exif)};
  const std::vector<uint8_t> file = Encode(source, params);

  gFakeExif = TKvExifSummary{};
  gFakeExif.XResolution = 118.2;
  gFakeExif.YResolution = 100;
  gFakeExif.ResolutionUnit = 3;
  gFakeExif.Orientation = 6;
  gKvJpegExifReader = FakeExifReader;
  TKvIOParams back;
  back.Jpeg.ApplyExifOrientation = true;
  TKvBitmap image;
  const bool ok = Decode(file, image, back);
  gKvJpegExifReader = nullptr;
  ASSERT_TRUE(ok);
  EXPECT_EQ(back.DpiX(), 300);  // Trunc(118.2 * 2.54)
  EXPECT_EQ(back.DpiY(), 254);
  // Orientation 6: a quarter turn clockwise; the red block goes to the top-right corner.
  EXPECT_EQ(image.Width(), 16);
  EXPECT_EQ(image.Height(), 32);
  EXPECT_EQ(back.Width, 16);
  EXPECT_GT(image.GetRGB(12, 3).Red, 200);
  EXPECT_LT(image.GetRGB(3, 3).Red, 50);
}

TEST(Jpeg, ExifOrientationTurnsExactly) {
  // A 3 x 2 image with values 1..6 row by row:  1 2 3 / 4 5 6.
  struct TCase {
    int orientation;
    int w, h;
    std::vector<uint8_t> rows;
  };
  const std::vector<TCase> cases = {
      {1, 3, 2, {1, 2, 3, 4, 5, 6}}, {2, 3, 2, {3, 2, 1, 6, 5, 4}}, {3, 3, 2, {6, 5, 4, 3, 2, 1}},
      {4, 3, 2, {4, 5, 6, 1, 2, 3}}, {5, 2, 3, {1, 4, 2, 5, 3, 6}},  // transpose
      {6, 2, 3, {4, 1, 5, 2, 6, 3}},                                 // quarter turn clockwise
      {7, 2, 3, {6, 3, 5, 2, 4, 1}},                                 // transverse
      {8, 2, 3, {3, 6, 2, 5, 1, 4}},  // quarter turn counter-clockwise
      {9, 3, 2, {1, 2, 3, 4, 5, 6}}};
  for (const TCase& c : cases) {
    TKvBitmap b(3, 2, kv8g);
    for (int i = 0; i < 6; ++i) b.SetByte(i % 3, i / 3, uint8_t(i + 1));
    b.AlphaPlane()->SetByte(0, 0, 7);
    KvApplyExifOrientation(b, c.orientation);
    ASSERT_EQ(b.Width(), c.w) << c.orientation;
    ASSERT_EQ(b.Height(), c.h);
    std::vector<uint8_t> got;
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) got.push_back(b.GetByte(x, y));
    EXPECT_EQ(got, c.rows) << "orientation " << c.orientation;
    // The alpha plane follows the pixel that was at (0, 0).
    ASSERT_TRUE(b.HasAlphaPlane());
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x)
        if (b.GetByte(x, y) == 1) {
          EXPECT_EQ(b.AlphaPlane()->GetByte(x, y), 7);
        }
  }
}

// --- Through the I/O component ----------------------------------------------------------------

TEST(Jpeg, SaveAndLoadThroughTheComponent) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kvjpeg_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  TKvIO io;
  FillGradient(*io.TargetImage(), 40, 30);
  io.Params.Jpeg.Markers = {Marker(0xFE, Bytes("kept"))};
  const std::string name = (dir / "Page.JPG").string();
  io.SaveToFile(name);
  EXPECT_FALSE(io.Aborting);
  TKvIO reader;
  reader.LoadFromFile(name);
  EXPECT_FALSE(reader.Aborting);
  EXPECT_EQ(reader.Params.FileType, kvftJPEG);
  EXPECT_EQ(reader.TargetImage()->Width(), 40);
  ASSERT_EQ(reader.Params.Jpeg.Markers.size(), 1u);
  EXPECT_EQ(reader.Params.Jpeg.Markers[0], Marker(0xFE, Bytes("kept")));
  std::filesystem::remove_all(dir);
}

// --- Corpus -----------------------------------------------------------------------------------

// Largest and mean channel difference between our decode and a reference rendering.
std::pair<int, double> Differences(const kvtest::TRefImage& a, const kvtest::TRefImage& ref) {
  int worst = 0;
  double sum = 0;
  for (int y = 0; y < a.Height; ++y)
    for (int x = 0; x < a.Width; ++x)
      for (int c = 0; c < 3; ++c) {
        const int d = std::abs(int(a.Pixel(x, y)[c]) - int(ref.Pixel(x, y)[c]));
        worst = std::max(worst, d);
        sum += d;
      }
  return {worst, sum / (3.0 * a.Width * a.Height)};
}

TEST(JpegCorpus, EveryFileBehavesAsTheManifestSays) {
  if (!kvtest::CorpusAvailable()) GTEST_SKIP() << "corpus not present";
  int loaded = 0, compared = 0;
  for (const kvtest::TCorpusEntry& e : kvtest::CorpusEntries("jpeg/")) {
    if (e.Expected == "n/a") continue;
    SCOPED_TRACE(e.Path);
    auto stream = TKvFileStream::OpenRead(kvtest::CorpusPath(e.Path));
    TKvBitmap image;
    TKvIOParams params;
    TProgress progress;
    ReadJpegFile(*stream, image, params, false, progress.rec);
    if (e.Expected == "loads") {
      EXPECT_FALSE(progress.aborting);
      EXPECT_FALSE(image.IsEmpty());
      EXPECT_EQ(image.Width(), params.StoredWidth);
      EXPECT_EQ(image.Height(), params.StoredHeight);
      ++loaded;
      if (!e.ReferencePath.empty()) {
        const auto ref = kvtest::LoadReference(kvtest::CorpusPath(e.ReferencePath));
        ASSERT_TRUE(ref.has_value());
        const kvtest::TRefImage ours = kvtest::ToRgba(image);
        ASSERT_EQ(ours.Width, ref->Width);
        ASSERT_EQ(ours.Height, ref->Height);
        // Other decoders' outputs: inverse DCT and chroma upsampling differ in the last bits.
        const auto [worst, mean] = Differences(ours, *ref);
        EXPECT_LE(worst, kJpegRefMaxDiff);
        EXPECT_LE(mean, kJpegRefMeanDiff);
        ++compared;
      }
    } else if (e.Expected == "must fail cleanly") {
      EXPECT_TRUE(progress.aborting);
    }
  }
  EXPECT_GT(loaded, 50);
  EXPECT_GE(compared, 4);
}

}  // namespace
