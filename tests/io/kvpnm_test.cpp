// The portable any-map codec: header tokens and comments, every variant read, the raw writer's
// variant choice and bytes, round trips, failures, the probe, and the corpus files.
#include "io/codecs/kvpnm.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "codec_helpers.h"
#include "corpus.h"
#include "io/kvio.h"

using kvtest::Bytes;

namespace {

bool Read(const std::string& text, TKvBitmap& bmp, TKvIOParams& params, bool preview = false) {
  return kvtest::ReadBytes(ReadPxm, Bytes(text), bmp, params, preview);
}

std::vector<uint8_t> Write(TKvBitmap& bmp, TKvIOParams& params, bool* aborting = nullptr) {
  return kvtest::WriteBytes(WritePxm, bmp, params, aborting);
}

std::string AsText(const std::vector<uint8_t>& b) {
  return std::string(b.begin(), b.end());
}

}  // namespace

// --- Reading -------------------------------------------------------------------------------

TEST(PnmRead, PlainBitmapWithCommentGivesBitsAndComment) {
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read("P1\n# scan\n3 2\n0 1 0\n1 1 1\n", bmp, params));
  ASSERT_EQ(bmp.PixelFormat(), kv1g);
  ASSERT_EQ(bmp.Width(), 3);
  ASSERT_EQ(bmp.Height(), 2);
  EXPECT_TRUE(bmp.GetBit(0, 0));
  EXPECT_FALSE(bmp.GetBit(1, 0));
  EXPECT_TRUE(bmp.GetBit(2, 0));
  for (int x = 0; x < 3; ++x) EXPECT_FALSE(bmp.GetBit(x, 1));
  EXPECT_EQ(params.Pxm.Comments, std::vector<std::string>{"scan"});
  EXPECT_EQ(params.BitsPerSample, 1);
  EXPECT_EQ(params.SamplesPerPixel, 1);
  EXPECT_EQ(params.DpiX(), 300);
  EXPECT_EQ(params.DpiY(), 300);
}

TEST(PnmRead, PlainBitmapDigitsWithoutSeparators) {
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read("P1 4 1 0101", bmp, params));
  EXPECT_TRUE(bmp.GetBit(0, 0));
  EXPECT_FALSE(bmp.GetBit(1, 0));
  EXPECT_TRUE(bmp.GetBit(2, 0));
  EXPECT_FALSE(bmp.GetBit(3, 0));
}

TEST(PnmRead, RawBitmapOneIsBlack) {
  TKvBitmap bmp;
  TKvIOParams params;
  std::vector<uint8_t> file = Bytes("P4\n10 1\n");
  file.insert(file.end(), {0x80, 0x00});
  ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, bmp, params));
  ASSERT_EQ(bmp.PixelFormat(), kv1g);
  EXPECT_FALSE(bmp.GetBit(0, 0));
  for (int x = 1; x < 10; ++x) EXPECT_TRUE(bmp.GetBit(x, 0)) << x;
}

TEST(PnmRead, PlainGrayScaledByMaxval) {
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read("P2\n3 1\n15\n15 7 0\n", bmp, params));
  ASSERT_EQ(bmp.PixelFormat(), kv24RGB);
  EXPECT_EQ(bmp.GetRGB(0, 0), KvRGB(255, 255, 255));
  EXPECT_EQ(bmp.GetRGB(1, 0), KvRGB(119, 119, 119));  // Trunc(7 / 15 * 255)
  EXPECT_EQ(bmp.GetRGB(2, 0), KvRGB(0, 0, 0));
  EXPECT_EQ(params.BitsPerSample, 8);
  EXPECT_EQ(params.SamplesPerPixel, 1);
}

TEST(PnmRead, PlainColourNonNumericSampleCountsAsZero) {
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read("P3 2 1 255\n255 0 0  x1 0 255\n", bmp, params));
  EXPECT_EQ(bmp.GetRGB(0, 0), KvRGB(255, 0, 0));
  EXPECT_EQ(bmp.GetRGB(1, 0), KvRGB(0, 0, 255));
  EXPECT_EQ(params.SamplesPerPixel, 3);
}

