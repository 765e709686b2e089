// Synthetic pages: an upright ink raster of pseudo-text, sampled through a rotation.
//
// Layout: a heading line in double size, then paragraphs of ragged-right lines of words; each
// word is a run of glyphs from a 26-glyph pseudo-alphabet that a seeded generator builds out of
// stems, bars and dots on a 5 x 7 grid. The output pixel (x, y) takes the ink of the upright
// point (u, v) it came from, (u, v) being (x, y) turned back about the page centre; bilinear
// sampling antialiases the edges.
#include "synthpage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int kGlyphCols = 5, kGlyphRows = 7;
constexpr int kGlyphCount = 26;
constexpr int kAdvanceDots = 6;                     // glyph plus one dot of spacing
constexpr int kWordGapDots = 3;                     // extra space between words
constexpr int kLinePitchDots = 12;                  // baseline to baseline
constexpr double kMarginX = 0.10, kMarginY = 0.08;  // fractions of the page
constexpr uint8_t kPaperGray = 246, kInkGray = 24;
constexpr double kPi = 3.14159265358979323846;

using TGlyph = std::array<uint8_t, kGlyphRows>;  // bit c of row r: dot at column c

std::array<TGlyph, kGlyphCount> MakeFont(std::mt19937& rng) {
  std::array<TGlyph, kGlyphCount> font{};
  std::uniform_int_distribution<int> pick(0, 99);
  for (TGlyph& g : font) {
    g.fill(0);
    // x-height glyphs use rows 2..6; a third of them get an ascender up to row 0.
    const int top = pick(rng) < 33 ? 0 : 2;
    const int stem = pick(rng) % 3 * 2;  // column 0, 2 or 4
    for (int r = top; r < kGlyphRows; ++r) g[size_t(r)] |= uint8_t(1u << stem);
    for (int bar : {2, 4, 6}) {
      if (pick(rng) < 55) {
        const int from = pick(rng) % 3, to = from + 1 + pick(rng) % (kGlyphCols - from);
        for (int c = from; c < std::min(to + 1, kGlyphCols); ++c) {
          g[size_t(bar)] |= uint8_t(1u << c);
        }
      }
    }
    if (pick(rng) < 50) {  // a second stem closes a bowl
      const int other = (stem + 4) % 6;
      for (int r = 3; r < kGlyphRows; ++r) g[size_t(r)] |= uint8_t(1u << other);
    }
  }
  return font;
}

class TInkPage {
 public:
  TInkPage(int w, int h) : w_(w), h_(h), ink_(size_t(w) * size_t(h), 0) {}
  void Dot(int x, int y, int size) {
    for (int yy = std::max(0, y); yy < std::min(h_, y + size); ++yy) {
      for (int xx = std::max(0, x); xx < std::min(w_, x + size); ++xx) {
        ink_[size_t(yy) * size_t(w_) + size_t(xx)] = 255;
      }
    }
  }
  // Bilinear ink at (u, v) in pixel-centre coordinates; no ink outside.
  double Sample(double u, double v) const {
    const double fu = u - 0.5, fv = v - 0.5;
    const int x0 = int(std::floor(fu)), y0 = int(std::floor(fv));
    const double ax = fu - x0, ay = fv - y0;
    return (1 - ay) * ((1 - ax) * At(x0, y0) + ax * At(x0 + 1, y0)) +
           ay * ((1 - ax) * At(x0, y0 + 1) + ax * At(x0 + 1, y0 + 1));
  }

 private:
  double At(int x, int y) const {
    if (x < 0 || y < 0 || x >= w_ || y >= h_) return 0;
    return ink_[size_t(y) * size_t(w_) + size_t(x)];
  }
  int w_, h_;
  std::vector<uint8_t> ink_;
};

