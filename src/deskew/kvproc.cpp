// The processing frame of the image processor: format check with automatic conversion, the
// region an operation works on (whole image, or the bounding box of the view's selection), the
// undo and redo stores, and the crop to the selection. Rotation lives in rotate.cpp.
#include "deskew/kvproc.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "deskew/kvview.h"
#include "deskew/measureskew.h"
#include "deskew/rotate.h"

namespace {

// Candidate formats tried, in order, when an image's format is not allowed (indexed by format).
struct TCandidates {
  int Count;
  TKvPixFormat Formats[6];
};
constexpr TCandidates kCandidates[kKvPixFormatCount] = {
    /* kvNoFormat */ {0, {}},
    /* kv1g */ {4, {kv8g, kv16g, kv32f, kv24RGB}},
    /* kv8p */ {4, {kv24RGB, kvCMYK, kvRGB48, kvCIELab}},
    /* kv8g */ {5, {kv16g, kv32f, kv24RGB, kvCMYK, kvRGB48}},
    /* kv16g */ {5, {kv32f, kv8g, kvRGB48, kv24RGB, kvCMYK}},
    /* kv24RGB */ {6, {kvCMYK, kvCIELab, kvRGB48, kv8p, kv16g, kv8g}},
    /* kv32f */ {5, {kv16g, kv8g, kv24RGB, kvRGB48, kvCIELab}},
    /* kvCMYK */ {4, {kv24RGB, kvRGB48, kvCIELab, kv8g}},
    /* kvRGB48 */ {4, {kv24RGB, kvCMYK, kvCIELab, kv16g}},
    /* kvCIELab */ {4, {kv24RGB, kvCMYK, kvRGB48, kv8g}},
    /* kv32RGB */ {4, {kv24RGB, kvCMYK, kvRGB48, kv8g}},
};

// Images narrower or lower than this many pixels are not worth an undo copy.
constexpr int kMinUndoSide = 2;

// Gray level (by the gray rule) from which a background counts as white on a bilevel image.
constexpr int kWhiteGrayFrom = 128;

bool TooSmallForUndo(const TKvBitmap& image) {
  return image.Width() < kMinUndoSide || image.Height() < kMinUndoSide;
}

// Undo copies always live in a temporary file, whatever their size: their own file threshold
// is 0 (the process-wide one is left alone, as other documents may be allocating meanwhile).
// A copy just pushed out of the store lends its file to the new one (see TKvBitmap::CopyFrom).
std::unique_ptr<TKvBitmap> MakeUndoCopy(const TKvBitmap& image, std::unique_ptr<TKvBitmap> spent) {
  if (spent && spent->Location() != kvTempFile) spent.reset();
  auto copy = spent ? std::move(spent) : std::make_unique<TKvBitmap>();
  copy->OwnFileThreshold = 0;
  copy->CopyFrom(image);
  return copy;
}

inline void PutBit(uint8_t* row, int x, bool white) {
  const uint8_t mask = uint8_t(0x80 >> (x & 7));
  if (white)
    row[x >> 3] |= mask;
  else
    row[x >> 3] &= uint8_t(~mask);
}

inline bool GetBitAt(const uint8_t* row, int x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

// Copies `count` bits from bit `s` of `src` to bit `d` of `dst` (most significant bit first):
// single bits up to a destination byte boundary, then whole destination bytes gathered from one
// or two source bytes, then the remaining bits.
void CopyBitRun(const uint8_t* src, int s, uint8_t* dst, int d, int count) {
  while (count > 0 && (d & 7) != 0) {
    PutBit(dst, d++, GetBitAt(src, s++));
    --count;
  }
  const int shift = s & 7;
  for (; count >= 8; count -= 8, s += 8, d += 8) {
    const uint8_t* p = src + (s >> 3);
    dst[d >> 3] = shift == 0 ? p[0] : uint8_t((p[0] << shift) | (p[1] >> (8 - shift)));
  }
  while (count-- > 0) PutBit(dst, d++, GetBitAt(src, s++));
}

// Index of the first nonzero byte of row[0 .. count), or count; whole words of zeros are skipped.
int FirstMarked(const uint8_t* row, int count) {
  int x = 0;
  for (; x + 8 <= count; x += 8) {
    uint64_t word;
    std::memcpy(&word, row + x, 8);
    if (word != 0) break;
  }
  while (x < count && row[x] == 0) ++x;
  return x;
}

// Index of the last nonzero byte of row[0 .. count), or -1.
int LastMarked(const uint8_t* row, int count) {
  int x = count;
  for (; x >= 8; x -= 8) {
    uint64_t word;
    std::memcpy(&word, row + x - 8, 8);
    if (word != 0) break;
  }
  while (x > 0 && row[x - 1] == 0) --x;
  return x - 1;
}

// Index of the first zero byte of row[0 .. count), or count.
int FirstUnmarked(const uint8_t* row, int count) {
  const void* zero = std::memchr(row, 0, size_t(count));
  return zero == nullptr ? count : int(static_cast<const uint8_t*>(zero) - row);
}

// Copies the marked pixels of the box (bx, by) .. (bx + bw - 1, by + bh - 1), given in image
// (mask) coordinates, from `src` at (x - srcOffX, y - srcOffY) to `dst` at (x - dstOffX,
// y - dstOffY). Both bitmaps have the same format; the box must lie inside both and the mask.
void CopyMarkedPixels(const TKvBitmap& src, int srcOffX, int srcOffY, TKvBitmap& dst, int dstOffX,
                      int dstOffY, const TKvSelection& sel, int bx, int by, int bw, int bh) {
  const bool bits = src.PixelFormat() == kv1g;
  const int bpp = src.BitCount() / 8;
  for (int y = by; y < by + bh; ++y) {
    const uint8_t* mrow = sel.Mask().Row(y);
    const uint8_t* in = src.RowPtr(y - srcOffY);
    uint8_t* out = dst.RowPtr(y - dstOffY);
    int x = bx;
    const int xEnd = bx + bw;
    while (x < xEnd) {
      // Runs are found a word or a library scan at a time: a page row is one long run.
      x += FirstMarked(mrow + x, xEnd - x);
      const int runStart = x;
      x += FirstUnmarked(mrow + x, xEnd - x);
      if (x == runStart) continue;
      if (bits) {
        CopyBitRun(in, runStart - srcOffX, out, runStart - dstOffX, x - runStart);
      } else {
        std::memcpy(out + size_t(runStart - dstOffX) * bpp, in + size_t(runStart - srcOffX) * bpp,
                    size_t(x - runStart) * bpp);
      }
    }
  }
}

// The background fill of a fresh crop of the box at (bx, by), before the marked pixels are copied
// in: as FillWith, but rows that the selection marks from end to end are left alone, as the copy
// overwrites every pixel byte of them (and a fill writes no padding byte in these formats). kv1g
// rows are always filled, as there the fill also sets the padding bits of each row's last byte.
void FillUnmarkedRows(TKvBitmap& cropped, const TKvSelection& sel, int bx, int by, double fill) {
  const int w = cropped.Width(), h = cropped.Height();
  if (cropped.PixelFormat() == kv1g) {
    cropped.FillWith(fill);
    return;
  }
  auto fullyMarked = [&](int y) { return FirstUnmarked(sel.Mask().Row(by + y) + bx, w) == w; };
  for (int y = 0; y < h;) {
    if (fullyMarked(y)) {
      ++y;
      continue;
    }
    const int first = y;
    while (y < h && !fullyMarked(y)) ++y;
    cropped.FillRect(0, first, w - 1, y - 1, fill);
  }
  cropped.AlphaIsOpaque = cropped.ValueIsOpaque(fill);
}

// Whether every pixel of the box (bx, by, bw, bh) is marked.
bool BoxFullyMarked(const TKvSelection& sel, int bx, int by, int bw, int bh) {
  for (int y = by; y < by + bh; ++y)
    if (FirstUnmarked(sel.Mask().Row(y) + bx, bw) != bw) return false;
  return true;
}

// The crop into a new buffer of the box (bx, by, bw, bh): marked pixels (and their alpha) are
// copied, the rest of the box gets the background `fill`.
void CropByCopy(TKvBitmap& image, const TKvSelection& sel, int bx, int by, int bw, int bh,
                double fill) {
  TKvBitmap cropped(bw, bh, image.PixelFormat());
  image.CopyPaletteTo(cropped);
  cropped.PaletteUsed = image.PaletteUsed;
  cropped.DitherMode = image.DitherMode;
  FillUnmarkedRows(cropped, sel, bx, by, fill);
  CopyMarkedPixels(image, 0, 0, cropped, bx, by, sel, bx, by, bw, bh);
  if (image.HasAlphaPlane()) {
    // The alpha of the kept pixels goes along; the filled background is opaque.
    TKvBitmap* croppedAlpha = cropped.AlphaPlane();
    const TKvBitmap* imageAlpha = image.ExistingAlphaPlane();
    if (croppedAlpha != nullptr && imageAlpha->PixelFormat() == kv8g)
      CopyMarkedPixels(*imageAlpha, 0, 0, *croppedAlpha, bx, by, sel, bx, by, bw, bh);
  }
  KvTakeContent(image, cropped, true);
  if (image.HasAlphaPlane()) {
    image.AlphaPlane()->RecheckOpaque();
    if (image.AlphaPlane()->AlphaIsOpaque) image.DropAlphaPlane(false, clBlack);
  }
}

// The selection's bounding box clipped to a width x height image; false when nothing is left.
bool ClippedBox(const TKvSelection& sel, int width, int height, int& x1, int& y1, int& x2,
                int& y2) {
  x1 = std::max(sel.X1(), 0);
  y1 = std::max(sel.Y1(), 0);
  x2 = std::min({sel.X2(), width - 1, sel.Width() - 1});
  y2 = std::min({sel.Y2(), height - 1, sel.Height() - 1});
  return x1 <= x2 && y1 <= y2;
}

}  // namespace

double KvBackgroundFillValue(TKvPixFormat format, TColor color) {
  color &= 0xFFFFFF;
  const uint8_t low = uint8_t(color & 0xFF);
  switch (format) {
    case kv1g:
      return KvGray(ColorToRGB(color)) >= kWhiteGrayFrom ? 1 : 0;
    case kv8g:
    case kv8p:
      return low;
    case kv16g:
      return low * 257.0;
    case kv32f:
      return low / 255.0;
    default:
      return double(color);
  }
}

// ---------------------------------------------------------------------------------------------
// Selection

bool TKvSelection::IsMarked(int x, int y) const {
  if (x < 0 || y < 0 || x >= mask_.Width() || y >= mask_.Height()) return false;
  return mask_.Row(y)[x] != 0;
}

void TKvSelection::Reset(int width, int height) {
  // A mask of the same size is cleared in its own storage (a page's new selection usually has
  // the size of the last one); another size gets a new mask, the old one going first.
  if (width > 0 && height > 0 && width == mask_.Width() && height == mask_.Height() &&
      mask_.BitsPerPixel() == 8) {
    mask_.Fill(0);
  } else {
    mask_ = TKvMask();
    if (width > 0 && height > 0) mask_.Allocate(width, height, 8);  // unmarked
  }
  x1_ = y1_ = kEmptyLow;
  x2_ = y2_ = 0;
}

void TKvSelection::Empty() {
  mask_.Fill(0);
  x1_ = y1_ = kEmptyLow;
  x2_ = y2_ = 0;
}

void TKvSelection::MarkRect(int x1, int y1, int x2, int y2) {
  x1 = std::max(x1, 0);
  y1 = std::max(y1, 0);
  x2 = std::min(x2, mask_.Width());
  y2 = std::min(y2, mask_.Height());
  if (x1 >= x2 || y1 >= y2) return;
  for (int y = y1; y < y2; ++y) std::memset(mask_.Row(y) + x1, 255, size_t(x2 - x1));
  if (IsEmpty()) {
    x1_ = x1;
    y1_ = y1;
    x2_ = x2 - 1;
    y2_ = y2 - 1;
  } else {
    x1_ = std::min(x1_, x1);
    y1_ = std::min(y1_, y1);
    x2_ = std::max(x2_, x2 - 1);
    y2_ = std::max(y2_, y2 - 1);
  }
}

void TKvSelection::ResizeKeepingTopLeft(int width, int height) {
  if (width <= 0 || height <= 0) {
    Reset(width, height);
    return;
  }
  // The box is always the tight box of the marks: when it lies within the new size, every mark
  // is kept and none is added, so it stays as it is (no scan of a page-sized mask).
  const bool boxKept = IsEmpty() || (x2_ < width && y2_ < height);
  // The selection's mask is a byte mask, which changes size in its own storage.
  mask_.Resize(width, height, 0);
  if (!boxKept) RecomputeBox();
}

void TKvSelection::RecomputeBox() {
  x1_ = y1_ = kEmptyLow;
  x2_ = y2_ = 0;
  const int width = mask_.Width();
  for (int y = 0; y < mask_.Height(); ++y) {
    const uint8_t* row = mask_.Row(y);
    const int first = FirstMarked(row, width);
    if (first >= width) continue;
    const int last = LastMarked(row, width);
    if (y1_ == kEmptyLow) {
      y1_ = y;
      x1_ = first;
      x2_ = last;
    }
    x1_ = std::min(x1_, first);
    x2_ = std::max(x2_, last);
    y2_ = y;
  }
}

// ---------------------------------------------------------------------------------------------
// Creation, attachment, properties

TKvProc::TKvProc(TKvView* owner) : AutoUndo(owner != nullptr), ownBitmap_(new TKvBitmap) {}

TKvProc::~TKvProc() {
  if (view_ != nullptr) view_->UnregisterProc(this);
}

void TKvProc::SetAttachedView(TKvView* view) {
  if (view == view_) return;
  if (view_ != nullptr) view_->UnregisterProc(this);
  view_ = view;
  if (view_ != nullptr) {
    ownBitmap_.reset();
    view_->RegisterProc(this);
  } else {
    ownBitmap_ = std::make_unique<TKvBitmap>();
  }
}

void TKvProc::ViewDestroyed(TKvView* view) {
  if (view != view_) return;
  view_ = nullptr;
  ownBitmap_ = std::make_unique<TKvBitmap>();
}

TKvBitmap* TKvProc::Image() const {
  return view_ != nullptr ? &view_->Bitmap() : ownBitmap_.get();
}

TColor TKvProc::Background() const {
  return view_ != nullptr ? view_->Background : ownBackground_;
}

void TKvProc::SetBackground(TColor color) {
  if (view_ != nullptr)
    view_->Background = color;
  else
    ownBackground_ = color;
}

double TKvProc::BackgroundFill(TColor color) const {
  const TKvBitmap* image = Image();
  return KvBackgroundFillValue(image != nullptr ? image->PixelFormat() : kvNoFormat, color);
}

// ---------------------------------------------------------------------------------------------
// Frame steps

bool TKvProc::CheckPixelFormat(TKvPixFormatSet allowed) {
  TKvBitmap* image = Image();
  if (image == nullptr) return false;
  if (allowed.IsEmpty()) return true;
  const TKvPixFormat format = image->PixelFormat();
  if (allowed.Contains(format)) return true;
  // Nothing to convert: an empty image is not of any allowed format.
  if (!AutoConvertFormat || image->IsEmpty()) return false;
  auto convertTo = [&](TKvPixFormat target) {
    image->ChangePixelFormat(target);
    return image->PixelFormat() == target;
  };
  if (format < kKvPixFormatCount) {
    const TCandidates& c = kCandidates[format];
    for (int i = 0; i < c.Count; ++i)
      if (allowed.Contains(c.Formats[i])) return convertTo(c.Formats[i]);
  }
  for (int f = kKvPixFormatCount - 1; f >= 0; --f)
    if (allowed.Contains(TKvPixFormat(f))) return convertTo(TKvPixFormat(f));
  return false;
}

TKvRegion TKvProc::GetRegion() {
  TKvRegion region;
  const TKvBitmap* image = Image();
  region.X2 = image != nullptr ? image->Width() : 0;
  region.Y2 = image != nullptr ? image->Height() : 0;
  if (view_ == nullptr) return region;
  region.Mask = &view_->Selection();
  if (view_->HasSelection()) {
    region.HasSelection = true;
    if (!region.Mask->IsEmpty()) {
      region.X1 = region.Mask->X1();
      region.Y1 = region.Mask->Y1();
      region.X2 = region.Mask->X2() + 1;
      region.Y2 = region.Mask->Y2() + 1;
    }
  }
  return region;
}

bool TKvProc::BeginAnalysis(TKvPixFormatSet allowed, TKvWorkArea& area) {
  area = TKvWorkArea();
  if (!CheckPixelFormat(allowed)) return false;
  TKvBitmap* image = Image();
  const TKvRegion region = GetRegion();
  area.Mask = region.Mask;
  int x1, y1, x2, y2;
  if (region.Mask != nullptr && !region.Mask->IsEmpty() &&
      ClippedBox(*region.Mask, image->Width(), image->Height(), x1, y1, x2, y2)) {
    const int w = x2 - x1 + 1, h = y2 - y1 + 1;
    area.Copy = std::make_unique<TKvBitmap>(w, h, image->PixelFormat());
    image->CopyRect(*area.Copy, x1, y1, w, h, 0, 0);
    image->CopyPaletteTo(*area.Copy);
    area.Copy->PaletteUsed = image->PaletteUsed;
    area.Copy->DitherMode = image->DitherMode;
    area.Bitmap = area.Copy.get();
    area.X2 = w;
    area.Y2 = h;
    area.OriginX = x1;
    area.OriginY = y1;
  } else {
    area.Bitmap = image;
    area.X1 = region.X1;
    area.Y1 = region.Y1;
    area.X2 = region.X2;
    area.Y2 = region.Y2;
  }
  return true;
}

void TKvProc::EndAnalysis(TKvWorkArea& area) {
  area.Copy.reset();
  area.Bitmap = nullptr;
}

bool TKvProc::BeginEdit(TKvPixFormatSet allowed, const std::string& caption, TKvWorkArea& area) {
  if (AutoUndo) SaveUndoCaptioned(caption, kvuImage);
  return BeginAnalysis(allowed, area);
}

void TKvProc::EndEdit(TKvWorkArea& area) {
  TKvBitmap* image = Image();
  if (area.IsRegionCopy() && area.Mask != nullptr && image != nullptr &&
      area.Copy->PixelFormat() == image->PixelFormat()) {
    const TKvBitmap& copy = *area.Copy;
    const int bx = area.OriginX, by = area.OriginY;
    const int bw = std::min({copy.Width(), image->Width() - bx, area.Mask->Width() - bx});
    const int bh = std::min({copy.Height(), image->Height() - by, area.Mask->Height() - by});
    if (bw > 0 && bh > 0) {
      CopyMarkedPixels(copy, bx, by, *image, 0, 0, *area.Mask, bx, by, bw, bh);
      if (copy.HasAlphaPlane()) {
        TKvBitmap& copyAlpha = *area.Copy->AlphaPlane();
        copyAlpha.RecheckOpaque();
        if (!copyAlpha.AlphaIsOpaque) {
          TKvBitmap* alpha = image->AlphaPlane();
          if (alpha != nullptr) {
            CopyMarkedPixels(copyAlpha, bx, by, *alpha, 0, 0, *area.Mask, bx, by, bw, bh);
            alpha->AlphaIsOpaque = false;
          }
        }
      }
    }
  }
  area.Copy.reset();
  area.Bitmap = nullptr;
  ImageChanged();
}

void TKvProc::ImageChanged() {
  if (view_ != nullptr) view_->Update();
}

void TKvProc::FinishWork() {
  if (OnProgress) OnProgress(this, 100);
  if (OnFinishWork) OnFinishWork(this);
}

void TKvProc::ReportProgress(int percent) {
  if (OnProgress) OnProgress(this, percent);
}

// ---------------------------------------------------------------------------------------------
// Undo and redo

bool TKvProc::StoreImageEntry(TStore& store, TKvUndoSource source) {
  TKvBitmap* image = Image();
  if (TooSmallForUndo(*image)) return false;
  const size_t limit = size_t(std::max(UndoLimit, 1));
  // A copy of the unchanged image that is about to be pushed out anyway serves again.
  std::unique_ptr<TKvBitmap> reused;
  if (reuseNewestCopy_ && &store == &undo_ && limit == 1 && !store.empty())
    reused = std::move(store.back().Image);
  reuseNewestCopy_ = false;
  // The oldest entries go before the copy is made, so that at most UndoLimit copies exist; the
  // last of them to go serves as the storage of the new copy.
  std::unique_ptr<TKvBitmap> spent;
  while (store.size() >= limit) {
    spent = std::move(store.front().Image);
    store.erase(store.begin());
  }
  TUndoEntry entry;
  entry.Image = reused ? std::move(reused) : MakeUndoCopy(*image, std::move(spent));
  entry.Source = source;
  entry.LayerIndex = view_ != nullptr ? view_->LayersCurrent() : -1;
  store.push_back(std::move(entry));
  ++(&store == &undo_ ? undoPushes_ : redoPushes_);
  return true;
}

void TKvProc::SaveUndo(TKvUndoSource source) {
  if (UndoLimit <= 0) return;
  // Only image entries are kept: the other sources belong to view features this system lacks.
  if (source != kvuImage) return;
  if (!CheckPixelFormat({})) return;
  StoreImageEntry(undo_, source);
  if (OnSaveUndo) OnSaveUndo(this, source);
}

void TKvProc::SaveUndoCaptioned(const std::string& caption, TKvUndoSource source) {
  if (!CheckPixelFormat({}) || TooSmallForUndo(*Image())) return;
  const uint64_t before = undoPushes_;
  SaveUndo(source);
  if (undoPushes_ != before && !undo_.empty()) undo_.back().Caption = caption;
}

void TKvProc::SaveRedo(TKvUndoSource source) {
  if (UndoLimit <= 0 || source != kvuImage) return;
  if (!CheckPixelFormat({})) return;
  StoreImageEntry(redo_, source);
}

void TKvProc::SaveRedoCaptioned(const std::string& caption, TKvUndoSource source) {
  if (!CheckPixelFormat({}) || TooSmallForUndo(*Image())) return;
  const uint64_t before = redoPushes_;
  SaveRedo(source);
  if (redoPushes_ != before && !redo_.empty()) redo_.back().Caption = caption;
}

void TKvProc::RestoreFrom(TStore& store, int32_t position) {
  const TUndoEntry& entry = store[store.size() - 1 - size_t(position)];
  if (entry.Source != kvuImage || !entry.Image) return;
  TKvBitmap* target = Image();
  if (view_ != nullptr && entry.LayerIndex >= 0)
    target = &view_->LayerBitmap(std::clamp(entry.LayerIndex, 0, view_->LayersCount() - 1));
  target->CopyFrom(*entry.Image);
  ImageChanged();
}

void TKvProc::Undo(bool saveRedo) {
  UndoAt(0, saveRedo);
}

void TKvProc::UndoAt(int32_t position, bool saveRedo) {
  if (!CheckPixelFormat({})) return;
  if (position < 0 || size_t(position) >= undo_.size()) return;
  if (saveRedo) SaveRedo(undo_[undo_.size() - 1 - size_t(position)].Source);
  RestoreFrom(undo_, position);
}

void TKvProc::Redo() {
  RedoAt(0);
}

void TKvProc::RedoAt(int32_t position) {
  if (!CheckPixelFormat({})) return;
  if (position < 0 || size_t(position) >= redo_.size()) return;
  RestoreFrom(redo_, position);
}

void TKvProc::ClearUndo() {
  while (!undo_.empty()) undo_.erase(undo_.begin());  // oldest first
}

void TKvProc::ClearRedo() {
  while (!redo_.empty()) redo_.erase(redo_.begin());
}

void TKvProc::ClearLastRedo() {
  if (!redo_.empty()) redo_.pop_back();
}

std::string TKvProc::UndoCaption(int position) const {
  if (position < 0 || size_t(position) >= undo_.size()) return std::string();
  return undo_[undo_.size() - 1 - size_t(position)].Caption;
}

std::string TKvProc::RedoCaption(int position) const {
  if (position < 0 || size_t(position) >= redo_.size()) return std::string();
  return redo_[redo_.size() - 1 - size_t(position)].Caption;
}

TKvUndoSource TKvProc::UndoSourceAt(int position) const {
  if (position < 0 || size_t(position) >= undo_.size()) return kvuUnknown;
  return undo_[undo_.size() - 1 - size_t(position)].Source;
}

const TKvBitmap* TKvProc::UndoImage(int position) const {
  if (position < 0 || size_t(position) >= undo_.size()) return nullptr;
  return undo_[undo_.size() - 1 - size_t(position)].Image.get();
}

const TKvBitmap* TKvProc::RedoImage(int position) const {
  if (position < 0 || size_t(position) >= redo_.size()) return nullptr;
  return redo_[redo_.size() - 1 - size_t(position)].Image.get();
}

// ---------------------------------------------------------------------------------------------
// Operations of the frame

void TKvProc::CropSel(bool makeTransparent) {
  if (!CheckPixelFormat({})) return;
  if (AutoUndo) SaveUndoCaptioned("CropSel", kvuImage);
  TKvBitmap& image = *Image();
  const TKvRegion region = GetRegion();
  int x1, y1, x2, y2;
  if (region.HasSelection && region.Mask != nullptr && !region.Mask->IsEmpty() &&
      ClippedBox(*region.Mask, image.Width(), image.Height(), x1, y1, x2, y2)) {
    const TKvSelection& sel = *region.Mask;
    if (makeTransparent) {
      TKvBitmap* alpha = image.AlphaPlane();
      if (alpha != nullptr) {
        for (int y = 0; y < alpha->Height(); ++y) {
          uint8_t* row = alpha->RowPtr(y);
          for (int x = 0; x < alpha->Width(); ++x) row[x] = sel.IsMarked(x, y) ? 255 : 0;
        }
        alpha->RecheckOpaque();
      }
    } else {
      const int w = x2 - x1 + 1, h = y2 - y1 + 1;
      const double fill = BackgroundFill(Background());
      // A box the selection marks whole, on a page without alpha held in one block, is cut
      // within the page's own block; anything else is built anew around the marked pixels.
      const bool inPlace = !image.HasAlphaPlane() && BoxFullyMarked(sel, x1, y1, w, h) &&
                           image.KeepPartInPlace(x1, y1, w, h, fill);
      if (!inPlace) CropByCopy(image, sel, x1, y1, w, h, fill);
    }
  }
  ImageChanged();
  FinishWork();
}

void TKvProc::Clear() {
  TKvWorkArea area;
  if (!BeginEdit({}, "Clear", area)) return;
  if (!area.Bitmap->IsEmpty()) area.Bitmap->FillWith(BackgroundFill(Background()));
  EndEdit(area);
  FinishWork();
}

// ---------------------------------------------------------------------------------------------
// Skew measurement through the frame

double TKvProc::DetectSkew(int32_t resampleWidth, int32_t angleRange, double precision,
                           bool edgeDetect) {
  const TKvBitmap* image = Image();
  if (image == nullptr || image->IsEmpty()) return 0;
  TKvWorkArea area;
  if (!BeginAnalysis({kv1g, kv24RGB}, area)) return 0;
  const double result =
      MeasureSkew(*area.Bitmap, resampleWidth, angleRange, precision, edgeDetect, OnProgress, this);
  EndAnalysis(area);
  FinishWork();
  return result;
}
