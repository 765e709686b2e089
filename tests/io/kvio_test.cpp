// The I/O component: the format table, the choice of format by name, the refusals that touch
// no file, the error texts, the finish notification, parameters carried from a load to a
// save, resolution defaults and pixel squaring, saves that fail without leaving a file, the
// attachment to the work document, and the streams.
#include "io/kvio.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "codec_helpers.h"
#include "io/codecs/kvbmp.h"
#include "io/codecs/kvpnm.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder per test, removed afterwards.
class IoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("kvio_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream out(Path(name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  std::vector<uint8_t> ReadFile(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Counts the component's notifications.
  void Watch(TKvIO& io) {
    io.OnProgress = [this](void*, int32_t percent) { progress_.push_back(percent); };
    io.OnFinishWork = [this](void*) { ++finished_; };
  }

  fs::path dir_;
  std::vector<int32_t> progress_;
  int finished_ = 0;
};

// A small 24-bit bitmap file with the given resolution in pixels per metre.
std::vector<uint8_t> BmpFile(int width, int height, int32_t ppmX = 2835, int32_t ppmY = 2835) {
  TKvBitmap bmp(width, height, kv24RGB);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) bmp.SetRGB(x, y, KvRGB(uint8_t(10 * x), uint8_t(10 * y), 7));
  TKvIOParams params;
  params.SetDpiX(1);
  params.SetDpiY(1);
  std::vector<uint8_t> file = kvtest::WriteBytes(WriteBmpFile, bmp, params);
  // Patch the resolution fields (pixels per metre).
  for (int i = 0; i < 4; ++i) {
    file[38 + size_t(i)] = uint8_t(uint32_t(ppmX) >> (8 * i));
    file[42 + size_t(i)] = uint8_t(uint32_t(ppmY) >> (8 * i));
  }
  return file;
}

std::vector<uint8_t> PgmFile(const std::vector<std::string>& comments) {
  TKvBitmap bmp(3, 2, kv24RGB);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) {
      const uint8_t v = uint8_t(40 * x + 100 * y);
      bmp.SetRGB(x, y, KvRGB(v, v, v));
    }
  TKvIOParams params;
  params.BitsPerSample = 8;
  params.SamplesPerPixel = 1;
  params.Pxm.Comments = comments;
  return kvtest::WriteBytes(WritePxm, bmp, params);
}

}  // namespace

// --- Format table and names ----------------------------------------------------------------

