// The image batch job: output naming, gauge, margins, and the job on generated pages with a fake
// host (cancel point, files that fail to load, sources never overwritten).
#include "app/imagejob.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "deskew/kvview.h"
#include "io/kvio.h"
#include "synthpage.h"

namespace fs = std::filesystem;

namespace {

// ---- Naming ----

struct TNameCase {
  const char* Source;
  const char* Folder;
  const char* Prefix;
  const char* Expected;
};

TEST(ImageJobNamingTest, OutputPaths) {
  const TNameCase cases[] = {
      // Same folder, no prefix: the output would replace its source, so NEW_ goes in front.
      {"/scans/a.tif", "/scans", "", "/scans/NEW_a.tif"},
      {"/scans/a.tif", "/scans", "s_", "/scans/s_a.tif"},
      {"/scans/s_a.tif", "/scans", "s_", "/scans/s_s_a.tif"},
      // The comparison ignores letter case and outer blanks; NEW_ comes before the prefix.
      {"/Scans/A.TIF", "/scans", "", "/scans/NEW_A.TIF"},
      {" /scans/a.tif", "/scans", "", "/scans/NEW_a.tif"},
      // One separator, also when the folder ends in one, also for the root.
      {"/in/a.png", "/out/", "", "/out/a.png"},
      {"/a.png", "/", "", "/NEW_a.png"},
      {"/in/a.png", "/", "p-", "/p-a.png"},
      // Formats read but not written are saved as .jpg (prefix kept); others keep their case.
      {"/in/x.WMF", "/out", "", "/out/x.jpg"},
      {"/in/x.emf", "/out", "k_", "/out/k_x.jpg"},
      {"/in/x.Cur", "/out", "", "/out/x.jpg"},
      {"/in/x.TIF", "/out", "", "/out/x.TIF"},
      {"/in/x.raw", "/out", "", "/out/x.raw"},
      // The format test is a substring test: any piece of a read-only extension is enough.
      {"/in/x.e", "/out", "", "/out/x.jpg"},
      {"/in/x.W", "/out", "", "/out/x.W"},  // also a piece of .WMP, which is writable
      {"/in/x.tar.gz", "/out", "", "/out/x.tar.gz"},
      {"/in/noext", "/out", "", "/out/noext"},
      {"/in.d/noext", "/out", "", "/out/noext"},  // a dot in the folder is no extension
      {"/in/.hidden", "/out", "", "/out/.hidden"},
      {"rel/a.pgm", "out", "", "out/a.pgm"},
      {"a.pgm", "", "", "NEW_a.pgm"},  // an empty folder is the current one
  };
  for (const TNameCase& c : cases) {
    EXPECT_EQ(KvOutputPath(c.Source, c.Folder, c.Prefix), c.Expected)
        << c.Source << " | " << c.Folder << " | " << c.Prefix;
  }
}

TEST(ImageJobNamingTest, PartsOfAPath) {
  EXPECT_EQ(KvFileExt("/a/b.c/d.Png"), ".Png");
  EXPECT_EQ(KvFileExt("/a/b.c/d"), "");
  EXPECT_EQ(KvFileBaseName("/a/scan.v2.jpg"), "scan.v2");
  EXPECT_EQ(KvFileFolder("/a/b/c.png"), "/a/b/");
  EXPECT_EQ(KvFileFolder("c.png"), "");
  EXPECT_TRUE(KvIsImageListExt("x.JPEG"));
  EXPECT_TRUE(KvIsImageListExt("x.p"));  // the folder scan's substring test
  EXPECT_FALSE(KvIsImageListExt("x.pdf"));
  EXPECT_FALSE(KvIsImageListExt("x"));
}

struct TGaugeCase {
  int Files;
  int Step;
  int End;  // the gauge after all files
};

TEST(ImageJobGaugeTest, StepsHalvesToEvenAndClamping) {
  const TGaugeCase cases[] = {
      {1, 100, 100}, {2, 50, 100},  {3, 33, 99}, {6, 17, 100}, {8, 12, 96},
      {40, 2, 80},   {150, 1, 100}, {200, 0, 0}, {201, 0, 0},  {0, 0, 0},
  };
  for (const TGaugeCase& c : cases) {
    EXPECT_EQ(KvGaugeStep(c.Files), c.Step) << c.Files;
    int g = 0;
    for (int i = 0; i < c.Files; ++i) g = KvGaugeAdvance(g, KvGaugeStep(c.Files));
    EXPECT_EQ(g, c.End) << c.Files;
  }
  EXPECT_EQ(KvGaugeAdvance(-5, 0), 0);
}

TEST(ImageJobMarginTest, TenPercentCutTowardZero) {
  EXPECT_EQ(KvPageMargin(1234), 123);
  EXPECT_EQ(KvPageMargin(2000), 200);
  EXPECT_EQ(KvPageMargin(9), 0);
  EXPECT_EQ(KvPageMargin(10), 1);
  EXPECT_EQ(KvPageMargin(0), 0);
}

// ---- Files on disk ----

class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "kvjob-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A small page (the job measures at full size when the width is below the resample width).
void WritePage(const std::string& path, TKvPixFormat format, double angle, uint32_t seed) {
  TKvSynthPage page;
  page.Width = 360;
  page.Height = 300;
  page.Format = format;
  page.SkewDegrees = angle;
  page.Seed = seed;
  page.GlyphPixels = 2;
  TKvIO io;
  ASSERT_TRUE(KvDrawSynthPage(page, *io.TargetImage()));
  KvSynthFileLayout(page.Format, io.Params.BitsPerSample, io.Params.SamplesPerPixel);
  io.SaveToFile(path);
  ASSERT_FALSE(io.Aborting) << path;
}

TEST(ImageJobPlanTest, GuardsSourcesBeyondTheNameRule) {
  TTempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  fs::create_directory(dir / "in");
  WriteAll(dir / "in/a.pgm", "x");
  WriteAll(dir / "in/NEW_b.pgm", "y");
  WriteAll(dir / "in/b.pgm", "z");
  fs::create_directory_symlink(dir / "in", dir / "alias");
  fs::create_directory(dir / "in2");
  WriteAll(dir / "in2/a.pgm", "w");

  // Another spelling of the source's folder still counts as the source.
  auto plan = KvPlanOutputs({dir / "in/a.pgm"}, dir / "alias", "");
  ASSERT_EQ(plan.size(), 1u);
  EXPECT_EQ(plan[0].Path, dir / "alias/NEW_a.pgm");
  EXPECT_TRUE(plan[0].Refusal.empty());
  plan = KvPlanOutputs({dir / "in/a.pgm"}, dir / "in/../in", "");
  EXPECT_EQ(KvFileName(plan[0].Path), "NEW_a.pgm");

  // b.pgm's output would replace the source NEW_b.pgm: refused, nothing is planned.
  plan = KvPlanOutputs({dir / "in/b.pgm", dir / "in/NEW_b.pgm"}, dir / "in", "");
  EXPECT_EQ(plan[0].Path, "");
  EXPECT_NE(plan[0].Refusal.find("NEW_b.pgm"), std::string::npos);
  EXPECT_NE(plan[0].Refusal.find(dir / "in/b.pgm"), std::string::npos);
  EXPECT_EQ(plan[1].Path, dir / "in/NEW_NEW_b.pgm");

  // Two sources of the same name: the second would overwrite the first one's output.
  plan = KvPlanOutputs({dir / "in/a.pgm", dir / "in2/a.pgm"}, dir / "out", "");
  EXPECT_EQ(plan[0].Path, dir / "out/a.pgm");
  EXPECT_EQ(plan[1].Path, "");
  EXPECT_NE(plan[1].Refusal.find("already written"), std::string::npos);

  // A hard link to a source is the source.
  fs::create_directory(dir / "out");
  fs::create_hard_link(dir / "in/a.pgm", dir / "out/a.pgm");
  plan = KvPlanOutputs({dir / "in/a.pgm"}, dir / "out", "");
  EXPECT_EQ(plan[0].Path, dir / "out/NEW_a.pgm");
}

// ---- The job with a fake host ----

class TFakeHost : public TKvJobHost {
 public:
  void ShowCurrentPath(const std::string& path) override { Paths.push_back(path); }
  void SetGauge(int progress) override { Gauges.push_back(progress); }
  void ProcessEvents() override { ++EventRounds; }
  bool CancelRequested() override {
    return CancelWhenShowing >= 0 && int(Paths.size()) > CancelWhenShowing;
  }
  void FileFinished(const TKvFileResult& r) override { Finished.push_back(r); }
  void ShowMessage(const std::string& text) override { Messages.push_back(text); }
  void ShowError(const std::string& text) override { Errors.push_back(text); }

