// The image batch job: deskews a list of image files into an output folder.
//
// Per file, on one work document (TKvView): load; select the inner 80 % of the page (a margin of
// Trunc(10 %) of each dimension on every side) and crop to it, keeping the full page as the
// single undo copy; measure the skew on what is still selected; put the full page back; rotate
// it by the measured angle onto a white background and cut it back to the page size; save it in
// the output folder under a name derived from the source. The job knows nothing of windows: it
// reports through a TKvJobHost, which the command-line tool and the desktop progress window
// implement.
//
// Sources are never overwritten. A file that fails to load or save is reported and skipped;
// nothing is written for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/options.h"

class TKvView;

// ---- Output naming ----

// The path separator of output paths.
constexpr char kKvPathSeparator = '/';
// Put in front of an output name that would replace its own source.
constexpr std::string_view kKvNewPrefix = "NEW_";
// Formats the job can read, and those it can also write, as the open dialog lists them.
constexpr std::string_view kKvReadableFormats =
    "*.JPG;*.JPEG;*.GIF;*.BMP;*.PNG;*.ICO;*.PCX;*.RAW;*.TIF;*.TIFF;*.PSD;*.WMP;*.DCX;*.DIB;"
    "*.RLE;*.TGA;*.PBM;*.PGM;*.PPM;*.WMF;*.EMF;*.CUR";
constexpr std::string_view kKvWritableFormats =
    "*.JPG;*.JPEG;*.GIF;*.BMP;*.PNG;*.ICO;*.PCX;*.RAW;*.TIF;*.TIFF;*.PSD;*.WMP;*.DCX;*.DIB;"
    "*.RLE;*.TGA;*.PBM;*.PGM;*.PPM";
// Extension given to the output of a format that is read but not written.
constexpr std::string_view kKvFallbackExt = ".jpg";

// Whether two texts are equal when ASCII letter case is ignored.
bool KvSameTextCaseBlind(std::string_view a, std::string_view b);
// Whether `needle` occurs in `haystack` when ASCII letter case is ignored (empty never does).
bool KvContainsCaseBlind(std::string_view haystack, std::string_view needle);
// The file-name part of a path (after the last separator).
std::string_view KvFileName(std::string_view path);
// The folder part of a path with its trailing separator ("" when there is none).
std::string_view KvFileFolder(std::string_view path);
// The extension of the file-name part with its dot, letter case kept ("" when none).
std::string_view KvFileExt(std::string_view path);
// The file-name part without its extension.
std::string_view KvFileBaseName(std::string_view path);
// The extension an output gets: `ext` itself, or ".jpg" when `ext` names a format that is read
// but cannot be written (a case-blind substring test against the two format lists).
std::string KvOutputExt(std::string_view ext);
// The output path of `source`: folder + one separator + prefix + base name + output extension,
// with "NEW_" put in front of the file name when the result would equal the source (blanks
// trimmed, case-blind).
std::string KvOutputPath(std::string_view source, std::string_view folder, std::string_view prefix);
// Whether a file name has an extension of the image list (case-blind substring test, as the
// folder scan of the image list does).
bool KvIsImageListExt(std::string_view path);

// ---- Page margins ----

// The margin cut off each side of a page dimension before measuring: Trunc(size * 10 / 100.0).
int KvPageMargin(int size);

// ---- Gauge ----

constexpr int kKvGaugeMax = 100;
// Step per file: 100 / fileCount taken to the nearest integer, halves to even (0 for no files).
int KvGaugeStep(int fileCount);
// progress + step, clamped to 0 .. 100.
int KvGaugeAdvance(int progress, int step);

// ---- The job ----

enum TKvFileStatus : uint8_t {
  kvfsOK = 0,     // written (or measured)
  kvfsFailed,     // could not be loaded, measured or saved; nothing written
  kvfsCancelled,  // the job was cancelled before this file was saved
};

struct TKvFileResult {
  int Index = 0;          // position in the source list
  std::string Source;     // the source path as given
  std::string Output;     // the output path ("" when measuring or nothing was planned)
  double Angle = 0;       // measured skew in degrees (positive: lines descend to the right)
  bool Measured = false;  // the angle was measured (the load succeeded)
  TKvFileStatus Status = kvfsFailed;
  std::string Message;  // "" when OK; otherwise one line naming the file and the reason
};

// What the job reports to, and asks of, its user interface. The job calls it only from the
// thread that runs TKvImageJob::Run. The host clears its cancel flag before each run and closes
// its progress display when Run returns.
class TKvJobHost {
 public:
  virtual ~TKvJobHost() = default;
  // The file now being worked on (its full path as listed).
  virtual void ShowCurrentPath(const std::string& path) = 0;
  // The gauge's new position, 0 .. 100.
  virtual void SetGauge(int progress) = 0;
  // Let the user interface handle pending events (e.g. a Cancel click).
  virtual void ProcessEvents() {}
  // Whether the user asked to cancel; polled at the job's cancel points.
  virtual bool CancelRequested() = 0;
  // One file is finished; called in list order.
  virtual void FileFinished(const TKvFileResult& result) = 0;
  // A plain message to the user ("Done!").
  virtual void ShowMessage(const std::string& text) = 0;
  // An error that ends the job.
  virtual void ShowError(const std::string& text) = 0;
};

struct TKvImageJobSettings {
  std::vector<std::string> Sources;  // in list order
  std::string OutputFolder;
  TKvOptions Options;        // read for each file as the Options dialog holds them
  bool MeasureOnly = false;  // measure and report the angle; load nothing back, write nothing
  int Workers = 1;           // files in parallel; each extra worker has a work document of its own
  // An error raised while loading or saving (a file that cannot be opened or created) ends the
  // job, as the desktop job does; off, the file is reported as failed and the job goes on.
  bool StopAtFirstError = true;
  // Give every file a new work document, so that nothing (parameters of an earlier load) carries
  // from one file to the next and the outputs do not depend on how files meet the workers.
  bool FreshDocumentPerFile = false;
};

struct TKvJobOutcome {
  std::vector<TKvFileResult> Files;  // one per source, in list order (only those reached)
  bool Cancelled = false;
  bool Aborted = false;  // an error ended the job (ShowError was called)
  int Gauge = 0;         // the gauge at the end
  int FailedCount() const;
};

extern const char* const kKvDoneMessage;  // "Done!"
// What the "Process" button of the image list shows before a job starts.
constexpr std::string_view kKvNoImagesMessage = "Please add image files at first!";
constexpr std::string_view kKvNoImagesCaption = "Error";
constexpr std::string_view kKvOutputFolderTitle = "Select an output folder for output files";

class TKvImageJob {
 public:
  explicit TKvImageJob(TKvImageJobSettings settings);
  // Runs the whole job; `view` is the work document of the first worker.
  TKvJobOutcome Run(TKvView& view, TKvJobHost& host);

 private:
  TKvImageJobSettings settings_;
};

// Output paths for every source (see KvOutputPath), with two guards beyond the names: an output
// that is the same file as its own source under another spelling gets "NEW_" too, and an output
// that would replace another source of the list, or that an earlier source already claims, is
// refused (its entry is "" and `refusal` holds the reason).
struct TKvPlannedOutput {
  std::string Path;
  std::string Refusal;
};
std::vector<TKvPlannedOutput> KvPlanOutputs(const std::vector<std::string>& sources,
                                            std::string_view folder, std::string_view prefix);
