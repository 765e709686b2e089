// JPEG reading and writing on the IJG JPEG library (API 62).
//
// The reader and writer hand kv24RGB rows to the library in its blue-green-red pixel layout, keep
// every APPn and COM segment of a file (written back byte for byte on the next save), take the
// resolution from the JFIF density and read at 1/1, 1/2, 1/4 or 1/8 of the stored size. The
// library's errors are caught inside the codec and turned into the I/O component's Aborting flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class TKvBitmap;
class TKvStream;
struct TKvIOParams;
struct TKvProgressRec;

// One kept segment: its marker code (0xE0..0xEF for APP0..APP15, 0xFE for COM) and its data
// without marker and length.
struct TKvMarker {
  uint8_t Code = 0;
  std::vector<uint8_t> Data;
  friend bool operator==(const TKvMarker&, const TKvMarker&) = default;
};
using TKvMarkerList = std::vector<TKvMarker>;

// The JPEG parameter group (Params.Jpeg).
struct TKvJpegParams {
  int32_t Quality = 80;      // write quality 1..100 (the library's quality scaling)
  uint8_t DctMethod = 0;     // 0 accurate integer, 1 fast integer, 2 floating point
  uint8_t Sampling = 1;      // luminance sampling on YCbCr write: 0 2x1, 1 2x2, 2 1x1
  bool Optimize = false;     // optimised Huffman tables on write
  int32_t Smoothing = 0;     // the library's smoothing factor on write, 0..100
  bool Progressive = false;  // write progressive; set on read from the file
  uint8_t Scale = 1;         // read scaling: 0 automatic, 1 full, 2 1/2, 3 1/4, 4 1/8
  int32_t ScaleUsed = 1;     // denominator used by the last read (1, 2, 4 or 8)
  uint8_t ColorSpace = 2;  // 0 RGB, 1 gray, 2 YCbCr, 3 CMYK, 4 YCCK (read from file, used on write)
  bool ApplyExifOrientation = false;  // on read, turn the image as the EXIF orientation says
  bool PreferExifThumbnail = false;   // on read, deliver the EXIF thumbnail when there is one
  TKvMarkerList Markers;              // APPn and COM segments kept on read, written back on write
  int32_t WarningTotal = 0;           // warnings the library reported during the last read
  int32_t WarningCode = 0;            // code of the last of them
};

// Raised by the library's error handler with the library's message text. It never leaves the
// reader; the writer lets it pass after cleaning up.
class EKvJpegException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the JPEG reader needs from a file's EXIF block (the EXIF reader fills the rest of the
// parameters itself).
struct TKvExifSummary {
  double XResolution = 0, YResolution = 0;
  int32_t ResolutionUnit = 0;            // 2 inches, 3 centimetres
  int32_t Orientation = 0;               // 1..8, 0 when absent
  const TKvBitmap* Thumbnail = nullptr;  // the EXIF thumbnail (owned by the parameters), or null
};
// Reads the data of an APP1 "Exif" segment into the parameters; true when it parsed. A
// library-wide slot, set once at start-up by the EXIF reader; while it is unset the reader keeps
// the EXIF bytes only in Params.Jpeg.Markers.
using TKvJpegExifReader = bool (*)(const uint8_t* data, size_t size, TKvIOParams& params,
                                   TKvExifSummary& summary);
inline TKvJpegExifReader gKvJpegExifReader = nullptr;

// Turns `bitmap` as an EXIF orientation value asks (2..8; other values leave it unchanged).
// Works on every pixel format of 8 bits or more a pixel and on kv1g; the alpha plane follows.
void KvApplyExifOrientation(TKvBitmap& bitmap, int orientation);

// Position of the start of JPEG data (0xFF 0xD8 0xFF) within the next 150 offsets from the
// stream's position, or -1. A start-of-image marker (0xFF 0xD8) right at the position counts
// too, whatever follows it. The stream position is restored.
int64_t ProbeJpeg(TKvStream& stream);

// The full reader. `tables` (may be null) is an abbreviated stream holding only tables, read
// first; `lineLimit` < 0 reads every line. Returns the number of lines read. Format errors set
// *progress.Aborting.
int ReadJpeg(TKvStream& stream, TKvStream* tables, TKvBitmap& bitmap, bool native, int lineLimit,
             bool scanColorProfile, bool applyColorProfile, bool invertCmyk, bool readMetadata,
             bool rawYCbCr, bool previewOnly, TKvProgressRec& progress, TKvIOParams& params);

// Writes `bitmap` (kv24RGB or kv1g) with Params.Jpeg. An empty image or a short write sets
// *progress.Aborting.
void WriteJpeg(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, TKvProgressRec& progress);

// The file loader's entry: ReadJpeg with the arguments of a file load.
void ReadJpegFile(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, bool previewOnly,
                  TKvProgressRec& progress);
// Adds the JPEG reader, writer and probe to the codec registry.
void KvRegisterJpegCodec();
