// kelvane-cli: deskews image files from the command line.
//
// It expands the inputs (folders give their image files sorted by name), runs the image job with
// a host that prints to the terminal, and writes the optional report. Per-file lines and errors
// come out in list order whatever the number of workers.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/cli/cliargs.h"
#include "app/cli/clireport.h"
#include "app/imagejob.h"
#include "deskew/kvview.h"

#ifndef KV_VERSION
#define KV_VERSION "unknown"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kBarWidth = 30;  // characters of the progress bar

volatile std::sig_atomic_t gInterrupted = 0;
// The first interrupt lets the running files finish and stops the job; a second one ends the
// program at once.
void OnInterrupt(int) {
  gInterrupted = 1;
  std::signal(SIGINT, SIG_DFL);
}

void PrintError(const std::string& text) {
  std::fprintf(stderr, "kelvane-cli: %s\n", text.c_str());
}

// Whether a file name's extension is one of the image list's, compared whole and case-blind.
bool HasImageExtension(const std::string& name) {
  const std::string_view ext = KvFileExt(name);
  if (ext.size() < 2) return false;
  std::string_view list = kKvReadableFormats;
  while (!list.empty()) {
    const size_t semi = list.find(';');
    std::string_view item = list.substr(0, semi);
    if (item.size() > 1 && KvSameTextCaseBlind(item.substr(1), ext)) return true;
    list = semi == std::string_view::npos ? std::string_view() : list.substr(semi + 1);
  }
  return false;
}

// Files stay as given; a folder gives its image files (not recursive), sorted by name. A name
// that is neither is kept, so that the job reports it as a file that cannot be read. A folder
// that cannot be listed is reported and counts as a failure (`failed`); a folder without image
// files is reported but is no failure.
std::vector<std::string> ExpandInputs(const std::vector<std::string>& inputs, bool& failed) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  for (const std::string& in : inputs) {
    std::error_code ec;
    if (!fs::is_directory(in, ec)) {
      files.push_back(in);
      continue;
    }
    std::vector<std::string> found;
    for (fs::directory_iterator it(in, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code fileEc;
      if (!it->is_regular_file(fileEc)) continue;
      const std::string name = it->path().filename().string();
      if (HasImageExtension(name)) {
        std::string path = in;
        if (path.back() != kKvPathSeparator) path += kKvPathSeparator;
        found.push_back(path + name);
      }
    }
    if (ec) {
      PrintError(in + ": cannot list the folder: " + ec.message());
      failed = true;
    } else if (found.empty()) {
      PrintError(in + ": the folder holds no image files");
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  return files;
}

class TCliHost : public TKvJobHost {
 public:
  TCliHost(int fileCount, bool measure, bool quiet)
      : total_(fileCount),
        measure_(measure),
        quiet_(quiet),
        bar_(!quiet && isatty(STDERR_FILENO) != 0) {}

  void ShowCurrentPath(const std::string& path) override {
    current_ = path;
    DrawBar();
  }
  void SetGauge(int) override {}  // the bar counts files itself, to the last one
  bool CancelRequested() override { return gInterrupted != 0; }
  void FileFinished(const TKvFileResult& r) override {
    ++done_;
    ClearBar();
    if (r.Status == kvfsOK) {
      if (measure_) {
        std::printf("%s\t%s\n", KvFormatAngle(r.Angle).c_str(), r.Source.c_str());
      } else if (!quiet_) {
        std::printf("%s\t%s -> %s\n", KvFormatAngle(r.Angle).c_str(), r.Source.c_str(),
                    r.Output.c_str());
      }
      std::fflush(stdout);
    } else if (r.Status == kvfsFailed) {
      PrintError(r.Message);
    }
    DrawBar();
  }
  void ShowMessage(const std::string&) override { ClearBar(); }
  void ShowError(const std::string& text) override {
    ClearBar();
    PrintError(text);
  }

 private:
  void ClearBar() {
    if (bar_) std::fputs("\r\033[K", stderr);
  }
  void DrawBar() {
    if (!bar_ || total_ == 0) return;
    const int filled = int(int64_t(done_) * kBarWidth / total_);
    std::string line = "\r\033[K[" + std::string(size_t(filled), '#') +
                       std::string(size_t(kBarWidth - filled), '.') + "] " + std::to_string(done_) +
                       "/" + std::to_string(total_) + " " + current_;
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }

  int total_;
  int done_ = 0;
  bool measure_, quiet_, bar_;
  std::string current_;
};

// Whether two names denote the same file: the same existing file (also through links), or the
// same absolute, normalised name.
bool SameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::equivalent(a, b, ec) && !ec) return true;
  const fs::path ca = fs::weakly_canonical(a, ec);
  if (ec) return false;
  const fs::path cb = fs::weakly_canonical(b, ec);
  return !ec && ca == cb;
}

