// The I/O component: the format table, the choice of format by extension, and the steps that
// every load and save share. The codecs themselves are looked up in the codec registry.
//
// Saves go to a fresh file beside the target (".kvtmp-<random>") that replaces the
// target only once the writer has finished without error, so a failed save never leaves a
// half-written file under the target name and an older file of that name survives it.
#include "io/kvio.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "deskew/resample.h"

// --- TKvIOParams ------------------------------------------------------------------------------

void TKvIOParams::SetDpiX(int32_t dpi) {
  dpiX_ = dpi;
  dpiXf_ = dpi;
  if (OnDpiChanged) OnDpiChanged(dpiXf_, dpiYf_);
}

void TKvIOParams::SetDpiY(int32_t dpi) {
  dpiY_ = dpi;
  dpiYf_ = dpi;
  if (OnDpiChanged) OnDpiChanged(dpiXf_, dpiYf_);
}

void TKvIOParams::SetImageIndex(int32_t index) {
  imageIndex_ = index;
  // Groups with a page index of their own set it here as well.
}

void TKvIOParams::SetImageCount(int32_t count) {
  imageCount_ = count;
  // Groups with a page count of their own set it here as well.
}

namespace {

// Clears the metadata a per-format group keeps: the JPEG group's APPn/COM segment list
// (Markers), and whatever a group's own ClearMetadata() covers.
template <typename TGroup>
void ClearGroupMetadata(TGroup& group) {
  if constexpr (requires { group.Markers.clear(); }) group.Markers.clear();
  if constexpr (requires { group.ClearMetadata(); }) group.ClearMetadata();
}

}  // namespace

void TKvIOParams::ClearMetadata() {
  IPTC.clear();
  XmpText.clear();
  InputICC.Clear();
  ClearGroupMetadata(Pxm);
  ClearGroupMetadata(Bmp);
  ClearGroupMetadata(Jpeg);
  ClearGroupMetadata(Png);
}

// --- Codec registry ---------------------------------------------------------------------------

namespace {

std::vector<TKvCodec>& CodecList() {
  static std::vector<TKvCodec> codecs;
  return codecs;
}

// Set while the built-in codecs register, so that their KvRegisterCodec calls do not wait for
// the registration they are part of.
thread_local bool tRegisteringBuiltins = false;

void EnsureBuiltinCodecs() {
  if (tRegisteringBuiltins) return;
  static std::once_flag once;
  std::call_once(once, [] {
    tRegisteringBuiltins = true;
    KvRegisterBuiltinCodecs();
    tRegisteringBuiltins = false;
  });
}

}  // namespace

void KvRegisterCodec(const TKvCodec& codec) {
  EnsureBuiltinCodecs();
  auto& list = CodecList();
  for (TKvCodec& c : list) {
    if (c.FileType == codec.FileType) {
      c = codec;
      return;
    }
  }
  list.push_back(codec);
}

const TKvCodec* KvFindCodec(TKvFileType type) {
  EnsureBuiltinCodecs();
  for (const TKvCodec& c : CodecList())
    if (c.FileType == type) return &c;
  return nullptr;
}

// --- Format table -----------------------------------------------------------------------------

