// The image buffer: storage kinds, rows, palette, alpha plane, copies and size changes.
#include "image/kvbitmap.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

#include "image/kvconvert.h"
#include "image/kvtempstore.h"
#include "image/vclbitmap.h"

namespace {

// Blocks below this size come from the heap in the mixed allocator; larger ones from zero-filled
// memory (which the system hands out lazily, so big pages cost nothing until touched).
constexpr size_t kMixedHeapLimitBytes = 1048576;
// Slack allocated beyond the image so that the start can be rounded up to the alignment.
constexpr size_t kBlockSlackBytes = 128;
constexpr uintptr_t kBlockAlignment = 64;
// The fragment fallback gives up when fragments would get smaller than this (and n > 4).
constexpr int64_t kMinFragmentBytes = 10485760;
// Threshold when the physical memory size cannot be read.
constexpr int64_t kDefaultFileThreshold = 33554432;
// The memory-based threshold is total physical memory divided by this.
constexpr double kPhysicalMemoryShare = 1.3;

std::atomic<int64_t> gThresholdOverride{-1};
std::mutex gTempFolderMutex;
std::string gTempFolder;  // empty: TMPDIR, then /tmp
thread_local std::string gLastAllocationError;

int64_t PhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return -1;
  return int64_t(pages) * int64_t(pageSize);
}

uint16_t ReadWord(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
void WriteWord(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

int BytesPerPixel(TKvPixFormat f) {
  return KvBitsOf(f) / 8;
}

}  // namespace

const char* KvPixFormatName(TKvPixFormat f) {
  static const char* const names[kKvPixFormatCount] = {"kvNoFormat", "kv1g",     "kv8p",   "kv8g",
                                                       "kv16g",      "kv24RGB",  "kv32f",  "kvCMYK",
                                                       "kvRGB48",    "kvCIELab", "kv32RGB"};
  return f < kKvPixFormatCount ? names[f] : "?";
}

struct TKvBitmap::TBlock {
  void* raw = nullptr;
  size_t usable = 0;  // bytes from the aligned start to the end of the block
  ~TBlock() { std::free(raw); }
};

// ---------------------------------------------------------------------------------------------
// Creation, process-wide settings

TKvBitmap::TKvBitmap() = default;

TKvBitmap::TKvBitmap(int width, int height, TKvPixFormat format) {
  AllocateImage(width, height, format);
}

TKvBitmap::~TKvBitmap() {
  FreeImage();
}

int64_t TKvBitmap::FileThreshold() {
  const int64_t over = gThresholdOverride.load();
  if (over != -1) return over;
  const int64_t total = PhysicalMemory();
  if (total <= 0) return kDefaultFileThreshold;
  return int64_t(double(total) / kPhysicalMemoryShare);
}

void TKvBitmap::SetFileThresholdOverride(int64_t bytes) {
  gThresholdOverride.store(bytes);
}

void TKvBitmap::SetTempFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(gTempFolderMutex);
  gTempFolder = folder;
}

std::string TKvBitmap::TempFolder() {
  {
    std::lock_guard<std::mutex> lock(gTempFolderMutex);
    if (!gTempFolder.empty()) return gTempFolder;
  }
  const char* env = std::getenv("TMPDIR");
  if (env != nullptr && *env != '\0') return env;
  return "/tmp";
}

const std::string& TKvBitmap::LastAllocationError() {
  return gLastAllocationError;
}

// ---------------------------------------------------------------------------------------------
// Geometry

void TKvBitmap::SyncWithVcl() const {
  if (location_ != kvTBitmap || vcl_ == nullptr) return;
  TKvPixFormat f;
  switch (vcl_->PixelFormat()) {
    case pf1bit:
      f = kv1g;
      break;
    case pf8bit:
      f = (isAlphaPlane_ || vcl_->PaletteIsGrayRamp()) ? kv8g : kv8p;
      break;
    case pf32bit:
      f = kv32RGB;
      break;
    default:
      f = kv24RGB;
      break;
  }
  if (vcl_->PixelFormat() != pf1bit && vcl_->PixelFormat() != pf8bit &&
      vcl_->PixelFormat() != pf24bit && vcl_->PixelFormat() != pf32bit)
    const_cast<TVclBitmap*>(vcl_)->SetPixelFormat(pf24bit);
  format_ = f;
  width_ = vcl_->Width();
  height_ = vcl_->Height();
  bitCount_ = KvBitsOf(f);
  channelCount_ = KvChannelsOf(f);
  rowLength_ = vcl_->RowLength();
  if (vclRows_.size() != size_t(height_) || (height_ > 0 && vclRows_[0] != vcl_->ScanLine(0)))
    RebuildRowCache();
}

void TKvBitmap::RebuildRowCache() const {
  vclRows_.resize(size_t(std::max(vcl_->Height(), 0)));
  for (int y = 0; y < vcl_->Height(); ++y) vclRows_[size_t(y)] = vcl_->ScanLine(y);
}

void TKvBitmap::SetGeometry(int width, int height, TKvPixFormat format) {
  width_ = width;
  height_ = height;
  format_ = format;
  bitCount_ = KvBitsOf(format);
  channelCount_ = KvChannelsOf(format);
  rowLength_ = KvRowLength(width, bitCount_, rowAlignmentBits_);
}

// ---------------------------------------------------------------------------------------------
// Allocation

bool TKvBitmap::AllocateImage(int width, int height, TKvPixFormat format) {
  // Platform-bitmap storage holds kv16g as kv8g, so a repeated kv16g request finds kv8g.
  const TKvPixFormat held = location_ == kvTBitmap && format == kv16g ? kv8g : format;
  if (!mustReallocate_ && width == Width() && height == Height() && held == PixelFormat())
    return true;
  // A wrapped platform bitmap stays wrapped: the new image is allocated in it.
  TVclBitmap* const wrapped = wrapsVcl_ && location_ == kvTBitmap ? vcl_ : nullptr;
  FreeImage();
  mustReallocate_ = false;
  gLastAllocationError.clear();
  if (width < 1 || height < 1 || format == kvNoFormat || format >= kKvPixFormatCount) {
    width_ = height_ = 0;
    return false;
  }
  if (wrapped != nullptr) {
    vcl_ = wrapped;
    wrapsVcl_ = true;
  }
  SetGeometry(width, height, format);
  if (format == kv8p) palette_.assign(256, TKvRGB{});
  const int64_t size = int64_t(rowLength_) * height;
  const int64_t threshold = OwnFileThreshold >= 0 ? OwnFileThreshold : FileThreshold();
  if (location_ == kvTempFile && size < threshold) location_ = kvInMemory;
  if (location_ == kvInMemory && size > threshold) location_ = kvTempFile;

  bool ok = false;
  if (location_ == kvTempFile) {
    ok = AllocateTempFile(size);
    if (!ok) {
      location_ = kvInMemory;
      ok = AllocateInMemory(size) || AllocateFragments();
    }
  } else if (location_ == kvInMemory) {
    ok = AllocateInMemory(size) || AllocateFragments();
    if (!ok) {
      location_ = kvTempFile;
      ok = AllocateTempFile(size);
    }
  } else {
    ok = AllocateVcl();
  }
  if (!ok) {
    palette_.clear();
    width_ = height_ = bitCount_ = channelCount_ = rowLength_ = 0;
    format_ = kvNoFormat;
    vcl_ = nullptr;  // a refused allocation lets go of a wrapped bitmap, unchanged
    wrapsVcl_ = false;
  }
  return ok;
}

