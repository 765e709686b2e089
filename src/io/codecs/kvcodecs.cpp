// The list of built-in codecs: one registration call per codec file. A new codec adds its
// call here (and its source files to src/io/CMakeLists.txt).
#include "io/codecs/kvbmp.h"
#include "io/codecs/kvjpeg.h"
#include "io/codecs/kvpng.h"
#include "io/codecs/kvpnm.h"
#include "io/kvcodec.h"

void KvRegisterBuiltinCodecs() {
  KvRegisterPnmCodec();
  KvRegisterBmpCodec();
  KvRegisterJpegCodec();
  KvRegisterPngCodec();
}
