// The per-image parameter record of the I/O component, and the format identifiers.
//
// TKvIOParams carries everything a codec reads from or writes to a file beside the pixels: the
// shared fields below and one group per codec (Params.Pxm, Params.Bmp, Params.Jpeg, ...). The
// defaults are set once, when the record is created, and never reset as a whole: a load clears
// only the metadata lists and sets what its codec reads, so a field a load does not touch keeps
// its earlier value and a save writes with the settings the last load found.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/kvtypes.h"

// Format identifiers. The numbers are fixed: they are stored in Params.FileType and used as
// switch keys. 21 is set by one camera-raw variant reader only; 22 and 23 are not assigned.
enum TKvFileType : int32_t {
  kvftUnknown = 0,
  kvftTIFF = 1,
  kvftGIF = 2,
  kvftJPEG = 3,
  kvftPCX = 4,
  kvftBMP = 5,
  kvftICO = 6,
  kvftCUR = 7,
  kvftPNG = 8,
  kvftWMF = 9,
  kvftEMF = 10,
  kvftTGA = 11,
  kvftPXM = 12,
  kvftJP2 = 13,
  kvftJ2K = 14,
  kvftAVI = 15,
  kvftWBMP = 16,
  kvftPS = 17,
  kvftPDF = 18,
  kvftDCX = 19,
  kvftRAW = 20,
  kvftPSD = 24,
  kvftKVO = 25,
  kvftLYR = 26,
  kvftALL = 27,
  kvftDICOM = 28,
};

// The resolution a load reports when the file carries none (dots per inch).
constexpr int32_t kKvDefaultDpi = 300;

// PNM: the header comments, in file order, trimmed.
struct TKvPxmParams {
  std::vector<std::string> Comments;
};

// BMP.
struct TKvBmpParams {
  // Info header: 0 another length (read only; written as 40 bytes), 1 40 bytes, 2 the 12-byte
  // core header, 3 64 bytes.
  uint8_t HeaderKind = 1;
  // 1 = run-length encoded (read: compression 1 or 2 found; write: RLE8/RLE4 for 8/4 bits).
  uint8_t Rle = 0;
  // Read: take the fourth byte of 32-bit pixels as alpha; write: store the alpha plane there.
  bool KeepAlpha = false;
};

// One IPTC record (record number, data set number, the data bytes).
struct TKvIPTCInfo {
  uint8_t Record = 0;
  uint8_t DataSet = 0;
  std::vector<uint8_t> Data;
};
using TKvIPTCInfoList = std::vector<TKvIPTCInfo>;

// A colour profile as stored in a file (ICC bytes); empty when there is none.
struct TKvICC {
  std::vector<uint8_t> Data;
  bool IsEmpty() const { return Data.empty(); }
  void Clear() { Data.clear(); }
};

// ---------------------------------------------------------------------------------------------
// Parameter groups defined with their codecs. The JPEG and PNG groups live in their codec
// headers; until those headers exist, empty stand-ins keep this record complete.
#if __has_include("io/codecs/kvjpeg.h")
#include "io/codecs/kvjpeg.h"
#else
struct TKvJpegParams {};  // stand-in until io/codecs/kvjpeg.h exists
#endif
#if __has_include("io/codecs/kvpng.h")
#include "io/codecs/kvpng.h"
#else
struct TKvPngParams {};   // stand-in until io/codecs/kvpng.h exists
#endif
// ---------------------------------------------------------------------------------------------

struct TKvIOParams {
  // Name and format of the last file loaded or saved.
  std::string FileName;
  TKvFileType FileType = kvftUnknown;
  // Pixel size of the loaded image, and as stored in the file (a codec may load smaller).
  int32_t Width = 0, Height = 0;
  int32_t StoredWidth = 0, StoredHeight = 0;
  int32_t BitsPerSample = 8;    // bits per channel sample in the file
  int32_t SamplesPerPixel = 3;  // channels per pixel in the file

  // Resolution in dots per inch. The setters also keep the value as a double and tell the
  // attached view (OnDpiChanged).
  int32_t DpiX() const { return dpiX_; }
  int32_t DpiY() const { return dpiY_; }
  double DpiXf() const { return dpiXf_; }
  double DpiYf() const { return dpiYf_; }
  void SetDpiX(int32_t dpi);
  void SetDpiY(int32_t dpi);
  std::function<void(double dpiX, double dpiY)> OnDpiChanged;

  // Which page of a multi-page file to load, and how many the last load found. The setters set
  // the page index / page count of every per-format group that has one.
  int32_t ImageIndex() const { return imageIndex_; }
  void SetImageIndex(int32_t index);
  int32_t ImageCount() const { return imageCount_; }
  void SetImageCount(int32_t count);

  // Palette read from the file (blue, green, red entries); ColorMapCount mirrors its size.
  std::vector<TKvRGB> ColorMap;
  int32_t ColorMapCount = 0;
  void FreeColorMap() {
    ColorMap.clear();
    ColorMapCount = 0;
  }
  void SetColorMap(std::vector<TKvRGB> map) {
    ColorMap = std::move(map);
    ColorMapCount = int32_t(ColorMap.size());
  }

  // Mirror of TKvIO::NativePixelFormat: codecs that honour it keep the file's own pixel format.
  bool IsNativePixelFormat = false;

  // Metadata lists, cleared at the start of every load (ClearMetadata).
  TKvIPTCInfoList IPTC;
  std::string XmpText;
  TKvICC InputICC;
  void ClearMetadata();

  // Per-format groups.
  TKvPxmParams Pxm;
  TKvBmpParams Bmp;
  TKvJpegParams Jpeg;
  TKvPngParams Png;

 private:
  int32_t dpiX_ = kKvDefaultDpi, dpiY_ = kKvDefaultDpi;
  double dpiXf_ = kKvDefaultDpi, dpiYf_ = kKvDefaultDpi;
  int32_t imageIndex_ = 0, imageCount_ = 0;
};