// The report is written after the job, so it must name neither a source nor an output.
bool ReportClashes(const std::string& report, const std::vector<std::string>& sources,
                   const std::vector<TKvPlannedOutput>& outputs, std::string& error) {
  for (const std::string& source : sources) {
    if (SameFile(report, source)) {
      error = report + ": the report would replace the source file " + source;
      return true;
    }
  }
  for (const TKvPlannedOutput& out : outputs) {
    if (!out.Path.empty() && SameFile(report, out.Path)) {
      error = report + ": the report would replace the output " + out.Path;
      return true;
    }
  }
  return false;
}

int DefaultJobs() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : int(cores);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> rawArgs(argv + 1, argv + argc);
  TKvCliArgs args;
  std::string error;
  if (!KvParseCliArgs(rawArgs, args, error)) {
    PrintError(error);
    std::fprintf(stderr, "Try 'kelvane-cli --help' for more information.\n");
    return kExitUsage;
  }
  if (args.Help) {
    std::fputs(KvCliUsage().c_str(), stdout);
    return kExitOk;
  }
  if (args.Version) {
    std::printf("kelvane-cli %s\n", KV_VERSION);
    return kExitOk;
  }

  bool inputFailed = false;
  const std::vector<std::string> files = ExpandInputs(args.Inputs, inputFailed);
  if (files.empty()) {
    PrintError("no image files found in the inputs");
    return kExitFailed;
  }
  if (!args.ReportPath.empty()) {
    std::vector<TKvPlannedOutput> outputs;
    if (!args.Measure) outputs = KvPlanOutputs(files, args.OutputFolder, args.Options.Prefix);
    if (ReportClashes(args.ReportPath, files, outputs, error)) {
      PrintError(error);
      return kExitUsage;
    }
  }
  if (!args.Measure) {
    std::error_code ec;
    std::filesystem::create_directories(args.OutputFolder, ec);
    if (ec || !std::filesystem::is_directory(args.OutputFolder, ec)) {
      PrintError(args.OutputFolder + ": cannot make the output folder: " +
                 (ec ? ec.message() : std::string("not a folder")));
      return kExitFailed;
    }
  }
  std::signal(SIGINT, OnInterrupt);

  TKvImageJobSettings settings;
  settings.Sources = files;
  settings.OutputFolder = args.OutputFolder;
  settings.Options = args.Options;
  settings.MeasureOnly = args.Measure;
  settings.Workers = args.Jobs > 0 ? args.Jobs : DefaultJobs();
  settings.StopAtFirstError = false;
  settings.FreshDocumentPerFile = true;

  TCliHost host(int(files.size()), args.Measure, args.Quiet);
  TKvView view;
  const TKvJobOutcome outcome = TKvImageJob(std::move(settings)).Run(view, host);

  int status = inputFailed || outcome.FailedCount() > 0 || outcome.Aborted || outcome.Cancelled ||
                       outcome.Files.size() != files.size()
                   ? kExitFailed
                   : kExitOk;
  if (outcome.Cancelled) PrintError("cancelled");
  // The report has a row for every file, also for those a cancel kept from being started.
  std::vector<TKvFileResult> rows = outcome.Files;
  for (size_t i = rows.size(); i < files.size(); ++i) {
    TKvFileResult r;
    r.Index = int(i);
    r.Source = files[i];
    r.Status = kvfsCancelled;
    r.Message = files[i] + ": not started before the cancel; nothing written";
    rows.push_back(std::move(r));
  }
  if (!args.ReportPath.empty() && !KvWriteReport(args.ReportPath, rows, error)) {
    PrintError(error);
    status = kExitFailed;
  }
  return status;
}
