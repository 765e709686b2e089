// The image processor: applies operations to one image, normally the image of the work document
// (TKvView) it is attached to.
//
// Every operation runs inside the same frame: it checks (and if need be converts) the pixel
// format, takes the whole image or the part under the view's selection, saves an undo copy when
// AutoUndo is on, writes the result back, tells the view that the image changed and raises the
// finish events. Undo copies of the image are full copies kept in temporary files; the undo and
// redo stores each keep at most UndoLimit entries, the newest last.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "image/kvbitmap.h"
#include "image/kvevents.h"

class TKvView;

// Kinds of undo entry. Only kvuImage entries are stored by this processor; the others belong to
// view features (selections, vector objects, layers) that the system does not have.
enum TKvUndoSource : uint8_t {
  kvuUnknown = 0,
  kvuImage = 1,
  kvuSelection = 2,
  kvuObject = 3,
  kvuLayer = 4,
  kvuFullLayer = 5,
  kvuObjectsAndLayers = 6,
};

// Raised after each undo save: (sender, source of the entry).
using TKvSaveUndoEvent = std::function<void(void* sender, TKvUndoSource source)>;

// A set of pixel formats; the empty set allows every format.
class TKvPixFormatSet {
 public:
  constexpr TKvPixFormatSet() = default;
  constexpr TKvPixFormatSet(std::initializer_list<TKvPixFormat> formats) {
    for (TKvPixFormat f : formats) bits_ |= uint32_t(1) << f;
  }
  constexpr bool IsEmpty() const { return bits_ == 0; }
  constexpr bool Contains(TKvPixFormat f) const {
    return f < kKvPixFormatCount && ((bits_ >> f) & 1) != 0;
  }

 private:
  uint32_t bits_ = 0;
};

// A selection: a mask raster of the image's size (8 bits a pixel, nonzero = marked, rows in the
// image's order) with the bounding box of its marked pixels (all four inclusive). An empty mask
// has X1 = Y1 = INT_MAX and X2 = Y2 = 0.
class TKvSelection {
 public:
  static constexpr int kEmptyLow = INT_MAX;

  const TKvMask& Mask() const { return mask_; }
  int Width() const { return mask_.Width(); }
  int Height() const { return mask_.Height(); }
  int X1() const { return x1_; }
  int Y1() const { return y1_; }
  int X2() const { return x2_; }
  int Y2() const { return y2_; }
  // No pixel is marked.
  bool IsEmpty() const { return x2_ < x1_ || y2_ < y1_; }
  // Whether (x, y) is marked; false outside the mask.
  bool IsMarked(int x, int y) const;

  // A new, empty mask of width x height.
  void Reset(int width, int height);
  // Unmarks every pixel (the size stays).
  void Empty();
  // Marks the pixels x1 .. x2 - 1 by y1 .. y2 - 1 (clipped to the mask) and widens the box.
  void MarkRect(int x1, int y1, int x2, int y2);
  // Changes the size keeping the top-left part (new area unmarked) and recomputes the box.
  void ResizeKeepingTopLeft(int width, int height);
  // Recomputes the bounding box from the marked pixels.
  void RecomputeBox();

 private:
  TKvMask mask_;
  int x1_ = kEmptyLow, y1_ = kEmptyLow, x2_ = 0, y2_ = 0;
};

// Result of GetRegion: the part of the image an operation works on. x2 and y2 are exclusive.
struct TKvRegion {
  int X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
  TKvSelection* Mask = nullptr;  // the view's selection mask; none without a view
  bool HasSelection = false;     // the view reports a selection
};

// What BeginAnalysis / BeginEdit hand to an operation: the bitmap to work on (the image itself, or
// a copy of the selection's bounding box) and the rectangle within it (x2, y2 exclusive).
struct TKvWorkArea {
  TKvBitmap* Bitmap = nullptr;
  int X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
  TKvSelection* Mask = nullptr;
  // Where the region copy lies in the image (its top-left pixel); 0, 0 for the image itself.
  int OriginX = 0, OriginY = 0;
  // Owns the region copy when one was made.
  std::unique_ptr<TKvBitmap> Copy;
  bool IsRegionCopy() const { return Copy != nullptr; }
};

class TKvProc {
 public:
  // A processor created with an owner (the document view that creates its own) has AutoUndo on;
  // the owner attaches it afterwards. Without an owner it works on a bitmap of its own.
  explicit TKvProc(TKvView* owner = nullptr);
  virtual ~TKvProc();
  TKvProc(const TKvProc&) = delete;
  TKvProc& operator=(const TKvProc&) = delete;

  // --- Properties ---
  TKvView* AttachedView() const { return view_; }
  // Takes the view's image (dropping an own bitmap); nullptr gives the processor a new own bitmap.
  void SetAttachedView(TKvView* view);
  // The image processed: the attached view's image, or the processor's own bitmap.
  TKvBitmap* Image() const;

