// kelvane-cli end to end on generated pages: exit status, messages, outputs, report, workers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "io/kvio.h"
#include "synthpage.h"

#ifndef KV_CLI_PATH
#error "KV_CLI_PATH must name the kelvane-cli binary"
#endif

namespace fs = std::filesystem;

namespace {

struct TRun {
  int Exit = -1;
  std::string Out, Err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Joins pieces by appending (GCC 12 at -O3 warns falsely about "literal" + std::string).
std::string Cat(std::initializer_list<std::string_view> pieces) {
  std::string s;
  for (std::string_view p : pieces) s += p;
  return s;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kvcli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ + "/in");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string P(const std::string& name) const { return dir_ + "/" + name; }

  TRun Cli(const std::vector<std::string>& args) const {
    std::string cmd = Quote(KV_CLI_PATH);
    for (const std::string& a : args) cmd += Cat({" ", Quote(a)});
    cmd += Cat({" >", Quote(P("stdout.txt")), " 2>", Quote(P("stderr.txt")), " </dev/null"});
    const int raw = std::system(cmd.c_str());
    TRun r;
    r.Exit = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.Out = ReadAll(P("stdout.txt"));
    r.Err = ReadAll(P("stderr.txt"));
    return r;
  }

  void Page(const std::string& name, TKvPixFormat format, double angle, uint32_t seed) {
    TKvSynthPage page;
    page.Width = 340;
    page.Height = 280;
    page.Format = format;
    page.SkewDegrees = angle;
    page.Seed = seed;
    page.GlyphPixels = 2;
    TKvIO io;
    ASSERT_TRUE(KvDrawSynthPage(page, *io.TargetImage()));
    KvSynthFileLayout(page.Format, io.Params.BitsPerSample, io.Params.SamplesPerPixel);
    io.SaveToFile(P(name));
    ASSERT_FALSE(io.Aborting) << name;
  }

  // Four pages in four formats, with their true angles.
  void FourPages() {
    Page("in/a.pgm", kv8g, 2.5, 1);
    Page("in/b.pbm", kv1g, -1.5, 2);
    Page("in/c.jpg", kv24RGB, 3.0, 3);
    Page("in/d.bmp", kv24RGB, -2.2, 4);
    std::ofstream(P("in/notes.txt")) << "not an image";
  }