  int CancelWhenShowing = -1;  // cancel once the file at this index has been shown
  std::vector<std::string> Paths, Messages, Errors;
  std::vector<int> Gauges;
  std::vector<TKvFileResult> Finished;
  int EventRounds = 0;
};

class ImageJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    fs::create_directory(dir_ / "in");
    fs::create_directory(dir_ / "out");
  }
  TKvJobOutcome RunJob(const std::vector<std::string>& sources, TFakeHost& host,
                       const std::string& out, int workers = 1, bool stopAtFirstError = true) {
    TKvImageJobSettings s;
    s.Sources = sources;
    s.OutputFolder = out;
    s.Workers = workers;
    s.StopAtFirstError = stopAtFirstError;
    TKvView view;
    return TKvImageJob(s).Run(view, host);
  }
  TTempDir dir_;
};

TEST_F(ImageJobTest, DeskewsEveryFileAndSaysDone) {
  const std::vector<std::string> in = {dir_ / "in/a.pgm", dir_ / "in/b.bmp", dir_ / "in/c.pbm"};
  const double angles[] = {2.5, -1.8, 3.2};
  WritePage(in[0], kv8g, angles[0], 1);
  WritePage(in[1], kv24RGB, angles[1], 2);
  WritePage(in[2], kv1g, angles[2], 3);
  TFakeHost host;
  const TKvJobOutcome outcome = RunJob(in, host, dir_ / "out");
  EXPECT_EQ(host.Paths, in);
  EXPECT_EQ(host.Messages, std::vector<std::string>{"Done!"});
  EXPECT_TRUE(host.Errors.empty());
  EXPECT_EQ(host.Gauges, (std::vector<int>{33, 66, 99}));
  EXPECT_EQ(host.EventRounds, 9);  // after the crop, the undo and the rotation of each file
  ASSERT_EQ(outcome.Files.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const TKvFileResult& r = outcome.Files[size_t(i)];
    EXPECT_EQ(r.Status, kvfsOK) << r.Message;
    EXPECT_EQ(r.Output, (dir_ / "out/") + std::string(KvFileName(in[size_t(i)])));
    EXPECT_NEAR(r.Angle, angles[i], 0.25) << in[size_t(i)];
    EXPECT_TRUE(fs::exists(r.Output));
  }
  // The output is the upright page that the tilted outline held: w cos a + h sin a = W and
  // w sin a + h cos a = H for the 360 x 300 picture.
  TKvIO io;
  io.LoadFromFile(outcome.Files[0].Output);
  ASSERT_FALSE(io.Aborting);
  const double a = outcome.Files[0].Angle * 3.14159265358979 / 180, c = std::cos(a),
               s = std::sin(std::fabs(a)), det = c * c - s * s;
  EXPECT_NEAR(io.TargetImage()->Width(), (360 * c - 300 * s) / det, 1.0);
  EXPECT_NEAR(io.TargetImage()->Height(), (300 * c - 360 * s) / det, 1.0);
}