TEST(PnmRead, RawGrayCopiedToThreeChannels) {
  TKvBitmap bmp;
  TKvIOParams params;
  std::vector<uint8_t> file = Bytes("P5 2 1 100\n");
  file.insert(file.end(), {50, 100});
  ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, bmp, params));
  EXPECT_EQ(bmp.GetRGB(0, 0), KvRGB(127, 127, 127));  // Trunc(50 / 100 * 255)
  EXPECT_EQ(bmp.GetRGB(1, 0), KvRGB(255, 255, 255));
}

TEST(PnmRead, RawColourIsStoredBlueGreenRed) {
  TKvBitmap bmp;
  TKvIOParams params;
  std::vector<uint8_t> file = Bytes("P6\n2 1\n255\n");
  file.insert(file.end(), {255, 0, 0, 0, 0, 255});
  ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, bmp, params));
  const uint8_t* row = bmp.RowPtr(0);
  EXPECT_EQ(row[0], 0);
  EXPECT_EQ(row[1], 0);
  EXPECT_EQ(row[2], 255);
  EXPECT_EQ(bmp.GetRGB(1, 0), KvRGB(0, 0, 255));
}

TEST(PnmRead, SixteenBitColourHighBytesOrExactWords) {
  std::vector<uint8_t> file = Bytes("P6 1 1 65535\n");
  file.insert(file.end(), {0x12, 0x34, 0xAB, 0xCD, 0xFF, 0x01});
  {
    TKvBitmap bmp;
    TKvIOParams params;
    ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, bmp, params));
    ASSERT_EQ(bmp.PixelFormat(), kv24RGB);
    EXPECT_EQ(bmp.GetRGB(0, 0), KvRGB(0x12, 0xAB, 0xFF));
    EXPECT_EQ(params.BitsPerSample, 16);
  }
  {
    TKvBitmap bmp;
    TKvIOParams params;
    params.IsNativePixelFormat = true;
    ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, bmp, params));
    ASSERT_EQ(bmp.PixelFormat(), kvRGB48);
    EXPECT_EQ(bmp.GetRGB48(0, 0), (TKvRGB48{0x1234, 0xABCD, 0xFF01}));
  }
}

// Samples of 16-bit files whose maximum is not 65535 are scaled by it; the high byte alone
// would leave a 12-bit file nearly black.
TEST(PnmRead, SixteenBitSamplesBelowFullRangeAreScaled) {
  std::vector<uint8_t> file = Bytes("P6 1 1 4095\n");
  file.insert(file.end(), {0x0F, 0xFF, 0x08, 0x00, 0x00, 0x00});
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, bmp, params));
  EXPECT_EQ(bmp.GetRGB(0, 0), KvRGB(255, 2048 * 255 / 4095, 0));
}

TEST(PnmRead, SixteenBitGrayHasItsOwnPath) {
  std::vector<uint8_t> file = Bytes("P5 2 1 65535\n");
  file.insert(file.end(), {0xAB, 0xCD, 0x00, 0xFF});
  {
    TKvBitmap bmp;
    TKvIOParams params;
    ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, bmp, params));
    EXPECT_EQ(bmp.GetRGB(0, 0), KvRGB(0xAB, 0xAB, 0xAB));
    EXPECT_EQ(bmp.GetRGB(1, 0), KvRGB(0, 0, 0));
    EXPECT_EQ(params.BitsPerSample, 16);
    EXPECT_EQ(params.SamplesPerPixel, 1);
  }
  {
    TKvBitmap bmp;
    TKvIOParams params;
    params.IsNativePixelFormat = true;
    ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, bmp, params));
    ASSERT_EQ(bmp.PixelFormat(), kv16g);
    EXPECT_EQ(bmp.GetWord(0, 0), 0xABCD);
    EXPECT_EQ(bmp.GetWord(1, 0), 0x00FF);
  }
}

TEST(PnmRead, CommentsAnywhereInTheHeaderAreTrimmedAndKept) {
  TKvBitmap bmp;
  TKvIOParams params;
  params.Pxm.Comments = {"old"};
  std::vector<uint8_t> file = Bytes("P5\n#  first \t\n2 # second\r\n1\n#third\n255\n");
  file.insert(file.end(), {1, 2});
  ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, bmp, params));
  EXPECT_EQ(params.Pxm.Comments, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(bmp.GetRGB(1, 0), KvRGB(2, 2, 2));
}