  std::string dir_;
};

TEST_F(CliTest, HelpAndVersion) {
  TRun r = Cli({"--help"});
  EXPECT_EQ(r.Exit, 0);
  EXPECT_NE(r.Out.find("Usage: kelvane-cli [OPTIONS] INPUT... -o DIR"), std::string::npos);
  EXPECT_NE(r.Out.find("--measure"), std::string::npos);
  r = Cli({"--version"});
  EXPECT_EQ(r.Exit, 0);
  EXPECT_EQ(r.Out.rfind("kelvane-cli ", 0), 0u);
}

struct TUsageCase {
  std::vector<std::string> Args;
  const char* Message;
};

// Usage errors exit with 2 and one line; the settings use the Options dialog's messages.
TEST_F(CliTest, UsageErrors) {
  const std::string in = P("in");
  const std::string out = P("out");
  const TUsageCase cases[] = {
      {{}, "no input files given"},
      {{in}, "no output folder given (-o DIR)"},
      {{in, "-o", out, "--resample-width", ""}, "Please enter the resample width!"},
      {{in, "-o", out, "--angle-range", "0"}, "The value of angle range should be 1<->180!"},
      {{in, "-o", out, "--angle-range=181"}, "The value of angle range should be 1<->180!"},
      {{in, "-o", out, "--angle-range", "x"}, "'x' is not a valid integer value"},
      {{in, "-o", out, "--precision", "1.5"},
       "The value of precision should be >0 and <=1 with only one decimal digit!"},
      {{in, "-o", out, "--precision", ""}, "Please enter the precision!"},
      {{in, "-o", out, "--resample-width", "5OO"}, "'5OO' is not a valid integer value"},
      {{in, "-o", out, "--prefix", "a b"}, "the prefix 'a b' may hold only"},
      {{in, "-o", out, "--prefix", std::string(21, 'p')}, "at most 20 characters"},
      {{in, "-o", out, "--edge-detect", "maybe"}, "--edge-detect should be yes or no"},
      {{in, "-o", out, "-j", "0"}, "--jobs should be a whole number"},
      {{in, "-o", out, "--bogus"}, "unknown option --bogus"},
      {{in, "-o"}, "option -o needs a value"},
  };
  for (const TUsageCase& c : cases) {
    const TRun r = Cli(c.Args);
    EXPECT_EQ(r.Exit, 2) << c.Message;
    EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.rfind("kelvane-cli: ", 0), 0u) << r.Err;
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST_F(CliTest, DeskewsAFolderIntoItsFormatsAndPrintsALinePerFile) {
  FourPages();
  const TRun r = Cli({P("in"), "-o", P("out"), "-j", "1"});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  for (const char* name : {"a.pgm", "b.pbm", "c.jpg", "d.bmp"}) {
    EXPECT_TRUE(fs::exists(P(std::string("out/") + name))) << name;
  }
  EXPECT_FALSE(fs::exists(P("out/notes.txt")));
  // One line per file, sorted by name: angle, tab, source -> output.
  std::istringstream lines(r.Out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line);
  ASSERT_EQ(got.size(), 4u) << r.Out;
  EXPECT_NE(got[0].find(Cat({"\t", P("in/a.pgm"), " -> ", P("out/a.pgm")})), std::string::npos);
  EXPECT_NE(got[3].find(P("in/d.bmp")), std::string::npos);
}

TEST_F(CliTest, QuietPrintsNothingAndPrefixIsApplied) {
  Page("in/a.pgm", kv8g, 1.0, 5);
  const TRun r = Cli({"-q", "--prefix", "s_", P("in/a.pgm"), "-o", P("out")});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Out, "");
  EXPECT_EQ(r.Err, "");
  EXPECT_TRUE(fs::exists(P("out/s_a.pgm")));
}

TEST_F(CliTest, MeasurePrintsAnglesAndWritesNothing) {
  FourPages();
  const TRun r = Cli({"--measure", P("in"), "-j", "2"});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  const double truth[] = {2.5, -1.5, 3.0, -2.2};
  const char* names[] = {"a.pgm", "b.pbm", "c.jpg", "d.bmp"};
  std::istringstream lines(r.Out);
  std::string line;
  const std::regex form(R"((-?\d+(\.\d{1,4})?)\t(.*))");
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(std::getline(lines, line));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << line;
    EXPECT_EQ(m[3].str(), P(std::string("in/") + names[i]));
    EXPECT_NEAR(std::stod(m[1].str()), truth[i], 0.25) << line;
  }
  EXPECT_FALSE(std::getline(lines, line));
  EXPECT_FALSE(fs::exists(P("out")));
  std::vector<fs::path> inFiles(fs::directory_iterator(P("in")), fs::directory_iterator());
  EXPECT_EQ(inFiles.size(), 5u);  // nothing added next to the sources either
}

TEST_F(CliTest, FailedFilesGiveExitOneAClearLineAndReportRows) {
  Page("in/good.pgm", kv8g, 2.0, 6);
  std::ofstream(P("in/bad.png"), std::ios::binary) << "\x89PNG\r\n\x1a\n garbage";
  const TRun r = Cli({"-q", P("in/good.pgm"), P("in/bad.png"), P("in/gone.bmp"), "-o", P("out"),
                      "--report", P("report.tsv")});
  EXPECT_EQ(r.Exit, 1);
  std::istringstream errs(r.Err);
  std::string line;
  std::vector<std::string> errLines;
  while (std::getline(errs, line)) errLines.push_back(line);
  ASSERT_EQ(errLines.size(), 2u) << r.Err;
  EXPECT_NE(errLines[0].find(P("in/bad.png")), std::string::npos);
  EXPECT_NE(errLines[1].find(P("in/gone.bmp")), std::string::npos);
  EXPECT_TRUE(fs::exists(P("out/good.pgm")));
  EXPECT_FALSE(fs::exists(P("out/bad.png")));
  EXPECT_FALSE(fs::exists(P("out/gone.bmp")));

  const std::string tsv = ReadAll(P("report.tsv"));
  std::istringstream rows(tsv);
  ASSERT_TRUE(std::getline(rows, line));
  EXPECT_EQ(line, "source\tangle\toutput\tstatus\tmessage");
  ASSERT_TRUE(std::getline(rows, line));
  EXPECT_EQ(line.rfind(P("in/good.pgm") + "\t", 0), 0u);
  EXPECT_NE(line.find(Cat({"\t", P("out/good.pgm"), "\tok\t"})), std::string::npos);
  ASSERT_TRUE(std::getline(rows, line));
  EXPECT_EQ(line.rfind(P("in/bad.png") + "\t\t\tfailed\t", 0), 0u) << line;
  ASSERT_TRUE(std::getline(rows, line));
  EXPECT_NE(line.find("\tfailed\t"), std::string::npos);
  EXPECT_FALSE(std::getline(rows, line));
}

