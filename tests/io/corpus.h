// Shared helpers for the codec tests that run over the third-party image corpus: the manifest
// (MANIFEST.tsv: path, expected result, reference rendering) and the reference images, which are
// PNG files (decoded here with libpng directly, so that no codec of ours judges itself) or binary
// PPM/PGM files. Tests skip when the corpus is absent.
#pragma once

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "image/kvbitmap.h"

namespace kvtest {

// The shared test corpus: $KV_CORPUS_DIR when set, else the folder the build was configured
// with, else the workplace's shared folder.
inline std::string CorpusDir() {
  if (const char* env = std::getenv("KV_CORPUS_DIR"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  for (const char* dir : {KV_CORPUS_DIR, "/work/shared/corpus"})
    if (std::filesystem::exists(std::string(dir) + "/MANIFEST.tsv", ec)) return dir;
  return KV_CORPUS_DIR;
}

inline bool CorpusAvailable() {
  std::error_code ec;
  return std::filesystem::exists(CorpusDir() + "/MANIFEST.tsv", ec);
}

inline std::string CorpusPath(const std::string& relative) {
  return CorpusDir() + "/" + relative;
}

struct TCorpusEntry {
  std::string Path;           // relative to the corpus folder
  std::string Exercises;      // what the file tests
  std::string Expected;       // "loads", "must fail cleanly", "unknown", "n/a"
  std::string ReferencePath;  // relative; empty when there is none
};

// The manifest rows whose path starts with `prefix` (e.g. "bmp/"), in manifest order.
inline std::vector<TCorpusEntry> CorpusEntries(const std::string& prefix) {
  std::vector<TCorpusEntry> out;
  std::ifstream in(CorpusDir() + "/MANIFEST.tsv");
  std::string line;
  std::vector<std::string> header;
  auto split = [](const std::string& s) {
    std::vector<std::string> cols;
    std::string cell;
    std::istringstream ss(s);
    while (std::getline(ss, cell, '\t')) cols.push_back(cell);
    if (!s.empty() && s.back() == '\t') cols.emplace_back();
    return cols;
  };
  if (!std::getline(in, line)) return out;
  header = split(line);
  auto column = [&](const char* name) {
    for (size_t i = 0; i < header.size(); ++i)
      if (header[i] == name) return int(i);
    return -1;
  };
  const int cPath = column("path"), cExpected = column("expected"), cRef = column("reference_path"),
            cExercises = column("exercises");
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> cols = split(line);
    auto get = [&](int c) { return c >= 0 && size_t(c) < cols.size() ? cols[size_t(c)] : ""; };
    TCorpusEntry e{get(cPath), get(cExercises), get(cExpected), get(cRef)};
    if (e.Path.rfind(prefix, 0) == 0) out.push_back(e);
  }
  return out;
}

// An 8-bit RGBA picture, rows top to bottom.
struct TRefImage {
  int Width = 0, Height = 0;
  std::vector<uint8_t> Rgba;
  const uint8_t* Pixel(int x, int y) const { return Rgba.data() + (size_t(y) * Width + x) * 4; }
};

namespace detail {

// libpng's classic interface; its errors come back by longjmp into this frame, which owns no
// object with a destructor beyond those made before setjmp.
inline bool DecodePng(std::FILE* f, TRefImage* out) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  out->Width = int(png_get_image_width(png, info));
  out->Height = int(png_get_image_height(png, info));
  out->Rgba.assign(size_t(out->Width) * size_t(out->Height) * 4, 0);
  std::vector<png_bytep>* rows = new std::vector<png_bytep>(size_t(out->Height));
  for (int y = 0; y < out->Height; ++y)
    (*rows)[size_t(y)] = out->Rgba.data() + size_t(y) * size_t(out->Width) * 4;
  // The row table lives on the heap until the image is read (a longjmp cannot skip its
  // destructor); a failure in between leaks it, which only a broken reference file causes.
  png_read_image(png, rows->data());
  delete rows;
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

inline bool DecodePnm(const std::string& path, TRefImage& out) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  in >> magic;
  auto number = [&]() {
    int v = -1;
    for (;;) {
      in >> std::ws;
      if (in.peek() == '#') {
        std::string comment;
        std::getline(in, comment);
        continue;
      }
      in >> v;
      return v;
    }
  };
  const int w = number(), h = number(), maxval = number();
  if ((magic != "P6" && magic != "P5") || w <= 0 || h <= 0 || maxval != 255) return false;
  in.get();
  const int channels = magic == "P6" ? 3 : 1;
  std::vector<uint8_t> raw(size_t(w) * size_t(h) * channels);
  if (!in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()))) return false;
  out.Width = w;
  out.Height = h;
  out.Rgba.resize(size_t(w) * size_t(h) * 4);
  for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
    for (int c = 0; c < 3; ++c) out.Rgba[4 * i + c] = raw[i * channels + (channels == 3 ? c : 0)];
    out.Rgba[4 * i + 3] = 255;
  }
  return true;
}

}  // namespace detail

// Loads a reference rendering (.png, or binary .ppm/.pgm with maxval 255); nullopt for other
// kinds or a file that does not decode.
inline std::optional<TRefImage> LoadReference(const std::string& path) {
  const std::string ext = std::filesystem::path(path).extension().string();
  TRefImage img;
  if (ext == ".png") {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return std::nullopt;
    const bool ok = detail::DecodePng(f, &img);
    std::fclose(f);
    if (!ok) return std::nullopt;
    return img;
  }
  if (ext == ".ppm" || ext == ".pgm") {
    if (!detail::DecodePnm(path, img)) return std::nullopt;
    return img;
  }
  return std::nullopt;
}

// Our decoded image as RGBA (GetPixelRGB; alpha from the alpha plane, else 255).
inline TRefImage ToRgba(TKvBitmap& bmp) {
  TRefImage out;
  out.Width = bmp.Width();
  out.Height = bmp.Height();
  out.Rgba.resize(size_t(out.Width) * size_t(out.Height) * 4);
  const TKvBitmap* alpha = bmp.ExistingAlphaPlane();
  for (int y = 0; y < out.Height; ++y) {
    for (int x = 0; x < out.Width; ++x) {
      const TKvRGB c = bmp.GetPixelRGB(x, y);
      uint8_t* p = out.Rgba.data() + (size_t(y) * out.Width + x) * 4;
      p[0] = c.Red;
      p[1] = c.Green;
      p[2] = c.Blue;
      p[3] = alpha != nullptr ? alpha->GetByte(x, y) : 255;
    }
  }
  return out;
}

// Number of pixels whose red, green or blue differ by more than `tolerance`; pixels that are
// fully transparent in the reference are not compared when `skipTransparent` is set (their
// colour is not part of the picture).
inline int64_t CountRgbDifferences(const TRefImage& a, const TRefImage& ref, int tolerance = 0,
                                   bool skipTransparent = true) {
  if (a.Width != ref.Width || a.Height != ref.Height) return -1;
  int64_t n = 0;
  for (int y = 0; y < a.Height; ++y) {
    for (int x = 0; x < a.Width; ++x) {
      const uint8_t* p = a.Pixel(x, y);
      const uint8_t* q = ref.Pixel(x, y);
      if (skipTransparent && q[3] == 0) continue;
      for (int c = 0; c < 3; ++c) {
        if (std::abs(int(p[c]) - int(q[c])) > tolerance) {
          ++n;
          break;
        }
      }
    }
  }
  return n;
}

}  // namespace kvtest
