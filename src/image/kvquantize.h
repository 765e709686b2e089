// Colour quantization: a palette of at most n colours for an image, and the palette index of
// any colour.
//
// The quantizer picks one of four methods when it is built:
//   - a kv8p source hands over its own palette;
//   - a gray source gets a ramp of n grays;
//   - a kv24RGB source with at most n distinct colours gets exactly those colours, in the order
//     they first appear (rows top to bottom, pixels left to right);
//   - any other kv24RGB source is quantized, by a variance-based box splitter on a 5-bit-per-
//     channel histogram (fewer than 128 colours asked) or by a self-organising network of n
//     neurons (NeuQuant, 128 or more); the process-wide settings below can force either.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "image/kvbitmap.h"

// Process-wide quantizer settings. Algorithm: -1 by colour count, 0 network, 1 box splitter.
inline int gKvQuantizerAlgorithm = -1;
// Network sampling: -1 derives the sampling factor from the image size, 0..100 is a quality.
inline int gKvQuantizerQuality = -1;

class TKvQuantizer {
 public:
  // Method that built the palette.
  enum TMethod { qmNone, qmSourcePalette, qmGrayRamp, qmExact, qmBoxSplitter, qmNetwork };

  // Builds the palette of `source` (not kept beyond the constructor) with at most `colorCount`
  // colours (limited to 1..256) into `paletteOut`. Only the entries the method fills are written
  // (never more than paletteOut.size()); the others keep what they held.
  TKvQuantizer(const TKvBitmap& source, int colorCount, std::span<TKvRGB> paletteOut);
  ~TKvQuantizer();
  TKvQuantizer(const TKvQuantizer&) = delete;
  TKvQuantizer& operator=(const TKvQuantizer&) = delete;

  // Palette index of a colour. Source palette: the first equal entry, or the palette length
  // when none is equal. Exact list: the colour's position, or -1 when it is not in the list.
  // No method built (a colour source other than kv24RGB and kv8p): 0.
  int ColorIndex(TKvRGB color) const;
  // ColorIndex of `count` colours into bytes (an index outside 0..255 is written as 0).
  void IndexRow(const TKvRGB* colors, int count, uint8_t* out) const;
  // Whether the source was found gray (the PNG writer then writes a gray file).
  bool IsGray() const { return isGray_; }
  int ColorCount() const { return colorCount_; }
  // How many palette entries the method produced.
  int PaletteSize() const { return paletteSize_; }
  TMethod Method() const { return method_; }
  // Algorithm kind as the settings number it: 0 network, 1 box splitter, -1 none.
  int AlgorithmKind() const;

  // Whether every pixel (kv24RGB, kvRGB48, kv32RGB) or every palette entry (kv8p) has equal
  // channels; every other format counts as gray.
  static bool SourceIsGray(const TKvBitmap& source);

  class TBoxSplitter;
  class TNetwork;

 private:
  void BuildFromPalette(const TKvBitmap& source, std::span<TKvRGB> out);
  void BuildGrayRamp(std::span<TKvRGB> out);
  bool BuildExactList(const TKvBitmap& source, std::span<TKvRGB> out);
  int ExactIndex(TKvRGB color) const;

  int colorCount_ = 0;
  int paletteSize_ = 0;
  bool isGray_ = false;
  TMethod method_ = qmNone;
  // Source palette (qmSourcePalette) or exact colour list (qmExact).
  std::vector<TKvRGB> colors_;
  // Open-addressed table over the exact colours: key colour + 1 (0 = empty), value position.
  static constexpr int kExactSlots = 1024;
  std::vector<uint32_t> exactKeys_;
  std::vector<int16_t> exactPositions_;
  std::unique_ptr<TBoxSplitter> box_;
  std::unique_ptr<TNetwork> network_;
};
