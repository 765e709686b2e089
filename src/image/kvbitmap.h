// The image buffer: the one raster type of the system.
//
// A TKvBitmap owns width, height, pixel format, the pixel rows, an optional palette and an
// optional alpha plane (a kv8g TKvBitmap, 255 opaque). Rows are padded to RowAlignmentBits
// (32 by default) and row 0 is always the TOP row of the picture. Where the pixels live is the
// buffer's choice (Location):
//   kvInMemory  one block, rows stored bottom-up from a 64-byte aligned start (so RowPtr(0) is
//               the highest-addressed row), or, when no single block can be had, top-down
//               fragments of rows;
//   kvTempFile  a temporary file whose rows are paged in one at a time; only the row returned
//               last by RowPtr stays valid, PinRow keeps a row paged in until UnpinRow;
//   kvTBitmap   a platform bitmap (TVclBitmap), owned or wrapped.
// Callers must ask for every row separately: rows are neither contiguous nor ordered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/kvtypes.h"

class TVclBitmap;
class TKvTempStore;

// Access-mode bits (AccessMode): whether paged rows are read in and written back.
constexpr uint8_t kvAccessRead = 1;
constexpr uint8_t kvAccessWrite = 2;
constexpr uint8_t kvAccessReadWrite = 3;

class TKvBitmap {
 public:
  // An empty buffer: kvNoFormat, 0 x 0, Location kvTempFile.
  TKvBitmap();
  // A buffer already allocated with (width, height, format); empty when the allocation fails.
  TKvBitmap(int width, int height, TKvPixFormat format);
  ~TKvBitmap();
  TKvBitmap(const TKvBitmap&) = delete;
  TKvBitmap& operator=(const TKvBitmap&) = delete;

  // --- Geometry (a kvTBitmap buffer re-reads it from its platform bitmap first) ---
  // Inline, since loops ask for them often; only platform-bitmap storage has to re-read them.
  int Width() const { return Synced().width_; }
  int Height() const { return Synced().height_; }
  TKvPixFormat PixelFormat() const { return Synced().format_; }
  int BitCount() const { return Synced().bitCount_; }
  int ChannelCount() const { return Synced().channelCount_; }
  int RowLength() const { return Synced().rowLength_; }
  bool IsEmpty() const {
    const TKvBitmap& b = Synced();
    return b.width_ == 0 || b.height_ == 0 || b.rowLength_ == 0 || b.bitCount_ == 0;
  }

  // --- Allocation ---
  // Content after a successful allocation is undefined. Returns false for width or height < 1,
  // kvNoFormat, or when no storage can be had; width and height are then 0.
  bool AllocateImage(int width, int height, TKvPixFormat format);
  // Frees palette, paged rows, temp file, memory, owned platform bitmap; keepAlpha keeps the
  // alpha plane.
  void FreeImage(bool keepAlpha = false);

  // --- Rows ---
  uint8_t* RowPtr(int row);
  const uint8_t* RowPtr(int row) const;
  uint8_t* PinRow(int row);
  void UnpinRow(int row);

  uint8_t AccessMode() const { return accessMode_; }
  void SetAccessMode(uint8_t mode);

  // --- Storage ---
  TKvStorageKind Location() const { return location_; }
  // Moves the pixels to another storage kind (rows, palette and alpha plane kept).
  void SetLocation(TKvStorageKind kind);
  int RowAlignmentBits() const { return rowAlignmentBits_; }
  // Re-lays rows for kvInMemory; other storages only take the value for the next allocation.
  void SetRowAlignment(int bits);
  // 0 heap, 1 zero-filled "global" memory, 2 mixed (default).
  uint8_t AllocatorKind = 2;
  // Rule for conversions to kv1g: 0 ordered dither, 1 mean threshold (default).
  uint8_t DitherMode = 1;

  // Images larger than this many bytes go to kvTempFile: total physical memory / 1.3 (32 MiB
  // when unknown), or the process-wide override when set (not -1).
  static int64_t FileThreshold();
  static void SetFileThresholdOverride(int64_t bytes);  // -1 clears the override
  // This buffer's own threshold (0 puts every allocation in a temporary file, as undo copies
  // are kept); -1 uses FileThreshold(). An alpha plane created later takes it over.
  int64_t OwnFileThreshold = -1;
  // Folder for temporary files; empty means TMPDIR, then /tmp.
  static void SetTempFolder(const std::string& folder);
  static std::string TempFolder();
  // Why the last failed allocation of this thread failed (e.g. a format refused by kvTBitmap).
  static const std::string& LastAllocationError();

  // --- Palette (kv8p) ---
  TKvRGB GetPaletteEntry(int index) const;      // black outside 0..PaletteLength-1
  void SetPaletteEntry(int index, TKvRGB rgb);  // ignored outside 0..PaletteLength-1
  int PaletteLength() const { return int(palette_.size()); }
  // Replaces the palette with `count` entries (content black), or removes it for 0.
  void SetPaletteLength(int count);
  const TKvRGB* Palette() const { return palette_.empty() ? nullptr : palette_.data(); }
  int PaletteUsed = 256;  // how many entries are meaningful
  void CopyPaletteTo(TKvBitmap& dest) const;

