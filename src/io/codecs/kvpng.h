// PNG reading and writing on libpng.
//
// The reader asks the library for the transformations that bring every colour type and depth to
// kv1g, kv8g, kv16g, kv8p or kv24RGB rows (plus an alpha plane for alpha and tRNS); the writer
// picks gray, palette, RGB or RGB with alpha from SamplesPerPixel, BitsPerSample and the
// transparency mask. Library errors while reading set Aborting; while writing they raise
// EInvalidGraphic.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/kvtypes.h"

class TKvBitmap;
class TKvMask;
class TKvStream;
struct TKvIOParams;
struct TKvProgressRec;

// The PNG parameter group (Params.Png).
struct TKvPngParams {
  bool Interlaced = false;  // read: the file is interlaced; write: Adam7
  uint8_t Filter = 0;       // write: row filter, 0 none, 1 sub, 2 Paeth
  int32_t Compression = 5;  // write: zlib compression level
  TKvRGB Background{};      // bKGD colour; colour of the transparent palette entry on write
  std::vector<std::string> TextKeys;    // keywords of the text chunks, in file order
  std::vector<std::string> TextValues;  // their texts, same order
};

#ifndef KV_EINVALIDGRAPHIC_DEFINED
#define KV_EINVALIDGRAPHIC_DEFINED
// A graphic that cannot be made (raised by writers whose library refuses the image).
class EInvalidGraphic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
#endif

// Adds the PNG reader, writer and probe to the codec registry (the writer entry hands the image's
// alpha plane to WritePng as the transparency mask).
void KvRegisterPngCodec();

// Reads 8 bytes, compares the first 4 with the PNG signature, steps back 8 bytes.
bool ProbePng(TKvStream& stream);

// Fills `bitmap` and `params`; format errors and short reads set *progress.Aborting.
void ReadPng(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, bool previewOnly,
             TKvProgressRec& progress);

// Writes `bitmap`; `mask` (8-bit, may be null) carries the transparency of the alpha plane.
// Raises EInvalidGraphic("Error on creating PNG") when the library refuses; a short write sets
// *progress.Aborting.
void WritePng(TKvStream& stream, TKvBitmap& bitmap, TKvIOParams& params, const TKvMask* mask,
              TKvProgressRec& progress);