TEST_F(CliTest, JsonReport) {
  Page("in/a.pgm", kv8g, -1.0, 7);
  std::ofstream(P("in/b.pgm"), std::ios::binary) << "P5\n10 10\n255\n";
  const TRun r = Cli({"-q", P("in/a.pgm"), P("in/b.pgm"), "-o", P("out"), "--report", P("r.JSON")});
  EXPECT_EQ(r.Exit, 1);
  const std::string json = ReadAll(P("r.JSON"));
  const std::regex ok(
      R"(\{"source": "[^"]*/a\.pgm", "angle": -?\d+(\.\d+)?, "output": "[^"]*/out/a\.pgm", "status": "ok", "message": ""\})");
  const std::regex failed(
      R"(\{"source": "[^"]*/b\.pgm", "angle": null, "output": null, "status": "failed", "message": "[^"]+"\})");
  EXPECT_TRUE(std::regex_search(json, ok)) << json;
  EXPECT_TRUE(std::regex_search(json, failed)) << json;
  EXPECT_EQ(json.front(), '[');
  EXPECT_EQ(json.substr(json.size() - 2), "]\n");
}

TEST_F(CliTest, ParallelOutputsAreByteEqualToOneWorker) {
  FourPages();
  Page("in/e.png", kv8g, 1.2, 8);
  Page("in/f.pgm", kv1g, -0.8, 9);
  const TRun one = Cli({"-q", P("in"), "-o", P("out1"), "-j", "1", "--report", P("r1.tsv")});
  const TRun four = Cli({"-q", P("in"), "-o", P("out4"), "-j", "4", "--report", P("r4.tsv")});
  ASSERT_EQ(one.Exit, 0) << one.Err;
  ASSERT_EQ(four.Exit, 0) << four.Err;
  int compared = 0;
  for (const auto& e : fs::directory_iterator(P("out1"))) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(ReadAll(e.path().string()), ReadAll(P("out4/" + name))) << name;
    ++compared;
  }
  EXPECT_EQ(compared, 6);
  std::string r1 = ReadAll(P("r1.tsv")), r4 = ReadAll(P("r4.tsv"));
  r4 = std::regex_replace(r4, std::regex("/out4/"), "/out1/");
  EXPECT_EQ(r1, r4);
}

TEST_F(CliTest, SourceFolderAsOutputGetsNewPrefix) {
  Page("in/a.pgm", kv8g, 2.0, 10);
  const std::string before = ReadAll(P("in/a.pgm"));
  const TRun r = Cli({"-q", P("in/a.pgm"), "-o", P("in")});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(ReadAll(P("in/a.pgm")), before);
  EXPECT_TRUE(fs::exists(P("in/NEW_a.pgm")));
}