TEST(IoFormatTable, RecordsInOrderWithTheirTexts) {
  struct TRow {
    TKvFileType Type;
    const char* Description;
    const char* Extensions;
    bool Read, Write;
  };
  const std::vector<TRow> expected = {
      {kvftTIFF, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F;XIF", true, true},
      {kvftGIF, "CompuServe Bitmap", "GIF", true, true},
      {kvftJPEG, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", true, true},
      {kvftPCX, "PaintBrush", "PCX", true, true},
      {kvftBMP, "Windows Bitmap", "BMP;DIB;RLE", true, true},
      {kvftICO, "Windows Icon", "ICO", true, true},
      {kvftCUR, "Windows Cursor", "CUR", true, false},
      {kvftPNG, "Portable Network Graphics", "PNG", true, true},
      {kvftDICOM, "DICOM Bitmap", "DCM;DIC;DICOM", true, false},
      {kvftWMF, "Windows Metafile", "WMF", true, false},
      {kvftEMF, "Enhanced Windows Metafile", "EMF", true, false},
      {kvftTGA, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", true, true},
      {kvftPXM, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", true, true},
      {kvftWBMP, "Wireless Bitmap", "WBMP", true, true},
      {kvftJP2, "JPEG2000", "JP2", true, true},
      {kvftJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", true, true},
      {kvftPS, "PostScript Level 2", "PS;EPS", false, true},
      {kvftPDF, "Adobe PDF", "PDF", false, true},
      {kvftDCX, "Multipage PCX", "DCX", true, true},
      {kvftRAW, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2", true, false},
      {kvftPSD, "Photoshop PSD", "PSD", true, true},
      {kvftKVO, "Vectorial objects", "KVO", true, true},
      {kvftLYR, "Layers", "LYR", true, true},
      {kvftALL, "Layers and objects", "ALL", true, true},
  };
  const std::vector<TKvFileFormatInfo>& table = TKvIO::FileFormats();
  ASSERT_GE(table.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(table[i].FileType, expected[i].Type) << i;
    EXPECT_EQ(table[i].Description, expected[i].Description) << i;
    EXPECT_EQ(table[i].Extensions, expected[i].Extensions) << i;
    EXPECT_TRUE(table[i].Internal) << i;
    EXPECT_EQ(table[i].ReadFunction != nullptr, expected[i].Read) << i;
    EXPECT_EQ(table[i].WriteFunction != nullptr, expected[i].Write) << i;
  }
}

TEST(IoFormatTable, FormatIdentifiersKeepTheirNumbers) {
  EXPECT_EQ(kvftUnknown, 0);
  EXPECT_EQ(kvftPXM, 12);
  EXPECT_EQ(kvftRAW, 20);
  EXPECT_EQ(kvftPSD, 24);
  EXPECT_EQ(kvftDICOM, 28);
}

TEST(IoNames, ExtensionIsFromTheLastDotLowerCased) {
  EXPECT_EQ(TKvIO::ExtensionOf("SCAN.JPG"), ".jpg");
  EXPECT_EQ(TKvIO::ExtensionOf("/a.b/Page.Tiff"), ".tiff");
  EXPECT_EQ(TKvIO::ExtensionOf("noext"), "");
  EXPECT_EQ(TKvIO::ExtensionOf("dot."), ".");
}

TEST(IoNames, FormatsChosenByNameCaseBlind) {
  struct TCase {
    const char* Name;
    TKvFileType Load, Save;
  };
  const std::vector<TCase> cases = {
      {"SCAN.JPG", kvftJPEG, kvftJPEG},
      {"scan.jpg", kvftJPEG, kvftJPEG},
      {"a.Bmp", kvftBMP, kvftBMP},
      {"a.rle", kvftBMP, kvftBMP},
      {"a.DIB", kvftBMP, kvftBMP},
      {"a.pbm", kvftPXM, kvftPXM},
      {"a.PXM", kvftPXM, kvftPXM},
      {"a.png", kvftPNG, kvftPNG},
      {"a.pnm", kvftUnknown, kvftUnknown},  // not in the table
      {"a.wmf", kvftUnknown, kvftUnknown},  // no reader here, read-only format
      {"a.cur", kvftUnknown, kvftUnknown},
      {"a.CR2", kvftUnknown, kvftUnknown},
      {"a.dcm", kvftUnknown, kvftUnknown},
      {"a.pdf", kvftUnknown, kvftUnknown},
      {"noext", kvftUnknown, kvftUnknown},
      {"", kvftUnknown, kvftUnknown},
      {"http://host/a.bmp", kvftUnknown, kvftBMP},
  };
  // ".win" is Targa on save only; ".pix" is in the Targa record and saved in its format. Both
  // depend on a Targa codec being built in.
  const bool targa = KvFindCodec(kvftTGA) != nullptr;
  EXPECT_EQ(TKvIO::LoadFileType("a.win"), kvftUnknown);
  EXPECT_EQ(TKvIO::SaveFileType("a.win"), targa ? kvftTGA : kvftUnknown);
  EXPECT_EQ(TKvIO::SaveFileType("a.PIX"), targa ? kvftTGA : kvftUnknown);
  for (const TCase& c : cases) {
    EXPECT_EQ(TKvIO::LoadFileType(c.Name), c.Load) << c.Name;
    EXPECT_EQ(TKvIO::SaveFileType(c.Name), c.Save) << c.Name;
  }
  // The first record listing an extension wins; lookups ignore case and the dot.
  ASSERT_NE(TKvIO::FindFormat("PIX"), nullptr);
  EXPECT_EQ(TKvIO::FindFormat(".pix")->FileType, kvftTGA);
  EXPECT_EQ(TKvIO::FindFormat("Jpe")->FileType, kvftJPEG);
  EXPECT_EQ(TKvIO::FindFormat(".win"), nullptr);  // Targa on save only
  EXPECT_EQ(TKvIO::FindFormat(""), nullptr);
}

// --- Refusals ------------------------------------------------------------------------------

TEST_F(IoTest, LoadRefusalsSetAbortingAndFinish) {
  WriteFile("page.xyz", {1, 2, 3});
  WriteFile("page", {1, 2, 3});
  WriteFile("clip.avi", {1, 2, 3});
  for (const std::string& name : {Path("page.xyz"), Path("page"), std::string(), Path("clip.avi"),
                                  std::string("http://example.org/a.bmp"), Path("missing.pnm")}) {
    TKvIO io;
    Watch(io);
    finished_ = 0;
    progress_.clear();
    io.LoadFromFile(name);
    EXPECT_TRUE(io.Aborting) << name;
    EXPECT_EQ(finished_, 1) << name;
    ASSERT_EQ(progress_.size(), 1u) << name;
    EXPECT_EQ(progress_[0], 100);
    EXPECT_TRUE(io.TargetImage()->IsEmpty());
  }
}

// A built-in format this build has no codec for (or no reader at all) is a failed load.
TEST_F(IoTest, LoadWithoutCodecFails) {
  WriteFile("scan.dcm", {1, 2, 3});
  WriteFile("doc.pdf", {1, 2, 3});
  for (const char* name : {"scan.dcm", "doc.pdf"}) {
    TKvIO io;
    io.LoadFromFile(Path(name));
    EXPECT_TRUE(io.Aborting) << name;
    EXPECT_EQ(io.Params.FileType, kvftUnknown) << name;
  }
}

TEST_F(IoTest, SaveRefusalsTouchNoFile) {
  TKvIO io;
  Watch(io);
  io.TargetImage()->AllocateImage(4, 4, kv24RGB);
  io.TargetImage()->FillWith(0);
  for (const char* name : {"out.wmf", "out.emf", "out.cur", "out.RAW", "out.nef", "out.dcm",
                           "out.dicom", "noext", "out.jp2", "out.wbmp", "out.pnm"}) {
    io.Aborting = false;
    io.SaveToFile(Path(name));
    EXPECT_TRUE(io.Aborting) << name;
  }
  io.Aborting = false;
  io.SaveToFile("");
  EXPECT_TRUE(io.Aborting);
  EXPECT_TRUE(Entries().empty());
  EXPECT_EQ(finished_, 0);  // refused names never reach the finish
}

TEST_F(IoTest, EmptyImageIsNotSaved) {
  TKvIO io;
  io.SaveToFile(Path("empty.bmp"));
  EXPECT_TRUE(io.Aborting);
  EXPECT_TRUE(Entries().empty());
}

TEST_F(IoTest, WithoutTargetNothingHappens) {
  TKvIO io;
  Watch(io);
  io.SetTargetImage(nullptr);
  WriteFile("a.bmp", BmpFile(2, 2));
  io.LoadFromFile(Path("a.bmp"));
  EXPECT_FALSE(io.Aborting);
  EXPECT_EQ(finished_, 0);
}

// --- Error texts ---------------------------------------------------------------------------

TEST_F(IoTest, OpenAndCreateErrorsCarryTheExpandedNameAndTheSystemText) {
  TKvIO io;
  Watch(io);
  const std::string missing = Path("missing.bmp");
  try {
    io.LoadFromFile(missing);
    FAIL() << "no error raised";
  } catch (const TKvIOError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file \"" + missing + "\". No such file or directory");
  }
  EXPECT_TRUE(io.Aborting);
  // The load got past the name checks, so it finishes once although the error passes through.
  EXPECT_EQ(finished_, 1);
  EXPECT_EQ(progress_, std::vector<int32_t>{100});

  // A relative name is expanded against the working folder.
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_);
  io.TargetImage()->AllocateImage(2, 2, kv24RGB);
  try {
    io.SaveToFile("no_folder/out.bmp");
    FAIL() << "no error raised";
  } catch (const TKvIOError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"" +
                                         (dir_ / "no_folder/out.bmp").string() +
                                         "\". No such file or directory");
  }
  fs::current_path(cwd);
}

// --- Loads and saves -----------------------------------------------------------------------

TEST_F(IoTest, LoadFillsParamsAndFinishesOnce) {
  WriteFile("Page.BMP", BmpFile(5, 3));
  TKvIO io;
  Watch(io);
  io.TargetImage()->AllocateImage(2, 2, kv24RGB);
  io.TargetImage()->AlphaPlane();  // an old alpha plane does not survive a load
  io.LoadFromFile(Path("Page.BMP"));
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.FileName, Path("Page.BMP"));
  EXPECT_EQ(io.Params.FileType, kvftBMP);
  EXPECT_EQ(io.Params.Width, 5);
  EXPECT_EQ(io.TargetImage()->Width(), 5);
  EXPECT_FALSE(io.TargetImage()->HasAlphaPlane());
  EXPECT_EQ(finished_, 1);
  ASSERT_FALSE(progress_.empty());
  EXPECT_EQ(progress_.back(), 100);
}

TEST_F(IoTest, ResolutionBelowTwoBecomesTheDefault) {
  struct TCase {
    int32_t PpmX, PpmY;
    int32_t DpiX, DpiY;
  };
  // 39 pixels per metre is 1 dpi; 0 means none.
  for (const TCase& c : std::vector<TCase>{{39, 0, 300, 300}, {0, 2835, 300, 72}, {79, 79, 2, 2}}) {
    WriteFile("r.bmp", BmpFile(2, 2, c.PpmX, c.PpmY));
    TKvIO io;
    io.LoadFromFile(Path("r.bmp"));
    ASSERT_FALSE(io.Aborting);
    EXPECT_EQ(io.Params.DpiX(), c.DpiX) << c.PpmX;
    EXPECT_EQ(io.Params.DpiY(), c.DpiY) << c.PpmY;
  }
}

TEST_F(IoTest, ParamsCarryOverFromLoadToSave) {
  const std::vector<uint8_t> original = PgmFile({"scanned", "second line"});
  WriteFile("in.pgm", original);
  TKvIO io;
  io.LoadFromFile(Path("in.pgm"));
  ASSERT_FALSE(io.Aborting);
  io.SaveToFile(Path("out.pgm"));
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(ReadFile("out.pgm"), original);  // P5, comments and samples as found
  EXPECT_EQ(io.Params.FileName, Path("out.pgm"));
  EXPECT_EQ(io.Params.FileType, kvftPXM);
}

// A load sets only what its codec reads: a BMP setting found earlier survives a PNM load and
// applies to the next BMP save.
TEST_F(IoTest, GroupFieldsALoadDoesNotTouchKeepTheirValues) {
  WriteFile("in.pgm", PgmFile({}));
  TKvIO io;
  io.Params.Bmp.Rle = 1;
  io.LoadFromFile(Path("in.pgm"));
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.Bmp.Rle, 1);
  io.SaveToFile(Path("out.bmp"));
  ASSERT_FALSE(io.Aborting);
  const std::vector<uint8_t> out = ReadFile("out.bmp");
  EXPECT_EQ(kvtest::Le16At(out, 28), 8);   // gray map: one sample, 8 bits
  EXPECT_EQ(kvtest::Le32At(out, 30), 1u);  // RLE8
}

TEST_F(IoTest, SaveConvertsOnlyWhatTheWriterCannotTake) {
  TKvIO io;
  TKvBitmap& img = *io.TargetImage();
  img.AllocateImage(3, 1, kv8p);
  for (int i = 0; i < 256; ++i) img.SetPaletteEntry(i, KvRGB(uint8_t(i), 0, 0));
  img.FillWith(9);
  io.SaveToFile(Path("keep.bmp"));
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(img.PixelFormat(), kv8p);  // the BMP writer takes palette images
  io.SaveToFile(Path("conv.ppm"));
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(img.PixelFormat(), kv24RGB);  // converted in place for the PNM writer
  EXPECT_EQ(img.GetRGB(1, 0), KvRGB(9, 0, 0));
}

TEST_F(IoTest, UpperCaseNameSavesInItsFormat) {
  TKvIO io;
  io.TargetImage()->AllocateImage(2, 2, kv24RGB);
  io.TargetImage()->FillWith(clWhite);
  io.SaveToFile(Path("SCAN.BMP"));
  ASSERT_FALSE(io.Aborting);
  const std::vector<uint8_t> out = ReadFile("SCAN.BMP");
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[0], 'B');
  EXPECT_EQ(io.Params.FileType, kvftBMP);
}