TEST(PnmRead, PreviewReadsOnlyTheHeader) {
  TKvBitmap bmp;
  TKvIOParams params;
  ASSERT_FALSE(Read("P6 7 5 255\n", bmp, params, true));
  EXPECT_TRUE(bmp.IsEmpty());
  EXPECT_EQ(params.Width, 7);
  EXPECT_EQ(params.Height, 5);
  EXPECT_EQ(params.StoredWidth, 7);
  EXPECT_EQ(params.StoredHeight, 5);
}

// Headers that cannot describe an image, and rasters that end early, fail the read; a header
// that fails allocates nothing.
TEST(PnmRead, BadInputSetsAborting) {
  struct TCase {
    const char* Name;
    std::string File;
    bool Allocates;
  };
  const std::vector<TCase> cases = {
      {"zero width", "P5 0 3 255\n", false},
      {"negative size", "P632 358888888632!\n", false},
      {"width not a number", "P5 x 3 255\n", false},
      {"unknown magic", "P7 3 3 255\nabcdefghi", false},
      {"maxval above 16 bits", "P6 1 1 70000\n123456", false},
      {"maxval zero", "P5 2 1 0\nab", false},
      {"header only", "P6\n", false},
      {"size beyond the data", "P6 30000 30000 255\nabc", false},
      {"raw gray short", "P5 4 2 255\nabcdefg", false},
      {"raw bitmap short", std::string("P4 16 2\n\xFF\xFF\xFF", 11), false},
      {"plain bitmap short", "P1 3 2\n0 1 0\n1 1", true},
      {"plain gray short", "P2 2 2 255\n1 2 3 ", true},
      {"largest sizes", "P6 2147483647 2147483647 65535\nabc", false},
      {"largest plain sizes", "P3 2147483647 2147483647 255\n1 2 3", false},
  };
  for (const TCase& c : cases) {
    TKvBitmap bmp;
    TKvIOParams params;
    EXPECT_TRUE(Read(c.File, bmp, params)) << c.Name;
    EXPECT_EQ(!bmp.IsEmpty(), c.Allocates) << c.Name;
  }
}

TEST(PnmRead, FileWithPngContentIsNotSniffed) {
  TKvBitmap bmp;
  TKvIOParams params;
  EXPECT_TRUE(Read("\x89PNG\r\n\x1a\n", bmp, params));
}

// Damaged variants of valid files of every kind: the reader may refuse them but must stay
// within the bytes it has (the sanitizer build checks) and report any image it keeps at the
// header's size.
TEST(PnmRead, MutatedFilesAreHandledSafely) {
  std::vector<std::vector<uint8_t>> seeds;
  for (const char* text : {"P1\n# c\n5 3\n0 1 0 1 1\n1 0 1 0 0\n1 1 1 1 1\n",
                           "P2 3 2 15\n1 2 3\n4 5 15\n", "P3 2 1 255\n1 2 3 4 5 6\n"})
    seeds.push_back(Bytes(text));
  for (const char* head : {"P4 9 3\n", "P5 4 3 255\n", "P6 3 2 255\n", "P6 2 2 65535\n"}) {
    std::vector<uint8_t> f = Bytes(head);
    for (int i = 0; i < 24; ++i) f.push_back(kvtest::PatternByte(i, 1));
    seeds.push_back(f);
  }
  int salt = 0;
  for (const std::vector<uint8_t>& seed : seeds) {
    for (int m = 0; m < 200; ++m, ++salt) {
      std::vector<uint8_t> f = seed;
      const size_t at = kvtest::PatternByte(m, salt) % f.size();
      switch (m % 4) {
        case 0:
          f[at] = kvtest::PatternByte(at, m);
          break;
        case 1:
          f.resize(at);
          break;
        case 2:
          f[at] = uint8_t("0123456789 #\n-"[m % 15]);
          break;
        default:
          f.insert(f.begin() + std::ptrdiff_t(at), kvtest::PatternByte(m, 3));
          break;
      }
      TKvBitmap bmp;
      TKvIOParams params;
      const bool aborted = kvtest::ReadBytes(ReadPxm, f, bmp, params);
      if (!aborted) {
        EXPECT_EQ(bmp.Width(), params.Width);
        EXPECT_EQ(bmp.Height(), params.Height);
      }
    }
  }
}

