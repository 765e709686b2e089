// The I/O component: loads image files into a TKvBitmap and saves a TKvBitmap to a file.
//
// TKvIO owns the process-wide table of known file formats, picks a format from the file name's
// extension (case-blind; no content sniffing), and runs the steps every load and save share:
// the Aborting flag, the stream, progress and the finish notification, the resolution
// defaults and the squaring of non-square pixels (AutoAdjustDPI). The codecs plug in through
// the registry of io/kvcodec.h. Params carries over from a load to the next save, so a file
// loaded and saved again keeps, as far as its writer honours them, the settings found in it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "deskew/kvview.h"
#include "image/kvbitmap.h"
#include "image/kvevents.h"
#include "io/kvcodec.h"
#include "io/kvioparams.h"
#include "io/kvstream.h"

// One record of the format table.
struct TKvFileFormatInfo {
  TKvFileType FileType = kvftUnknown;
  std::string Description;
  std::string Extensions;  // upper-case, without dots, separated by ";"
  bool Internal = true;    // true for the built-in formats
  // Entry points. For built-in formats only their presence matters (a placeholder is present
  // when the format can be read / written); the real codec comes from the registry.
  TKvReadFunction ReadFunction = nullptr;
  TKvWriteFunction WriteFunction = nullptr;
  TKvProbeFunction ProbeFunction = nullptr;
};

class TKvIO : public TKvViewComponent {
 public:
  // A component with its own (empty) target image.
  TKvIO();
  ~TKvIO() override;
  TKvIO(const TKvIO&) = delete;
  TKvIO& operator=(const TKvIO&) = delete;

  // --- Target ---
  // The image loads fill and saves write: the attached view's image, else the one set with
  // SetTargetImage, else the component's own. nullptr when a target was set to none.
  TKvBitmap* TargetImage() const { return image_; }
  // Uses `image` (not owned) as the target; nullptr leaves the component without target.
  void SetTargetImage(TKvBitmap* image) { image_ = image; }
  TKvView* AttachedView() const { return view_; }
  // Attaches to a view: its image becomes the target; the view's OnProgress and OnFinishWork
  // are copied.
  void AttachView(TKvView* view);

  // --- Properties ---
  TKvIOParams Params;
  bool Aborting = false;
  bool AutoAdjustDPI = false;
  bool FilteredAdjustDPI = false;
  bool NativePixelFormat() const { return Params.IsNativePixelFormat; }
  void SetNativePixelFormat(bool on) { Params.IsNativePixelFormat = on; }
  // The view's background when attached, else the component's own (black by default).
  TColor Background() const;
  void SetBackground(TColor color);
  TKvProgressEvent OnProgress;
  TKvNotifyEvent OnFinishWork;

  // --- Loading and saving ---
  // Afterwards Aborting tells whether it worked. Raises TKvIOError ("Cannot open file ...")
  // when the file cannot be opened.
  void LoadFromFile(const std::string& name);
  // Afterwards Aborting is true when the format cannot be written or the writer failed.
  // Raises TKvIOError ("Cannot create file ...") when the file cannot be created. A failed
  // write leaves no partial file under the name (an earlier file of that name stays).
  void SaveToFile(const std::string& name);

  // --- Format table and name rules ---
  static const std::vector<TKvFileFormatInfo>& FileFormats();
  // Adds a format from outside (Internal false); it is looked up after the built-in records.
  static void RegisterFileFormat(const TKvFileFormatInfo& info);
  // The extension of a name: the text from its last "." after lower-casing the whole name
  // ("" when there is none).
  static std::string ExtensionOf(const std::string& name);
  // The first table record listing `extension` (with or without the dot, any case).
  static const TKvFileFormatInfo* FindFormat(const std::string& extension);
  // The format SaveToFile writes for `name`, or kvftUnknown when it would refuse the name.
  static TKvFileType SaveFileType(const std::string& name);
  // The format LoadFromFile reads for `name`, or kvftUnknown when it would refuse the name.
  static TKvFileType LoadFileType(const std::string& name);

 private:
  void Finish();
  void Relay(int32_t percent);
  TKvProgressRec MakeProgress();
  void LoadWithCodec(const std::string& name, const TKvCodec& codec, TKvFileType type);
  void LoadWithTableReader(const std::string& name, const TKvFileFormatInfo& info);
  void SaveWithWriter(const std::string& name, TKvFileType type, TKvWriteFunction write,
                      uint32_t keeps);
  void AdjustDpi();
  void TellViewDpi();
  void TellViewImageChanged();

  std::unique_ptr<TKvBitmap> ownImage_;
  TKvBitmap* image_ = nullptr;
  TKvView* view_ = nullptr;
  TColor background_ = clBlack;
};

// The view's I/O component, created and attached on first use.
TKvIO& ViewIO(TKvView& view);