// Any name the folder can hold can be written, also at the length limit of its names, and a
// name without a folder is written in the working folder.
TEST_F(IoTest, NamesUpToTheFoldersLimitAreSaved) {
  const long limit = pathconf(dir_.c_str(), _PC_NAME_MAX);
  ASSERT_GT(limit, 4);
  const std::string longest = std::string(size_t(limit) - 4, 'p') + ".bmp";
  TKvIO io;
  io.TargetImage()->AllocateImage(2, 2, kv24RGB);
  io.SaveToFile(Path(longest));
  EXPECT_FALSE(io.Aborting);
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_);
  io.SaveToFile("here.bmp");
  fs::current_path(cwd);
  EXPECT_FALSE(io.Aborting);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"here.bmp", longest}));
}

// --- Failed saves leave no file ------------------------------------------------------------

namespace {

void WriterThatFails(TKvStream& s, TKvBitmap&, TKvIOParams&, TKvProgressRec& progress) {
  s.WriteText("partial");
  progress.Abort();
}
void WriterThatThrows(TKvStream& s, TKvBitmap&, TKvIOParams&, TKvProgressRec&) {
  s.WriteText("partial");
  throw std::runtime_error("library error");
}
void WriterThatWorks(TKvStream& s, TKvBitmap&, TKvIOParams&, TKvProgressRec&) {
  s.WriteText("complete");
}

}  // namespace