// The lines of a text, without their line breaks.
std::vector<std::string> Lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Has(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

TEST_F(CliTest, NamesWithBlanksAndUpperCaseExtensionsAndAFileGivenTwice) {
  Page("in/My Page.PGM", kv8g, 1.5, 11);
  const std::string source = P("in/My Page.PGM");
  TRun r = Cli({"-q", source, "-o", P("out")});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  TKvIO io;
  io.LoadFromFile(P("out/My Page.PGM"));
  EXPECT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.FileType, kvftPXM);

  // The second mention would write the same output again: refused in one line, exit 1.
  fs::remove_all(P("out"));
  r = Cli({"-q", source, source, "-o", P("out")});
  EXPECT_EQ(r.Exit, 1);
  const std::vector<std::string> errs = Lines(r.Err);
  ASSERT_EQ(errs.size(), 1u) << r.Err;
  EXPECT_TRUE(Has(errs[0], source)) << errs[0];
  EXPECT_TRUE(Has(errs[0], "already written")) << errs[0];
  EXPECT_TRUE(fs::exists(P("out/My Page.PGM")));
}

// An output folder that cannot be made, and a report that would replace a source or an output:
// one line naming the path and the reason, and no file is touched.
TEST_F(CliTest, OutputFolderAndReportThatCannotBeUsedTouchNoFile) {
  Page("in/a.pgm", kv8g, 2.0, 12);
  const std::string before = ReadAll(P("in/a.pgm"));
  struct TCase {
    std::vector<std::string> Args;
    int Exit;
    std::string Names, Reason;
  };
  const TCase cases[] = {
      {{P("in/a.pgm"), "-o", P("in/a.pgm/out")},
       1,
       P("in/a.pgm/out"),
       "cannot make the output folder"},
      {{P("in/a.pgm"), "-o", P("out"), "--report", P("in/a.pgm")},
       2,
       P("in/a.pgm"),
       "the report would replace the source file"},
      {{"--measure", P("in/a.pgm"), "--report", P("in/../in/a.pgm")},
       2,
       P("in/../in/a.pgm"),
       "the report would replace the source file"},
      {{P("in"), "-o", P("out"), "--report", P("out/a.pgm")},
       2,
       P("out/a.pgm"),
       "the report would replace the output"},
  };
  for (const TCase& c : cases) {
    const TRun r = Cli(c.Args);
    EXPECT_EQ(r.Exit, c.Exit) << c.Reason;
    const std::vector<std::string> errs = Lines(r.Err);
    ASSERT_GE(errs.size(), 1u) << c.Reason;
    EXPECT_TRUE(Has(errs[0], c.Names) && Has(errs[0], c.Reason)) << errs[0];
    EXPECT_EQ(ReadAll(P("in/a.pgm")), before) << c.Reason;
    EXPECT_FALSE(fs::exists(P("out/a.pgm"))) << c.Reason;
  }
}

TEST_F(CliTest, EmptyAndUnlistableFoldersAreNamed) {
  Page("in/a.pgm", kv8g, 2.0, 13);
  fs::create_directory(P("empty"));
  // A folder without image files is named but fails nothing.
  TRun r = Cli({"-q", P("in/a.pgm"), P("empty"), "-o", P("out")});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Err, Cat({"kelvane-cli: ", P("empty"), ": the folder holds no image files\n"}));
  r = Cli({"-q", P("empty"), "-o", P("out2")});
  EXPECT_EQ(r.Exit, 1);

  // A folder that cannot be listed fails the run, though the other files are written.
  fs::create_directory(P("closed"));
  fs::permissions(P("closed"), fs::perms::none);
  if (access(P("closed").c_str(), R_OK) == 0) {
    fs::permissions(P("closed"), fs::perms::owner_all);
    GTEST_SKIP() << "permissions are not enforced for this user";
  }
  r = Cli({"-q", P("in/a.pgm"), P("closed"), "-o", P("out3")});
  fs::permissions(P("closed"), fs::perms::owner_all);
  EXPECT_EQ(r.Exit, 1);
  EXPECT_TRUE(Has(r.Err, P("closed") + ": cannot list the folder: Permission denied")) << r.Err;
  EXPECT_TRUE(fs::exists(P("out3/a.pgm")));
}