// --- Probe ---------------------------------------------------------------------------------

TEST(PnmProbe, AcceptsHeadersWithPositiveSizeAndRestoresPosition) {
  struct TCase {
    std::string Text;
    bool Expected;
  };
  const std::vector<TCase> cases = {
      {"P6 12 4 255\n", true},
      {"P1\n# c\n# d\n3 2\n", true},
      {"P4 0 2\n", false},
      {"P9 3 3\n", false},
      {"BM....", false},
      {"P5 3\n", false},
      {"  \n P3 1 1 255 0 0 0", true},
      {"", false},
  };
  for (const TCase& c : cases) {
    const std::vector<uint8_t> b = Bytes("xy" + c.Text);
    TKvMemoryStream s(b.data(), b.size());
    ASSERT_TRUE(s.Seek(2));
    EXPECT_EQ(ProbePxm(s), c.Expected) << c.Text;
    EXPECT_EQ(s.Position(), 2);
  }
}

// --- Writing -------------------------------------------------------------------------------

TEST(PnmWrite, BitmapRowsAreInvertedAndPadded) {
  TKvBitmap bmp(10, 2, kv1g);
  bmp.FillWith(1);          // all white
  bmp.SetBit(0, 1, false);  // one black pixel in row 1
  TKvIOParams params;
  const std::vector<uint8_t> out = Write(bmp, params);
  const std::string header = "P4 10 2\n";
  ASSERT_EQ(out.size(), header.size() + 4);
  EXPECT_EQ(AsText(out).substr(0, header.size()), header);
  EXPECT_EQ(out[header.size()], 0x00);
  EXPECT_EQ(out[header.size() + 1], 0x00);
  EXPECT_EQ(out[header.size() + 2], 0x80);
  EXPECT_EQ(out[header.size() + 3], 0x00);
}

TEST(PnmWrite, GrayWithCommentsHeaderBytes) {
  TKvBitmap bmp(2, 1, kv24RGB);
  bmp.SetRGB(0, 0, KvRGB(100, 100, 100));
  bmp.SetRGB(1, 0, KvRGB(255, 0, 0));
  TKvIOParams params;
  params.BitsPerSample = 8;
  params.SamplesPerPixel = 1;
  params.Pxm.Comments = {"first", "second"};
  const std::vector<uint8_t> out = Write(bmp, params);
  const std::string header = "P5 \n# first\n\n# second\n2 1 255\n";
  ASSERT_EQ(out.size(), header.size() + 2);
  EXPECT_EQ(AsText(out).substr(0, header.size()), header);
  EXPECT_EQ(out[header.size()], 100);
  EXPECT_EQ(out[header.size() + 1], 255 * 21 / 100);  // the gray rule
}

TEST(PnmWrite, VariantFollowsParamsAndFormat) {
  struct TCase {
    TKvPixFormat Format;
    int Bps, Spp;
    std::string Header;
  };
  const std::vector<TCase> cases = {
      {kv24RGB, 8, 3, "P6 1 1 255\n"}, {kv24RGB, 16, 3, "P6 1 1 65535\n"},
      {kv24RGB, 8, 1, "P5 1 1 255\n"}, {kv24RGB, 1, 1, "P4 1 1\n"},
      {kv24RGB, 5, 3, "P6 1 1 255\n"}, {kvRGB48, 8, 3, "P6 1 1 65535\n"},
      {kv1g, 8, 3, "P4 1 1\n"},        {kv24RGB, 16, 1, "P5 1 1 65535\n"},
      {kv16g, 8, 3, "P6 1 1 255\n"},   {kv16g, 16, 3, "P5 1 1 65535\n"},
  };
  for (const TCase& c : cases) {
    TKvBitmap bmp(1, 1, c.Format);
    bmp.FillWith(0);
    TKvIOParams params;
    params.BitsPerSample = c.Bps;
    params.SamplesPerPixel = c.Spp;
    bool aborting = true;
    const std::string out = AsText(Write(bmp, params, &aborting));
    EXPECT_FALSE(aborting);
    EXPECT_EQ(out.substr(0, c.Header.size()), c.Header)
        << KvPixFormatName(c.Format) << " " << c.Bps << "/" << c.Spp;
  }
}