TEST_F(IoTest, FailedSaveKeepsTheOldFileAndLeavesNoScraps) {
  TKvIO io;
  Watch(io);
  io.TargetImage()->AllocateImage(2, 2, kv24RGB);
  WriteFile("out.wbmp", {'o', 'l', 'd'});
  TKvCodec codec;
  codec.FileType = kvftWBMP;  // a format without built-in codec here
  codec.Write = WriterThatFails;
  KvRegisterCodec(codec);
  io.SaveToFile(Path("out.wbmp"));
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(ReadFile("out.wbmp"), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.wbmp"});
  EXPECT_EQ(finished_, 1);

  codec.Write = WriterThatThrows;
  KvRegisterCodec(codec);
  EXPECT_THROW(io.SaveToFile(Path("new.wbmp")), std::runtime_error);
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.wbmp"});

  codec.Write = WriterThatWorks;
  KvRegisterCodec(codec);
  io.SaveToFile(Path("out.wbmp"));
  EXPECT_FALSE(io.Aborting);
  EXPECT_EQ(ReadFile("out.wbmp"), kvtest::Bytes("complete"));
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.wbmp"});
  KvRegisterCodec(TKvCodec{kvftWBMP});  // no writer again
}

// --- Formats from outside ------------------------------------------------------------------

namespace {

void OutsideReader(TKvStream& s, TKvBitmap& image, TKvIOParams& params, bool,
                   TKvProgressRec& progress) {
  uint8_t v = 0;
  if (!s.ReadByte(v) || !image.AllocateImage(v, 1, kv24RGB)) return progress.Abort();
  image.FillWith(0);
  params.SetDpiX(200);
  params.SetDpiY(100);
}
void OutsideReaderThatThrows(TKvStream&, TKvBitmap&, TKvIOParams&, bool, TKvProgressRec&) {
  throw std::runtime_error("broken");
}

}  // namespace

TEST_F(IoTest, FormatsFromOutsideLoadThroughTheirReadFunction) {
  TKvFileFormatInfo info;
  info.FileType = kvftKVO;
  info.Description = "Test format";
  info.Extensions = "KVTEST;KVBAD";
  info.ReadFunction = OutsideReader;
  TKvIO::RegisterFileFormat(info);
  TKvFileFormatInfo bad = info;
  bad.Extensions = "KVBAD2";
  bad.ReadFunction = OutsideReaderThatThrows;
  TKvIO::RegisterFileFormat(bad);
  ASSERT_FALSE(TKvIO::FindFormat("kvtest")->Internal);

  WriteFile("a.kvtest", {4});
  TKvIO io;
  io.AutoAdjustDPI = true;
  io.LoadFromFile(Path("a.kvtest"));
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.FileType, kvftKVO);
  EXPECT_EQ(io.TargetImage()->Width(), 4);
  EXPECT_EQ(io.TargetImage()->Height(), 2);  // squared: 1 / 100 * 200

  WriteFile("b.kvbad2", {4});
  io.LoadFromFile(Path("b.kvbad2"));
  EXPECT_TRUE(io.Aborting);  // the reader's error is caught
}

