// The image batch job: the per-file deskew sequence and the loop over the list.
//
// One worker runs the list in the caller's thread and gives the user interface its events three
// times per file (after the crop, after the undo, after the rotation); the cancel flag is tested
// after the rotation, so a cancelled file is rotated but not saved. With more workers the files
// are handed out in list order to threads that each own a work document; the caller's thread
// only relays their events to the host, in list order, and polls the cancel flag meanwhile.
#include "app/imagejob.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "deskew/kvview.h"
#include "io/kvio.h"

const char* const kKvDoneMessage = "Done!";

namespace {

// Width of the margin cut off each side before measuring: 10 % of the dimension.
constexpr double kMarginPercent = 10;
// How long the relaying thread waits for a worker event before polling the host again (ms).
constexpr int kRelayPollMilliseconds = 20;

struct TFileHooks {
  std::function<void()> ProcessEvents;
  std::function<bool()> Cancelled;
};

// The outcome of one file, and whether it failed by a raised error (which may end the job).
struct TFileRun {
  TKvFileResult Result;
  bool Raised = false;
};

std::string LoadFailure(const std::string& source) {
  if (TKvIO::LoadFileType(source) == kvftUnknown) {
    return source + ": cannot be read: no reader for this file type";
  }
  return source + ": cannot be read: the file is damaged or not in the format its name says";
}

std::string SaveFailure(const std::string& source, const std::string& output) {
  if (TKvIO::SaveFileType(output) == kvftUnknown) {
    return source + ": cannot write " + output + ": this format cannot be written";
  }
  return source + ": writing " + output + " failed";
}

// Load, measure on the inner part, restore, rotate on white, save. Nothing is saved for a file
// whose load failed, so an earlier file's page is never written under its name.
void DeskewInto(TKvView& view, const TKvDeskewSettings& ds, bool measureOnly,
                const TFileHooks& hooks, TFileRun& run) {
  TKvFileResult& r = run.Result;
  TKvIO& io = ViewIO(view);
  io.LoadFromFile(r.Source);
  TKvBitmap& page = view.Bitmap();
  if (io.Aborting || page.IsEmpty()) {
    r.Message = LoadFailure(r.Source);
    return;
  }
  const int w = page.Width(), h = page.Height();
  const int x1 = KvPageMargin(w), y1 = KvPageMargin(h);
  view.SelectionBase = kvsbBitmap;
  view.Select(x1, y1, w - x1, h - y1, kvSelectReplace);
  TKvProc& proc = view.Proc();
  proc.CropSel(false);
  hooks.ProcessEvents();
  r.Angle = proc.DetectSkew(ds.ResampleWidth, ds.AngleRange, ds.Precision, ds.EdgeDetect);
  r.Measured = true;
  if (measureOnly) {
    r.Status = kvfsOK;
    return;
  }
  proc.Undo(false);
  hooks.ProcessEvents();
  view.Background = clWhite;
  proc.RotateAndCrop(r.Angle);
  hooks.ProcessEvents();
  if (hooks.Cancelled()) {
    r.Status = kvfsCancelled;
    r.Message = r.Source + ": cancelled; nothing written";
    return;
  }
  io.SaveToFile(r.Output);
  if (io.Aborting) {
    r.Message = SaveFailure(r.Source, r.Output);
    return;
  }
  r.Status = kvfsOK;
}

TFileRun RunFile(TKvView& view, int index, const std::string& source,
                 const TKvPlannedOutput* planned, const TKvDeskewSettings& ds, bool measureOnly,
                 const TFileHooks& hooks) {
  TFileRun run;
  run.Result.Index = index;
  run.Result.Source = source;
  if (planned != nullptr) {
    run.Result.Output = planned->Path;
    if (!planned->Refusal.empty()) {
      run.Result.Message = planned->Refusal;
      return run;
    }
  }
  try {
    DeskewInto(view, ds, measureOnly, hooks, run);
  } catch (const std::exception& e) {
    run.Result.Status = kvfsFailed;
    // The I/O errors name their file already; other errors get the source's name in front.
    const std::string what = e.what();
    run.Result.Message = what.find(source) != std::string::npos ? what : source + ": " + what;
    run.Raised = true;
  }
  return run;
}

// A worker's work document: the caller's, or one of its own (new for every file on request).
class TWorkerDocument {
 public:
  TWorkerDocument(TKvView* shared, bool freshPerFile) : shared_(shared), fresh_(freshPerFile) {}
  TKvView& ForNextFile() {
    if (!fresh_ && shared_ != nullptr) return *shared_;
    if (fresh_ || own_ == nullptr) own_ = std::make_unique<TKvView>();
    return *own_;
  }

 private:
  TKvView* shared_;
  bool fresh_;
  std::unique_ptr<TKvView> own_;
};

// Hands file runs to the host in list order and keeps the gauge and the outcome.
class TReporter {
 public:
  TReporter(TKvJobHost& host, TKvJobOutcome& outcome, int fileCount, bool stopAtFirstError)
      : host_(host),
        outcome_(outcome),
        step_(KvGaugeStep(fileCount)),
        stopAtFirstError_(stopAtFirstError) {}
  // Returns false when the job must stop after this file.
  bool Report(const TFileRun& run) {
    outcome_.Files.push_back(run.Result);
    if (run.Result.Status == kvfsCancelled) {
      outcome_.Cancelled = true;
      host_.FileFinished(run.Result);
      return false;
    }
    host_.FileFinished(run.Result);
    if (run.Raised && stopAtFirstError_ && !outcome_.Aborted) {
      outcome_.Aborted = true;
      host_.ShowError(run.Result.Message);
      return false;
    }
    outcome_.Gauge = KvGaugeAdvance(outcome_.Gauge, step_);
    host_.SetGauge(outcome_.Gauge);
    return true;
  }