// Draws one line of words from x0 to at most x1; returns nothing. `dot` is the dot size.
void DrawLine(TInkPage& page, const std::array<TGlyph, kGlyphCount>& font, std::mt19937& rng,
              int x0, int x1, int baselineTop, int dot) {
  std::uniform_int_distribution<int> wordLen(2, 9), glyph(0, kGlyphCount - 1);
  int x = x0;
  for (;;) {
    const int n = wordLen(rng);
    const int wordWidth = n * kAdvanceDots * dot;
    if (x + wordWidth > x1) break;
    for (int k = 0; k < n; ++k) {
      const TGlyph& g = font[size_t(glyph(rng))];
      for (int r = 0; r < kGlyphRows; ++r) {
        for (int c = 0; c < kGlyphCols; ++c) {
          if ((g[size_t(r)] >> c) & 1) page.Dot(x + c * dot, baselineTop + r * dot, dot);
        }
      }
      x += kAdvanceDots * dot;
    }
    x += kWordGapDots * dot;
  }
}

}  // namespace

bool KvDrawSynthPage(const TKvSynthPage& spec, TKvBitmap& out) {
  const TKvPixFormat f = spec.Format;
  if (f != kv1g && f != kv8g && f != kv24RGB) return false;
  if (!out.AllocateImage(spec.Width, spec.Height, f)) return false;
  const int w = spec.Width, h = spec.Height, dot = std::max(1, spec.GlyphPixels);

  std::mt19937 rng(spec.Seed);
  const auto font = MakeFont(rng);
  TInkPage ink(w, h);
  const int left = int(w * kMarginX), right = w - left;
  const int top = int(h * kMarginY), bottom = h - top;
  // Heading in double-size glyphs, then paragraphs of 4 to 8 lines with a short last line.
  const int headingDot = 2 * dot;
  DrawLine(ink, font, rng, left, left + (right - left) * 2 / 3, top, headingDot);
  const int headingBottom = top + kLinePitchDots * headingDot;
  std::uniform_int_distribution<int> paragraphLines(4, 8), shortEnd(30, 80);
  int y = headingBottom;
  while (y + kLinePitchDots * dot <= bottom) {
    const int lines = paragraphLines(rng);
    for (int l = 0; l < lines && y + kLinePitchDots * dot <= bottom; ++l) {
      const int end = l == lines - 1 ? left + (right - left) * shortEnd(rng) / 100 : right;
      DrawLine(ink, font, rng, left, end, y, dot);
      y += kLinePitchDots * dot;
    }
    y += kLinePitchDots * dot / 2;
  }

  // (u, v) = (x, y) turned back by the skew about the centre: the page turned by +skew has
  // lines that descend to the right (y grows downwards).
  const double a = spec.SkewDegrees * kPi / 180.0;
  const double ca = std::cos(a), sa = std::sin(a), cx = w / 2.0, cy = h / 2.0;
  const TKvRGB paper = KvRGB(250, 246, 236), textInk = KvRGB(28, 34, 92),
               headingInk = KvRGB(150, 30, 30);
  for (int py = 0; py < h; ++py) {
    uint8_t* row = out.RowPtr(py);
    if (f == kv1g) std::fill(row, row + out.RowLength(), 0);
    for (int px = 0; px < w; ++px) {
      const double dx = px + 0.5 - cx, dy = py + 0.5 - cy;
      const double u = cx + dx * ca + dy * sa, v = cy - dx * sa + dy * ca;
      const double t = ink.Sample(u, v) / 255.0;  // 0 paper .. 1 ink
      if (f == kv24RGB) {
        const TKvRGB& k = v < headingBottom ? headingInk : textInk;
        auto mix = [t](uint8_t p, uint8_t q) { return uint8_t(std::lround(p + (q - p) * t)); };
        reinterpret_cast<TKvRGB*>(row)[px] =
            KvRGB(mix(paper.Red, k.Red), mix(paper.Green, k.Green), mix(paper.Blue, k.Blue));
        continue;
      }
      const uint8_t gray = uint8_t(std::lround(kPaperGray + (kInkGray - kPaperGray) * t));
      if (f == kv8g) {
        row[px] = gray;
      } else if (gray >= 128) {
        row[px >> 3] |= uint8_t(0x80u >> (px & 7));
      }
    }
  }
  return true;
}