// --- Pixel squaring ------------------------------------------------------------------------

TEST_F(IoTest, AutoAdjustDpiSquaresThePixels) {
  struct TCase {
    int W, H;
    int32_t PpmX, PpmY;  // 7874 = 200 dpi, 3937 = 100 dpi
    int NewW, NewH;
    int32_t Dpi;
  };
  const std::vector<TCase> cases = {
      {4, 2, 7874, 3937, 4, 4, 200},  // wider than high: the height follows
      {2, 4, 3937, 7874, 4, 4, 200},  // otherwise the width follows
      {3, 3, 3937, 7874, 6, 3, 200},
      {2, 2, 7874, 7874, 2, 2, 200},  // square already
  };
  for (bool filtered : {false, true}) {
    for (const TCase& c : cases) {
      WriteFile("d.bmp", BmpFile(c.W, c.H, c.PpmX, c.PpmY));
      TKvIO io;
      io.AutoAdjustDPI = true;
      io.FilteredAdjustDPI = filtered;
      io.LoadFromFile(Path("d.bmp"));
      ASSERT_FALSE(io.Aborting);
      EXPECT_EQ(io.TargetImage()->Width(), c.NewW) << c.W << "x" << c.H;
      EXPECT_EQ(io.TargetImage()->Height(), c.NewH) << c.W << "x" << c.H;
      EXPECT_EQ(io.Params.DpiX(), c.Dpi);
      EXPECT_EQ(io.Params.DpiY(), c.Dpi);
      EXPECT_EQ(io.TargetImage()->PixelFormat(), kv24RGB);
    }
  }
  // Without filtering the nearest copy repeats rows: 4 x 2 -> 4 x 4.
  WriteFile("n.bmp", BmpFile(4, 2, 7874, 3937));
  TKvIO io;
  io.AutoAdjustDPI = true;
  io.LoadFromFile(Path("n.bmp"));
  EXPECT_EQ(io.TargetImage()->GetRGB(1, 0), KvRGB(10, 0, 7));
  EXPECT_EQ(io.TargetImage()->GetRGB(1, 1), KvRGB(10, 0, 7));
  EXPECT_EQ(io.TargetImage()->GetRGB(1, 3), KvRGB(10, 10, 7));

  // Off by default.
  TKvIO plain;
  plain.LoadFromFile(Path("n.bmp"));
  EXPECT_EQ(plain.TargetImage()->Height(), 2);
}