TEST(PnmWrite, SixteenBitFromEightBitWidensBy257) {
  TKvBitmap bmp(1, 1, kv24RGB);
  bmp.SetRGB(0, 0, KvRGB(1, 128, 255));
  TKvIOParams params;
  params.BitsPerSample = 16;
  params.SamplesPerPixel = 3;
  const std::vector<uint8_t> out = Write(bmp, params);
  const std::vector<uint8_t> tail(out.end() - 6, out.end());
  EXPECT_EQ(tail, (std::vector<uint8_t>{0x01, 0x01, 0x80, 0x80, 0xFF, 0xFF}));
}

TEST(PnmWrite, ShortWriteSetsAborting) {
  TKvBitmap bmp(64, 64, kv24RGB);
  bmp.FillWith(0);
  TKvIOParams params;
  bool aborting = false;
  kvtest::WriteBytes(WritePxm, bmp, params, &aborting, 100);
  EXPECT_TRUE(aborting);
}

// --- Round trips ---------------------------------------------------------------------------

namespace {

void Fill(TKvBitmap& bmp) {
  for (int y = 0; y < bmp.Height(); ++y) {
    for (int x = 0; x < bmp.Width(); ++x) {
      const uint8_t v = kvtest::PatternByte(x, y);
      switch (bmp.PixelFormat()) {
        case kv1g:
          bmp.SetBit(x, y, (v & 1) != 0);
          break;
        case kv16g:
          bmp.SetWord(x, y, uint16_t(v * 251 + x));
          break;
        case kvRGB48:
          bmp.SetRGB48(x, y, {uint16_t(v * 257 + 3), uint16_t(x * 1000 + y), uint16_t(~v)});
          break;
        default:
          bmp.SetRGB(x, y, KvRGB(v, kvtest::PatternByte(x, y, 1), kvtest::PatternByte(x, y, 2)));
      }
    }
  }
}

void MakeGray(TKvBitmap& bmp) {
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width(); ++x) {
      const uint8_t v = kvtest::PatternByte(x, y);
      bmp.SetRGB(x, y, KvRGB(v, v, v));
    }
}

}  // namespace

TEST(PnmRoundTrip, EveryWrittenVariantReadsBackExactly) {
  struct TCase {
    const char* Name;
    TKvPixFormat Format;
    int Bps, Spp;
    bool Gray, Native;
  };
  const std::vector<TCase> cases = {
      {"bits", kv1g, 1, 1, false, false},
      {"colour 8", kv24RGB, 8, 3, false, false},
      {"gray 8", kv24RGB, 8, 1, true, false},
      {"colour 16 from 8", kv24RGB, 16, 3, false, false},
      {"colour 48", kvRGB48, 16, 3, false, true},
      {"gray 16", kv16g, 16, 1, false, true},
  };
  for (const TCase& c : cases) {
    for (int width : {1, 13, 64}) {
      TKvBitmap src(width, 5, c.Format);
      Fill(src);
      if (c.Gray) MakeGray(src);
      TKvIOParams params;
      params.BitsPerSample = c.Bps;
      params.SamplesPerPixel = c.Spp;
      bool aborting = true;
      const std::vector<uint8_t> file = Write(src, params, &aborting);
      ASSERT_FALSE(aborting) << c.Name;
      TKvBitmap back;
      TKvIOParams readParams;
      readParams.IsNativePixelFormat = c.Native;
      ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, back, readParams)) << c.Name;
      EXPECT_TRUE(kvtest::SamePixels(src, back)) << c.Name << " width " << width;
      EXPECT_EQ(readParams.BitsPerSample, c.Bps) << c.Name;
      EXPECT_EQ(readParams.SamplesPerPixel, c.Spp) << c.Name;
    }
  }
}