// Files that cannot be read and a folder that cannot be written to: a line per file naming it
// and the system's reason.
TEST_F(CliTest, UnreadableSourceAndReadOnlyOutputFolder) {
  Page("in/a.pgm", kv8g, 2.0, 14);
  Page("in/b.pgm", kv8g, -1.0, 15);
  fs::create_directory(P("ro"));
  fs::permissions(P("ro"), fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(P("in/b.pgm"), fs::perms::none);
  const bool enforced = access(P("ro").c_str(), W_OK) != 0;
  TRun r;
  if (enforced) r = Cli({"-q", P("in/a.pgm"), P("in/b.pgm"), "-o", P("ro")});
  fs::permissions(P("ro"), fs::perms::owner_all);
  fs::permissions(P("in/b.pgm"), fs::perms::owner_read | fs::perms::owner_write);
  if (!enforced) GTEST_SKIP() << "permissions are not enforced for this user";
  EXPECT_EQ(r.Exit, 1);
  const std::vector<std::string> errs = Lines(r.Err);
  ASSERT_EQ(errs.size(), 2u) << r.Err;
  EXPECT_TRUE(Has(errs[0], Cat({"Cannot create file \"", P("ro/a.pgm"), "\". Permission denied"})))
      << errs[0];
  EXPECT_TRUE(Has(errs[1], Cat({"Cannot open file \"", P("in/b.pgm"), "\". Permission denied"})))
      << errs[1];
  EXPECT_TRUE(fs::is_empty(P("ro")));
}

// An interrupt lets the file under way finish and stops the run: the outputs written stay, the
// run fails, and the report still has a row for every file.
TEST_F(CliTest, InterruptStopsTheRunAndTheReportKeepsARowPerFile) {
  constexpr int kFiles = 40;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "in/p%02d.pgm", i);
    Page(name, kv8g, 1.0, uint32_t(100 + i));
  }
  const std::string in = P("in"), out = P("out"), report = P("r.tsv");
  const std::string outText = P("stdout.txt"), errText = P("stderr.txt");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int o = open(outText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(errText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(127);
    execl(KV_CLI_PATH, KV_CLI_PATH, "-j", "1", in.c_str(), "-o", out.c_str(), "--report",
          report.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  constexpr int kPollMicroseconds = 2000, kPolls = 5000;  // up to 10 s for the first file
  for (int k = 0; k < kPolls && ReadAll(outText).empty(); ++k) usleep(kPollMicroseconds);
  kill(pid, SIGINT);
  int raw = 0;
  ASSERT_EQ(waitpid(pid, &raw, 0), pid);
  ASSERT_TRUE(WIFEXITED(raw));
  const std::vector<std::string> rows = Lines(ReadAll(report));
  ASSERT_EQ(rows.size(), size_t(kFiles) + 1);
  if (WEXITSTATUS(raw) == 0) GTEST_SKIP() << "the run ended before the interrupt came";
  EXPECT_EQ(WEXITSTATUS(raw), 1);
  EXPECT_TRUE(Has(ReadAll(errText), "kelvane-cli: cancelled\n"));
  // Rows: written files first, then only cancelled ones.
  size_t ok = 1;
  while (ok < rows.size() && Has(rows[ok], "\tok\t")) ++ok;
  EXPECT_GE(ok, 2u);
  for (size_t i = ok; i < rows.size(); ++i) EXPECT_TRUE(Has(rows[i], "\tcancelled\t")) << rows[i];
  const auto written = std::distance(fs::directory_iterator(out), fs::directory_iterator());
  EXPECT_EQ(size_t(written), ok - 1);
}

}  // namespace

namespace {

// The committed samples measure at the angles they were drawn with.
TEST(CliSamplesTest, SamplesMeasureTheirDrawnAngles) {
  const std::string samples = std::string(KV_SOURCE_DIR) + "/samples";
  std::ifstream table(samples + "/angles.tsv");
  ASSERT_TRUE(table.good());
  std::string line;
  std::getline(table, line);  // header
  int checked = 0;
  while (std::getline(table, line)) {
    const size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos);
    const std::string file = samples + "/" + line.substr(0, tab);
    const double drawn = std::stod(line.substr(tab + 1));
    const std::string cmd = Cat({Quote(KV_CLI_PATH), " --measure -j 1 ", Quote(file)});
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buf[4096] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, pipe);
    const int status = pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 0) << file;
    const std::string out(buf, n);
    EXPECT_NEAR(std::stod(out), drawn, 0.1) << file << ": " << out;
    ++checked;
  }
  EXPECT_GE(checked, 4);
}

}  // namespace