namespace {

// Placeholders of the built-in records: only their presence says that a format can be read or
// written; the registry supplies the real codec.
void PlaceholderRead(TKvStream&, TKvBitmap&, TKvIOParams&, bool, TKvProgressRec&) {}
void PlaceholderWrite(TKvStream&, TKvBitmap&, TKvIOParams&, TKvProgressRec&) {}
bool PlaceholderProbe(TKvStream&) {
  return false;
}

TKvFileFormatInfo BuiltIn(TKvFileType type, const char* description, const char* extensions,
                          bool canRead, bool canWrite) {
  TKvFileFormatInfo info;
  info.FileType = type;
  info.Description = description;
  info.Extensions = extensions;
  info.Internal = true;
  info.ReadFunction = canRead ? PlaceholderRead : nullptr;
  info.WriteFunction = canWrite ? PlaceholderWrite : nullptr;
  info.ProbeFunction = PlaceholderProbe;
  return info;
}

std::vector<TKvFileFormatInfo>& FormatTable() {
  static std::vector<TKvFileFormatInfo> table = {
      BuiltIn(kvftTIFF, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F;XIF", true, true),
      BuiltIn(kvftGIF, "CompuServe Bitmap", "GIF", true, true),
      BuiltIn(kvftJPEG, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", true, true),
      BuiltIn(kvftPCX, "PaintBrush", "PCX", true, true),
      BuiltIn(kvftBMP, "Windows Bitmap", "BMP;DIB;RLE", true, true),
      BuiltIn(kvftICO, "Windows Icon", "ICO", true, true),
      BuiltIn(kvftCUR, "Windows Cursor", "CUR", true, false),
      BuiltIn(kvftPNG, "Portable Network Graphics", "PNG", true, true),
      BuiltIn(kvftDICOM, "DICOM Bitmap", "DCM;DIC;DICOM", true, false),
      BuiltIn(kvftWMF, "Windows Metafile", "WMF", true, false),
      BuiltIn(kvftEMF, "Enhanced Windows Metafile", "EMF", true, false),
      BuiltIn(kvftTGA, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", true, true),
      BuiltIn(kvftPXM, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", true, true),
      BuiltIn(kvftWBMP, "Wireless Bitmap", "WBMP", true, true),
      BuiltIn(kvftJP2, "JPEG2000", "JP2", true, true),
      BuiltIn(kvftJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", true, true),
      BuiltIn(kvftPS, "PostScript Level 2", "PS;EPS", false, true),
      BuiltIn(kvftPDF, "Adobe PDF", "PDF", false, true),
      BuiltIn(kvftDCX, "Multipage PCX", "DCX", true, true),
      BuiltIn(kvftRAW, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2", true,
              false),
      BuiltIn(kvftPSD, "Photoshop PSD", "PSD", true, true),
      BuiltIn(kvftKVO, "Vectorial objects", "KVO", true, true),
      BuiltIn(kvftLYR, "Layers", "LYR", true, true),
      BuiltIn(kvftALL, "Layers and objects", "ALL", true, true),
  };
  return table;
}

// The fixed save list: extensions (with the dot) and the writer's format, first match wins.
struct TSaveEntry {
  const char* Extensions;  // ";"-separated, lower case, with dots
  TKvFileType FileType;
};
constexpr TSaveEntry kSaveList[] = {
    {".jpg;.jpeg;.jpe;.jif", kvftJPEG},
    {".jp2", kvftJP2},
    {".j2k;.jpc;.j2c", kvftJ2K},
    {".pcx", kvftPCX},
    {".dcx", kvftDCX},
    {".gif", kvftGIF},
    {".tif;.tiff;.fax;.g3f;.g3n", kvftTIFF},
    {".png", kvftPNG},
    {".bmp;.dib;.rle", kvftBMP},
    {".tga;.targa;.vda;.icb;.vst;.win", kvftTGA},
    {".pxm;.pbm;.pgm;.ppm", kvftPXM},
    {".ico", kvftICO},
    {".wbmp", kvftWBMP},
    {".ps;.eps", kvftPS},
    {".pdf", kvftPDF},
    {".psd", kvftPSD},
};

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ListHas(const std::string& list, const std::string& item) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (Lower(list.substr(start, end - start)) == item) return true;
    start = end + 1;
  }
  return false;
}

const TSaveEntry* FindSaveEntry(const std::string& extension) {
  if (extension.empty()) return nullptr;
  for (const TSaveEntry& e : kSaveList)
    if (ListHas(e.Extensions, extension)) return &e;
  return nullptr;
}

bool IsNetworkAddress(const std::string& lowerName) {
  return lowerName.starts_with("http://") || lowerName.starts_with("https://") ||
         lowerName.starts_with("ftp://");
}

// A short hidden name in the output's folder for the output while it is being written. It does
// not grow with the output's own name, so any name the folder can hold can also be written.
std::string ScratchNameFor(const std::string& name) {
  static std::atomic<uint32_t> counter{0};
  static const uint32_t seed = std::random_device{}();
  char scratch[32];
  std::snprintf(scratch, sizeof scratch, ".kvtmp-%08x%04x", seed,
                unsigned(counter.fetch_add(1) & 0xFFFF));
  const size_t slash = name.rfind('/');
  return (slash == std::string::npos ? std::string() : name.substr(0, slash + 1)) + scratch;
}

}  // namespace

const std::vector<TKvFileFormatInfo>& TKvIO::FileFormats() {
  return FormatTable();
}

void TKvIO::RegisterFileFormat(const TKvFileFormatInfo& info) {
  TKvFileFormatInfo copy = info;
  copy.Internal = false;
  FormatTable().push_back(copy);
}

std::string TKvIO::ExtensionOf(const std::string& name) {
  const std::string lower = Lower(name);
  const size_t dot = lower.rfind('.');
  if (dot == std::string::npos) return {};
  return lower.substr(dot);
}

const TKvFileFormatInfo* TKvIO::FindFormat(const std::string& extension) {
  std::string ext = Lower(extension);
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  if (ext.empty()) return nullptr;
  for (const TKvFileFormatInfo& info : FormatTable())
    if (ListHas(info.Extensions, ext)) return &info;
  return nullptr;
}

TKvFileType TKvIO::LoadFileType(const std::string& name) {
  if (name.empty() || IsNetworkAddress(Lower(name))) return kvftUnknown;
  const TKvFileFormatInfo* info = FindFormat(ExtensionOf(name));
  if (info == nullptr) return kvftUnknown;
  if (info->Internal) {
    const TKvCodec* codec = KvFindCodec(info->FileType);
    return codec != nullptr && codec->Read != nullptr ? info->FileType : kvftUnknown;
  }
  return info->ReadFunction != nullptr ? info->FileType : kvftUnknown;
}

TKvFileType TKvIO::SaveFileType(const std::string& name) {
  if (name.empty()) return kvftUnknown;
  const std::string ext = ExtensionOf(name);
  TKvFileType type = kvftUnknown;
  if (const TSaveEntry* entry = FindSaveEntry(ext)) {
    type = entry->FileType;
  } else {
    const TKvFileFormatInfo* info = FindFormat(ext);
    if (info == nullptr || info->WriteFunction == nullptr) return kvftUnknown;
    if (!info->Internal) return info->FileType;
    type = info->FileType;
  }
  const TKvCodec* codec = KvFindCodec(type);
  return codec != nullptr && codec->Write != nullptr ? type : kvftUnknown;
}

// --- TKvIO ------------------------------------------------------------------------------------

TKvIO::TKvIO() : ownImage_(std::make_unique<TKvBitmap>()), image_(ownImage_.get()) {}

TKvIO::~TKvIO() = default;

void TKvIO::AttachView(TKvView* view) {
  view_ = view;
  if (view == nullptr) {
    image_ = ownImage_.get();
    return;
  }
  image_ = &view->Bitmap();
  OnProgress = view->OnProgress;
  OnFinishWork = view->OnFinishWork;
}

TColor TKvIO::Background() const {
  return view_ != nullptr ? view_->Background : background_;
}

void TKvIO::SetBackground(TColor color) {
  if (view_ != nullptr)
    view_->Background = color;
  else
    background_ = color;
}

void TKvIO::Relay(int32_t percent) {
  if (OnProgress) OnProgress(this, percent);
}

void TKvIO::Finish() {
  Relay(100);
  if (OnFinishWork) OnFinishWork(this);
}

TKvProgressRec TKvIO::MakeProgress() {
  TKvProgressRec rec;
  rec.Handler = [this](void*, int32_t percent) { Relay(percent); };
  rec.Sender = this;
  rec.Aborting = &Aborting;
  return rec;
}

void TKvIO::TellViewImageChanged() {
  if (view_ != nullptr) view_->Update();
}

void TKvIO::TellViewDpi() {
  // The work document keeps no resolution of its own; Params.OnDpiChanged is the hook for a
  // view that does.
  if (Params.OnDpiChanged) Params.OnDpiChanged(Params.DpiXf(), Params.DpiYf());
}

void TKvIO::LoadFromFile(const std::string& name) {
  if (image_ == nullptr) return;
  const std::string lower = Lower(name);
  // Empty names, network addresses (no download path here) and video files (no video reader
  // here) are refused.
  if (name.empty() || IsNetworkAddress(lower) || ExtensionOf(name) == ".avi") {
    Aborting = true;
    Finish();
    return;
  }
  const TKvFileFormatInfo* info = FindFormat(ExtensionOf(name));
  if (info == nullptr) {
    Aborting = true;
    Finish();
    return;
  }
  if (info->Internal) {
    const TKvCodec* codec = KvFindCodec(info->FileType);
    if (codec != nullptr && codec->Read != nullptr) {
      LoadWithCodec(name, *codec, info->FileType);
      return;
    }
  }
  LoadWithTableReader(name, *info);
}

namespace {

// Runs `cleanup` when the scope is left, also by an exception.
template <typename F>
class TScopeExit {
 public:
  explicit TScopeExit(F f) : f_(std::move(f)) {}
  ~TScopeExit() { f_(); }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

 private:
  F f_;
};

}  // namespace

void TKvIO::LoadWithCodec(const std::string& name, const TKvCodec& codec, TKvFileType type) {
  Aborting = true;
  if (image_ == nullptr) {
    Finish();
    return;
  }
  Params.ClearMetadata();
  std::unique_ptr<TKvFileStream> stream;
  bool finished = false;
  // The view is told and the finish is raised also when an error passes through, including
  // the one for a file that cannot be opened (Aborting then stays set).
  TScopeExit done([&] {
    if (finished) return;
    stream.reset();
    TellViewImageChanged();
    Finish();
  });
  stream = TKvFileStream::OpenRead(name);
  Aborting = false;
  TKvProgressRec progress = MakeProgress();
  image_->DropAlphaPlane(false, 0);
  codec.Read(*stream, *image_, Params, false, progress);
  if (Params.DpiX() < 2) Params.SetDpiX(kKvDefaultDpi);
  if (Params.DpiY() < 2) Params.SetDpiY(kKvDefaultDpi);
  AdjustDpi();
  Params.FileName = name;
  Params.FileType = type;
  stream.reset();
  finished = true;
  TellViewImageChanged();
  Finish();
}

void TKvIO::LoadWithTableReader(const std::string& name, const TKvFileFormatInfo& info) {
  Params.FileName.clear();
  Params.FileType = kvftUnknown;
  Params.ClearMetadata();
  if (info.ReadFunction == nullptr) {
    Aborting = true;
    Finish();
    return;
  }
  Aborting = true;
  if (image_ == nullptr) return;
  std::unique_ptr<TKvFileStream> stream = TKvFileStream::OpenRead(name);
  if (info.Internal) {
    // A built-in record whose codec this build does not have only holds a placeholder reader,
    // which reads nothing: that is a failed load, not an empty success.
    stream.reset();
    Finish();
    return;
  }
  Aborting = false;
  TKvProgressRec progress = MakeProgress();
  Params.FileName = name;
  Params.FileType = info.FileType;
  try {
    info.ReadFunction(*stream, *image_, Params, false, progress);
  } catch (const std::exception&) {
    Aborting = true;
  }
  if (!Aborting) {
    AdjustDpi();
    TellViewDpi();
  }
  TellViewImageChanged();
  stream.reset();
  Finish();
}

void TKvIO::SaveToFile(const std::string& name) {
  if (name.empty()) {
    Aborting = true;
    return;
  }
  const std::string ext = ExtensionOf(name);
  if (const TSaveEntry* entry = FindSaveEntry(ext)) {
    const TKvCodec* codec = KvFindCodec(entry->FileType);
    if (codec == nullptr || codec->Write == nullptr) {
      Aborting = true;  // a writer this build does not have: nothing is written
      return;
    }
    SaveWithWriter(name, entry->FileType, codec->Write, codec->WriterKeeps);
    return;
  }
  const TKvFileFormatInfo* info = FindFormat(ext);
  if (info == nullptr || info->WriteFunction == nullptr) {
    Aborting = true;
    return;
  }
  const uint32_t keeps = KvFormatBit(kv1g) | KvFormatBit(kv24RGB);
  if (!info->Internal) {
    SaveWithWriter(name, info->FileType, info->WriteFunction, keeps);
    return;
  }
  // A built-in record's extension outside the save list (XIF, PIX) is written in the record's
  // format by its codec; without one, the name is refused rather than left as an empty file.
  const TKvCodec* codec = KvFindCodec(info->FileType);
  if (codec == nullptr || codec->Write == nullptr) {
    Aborting = true;
    return;
  }
  SaveWithWriter(name, info->FileType, codec->Write, keeps);
}

void TKvIO::SaveWithWriter(const std::string& name, TKvFileType type, TKvWriteFunction write,
                           uint32_t keeps) {
  Aborting = true;
  if (image_ == nullptr) {
    Finish();
    return;
  }
  // An empty image has nothing to write; no file is made for it.
  if (image_->IsEmpty()) {
    Finish();
    return;
  }
  if ((keeps & KvFormatBit(image_->PixelFormat())) == 0) image_->ChangePixelFormat(kv24RGB);

  // A scratch name left by an earlier run that ended abruptly is passed over.
  constexpr int kScratchTries = 8;
  std::string scratch;
  std::unique_ptr<TKvFileStream> stream;
  for (int tries = 0; stream == nullptr && tries < kScratchTries; ++tries) {
    scratch = ScratchNameFor(name);
    stream = TKvFileStream::CreateNew(scratch);
    if (stream == nullptr && errno != EEXIST) break;
  }
  if (stream == nullptr) {
    const int code = errno;
    throw TKvIOError("Cannot create file \"" + KvExpandFileName(name) + "\". " +
                     std::strerror(code));
  }
  Aborting = false;
  TKvProgressRec progress = MakeProgress();
  Params.FileName = name;
  Params.FileType = type;
  try {
    write(*stream, *image_, Params, progress);
  } catch (...) {
    stream.reset();
    std::remove(scratch.c_str());
    Finish();
    throw;
  }
  if (!stream->Close()) Aborting = true;
  stream.reset();
  if (Aborting) {
    std::remove(scratch.c_str());
  } else if (std::rename(scratch.c_str(), name.c_str()) != 0) {
    const int code = errno;
    std::remove(scratch.c_str());
    Aborting = true;
    Finish();
    throw TKvIOError("Cannot create file \"" + KvExpandFileName(name) + "\". " +
                     std::strerror(code));
  }
  Params.FileName = name;
  Params.FileType = type;
  Finish();
}

// Squares non-square pixels after a load: the longer side keeps its pixel count, the other is
// scaled by the ratio of the two resolutions, which then become equal.
void TKvIO::AdjustDpi() {
  if (!AutoAdjustDPI || image_ == nullptr || image_->IsEmpty()) return;
  const int32_t dpiX = Params.DpiX(), dpiY = Params.DpiY();
  if (dpiX == dpiY || dpiX <= 0 || dpiY <= 0) return;
  const int w = image_->Width(), h = image_->Height();
  int newW = w, newH = h;
  const bool scaleHeight = h < w;
  if (scaleHeight)
    newH = int(double(h) / dpiY * dpiX);
  else
    newW = int(double(w) / dpiX * dpiY);
  if (newW < 1 || newH < 1) return;

  TKvBitmap dest;
  bool ok;
  if (FilteredAdjustDPI) {
    image_->ChangePixelFormat(kv24RGB);
    ok = dest.AllocateImage(newW, newH, kv24RGB) && ResampleFiltered(*image_, dest, rfFastLinear);
  } else {
    ok = dest.AllocateImage(newW, newH, image_->PixelFormat()) && ResampleNearest(*image_, dest);
  }
  if (!ok) return;
  if (TKvBitmap* alpha = const_cast<TKvBitmap*>(image_->ExistingAlphaPlane())) {
    TKvBitmap* destAlpha = dest.AlphaPlane();
    if (destAlpha != nullptr) {
      if (FilteredAdjustDPI)
        ResampleFiltered(*alpha, *destAlpha, rfFastLinear);
      else
        ResampleNearest(*alpha, *destAlpha);
      destAlpha->RecheckOpaque();
      dest.AlphaIsOpaque = destAlpha->AlphaIsOpaque;
    }
  }
  dest.MoveContentTo(*image_);
  if (scaleHeight)
    Params.SetDpiY(dpiX);
  else
    Params.SetDpiX(dpiY);
  Params.Width = newW;
  Params.Height = newH;
}

TKvIO& ViewIO(TKvView& view) {
  if (auto* io = dynamic_cast<TKvIO*>(view.IOComponent())) return *io;
  auto io = std::make_unique<TKvIO>();
  io->AttachView(&view);
  TKvIO& ref = *io;
  view.SetIOComponent(std::move(io));
  return ref;
}