TEST_F(ImageJobTest, CancelDuringTheThirdFileKeepsTheFirstTwoAndSaysNothing) {
  std::vector<std::string> in;
  for (int i = 0; i < 4; ++i) {
    in.push_back(dir_ / ("in/p" + std::to_string(i) + ".pgm"));
    WritePage(in.back(), kv8g, 1.0, uint32_t(10 + i));
  }
  TFakeHost host;
  host.CancelWhenShowing = 2;
  const TKvJobOutcome outcome = RunJob(in, host, dir_ / "out");
  EXPECT_TRUE(outcome.Cancelled);
  EXPECT_TRUE(host.Messages.empty());  // no "Done!"
  EXPECT_TRUE(fs::exists(dir_ / "out/p0.pgm"));
  EXPECT_TRUE(fs::exists(dir_ / "out/p1.pgm"));
  EXPECT_FALSE(fs::exists(dir_ / "out/p2.pgm"));  // rotated, then the flag stopped its save
  EXPECT_FALSE(fs::exists(dir_ / "out/p3.pgm"));
  EXPECT_EQ(host.Paths.size(), 3u);
  ASSERT_EQ(outcome.Files.size(), 3u);
  EXPECT_EQ(outcome.Files[2].Status, kvfsCancelled);
}

// A file whose load fails without an error must not be saved under its name with the previous
// file's page still in the document; the job reports it and goes on.
TEST_F(ImageJobTest, FileThatFailsToLoadIsReportedAndNothingIsWrittenForIt) {
  const std::vector<std::string> in = {dir_ / "in/good.pgm", dir_ / "in/broken.pgm",
                                       dir_ / "in/unknown.xyz", dir_ / "in/good2.pgm"};
  WritePage(in[0], kv8g, 2.0, 4);
  WriteAll(in[1], "P5\n360 300\n255\n" + std::string(100, '\x80'));  // truncated pixels
  WriteAll(in[2], "not an image");
  WritePage(in[3], kv8g, -2.0, 5);
  TFakeHost host;
  const TKvJobOutcome outcome = RunJob(in, host, dir_ / "out");
  ASSERT_EQ(outcome.Files.size(), 4u);
  EXPECT_EQ(outcome.Files[0].Status, kvfsOK);
  EXPECT_EQ(outcome.Files[1].Status, kvfsFailed);
  EXPECT_NE(outcome.Files[1].Message.find(in[1]), std::string::npos);
  EXPECT_EQ(outcome.Files[2].Status, kvfsFailed);
  EXPECT_NE(outcome.Files[2].Message.find(in[2]), std::string::npos);
  EXPECT_EQ(outcome.Files[3].Status, kvfsOK);
  EXPECT_FALSE(fs::exists(dir_ / "out/broken.pgm"));
  EXPECT_FALSE(fs::exists(dir_ / "out/unknown.xyz"));
  EXPECT_TRUE(fs::exists(dir_ / "out/good2.pgm"));
  EXPECT_EQ(outcome.FailedCount(), 2);
  EXPECT_EQ(host.Messages, std::vector<std::string>{"Done!"});  // soft failures end nothing
}

