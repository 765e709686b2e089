// JPEG codec: the glue between the I/O component and the IJG JPEG library (API 62).
//
// The library reports fatal errors by calling an error handler that must not return; ours
// formats the message and jumps back (longjmp) to the library call that failed. So that no jump
// ever crosses a C++ object with a destructor, every library call is made from a small
// function below ("library shims") that holds only plain C state and returns false when the
// library failed; the C++ code above them turns that into the Aborting flag (reader) or an
// EKvJpegException (writer). Stream access from inside the library goes through a plain
// function-pointer bridge that never lets a C++ exception into the library's C frames.
//
// Rows: the library works in its blue-green-red pixel layout (JCS_EXT_BGR) both ways, which is
// the kv24RGB byte order, so rows are handed over without swapping; it also reorders the
// components of RGB files and converts gray files to that layout itself.
#include "io/codecs/kvjpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

#include "image/kvbitmap.h"
#include "image/kvconvert.h"
#include "io/codecs/kvstreambridge.h"
#include "io/kvcodec.h"
#include "io/kvioparams.h"
#include "io/kvstream.h"

namespace {

// Size of the source and destination buffers between the library and the stream (bytes).
constexpr size_t kJpegBufferSize = 65536;
// The start of JPEG data (FF D8 FF) is looked for at this many offsets from the position.
constexpr int kProbeWindow = 150;
constexpr uint8_t kJpegSignature[3] = {0xFF, 0xD8, 0xFF};
// Largest data of one marker segment the library keeps or writes (65,535 minus the length).
constexpr unsigned kMaxMarkerKeep = 0xFFFF;
constexpr unsigned kMaxMarkerWrite = 65533;
constexpr int kApp0 = JPEG_APP0;        // 0xE0
constexpr int kApp1 = JPEG_APP0 + 1;    // EXIF, XMP
constexpr int kApp2 = JPEG_APP0 + 2;    // ICC profile chunks
constexpr int kApp13 = JPEG_APP0 + 13;  // Photoshop resources (IPTC)
constexpr int kApp14 = JPEG_APP0 + 14;  // Adobe; the library writes its own
// The ICC chunk header: "ICC_PROFILE", a zero byte, sequence number, chunk count.
constexpr char kIccTag[] = "ICC_PROFILE";
constexpr size_t kIccHeaderSize = 14;
// XMP packets in APP1 begin with the namespace "http://ns.adobe.com/xap/1.0/" and a zero byte;
// the first 24 bytes identify them, and a packet shorter than 30 bytes cannot hold one.
constexpr char kXmpTag[] = "http://ns.adobe.com/xap/";
constexpr size_t kXmpTagLength = 24;
constexpr size_t kXmpMinSize = 30;
constexpr char kPhotoshopTag[] = "Photoshop 3.0";
constexpr uint16_t kIptcResource = 0x0404;
// Resolution written when the image has none (dots per inch).
constexpr int kDefaultWriteDpi = 300;
constexpr double kCmPerInch = 2.54;

// ---------------------------------------------------------------------------------------------
// Stream bridge (shared with the other library-based codecs).

using kvbridge::BridgeRead;
using kvbridge::BridgeWrite;
using kvbridge::TBridgeRead;
using kvbridge::TBridgeWrite;
using kvbridge::TStreamBridge;

// ---------------------------------------------------------------------------------------------
// Library state. Everything here is plain C data: the shims below may jump out of the library
// into these functions' frames.

struct TJpegError {
  jpeg_error_mgr Pub;
  jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
  bool Raise;  // false for "too few scanlines", which only aborts
  int WarningTotal;
  int WarningCode;
};

struct TJpegSource {
  jpeg_source_mgr Pub;
  JOCTET* Buffer;
  TBridgeRead Read;
  void* Context;
  bool StartOfFile;  // nothing delivered yet from the current stream
  bool EmptyFile;    // the stream was empty from the first read on
  bool RanOut;       // the data ended and a fake end-of-image marker was supplied
};

struct TJpegDestination {
  jpeg_destination_mgr Pub;
  JOCTET* Buffer;
  TBridgeWrite Write;
  void* Context;
  bool ShortWrite;
};

struct TJpegDecoder {
  jpeg_decompress_struct Info;
  TJpegError Error;
  TJpegSource Source;
  bool Created;
};

struct TJpegEncoder {
  jpeg_compress_struct Info;
  TJpegError Error;
  TJpegDestination Destination;
  bool Created;
};

// The library's message text with every numeric or text argument shown as "?"; a code outside
// the message list gives "Corrupted".
void FormatJpegMessage(j_common_ptr info, char* out, size_t size) {
  const jpeg_error_mgr* err = info->err;
  const int code = err->msg_code;
  const char* format = nullptr;
  if (code > 0 && code <= err->last_jpeg_message && err->jpeg_message_table != nullptr)
    format = err->jpeg_message_table[code];
  if (format == nullptr) format = "Corrupted";
  size_t n = 0;
  for (const char* p = format; *p != '\0' && n + 1 < size; ++p) {
    if (*p != '%') {
      out[n++] = *p;
      continue;
    }
    if (p[1] == '%') {
      out[n++] = '%';
      ++p;
      continue;
    }
    // Skip flags, width, length modifiers up to the conversion letter.
    while (p[1] != '\0' && std::strchr("-+ #0123456789.lhz", p[1]) != nullptr) ++p;
    if (p[1] != '\0') ++p;
    out[n++] = '?';
  }
  out[n] = '\0';
}

void OnJpegErrorExit(j_common_ptr info) {
  auto* err = reinterpret_cast<TJpegError*>(info->err);
  FormatJpegMessage(info, err->Message, sizeof err->Message);
  err->Raise = info->err->msg_code != JERR_TOO_LITTLE_DATA;
  longjmp(err->Jump, 1);
}

// Warnings (level -1) are counted; trace messages are dropped. Nothing is printed.
void OnJpegMessage(j_common_ptr info, int level) {
  if (level >= 0) return;
  auto* err = reinterpret_cast<TJpegError*>(info->err);
  ++err->WarningTotal;
  err->WarningCode = info->err->msg_code;
  ++info->err->num_warnings;
}

void OnJpegOutput(j_common_ptr) {}

void InitError(TJpegError* err) {
  jpeg_std_error(&err->Pub);
  err->Pub.error_exit = OnJpegErrorExit;
  err->Pub.emit_message = OnJpegMessage;
  err->Pub.output_message = OnJpegOutput;
  err->Message[0] = '\0';
  err->Raise = true;
  err->WarningTotal = 0;
  err->WarningCode = 0;
}

// --- Source manager ---

void SourceInit(j_decompress_ptr) {}

boolean SourceFill(j_decompress_ptr info) {
  auto* src = reinterpret_cast<TJpegSource*>(info->src);
  size_t n = src->Read(src->Context, src->Buffer, kJpegBufferSize);
  if (n == 0) {
    if (src->StartOfFile) src->EmptyFile = true;
    src->RanOut = true;
    WARNMS(info, JWRN_JPEG_EOF);
    src->Buffer[0] = 0xFF;
    src->Buffer[1] = JPEG_EOI;
    n = 2;
  }
  src->Pub.next_input_byte = src->Buffer;
  src->Pub.bytes_in_buffer = n;
  src->StartOfFile = false;
  return TRUE;
}

void SourceSkip(j_decompress_ptr info, long count) {
  auto* src = reinterpret_cast<TJpegSource*>(info->src);
  if (count <= 0) return;
  while (count > long(src->Pub.bytes_in_buffer)) {
    count -= long(src->Pub.bytes_in_buffer);
    SourceFill(info);
  }
  src->Pub.next_input_byte += count;
  src->Pub.bytes_in_buffer -= size_t(count);
}

void SourceTerm(j_decompress_ptr) {}

void AttachSource(TJpegDecoder* d, JOCTET* buffer, TBridgeRead read, void* context) {
  TJpegSource* src = &d->Source;
  src->Pub.init_source = SourceInit;
  src->Pub.fill_input_buffer = SourceFill;
  src->Pub.skip_input_data = SourceSkip;
  src->Pub.resync_to_restart = jpeg_resync_to_restart;
  src->Pub.term_source = SourceTerm;
  src->Pub.next_input_byte = nullptr;
  src->Pub.bytes_in_buffer = 0;
  src->Buffer = buffer;
  src->Read = read;
  src->Context = context;
  src->StartOfFile = true;
  src->EmptyFile = false;
  src->RanOut = false;
  d->Info.src = &src->Pub;
}

// --- Destination manager ---

void DestinationInit(j_compress_ptr info) {
  auto* dst = reinterpret_cast<TJpegDestination*>(info->dest);
  dst->Pub.next_output_byte = dst->Buffer;
  dst->Pub.free_in_buffer = kJpegBufferSize;
}

boolean DestinationEmpty(j_compress_ptr info) {
  auto* dst = reinterpret_cast<TJpegDestination*>(info->dest);
  if (!dst->ShortWrite && dst->Write(dst->Context, dst->Buffer, kJpegBufferSize) != kJpegBufferSize)
    dst->ShortWrite = true;
  dst->Pub.next_output_byte = dst->Buffer;
  dst->Pub.free_in_buffer = kJpegBufferSize;
  return TRUE;
}

void DestinationTerm(j_compress_ptr info) {
  auto* dst = reinterpret_cast<TJpegDestination*>(info->dest);
  const size_t n = kJpegBufferSize - dst->Pub.free_in_buffer;
  if (n > 0 && !dst->ShortWrite && dst->Write(dst->Context, dst->Buffer, n) != n)
    dst->ShortWrite = true;
}

// --- Library shims: each returns false when the library failed. Plain C state only. ---

bool ShimCreateDecompress(TJpegDecoder* d) {
  InitError(&d->Error);
  d->Info.err = &d->Error.Pub;
  if (setjmp(d->Error.Jump)) return false;
  jpeg_create_decompress(&d->Info);
  d->Created = true;
  return true;
}

bool ShimReadTables(TJpegDecoder* d) {
  if (setjmp(d->Error.Jump)) return false;
  jpeg_read_header(&d->Info, FALSE);
  return true;
}

bool ShimReadHeader(TJpegDecoder* d) {
  if (setjmp(d->Error.Jump)) return false;
  jpeg_save_markers(&d->Info, JPEG_COM, kMaxMarkerKeep);
  for (int m = 0; m < 16; ++m) jpeg_save_markers(&d->Info, JPEG_APP0 + m, kMaxMarkerKeep);
  return jpeg_read_header(&d->Info, TRUE) == JPEG_HEADER_OK;
}

bool ShimStartDecompress(TJpegDecoder* d) {
  if (setjmp(d->Error.Jump)) return false;
  jpeg_start_decompress(&d->Info);
  return true;
}

// Reads one line into `row`; false on a library error or when no line came.
bool ShimReadLine(TJpegDecoder* d, uint8_t* row) {
  if (setjmp(d->Error.Jump)) return false;
  JSAMPROW rows[1] = {row};
  return jpeg_read_scanlines(&d->Info, rows, 1) == 1;
}

bool ShimFinishDecompress(TJpegDecoder* d) {
  if (setjmp(d->Error.Jump)) return false;
  jpeg_finish_decompress(&d->Info);
  return true;
}

void ShimDestroyDecompress(TJpegDecoder* d) {
  if (d->Created) jpeg_destroy_decompress(&d->Info);
  d->Created = false;
}

bool ShimCreateCompress(TJpegEncoder* e) {
  InitError(&e->Error);
  e->Info.err = &e->Error.Pub;
  if (setjmp(e->Error.Jump)) return false;
  jpeg_create_compress(&e->Info);
  e->Created = true;
  return true;
}

// Plain copy of the compression settings, applied in one shim.
struct TJpegWriteSetup {
  int Width, Height;
  J_COLOR_SPACE InSpace;
  int InComponents;
  J_COLOR_SPACE Target;
  int DpiX, DpiY;
  J_DCT_METHOD Dct;
  bool Optimize;
  int Smoothing;
  int Quality;
  int LumaH, LumaV;  // luminance sampling (YCbCr targets only)
  bool Progressive;
};

bool ShimSetupCompress(TJpegEncoder* e, const TJpegWriteSetup* s) {
  if (setjmp(e->Error.Jump)) return false;
  jpeg_compress_struct* c = &e->Info;
  c->image_width = JDIMENSION(s->Width);
  c->image_height = JDIMENSION(s->Height);
  c->in_color_space = s->InSpace;
  c->input_components = s->InComponents;
  jpeg_set_defaults(c);
  jpeg_set_colorspace(c, s->Target);
  c->density_unit = 1;
  c->X_density = UINT16(s->DpiX);
  c->Y_density = UINT16(s->DpiY);
  c->dct_method = s->Dct;
  c->optimize_coding = s->Optimize ? TRUE : FALSE;
  c->smoothing_factor = s->Smoothing;
  jpeg_set_quality(c, s->Quality, TRUE);
  if (s->Target == JCS_YCbCr) {
    c->comp_info[0].h_samp_factor = s->LumaH;
    c->comp_info[0].v_samp_factor = s->LumaV;
    for (int i = 1; i < 3; ++i) {
      c->comp_info[i].h_samp_factor = 1;
      c->comp_info[i].v_samp_factor = 1;
    }
  }
  if (s->Progressive) jpeg_simple_progression(c);
  return true;
}

bool ShimStartCompress(TJpegEncoder* e) {
  if (setjmp(e->Error.Jump)) return false;
  jpeg_start_compress(&e->Info, TRUE);
  return true;
}

bool ShimWriteMarker(TJpegEncoder* e, int code, const uint8_t* data, unsigned length) {
  if (setjmp(e->Error.Jump)) return false;
  jpeg_write_marker(&e->Info, code, data, length);
  return true;
}

bool ShimWriteLine(TJpegEncoder* e, uint8_t* row) {
  if (setjmp(e->Error.Jump)) return false;
  JSAMPROW rows[1] = {row};
  jpeg_write_scanlines(&e->Info, rows, 1);
  return true;
}

bool ShimFinishCompress(TJpegEncoder* e) {
  if (setjmp(e->Error.Jump)) return false;
  jpeg_finish_compress(&e->Info);
  return true;
}

void ShimDestroyCompress(TJpegEncoder* e) {
  if (e->Created) jpeg_destroy_compress(&e->Info);
  e->Created = false;
}

// ---------------------------------------------------------------------------------------------
// C++ owners of the library objects.

struct TDecoderDeleter {
  void operator()(TJpegDecoder* d) const {
    ShimDestroyDecompress(d);
    delete d;
  }
};
struct TEncoderDeleter {
  void operator()(TJpegEncoder* e) const {
    ShimDestroyCompress(e);
    delete e;
  }
};
using TDecoderPtr = std::unique_ptr<TJpegDecoder, TDecoderDeleter>;
using TEncoderPtr = std::unique_ptr<TJpegEncoder, TEncoderDeleter>;

TDecoderPtr NewDecoder() {
  return TDecoderPtr(new TJpegDecoder{});  // value-initialised plain C state
}
TEncoderPtr NewEncoder() {
  return TEncoderPtr(new TJpegEncoder{});
}

bool StartsWith(const std::vector<uint8_t>& data, const char* text, size_t length) {
  return data.size() >= length && std::memcmp(data.data(), text, length) == 0;
}

// ---------------------------------------------------------------------------------------------
// Metadata.

// Reads the marker segments from the stream's position (SOI first) and joins the APP2
// "ICC_PROFILE" chunks in sequence order. Stops at the start of scan data, at end of image,
// once every chunk is found, or at the end of the stream. The position is restored.
std::vector<uint8_t> ScanIccProfile(TKvStream& stream) {
  const int64_t start = stream.Position();
  std::vector<std::pair<int, std::vector<uint8_t>>> chunks;
  int expected = -1;
  uint8_t soi[2];
  if (stream.ReadExact(soi, 2) && soi[0] == 0xFF && soi[1] == 0xD8) {
    for (;;) {
      uint8_t byte = 0;
      if (!stream.ReadByte(byte)) break;
      if (byte != 0xFF) continue;  // fill or junk bytes between segments
      uint8_t code = 0xFF;
      while (code == 0xFF)
        if (!stream.ReadByte(code)) break;
      if (code == 0xFF || code == JPEG_EOI || code == 0xDA /* SOS */) break;
      // Stuffed zero, TEM and restart markers carry no length.
      if (code == 0x00 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) continue;
      uint16_t length = 0;
      if (!stream.ReadU16BE(length) || length < 2) break;
      const size_t dataSize = length - 2u;
      if (code == kApp2 && dataSize >= kIccHeaderSize) {
        std::vector<uint8_t> data(dataSize);
        if (!stream.ReadExact(data.data(), dataSize)) break;
        if (std::memcmp(data.data(), kIccTag, sizeof kIccTag) == 0) {
          expected = data[13];
          chunks.emplace_back(data[12],
                              std::vector<uint8_t>(data.begin() + kIccHeaderSize, data.end()));
          if (int(chunks.size()) >= expected) break;
        }
      } else if (!stream.Skip(int64_t(dataSize)) || stream.Position() > stream.Size()) {
        break;
      }
    }
  }
  stream.Seek(start);
  std::stable_sort(chunks.begin(), chunks.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<uint8_t> profile;
  for (const auto& chunk : chunks)
    profile.insert(profile.end(), chunk.second.begin(), chunk.second.end());
  return profile;
}

uint32_t ReadBE(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

// IPTC records of a Photoshop APP13 block (resource 0x0404); false when it holds none.
bool ParseIptc(const std::vector<uint8_t>& data, TKvIPTCInfoList& out) {
  if (!StartsWith(data, kPhotoshopTag, sizeof kPhotoshopTag)) return false;
  size_t p = sizeof kPhotoshopTag;
  const size_t n = data.size();
  while (p + 12 <= n && std::memcmp(&data[p], "8BIM", 4) == 0) {
    const uint16_t id = uint16_t(ReadBE(&data[p + 4], 2));
    p += 6;
    const size_t nameLength = data[p];
    p += (nameLength + 2) & ~size_t(1);  // Pascal name padded to an even size
    if (p + 4 > n) return false;
    const size_t size = ReadBE(&data[p], 4);
    p += 4;
    if (size > n - p) return false;
    if (id == kIptcResource) {
      TKvIPTCInfoList records;
      size_t q = p;
      const size_t end = p + size;
      while (q + 5 <= end && data[q] == 0x1C) {
        TKvIPTCInfo info;
        info.Record = data[q + 1];
        info.DataSet = data[q + 2];
        size_t length = ReadBE(&data[q + 3], 2);
        q += 5;
        if (length & 0x8000) {  // extended length: the next (length & 0x7FFF) bytes
          const size_t lengthBytes = length & 0x7FFF;
          if (lengthBytes > 4 || q + lengthBytes > end) break;
          length = ReadBE(&data[q], int(lengthBytes));
          q += lengthBytes;
        }
        if (length > end - q) break;
        info.Data.assign(data.begin() + q, data.begin() + q + length);
        q += length;
        records.push_back(std::move(info));
      }
      if (records.empty()) return false;
      out = std::move(records);
      return true;
    }
    p += (size + 1) & ~size_t(1);
  }
  return false;
}

// XMP text of an APP1 packet: the bytes after the namespace's terminating zero.
bool ParseXmp(const std::vector<uint8_t>& data, std::string& out) {
  if (data.size() < kXmpMinSize || !StartsWith(data, kXmpTag, kXmpTagLength)) return false;
  const auto zero = std::find(data.begin(), data.end(), uint8_t(0));
  if (zero == data.end()) return false;
  out.assign(zero + 1, data.end());
  return true;
}

// IPTC, EXIF and XMP from the kept segments. `bitmap` (null for a preview) is turned by the EXIF
// orientation when asked. Returns what the EXIF reader reported (empty when it did not run).
TKvExifSummary ReadMetadata(TKvBitmap* bitmap, TKvIOParams& params) {
  TKvExifSummary exif;
  const TKvMarkerList& markers = params.Jpeg.Markers;
  for (const TKvMarker& m : markers)
    if (m.Code == kApp13 && ParseIptc(m.Data, params.IPTC)) break;
  for (const TKvMarker& m : markers) {
    if (m.Code != kApp1 || !StartsWith(m.Data, "Exif", 4)) continue;
    if (gKvJpegExifReader != nullptr &&
        gKvJpegExifReader(m.Data.data(), m.Data.size(), params, exif)) {
      if (params.DpiX() == 1 && params.DpiY() == 1) {
        const double f = exif.ResolutionUnit == 3 ? kCmPerInch : 1.0;
        params.SetDpiX(int32_t(exif.XResolution * f));
        params.SetDpiY(int32_t(exif.YResolution * f));
      }
      if (params.Jpeg.ApplyExifOrientation && bitmap != nullptr && !bitmap->IsEmpty()) {
        KvApplyExifOrientation(*bitmap, exif.Orientation);
        params.Width = bitmap->Width();
        params.Height = bitmap->Height();
      }
    } else {
      exif = TKvExifSummary{};
    }
    break;
  }
  for (const TKvMarker& m : markers)
    if (m.Code == kApp1 && ParseXmp(m.Data, params.XmpText)) break;
  return exif;
}

// The kept segments in file order, without the first APP0 (the JFIF header the writer makes
// again).
TKvMarkerList CollectMarkers(const jpeg_decompress_struct& info) {
  TKvMarkerList list;
  bool firstApp0 = true;
  for (jpeg_saved_marker_ptr m = info.marker_list; m != nullptr; m = m->next) {
    if (m->marker == kApp0 && firstApp0) {
      firstApp0 = false;
      continue;
    }
    TKvMarker marker;
    marker.Code = m->marker;
    marker.Data.assign(m->data, m->data + m->data_length);
    list.push_back(std::move(marker));
  }
  return list;
}

// Read scaling denominator from Params.Jpeg.Scale (0 picks the largest reduction that still
// covers the size asked for in Width x Height).
int ScaleDenominator(const TKvIOParams& params, int fileWidth, int fileHeight) {
  switch (params.Jpeg.Scale) {
    case 1:
      return 1;
    case 2:
      return 2;
    case 3:
      return 4;
    case 4:
      return 8;
    case 0:
      if (params.Width > 0 && params.Height > 0) {
        for (int n = 3; n > 0; --n)
          if ((fileWidth >> n) >= params.Width && (fileHeight >> n) >= params.Height) return 1 << n;
      }
      return 1;
    default:
      return 1;
  }
}

J_DCT_METHOD DctMethodOf(uint8_t method) {
  switch (method) {
    case 1:
      return JDCT_IFAST;
    case 2:
      return JDCT_FLOAT;
    default:
      return JDCT_ISLOW;
  }
}

void ReportLine(TKvProgressRec& progress) {
  ++progress.Val;
  progress.ReportChanged();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Orientation

void KvApplyExifOrientation(TKvBitmap& bitmap, int orientation) {
  if (orientation < 2 || orientation > 8 || bitmap.IsEmpty()) return;
  const int w = bitmap.Width(), h = bitmap.Height();
  const TKvPixFormat format = bitmap.PixelFormat();
  const int bits = bitmap.BitCount();
  if (bits != 1 && bits % 8 != 0) return;
  const int bpp = bits / 8;
  const bool swapsSides = orientation >= 5;
  const int ow = swapsSides ? h : w, oh = swapsSides ? w : h;

  // Gather the rows into one block first: rows of some storages cannot be held at once.
  const size_t rowBytes = size_t(KvRowLength(w, bits, 8));
  std::vector<uint8_t> source(rowBytes * size_t(h));
  for (int y = 0; y < h; ++y) std::memcpy(&source[rowBytes * y], bitmap.RowPtr(y), rowBytes);

  TKvBitmap turned;
  if (!turned.AllocateImage(ow, oh, format)) return;
  bitmap.CopyPaletteTo(turned);
  turned.PaletteUsed = bitmap.PaletteUsed;
  for (int y = 0; y < oh; ++y) {
    uint8_t* row = turned.RowPtr(y);
    if (bits == 1) std::memset(row, 0, size_t(turned.RowLength()));
    for (int x = 0; x < ow; ++x) {
      int sx = x, sy = y;
      switch (orientation) {
        case 2:
          sx = w - 1 - x;
          break;  // mirror left-right
        case 3:
          sx = w - 1 - x;
          sy = h - 1 - y;
          break;  // half turn
        case 4:
          sy = h - 1 - y;
          break;  // mirror top-bottom
        case 5:
          sx = y;
          sy = x;
          break;  // transpose
        case 6:
          sx = y;
          sy = h - 1 - x;
          break;  // quarter turn clockwise
        case 7:
          sx = w - 1 - y;
          sy = h - 1 - x;
          break;  // transverse
        case 8:
          sx = w - 1 - y;
          sy = x;
          break;  // quarter turn counter-clockwise
      }
      const uint8_t* src = &source[rowBytes * sy];
      if (bits == 1) {
        if (src[sx >> 3] & (0x80 >> (sx & 7))) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
      } else {
        std::memcpy(row + size_t(x) * bpp, src + size_t(sx) * bpp, size_t(bpp));
      }
    }
  }
  turned.AlphaIsOpaque = bitmap.AlphaIsOpaque;
  std::unique_ptr<TKvBitmap> alpha = bitmap.DetachAlphaPlane();
  if (alpha) {
    KvApplyExifOrientation(*alpha, orientation);
    turned.AttachAlphaPlane(std::move(alpha));
  }
  turned.MoveContentTo(bitmap);
}

// ---------------------------------------------------------------------------------------------
// Probe

int64_t ProbeJpeg(TKvStream& stream) {
  const int64_t start = stream.Position();
  uint8_t window[kProbeWindow + 2];
  const size_t got = stream.Read(window, sizeof window);
  stream.Seek(start);
  for (size_t i = 0; i + 3 <= got; ++i)
    if (std::memcmp(window + i, kJpegSignature, 3) == 0) return start + int64_t(i);
  // A start-of-image marker right at the position also counts when fill bytes, not a marker,
  // follow it: the library skips those.
  if (got >= 2 && window[0] == kJpegSignature[0] && window[1] == kJpegSignature[1]) return start;
  return -1;
}

// ---------------------------------------------------------------------------------------------
// Reader

namespace {

// How decoded lines become bitmap rows.
enum class TLineKind { Direct, CmykToRgb };

struct TReadPlan {
  J_COLOR_SPACE Output = JCS_EXT_BGR;
  TKvPixFormat Format = kv24RGB;
  TLineKind Kind = TLineKind::Direct;
};

// Output colour space and pixel format for the file's colour space. False for spaces the
// reader cannot hand to a bitmap.
bool PlanRead(J_COLOR_SPACE fileSpace, bool native, bool rawYCbCr, TKvIOParams& params,
              TReadPlan& plan) {
  params.BitsPerSample = 8;
  switch (fileSpace) {
    case JCS_GRAYSCALE:
      params.Jpeg.ColorSpace = 1;
      params.SamplesPerPixel = 1;
      plan.Output = native ? JCS_GRAYSCALE : JCS_EXT_BGR;
      plan.Format = native ? kv8g : kv24RGB;
      return true;
    case JCS_RGB:
      params.Jpeg.ColorSpace = 0;
      params.SamplesPerPixel = 3;
      plan.Output = JCS_EXT_BGR;  // the library reorders the file's red-first components
      return true;
    case JCS_YCbCr:
      params.Jpeg.ColorSpace = 2;
      params.SamplesPerPixel = 3;
      plan.Output = rawYCbCr ? JCS_YCbCr : JCS_EXT_BGR;
      return true;
    case JCS_CMYK:
    case JCS_YCCK:
      params.Jpeg.ColorSpace = fileSpace == JCS_CMYK ? 3 : 4;
      params.SamplesPerPixel = 4;
      plan.Output = JCS_CMYK;
      plan.Format = native ? kvCMYK : kv24RGB;
      plan.Kind = native ? TLineKind::Direct : TLineKind::CmykToRgb;
      return true;
    default:
      return false;
  }
}

// Converts a line of stored CMYK bytes (the kvCMYK layout) to kv24RGB.
void CmykLineToRgb(const uint8_t* cmyk, uint8_t* rgb, int width, bool invert) {
  for (int x = 0; x < width; ++x) {
    TKvCMYK c{cmyk[0], cmyk[1], cmyk[2], cmyk[3]};
    if (invert)
      c = TKvCMYK{uint8_t(255 - c.C), uint8_t(255 - c.M), uint8_t(255 - c.Y), uint8_t(255 - c.K)};
    const TKvRGB p = CmykToRgb(c);
    rgb[0] = p.Blue;
    rgb[1] = p.Green;
    rgb[2] = p.Red;
    cmyk += 4;
    rgb += 3;
  }
}

void SetDensity(const jpeg_decompress_struct& info, TKvIOParams& params) {
  int x = info.X_density, y = info.Y_density;
  if (info.density_unit == 2) {
    x = int(x * kCmPerInch);
    y = int(y * kCmPerInch);
  }
  params.SetDpiX(x);
  params.SetDpiY(y);
}

// Huffman-coded data spend at least one bit on the DC difference of every block of a component
// (no Huffman code is shorter than one bit), and a decodable file codes each block of at least
// one component, so data shorter than one bit per block of the component with the fewest
// blocks cannot hold the declared size; such a file is refused before the library or the
// reader allocate for it. Arithmetic coding can spend far less than a bit on a block; its sizes
// are taken as declared. `dataBytes` counts the bytes behind the header.
bool DataCanHoldImage(const jpeg_decompress_struct& info, int64_t dataBytes) {
  if (info.arith_code) return true;
  int64_t fewest = -1;
  for (int i = 0; i < info.num_components; ++i) {
    const jpeg_component_info& c = info.comp_info[i];
    const int64_t blocks = int64_t(c.width_in_blocks) * int64_t(c.height_in_blocks);
    if (fewest < 0 || blocks < fewest) fewest = blocks;
  }
  return fewest / 8 <= dataBytes;
}

void FinishWarnings(const TJpegDecoder& d, TKvIOParams& params) {
  params.Jpeg.WarningTotal += d.Error.WarningTotal;
  if (d.Error.WarningTotal > 0) params.Jpeg.WarningCode = d.Error.WarningCode;
}

}  // namespace

namespace {

int ReadJpegImpl(TKvStream& stream, TKvStream* tables, TKvBitmap& bitmap, bool native,
                 int lineLimit, bool scanColorProfile, bool invertCmyk, bool readMetadata,
                 bool rawYCbCr, bool previewOnly, TKvProgressRec& progress, TKvIOParams& params,
                 TKvExifSummary& exif) {
  TKvJpegParams& jp = params.Jpeg;
  jp.WarningTotal = 0;
  jp.WarningCode = 0;
  jp.Markers.clear();
  const int64_t start = ProbeJpeg(stream);
  if (start < 0) {
    progress.Abort();
    return 0;
  }
  stream.Seek(start);
  if (scanColorProfile) {
    std::vector<uint8_t> profile = ScanIccProfile(stream);
    if (!profile.empty()) params.InputICC.Data = std::move(profile);
  }

  TStreamBridge dataBridge{&stream, nullptr};
  TStreamBridge tablesBridge{tables, nullptr};
  std::vector<JOCTET> buffer(kJpegBufferSize);
  TDecoderPtr d = NewDecoder();
  // Ends a failed read: Aborting set, library object gone, stream exceptions passed on.
  auto fail = [&]() {
    FinishWarnings(*d, params);
    progress.Abort();
    d.reset();
    if (dataBridge.Error) std::rethrow_exception(dataBridge.Error);
    if (tablesBridge.Error) std::rethrow_exception(tablesBridge.Error);
  };
  if (!ShimCreateDecompress(d.get())) return fail(), 0;
  if (tables != nullptr && tables != &stream) {
    AttachSource(d.get(), buffer.data(), BridgeRead, &tablesBridge);
    if (!ShimReadTables(d.get())) return fail(), 0;
  }
  AttachSource(d.get(), buffer.data(), BridgeRead, &dataBridge);
  if (!ShimReadHeader(d.get()) || d->Source.EmptyFile) return fail(), 0;
  jpeg_decompress_struct& info = d->Info;
  jp.Markers = CollectMarkers(info);

  TReadPlan plan;
  if (!PlanRead(info.jpeg_color_space, native, rawYCbCr && info.jpeg_color_space == JCS_YCbCr,
                params, plan))
    return fail(), 0;
  info.out_color_space = plan.Output;
  info.dct_method = DctMethodOf(jp.DctMethod);
  SetDensity(info, params);
  params.FreeColorMap();
  jp.Progressive = jpeg_has_multiple_scans(&info) != 0;
  params.StoredWidth = int32_t(info.image_width);
  params.StoredHeight = int32_t(info.image_height);
  const int denominator = ScaleDenominator(params, params.StoredWidth, params.StoredHeight);
  jp.ScaleUsed = denominator;
  info.scale_num = 1;
  info.scale_denom = unsigned(denominator);

  int lines = 0;
  if (previewOnly) {
    params.Width = params.StoredWidth;
    params.Height = params.StoredHeight;
  } else {
    const int64_t dataBytes =
        stream.Size() - stream.Position() + int64_t(d->Source.Pub.bytes_in_buffer);
    if (!DataCanHoldImage(info, dataBytes)) return fail(), 0;
    if (!ShimStartDecompress(d.get()) || d->Source.RanOut) return fail(), 0;
    const int width = int(info.output_width), height = int(info.output_height);
    params.Width = width;
    params.Height = height;
    if (!bitmap.AllocateImage(width, height, plan.Format)) return fail(), 0;
    const int limit = lineLimit < 0 ? height : std::min(lineLimit, height);
    progress.Begin(height);
    std::vector<uint8_t> scratch;
    if (plan.Kind == TLineKind::CmykToRgb) scratch.resize(size_t(width) * 4);
    while (lines < limit && !progress.IsAborting()) {
      uint8_t* row = bitmap.RowPtr(lines);
      const bool ok = plan.Kind == TLineKind::Direct ? ShimReadLine(d.get(), row)
                                                     : ShimReadLine(d.get(), scratch.data());
      if (!ok) break;
      if (plan.Kind == TLineKind::CmykToRgb) CmykLineToRgb(scratch.data(), row, width, invertCmyk);
      ++lines;
      ReportLine(progress);
      if (d->Source.RanOut) break;  // the rest would be made up by the library
    }
    // A stream that ended before the last line asked for is a damaged file, even though the
    // library fills the missing part in.
    if (lines < limit || d->Source.RanOut) {
      fail();
      if (readMetadata) exif = ReadMetadata(&bitmap, params);
      return lines;
    }
    // The end of the file is read only after a complete image; errors there are ignored.
    if (lines == height) ShimFinishDecompress(d.get());
  }
  FinishWarnings(*d, params);
  d.reset();
  if (dataBridge.Error) std::rethrow_exception(dataBridge.Error);
  if (readMetadata) exif = ReadMetadata(previewOnly ? nullptr : &bitmap, params);
  return lines;
}

}  // namespace

int ReadJpeg(TKvStream& stream, TKvStream* tables, TKvBitmap& bitmap, bool native, int lineLimit,
             bool scanColorProfile, bool /*applyColorProfile: no colour engine here*/,
             bool invertCmyk, bool readMetadata, bool rawYCbCr, bool previewOnly,
             TKvProgressRec& progress, TKvIOParams& params) {
  TKvExifSummary exif;
  // An EXIF thumbnail, when preferred and present, replaces the image.
  if (params.Jpeg.PreferExifThumbnail && !previewOnly && gKvJpegExifReader != nullptr) {
    const int64_t start = stream.Position();
    const int32_t w = params.Width, h = params.Height, sw = params.StoredWidth,
                  sh = params.StoredHeight;
    ReadJpegImpl(stream, tables, bitmap, native, lineLimit, false, invertCmyk, true, rawYCbCr, true,
                 progress, params, exif);
    if (!progress.IsAborting() && exif.Thumbnail != nullptr && !exif.Thumbnail->IsEmpty()) {
      bitmap.CopyFrom(*exif.Thumbnail);
      params.Width = bitmap.Width();
      params.Height = bitmap.Height();
      return bitmap.Height();
    }
    if (progress.Aborting != nullptr) *progress.Aborting = false;
    params.Width = w, params.Height = h, params.StoredWidth = sw, params.StoredHeight = sh;
    stream.Seek(start);
  }
  return ReadJpegImpl(stream, tables, bitmap, native, lineLimit, scanColorProfile, invertCmyk,
                      readMetadata, rawYCbCr, previewOnly, progress, params, exif);
}

void ReadJpegFile(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, bool previewOnly,
                  TKvProgressRec& progress) {
  ReadJpeg(stream, nullptr, bitmap, params.IsNativePixelFormat, -1, true, true, false, true, false,
           previewOnly, progress, params);
}

// ---------------------------------------------------------------------------------------------
// Writer

namespace {

J_COLOR_SPACE TargetSpaceOf(uint8_t colorSpace) {
  switch (colorSpace) {
    case 1:
      return JCS_GRAYSCALE;
    case 2:
      return JCS_YCbCr;
    case 3:
      return JCS_CMYK;
    case 4:
      return JCS_YCCK;
    default:
      return JCS_RGB;
  }
}

bool IsIccChunk(const TKvMarker& m) {
  return m.Code == kApp2 && m.Data.size() > 12 &&
         std::memcmp(m.Data.data(), kIccTag, sizeof kIccTag - 1) == 0;
}

// The kept segments in writing order: by marker code (ICC chunks by their sequence number), the
// first EXIF segment in the place of the first APP1; Adobe segments are left to the library.
std::vector<const TKvMarker*> MarkersToWrite(const TKvMarkerList& markers) {
  std::vector<const TKvMarker*> order;
  for (const TKvMarker& m : markers) order.push_back(&m);
  std::stable_sort(order.begin(), order.end(), [](const TKvMarker* a, const TKvMarker* b) {
    if (a->Code != b->Code) return a->Code < b->Code;
    if (IsIccChunk(*a) && IsIccChunk(*b)) return a->Data[12] < b->Data[12];
    return false;
  });
  auto firstApp1 =
      std::find_if(order.begin(), order.end(), [](const TKvMarker* m) { return m->Code == kApp1; });
  auto firstExif = std::find_if(order.begin(), order.end(), [](const TKvMarker* m) {
    return m->Code == kApp1 && StartsWith(m->Data, "Exif", 4);
  });
  if (firstApp1 != order.end() && firstExif != order.end()) std::iter_swap(firstApp1, firstExif);
  std::erase_if(order, [](const TKvMarker* m) {
    return m->Code == kApp14 || m->Data.size() > kMaxMarkerWrite;
  });
  return order;
}

int DensityOf(int32_t dpi) {
  if (dpi == 0) return kDefaultWriteDpi;
  return std::clamp(int(dpi), 1, 0xFFFF);
}

// Raises the library's error after the encoder is gone; "too few scanlines" only aborts.
[[noreturn]] void RaiseWriteError(const char* message) {
  throw EKvJpegException(message);
}

}  // namespace

void WriteJpeg(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params,
               TKvProgressRec& progress) {
  const TKvJpegParams& jp = params.Jpeg;
  // The library takes kv24RGB rows; other formats are written from a converted copy.
  TKvBitmap copy;
  TKvBitmap* image = &bitmap;
  if (bitmap.PixelFormat() != kv24RGB && !bitmap.IsEmpty()) {
    copy.CopyFrom(bitmap);
    copy.ChangePixelFormat(kv24RGB);
    image = &copy;
  }
  if (image->IsEmpty() || image->PixelFormat() != kv24RGB) {
    progress.Abort();
    return;
  }
  const int width = image->Width(), height = image->Height();

  TJpegWriteSetup setup{};
  setup.Width = width;
  setup.Height = height;
  setup.Target = TargetSpaceOf(jp.ColorSpace);
  const bool cmykTarget = setup.Target == JCS_CMYK || setup.Target == JCS_YCCK;
  setup.InSpace = cmykTarget ? JCS_CMYK : JCS_EXT_BGR;
  setup.InComponents = cmykTarget ? 4 : 3;
  setup.DpiX = DensityOf(params.DpiX());
  setup.DpiY = DensityOf(params.DpiY());
  setup.Dct = DctMethodOf(jp.DctMethod);
  setup.Optimize = jp.Optimize;
  setup.Smoothing = std::clamp(int(jp.Smoothing), 0, 100);
  setup.Quality = std::clamp(int(jp.Quality), 1, 100);
  setup.LumaH = jp.Sampling == 2 ? 1 : 2;
  setup.LumaV = jp.Sampling == 1 ? 2 : 1;
  setup.Progressive = jp.Progressive;

  TStreamBridge bridge{&stream, nullptr};
  std::vector<JOCTET> buffer(kJpegBufferSize);
  TEncoderPtr e = NewEncoder();
  // Ends a write that the library refused: Aborting, encoder gone, then the error.
  auto fail = [&]() {
    progress.Abort();
    const bool raise = e->Error.Raise;
    const std::string message = e->Error.Message;
    e.reset();
    if (bridge.Error) std::rethrow_exception(bridge.Error);
    if (raise) RaiseWriteError(message.c_str());
  };
  if (!ShimCreateCompress(e.get())) return fail();
  e->Destination.Pub.init_destination = DestinationInit;
  e->Destination.Pub.empty_output_buffer = DestinationEmpty;
  e->Destination.Pub.term_destination = DestinationTerm;
  e->Destination.Buffer = buffer.data();
  e->Destination.Write = BridgeWrite;
  e->Destination.Context = &bridge;
  e->Destination.ShortWrite = false;
  e->Info.dest = &e->Destination.Pub;
  if (!ShimSetupCompress(e.get(), &setup) || !ShimStartCompress(e.get())) return fail();
  for (const TKvMarker* m : MarkersToWrite(jp.Markers))
    if (!ShimWriteMarker(e.get(), m->Code, m->Data.data(), unsigned(m->Data.size()))) return fail();

  progress.Begin(height);
  std::vector<uint8_t> line(size_t(width) * 4);
  for (int y = 0; y < height && !progress.IsAborting(); ++y) {
    const uint8_t* row = image->RowPtr(y);
    if (cmykTarget) {
      const TKvRGB* px = reinterpret_cast<const TKvRGB*>(row);
      for (int x = 0; x < width; ++x) {
        const TKvCMYK c = RgbToCmyk(px[x]);
        uint8_t* out = &line[size_t(x) * 4];
        out[0] = c.C, out[1] = c.M, out[2] = c.Y, out[3] = c.K;
      }
    } else {
      std::memcpy(line.data(), row, size_t(width) * 3);
    }
    if (!ShimWriteLine(e.get(), line.data())) return fail();
    if (e->Destination.ShortWrite) progress.Abort();
    ReportLine(progress);
  }
  if (!progress.IsAborting() && !ShimFinishCompress(e.get())) return fail();
  if (e->Destination.ShortWrite) progress.Abort();
  e.reset();
  if (bridge.Error) std::rethrow_exception(bridge.Error);
}

// ---------------------------------------------------------------------------------------------
// Registration

namespace {
bool ProbeJpegEntry(TKvStream& stream) {
  return ProbeJpeg(stream) >= 0;
}
}  // namespace

void KvRegisterJpegCodec() {
  TKvCodec codec;
  codec.FileType = kvftJPEG;
  codec.Read = ReadJpegFile;
  codec.Write = WriteJpeg;
  codec.Probe = ProbeJpegEntry;
  KvRegisterCodec(codec);
}