bool TKvBitmap::AllocateInMemory(int64_t size) {
  if (size < 0 || uint64_t(size) > SIZE_MAX - kBlockSlackBytes) return false;
  const size_t bytes = size_t(size) + kBlockSlackBytes;
  void* raw = nullptr;
  bool zeroed = false;
  switch (AllocatorKind) {
    case 0:
      raw = std::malloc(bytes);
      break;
    case 1:
      raw = std::calloc(bytes, 1);
      zeroed = true;
      break;
    default:
      zeroed = bytes >= kMixedHeapLimitBytes;
      raw = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
      if (raw == nullptr && !zeroed) {
        raw = std::calloc(bytes, 1);
        zeroed = true;
      }
      break;
  }
  if (raw == nullptr) return false;
  block_ = std::make_unique<TBlock>();
  block_->raw = raw;
  const uintptr_t p = reinterpret_cast<uintptr_t>(raw);
  const size_t lead = (kBlockAlignment - p % kBlockAlignment) % kBlockAlignment;
  blockStart_ = static_cast<uint8_t*>(raw) + lead;
  block_->usable = bytes - lead;
  if (!zeroed) ClearRowPadding();
  return true;
}

void TKvBitmap::ClearRowPadding() {
  // Writers store whole rows, with the bits past the last pixel (the rest of a kv1g row's last
  // byte, the alignment bytes). Operations write pixels only, so on heap memory those bits
  // would be whatever the heap held before, and files would differ from run to run; zero-filled
  // memory, fragments and temporary files have them cleared already.
  const int64_t pixelBytes = int64_t(width_) * bitCount_ / 8;  // whole bytes of pixels
  if (pixelBytes >= rowLength_) return;
  for (int y = 0; y < height_; ++y)
    std::memset(RowPtr(y) + pixelBytes, 0, size_t(rowLength_ - pixelBytes));
}

bool TKvBitmap::AllocateFragments() {
  for (int n = 4; n < height_; n *= 2) {
    const int rows = (height_ + n - 1) / n;
    const int64_t fragBytes = int64_t(rows) * rowLength_;
    if (fragBytes < kMinFragmentBytes && n > 4) return false;
    std::vector<std::unique_ptr<uint8_t[]>> frags;
    bool ok = true;
    for (int i = 0; i < n && ok; ++i) {
      std::unique_ptr<uint8_t[]> f(new (std::nothrow) uint8_t[size_t(fragBytes)]());
      ok = f != nullptr;
      if (ok) frags.push_back(std::move(f));
    }
    if (ok) {
      fragments_ = std::move(frags);
      rowsPerFragment_ = rows;
      return true;
    }
  }
  return false;
}

bool TKvBitmap::AllocateTempFile(int64_t size) {
  auto store = std::make_unique<TKvTempStore>(TempFolder(), size);
  if (!store->Ok()) {
    gLastAllocationError = store->Error();
    return false;
  }
  store_ = std::move(store);
  return true;
}

bool TKvBitmap::AllocateVcl() {
  const int64_t size = int64_t(rowLength_) * height_;
  const int64_t total = PhysicalMemory();
  if (total > 0 && total < size) return false;
  TVclPixelFormat pf;
  switch (format_) {
    case kv1g:
      pf = pf1bit;
      break;
    case kv8p:
    case kv8g:
      pf = pf8bit;
      break;
    case kv16g:
      pf = pf8bit;
      SetGeometry(width_, height_, kv8g);
      break;
    case kv24RGB:
      pf = pf24bit;
      break;
    case kv32RGB:
      pf = pf32bit;
      break;
    default:
      gLastAllocationError = std::string(KvPixFormatName(format_)) +
                             " pixel format not allowed when Location=kvTBitmap";
      return false;
  }
  if (!wrapsVcl_) {
    ownedVcl_ = std::make_unique<TVclBitmap>(1, 1, pfDevice);
    vcl_ = ownedVcl_.get();
  } else {
    vcl_->SetSize(1, 1);  // nothing of the old picture is kept: no pixels to convert
  }
  vcl_->SetPixelFormat(pf);
  vcl_->SetSize(width_, height_);
  if (pf == pf8bit) {
    // A gray buffer gets the gray ramp; a palette buffer starts with the (black) entries of its
    // own palette, so that it is not taken for a gray one on the next geometry query.
    auto& pal = vcl_->Palette();
    pal.assign(256, TVclPaletteEntry{});
    if (format_ == kv8g)
      for (int i = 0; i < 256; ++i) pal[size_t(i)] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
  }
  RebuildRowCache();
  rowLength_ = vcl_->RowLength();
  return true;
}

void TKvBitmap::FreeImage(bool keepAlpha) {
  ReleasePaged();
  pinnedRows_.clear();
  pinnedBuffers_.clear();
  palette_.clear();
  PaletteUsed = 256;
  if (!keepAlpha) alpha_.reset();
  FreeStorage();
  width_ = height_ = rowLength_ = bitCount_ = channelCount_ = 0;
  format_ = kvNoFormat;
}

void TKvBitmap::FreeStorage() {
  store_.reset();
  block_.reset();
  blockStart_ = nullptr;
  fragments_.clear();
  rowsPerFragment_ = 0;
  ownedVcl_.reset();
  vcl_ = nullptr;
  wrapsVcl_ = false;
  vclRows_.clear();
}

// ---------------------------------------------------------------------------------------------
// Rows

void TKvBitmap::SetAccessMode(uint8_t mode) {
  accessMode_ = mode & kvAccessReadWrite;
}

void TKvBitmap::ReleasePaged() const {
  if (paged_.buffer && store_ && (paged_.access & kvAccessWrite))
    const_cast<TKvTempStore&>(*store_).Write(int64_t(paged_.row) * rowLength_, paged_.buffer.get(),
                                             rowLength_);
  paged_.buffer.reset();
  paged_.row = -1;
}

uint8_t* TKvBitmap::PageIn(int row) const {
  for (size_t i = 0; i < pinnedRows_.size(); ++i)
    if (pinnedRows_[i] == row) return pinnedBuffers_[i].get();
  if (paged_.buffer && paged_.row == row && paged_.access == accessMode_)
    return paged_.buffer.get();
  ReleasePaged();
  paged_.buffer.reset(new uint8_t[size_t(rowLength_)]);
  paged_.row = row;
  paged_.access = accessMode_;
  if (accessMode_ & kvAccessRead)
    store_->Read(int64_t(row) * rowLength_, paged_.buffer.get(), rowLength_);
  else
    std::memset(paged_.buffer.get(), 0, size_t(rowLength_));
  return paged_.buffer.get();
}

uint8_t* TKvBitmap::VclRow(int row) const {
  SyncWithVcl();
  return vclRows_[size_t(row)];
}

const uint8_t* TKvBitmap::RowPtr(int row) const {
  return const_cast<TKvBitmap*>(this)->RowPtr(row);
}

uint8_t* TKvBitmap::RowPtr(int row) {
  if (blockStart_ != nullptr) return blockStart_ + int64_t(rowLength_) * (height_ - 1 - row);
  if (!fragments_.empty())
    return fragments_[size_t(row / rowsPerFragment_)].get() +
           int64_t(row % rowsPerFragment_) * rowLength_;
  if (store_) return PageIn(row);
  if (vcl_ != nullptr) return VclRow(row);
  return nullptr;
}