TEST_F(ImageJobTest, RaisedErrorEndsTheDesktopJobButNotTheBatchTool) {
  const std::vector<std::string> in = {dir_ / "in/missing.pgm", dir_ / "in/ok.pgm"};
  WritePage(in[1], kv8g, 1.5, 6);
  TFakeHost stopping;
  TKvJobOutcome outcome = RunJob(in, stopping, dir_ / "out", 1, true);
  EXPECT_TRUE(outcome.Aborted);
  ASSERT_EQ(stopping.Errors.size(), 1u);
  EXPECT_NE(stopping.Errors[0].find(in[0]), std::string::npos);
  EXPECT_TRUE(stopping.Messages.empty());
  EXPECT_FALSE(fs::exists(dir_ / "out/ok.pgm"));

  TFakeHost going;
  outcome = RunJob(in, going, dir_ / "out", 1, false);
  EXPECT_FALSE(outcome.Aborted);
  EXPECT_EQ(outcome.FailedCount(), 1);
  EXPECT_TRUE(fs::exists(dir_ / "out/ok.pgm"));
  EXPECT_EQ(going.Messages, std::vector<std::string>{"Done!"});
}

TEST_F(ImageJobTest, SourceIsNeverOverwritten) {
  const std::string src = dir_ / "in/page.pgm";
  WritePage(src, kv8g, 3.0, 7);
  const std::string before = ReadAll(src);
  fs::create_directory_symlink(dir_ / "in", dir_ / "link");
  TFakeHost host;
  // Output folder = source folder, spelled directly and through a link.
  TKvJobOutcome outcome = RunJob({src}, host, dir_ / "in");
  EXPECT_EQ(outcome.Files[0].Output, dir_ / "in/NEW_page.pgm");
  outcome = RunJob({src}, host, dir_ / "link");
  EXPECT_EQ(outcome.Files[0].Output, dir_ / "link/NEW_page.pgm");
  EXPECT_EQ(ReadAll(src), before);
  EXPECT_NE(ReadAll(dir_ / "in/NEW_page.pgm"), before);  // deskewed, so not a copy
}