TEST(PnmRoundTrip, OneBitAskedForAColourImageWritesItsBlackAndWhiteConversion) {
  TKvBitmap src(9, 2, kv24RGB);
  src.FillWith(clWhite);
  src.SetRGB(3, 1, KvRGB(0, 0, 0));
  TKvIOParams params;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  const std::vector<uint8_t> file = Write(src, params);
  TKvBitmap back;
  TKvIOParams readParams;
  ASSERT_FALSE(kvtest::ReadBytes(ReadPxm, file, back, readParams));
  ASSERT_EQ(back.PixelFormat(), kv1g);
  EXPECT_FALSE(back.GetBit(3, 1));
  EXPECT_TRUE(back.GetBit(2, 1));
  EXPECT_EQ(src.PixelFormat(), kv24RGB);  // the caller's image keeps its format
}

// --- Corpus --------------------------------------------------------------------------------

namespace {

// Loads a corpus file with the reader directly (the .pnm files carry an extension outside the
// format table, so the component would refuse them by name).
bool LoadCorpus(const std::string& path, TKvBitmap& bmp, TKvIOParams& params) {
  std::unique_ptr<TKvFileStream> s = TKvFileStream::OpenRead(path);
  bool aborting = false;
  TKvProgressRec progress;
  progress.Aborting = &aborting;
  ReadPxm(*s, bmp, params, false, progress);
  return !aborting;
}

}  // namespace

TEST(PnmCorpus, FilesBehaveAsTheManifestSays) {
  if (!kvtest::CorpusAvailable()) GTEST_SKIP() << "corpus not present";
  int checked = 0;
  for (const kvtest::TCorpusEntry& e : kvtest::CorpusEntries("pnm/")) {
    if (e.Expected == "n/a") continue;
    TKvBitmap bmp;
    TKvIOParams params;
    const bool loaded = LoadCorpus(kvtest::CorpusPath(e.Path), bmp, params);
    ++checked;
    if (e.Path == "pnm/pillow/courB08.pbm") {
      // A PNG file under a PBM name: formats are chosen by name, never by content, so the
      // PNM reader rightly refuses it.
      EXPECT_FALSE(loaded) << e.Path;
      continue;
    }
    if (e.Expected == "must fail cleanly") {
      EXPECT_FALSE(loaded) << e.Path;
      continue;
    }
    if (e.Expected != "loads") continue;  // "unknown": only no crash
    ASSERT_TRUE(loaded) << e.Path;
    EXPECT_GT(bmp.Width(), 0) << e.Path;
    if (e.ReferencePath.empty()) continue;
    const std::optional<kvtest::TRefImage> ref =
        kvtest::LoadReference(kvtest::CorpusPath(e.ReferencePath));
    ASSERT_TRUE(ref.has_value()) << e.ReferencePath;
    // The reference of hopper.pnm is a separate file (hopper.ppm) whose pixels differ from it in
    // one sample by 1; every other reference is the same picture exactly.
    const int tolerance = e.Path == "pnm/pillow/hopper.pnm" ? 1 : 0;
    EXPECT_EQ(kvtest::CountRgbDifferences(kvtest::ToRgba(bmp), *ref, tolerance), 0) << e.Path;
  }
  EXPECT_GT(checked, 0);
}

// The frame reads a .ppm corpus file by its name and a saved copy reads back the same.
TEST(PnmCorpus, LoadAndSaveThroughTheComponent) {
  if (!kvtest::CorpusAvailable()) GTEST_SKIP() << "corpus not present";
  const std::string source = kvtest::CorpusPath("pnm/pillow/hopper_8bit.pgm");
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kvpnm_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  TKvIO io;
  io.LoadFromFile(source);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.FileType, kvftPXM);
  const std::string out = (dir / "copy.PGM").string();
  io.SaveToFile(out);
  ASSERT_FALSE(io.Aborting);
  TKvIO back;
  back.LoadFromFile(out);
  ASSERT_FALSE(back.Aborting);
  EXPECT_EQ(back.Params.SamplesPerPixel, 1);  // still a gray map
  EXPECT_TRUE(kvtest::SamePixels(*io.TargetImage(), *back.TargetImage()));
  std::filesystem::remove_all(dir);
}
