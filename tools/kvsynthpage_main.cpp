// kv-synthpage: writes one synthetic skewed page through the I/O component.
// Usage: kv-synthpage OUT.ext WIDTH HEIGHT FORMAT ANGLE [SEED [DOT]]
//   FORMAT: mono (kv1g), gray (kv8g) or colour (kv24RGB); ANGLE in degrees, positive when the
//   text lines descend to the right; DOT: pixels per glyph dot (default 3).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "io/kvio.h"
#include "synthpage.h"

int main(int argc, char** argv) {
  if (argc < 6 || argc > 8) {
    std::fprintf(stderr,
                 "usage: kv-synthpage OUT.ext WIDTH HEIGHT mono|gray|colour ANGLE [SEED [DOT]]\n");
    return 2;
  }
  TKvSynthPage page;
  page.Width = std::atoi(argv[2]);
  page.Height = std::atoi(argv[3]);
  const std::string kind = argv[4];
  page.Format = kind == "mono"     ? kv1g
                : kind == "gray"   ? kv8g
                : kind == "colour" ? kv24RGB
                                   : kvNoFormat;
  page.SkewDegrees = std::atof(argv[5]);
  if (argc > 6) page.Seed = uint32_t(std::strtoul(argv[6], nullptr, 10));
  if (argc > 7) page.GlyphPixels = std::atoi(argv[7]);
  TKvIO io;
  if (!KvDrawSynthPage(page, *io.TargetImage())) {
    std::fprintf(stderr, "kv-synthpage: cannot draw a %s page of %d x %d\n", argv[4], page.Width,
                 page.Height);
    return 1;
  }
  try {
    KvSynthFileLayout(page.Format, io.Params.BitsPerSample, io.Params.SamplesPerPixel);
    io.SaveToFile(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kv-synthpage: %s\n", e.what());
    return 1;
  }
  if (io.Aborting) {
    std::fprintf(stderr, "kv-synthpage: %s: the format cannot be written\n", argv[1]);
    return 1;
  }
  return 0;
}
