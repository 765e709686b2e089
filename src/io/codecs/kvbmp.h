// The Windows bitmap codec (BMP, DIB, RLE): core and info headers of every length, 1, 4, 8,
// 16, 24 and 32 bits a pixel, RLE8/RLE4, bit-field masks, bottom-up and top-down rows. The
// icon codec reads its device-independent bitmaps, which have no file header, through ReadBmp.
#pragma once

#include <cstdint>
#include <memory>

#include "io/kvcodec.h"

// Reads a bitmap. totalSize 0 takes the file header's size; with noFileHeader the reader acts
// as if a header "BM" with file size = stream size and data offset 0 had been read. When
// ignoreAlpha is off and a 32-bit file carries usable alpha, *alphaOut receives an 8-bit mask
// of it (alphaOut may be null). Bad input sets *progress.Aborting.
void ReadBmp(TKvStream& stream, TKvBitmap& bitmap, int64_t totalSize, bool ignoreAlpha,
             std::unique_ptr<TKvMask>* alphaOut, bool noFileHeader, bool previewOnly,
             TKvProgressRec& progress, TKvIOParams& params);

// Writes a bitmap with file header; the stream must allow seeking back (both headers are
// rewritten at the end). storeAlpha puts the alpha plane into the fourth byte of 32-bit pixels.
void WriteBmp(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, bool storeAlpha,
              TKvProgressRec& progress);

// The file-level entries of the registry: Params.Bmp.KeepAlpha decides about alpha; a mask read
// becomes the bitmap's alpha plane.
void ReadBmpFile(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, bool previewOnly,
                 TKvProgressRec& progress);
void WriteBmpFile(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params,
                  TKvProgressRec& progress);
// True when the stream starts with "BM"; the position is restored.
bool ProbeBmp(TKvStream& stream);

void KvRegisterBmpCodec();