 private:
  TKvJobHost& host_;
  TKvJobOutcome& outcome_;
  int step_;
  bool stopAtFirstError_;
};

// Events of the worker threads, relayed by the caller's thread.
struct TWorkerEvents {
  std::mutex Lock;
  std::condition_variable Signal;
  std::deque<int> Started;
  std::vector<std::optional<TFileRun>> Finished;  // by list index
  int WorkersRunning = 0;
};

}  // namespace

int KvPageMargin(int size) {
  return int(double(size) * kMarginPercent / 100.0);
}

int TKvJobOutcome::FailedCount() const {
  int n = 0;
  for (const TKvFileResult& f : Files) n += f.Status != kvfsOK;
  return n;
}

TKvImageJob::TKvImageJob(TKvImageJobSettings settings) : settings_(std::move(settings)) {}

TKvJobOutcome TKvImageJob::Run(TKvView& view, TKvJobHost& host) {
  TKvJobOutcome outcome;
  const TKvImageJobSettings& s = settings_;
  TKvDeskewSettings ds;
  std::string error;
  if (!s.Options.ReadDeskewSettings(ds, error)) {
    outcome.Aborted = true;
    host.ShowError(error);
    return outcome;
  }
  const int n = int(s.Sources.size());
  std::vector<TKvPlannedOutput> plan;
  if (!s.MeasureOnly) plan = KvPlanOutputs(s.Sources, s.OutputFolder, s.Options.Prefix);
  auto plannedFor = [&](int i) { return s.MeasureOnly ? nullptr : &plan[size_t(i)]; };
  // Fill the codec registry and the format table before any worker thread can ask for them.
  KvFindCodec(kvftPNG);
  TKvIO::FileFormats();

  TReporter reporter(host, outcome, n, s.StopAtFirstError);
  const int workers = std::max(1, std::min(s.Workers, n));
  if (workers == 1) {
    TWorkerDocument doc(&view, s.FreshDocumentPerFile);
    const TFileHooks hooks{[&] { host.ProcessEvents(); }, [&] { return host.CancelRequested(); }};
    for (int i = 0; i < n; ++i) {
      // Measuring has no rotation to stop after, so its cancel point is before each file.
      if (s.MeasureOnly && host.CancelRequested()) break;
      host.ShowCurrentPath(s.Sources[size_t(i)]);
      const TFileRun run = RunFile(doc.ForNextFile(), i, s.Sources[size_t(i)], plannedFor(i), ds,
                                   s.MeasureOnly, hooks);
      if (!reporter.Report(run)) break;
    }
  } else {
    TWorkerEvents events;
    events.Finished.resize(size_t(n));
    events.WorkersRunning = workers;
    std::atomic<int> next{0};
    std::atomic<bool> cancel{false}, stop{false};
    auto work = [&](TKvView* shared) {
      TWorkerDocument doc(shared, s.FreshDocumentPerFile);
      const TFileHooks hooks{[] {}, [&] { return cancel.load(); }};
      for (;;) {
        if (cancel.load() || stop.load()) break;
        const int i = next.fetch_add(1);
        if (i >= n) break;
        {
          std::lock_guard<std::mutex> g(events.Lock);
          events.Started.push_back(i);
        }
        events.Signal.notify_one();
        TFileRun run = RunFile(doc.ForNextFile(), i, s.Sources[size_t(i)], plannedFor(i), ds,
                               s.MeasureOnly, hooks);
        {
          std::lock_guard<std::mutex> g(events.Lock);
          events.Finished[size_t(i)] = std::move(run);
        }
        events.Signal.notify_one();
      }
      std::lock_guard<std::mutex> g(events.Lock);
      --events.WorkersRunning;
      events.Signal.notify_one();
    };
    std::vector<std::thread> threads;
    threads.reserve(size_t(workers));
    for (int k = 0; k < workers; ++k) threads.emplace_back(work, k == 0 ? &view : nullptr);

    int reported = 0;
    for (bool finished = false; !finished;) {
      std::deque<int> started;
      std::vector<TFileRun> ready;
      {
        std::unique_lock<std::mutex> lock(events.Lock);
        events.Signal.wait_for(lock, std::chrono::milliseconds(kRelayPollMilliseconds));
        started.swap(events.Started);
        // Workers take indices in list order and finish every one they take, so the finished
        // runs always form a prefix of the list once all workers are done.
        while (reported < n && events.Finished[size_t(reported)].has_value()) {
          ready.push_back(std::move(*events.Finished[size_t(reported)]));
          events.Finished[size_t(reported)].reset();
          ++reported;
        }
        finished = events.WorkersRunning == 0;
      }
      for (int i : started) host.ShowCurrentPath(s.Sources[size_t(i)]);
      for (const TFileRun& run : ready) {
        if (!reporter.Report(run)) stop = true;
      }
      host.ProcessEvents();
      if (host.CancelRequested()) cancel = true;
    }
    for (std::thread& t : threads) t.join();
    if (cancel.load()) outcome.Cancelled = true;
  }
  if (host.CancelRequested()) outcome.Cancelled = true;
  if (!outcome.Cancelled && !outcome.Aborted) host.ShowMessage(kKvDoneMessage);
  return outcome;
}