TEST_F(ImageJobTest, MeasureOnlyWritesNothing) {
  const std::string src = dir_ / "in/m.pgm";
  WritePage(src, kv8g, -3.4, 8);
  TKvImageJobSettings s;
  s.Sources = {src};
  s.OutputFolder = dir_ / "out";
  s.MeasureOnly = true;
  TFakeHost host;
  TKvView view;
  const TKvJobOutcome outcome = TKvImageJob(s).Run(view, host);
  ASSERT_EQ(outcome.Files.size(), 1u);
  EXPECT_NEAR(outcome.Files[0].Angle, -3.4, 0.25);
  EXPECT_TRUE(fs::is_empty(dir_ / "out"));
}

// Measuring stops at the next file once cancel is asked for, also with a single worker.
TEST_F(ImageJobTest, MeasureOnlyStopsBeforeTheNextFileOnCancel) {
  std::vector<std::string> in;
  for (int i = 0; i < 4; ++i) {
    in.push_back(dir_ / ("in/m" + std::to_string(i) + ".pgm"));
    WritePage(in.back(), kv8g, 1.0, uint32_t(20 + i));
  }
  TKvImageJobSettings s;
  s.Sources = in;
  s.MeasureOnly = true;
  TFakeHost host;
  host.CancelWhenShowing = 1;
  TKvView view;
  const TKvJobOutcome outcome = TKvImageJob(s).Run(view, host);
  EXPECT_TRUE(outcome.Cancelled);
  EXPECT_TRUE(host.Messages.empty());
  ASSERT_EQ(outcome.Files.size(), 2u);  // the file shown when cancel came is still measured
  EXPECT_EQ(outcome.Files[1].Status, kvfsOK);
}

TEST_F(ImageJobTest, TinyPageHasNoMarginAndDoesNotCrash) {
  const std::string src = dir_ / "in/tiny.pgm";
  WriteAll(src, "P5\n9 9\n255\n" + std::string(81, '\xF0'));
  TFakeHost host;
  const TKvJobOutcome outcome = RunJob({src}, host, dir_ / "out");
  ASSERT_EQ(outcome.Files.size(), 1u);
  EXPECT_EQ(outcome.Files[0].Status, kvfsOK) << outcome.Files[0].Message;
  EXPECT_DOUBLE_EQ(outcome.Files[0].Angle, 0.0);
}

TEST_F(ImageJobTest, WorkersGiveTheSameResultsInListOrder) {
  std::vector<std::string> in;
  for (int i = 0; i < 5; ++i) {
    in.push_back(dir_ / ("in/w" + std::to_string(i) + (i % 2 ? ".bmp" : ".pgm")));
    WritePage(in.back(), i % 2 ? kv24RGB : kv8g, -2.0 + i, uint32_t(20 + i));
  }
  fs::create_directory(dir_ / "out1");
  fs::create_directory(dir_ / "out3");
  TFakeHost one, three;
  const TKvJobOutcome a = RunJob(in, one, dir_ / "out1", 1);
  const TKvJobOutcome b = RunJob(in, three, dir_ / "out3", 3);
  ASSERT_EQ(a.Files.size(), b.Files.size());
  for (size_t i = 0; i < a.Files.size(); ++i) {
    EXPECT_EQ(three.Finished[i].Index, int(i));
    EXPECT_EQ(a.Files[i].Angle, b.Files[i].Angle);
    EXPECT_EQ(ReadAll(a.Files[i].Output), ReadAll(b.Files[i].Output)) << in[i];
  }
  EXPECT_EQ(three.Gauges, one.Gauges);
  EXPECT_EQ(three.Messages, std::vector<std::string>{"Done!"});
}

}  // namespace
