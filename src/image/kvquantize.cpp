// Colour quantization.
//
// Box splitter: the image's colours are counted in a 32 x 32 x 32 histogram (5 bits a channel).
// Starting from one box over the whole cube, the box with the largest variance is cut in two
// along the channel whose halves have the smallest summed variance. The cut on a channel is the
// bin c in a window around the box's mean that maximises k / (N - k) * (mean - m)^2, with k the
// pixels up to c and m the sum of h[i] * i / N from the window's start to c.
// Each final box gives its mean colour, and every histogram cell inside a box maps to it.
//
// Network (NeuQuant, A. Dekker 1994): n neurons on a line in colour space learn from a
// pseudo-random sample of the pixels. Each sample pulls the neuron that wins a frequency-biased
// contest toward it, and its neighbours on the line with a weight falling off with the distance;
// the learning rate and the neighbourhood shrink a hundred times during the run. The neurons,
// rounded to 8 bits, are the palette; a green-sorted index finds the nearest neuron of a colour.
#include "image/kvquantize.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxColors = 256;

uint32_t ColorKey(TKvRGB c) {
  return (uint32_t(c.Red) << 16) | (uint32_t(c.Green) << 8) | uint32_t(c.Blue);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Box splitter

class TKvQuantizer::TBoxSplitter {
 public:
  TBoxSplitter(const TKvBitmap& source, int colorCount) { Build(source, colorCount); }

  int BoxCount() const { return boxCount_; }
  TKvRGB Color(int k) const {
    const TBox& b = boxes_[size_t(k)];
    auto channel = [&](int ch) { return uint8_t(int(std::nearbyint(b.mean[ch])) << 3); };
    return KvRGB(channel(0), channel(1), channel(2));
  }
  int Index(TKvRGB c) const {
    return map_[size_t(((c.Red >> 3) << 10) | ((c.Green >> 3) << 5) | (c.Blue >> 3))];
  }

 private:
  static constexpr int kBins = 32;      // 5 bits a channel
  static constexpr int kCells = 32768;  // kBins^3
  // Summed variance that stands for a channel that cannot be split: a split is taken only when
  // its halves' variances add up to less (the largest possible sum is far below it).
  static constexpr double kFailedSplit = 17523.6;

  struct TBox {
    int lo[3] = {0, 0, 0};              // lower bounds, per channel (red, green, blue)
    int hi[3] = {kBins, kBins, kBins};  // upper bounds, exclusive
    uint64_t count = 0;
    uint64_t h[3][kBins] = {};
    double mean[3] = {0, 0, 0};  // in 5-bit units
    double variance = 0;
  };

  static int Cell(int r, int g, int b) { return (r << 10) | (g << 5) | b; }

  void Build(const TKvBitmap& source, int colorCount) {
    hist_.assign(kCells, 0);
    map_.assign(kCells, 0);
    boxes_.assign(kMaxColors, TBox{});
    const int w = source.Width(), h = source.Height();
    pixels_ = uint64_t(w) * uint64_t(h);
    for (int y = 0; y < h; ++y) {
      const uint8_t* p = source.RowPtr(y);
      for (int x = 0; x < w; ++x, p += 3) ++hist_[size_t(Cell(p[2] >> 3, p[1] >> 3, p[0] >> 3))];
    }
    Measure(boxes_[0], false);
    boxCount_ = 1;
    while (boxCount_ < colorCount) {
      int best = 0;
      for (int k = 1; k < boxCount_; ++k)
        if (boxes_[size_t(k)].variance > boxes_[size_t(best)].variance) best = k;
      if (!(boxes_[size_t(best)].variance > 0)) break;  // every box is a single colour cell
      TBox first, second;
      if (!Split(boxes_[size_t(best)], first, second)) {
        boxes_[size_t(best)].variance = 0;  // try another box, this one stays whole
        continue;
      }
      boxes_[size_t(best)] = first;
      boxes_[size_t(boxCount_)] = second;
      ++boxCount_;
    }
    for (int k = 0; k < boxCount_; ++k) {
      const TBox& b = boxes_[size_t(k)];
      for (int r = b.lo[0]; r < b.hi[0]; ++r)
        for (int g = b.lo[1]; g < b.hi[1]; ++g)
          for (int bl = b.lo[2]; bl < b.hi[2]; ++bl) map_[size_t(Cell(r, g, bl))] = uint8_t(k);
    }
  }

  // Rebuilds the channel histograms, count, means and variance of the cells within the box's
  // bounds; with `shrink` the bounds then close in on the nonzero bins.
  void Measure(TBox& b, bool shrink) const {
    std::memset(b.h, 0, sizeof b.h);
    b.count = 0;
    for (int r = b.lo[0]; r < b.hi[0]; ++r)
      for (int g = b.lo[1]; g < b.hi[1]; ++g) {
        const uint32_t* row = &hist_[size_t(Cell(r, g, 0))];
        for (int bl = b.lo[2]; bl < b.hi[2]; ++bl) {
          const uint32_t c = row[bl];
          if (c == 0) continue;
          b.h[0][r] += c;
          b.h[1][g] += c;
          b.h[2][bl] += c;
          b.count += c;
        }
      }
    if (b.count == 0) return;
    double sum = 0;
    for (int ch = 0; ch < 3; ++ch) {
      if (shrink) {
        while (b.lo[ch] < b.hi[ch] && b.h[ch][b.lo[ch]] == 0) ++b.lo[ch];
        while (b.hi[ch] > b.lo[ch] && b.h[ch][b.hi[ch] - 1] == 0) --b.hi[ch];
      }
      double s1 = 0, s2 = 0;
      for (int i = b.lo[ch]; i < b.hi[ch]; ++i) {
        s1 += double(i) * double(b.h[ch][i]);
        s2 += double(i) * double(i) * double(b.h[ch][i]);
      }
      b.mean[ch] = s1 / double(b.count);
      sum += s2 - b.mean[ch] * b.mean[ch] * double(b.count);
    }
    b.variance = sum / double(pixels_);
  }

  // The best cut of the box along channel ch: the halves are [lo, cut + 1) and [cut + 1, hi).
  // Returns -1 when no cut is found.
  static int BestCut(const TBox& b, int ch) {
    const int lo = b.lo[ch], hi = b.hi[ch];
    const uint64_t n = b.count;
    const double mean = b.mean[ch];
    const int s = int(std::nearbyint((lo + mean) / 2));
    const int e = int(std::nearbyint((mean + hi) / 2));
    uint64_t k = 0;
    for (int i = lo; i < s; ++i) k += b.h[ch][i];
    double m = 0, bestScore = -1;
    int cut = -1;
    for (int c = s; c <= e && c < hi; ++c) {
      k += b.h[ch][c];
      if (k == n) break;
      m += double(b.h[ch][c]) * c / double(n);
      const double score = double(k) / double(n - k) * (mean - m) * (mean - m);
      if (score > bestScore) {
        bestScore = score;
        cut = c;
      }
    }
    return cut;
  }

  bool SplitAlong(const TBox& b, int ch, TBox& first, TBox& second) const {
    if (b.hi[ch] == b.lo[ch] + 1) return false;
    const int cut = BestCut(b, ch);
    if (cut < 0) return false;
    first = b;
    second = b;
    first.hi[ch] = cut + 1;
    second.lo[ch] = cut + 1;
    Measure(first, true);
    Measure(second, true);
    return first.count > 0 && second.count > 0;
  }

  bool Split(const TBox& b, TBox& first, TBox& second) const {
    double bestSum = kFailedSplit;
    bool found = false;
    for (int ch = 0; ch < 3; ++ch) {
      TBox a, c;
      if (!SplitAlong(b, ch, a, c)) continue;
      const double sum = a.variance + c.variance;
      if (sum < bestSum) {
        bestSum = sum;
        first = a;
        second = c;
        found = true;
      }
    }
    return found;
  }

  std::vector<uint32_t> hist_;
  std::vector<uint8_t> map_;
  std::vector<TBox> boxes_;
  int boxCount_ = 0;
  uint64_t pixels_ = 1;
};

// ---------------------------------------------------------------------------------------------
// Network

class TKvQuantizer::TNetwork {
 public:
  TNetwork(const TKvBitmap& source, int colorCount) : n_(colorCount) {
    Init();
    Learn(source);
    Unbias();
    BuildIndex();
  }

  int Size() const { return n_; }
  // Palette entry i: the neuron that learnt at position i.
  TKvRGB Color(int i) const { return palette_[size_t(i)]; }

  int Index(TKvRGB c) const {
    const uint32_t key = ColorKey(c);
    const size_t slot = (key * 2654435761u) >> (32 - kCacheBits);
    if (cacheKeys_[slot] == key + 1) return cacheValues_[slot];
    const int index = Search(c.Blue, c.Green, c.Red);
    cacheKeys_[slot] = key + 1;
    cacheValues_[slot] = int16_t(index);
    return index;
  }

 private:
  // Fixed-point scales of the classic network.
  static constexpr int kNetBiasShift = 4;   // colour values are held * 16
  static constexpr int kIntBiasShift = 16;  // frequencies and biases are held * 65536
  static constexpr int kIntBias = 1 << kIntBiasShift;
  static constexpr int kBetaShift = 10;                 // beta = 1/1024: frequency smoothing
  static constexpr int kBeta = kIntBias >> kBetaShift;  // 64
  static constexpr int kGammaShift = 10;
  static constexpr int kBetaGamma = kIntBias << (kGammaShift - kBetaShift);  // 65536
  static constexpr int kBiasToDistShift = kIntBiasShift - kNetBiasShift;     // 12
  static constexpr int kInitAlpha = 1 << 10;  // learning rate 1.0 as 1024
  static constexpr int kRadiusBiasShift = 6;  // radius held * 64
  static constexpr int kRadiusDecrease = 30;  // radius shrinks by 1/30 every cycle
  static constexpr int kRadBiasShift = 8;     // neighbourhood weights held * 256
  static constexpr int kAlphaRadBias = 1 << (10 + kRadBiasShift);  // 262144
  static constexpr int kLearningCycles = 100;
  // Sampling-factor rule: an image below kSmallImage pixels is sampled whole; above it the
  // factor (one sample every f pixels) grows from 2 by one for every 148000 / 13 (about 11,400)
  // pixels, up to kMaxFactor.
  static constexpr int64_t kSmallImage = 2000;
  static constexpr int kMaxFactor = 30;
  // Sample steps (pixels): primes, so that the walk through the image visits pixels spread over
  // it; one that divides 3 * P would make it cycle early.
  static constexpr int kPrimes[3] = {499, 491, 487};
  static constexpr int kLastPrime = 503;
  static constexpr int kNoDistance = 1000;  // above any Manhattan distance of 8-bit colours
  static constexpr int kCacheBits = 16;     // 65,536 remembered colours

  struct TNeuron {
    int b, g, r, index;
  };

  void Init() {
    net_.resize(size_t(n_));
    freq_.assign(size_t(n_), kIntBias / n_);
    bias_.assign(size_t(n_), 0);
    for (int i = 0; i < n_; ++i) {
      const int v = (i << (kNetBiasShift + 8)) / n_;
      net_[size_t(i)] = {v, v, v, i};
    }
    cacheKeys_.assign(size_t(1) << kCacheBits, 0);
    cacheValues_.assign(size_t(1) << kCacheBits, 0);
  }

  static int SamplingFactor(int64_t pixels) {
    if (gKvQuantizerQuality >= 0) {
      const int q = std::min(gKvQuantizerQuality, 100);
      return int(std::trunc((100 - q) / 100.0 * 29)) + 1;
    }
    if (pixels < kSmallImage) return 1;
    const double f = std::nearbyint((13.0 * double(pixels) - 26000.0) / 148000.0 + 2);
    return int(std::clamp(f, 1.0, double(kMaxFactor)));
  }

  static int64_t SampleStep(int64_t pixels) {
    for (int p : kPrimes)
      if ((3 * pixels) % p != 0) return p;
    return kLastPrime;
  }

  void ComputeRadPower(int alpha, int rad) {
    radPower_.assign(size_t(std::max(rad, 0)), 0);
    for (int i = 0; i < rad; ++i)
      radPower_[size_t(i)] = alpha * ((((rad * rad) - (i * i)) << kRadBiasShift) / (rad * rad));
  }

  // The frequency-biased contest: returns the winner, and updates frequencies and biases.
  int Contest(int b, int g, int r) {
    int bestDist = INT32_MAX, bestPos = 0;
    int64_t bestBiasDist = INT64_MAX;
    int bestBiasPos = 0;
    for (int i = 0; i < n_; ++i) {
      const TNeuron& q = net_[size_t(i)];
      const int dist = std::abs(q.b - b) + std::abs(q.g - g) + std::abs(q.r - r);
      if (dist < bestDist) {
        bestDist = dist;
        bestPos = i;
      }
      // The bias is taken as an unsigned 32-bit number.
      const int64_t biasDist = int64_t(dist) - int64_t(bias_[size_t(i)] >> kBiasToDistShift);
      if (biasDist < bestBiasDist) {
        bestBiasDist = biasDist;
        bestBiasPos = i;
      }
      const int betaFreq = freq_[size_t(i)] >> kBetaShift;
      freq_[size_t(i)] -= betaFreq;
      bias_[size_t(i)] += uint32_t(betaFreq) << kGammaShift;
    }
    freq_[size_t(bestPos)] += kBeta;
    bias_[size_t(bestPos)] -= uint32_t(kBetaGamma);
    return bestBiasPos;
  }

  void MoveNeuron(TNeuron& q, int b, int g, int r, int weight, int scale) {
    q.b -= (q.b - b) * weight / scale;
    q.g -= (q.g - g) * weight / scale;
    q.r -= (q.r - r) * weight / scale;
  }

  void MoveNeighbours(int rad, int j, int b, int g, int r) {
    const int lo = std::max(j - rad, -1), hi = std::min(j + rad, n_);
    int up = j + 1, down = j - 1, k = 0;
    while (up < hi || down > lo) {
      const int a = radPower_[size_t(++k)];
      if (up < hi) MoveNeuron(net_[size_t(up++)], b, g, r, a, kAlphaRadBias);
      if (down > lo) MoveNeuron(net_[size_t(down--)], b, g, r, a, kAlphaRadBias);
    }
  }

  void Learn(const TKvBitmap& source) {
    const int w = source.Width();
    const int64_t pixels = int64_t(w) * source.Height();
    if (pixels <= 0) return;
    const int f = SamplingFactor(pixels);
    const int64_t samples = (3 * pixels) / (3 * int64_t(f));
    const int64_t step = SampleStep(pixels);
    const int alphaDecay = 30 + (f - 1) / 3;
    const int64_t delta = std::max<int64_t>(samples / kLearningCycles, 1);
    int alpha = kInitAlpha;
    int radius = (n_ >> 3) << kRadiusBiasShift;
    int rad = radius >> kRadiusBiasShift;
    if (rad <= 1) rad = 0;
    ComputeRadPower(alpha, rad);

    int64_t pos = 0;
    int cachedRow = -1;
    const uint8_t* row = nullptr;
    for (int64_t i = 0; i < samples; ++i) {
      const int y = int(pos / w), x = int(pos % w);
      if (y != cachedRow) {
        row = source.RowPtr(y);
        cachedRow = y;
      }
      const uint8_t* p = row + 3 * x;
      const int b = p[0] << kNetBiasShift, g = p[1] << kNetBiasShift, r = p[2] << kNetBiasShift;
      const int j = Contest(b, g, r);
      MoveNeuron(net_[size_t(j)], b, g, r, alpha, kInitAlpha);
      if (rad > 0) MoveNeighbours(rad, j, b, g, r);
      pos = (pos + step) % pixels;
      if ((i + 1) % delta == 0) {
        alpha -= alpha / alphaDecay;
        radius -= radius / kRadiusDecrease;
        rad = radius >> kRadiusBiasShift;
        if (rad <= 1) rad = 0;
        ComputeRadPower(alpha, rad);
      }
    }
  }

  void Unbias() {
    palette_.resize(size_t(n_));
    for (int i = 0; i < n_; ++i) {
      TNeuron& q = net_[size_t(i)];
      auto unbias = [](int v) {
        return std::min((v + (1 << (kNetBiasShift - 1))) >> kNetBiasShift, 255);
      };
      q.b = unbias(q.b);
      q.g = unbias(q.g);
      q.r = unbias(q.r);
      q.index = i;
      palette_[size_t(i)] = KvRGB(uint8_t(q.r), uint8_t(q.g), uint8_t(q.b));
    }
  }

  // Sorts the neurons by green and records, per green value, where the search starts.
  void BuildIndex() {
    int previous = 0, start = 0;
    for (int i = 0; i < n_; ++i) {
      int smallest = i;
      for (int j = i + 1; j < n_; ++j)
        if (net_[size_t(j)].g < net_[size_t(smallest)].g) smallest = j;
      std::swap(net_[size_t(i)], net_[size_t(smallest)]);
      const int green = net_[size_t(i)].g;
      if (green != previous) {
        index_[size_t(previous)] = (start + i) >> 1;
        for (int v = previous + 1; v < green; ++v) index_[size_t(v)] = i;
        previous = green;
        start = i;
      }
    }
    const int last = n_ - 1;
    index_[size_t(previous)] = (start + last) >> 1;
    for (int v = previous + 1; v < 256; ++v) index_[size_t(v)] = last;
  }

  // Nearest neuron (Manhattan distance) by an outward search from the green start position.
  int Search(int b, int g, int r) const {
    int bestDist = kNoDistance, best = 0;
    int up = index_[size_t(g)], down = up - 1;
    auto consider = [&](const TNeuron& q, int greenDist) {
      int dist = std::abs(greenDist) + std::abs(q.b - b);
      if (dist >= bestDist) return;
      dist += std::abs(q.r - r);
      if (dist < bestDist) {
        bestDist = dist;
        best = q.index;
      }
    };
    while (up < n_ || down >= 0) {
      if (up < n_) {
        const TNeuron& q = net_[size_t(up)];
        const int greenDist = q.g - g;
        if (greenDist >= bestDist) {
          up = n_;
        } else {
          ++up;
          consider(q, greenDist);
        }
      }
      if (down >= 0) {
        const TNeuron& q = net_[size_t(down)];
        const int greenDist = g - q.g;
        if (greenDist >= bestDist) {
          down = -1;
        } else {
          --down;
          consider(q, greenDist);
        }
      }
    }
    return best;
  }

  int n_;
  std::vector<TNeuron> net_;
  std::vector<int> freq_;
  std::vector<uint32_t> bias_;
  std::vector<int> radPower_;
  std::vector<TKvRGB> palette_;
  std::array<int, 256> index_{};
  // Colours already searched (key colour + 1, 0 = empty): mapping a page repeats few colours.
  mutable std::vector<uint32_t> cacheKeys_;
  mutable std::vector<int16_t> cacheValues_;
};

// ---------------------------------------------------------------------------------------------
// The quantizer

TKvQuantizer::TKvQuantizer(const TKvBitmap& source, int colorCount, std::span<TKvRGB> paletteOut)
    : colorCount_(std::clamp(colorCount, 1, kMaxColors)) {
  isGray_ = SourceIsGray(source);
  const TKvPixFormat sf = source.PixelFormat();
  if (isGray_ || sf != kv24RGB) {
    if (sf == kv8p)
      BuildFromPalette(source, paletteOut);
    else if (isGray_)
      BuildGrayRamp(paletteOut);
    return;
  }
  if (BuildExactList(source, paletteOut)) return;
  const bool useBoxes =
      gKvQuantizerAlgorithm == 1 || (gKvQuantizerAlgorithm == -1 && colorCount_ < 128);
  auto emit = [&](int count, auto color) {
    paletteSize_ = count;
    for (int i = 0; i < count && size_t(i) < paletteOut.size(); ++i)
      paletteOut[size_t(i)] = color(i);
  };
  if (useBoxes) {
    box_ = std::make_unique<TBoxSplitter>(source, colorCount_);
    method_ = qmBoxSplitter;
    emit(box_->BoxCount(), [&](int i) { return box_->Color(i); });
  } else {
    network_ = std::make_unique<TNetwork>(source, colorCount_);
    method_ = qmNetwork;
    emit(network_->Size(), [&](int i) { return network_->Color(i); });
  }
}

TKvQuantizer::~TKvQuantizer() = default;

int TKvQuantizer::AlgorithmKind() const {
  if (method_ == qmNetwork) return 0;
  if (method_ == qmBoxSplitter) return 1;
  return -1;
}

bool TKvQuantizer::SourceIsGray(const TKvBitmap& source) {
  const TKvPixFormat f = source.PixelFormat();
  if (f == kv8p) {
    for (int i = 0; i < source.PaletteLength(); ++i) {
      const TKvRGB c = source.GetPaletteEntry(i);
      if (c.Red != c.Green || c.Green != c.Blue) return false;
    }
    return true;
  }
  if (f != kv24RGB && f != kvRGB48 && f != kv32RGB) return true;
  const int w = source.Width(), h = source.Height();
  for (int y = 0; y < h; ++y) {
    const uint8_t* p = source.RowPtr(y);
    for (int x = 0; x < w; ++x) {
      bool gray;
      if (f == kv24RGB) {
        gray = p[3 * x] == p[3 * x + 1] && p[3 * x + 1] == p[3 * x + 2];
      } else if (f == kv32RGB) {
        gray = p[4 * x] == p[4 * x + 1] && p[4 * x + 1] == p[4 * x + 2];
      } else {
        const uint8_t* q = p + 6 * x;
        gray = std::memcmp(q, q + 2, 2) == 0 && std::memcmp(q + 2, q + 4, 2) == 0;
      }
      if (!gray) return false;
    }
  }
  return true;
}

void TKvQuantizer::BuildFromPalette(const TKvBitmap& source, std::span<TKvRGB> out) {
  method_ = qmSourcePalette;
  colors_.resize(size_t(source.PaletteLength()));
  for (size_t i = 0; i < colors_.size(); ++i) colors_[i] = source.GetPaletteEntry(int(i));
  paletteSize_ = std::min(colorCount_, int(colors_.size()));
  for (int i = 0; i < paletteSize_ && size_t(i) < out.size(); ++i)
    out[size_t(i)] = colors_[size_t(i)];
}

void TKvQuantizer::BuildGrayRamp(std::span<TKvRGB> out) {
  method_ = qmGrayRamp;
  paletteSize_ = colorCount_;
  const double step = 256.0 / colorCount_;
  for (int i = 0; i < colorCount_ && size_t(i) < out.size(); ++i) {
    const uint8_t v = uint8_t(std::trunc(step * i));
    out[size_t(i)] = KvRGB(v, v, v);
  }
}

bool TKvQuantizer::BuildExactList(const TKvBitmap& source, std::span<TKvRGB> out) {
  exactKeys_.assign(kExactSlots, 0);
  exactPositions_.assign(kExactSlots, 0);
  colors_.clear();
  const int w = source.Width(), h = source.Height();
  uint32_t lastKey = 0;  // key + 1 of the colour seen last (0: none yet)
  for (int y = 0; y < h; ++y) {
    const uint8_t* p = source.RowPtr(y);
    for (int x = 0; x < w; ++x, p += 3) {
      const TKvRGB c{p[0], p[1], p[2]};
      const uint32_t key = ColorKey(c) + 1;
      if (key == lastKey) continue;
      lastKey = key;
      size_t slot = (key * 2654435761u) >> 22;
      while (exactKeys_[slot] != 0 && exactKeys_[slot] != key) slot = (slot + 1) % kExactSlots;
      if (exactKeys_[slot] == key) continue;
      if (int(colors_.size()) == colorCount_) {  // one colour too many: the list is discarded
        colors_.clear();
        exactKeys_.clear();
        exactPositions_.clear();
        return false;
      }
      exactKeys_[slot] = key;
      exactPositions_[slot] = int16_t(colors_.size());
      colors_.push_back(c);
    }
  }
  method_ = qmExact;
  paletteSize_ = int(colors_.size());
  for (int i = 0; i < paletteSize_ && size_t(i) < out.size(); ++i)
    out[size_t(i)] = colors_[size_t(i)];
  return true;
}

int TKvQuantizer::ExactIndex(TKvRGB color) const {
  const uint32_t key = ColorKey(color) + 1;
  size_t slot = (key * 2654435761u) >> 22;
  while (exactKeys_[slot] != 0) {
    if (exactKeys_[slot] == key) return exactPositions_[slot];
    slot = (slot + 1) % kExactSlots;
  }
  return -1;
}

void TKvQuantizer::IndexRow(const TKvRGB* colors, int count, uint8_t* out) const {
  auto clampIndex = [](int i) { return uint8_t(i >= 0 && i <= 255 ? i : 0); };
  switch (method_) {
    case qmBoxSplitter:
      for (int x = 0; x < count; ++x) out[x] = uint8_t(box_->Index(colors[x]));
      break;
    case qmNetwork: {
      TKvRGB last{};
      int lastIndex = network_->Index(last);
      for (int x = 0; x < count; ++x) {
        if (!(colors[x] == last)) {
          last = colors[x];
          lastIndex = network_->Index(last);
        }
        out[x] = uint8_t(lastIndex);
      }
      break;
    }
    default:
      for (int x = 0; x < count; ++x) out[x] = clampIndex(ColorIndex(colors[x]));
      break;
  }
}

int TKvQuantizer::ColorIndex(TKvRGB color) const {
  switch (method_) {
    case qmSourcePalette:
      for (size_t i = 0; i < colors_.size(); ++i)
        if (colors_[i] == color) return int(i);
      return int(colors_.size());
    case qmGrayRamp:
      return color.Red * colorCount_ / 256;
    case qmExact:
      return ExactIndex(color);
    case qmBoxSplitter:
      return box_->Index(color);
    case qmNetwork:
      return network_->Index(color);
    default:
      return 0;
  }
}