uint8_t* TKvBitmap::PinRow(int row) {
  if (!store_) return RowPtr(row);
  for (size_t i = 0; i < pinnedRows_.size(); ++i)
    if (pinnedRows_[i] == row) return pinnedBuffers_[i].get();
  if (paged_.row == row) ReleasePaged();  // the pinned copy takes over from the paged one
  std::unique_ptr<uint8_t[]> buf(new uint8_t[size_t(rowLength_)]);
  if (accessMode_ & kvAccessRead)
    store_->Read(int64_t(row) * rowLength_, buf.get(), rowLength_);
  else
    std::memset(buf.get(), 0, size_t(rowLength_));
  pinnedRows_.push_back(row);
  pinnedBuffers_.push_back(std::move(buf));
  return pinnedBuffers_.back().get();
}

void TKvBitmap::UnpinRow(int row) {
  for (size_t i = 0; i < pinnedRows_.size(); ++i) {
    if (pinnedRows_[i] != row) continue;
    if (store_ && (accessMode_ & kvAccessWrite))
      store_->Write(int64_t(row) * rowLength_, pinnedBuffers_[i].get(), rowLength_);
    pinnedRows_.erase(pinnedRows_.begin() + std::ptrdiff_t(i));
    pinnedBuffers_.erase(pinnedBuffers_.begin() + std::ptrdiff_t(i));
    return;
  }
}

// ---------------------------------------------------------------------------------------------
// Palette

TKvRGB TKvBitmap::GetPaletteEntry(int index) const {
  if (index < 0 || index >= PaletteLength()) return TKvRGB{};
  return palette_[size_t(index)];
}

void TKvBitmap::SetPaletteEntry(int index, TKvRGB rgb) {
  if (index < 0 || index >= PaletteLength()) return;
  palette_[size_t(index)] = rgb;
  if (location_ == kvTBitmap && vcl_ != nullptr) {
    auto& pal = vcl_->Palette();
    if (size_t(index) < pal.size()) pal[size_t(index)] = {rgb.Red, rgb.Green, rgb.Blue, 0};
  }
}

void TKvBitmap::SetPaletteLength(int count) {
  palette_.assign(size_t(std::max(count, 0)), TKvRGB{});
  if (location_ == kvTBitmap && vcl_ != nullptr && count > 0) {
    vcl_->Palette().assign(size_t(count), TVclPaletteEntry{});
  }
}

void TKvBitmap::CopyPaletteTo(TKvBitmap& dest) const {
  if (&dest == this) return;
  dest.palette_ = palette_;
  dest.PaletteUsed = palette_.empty() ? 256 : PaletteUsed;
  if (dest.location_ == kvTBitmap && dest.vcl_ != nullptr && !palette_.empty()) {
    auto& pal = dest.vcl_->Palette();
    pal.resize(palette_.size());
    for (size_t i = 0; i < palette_.size(); ++i)
      pal[i] = {palette_[i].Red, palette_[i].Green, palette_[i].Blue, 0};
  }
}

// ---------------------------------------------------------------------------------------------
// Pixel accessors

bool TKvBitmap::GetBit(int x, int y) const {
  return (RowPtr(y)[x >> 3] & (0x80 >> (x & 7))) != 0;
}

void TKvBitmap::SetBit(int x, int y, bool white) {
  uint8_t& b = RowPtr(y)[x >> 3];
  const uint8_t mask = uint8_t(0x80 >> (x & 7));
  b = white ? uint8_t(b | mask) : uint8_t(b & ~mask);
}

uint8_t TKvBitmap::GetByte(int x, int y) const {
  return RowPtr(y)[x];
}

void TKvBitmap::SetByte(int x, int y, uint8_t v) {
  RowPtr(y)[x] = v;
  if (v != 255) AlphaIsOpaque = false;
}

uint16_t TKvBitmap::GetWord(int x, int y) const {
  return ReadWord(RowPtr(y) + 2 * x);
}

void TKvBitmap::SetWord(int x, int y, uint16_t v) {
  WriteWord(RowPtr(y) + 2 * x, v);
  if (v != 0xFFFF) AlphaIsOpaque = false;
}

float TKvBitmap::GetFloat(int x, int y) const {
  float f;
  std::memcpy(&f, RowPtr(y) + 4 * x, 4);
  return f;
}

void TKvBitmap::SetFloat(int x, int y, float v) {
  std::memcpy(RowPtr(y) + 4 * x, &v, 4);
  if (!(v >= 1.0f)) AlphaIsOpaque = false;
}

uint32_t TKvBitmap::GetCMYK(int x, int y) const {
  uint32_t v;
  std::memcpy(&v, RowPtr(y) + 4 * x, 4);
  return v;
}

void TKvBitmap::SetCMYK(int x, int y, uint32_t v) {
  std::memcpy(RowPtr(y) + 4 * x, &v, 4);
}

TKvRGB TKvBitmap::GetRGB(int x, int y) const {
  const uint8_t* p = RowPtr(y) + 3 * x;
  return TKvRGB{p[0], p[1], p[2]};
}

void TKvBitmap::SetRGB(int x, int y, TKvRGB v) {
  std::memcpy(RowPtr(y) + 3 * x, &v, 3);
}

TKvRGB* TKvBitmap::RGBPtr(int x, int y) {
  return reinterpret_cast<TKvRGB*>(RowPtr(y) + 3 * x);
}

TKvRGB48 TKvBitmap::GetRGB48(int x, int y) const {
  const uint8_t* p = RowPtr(y) + 6 * x;
  return TKvRGB48{ReadWord(p), ReadWord(p + 2), ReadWord(p + 4)};
}

void TKvBitmap::SetRGB48(int x, int y, TKvRGB48 v) {
  uint8_t* p = RowPtr(y) + 6 * x;
  WriteWord(p, v.Red);
  WriteWord(p + 2, v.Green);
  WriteWord(p + 4, v.Blue);
  if (v.Red != 0xFFFF || v.Green != 0xFFFF || v.Blue != 0xFFFF) AlphaIsOpaque = false;
}