  // --- Pixel accessors (no bounds checks beyond the caller's) ---
  bool GetBit(int x, int y) const;  // kv1g: true = white
  void SetBit(int x, int y, bool white);
  uint8_t GetByte(int x, int y) const;  // kv8g, kv8p
  void SetByte(int x, int y, uint8_t v);
  uint16_t GetWord(int x, int y) const;  // kv16g
  void SetWord(int x, int y, uint16_t v);
  float GetFloat(int x, int y) const;  // kv32f
  void SetFloat(int x, int y, float v);
  uint32_t GetCMYK(int x, int y) const;  // kvCMYK as a 32-bit value (byte 0 = C)
  void SetCMYK(int x, int y, uint32_t v);
  TKvRGB GetRGB(int x, int y) const;  // kv24RGB
  void SetRGB(int x, int y, TKvRGB v);
  TKvRGB* RGBPtr(int x, int y);
  TKvRGB48 GetRGB48(int x, int y) const;  // kvRGB48
  void SetRGB48(int x, int y, TKvRGB48 v);
  // The colour of any pixel whatever the format (kvNoFormat gives black).
  TKvRGB GetPixelRGB(int x, int y) const;

  // --- Alpha plane ---
  // The alpha plane, created on first use (kv8g, same size, filled with 255). Not for a buffer
  // that is itself an alpha plane (returns nullptr then).
  TKvBitmap* AlphaPlane();
  bool HasAlphaPlane() const { return alpha_ != nullptr; }
  const TKvBitmap* ExistingAlphaPlane() const { return alpha_.get(); }
  // Makes `plane` this buffer's alpha plane (marks it IsAlphaPlane); nullptr drops the plane.
  void AttachAlphaPlane(std::unique_ptr<TKvBitmap> plane);
  std::unique_ptr<TKvBitmap> DetachAlphaPlane();
  // With blend on a kv24RGB image each channel c becomes bg + (c - bg) * a / 256; then the
  // plane is freed.
  void DropAlphaPlane(bool blend, TColor background);
  bool IsAlphaPlane() const { return isAlphaPlane_; }
  bool AlphaIsOpaque = true;
  void RecheckOpaque();
  bool IsAllZero() const;

  // --- Copying ---
  void CopyFrom(const TKvBitmap& source);
  void CopyFrom(const TVclBitmap& source);
  void CopyPixelsFrom(const TKvBitmap& source);
  void MoveContentTo(TKvBitmap& dest);
  void CopyRect(TKvBitmap& dest, int sx, int sy, int w, int h, int dx, int dy) const;
  void CopyAlphaRect(TKvBitmap& dest, int sx, int sy, int w, int h, int dx, int dy) const;

  // --- Size, content and format changes ---
  void SetWidth(int w);
  void SetHeight(int h);
  // place: 0 left/top, 1 centred, 2 right/bottom.
  void ResizeCanvas(int width, int height, double fill, double alphaFill, int hPlace, int vPlace);
  void FillWith(double value);
  void FillRect(int x1, int y1, int x2, int y2, double value);  // inclusive corners
  // Whether a fill with `value` counts as opaque: what FillWith records in AlphaIsOpaque.
  bool ValueIsOpaque(double value) const;
  // Keeps only the part (x, y) .. (x + width - 1, y + height - 1) of a page held in one block,
  // moving its rows within the block, and leaves the buffer as one that was filled with `fill`,
  // had the part copied in and was handed over (clear row padding, AlphaIsOpaque of the fill).
  // False, with nothing changed, for other storage, kv1g, pinned rows, a part not inside the
  // page, or a part that a new allocation would put into a temporary file.
  bool KeepPartInPlace(int x, int y, int width, int height, double fill);
  // No-op for the same format; otherwise the pixel-format conversion.
  void ChangePixelFormat(TKvPixFormat format);

  // --- Platform bitmap storage ---
  // Uses `bitmap` as storage without owning it (Location = kvTBitmap).
  void WrapVclBitmap(TVclBitmap* bitmap);
  // Moves the buffer to kvTBitmap and returns the platform bitmap.
  TVclBitmap* VclBitmap();

 private:
  friend class TKvBitmapInternals;
  void SyncWithVcl() const;
  const TKvBitmap& Synced() const {
    if (location_ == kvTBitmap) SyncWithVcl();
    return *this;
  }
  void RebuildRowCache() const;
  // Takes geometry, row pointers and palette from the platform bitmap just attached.
  void AdoptVclContent();
  bool AllocateInMemory(int64_t size);
  void ClearRowPadding();
  bool AllocateFragments();
  bool AllocateTempFile(int64_t size);
  bool AllocateVcl();
  void FreeStorage();
  void ReleasePaged() const;
  uint8_t* PageIn(int row) const;
  uint8_t* VclRow(int row) const;
  void SetGeometry(int width, int height, TKvPixFormat format);
  void CopyRowsFrom(const TKvBitmap& source);
  bool HasDirectRows() const;
  bool CopyRowsWithStore(const TKvBitmap& source, int rows);
  bool ReuseBlockForCopy(const TKvBitmap& source);
  bool ReuseStoreForCopy(const TKvBitmap& source);
  void CopyContentFrom(const TKvBitmap& source, bool takeAlphaAndDither);
  void FillRows(int x1, int y1, int x2, int y2, double value);
  // Fills everything outside the inclusive rectangle (all of it when the rectangle is empty).
  void FillOutside(int x1, int y1, int x2, int y2, double value);