TEST_F(IoTest, AutoAdjustDpiResizesTheAlphaPlane) {
  TKvBitmap src(4, 2, kv24RGB);
  src.FillWith(0);
  src.AlphaPlane()->SetByte(0, 0, 10);
  TKvIOParams params;
  params.Bmp.KeepAlpha = true;
  params.SetDpiX(200);
  params.SetDpiY(100);
  WriteFile("a.bmp", kvtest::WriteBytes(WriteBmpFile, src, params));
  TKvIO io;
  io.AutoAdjustDPI = true;
  io.Params.Bmp.KeepAlpha = true;
  io.LoadFromFile(Path("a.bmp"));
  ASSERT_FALSE(io.Aborting);
  ASSERT_TRUE(io.TargetImage()->HasAlphaPlane());
  const TKvBitmap* alpha = io.TargetImage()->ExistingAlphaPlane();
  EXPECT_EQ(alpha->Height(), 4);
  EXPECT_EQ(alpha->GetByte(0, 1), 10);
  EXPECT_EQ(alpha->GetByte(1, 1), 255);
}

// --- The work document ---------------------------------------------------------------------

TEST_F(IoTest, ViewIOIsMadeOnceAndWorksOnTheViewsImage) {
  TKvView view;
  int viewProgress = 0, viewFinished = 0, changes = 0;
  view.OnProgress = [&](void*, int32_t) { ++viewProgress; };
  view.OnFinishWork = [&](void*) { ++viewFinished; };
  view.OnImageChange = [&](void*) { ++changes; };
  view.Background = 0x00123456;
  TKvIO& io = ViewIO(view);
  EXPECT_EQ(&ViewIO(view), &io);
  EXPECT_EQ(io.AttachedView(), &view);
  EXPECT_EQ(io.TargetImage(), &view.Bitmap());
  EXPECT_EQ(io.Background(), 0x00123456u);
  io.SetBackground(clWhite);
  EXPECT_EQ(view.Background, clWhite);

  WriteFile("v.bmp", BmpFile(6, 4));
  io.LoadFromFile(Path("v.bmp"));
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(view.Bitmap().Width(), 6);
  EXPECT_GT(viewProgress, 0);
  EXPECT_EQ(viewFinished, 1);
  EXPECT_GE(changes, 1);
}

