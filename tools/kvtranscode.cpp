// kv-transcode: loads a file and saves it again through the I/O component, without deskewing.
// It is the floor the deskewing command-line tool is measured against: the same load and save.
// Usage: kv-transcode INPUT OUTPUT
#include <cstdio>

#include "io/kvio.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kv-transcode INPUT OUTPUT\n");
    return 2;
  }
  TKvIO io;
  try {
    io.LoadFromFile(argv[1]);
    if (io.Aborting) {
      std::fprintf(stderr, "kv-transcode: %s: cannot be read\n", argv[1]);
      return 1;
    }
    io.SaveToFile(argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kv-transcode: %s\n", e.what());
    return 1;
  }
  if (io.Aborting) {
    std::fprintf(stderr, "kv-transcode: %s: cannot be written\n", argv[2]);
    return 1;
  }
  return 0;
}