  mutable uint8_t accessMode_ = kvAccessReadWrite;
  TKvStorageKind location_ = kvTempFile;
  // Geometry; mutable because a kvTBitmap buffer re-reads it from its platform bitmap.
  mutable int width_ = 0, height_ = 0, bitCount_ = 0, channelCount_ = 0, rowLength_ = 0;
  mutable TKvPixFormat format_ = kvNoFormat;
  int rowAlignmentBits_ = 32;
  bool mustReallocate_ = true;
  bool isAlphaPlane_ = false;

  std::vector<TKvRGB> palette_;
  std::unique_ptr<TKvBitmap> alpha_;

  // kvInMemory single block: raw allocation and the 64-byte aligned start.
  struct TBlock;
  std::unique_ptr<TBlock> block_;
  uint8_t* blockStart_ = nullptr;
  // kvInMemory fragments.
  std::vector<std::unique_ptr<uint8_t[]>> fragments_;
  int rowsPerFragment_ = 0;

  // kvTempFile: the store, the currently paged-in row, and pinned rows.
  std::unique_ptr<TKvTempStore> store_;
  struct TPaged {
    int row = -1;
    uint8_t access = 0;
    std::unique_ptr<uint8_t[]> buffer;
  };
  mutable TPaged paged_;
  mutable std::vector<int> pinnedRows_;
  mutable std::vector<std::unique_ptr<uint8_t[]>> pinnedBuffers_;

  // kvTBitmap: owned or wrapped platform bitmap and its row-pointer cache.
  std::unique_ptr<TVclBitmap> ownedVcl_;
  TVclBitmap* vcl_ = nullptr;
  bool wrapsVcl_ = false;
  mutable std::vector<uint8_t*> vclRows_;
};

// A plain scratch raster for accumulators and work planes: one block, rows 32-bit aligned and
// stored bottom-up (row y at block + RowLength * (Height - 1 - y)).
class TKvWorkBitmap {
 public:
  TKvWorkBitmap() = default;
  TKvWorkBitmap(int width, int height, int bitsPerPixel);
  // Frees and reallocates only when one of the three changes (content is then undefined).
  void WorkAllocate(int width, int height, int bitsPerPixel);

  int Width() const { return width_; }
  int Height() const { return height_; }
  int BitsPerPixel() const { return bitsPerPixel_; }
  int RowLength() const { return rowLength_; }
  uint8_t* Row(int y) { return data_.get() + int64_t(rowLength_) * (height_ - 1 - y); }
  const uint8_t* Row(int y) const { return data_.get() + int64_t(rowLength_) * (height_ - 1 - y); }
  uint8_t* BytePtr(int x, int y) { return Row(y) + x; }
  float* FloatPtr(int x, int y) { return reinterpret_cast<float*>(Row(y) + 4 * x); }
  bool IsAllocated() const { return data_ != nullptr; }

 private:
  int width_ = 0, height_ = 0, bitsPerPixel_ = 0, rowLength_ = 0;
  std::unique_ptr<uint8_t[]> data_;
};

// A mask raster: 8 bits a pixel (0 = outside, nonzero = inside) or 1 bit a pixel.
class TKvMask {
 public:
  TKvMask() = default;
  TKvMask(int width, int height, int bitsPerPixel = 8);
  void Allocate(int width, int height, int bitsPerPixel = 8);
  int Width() const { return width_; }
  int Height() const { return height_; }
  int BitsPerPixel() const { return bits_; }
  bool IsEmpty() const { return width_ <= 0 || height_ <= 0; }
  uint8_t Get(int x, int y) const;
  void Set(int x, int y, uint8_t v);
  void Fill(uint8_t v);
  // Changes the size keeping the top-left part; new area gets `fill`.
  void Resize(int width, int height, uint8_t fill = 0);
  uint8_t* Row(int y) { return data_.data() + size_t(rowLength_) * y; }
  const uint8_t* Row(int y) const { return data_.data() + size_t(rowLength_) * y; }

 private:
  void ResizeBytesInPlace(int width, int height, uint8_t fill);

  int width_ = 0, height_ = 0, bits_ = 8, rowLength_ = 0;
  std::vector<uint8_t> data_;
};

// Sets (white) or clears the bits x1 .. x2 (inclusive) of a kv1g row.
void FillBits(uint8_t* row, int x1, int x2, bool white);

// Bytes a row of `width` pixels of `bitCount` bits takes with `alignmentBits` alignment.
inline int KvRowLength(int width, int bitCount, int alignmentBits = 32) {
  return int(((int64_t(width) * bitCount + alignmentBits - 1) / alignmentBits) *
             (alignmentBits / 8));
}