  bool AutoUndo = false;
  int32_t UndoLimit = 1;  // most undo (and redo) entries kept; 0 keeps none
  bool AutoConvertFormat = true;
  // Fill colour of operations: the attached view's Background when there is one.
  TColor Background() const;
  void SetBackground(TColor color);

  TKvProgressEvent OnProgress;
  TKvNotifyEvent OnFinishWork;
  TKvSaveUndoEvent OnSaveUndo;

  // --- Frame steps ---
  // True when the image's format is allowed (an empty set allows all); otherwise, with
  // AutoConvertFormat on, converts the whole image to the first allowed candidate format.
  bool CheckPixelFormat(TKvPixFormatSet allowed);
  virtual TKvRegion GetRegion();
  // For operations that only read. False ends the operation (no events).
  bool BeginAnalysis(TKvPixFormatSet allowed, TKvWorkArea& area);
  void EndAnalysis(TKvWorkArea& area);
  // For operations that change pixels inside the selection; saves the undo copy first.
  bool BeginEdit(TKvPixFormatSet allowed, const std::string& caption, TKvWorkArea& area);
  // Writes a region copy back where the mask marks it, then ImageChanged.
  void EndEdit(TKvWorkArea& area);
  void ImageChanged();
  // OnProgress(100), then OnFinishWork.
  virtual void FinishWork();

  // --- Undo and redo ---
  virtual void SaveUndo(TKvUndoSource source);
  void SaveUndoCaptioned(const std::string& caption, TKvUndoSource source);
  virtual void Undo(bool saveRedo);
  // Position 0 is the newest entry. The entry stays in the store.
  virtual void UndoAt(int32_t position, bool saveRedo);
  void ClearUndo();
  virtual void SaveRedo(TKvUndoSource source);
  void SaveRedoCaptioned(const std::string& caption, TKvUndoSource source);
  virtual void Redo();
  virtual void RedoAt(int32_t position);
  void ClearRedo();
  virtual void ClearLastRedo();
  int UndoCount() const { return int(undo_.size()); }
  int RedoCount() const { return int(redo_.size()); }
  // Entry at `position` (0 the newest); empty text / nullptr outside the store.
  std::string UndoCaption(int position) const;
  std::string RedoCaption(int position) const;
  TKvUndoSource UndoSourceAt(int position) const;
  const TKvBitmap* UndoImage(int position) const;
  const TKvBitmap* RedoImage(int position) const;

  // --- Operations ---
  // Crops the image to the selection's bounding box (marked pixels only, the rest Background);
  // with makeTransparent the size stays and the alpha plane takes the mask instead.
  void CropSel(bool makeTransparent);
  // Fills the image with Background.
  void Clear();
  // Turns the image by `angle` degrees (positive counter-clockwise on screen) onto a canvas large
  // enough for all of it, uncovered corners in `background` (-1: Background).
  void Rotate(double angle, bool antialias = false, uint8_t quality = 0, int32_t background = -1);
  // Changes the image size without scaling; places 0, 1, 2 are left/top, centre, right/bottom.
  void ImageResize(int32_t newWidth, int32_t newHeight, uint8_t horizontalPlace,
                   uint8_t verticalPlace, int32_t alpha = 255);
  // Turns the page back by `angle` and cuts it, centred, to the upright page inside it.
  void RotateAndCrop(double angle);
  // The skew of the image (or of the selection's bounding box) in degrees; 0 when refused.
  double DetectSkew(int32_t resampleWidth, int32_t angleRange, double precision, bool edgeDetect);

  // Called by a view that is being destroyed.
  void ViewDestroyed(TKvView* view);

 private:
  struct TUndoEntry {
    std::unique_ptr<TKvBitmap> Image;
    TKvUndoSource Source = kvuUnknown;
    std::string Caption;
    int LayerIndex = -1;
  };
  using TStore = std::vector<TUndoEntry>;

  bool StoreImageEntry(TStore& store, TKvUndoSource source);
  void RestoreFrom(TStore& store, int32_t position);
  bool CanStoreImage();
  void ReportProgress(int percent);
  // The fill value of Background for the image's format (see the .cpp).
  double BackgroundFill(TColor color) const;

  TKvView* view_ = nullptr;
  std::unique_ptr<TKvBitmap> ownBitmap_;
  TColor ownBackground_ = clBlack;
  TStore undo_;
  TStore redo_;
  // Set by RotateAndCrop between its own undo save and Rotate's: nothing changes the image in
  // between, so with a depth of one Rotate's entry takes over the copy just made.
  bool reuseNewestCopy_ = false;
  // Entries pushed so far, to tell whether a save stored one.
  uint64_t undoPushes_ = 0, redoPushes_ = 0;
};

// The fill value that FillWith / ResizeCanvas take for `color` on a bitmap of `format`: kv1g
// white (1) when the colour's gray is at least 128, else black (0); kv8g and kv8p the colour's low
// byte; kv16g that byte widened; kv32f that byte scaled to 0..1; the other formats the colour.
double KvBackgroundFillValue(TKvPixFormat format, TColor color);