// --- Streams -------------------------------------------------------------------------------

TEST(IoStreams, CheckedReadsNeverInventBytes) {
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5};
  TKvMemoryStream s(data.data(), data.size());
  uint32_t v32 = 0;
  uint16_t v16 = 0;
  ASSERT_TRUE(s.ReadU32LE(v32));
  EXPECT_EQ(v32, 0x04030201u);
  EXPECT_FALSE(s.ReadU16LE(v16));  // one byte left
  EXPECT_EQ(s.Position(), 5);
  EXPECT_FALSE(s.Seek(6));
  EXPECT_FALSE(s.Seek(-1));
  EXPECT_TRUE(s.Seek(3));
  ASSERT_TRUE(s.ReadU16BE(v16));
  EXPECT_EQ(v16, 0x0405);
  EXPECT_EQ(s.Write(data.data(), 1), 0u);  // a view is read-only
}

TEST(IoStreams, MemoryStreamWriteLimit) {
  TKvMemoryStream s;
  s.WriteLimit = 3;
  EXPECT_FALSE(s.WriteU32LE(7));
  EXPECT_EQ(s.Size(), 3);
  EXPECT_TRUE(s.Seek(0));
  EXPECT_TRUE(s.WriteU16BE(0x0102));
  EXPECT_EQ(s.Bytes(), (std::vector<uint8_t>{1, 2, 0}));
}

TEST_F(IoTest, FileStreamRefusesFoldersAndReportsSize) {
  EXPECT_THROW(TKvFileStream::OpenRead(dir_.string()), TKvIOError);
  {
    std::unique_ptr<TKvFileStream> w = TKvFileStream::Create(Path("f.bin"));
    EXPECT_TRUE(w->WriteU32BE(0x01020304));
    EXPECT_TRUE(w->Seek(1));
    EXPECT_TRUE(w->WriteByte(9));
    EXPECT_EQ(w->Size(), 4);
    EXPECT_TRUE(w->Close());
  }
  std::unique_ptr<TKvFileStream> r = TKvFileStream::OpenRead(Path("f.bin"));
  EXPECT_EQ(r->Size(), 4);
  uint32_t v = 0;
  ASSERT_TRUE(r->ReadU32BE(v));
  EXPECT_EQ(v, 0x01090304u);
  EXPECT_EQ(r->Write(&v, 1), 0u);
  EXPECT_EQ(TKvFileStream::CreateNew(Path("f.bin")), nullptr);  // exists already
}