TKvRGB TKvBitmap::GetPixelRGB(int x, int y) const {
  const TKvPixFormat f = PixelFormat();
  if (f == kvNoFormat) return TKvRGB{};
  const uint8_t* row = RowPtr(y);
  switch (f) {
    case kv1g: {
      const uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
      return TKvRGB{v, v, v};
    }
    case kv8p:
      return GetPaletteEntry(row[x]);
    case kv8g:
      return TKvRGB{row[x], row[x], row[x]};
    case kv16g: {
      const uint8_t v = row[2 * x + 1];
      return TKvRGB{v, v, v};
    }
    case kv24RGB:
      return TKvRGB{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    case kv32f: {
      float fv;
      std::memcpy(&fv, row + 4 * x, 4);
      // Trunc(f * 255); floats outside 0..1 saturate instead of wrapping.
      const double scaled = double(fv) * 255.0;
      const uint8_t v = !(scaled > 0) ? 0 : scaled >= 255 ? 255 : uint8_t(scaled);
      return TKvRGB{v, v, v};
    }
    case kvCMYK: {
      TKvCMYK c;
      std::memcpy(&c, row + 4 * x, 4);
      return CmykToRgb(c);
    }
    case kvRGB48: {
      const uint8_t* p = row + 6 * x;
      return KvRGB(p[1], p[3], p[5]);
    }
    case kvCIELab: {
      TKvLab l;
      std::memcpy(&l, row + 3 * x, 3);
      return LabToRgb(l);
    }
    case kv32RGB:
      return TKvRGB{row[4 * x], row[4 * x + 1], row[4 * x + 2]};
    default:
      return TKvRGB{};
  }
}

// ---------------------------------------------------------------------------------------------
// Alpha plane

TKvBitmap* TKvBitmap::AlphaPlane() {
  if (isAlphaPlane_) return nullptr;
  if (!alpha_) {
    auto plane = std::make_unique<TKvBitmap>();
    plane->isAlphaPlane_ = true;
    plane->location_ = location_ == kvTBitmap ? kvInMemory : location_;
    plane->OwnFileThreshold = OwnFileThreshold;
    if (!IsEmpty() && plane->AllocateImage(Width(), Height(), kv8g)) plane->FillWith(255);
    alpha_ = std::move(plane);
  }
  return alpha_.get();
}

void TKvBitmap::AttachAlphaPlane(std::unique_ptr<TKvBitmap> plane) {
  if (plane) plane->isAlphaPlane_ = true;
  alpha_ = std::move(plane);
}

std::unique_ptr<TKvBitmap> TKvBitmap::DetachAlphaPlane() {
  return std::move(alpha_);
}

void TKvBitmap::DropAlphaPlane(bool blend, TColor background) {
  if (!alpha_) return;
  if (blend && PixelFormat() == kv24RGB && alpha_->Width() == Width() &&
      alpha_->Height() == Height()) {
    const TKvRGB bg = ColorToRGB(background);
    const int w = Width();
    for (int y = 0; y < Height(); ++y) {
      const uint8_t* a = alpha_->RowPtr(y);
      uint8_t* p = RowPtr(y);
      for (int x = 0; x < w; ++x, p += 3) {
        const int av = a[x];
        // The blend divides by 256, which would darken a fully opaque pixel by one step:
        // opaque pixels keep their colour.
        if (av == 255) continue;
        const int chans[3] = {bg.Blue, bg.Green, bg.Red};
        for (int c = 0; c < 3; ++c) {
          // bg + ((c - bg) * a * 1024 shr 18): an arithmetic shift, so negative differences
          // round toward minus infinity as the shift does.
          const int d = (int(p[c]) - chans[c]) * av * 1024;
          p[c] = uint8_t(chans[c] + (d >> 18));
        }
      }
    }
  }
  alpha_.reset();
}

void TKvBitmap::RecheckOpaque() {
  AlphaIsOpaque = true;
  const int bytes = (Width() * BitCount() + 7) / 8;
  for (int y = 0; y < Height() && AlphaIsOpaque; ++y) {
    const uint8_t* r = RowPtr(y);
    for (int i = 0; i < bytes; ++i)
      if (r[i] != 255) {
        AlphaIsOpaque = false;
        break;
      }
  }
}

bool TKvBitmap::IsAllZero() const {
  const int bytes = (Width() * BitCount() + 7) / 8;
  for (int y = 0; y < Height(); ++y) {
    const uint8_t* r = RowPtr(y);
    for (int i = 0; i < bytes; ++i)
      if (r[i] != 0) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Copying

namespace {

// Sets an access mode for the lifetime of the guard and restores the old one (paging out rows
// under the temporary mode first, so that they are written back or not as that mode says).
class TAccessGuard {
 public:
  TAccessGuard(const TKvBitmap& bmp, uint8_t mode)
      : bmp_(const_cast<TKvBitmap&>(bmp)), old_(bmp.AccessMode()) {
    bmp_.SetAccessMode(mode);
  }
  // A row paged in under the temporary mode is paged again under the old one on its next use.
  ~TAccessGuard() { bmp_.SetAccessMode(old_); }

 private:
  TKvBitmap& bmp_;
  uint8_t old_;
};

}  // namespace

bool TKvBitmap::HasDirectRows() const {
  return blockStart_ != nullptr || !fragments_.empty();
}

bool TKvBitmap::CopyRowsWithStore(const TKvBitmap& source, int rows) {
  // Between a temporary file and rows in memory of the same length, the rows go to or come from
  // the file in vectored calls straight from their place in memory: an undo copy of a page
  // would otherwise cost one system call, one row buffer and one extra copy per row.
  const bool toStore = store_ && source.HasDirectRows();
  const bool fromStore = source.store_ && HasDirectRows();
  if ((!toStore && !fromStore) || rowLength_ != source.rowLength_ || rows <= 0 ||
      !pinnedRows_.empty() || !source.pinnedRows_.empty())
    return false;
  source.ReleasePaged();
  ReleasePaged();
  std::vector<uint8_t*> rowPtrs(static_cast<size_t>(rows));
  if (toStore) {
    for (int y = 0; y < rows; ++y) rowPtrs[size_t(y)] = const_cast<TKvBitmap&>(source).RowPtr(y);
    store_->WriteRows(0, rowPtrs.data(), rows, rowLength_);
  } else {
    for (int y = 0; y < rows; ++y) rowPtrs[size_t(y)] = RowPtr(y);
    source.store_->ReadRows(0, rowPtrs.data(), rows, rowLength_);
  }
  return true;
}

void TKvBitmap::CopyRowsFrom(const TKvBitmap& source) {
  const int h = std::min(Height(), source.Height());
  if (PixelFormat() == kv8g && source.PixelFormat() == kv16g) {
    // Platform-bitmap storage holds kv16g as kv8g: each word narrows to its high byte.
    const int w = std::min(Width(), source.Width());
    TAccessGuard readOnly(source, kvAccessRead);
    for (int y = 0; y < h; ++y) {
      const uint8_t* in = source.RowPtr(y);
      uint8_t* out = RowPtr(y);
      for (int x = 0; x < w; ++x) out[x] = in[2 * x + 1];
    }
    source.ReleasePaged();
    return;
  }
  if (store_ && source.store_ && rowLength_ == source.rowLength_ && source.pinnedRows_.empty() &&
      pinnedRows_.empty()) {
    source.ReleasePaged();
    ReleasePaged();
    store_->CopyFrom(*source.store_);
    return;
  }
  if (CopyRowsWithStore(source, h)) return;
  const size_t bytes = size_t(std::min(RowLength(), source.RowLength()));
  {
    TAccessGuard readOnly(source, kvAccessRead);
    TAccessGuard writeOnly(*this, kvAccessWrite);
    for (int y = 0; y < h; ++y) std::memcpy(RowPtr(y), source.RowPtr(y), bytes);
    ReleasePaged();
    source.ReleasePaged();
  }
}

bool TKvBitmap::ReuseBlockForCopy(const TKvBitmap& source) {
  // A copy overwrites every byte of every row, so a page already held in one block big enough
  // for the source takes the copy there: restoring an undo copy into a page that was cut costs
  // no new block (mapped, touched and freed). A block more than twice the size needed is let go,
  // so a small copy does not keep a big page's memory.
  if (location_ != kvInMemory || blockStart_ == nullptr || !pinnedRows_.empty()) return false;
  const int64_t rowLength =
      KvRowLength(source.Width(), KvBitsOf(source.PixelFormat()), source.rowAlignmentBits_);
  const int64_t size = rowLength * source.Height();
  const int64_t threshold = OwnFileThreshold >= 0 ? OwnFileThreshold : FileThreshold();
  if (size <= 0 || size > threshold || uint64_t(size) > block_->usable ||
      uint64_t(size) * 2 < block_->usable)
    return false;
  // What FreeImage and AllocateImage do besides the storage.
  palette_.clear();
  PaletteUsed = 256;
  alpha_.reset();
  gLastAllocationError.clear();
  SetGeometry(source.Width(), source.Height(), source.PixelFormat());
  if (format_ == kv8p) palette_.assign(256, TKvRGB{});
  mustReallocate_ = false;
  return true;
}

bool TKvBitmap::ReuseStoreForCopy(const TKvBitmap& source) {
  // Likewise a buffer in a temporary file takes the copy in its own file, resized: the pages the
  // system keeps for the file are overwritten instead of dropped and taken anew. Only where a
  // new buffer of the source's size would go to a temporary file too.
  if (location_ != kvTempFile || !store_ || !pinnedRows_.empty()) return false;
  const int64_t rowLength =
      KvRowLength(source.Width(), KvBitsOf(source.PixelFormat()), source.rowAlignmentBits_);
  const int64_t size = rowLength * source.Height();
  const int64_t threshold = OwnFileThreshold >= 0 ? OwnFileThreshold : FileThreshold();
  if (size <= 0 || size < threshold) return false;
  ReleasePaged();
  if (!store_->Resize(size)) return false;
  // What FreeImage and AllocateImage do besides the storage.
  palette_.clear();
  PaletteUsed = 256;
  alpha_.reset();
  gLastAllocationError.clear();
  SetGeometry(source.Width(), source.Height(), source.PixelFormat());
  if (format_ == kv8p) palette_.assign(256, TKvRGB{});
  mustReallocate_ = false;
  return true;
}

void TKvBitmap::CopyContentFrom(const TKvBitmap& source, bool takeAlphaAndDither) {
  rowAlignmentBits_ = source.rowAlignmentBits_;
  AlphaIsOpaque = source.AlphaIsOpaque;
  if (!ReuseBlockForCopy(source) && !ReuseStoreForCopy(source)) {
    mustReallocate_ = true;
    if (!AllocateImage(source.Width(), source.Height(), source.PixelFormat())) return;
  }
  CopyRowsFrom(source);
  source.CopyPaletteTo(*this);
  if (!source.palette_.empty()) PaletteUsed = source.PaletteUsed;
  if (!takeAlphaAndDither) return;
  DitherMode = source.DitherMode;
  if (isAlphaPlane_) return;
  if (source.alpha_) {
    TKvBitmap* plane = AlphaPlane();
    if (plane != nullptr) plane->CopyFrom(*source.alpha_);
  } else {
    DropAlphaPlane(false, clBlack);
  }
}

void TKvBitmap::CopyFrom(const TKvBitmap& source) {
  if (&source == this) return;
  if (source.IsEmpty()) {
    if (location_ != kvTBitmap) FreeImage();
    mustReallocate_ = true;
    return;
  }
  CopyContentFrom(source, true);
}

void TKvBitmap::CopyPixelsFrom(const TKvBitmap& source) {
  if (&source == this || source.IsEmpty()) return;
  std::unique_ptr<TKvBitmap> alpha = std::move(alpha_);
  const uint8_t dither = DitherMode;
  rowAlignmentBits_ = source.rowAlignmentBits_;
  mustReallocate_ = true;
  if (AllocateImage(source.Width(), source.Height(), source.PixelFormat())) {
    CopyRowsFrom(source);
    source.CopyPaletteTo(*this);
    AlphaIsOpaque = source.AlphaIsOpaque;
  }
  alpha_ = std::move(alpha);
  DitherMode = dither;
}

void TKvBitmap::CopyFrom(const TVclBitmap& src) {
  if (location_ == kvTBitmap) {
    // A wrapped platform bitmap takes the copy itself and stays wrapped.
    TVclBitmap* const wrapped = wrapsVcl_ ? vcl_ : nullptr;
    if (wrapped == &src) return;
    FreeImage();
    if (wrapped != nullptr) {
      *wrapped = src;
      vcl_ = wrapped;
      wrapsVcl_ = true;
    } else {
      ownedVcl_ = std::make_unique<TVclBitmap>(src);
      vcl_ = ownedVcl_.get();
    }
    const TVclPixelFormat pf = vcl_->PixelFormat();
    if (pf != pf1bit && pf != pf24bit && pf != pf32bit) vcl_->SetPixelFormat(pf24bit);
    AdoptVclContent();
    return;
  }
  const int w = src.Width(), h = src.Height();
  TKvPixFormat f;
  const TVclPixelFormat pf = src.PixelFormat();
  switch (pf) {
    case pf1bit:
      f = src.IsMonochrome() ? kv1g : kv8p;
      break;
    case pf4bit:
    case pf8bit:
      f = kv8p;
      break;
    case pf32bit:
      f = kv32RGB;
      break;
    default:
      f = kv24RGB;
      break;
  }
  mustReallocate_ = true;
  if (!AllocateImage(w, h, f)) return;
  if (f == kv8p) {
    const size_t n = pf == pf1bit ? 2 : pf == pf4bit ? 16 : 256;
    palette_.assign(n, TKvRGB{});
    for (size_t i = 0; i < n && i < src.Palette().size(); ++i) {
      const auto& e = src.Palette()[i];
      palette_[i] = KvRGB(e.Red, e.Green, e.Blue);
    }
  }
  for (int y = 0; y < h; ++y) {
    const uint8_t* in = src.ScanLine(y);
    uint8_t* out = RowPtr(y);
    switch (pf) {
      case pf1bit:
        if (f == kv1g) {
          // White is the set bit here; a bitmap whose entry 1 is black is inverted.
          const bool invert = src.Palette()[1].Red == 0;
          for (int i = 0; i < rowLength_; ++i) out[i] = invert ? uint8_t(~in[i]) : in[i];
        } else {
          for (int x = 0; x < w; ++x) out[x] = (in[x >> 3] >> (7 - (x & 7))) & 1;
        }
        break;
      case pf4bit:
        for (int x = 0; x < w; ++x) out[x] = (x & 1) ? (in[x >> 1] & 0x0F) : (in[x >> 1] >> 4);
        break;
      case pf8bit:
        std::memcpy(out, in, size_t(w));
        break;
      case pf32bit:
        std::memcpy(out, in, size_t(w) * 4);
        break;
      case pf24bit:
      case pfDevice:
        std::memcpy(out, in, size_t(w) * 3);
        break;
      case pf15bit:
      case pf16bit:
        for (int x = 0; x < w; ++x) {
          const TKvRGB c = src.PixelRGB(x, y);
          std::memcpy(out + 3 * x, &c, 3);
        }
        break;
    }
  }
}

void TKvBitmap::MoveContentTo(TKvBitmap& dest) {
  if (&dest == this) return;
  ReleasePaged();
  for (int row : std::vector<int>(pinnedRows_)) UnpinRow(row);
  dest.FreeImage();
  dest.accessMode_ = accessMode_;
  dest.location_ = location_;
  dest.width_ = width_;
  dest.height_ = height_;
  dest.bitCount_ = bitCount_;
  dest.channelCount_ = channelCount_;
  dest.rowLength_ = rowLength_;
  dest.format_ = format_;
  dest.rowAlignmentBits_ = rowAlignmentBits_;
  dest.mustReallocate_ = true;
  dest.palette_ = std::move(palette_);
  dest.PaletteUsed = PaletteUsed;
  dest.alpha_ = std::move(alpha_);
  dest.AlphaIsOpaque = AlphaIsOpaque;
  dest.DitherMode = DitherMode;
  dest.AllocatorKind = AllocatorKind;
  dest.block_ = std::move(block_);
  dest.blockStart_ = blockStart_;
  dest.fragments_ = std::move(fragments_);
  dest.rowsPerFragment_ = rowsPerFragment_;
  dest.store_ = std::move(store_);
  dest.ownedVcl_ = std::move(ownedVcl_);
  dest.vcl_ = vcl_;
  dest.wrapsVcl_ = wrapsVcl_;
  dest.vclRows_ = std::move(vclRows_);
  blockStart_ = nullptr;
  vcl_ = nullptr;
  wrapsVcl_ = false;
  palette_.clear();
  fragments_.clear();
  vclRows_.clear();
  pinnedRows_.clear();
  pinnedBuffers_.clear();
  rowsPerFragment_ = 0;
  width_ = height_ = bitCount_ = channelCount_ = rowLength_ = 0;
  format_ = kvNoFormat;
  PaletteUsed = 256;
  mustReallocate_ = true;
}

namespace {

struct TClip {
  int sx, sy, w, h, dx, dy;
};

// Clips a rectangle copy to both buffers; negative destination offsets shift the source start.
bool ClipRect(TClip& c, int srcW, int srcH, int dstW, int dstH) {
  if (c.dx < 0) {
    c.sx -= c.dx;
    c.w += c.dx;
    c.dx = 0;
  }
  if (c.dy < 0) {
    c.sy -= c.dy;
    c.h += c.dy;
    c.dy = 0;
  }
  if (c.sx < 0) {
    c.dx -= c.sx;
    c.w += c.sx;
    c.sx = 0;
  }
  if (c.sy < 0) {
    c.dy -= c.sy;
    c.h += c.sy;
    c.sy = 0;
  }
  c.w = std::min({c.w, srcW - c.sx, dstW - c.dx});
  c.h = std::min({c.h, srcH - c.sy, dstH - c.dy});
  return c.w > 0 && c.h > 0;
}

// The 8 bits that start at bit `pos` of `src`, most significant first. Reads only the bytes
// that hold those bits.
inline uint8_t FetchByte(const uint8_t* src, int pos) {
  const int i = pos >> 3, s = pos & 7;
  if (s == 0) return src[i];
  return uint8_t((src[i] << s) | (src[i + 1] >> (8 - s)));
}

inline void CopyOneBit(const uint8_t* src, int sbit, uint8_t* dst, int dbit) {
  const bool bit = (src[sbit >> 3] >> (7 - (sbit & 7))) & 1;
  const uint8_t mask = uint8_t(0x80 >> (dbit & 7));
  if (bit)
    dst[dbit >> 3] |= mask;
  else
    dst[dbit >> 3] &= uint8_t(~mask);
}

// Copies `count` bits from bit offset `sbit` of `src` to bit offset `dbit` of `dst`: single bits
// up to the first whole destination byte, then whole bytes assembled by shifts, then the tail.
void CopyBits(const uint8_t* src, int sbit, uint8_t* dst, int dbit, int count) {
  while (count > 0 && (dbit & 7) != 0) {
    CopyOneBit(src, sbit++, dst, dbit++);
    --count;
  }
  if ((sbit & 7) == 0) {
    const int whole = count >> 3;
    std::memcpy(dst + (dbit >> 3), src + (sbit >> 3), size_t(whole));
    sbit += whole * 8;
    dbit += whole * 8;
    count -= whole * 8;
  } else {
    for (; count >= 8; count -= 8, sbit += 8, dbit += 8) dst[dbit >> 3] = FetchByte(src, sbit);
  }
  for (; count > 0; --count) CopyOneBit(src, sbit++, dst, dbit++);
}

}  // namespace

void FillBits(uint8_t* row, int x1, int x2, bool white) {
  auto setBit = [&](int x) {
    const uint8_t mask = uint8_t(0x80 >> (x & 7));
    row[x >> 3] = white ? uint8_t(row[x >> 3] | mask) : uint8_t(row[x >> 3] & ~mask);
  };
  int x = x1;
  for (; x <= x2 && (x & 7) != 0; ++x) setBit(x);
  const int wholeBytes = (x2 + 1 - x) >> 3;
  if (wholeBytes > 0) {
    std::memset(row + (x >> 3), white ? 0xFF : 0x00, size_t(wholeBytes));
    x += wholeBytes * 8;
  }
  for (; x <= x2; ++x) setBit(x);
}

void TKvBitmap::CopyRect(TKvBitmap& dest, int sx, int sy, int w, int h, int dx, int dy) const {
  const TKvPixFormat sf = PixelFormat(), df = dest.PixelFormat();
  const bool bits = sf == kv1g && df == kv1g;
  const bool expand = sf == kv1g && df == kv24RGB;
  const int bpp = BytesPerPixel(sf);
  const bool same = sf == df && sf != kv1g && sf != kvNoFormat &&
                    (bpp == 1 || bpp == 2 || bpp == 3 || bpp == 4 || bpp == 6);
  if (!bits && !expand && !same) return;
  TClip c{sx, sy, w, h, dx, dy};
  if (!ClipRect(c, Width(), Height(), dest.Width(), dest.Height())) return;
  if (&dest == this) {
    // Within one buffer the rectangle goes through a copy: its old and new places may overlap,
    // and a temporary file keeps only one row paged in at a time.
    TKvBitmap part;
    if (!part.AllocateImage(c.w, c.h, sf)) return;
    CopyRect(part, c.sx, c.sy, c.w, c.h, 0, 0);
    part.CopyRect(dest, 0, 0, c.w, c.h, c.dx, c.dy);
    return;
  }
  for (int y = 0; y < c.h; ++y) {
    const uint8_t* in = RowPtr(c.sy + y);
    uint8_t* out = dest.RowPtr(c.dy + y);
    if (bits) {
      CopyBits(in, c.sx, out, c.dx, c.w);
    } else if (expand) {
      for (int x = 0; x < c.w; ++x) {
        const int s = c.sx + x;
        const uint8_t v = (in[s >> 3] & (0x80 >> (s & 7))) ? 255 : 0;
        std::memset(out + 3 * (c.dx + x), v, 3);
      }
    } else {
      std::memmove(out + size_t(c.dx) * bpp, in + size_t(c.sx) * bpp, size_t(c.w) * bpp);
    }
  }
}

void TKvBitmap::CopyAlphaRect(TKvBitmap& dest, int sx, int sy, int w, int h, int dx, int dy) const {
  if (!alpha_ || !dest.alpha_) return;
  if (alpha_->PixelFormat() != kv8g || dest.alpha_->PixelFormat() != kv8g) return;
  TClip c{sx, sy, w, h, dx, dy};
  if (!ClipRect(c, alpha_->Width(), alpha_->Height(), dest.alpha_->Width(), dest.alpha_->Height()))
    return;
  for (int y = 0; y < c.h; ++y) {
    const uint8_t* in = alpha_->RowPtr(c.sy + y) + c.sx;
    uint8_t* out = dest.alpha_->RowPtr(c.dy + y) + c.dx;
    for (int x = 0; x < c.w; ++x) out[x] = std::max(out[x], in[x]);
  }
}

// ---------------------------------------------------------------------------------------------
// Size, content and storage changes

void TKvBitmap::SetWidth(int w) {
  ResizeCanvas(w, Height(), 0, 255, 0, 0);
}

void TKvBitmap::SetHeight(int h) {
  ResizeCanvas(Width(), h, 0, 255, 0, 0);
}

void TKvBitmap::ResizeCanvas(int width, int height, double fill, double alphaFill, int hPlace,
                             int vPlace) {
  if (IsEmpty() || width < 1 || height < 1) return;
  const int ow = Width(), oh = Height();
  if (width == ow && height == oh) return;
  // The kept part is as opaque as it was: the fill alone cannot make the result opaque.
  const bool wasOpaque = AlphaIsOpaque;
  auto offset = [](int place, int newSize, int oldSize) {
    if (place == 1) return (newSize - oldSize) / 2;  // division truncates toward zero
    if (place == 2) return newSize - oldSize;
    return 0;
  };
  const int ox = offset(hPlace, width, ow), oy = offset(vPlace, height, oh);
  if (location_ == kvTBitmap && vcl_ != nullptr && hPlace == 0 && vPlace == 0) {
    vcl_->SetSize(width, height);
    SyncWithVcl();
    if (width > ow) FillRows(ow, 0, width - 1, height - 1, fill);
    if (height > oh) FillRows(0, oh, width - 1, height - 1, fill);
  } else if (ox <= 0 && oy <= 0 && KeepPartInPlace(-ox, -oy, width, height, fill)) {
    mustReallocate_ = false;  // as after the allocation of the copying path
  } else {
    TKvBitmap old;
    MoveContentTo(old);
    rowAlignmentBits_ = old.rowAlignmentBits_;
    mustReallocate_ = true;
    if (!AllocateImage(width, height, old.format_)) return;
    old.CopyPaletteTo(*this);
    PaletteUsed = old.PaletteUsed;
    DitherMode = old.DitherMode;
    AllocatorKind = old.AllocatorKind;
    FillOutside(std::max(ox, 0), std::max(oy, 0), std::min(ox + ow, width) - 1,
                std::min(oy + oh, height) - 1, fill);
    old.CopyRect(*this, 0, 0, ow, oh, ox, oy);
    alpha_ = std::move(old.alpha_);
  }
  AlphaIsOpaque = AlphaIsOpaque && wasOpaque;
  if (alpha_) alpha_->ResizeCanvas(width, height, alphaFill, 0, hPlace, vPlace);
}

bool TKvBitmap::ValueIsOpaque(double value) const {
  switch (format_) {
    case kv1g:
      return value != 0;
    case kv8g:
    case kv8p:
      return value == 255;
    case kv16g:
      return value == 0xFFFF;
    case kv32f:
      return value >= 1.0;
    default:
      return (TColor(int64_t(value)) & 0xFFFFFF) == clWhite;
  }
}

bool TKvBitmap::KeepPartInPlace(int x, int y, int width, int height, double fill) {
  // The kept rows move within the page's own block instead of being copied to a new one: no
  // second page-sized block is mapped, touched and freed. Rows are bottom-up; taking the new
  // rows from the bottom one up, every row moves to a lower or equal address and lands below
  // every row still to move, so none is overwritten early. kv1g rows would need bit shifts
  // within one row: they take the copying paths.
  if (location_ != kvInMemory || blockStart_ == nullptr || format_ == kv1g ||
      !pinnedRows_.empty() || width < 1 || height < 1)
    return false;
  if (x < 0 || y < 0 || x + width > width_ || y + height > height_) return false;
  const int newRowLength = KvRowLength(width, bitCount_, rowAlignmentBits_);
  // A new allocation of this size would go where AllocateImage puts it: stay only in memory.
  const int64_t threshold = OwnFileThreshold >= 0 ? OwnFileThreshold : FileThreshold();
  if (int64_t(newRowLength) * height > threshold) return false;
  const size_t bpp = size_t(bitCount_ / 8), pixelBytes = size_t(width) * bpp;
  const int64_t oldRowLength = rowLength_;
  const int oldHeight = height_;
  for (int row = height - 1; row >= 0; --row) {
    uint8_t* to = blockStart_ + int64_t(newRowLength) * (height - 1 - row);
    const uint8_t* from = blockStart_ + oldRowLength * (oldHeight - 1 - (y + row)) + x * bpp;
    std::memmove(to, from, pixelBytes);
    // The padding stays clear, as in a fresh block.
    std::memset(to + pixelBytes, 0, size_t(newRowLength) - pixelBytes);
  }
  gLastAllocationError.clear();
  SetGeometry(width, height, format_);
  mustReallocate_ = true;               // the content was handed over, as by MoveContentTo
  AlphaIsOpaque = ValueIsOpaque(fill);  // as a fill of a fresh buffer records
  return true;
}

void TKvBitmap::FillRows(int x1, int y1, int x2, int y2, double value) {
  const TKvPixFormat f = PixelFormat();
  x1 = std::max(x1, 0);
  y1 = std::max(y1, 0);
  x2 = std::min(x2, Width() - 1);
  y2 = std::min(y2, Height() - 1);
  if (x1 > x2 || y1 > y2) return;
  const int w = x2 - x1 + 1;
  // The pixel pattern of one fill value.
  uint8_t pattern[6] = {0, 0, 0, 0, 0, 0};
  const TColor color = TColor(int64_t(value)) & 0xFFFFFF;
  const TKvRGB rgb = ColorToRGB(color);
  switch (f) {
    case kv8g:
    case kv8p:
      pattern[0] = uint8_t(int64_t(value));
      break;
    case kv16g:
      WriteWord(pattern, uint16_t(int64_t(value)));
      break;
    case kv32f: {
      const float fv = float(value);
      std::memcpy(pattern, &fv, 4);
      break;
    }
    case kv24RGB:
    case kv32RGB:
      std::memcpy(pattern, &rgb, 3);
      break;
    case kvRGB48:
      WriteWord(pattern, uint16_t(rgb.Red * 257));
      WriteWord(pattern + 2, uint16_t(rgb.Green * 257));
      WriteWord(pattern + 4, uint16_t(rgb.Blue * 257));
      break;
    case kvCMYK: {
      const TKvCMYK c = RgbToCmyk(rgb);
      std::memcpy(pattern, &c, 4);
      break;
    }
    case kvCIELab: {
      const TKvLab l = RgbToLab(rgb);
      std::memcpy(pattern, &l, 3);
      break;
    }
    default:
      break;
  }
  const bool wholeRows = x1 == 0 && x2 == Width() - 1;
  // Whole rows are written without reading them in, except kv32RGB rows: the fill leaves their
  // fourth bytes as they are.
  TAccessGuard guard(*this, wholeRows && f != kv32RGB ? kvAccessWrite : kvAccessReadWrite);
  const int bpp = BytesPerPixel(f);
  for (int y = y1; y <= y2; ++y) {
    uint8_t* row = RowPtr(y);
    if (f == kv1g) {
      const bool white = value != 0;
      if (wholeRows) {
        std::memset(row, white ? 0xFF : 0x00, size_t(RowLength()));
      } else {
        FillBits(row, x1, x2, white);
      }
    } else if (bpp == 1) {
      std::memset(row + x1, pattern[0], size_t(w));
    } else if (f == kv32RGB) {
      for (int x = x1; x <= x2; ++x) std::memcpy(row + 4 * x, pattern, 3);
    } else {
      uint8_t* p = row + size_t(x1) * bpp;
      for (int x = 0; x < w; ++x, p += bpp) std::memcpy(p, pattern, size_t(bpp));
    }
  }
  ReleasePaged();
}

void TKvBitmap::FillOutside(int x1, int y1, int x2, int y2, double value) {
  const int w = Width(), h = Height();
  if (x1 > x2 || y1 > y2) {
    FillWith(value);
    return;
  }
  if (y1 > 0) FillRows(0, 0, w - 1, y1 - 1, value);
  if (y2 < h - 1) FillRows(0, y2 + 1, w - 1, h - 1, value);
  if (x1 > 0) FillRows(0, y1, x1 - 1, y2, value);
  if (x2 < w - 1) FillRows(x2 + 1, y1, w - 1, y2, value);
  AlphaIsOpaque = ValueIsOpaque(value);
}

void TKvBitmap::FillWith(double value) {
  if (IsEmpty()) return;
  FillRows(0, 0, Width() - 1, Height() - 1, value);
  AlphaIsOpaque = ValueIsOpaque(value);
}

void TKvBitmap::FillRect(int x1, int y1, int x2, int y2, double value) {
  if (IsEmpty()) return;
  FillRows(std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2), value);
  if (!ValueIsOpaque(value)) AlphaIsOpaque = false;
}

void TKvBitmap::SetLocation(TKvStorageKind kind) {
  mustReallocate_ = true;
  if (kind == location_ && !IsEmpty()) return;
  if (IsEmpty()) {
    location_ = kind;
    return;
  }
  TKvBitmap old;
  MoveContentTo(old);
  location_ = kind;
  rowAlignmentBits_ = old.rowAlignmentBits_;
  if (!AllocateImage(old.width_, old.height_, old.format_)) {
    // Nothing could be had in the new kind: keep the pixels where they were.
    old.MoveContentTo(*this);
    return;
  }
  CopyRowsFrom(old);
  old.CopyPaletteTo(*this);
  PaletteUsed = old.PaletteUsed;
  AlphaIsOpaque = old.AlphaIsOpaque;
  DitherMode = old.DitherMode;
  alpha_ = std::move(old.alpha_);
  mustReallocate_ = true;
}

void TKvBitmap::SetRowAlignment(int bits) {
  if (bits < 8 || bits % 8 != 0) return;
  mustReallocate_ = true;
  if (bits == rowAlignmentBits_) return;
  if (location_ != kvInMemory || IsEmpty()) {
    rowAlignmentBits_ = bits;
    return;
  }
  TKvBitmap old;
  MoveContentTo(old);
  rowAlignmentBits_ = bits;
  location_ = kvInMemory;
  if (!AllocateImage(old.width_, old.height_, old.format_)) return;
  CopyRowsFrom(old);
  old.CopyPaletteTo(*this);
  PaletteUsed = old.PaletteUsed;
  AlphaIsOpaque = old.AlphaIsOpaque;
  DitherMode = old.DitherMode;
  alpha_ = std::move(old.alpha_);
  mustReallocate_ = true;
}

// ---------------------------------------------------------------------------------------------
// Platform bitmap storage

void TKvBitmap::WrapVclBitmap(TVclBitmap* bitmap) {
  FreeImage();
  if (bitmap == nullptr) return;
  const TVclPixelFormat pf = bitmap->PixelFormat();
  if (pf != pf1bit && pf != pf8bit && pf != pf24bit && pf != pf32bit)
    bitmap->SetPixelFormat(pf24bit);
  location_ = kvTBitmap;
  vcl_ = bitmap;
  wrapsVcl_ = true;
  rowAlignmentBits_ = 32;
  AdoptVclContent();
}

void TKvBitmap::AdoptVclContent() {
  RebuildRowCache();
  SyncWithVcl();
  if (format_ == kv8p) {
    palette_.resize(vcl_->Palette().size());
    for (size_t i = 0; i < palette_.size(); ++i) {
      const auto& e = vcl_->Palette()[i];
      palette_[i] = KvRGB(e.Red, e.Green, e.Blue);
    }
  }
  mustReallocate_ = true;
}

TVclBitmap* TKvBitmap::VclBitmap() {
  if (location_ != kvTBitmap) SetLocation(kvTBitmap);
  if (location_ != kvTBitmap) return nullptr;
  if (vcl_ == nullptr) {
    ownedVcl_ = std::make_unique<TVclBitmap>(0, 0, pf24bit);
    vcl_ = ownedVcl_.get();
  }
  return vcl_;
}

// ---------------------------------------------------------------------------------------------
// Work bitmap and mask

TKvWorkBitmap::TKvWorkBitmap(int width, int height, int bitsPerPixel) {
  WorkAllocate(width, height, bitsPerPixel);
}

void TKvWorkBitmap::WorkAllocate(int width, int height, int bitsPerPixel) {
  if (data_ && width == width_ && height == height_ && bitsPerPixel == bitsPerPixel_) return;
  data_.reset();
  width_ = width;
  height_ = height;
  bitsPerPixel_ = bitsPerPixel;
  rowLength_ = width > 0 && bitsPerPixel > 0 ? KvRowLength(width, bitsPerPixel) : 0;
  if (width > 0 && height > 0 && bitsPerPixel > 0)
    data_.reset(new uint8_t[size_t(rowLength_) * size_t(height)]);
}

TKvMask::TKvMask(int width, int height, int bitsPerPixel) {
  Allocate(width, height, bitsPerPixel);
}

void TKvMask::Allocate(int width, int height, int bitsPerPixel) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  bits_ = bitsPerPixel == 1 ? 1 : 8;
  rowLength_ = bits_ == 1 ? (width_ + 7) / 8 : width_;
  data_.assign(size_t(rowLength_) * size_t(height_), 0);
}

uint8_t TKvMask::Get(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  const uint8_t* r = Row(y);
  if (bits_ == 1) return (r[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
  return r[x];
}

void TKvMask::Set(int x, int y, uint8_t v) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  uint8_t* r = Row(y);
  if (bits_ == 1) {
    const uint8_t mask = uint8_t(0x80 >> (x & 7));
    r[x >> 3] = v ? uint8_t(r[x >> 3] | mask) : uint8_t(r[x >> 3] & ~mask);
  } else {
    r[x] = v;
  }
}

void TKvMask::Fill(uint8_t v) {
  std::fill(data_.begin(), data_.end(), bits_ == 1 ? (v ? 0xFF : 0x00) : v);
}

void TKvMask::Resize(int width, int height, uint8_t fill) {
  if (bits_ == 8) {
    ResizeBytesInPlace(std::max(width, 0), std::max(height, 0), fill);
    return;
  }
  TKvMask old = std::move(*this);
  Allocate(width, height, old.bits_);
  Fill(fill);
  const int w = std::min(width_, old.width_), h = std::min(height_, old.height_);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) Set(x, y, old.Get(x, y));
}

void TKvMask::ResizeBytesInPlace(int width, int height, uint8_t fill) {
  // A byte mask keeps its rows in its own storage: narrower rows move down towards the start
  // (first row first), wider ones up (last row first), so that no row is overwritten before it
  // has moved. A page-sized mask thus changes size without a second block, and without
  // clearing bytes that the kept part overwrites.
  const size_t oldWidth = size_t(width_), newWidth = size_t(width);
  const size_t keepWidth = std::min(oldWidth, newWidth);
  const int keepHeight = std::min(height_, height);
  const size_t newSize = newWidth * size_t(height);
  uint8_t* d = nullptr;
  if (newWidth <= oldWidth) {
    d = data_.data();
    for (int y = 1; y < keepHeight; ++y)
      std::memmove(d + newWidth * size_t(y), d + oldWidth * size_t(y), keepWidth);
    data_.resize(newSize);
  } else {
    data_.resize(std::max(data_.size(), newSize));
    d = data_.data();
    for (int y = keepHeight - 1; y >= 0; --y) {
      std::memmove(d + newWidth * size_t(y), d + oldWidth * size_t(y), keepWidth);
      std::memset(d + newWidth * size_t(y) + keepWidth, fill, newWidth - keepWidth);
    }
    data_.resize(newSize);
  }
  d = data_.data();
  const size_t kept = newWidth * size_t(std::max(keepHeight, 0));
  if (newSize > kept) std::memset(d + kept, fill, newSize - kept);
  width_ = width;
  height_ = height;
  rowLength_ = width;
}
